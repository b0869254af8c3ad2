#pragma once

#include "transfer/filetransfercontroller.h"
#include "transfer/minixmlparser.h"
#include "transfer/transfererror.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace pv::s3 {

/// A provider's answer body: the document of an "application/xml" body, or the
/// error of a body that cannot be read. An empty body gives neither.
struct ParsedBody {
    std::unique_ptr<MiniXMLParser> xml;
    TransferError error;
};
/// Reads body by its content type (lower-cased, parameters dropped): XML is
/// parsed without namespace ("Invalid XML response" when it is not XML); any
/// other non-empty type gives "Unsupported MIME type \"%@\"".
[[nodiscard]] ParsedBody parseBody(const QByteArray &contentType, const QByteArray &body);

/// One page of a bucket listing: objects by full key (modification date and
/// size), or the account's buckets (folders with their creation dates).
struct BucketPage {
    RemoteListing items;
    bool isTruncated = false;
    /// The greatest key of the page (in the providers' byte order): the marker
    /// of the next page.
    QString lastKey;
};
/// The page a "ListBucketResult" or "ListAllMyBucketsResult" document holds;
/// nullopt for any other document.
[[nodiscard]] std::optional<BucketPage> bucketPageFrom(const MiniXMLParser &xml);
/// The query of one bucket page: the non-empty parts prefix, marker and
/// delimiter (values encoded) and max-keys when non-zero, joined by "&".
[[nodiscard]] QString bucketPageQuery(const QString &prefix, const QString &marker,
                                      const QString &delimiter, quint64 maxKeys);

/// The error of a failed answer: with an error document, "Amazon S3 Error: %@"
/// with its Message (or else its Code), domain "http" and the status; without
/// one, produced when the request already failed otherwise, else
/// "Unsupported HTTP response". Errors other than "Unsupported HTTP response"
/// that were produced earlier stay.
[[nodiscard]] TransferError providerError(int status, const MiniXMLParser *xml,
                                          const TransferError &produced);

/// The region to sign with when a server refuses signature version 2 and asks
/// for version 4: a 400 answer whose error names "AWS4-HMAC-SHA256", or a
/// bodiless 400 (HEAD) that names the bucket's region in "x-amz-bucket-region".
/// The region comes from the error document's "Region", else that header,
/// else "us-east-1". nullopt when the answer is no such refusal.
[[nodiscard]] std::optional<QString>
regionForV4Retry(int status, const QByteArray &bucketRegionHeader, const MiniXMLParser *xml);

} // namespace pv::s3
