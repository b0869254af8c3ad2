#include "transfer/webdavtransfercontroller.h"

#include "core/log.h"
#include "transfer/minixmlparser.h"

#include <QLocale>
#include <QRegularExpression>
#include <QStringDecoder>

#include <cerrno>

namespace pv {

namespace {

const QString kDAVNamespace = QStringLiteral("DAV:");

QString withSlash(const QString &path)
{
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

QUrl asCollection(QUrl url)
{
    url.setPath(withSlash(url.path(QUrl::FullyDecoded)), QUrl::DecodedMode);
    return url;
}

QUrl child(QUrl folder, const QString &name)
{
    folder.setPath(withSlash(folder.path(QUrl::FullyDecoded)) + name, QUrl::DecodedMode);
    return folder;
}

QString parentOf(const QString &path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString nameOf(const QString &path)
{
    QString p = path;
    while (p.endsWith(QLatin1Char('/')))
        p.chop(1);
    return p.mid(p.lastIndexOf(QLatin1Char('/')) + 1);
}

// HTTP dates ("Sun, 06 Nov 1994 08:49:37 GMT") are always in GMT.
QDateTime httpDate(const QString &text)
{
    QString t = text.trimmed();
    if (t.endsWith(QLatin1String(" GMT")) || t.endsWith(QLatin1String(" UTC")))
        t.chop(4);
    QDateTime d = QLocale::c().toDateTime(t, QStringLiteral("ddd, d MMM yyyy HH:mm:ss"));
    if (!d.isValid())
        return QDateTime::fromString(text.trimmed(), Qt::RFC2822Date);
    d.setTimeSpec(Qt::UTC);
    return d;
}

// The body of an XML answer as UTF-8, decoded by the charset the headers name
// (which overrides what the document itself declares).
QByteArray xmlAsUTF8(const QByteArray &body, const QString &charset)
{
    if (charset.isEmpty() || charset == QLatin1String("utf-8") || charset == QLatin1String("utf8"))
        return body;
    QStringDecoder decoder(charset.toLatin1().constData());
    if (!decoder.isValid()) {
        log(lcTransfer(), QStringLiteral("%1: Invalid charset value \"%2\"")
                              .arg(QLatin1String("WebDAVTransferController"), charset));
        return body;
    }
    QString text = decoder(body);
    static const QRegularExpression declared(
        QStringLiteral("^(<\\?xml[^>]*encoding\\s*=\\s*)([\"'])[^\"']*\\2"));
    text.replace(declared, QStringLiteral("\\1\\2UTF-8\\2"));
    return text.toUtf8();
}

struct DAVEntry {
    QString path; // decoded path of the href
    RemoteItemAttributes attributes;
};

// The "response" children of a multistatus document; those whose href cannot be
// decoded are left out.
QList<DAVEntry> davEntries(const MiniXMLParser &doc)
{
    QList<DAVEntry> entries;
    const MiniXMLNode root = doc.firstNodeAtPath(QStringLiteral("multistatus"));
    if (root.isNull())
        return entries;
    for (const MiniXMLNode &response : root.childrenWithName(QStringLiteral("response"))) {
        const QString href = response.firstValueAtSubpath(QStringLiteral("href")).trimmed();
        if (href.isEmpty())
            continue;
        const QUrl hrefURL = QUrl::fromEncoded(href.toUtf8());
        const QByteArray raw =
            QByteArray::fromPercentEncoding(hrefURL.path(QUrl::FullyEncoded).toUtf8());
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString path = utf8(raw);
        if (utf8.hasError())
            continue;
        DAVEntry e;
        e.path = path;
        const MiniXMLNode prop = response.firstNodeAtSubpath(QStringLiteral("propstat:prop"));
        const bool collection =
            !prop.isNull() &&
            !prop.firstNodeAtSubpath(QStringLiteral("resourcetype:collection")).isNull();
        e.attributes.insert(
            QString::fromLatin1(kNSFileType),
            QString::fromLatin1(collection ? kNSFileTypeDirectory : kNSFileTypeRegular));
        if (!prop.isNull()) {
            const QString created = prop.firstValueAtSubpath(QStringLiteral("creationdate"));
            if (const QDateTime d = QDateTime::fromString(created.trimmed(), Qt::ISODateWithMs);
                d.isValid())
                e.attributes.insert(QString::fromLatin1(kNSFileCreationDate), d);
            QDateTime modified = QDateTime::fromString(
                prop.firstValueAtSubpath(QStringLiteral("modificationdate")).trimmed(),
                Qt::ISODateWithMs);
            if (!modified.isValid())
                modified = httpDate(prop.firstValueAtSubpath(QStringLiteral("getlastmodified")));
            if (modified.isValid())
                e.attributes.insert(QString::fromLatin1(kNSFileModificationDate), modified);
            bool ok = false;
            const qint64 size = prop.firstValueAtSubpath(QStringLiteral("getcontentlength"))
                                    .trimmed()
                                    .toLongLong(&ok);
            if (ok)
                e.attributes.insert(QString::fromLatin1(kNSFileSize), size);
        }
        entries.append(e);
    }
    return entries;
}

QString withoutTrailingSlash(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

int errnoForStatus(int status)
{
    switch (status) {
    case 404:
    case 409:
        return ENOENT;
    case 412:
        return EEXIST;
    case 401:
    case 403:
        return EACCES;
    default:
        return EIO;
    }
}

} // namespace

TransferResult<RemoteListing>
WebDAVTransferController::listingFromAnswer(const QByteArray &body, const QByteArray &contentType,
                                            const QString &selfPath)
{
    if (body.isEmpty())
        return TransferError();
    const QString type = QString::fromLatin1(contentType).toLower();
    const QString mime = type.section(QLatin1Char(';'), 0, 0).trimmed();
    if (mime != QLatin1String("text/xml") && mime != QLatin1String("application/xml"))
        return TransferError::fileTransfer(
            QStringLiteral("Unsupported MIME type \"%1\"").arg(mime));
    QString charset;
    if (const qsizetype at = type.indexOf(QLatin1String("charset=")); at >= 0) {
        charset = type.mid(at + 8).section(QLatin1Char(';'), 0, 0).trimmed();
        if (charset.size() >= 2 && charset.startsWith(QLatin1Char('"')) &&
            charset.endsWith(QLatin1Char('"')))
            charset = charset.mid(1, charset.size() - 2);
    }
    const std::unique_ptr<MiniXMLParser> doc =
        MiniXMLParser::parse(xmlAsUTF8(body, charset), kDAVNamespace);
    if (!doc)
        return TransferError::fileTransfer(QStringLiteral("Invalid XML response"));
    QList<DAVEntry> entries = davEntries(*doc);
    // The collection itself is one of the answers, usually the first.
    const QString self = withoutTrailingSlash(selfPath);
    qsizetype selfIndex = -1;
    for (qsizetype i = 0; i < entries.size() && selfIndex < 0; ++i) {
        if (withoutTrailingSlash(entries[i].path) == self)
            selfIndex = i;
    }
    if (selfIndex < 0 && !entries.isEmpty())
        selfIndex = 0;
    RemoteListing listing;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QString name = nameOf(entries[i].path);
        if (i != selfIndex && !name.isEmpty())
            listing.insert(name, entries[i].attributes);
    }
    return listing;
}

// ---------------------------------------------------------------------------
// Answers

QVariant WebDAVTransferController::processReadResultStream(OutputStream *dataStream,
                                                           const QString &method,
                                                           TransferError *error)
{
    const HTTPResponse &response = responseHeaders();
    const int status = response.status;
    if (method == QLatin1String("PROPFIND")) {
        // Only a listing's body is collected; refusals are the server's own
        // pages, where the status says enough.
        if (status == 207) {
            const TransferResult<RemoteListing> listing =
                listingFromAnswer(bodyOf(dataStream), response.header("Content-Type"),
                                  response.url.path(QUrl::FullyDecoded));
            if (listing)
                return QVariant::fromValue(*listing);
            *error = listing.error();
        }
    } else if (method == QLatin1String("MKCOL")) {
        if (status == 201)
            return true;
    } else if (method == QLatin1String("HEAD")) {
        const QVariant target =
            HTTPTransferController::processReadResultStream(dataStream, method, error);
        if (m_placeAs)
            m_uploadTarget = target.toUrl();
        return target;
    } else if (method == QLatin1String("GET")) {
        return HTTPTransferController::processReadResultStream(dataStream, method, error);
    } else if (method == QLatin1String("PUT")) {
        const QVariant sent =
            HTTPTransferController::processReadResultStream(dataStream, method, error);
        if (!sent.isValid() || !m_placeAs)
            return sent;
        // Complete under its temporary name: put it in place before the upload
        // reports success, so the success already names where it is.
        const QUrl uploaded = response.url;
        const QUrl folder = uploaded.adjusted(QUrl::RemoveFilename);
        QString placed;
        m_placeError = TransferError();
        setAbortIgnored(true);
        const int err = placeItem(renamesIn(folder), uploaded.fileName(QUrl::FullyDecoded),
                                  *m_placeAs, replacesExistingItems(), &placed);
        setAbortIgnored(false);
        if (err) {
            *error = placementError(err);
            return {};
        }
        setStoredPath(parentOf(storedPath()) + placed);
        return sent;
    }
    if (error->isNull())
        *error = unsupportedResponse();
    return {};
}

TransferError WebDAVTransferController::placementError(int err) const
{
    return m_placeError.isNull() ? TransferError::posix(err, QString()) : m_placeError;
}

// ---------------------------------------------------------------------------
// Quiet requests

int WebDAVTransferController::probe(const QUrl &url, bool *isCollection, TransferError *error)
{
    HTTPRequest request = newHTTPRequest("PROPFIND", url);
    request.setHeader("Depth", "0");
    request.setHeader("Brief", "T");
    MemoryOutputStream answer;
    answer.open();
    if (!performRequest(std::move(request), nullptr, &answer, false, error))
        return -1;
    const int status = responseHeaders().status;
    if (status == 207) {
        *isCollection = false;
        const std::unique_ptr<MiniXMLParser> doc =
            MiniXMLParser::parse(answer.data(), kDAVNamespace);
        const QList<DAVEntry> entries = doc ? davEntries(*doc) : QList<DAVEntry>();
        if (entries.isEmpty()) {
            *error = TransferError::fileTransfer(QStringLiteral("Invalid XML response"));
            return -1;
        }
        *isCollection = entries.first().attributes.value(QString::fromLatin1(kNSFileType)) ==
                        QLatin1String(kNSFileTypeDirectory);
    }
    return status;
}

int WebDAVTransferController::transfer(const QByteArray &method, const QUrl &from, const QUrl &to,
                                       bool overwrite)
{
    m_placeError = TransferError();
    // -1 when no answer came (m_placeError says why, or the request was abandoned).
    auto send = [&]() -> int {
        int status = -1;
        for (int attempt = 0; attempt < 2; ++attempt) {
            // Some servers want collections named with a trailing "/" on both sides.
            const bool slashed = attempt == 1;
            HTTPRequest request = newHTTPRequest(method, slashed ? asCollection(from) : from);
            request.setHeader("Destination", (slashed ? asCollection(to) : to).toEncoded());
            request.setHeader("Overwrite", overwrite ? "T" : "F");
            if (!performRequest(std::move(request), nullptr, nullptr, false, &m_placeError))
                return -1;
            status = responseHeaders().status;
            if (status == 201 || status == 204 || (status != 400 && status != 409) ||
                from.path().endsWith(QLatin1Char('/')))
                break;
        }
        return status;
    };
    int status = send();
    if (overwrite && (status == 400 || status == 404 || status == 409)) {
        // Some servers will not replace a folder by a file or the reverse: when
        // both items are there, the one in the way goes first.
        bool collection = false;
        TransferError ignored;
        if (probe(from, &collection, &ignored) == 207 && probe(to, &collection, &ignored) == 207 &&
            remove(to) == 0)
            status = send();
    }
    if (status < 0)
        return m_placeError.isNull() ? ECANCELED : EIO;
    if (status == 201 || status == 204)
        return 0;
    if (status != 412)
        m_placeError = unsupportedResponse();
    return errnoForStatus(status);
}

int WebDAVTransferController::remove(const QUrl &url)
{
    m_placeError = TransferError();
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool slashed = attempt == 1;
        if (!performRequest(newHTTPRequest("DELETE", slashed ? asCollection(url) : url), nullptr,
                            nullptr, false, &m_placeError))
            return m_placeError.isNull() ? ECANCELED : EIO;
        const int status = responseHeaders().status;
        if (status == 200 || status == 204 || status == 404)
            return 0;
        if ((status != 400 && status != 409) || url.path().endsWith(QLatin1Char('/')))
            break;
    }
    m_placeError = unsupportedResponse();
    return errnoForStatus(responseHeaders().status);
}

FileTransferController::SiblingRenames WebDAVTransferController::renamesIn(const QUrl &folderURL)
{
    return {[this, folderURL](const QString &from, const QString &to) {
                return transfer("MOVE", child(folderURL, from), child(folderURL, to), true);
            },
            [this, folderURL](const QString &from, const QString &to) {
                return transfer("MOVE", child(folderURL, from), child(folderURL, to), false);
            },
            [this, folderURL](const QString &name) { return remove(child(folderURL, name)); }};
}

// ---------------------------------------------------------------------------
// Operations

TransferResult<RemoteListing>
WebDAVTransferController::contentsOfDirectoryAtPath(const QString &path)
{
    HTTPRequest request = newHTTPRequest("PROPFIND", withSlash(path));
    request.setHeader("Depth", "1");
    request.setHeader("Brief", "T");
    MemoryOutputStream answer;
    const TransferResult<QVariant> listed =
        runRequest(std::move(request), nullptr, &answer, QStringLiteral("PROPFIND"), false);
    if (!listed)
        return listed.error();
    return listed->value<RemoteListing>();
}

Result WebDAVTransferController::checkFolderAtPath(const QString &path)
{
    bool collection = false;
    TransferError error;
    const int status = probe(absoluteURLForRemotePath(path), &collection, &error);
    if (status < 0)
        return error;
    if (status == 207)
        return collection ? Result() : TransferError::posix(ENOTDIR, path);
    if (status == 404 || status == 409)
        return TransferError::posix(ENOENT, path);
    return unsupportedResponse();
}

TransferResult<bool> WebDAVTransferController::itemExists(const QString &path)
{
    bool collection = false;
    TransferError error;
    const int status = probe(absoluteURLForRemotePath(path), &collection, &error);
    if (status < 0)
        return error;
    if (status == 207)
        return true;
    // 409: a file stands where a folder of the path should be.
    if (status == 404 || status == 409)
        return false;
    return unsupportedResponse();
}

Result WebDAVTransferController::createDirectoryAtPath(const QString &path)
{
    const TransferResult<QVariant> made = runRequest(
        newHTTPRequest("MKCOL", withSlash(path)), nullptr, nullptr, QStringLiteral("MKCOL"), false);
    return made ? Result() : made.error();
}

Result WebDAVTransferController::deleteFileAtPath(const QString &path)
{
    const QUrl url = absoluteURLForRemotePath(path);
    sendDidStart();
    if (!url.isValid())
        return failNotReachable(path);
    if (const int err = remove(url)) {
        if (m_placeError.isNull())
            return Result::abandoned();
        return sendDidFail(placementError(err));
    }
    sendDidSucceed();
    return {};
}

Result WebDAVTransferController::deleteDirectoryRecursivelyAtPath(const QString &path)
{
    return deleteFileAtPath(withSlash(path));
}

Result WebDAVTransferController::moveOrCopy(const QByteArray &method, const QString &fromPath,
                                            const QString &toPath)
{
    const QUrl from = absoluteURLForRemotePath(fromPath);
    const QUrl to = absoluteURLForRemotePath(toPath);
    sendDidStart();
    if (!from.isValid() || !to.isValid())
        return failNotReachable(fromPath, toPath);
    // Servers refuse an item onto itself; it is already where it is asked to be.
    if (withoutTrailingSlash(from.path()) != withoutTrailingSlash(to.path())) {
        if (const int err = transfer(method, from, to, true)) {
            if (m_placeError.isNull())
                return Result::abandoned();
            return sendDidFail(placementError(err));
        }
    }
    sendDidSucceed();
    return {};
}

Result WebDAVTransferController::movePath(const QString &fromPath, const QString &toPath)
{
    return moveOrCopy("MOVE", fromPath, toPath);
}

Result WebDAVTransferController::copyPath(const QString &fromPath, const QString &toPath)
{
    return moveOrCopy("COPY", fromPath, toPath);
}

Result WebDAVTransferController::moveIntoPlace(const QString &temporaryPath,
                                               const QString &finalPath)
{
    setStoredPath({});
    const QUrl folder = absoluteURLForRemotePath(parentOf(finalPath));
    sendDidStart();
    if (!folder.isValid())
        return failNotReachable(temporaryPath, finalPath);
    QString placed;
    if (const int err = placeItem(renamesIn(folder), nameOf(temporaryPath), nameOf(finalPath),
                                  replacesExistingItems(), &placed)) {
        if (m_placeError.isNull() && err == ECANCELED)
            return Result::abandoned();
        return sendDidFail(placementError(err));
    }
    setStoredPath(parentOf(finalPath) + placed);
    sendDidSucceed();
    return {};
}

Result WebDAVTransferController::_uploadFileToPath(const QString &remotePath, InputStream *stream)
{
    if (!stream || stream->status() != TransferStream::NotOpen)
        return TransferError::fileTransfer(QStringLiteral("Failed opening data stream"));
    const QString temporary = parentOf(remotePath) + temporaryNameFor(nameOf(remotePath));
    m_placeAs = nameOf(remotePath);
    m_uploadTarget.clear();
    Result result = HTTPTransferController::_uploadFileToPath(temporary, stream);
    m_placeAs.reset();
    if (!result && m_uploadTarget.isValid()) {
        // Whatever the PUT left under the temporary name goes (best effort).
        setAbortIgnored(true);
        remove(m_uploadTarget);
        setAbortIgnored(false);
    }
    m_uploadTarget.clear();
    return result;
}

} // namespace pv
