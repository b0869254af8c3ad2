#include "transfer/s3response.h"

#include "transfer/s3signature.h"

#include <QDateTime>

namespace pv::s3 {

namespace {

QDateTime providerDate(const QString &text)
{
    // "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'"; the fraction is optional in practice.
    return QDateTime::fromString(text, Qt::ISODateWithMs);
}

// Keys compare as the providers sort them: by their UTF-8 bytes.
bool keyBefore(const QString &a, const QString &b)
{
    return a.toUtf8() < b.toUtf8();
}

} // namespace

ParsedBody parseBody(const QByteArray &contentType, const QByteArray &body)
{
    ParsedBody parsed;
    if (body.isEmpty())
        return parsed;
    const QByteArray type = contentType.toLower().split(';').first().trimmed();
    if (type == "application/xml" || type == "text/xml") {
        parsed.xml = MiniXMLParser::parse(body);
        if (!parsed.xml)
            parsed.error = TransferError::fileTransfer(QStringLiteral("Invalid XML response"));
    } else {
        parsed.error = TransferError::fileTransfer(
            QStringLiteral("Unsupported MIME type \"%1\"").arg(QString::fromUtf8(type)));
    }
    return parsed;
}

std::optional<BucketPage> bucketPageFrom(const MiniXMLParser &xml)
{
    const MiniXMLNode root = xml.rootNode();
    BucketPage page;
    if (root.name() == QLatin1String("ListBucketResult")) {
        for (const MiniXMLNode &child : root.children()) {
            const QString name = child.name();
            if (name == QLatin1String("Contents")) {
                const QString key = child.firstValueAtSubpath(QStringLiteral("Key"));
                if (key.isEmpty())
                    continue;
                RemoteItemAttributes attrs;
                const QDateTime modified =
                    providerDate(child.firstValueAtSubpath(QStringLiteral("LastModified")));
                if (modified.isValid())
                    attrs.insert(kNSFileModificationDate, modified);
                bool ok = false;
                const qint64 size =
                    child.firstValueAtSubpath(QStringLiteral("Size")).toLongLong(&ok);
                if (ok)
                    attrs.insert(kNSFileSize, size);
                page.items.insert(key, attrs);
                if (page.lastKey.isNull() || keyBefore(page.lastKey, key))
                    page.lastKey = key;
            } else if (name == QLatin1String("IsTruncated")) {
                page.isTruncated = child.value().trimmed().compare(QLatin1String("true"),
                                                                   Qt::CaseInsensitive) == 0;
            }
        }
        return page;
    }
    if (root.name() == QLatin1String("ListAllMyBucketsResult")) {
        const MiniXMLNode buckets = root.firstNodeAtSubpath(QStringLiteral("Buckets"));
        for (const MiniXMLNode &bucket : buckets.children()) {
            const QString name = bucket.firstValueAtSubpath(QStringLiteral("Name"));
            if (name.isEmpty())
                continue;
            RemoteItemAttributes attrs{{kNSFileType, QString::fromLatin1(kNSFileTypeDirectory)}};
            const QDateTime created =
                providerDate(bucket.firstValueAtSubpath(QStringLiteral("CreationDate")));
            if (created.isValid())
                attrs.insert(kNSFileCreationDate, created);
            page.items.insert(name, attrs);
        }
        return page;
    }
    return std::nullopt;
}

QString bucketPageQuery(const QString &prefix, const QString &marker, const QString &delimiter,
                        quint64 maxKeys)
{
    QStringList parts;
    // Keys may hold "&", "=", "+" or any letter: every value goes encoded.
    if (!prefix.isEmpty())
        parts << QStringLiteral("prefix=") + QString::fromLatin1(uriEncode(prefix, false));
    if (!marker.isEmpty())
        parts << QStringLiteral("marker=") + QString::fromLatin1(uriEncode(marker, false));
    if (!delimiter.isEmpty())
        parts << QStringLiteral("delimiter=") + QString::fromLatin1(uriEncode(delimiter, false));
    if (maxKeys != 0)
        parts << QStringLiteral("max-keys=%1").arg(maxKeys);
    return parts.join(QLatin1Char('&'));
}

TransferError providerError(int status, const MiniXMLParser *xml, const TransferError &produced)
{
    const bool unsupported =
        produced.isNull() || (produced.domain == QLatin1String(kHTTPErrorDomain) &&
                              produced.description == QLatin1String("Unsupported HTTP response"));
    if (!unsupported)
        return produced;
    QString text;
    if (xml) {
        text = xml->firstValueAtPath(QStringLiteral("Error:Message"));
        if (text.isEmpty())
            text = xml->firstValueAtPath(QStringLiteral("Error:Code"));
    }
    return TransferError::withDescription(QLatin1String(kHTTPErrorDomain), status,
                                          text.isEmpty()
                                              ? QStringLiteral("Unsupported HTTP response")
                                              : QStringLiteral("Amazon S3 Error: %1").arg(text));
}

std::optional<QString> regionForV4Retry(int status, const QByteArray &bucketRegionHeader,
                                        const MiniXMLParser *xml)
{
    if (status != 400)
        return std::nullopt;
    QString region;
    bool asksForV4 = false;
    if (xml) {
        const QString code = xml->firstValueAtPath(QStringLiteral("Error:Code"));
        const QString message = xml->firstValueAtPath(QStringLiteral("Error:Message"));
        region = xml->firstValueAtPath(QStringLiteral("Error:Region"));
        asksForV4 = message.contains(QLatin1String("AWS4-HMAC-SHA256")) ||
                    (code == QLatin1String("AuthorizationHeaderMalformed") && !region.isEmpty());
    } else {
        // HEAD answers carry no body: the region header is the whole hint.
        asksForV4 = !bucketRegionHeader.isEmpty();
    }
    if (!asksForV4)
        return std::nullopt;
    if (region.isEmpty())
        region = QString::fromUtf8(bucketRegionHeader).trimmed();
    return region.isEmpty() ? QStringLiteral("us-east-1") : region;
}

} // namespace pv::s3
