#pragma once

#include "transfer/streamtransfercontroller.h"

#include <QByteArray>
#include <QList>
#include <QUrl>

#include <utility>

namespace pv {

/// One HTTP request as a controller builds it before it is sent: method, URL
/// (never with credentials in it) and headers in the order they go out.
struct HTTPRequest {
    QByteArray method;
    QUrl url;
    QList<std::pair<QByteArray, QByteArray>> headers;
    /// Size of the request body: -1 when unknown (sent chunked) or when there is
    /// no body. 64-bit, so bodies beyond 2 GiB are announced correctly.
    qint64 bodyLength = -1;

    /// The value of a header (name compared without case), empty when absent.
    [[nodiscard]] QByteArray header(const QByteArray &name) const;
    /// Sets a header, replacing one of the same name.
    void setHeader(const QByteArray &name, const QByteArray &value);
    void removeHeader(const QByteArray &name);
};

/// Status line and headers of the response to the last request.
struct HTTPResponse {
    /// -1 when no response came (the connection failed).
    int status = -1;
    QByteArray statusLine;
    QList<std::pair<QByteArray, QByteArray>> headers;
    /// The URL the response belongs to (after redirects).
    QUrl url;

    [[nodiscard]] bool isValid() const { return status >= 0; }
    /// The value of a header (name compared without case), empty when absent.
    [[nodiscard]] QByteArray header(const QByteArray &name) const;
};

/// HTTP mechanics shared by the WebDAV and storage-service controllers, on
/// libcurl's easy interface: requests with Basic authentication and the class
/// name as "User-Agent", response capture, proxies as libcurl reads them from
/// the environment, certificate validation against the system trust store, and
/// the upload sequence (a HEAD probe that finds the final URL, then a streamed
/// PUT). A base only: the factory hands out its subclasses.
///
/// Every request is one run: didStart, progress while data moves, then
/// didSucceed or didFail (an abort ends it silently). One easy handle serves all
/// requests of a controller, so its connection is reused from one operation to
/// the next.
///
/// Subclasses hook in at willSendRequest (sign or add headers),
/// processReadResultStream (interpret a response; the user info is the method),
/// hasUploadDataStream (collect response bodies of uploads in memory) and
/// absoluteURLForRemotePath (map paths to locations).
class HTTPTransferController : public StreamTransferController {
public:
    /// First user-info key of HTTP failures: the status line and the host.
    static constexpr const char *kHTTPErrorKey = "HTTP error";

    HTTPTransferController();
    ~HTTPTransferController() override;

    [[nodiscard]] QString urlScheme() const override { return QStringLiteral("http"); }
    /// The name sent as "User-Agent".
    [[nodiscard]] virtual QString className() const
    {
        return QStringLiteral("HTTPTransferController");
    }
    /// Accepts a URL of the class's scheme with a host.
    bool initWithBaseURL(const QUrl &url) override;

    [[nodiscard]] bool didCreateFinalURL() const override { return m_didCreateFinalURL; }
    /// Uploads appear whole or not at all.
    [[nodiscard]] bool hasAtomicUploads() const { return true; }
    /// True when the body of an upload's answers (probe and PUT) is collected in
    /// memory for processReadResultStream.
    [[nodiscard]] virtual bool hasUploadDataStream() const { return false; }

    /// Status line and headers of the last request's response.
    [[nodiscard]] const HTTPResponse &responseHeaders() const { return m_response; }

    /// Only for "https" controllers: skip validation of the server's
    /// certificate chain. Off by default.
    [[nodiscard]] bool SSLCertificateValidationDisabled() const { return m_disableSSLCertificates; }
    void setSSLCertificateValidationDisabled(bool disabled);
    /// Keep the connection open after the controller is gone, for the next
    /// controller of the same server (connections are always reused within one
    /// controller). Off by default.
    [[nodiscard]] bool keepConnectionAlive() const { return m_keepAlive; }
    void setKeepConnectionAlive(bool on) { m_keepAlive = on; }

    /// The URL an upload to path goes to: the HEAD probe's answer (the probed
    /// URL for 200 and 404, the "Location" for 301 and 307). A run with its own
    /// start and success messages; an invalid URL and the error on failure.
    TransferResult<QUrl> finalURLForPath(const QString &path);

