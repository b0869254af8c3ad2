#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <utility>

namespace pv::s3 {

/// Header lines of a request in the order they are sent (names as written).
using HeaderList = QList<std::pair<QByteArray, QByteArray>>;

/// Value of the header named name (compared without regard to case), or a null array.
[[nodiscard]] QByteArray headerValue(const HeaderList &headers, const QByteArray &name);
/// Replaces every header named name (any case) with one line name: value.
void setHeader(HeaderList &headers, const QByteArray &name, const QByteArray &value);

/// text's UTF-8 bytes with every byte outside A-Z a-z 0-9 - . _ ~ percent-encoded
/// (upper-case hex), and "/" kept when keepSlash. Object keys travel in this
/// form, and the providers sign this same form.
[[nodiscard]] QByteArray uriEncode(const QString &text, bool keepSlash);

/// The request fields a signature covers: path and query exactly as sent
/// (already encoded), and the headers the request carries besides the ones the
/// HTTP layer adds on its own.
struct SignableRequest {
    QByteArray method;
    QByteArray host;
    QByteArray path;
    QByteArray query;
    HeaderList headers;
};

/// The "Date" header value: "EEE, d MMM yyyy HH:mm:ss Z" in English and GMT,
/// e.g. "Fri, 3 May 2024 08:05:09 +0000".
[[nodiscard]] QByteArray httpDate(const QDateTime &time);

/// The resource a version 2 signature covers: "/" for the bare service host;
/// otherwise "/" + bucket (the host before its last "." ahead of domainSuffix,
/// the whole host without one) + path, or + "/" when the path is empty, and
/// "?" + query when it is exactly "location", "logging" or "torrent".
[[nodiscard]] QByteArray resourceV2(const SignableRequest &request, const QString &serviceHost,
                                    const QString &domainSuffix);
/// Method, Content-MD5, Content-Type, Date (empty when "x-amz-date" is set) and
/// the "x-amz-" headers (lower-cased names, ascending), each line ended by "\n",
/// then resource.
[[nodiscard]] QByteArray stringToSignV2(const SignableRequest &request, const QByteArray &resource);
/// Base64 of HMAC-SHA1 over stringToSign keyed with secret.
[[nodiscard]] QByteArray signatureV2(const QByteArray &secret, const QByteArray &stringToSign);
/// Adds "Date" (now) and "Authorization: AWS accessKey:signature" to request.
void signV2(SignableRequest &request, const QString &accessKey, const QString &secret,
            const QDateTime &now, const QString &serviceHost, const QString &domainSuffix);

/// Payload hash a version 4 signature announces for a body that is streamed
/// and not hashed beforehand (accepted over TLS).
inline constexpr const char *kUnsignedPayload = "UNSIGNED-PAYLOAD";
/// Lower-case hex SHA-256 of data.
[[nodiscard]] QByteArray sha256Hex(const QByteArray &data);

/// The canonical request of version 4: method, path, sorted query, the signed
/// headers (host, content-type, content-md5, date, range and every "x-amz-"
/// header; lower-cased, values trimmed), their names and payloadHash.
/// *signedHeaders receives the ";"-joined names.
[[nodiscard]] QByteArray canonicalRequestV4(const SignableRequest &request,
                                            const QByteArray &payloadHash,
                                            QByteArray *signedHeaders);
/// "AWS4-HMAC-SHA256", the time, the scope date/region/service/aws4_request
/// and the SHA-256 of the canonical request, one per line.
[[nodiscard]] QByteArray stringToSignV4(const QByteArray &canonicalRequest, const QDateTime &now,
                                        const QString &region, const QString &service);
/// Hex HMAC-SHA256 of stringToSign with the key derived from secret, date,
/// region and service.
[[nodiscard]] QByteArray signatureV4(const QString &secret, const QDateTime &now,
                                     const QString &region, const QString &service,
                                     const QByteArray &stringToSign);
/// Adds "x-amz-date", "x-amz-content-sha256" = payloadHash and the version 4
/// "Authorization" to request (service "s3").
void signV4(SignableRequest &request, const QString &accessKey, const QString &secret,
            const QString &region, const QDateTime &now, const QByteArray &payloadHash);

} // namespace pv::s3
