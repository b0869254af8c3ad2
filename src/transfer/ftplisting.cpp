#include "transfer/ftplisting.h"

#include <QStringDecoder>

#include <array>

namespace pv {

namespace {

struct Token {
    qsizetype begin;
    qsizetype end;
};

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

bool allDigits(QByteArrayView s)
{
    if (s.isEmpty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

int monthOf(QByteArrayView s)
{
    static constexpr std::array<const char *, 12> kMonths = {
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    if (s.size() != 3)
        return 0;
    for (size_t m = 0; m < kMonths.size(); ++m)
        if (QByteArrayView(kMonths[m]).compare(s, Qt::CaseInsensitive) == 0)
            return int(m) + 1;
    return 0;
}

// "10:32" as a time of day.
QTime clockTime(QByteArrayView s)
{
    const qsizetype colon = s.indexOf(':');
    if (colon < 1 || !allDigits(s.first(colon)) || !allDigits(s.sliced(colon + 1)))
        return {};
    return QTime(s.first(colon).toInt(), s.sliced(colon + 1).toInt());
}

FTPListingLine::Type typeOf(char c)
{
    switch (c) {
    case 'd':
        return FTPListingLine::Directory;
    case '-':
    case 'f':
        return FTPListingLine::Regular;
    case 'l':
    case 'b':
    case 'c':
    case 'p':
    case 's':
    case 'D':
        return FTPListingLine::Other;
    default:
        return FTPListingLine::Unknown;
    }
}

// Whether s looks like "rwxr-xr-x" after the type letter (ACL and context
// markers such as "+", "." or "@" may follow).
bool isPermissions(QByteArrayView s)
{
    if (s.size() < 10)
        return false;
    for (qsizetype i = 1; i < 10; ++i)
        if (!QByteArrayView("rwxsStTlL-").contains(s[i]))
            return false;
    return true;
}

} // namespace

qsizetype parseFTPListingLine(QByteArrayView data, FTPListingLine *line, const QDateTime &now)
{
    *line = FTPListingLine();
    if (data.isEmpty())
        return 0;
    qsizetype eol = data.indexOf('\n');
    const qsizetype consumed = eol < 0 ? data.size() : eol + 1;
    QByteArrayView text = data.first(eol < 0 ? data.size() : eol);
    if (text.endsWith('\r'))
        text.chop(1);

    QList<Token> tokens;
    for (qsizetype i = 0; i < text.size();) {
        while (i < text.size() && isSpace(text[i]))
            ++i;
        if (i == text.size())
            break;
        const qsizetype begin = i;
        while (i < text.size() && !isSpace(text[i]))
            ++i;
        tokens.append({begin, i});
    }
    auto tok = [&](qsizetype i) {
        return text.sliced(tokens[i].begin, tokens[i].end - tokens[i].begin);
    };
    if (tokens.size() < 5 || !isPermissions(tok(0)))
        return consumed;
    const FTPListingLine::Type type = typeOf(text[0]);
    if (type == FTPListingLine::Unknown)
        return consumed;

    // The owner and group columns vary (numbers, names, one or both missing),
    // so the date is found first: the size stands right before it and the
    // name right after it.
    for (qsizetype i = 2; i + 2 < tokens.size(); ++i) {
        QDate date;
        QTime time;
        qsizetype last = i + 2;
        if (const int month = monthOf(tok(i)); month && allDigits(tok(i + 1))) {
            const int day = tok(i + 1).toInt();
            if (allDigits(tok(i + 2)) && tok(i + 2).size() == 4) {
                date = QDate(tok(i + 2).toInt(), month, day);
                time = QTime(0, 0);
            } else if ((time = clockTime(tok(i + 2))).isValid()) {
                // Without a year the item is from the last twelve months.
                date = QDate(now.date().year(), month, day);
                if (date.isValid() && date > now.date().addDays(1))
                    date = QDate(now.date().year() - 1, month, day);
            }
        } else if (tok(i).size() == 10 && tok(i)[4] == '-' && tok(i)[7] == '-') {
            // ISO dates of "ls --time-style=long-iso".
            date = QDate::fromString(QString::fromLatin1(tok(i)), QStringLiteral("yyyy-MM-dd"));
            time = clockTime(tok(i + 1));
            last = i + 1;
        }
        if (!date.isValid() || !time.isValid() || !allDigits(tok(i - 1)))
            continue;
        // One blank separates the date from the name; further blanks belong to it.
        qsizetype nameBegin = tokens[last].end + 1;
        if (nameBegin >= text.size())
            return consumed;
        QByteArrayView name = text.sliced(nameBegin);
        if (type == FTPListingLine::Other && text[0] == 'l') {
            if (const qsizetype arrow = name.indexOf(" -> "); arrow >= 0)
                name = name.first(arrow);
        }
        line->type = type;
        line->name = name.toByteArray();
        bool ok = false;
        line->size = tok(i - 1).toLongLong(&ok);
        if (!ok)
            line->size = 0;
        line->modified = QDateTime(date, time);
        return consumed;
    }
    return consumed;
}

std::optional<RemoteItemAttributes> parseDOSListingLine(const QString &line)
{
    // Parts are separated by runs of blanks; the name is the rest of the line
    // after the size column, its own blanks kept.
    QList<qsizetype> starts;
    QStringList parts;
    for (qsizetype i = 0; i < line.size() && parts.size() < 3;) {
        while (i < line.size() && line[i] == QLatin1Char(' '))
            ++i;
        if (i == line.size())
            break;
        const qsizetype begin = i;
        while (i < line.size() && line[i] != QLatin1Char(' '))
            ++i;
        parts.append(line.mid(begin, i - begin));
        starts.append(i);
    }
    if (parts.size() < 3)
        return std::nullopt;
    qsizetype nameBegin = starts.last();
    while (nameBegin < line.size() && line[nameBegin] == QLatin1Char(' '))
        ++nameBegin;
    const QString name = line.mid(nameBegin);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return std::nullopt;

    RemoteItemAttributes attrs;
    if (parts[2] == QLatin1String("<DIR>")) {
        attrs.insert(QString::fromLatin1(kNSFileType), QString::fromLatin1(kNSFileTypeDirectory));
    } else {
        bool ok = false;
        const qint64 size = parts[2].toLongLong(&ok);
        if (!ok || size < 0)
            return std::nullopt;
        attrs.insert(QString::fromLatin1(kNSFileType), QString::fromLatin1(kNSFileTypeRegular));
        attrs.insert(QString::fromLatin1(kNSFileSize), size);
    }
    QDate date = QDate::fromString(parts[0], QStringLiteral("MM-dd-yyyy"));
    if (!date.isValid()) {
        date = QDate::fromString(parts[0], QStringLiteral("MM-dd-yy"));
        // Two-digit years count from 1970.
        if (date.isValid() && date.year() < 1970)
            date = date.addYears(100);
    }
    QTime time = QTime::fromString(parts[1], QStringLiteral("hh:mmAP"));
    if (!time.isValid())
        time = QTime::fromString(parts[1], QStringLiteral("HH:mm"));
    if (date.isValid() && time.isValid())
        attrs.insert(QString::fromLatin1(kNSFileModificationDate), QDateTime(date, time));
    attrs.insert(QStringLiteral("name"), name);
    return attrs;
}

std::optional<RemoteListing> parseFTPDirectoryListing(const QByteArray &listing,
                                                      QStringConverter::Encoding encoding,
                                                      const QDateTime &now)
{
    QByteArray utf8 = listing;
    if (encoding != QStringConverter::Utf8) {
        QStringDecoder decode(encoding);
        const QString text = decode(listing);
        if (decode.hasError())
            return std::nullopt;
        utf8 = text.toUtf8();
    } else {
        QStringDecoder decode(QStringConverter::Utf8);
        (void)QString(decode(listing));
        if (decode.hasError())
            return std::nullopt;
    }

    RemoteListing result;
    QByteArrayView rest(utf8);
    FTPListingLine line;
    while (const qsizetype consumed = parseFTPListingLine(rest, &line, now)) {
        QByteArrayView raw = rest.first(consumed);
        rest = rest.sliced(consumed);
        while (raw.endsWith('\n') || raw.endsWith('\r'))
            raw.chop(1);
        if (line.type == FTPListingLine::Unknown) {
            if (auto attrs = parseDOSListingLine(QString::fromUtf8(raw))) {
                const QString name = attrs->value(QStringLiteral("name")).toString();
                // Server notices come as entries on some servers.
                if (!name.contains(QLatin1String("WARNING")))
                    result.insert(name, *attrs);
            }
            continue;
        }
        const QString name = QString::fromUtf8(line.name);
        if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
            name.contains(QLatin1String("WARNING")) || line.type == FTPListingLine::Other)
            continue;
        RemoteItemAttributes attrs;
        if (line.type == FTPListingLine::Directory) {
            attrs.insert(QString::fromLatin1(kNSFileType),
                         QString::fromLatin1(kNSFileTypeDirectory));
        } else {
            attrs.insert(QString::fromLatin1(kNSFileType), QString::fromLatin1(kNSFileTypeRegular));
            attrs.insert(QString::fromLatin1(kNSFileSize), line.size);
        }
        attrs.insert(QString::fromLatin1(kNSFileModificationDate), line.modified);
        result.insert(name, attrs);
    }
    return result;
}

} // namespace pv
