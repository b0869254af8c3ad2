#include "core/urlescape.h"

#include <QUrl>

namespace pv {

namespace {
QString escapeWith(const QString &text, const char *extra)
{
    // Standard escaping leaves the reserved characters for the table to act on.
    QString out =
        QString::fromLatin1(QUrl::toPercentEncoding(text, QByteArrayLiteral("!$&'()*+,;=:@/?~")));
    for (const char *c = extra; *c; ++c)
        out.replace(QLatin1Char(*c),
                    QStringLiteral("%%1").arg(int(*c), 2, 16, QLatin1Char('0')).toUpper());
    return out;
}
} // namespace

QString addMissingPercentEscapes(const QString &text)
{
    return escapeWith(text, "@$:&;?/~");
}

QString addMissingPercentEscapesForURL(const QString &text)
{
    return escapeWith(text, "$&;?~");
}

} // namespace pv
