#include "transfer/s3signature.h"

#include "transfer/base64.h"

#include <QCryptographicHash>
#include <QLocale>
#include <QMessageAuthenticationCode>
#include <QTimeZone>

#include <algorithm>

namespace pv::s3 {

namespace {

QByteArray hmacSha256(const QByteArray &key, const QByteArray &data)
{
    return QMessageAuthenticationCode::hash(data, key, QCryptographicHash::Sha256);
}

QByteArray scopeDate(const QDateTime &now)
{
    return now.toUTC().toString(QStringLiteral("yyyyMMdd")).toLatin1();
}

QByteArray amzDate(const QDateTime &now)
{
    return now.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1();
}

bool signedInV4(const QByteArray &lowerName)
{
    return lowerName == "content-type" || lowerName == "content-md5" || lowerName == "date" ||
           lowerName == "range" || lowerName.startsWith("x-amz-");
}

// The query as version 4 wants it: each name and value encoded strictly (a
// value-less name gets "="), sorted by name then value.
QByteArray canonicalQuery(const QByteArray &query)
{
    if (query.isEmpty())
        return QByteArray();
    QList<std::pair<QByteArray, QByteArray>> params;
    for (const QByteArray &part : query.split('&')) {
        if (part.isEmpty())
            continue;
        const qsizetype eq = part.indexOf('=');
        const QByteArray name = eq < 0 ? part : part.left(eq);
        const QByteArray value = eq < 0 ? QByteArray() : part.mid(eq + 1);
        params.append(
            {uriEncode(QString::fromUtf8(QByteArray::fromPercentEncoding(name)), false),
             uriEncode(QString::fromUtf8(QByteArray::fromPercentEncoding(value)), false)});
    }
    std::sort(params.begin(), params.end());
    QByteArray out;
    for (const auto &[name, value] : params) {
        if (!out.isEmpty())
            out += '&';
        out += name + '=' + value;
    }
    return out;
}

} // namespace

QByteArray headerValue(const HeaderList &headers, const QByteArray &name)
{
    for (const auto &[n, v] : headers) {
        if (n.compare(name, Qt::CaseInsensitive) == 0)
            return v;
    }
    return QByteArray();
}

void setHeader(HeaderList &headers, const QByteArray &name, const QByteArray &value)
{
    headers.removeIf(
        [&](const auto &h) { return h.first.compare(name, Qt::CaseInsensitive) == 0; });
    headers.append({name, value});
}

QByteArray uriEncode(const QString &text, bool keepSlash)
{
    static const char hex[] = "0123456789ABCDEF";
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() * 3);
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~' || (keepSlash && c == '/')) {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

QByteArray httpDate(const QDateTime &time)
{
    static const QLocale english(QLocale::English, QLocale::UnitedStates);
    return english.toString(time.toUTC(), QStringLiteral("ddd, d MMM yyyy HH:mm:ss '+0000'"))
        .toLatin1();
}

QByteArray resourceV2(const SignableRequest &request, const QString &serviceHost,
                      const QString &domainSuffix)
{
    const QString host = QString::fromUtf8(request.host);
    if (host.compare(serviceHost, Qt::CaseInsensitive) == 0)
        return QByteArrayLiteral("/");
    QString bucket = host;
    if (host.endsWith(domainSuffix, Qt::CaseInsensitive)) {
        const QString head = host.left(host.size() - domainSuffix.size());
        const qsizetype dot = head.lastIndexOf(QLatin1Char('.'));
        if (dot >= 0)
            bucket = head.left(dot);
    }
    // The path is signed as it is sent (still encoded): the providers compare
    // against the request line, so a key with a space or an "ä" only matches
    // in that form.
    QByteArray resource = '/' + bucket.toUtf8() + (request.path.isEmpty() ? "/" : request.path);
    if (request.query == "location" || request.query == "logging" || request.query == "torrent")
        resource += '?' + request.query;
    return resource;
}

QByteArray stringToSignV2(const SignableRequest &request, const QByteArray &resource)
{
    QByteArray s = request.method + '\n';
    s += headerValue(request.headers, "Content-MD5") + '\n';
    s += headerValue(request.headers, "Content-Type") + '\n';
    // With "x-amz-date" the date is signed among the "x-amz-" headers instead.
    s += (headerValue(request.headers, "x-amz-date").isNull() ? headerValue(request.headers, "Date")
                                                              : QByteArray()) +
         '\n';
    QList<std::pair<QByteArray, QByteArray>> amz;
    for (const auto &[name, value] : request.headers) {
        const QByteArray lower = name.toLower();
        if (lower.startsWith("x-amz-"))
            amz.append({lower, value});
    }
    std::stable_sort(amz.begin(), amz.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &[name, value] : amz)
        s += name + ':' + value + '\n';
    return s + resource;
}

QByteArray signatureV2(const QByteArray &secret, const QByteArray &stringToSign)
{
    const QByteArray mac =
        QMessageAuthenticationCode::hash(stringToSign, secret, QCryptographicHash::Sha1);
    return newBase64Encode(mac.constData(), std::size_t(mac.size()));
}

void signV2(SignableRequest &request, const QString &accessKey, const QString &secret,
            const QDateTime &now, const QString &serviceHost, const QString &domainSuffix)
{
    setHeader(request.headers, "Date", httpDate(now));
    const QByteArray toSign =
        stringToSignV2(request, resourceV2(request, serviceHost, domainSuffix));
    setHeader(request.headers, "Authorization",
              "AWS " + accessKey.toUtf8() + ':' + signatureV2(secret.toUtf8(), toSign));
}

QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QByteArray canonicalRequestV4(const SignableRequest &request, const QByteArray &payloadHash,
                              QByteArray *signedHeaders)
{
    QList<std::pair<QByteArray, QByteArray>> headers{{"host", request.host}};
    for (const auto &[name, value] : request.headers) {
        const QByteArray lower = name.toLower();
        if (signedInV4(lower) && lower != "host")
            headers.append({lower, value.simplified()});
    }
    std::stable_sort(headers.begin(), headers.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    QByteArray canonicalHeaders;
    QByteArray names;
    for (const auto &[name, value] : headers) {
        canonicalHeaders += name + ':' + value + '\n';
        names += (names.isEmpty() ? "" : ";") + name;
    }
    if (signedHeaders)
        *signedHeaders = names;
    return request.method + '\n' + (request.path.isEmpty() ? "/" : request.path) + '\n' +
           canonicalQuery(request.query) + '\n' + canonicalHeaders + '\n' + names + '\n' +
           payloadHash;
}

QByteArray stringToSignV4(const QByteArray &canonicalRequest, const QDateTime &now,
                          const QString &region, const QString &service)
{
    return "AWS4-HMAC-SHA256\n" + amzDate(now) + '\n' + scopeDate(now) + '/' + region.toUtf8() +
           '/' + service.toUtf8() + "/aws4_request\n" + sha256Hex(canonicalRequest);
}

QByteArray signatureV4(const QString &secret, const QDateTime &now, const QString &region,
                       const QString &service, const QByteArray &stringToSign)
{
    QByteArray key = hmacSha256("AWS4" + secret.toUtf8(), scopeDate(now));
    key = hmacSha256(key, region.toUtf8());
    key = hmacSha256(key, service.toUtf8());
    key = hmacSha256(key, "aws4_request");
    return hmacSha256(key, stringToSign).toHex();
}

void signV4(SignableRequest &request, const QString &accessKey, const QString &secret,
            const QString &region, const QDateTime &now, const QByteArray &payloadHash)
{
    static const QString service = QStringLiteral("s3");
    setHeader(request.headers, "x-amz-date", amzDate(now));
    setHeader(request.headers, "x-amz-content-sha256", payloadHash);
    QByteArray names;
    const QByteArray canonical = canonicalRequestV4(request, payloadHash, &names);
    const QByteArray signature =
        signatureV4(secret, now, region, service, stringToSignV4(canonical, now, region, service));
    setHeader(request.headers, "Authorization",
              "AWS4-HMAC-SHA256 Credential=" + accessKey.toUtf8() + '/' + scopeDate(now) + '/' +
                  region.toUtf8() + "/s3/aws4_request, SignedHeaders=" + names +
                  ", Signature=" + signature);
}

} // namespace pv::s3
