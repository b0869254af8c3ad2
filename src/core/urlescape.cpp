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

QString maskedURL(const QString &url)
{
    const qsizetype schemeEnd = url.indexOf(QStringLiteral("://"));
    if (schemeEnd < 0)
        return url;
    const qsizetype authorityStart = schemeEnd + 3;
    qsizetype authorityEnd = url.indexOf(QLatin1Char('/'), authorityStart);
    if (authorityEnd < 0)
        authorityEnd = url.size();
    const qsizetype at = url.lastIndexOf(QLatin1Char('@'), authorityEnd - 1);
    if (at < authorityStart)
        return url;
    const qsizetype colon = url.indexOf(QLatin1Char(':'), authorityStart);
    if (colon < 0 || colon > at)
        return url;
    return url.left(colon + 1) + QStringLiteral("<passw>") + url.mid(at);
}

} // namespace pv