    // Data-source methods for the body of a PUT: the user info is the caller's
    // input stream; any other user info gets the base behaviour.
    bool openDataStream(void *userInfo) override;
    qint64 readDataFromStream(void *userInfo, char *buffer, qint64 maxLength) override;
    void closeDataStream(void *userInfo) override;

    /// The MIME type registered for the extension of path, or
    /// "application/octet-stream" when it has none or none is registered.
    [[nodiscard]] static QString mimeTypeForPath(const QString &path);

protected:
    /// A request with the User-Agent and, when the base URL has both a user and a
    /// password, Basic authentication.
    [[nodiscard]] HTTPRequest newHTTPRequest(const QByteArray &method, const QUrl &url) const;
    /// The same for a remote path, made absolute with absoluteURLForRemotePath.
    [[nodiscard]] HTTPRequest newHTTPRequest(const QByteArray &method, const QString &path) const;

    /// Called right before a request goes out: subclasses sign it or add
    /// headers. A request comes with Basic authentication when the base URL has
    /// a user and a password; a subclass that signs with them replaces (or
    /// removes) that "Authorization" header. Answering false (with *error set)
    /// sends nothing.
    virtual bool willSendRequest(HTTPRequest &request, TransferError *error);

    /// Runs one request as a run of its own (start, progress, success or
    /// failure): body (not yet open; may be nullptr) is sent as the request body,
    /// the response body goes to responseBody (caller-owned, not yet open; may be
    /// nullptr), then processReadResultStream(responseBody, userInfo) gives the
    /// result.
    TransferResult<QVariant> runRequest(HTTPRequest request, InputStream *body,
                                        OutputStream *responseBody, const QString &userInfo,
                                        bool isFileTransfer);
    /// Sends one request without delegate messages and without interpreting the
    /// status: true once a response came (read responseHeaders()), false with
    /// *error on a transport failure or an aborted transfer (null *error). body
    /// and responseBody must already be open (or nullptr).
    bool performRequest(HTTPRequest request, InputStream *body, OutputStream *responseBody,
                        bool isFileTransfer, TransferError *error);

    /// The status rules of HEAD, GET and PUT. userInfo is the method.
    QVariant processReadResultStream(OutputStream *dataStream, const QString &userInfo,
                                     TransferError *error) override;
    /// "Unsupported HTTP response" in the "http" domain with the status as code
    /// and the status line and host as first user-info entry.
    [[nodiscard]] TransferError unsupportedResponse() const;
    /// The bytes collected by an in-memory response stream (empty otherwise).
    [[nodiscard]] static QByteArray bodyOf(const OutputStream *stream);

    /// The upload sequence: probe, then PUT of stream to the probed URL.
    Result _uploadFileToPath(const QString &remotePath, InputStream *stream) override;
    /// GET into stream.
    Result _downloadFileFromPath(const QString &remotePath, OutputStream *stream) override;

    /// The URL the last successful upload's PUT went to.
    [[nodiscard]] const QUrl &lastUploadURL() const { return m_lastUploadURL; }
    /// While set, requests do not ask the delegate whether to abort: for short
    /// clean-up and completion steps that must run to their end.
    void setAbortIgnored(bool ignored) { m_abortIgnored = ignored; }

private:
    struct Curl;
    friend struct Curl;

    TransferError transportError(int code, const QUrl &url) const;

    std::unique_ptr<Curl> m_curl;
    HTTPResponse m_response;
    bool m_disableSSLCertificates = false;
    bool m_keepAlive = false;
    bool m_didCreateFinalURL = true;
    bool m_abortIgnored = false;
    // The caller's stream while it feeds a PUT body through the data-source methods.
    InputStream *m_uploadSource = nullptr;
    QUrl m_lastUploadURL;
};

/// The "https" form of HTTPTransferController.
class SecureHTTPTransferController : public HTTPTransferController {
public:
    [[nodiscard]] QString urlScheme() const override { return QStringLiteral("https"); }
    [[nodiscard]] QString className() const override
    {
        return QStringLiteral("SecureHTTPTransferController");
    }
};

} // namespace pv
