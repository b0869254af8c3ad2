#pragma once

#include "transfer/transfererror.h"
#include "transfer/transferstreams.h"

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

namespace pv {

class FileTransferController;

/// Keys and values of the listing record RemoteItemAttributes.
inline constexpr const char *kNSFileType = "NSFileType";
inline constexpr const char *kNSFileTypeDirectory = "NSFileTypeDirectory";
inline constexpr const char *kNSFileTypeRegular = "NSFileTypeRegular";
inline constexpr const char *kNSFileSize = "NSFileSize";
inline constexpr const char *kNSFileModificationDate = "NSFileModificationDate";
inline constexpr const char *kNSFileCreationDate = "NSFileCreationDate";

/// Attributes of one listed entry (keys above; a key is absent when the protocol
/// does not supply it). NSFileSize is a qint64, the dates are QDateTime.
using RemoteItemAttributes = QVariantMap;
/// A folder listing: entry name (no path; never "." or "..") to its attributes.
using RemoteListing = QMap<QString, RemoteItemAttributes>;

/// Receiver of a controller's messages. Every message is sent on the thread that
/// called the operation, synchronously, in the order of the operation's events:
/// didStart, then any number of didUpdateProgress, then exactly one of didSucceed
/// or didFail (composite operations may send didSucceed for an auxiliary request
/// first). The defaults do nothing, so a delegate overrides what it needs.
class FileTransferControllerDelegate {
public:
    virtual ~FileTransferControllerDelegate() = default;
    /// An operation has begun work.
    virtual void fileTransferControllerDidStart(FileTransferController *controller);
    /// currentLength changed while a size is announced; read transferProgress().
    virtual void fileTransferControllerDidUpdateProgress(FileTransferController *controller);
    /// The operation ended successfully.
    virtual void fileTransferControllerDidSucceed(FileTransferController *controller);
    /// The operation failed; the operation then returns a failed result with this error.
    virtual void fileTransferControllerDidFail(FileTransferController *controller,
                                               const TransferError &error);
    /// Polled between chunks and while throttling sleeps (at least every 100 ms).
    /// Answering true abandons the running operation: its result is
    /// TransferResult::abandoned() and no failure or success message is sent. Must be cheap and
    /// thread-safe with respect to whoever requests the abort (an atomic flag is the usual answer).
    virtual bool fileTransferControllerShouldAbort(FileTransferController *controller);
    /// The controller is about to claim remotePath with an empty file that the
    /// complete item then replaces (held), or that claim is gone: replaced or
    /// removed (!held). A process that dies in between leaves an empty file
    /// under a final name, so the delegate notes the claim durably for a later
    /// start to remove. Answering false (it could not be noted) stops the claim.
    virtual bool fileTransferControllerClaims(FileTransferController *controller,
                                              const QString &remotePath, bool held);
};

/// The one contract through which every protocol is driven. A controller is made
/// for one destination base URL (user, password, host, port, path, query), is
/// owned by whoever created it and is used by one thread at a time: each
/// operation runs synchronously on the calling thread and returns when finished.
/// Each operation returns its result (with the error on failure); after a
/// failure the controller can run its next operation.
///
/// What a protocol can do beyond the operations is asked through its
/// capabilities (hasFolders, takesDateFolders, supportsItemDates, supportsTags,
/// hasAtomicFolderDelivery, needsLogIn, didCreateFinalURL), so a caller never
/// needs to know the class or the scheme.
class FileTransferController : public DataStreamSource {
public:
    /// Chunk size of every data transfer (the one transfer buffer of a controller).
    static constexpr qint64 kChunkSize = 0x40000;

    /// The factory: picks the controller class by the URL's scheme from its table
    /// (one row per protocol class) and initialises it with the URL. Returns
    /// nullptr for a scheme without a row or a URL the class refuses. The caller owns the result.
    /// Any thread.
    [[nodiscard]] static std::unique_ptr<FileTransferController>
    fileTransferControllerWithURL(const QUrl &url);

    /// Creates a controller of class T for url: nullptr unless T accepts the URL
    /// (see initWithBaseURL).
    template <class T> [[nodiscard]] static std::unique_ptr<T> create(const QUrl &url)
    {
        auto c = std::make_unique<T>();
        if (!c->initWithBaseURL(url))
            return nullptr;
        return c;
    }

    FileTransferController();
    ~FileTransferController() override;
    Q_DISABLE_COPY_MOVE(FileTransferController)

    /// Accepts url when its scheme equals urlScheme(); keeps a copy and runs the
    /// local-host test. Subclasses add their own checks and call this first.
    virtual bool initWithBaseURL(const QUrl &url);

    [[nodiscard]] virtual QString urlScheme() const = 0;

    // Capabilities. The defaults describe a file server reached with a log-on
    // that keeps folders but neither dates nor tags.
    /// False for storage that takes single files at the top of the destination
    /// (no folders, no date folders).
    [[nodiscard]] virtual bool hasFolders() const { return true; }
    /// True when a delivery makes the destination's date folders through this
    /// controller. Local destinations get theirs before the transfer.
    [[nodiscard]] virtual bool takesDateFolders() const { return hasFolders(); }
    /// True when a folder can be built under a temporary name and then put in
    /// place whole with moveIntoPlace. Without it a folder is built under its
    /// final name.
    [[nodiscard]] virtual bool hasAtomicFolderDelivery() const { return false; }
    /// True when the destination is reached with a log-on (false for the local
    /// file system, where only the folder path can be wrong).
    [[nodiscard]] virtual bool needsLogIn() const { return true; }
    /// False while an upload has not reached its final location (web storage
    /// that first answers a probe); a delivery counts only the final upload.
    [[nodiscard]] virtual bool didCreateFinalURL() const { return true; }
    /// True when setItemDates can set dates of delivered items.
    [[nodiscard]] virtual bool supportsItemDates() const { return false; }
    /// Sets the dates of the item at remotePath (an invalid date is left alone):
    /// the modification date, and the creation date where the protocol keeps one.
    /// Sends no delegate messages, so a delivery can call it from its success
    /// handler. The base fails with "Operation not supported by this controller".
    virtual Result setItemDates(const QString &remotePath, const QDateTime &creationDate,
                                const QDateTime &modificationDate);
    /// True when setItemTag can tag delivered items.
    [[nodiscard]] virtual bool supportsTags() const { return false; }
    /// Makes tag the only tag of the item at remotePath; no delegate messages.
    /// The base fails as setItemDates does.
    virtual Result setItemTag(const QString &remotePath, const QString &tag);

    /// Takes what the controller needs from the destination record beyond its
    /// URL (e.g. whether to verify server certificates). The base ignores it.
    virtual void applyDestinationSettings(const QVariantMap &destination) { Q_UNUSED(destination); }

    [[nodiscard]] const QUrl &baseURL() const { return m_baseURL; }
    /// The delegate is not owned; nullptr silences the controller.
    [[nodiscard]] FileTransferControllerDelegate *delegate() const { return m_delegate; }
    void setDelegate(FileTransferControllerDelegate *delegate) { m_delegate = delegate; }
    /// The base URL's host is this machine, ends with ".local" or is a private IPv4
    /// literal; such transfers are never throttled.
    [[nodiscard]] bool isLocalHost() const { return m_localHost; }

    // Temporary names and final names.
    /// The name an item is written under, beside its final name, until it is
    /// complete: "." + name (shortened when long) + "." + random letters +
    /// ".pvpart". Every partial upload and folder delivery carries such a name, so
    /// leftovers (of a crash, or of a connection that never came back) can be
    /// recognised by isTemporaryName.
    [[nodiscard]] static QString temporaryNameFor(const QString &finalName);
    [[nodiscard]] static bool isTemporaryName(const QString &name);

    /// Whether an upload or an item put in place may replace what exists under its
    /// final name (the default). When off, controllers with temporary names never
    /// replace anything: an item whose name is taken at the moment it is put in
    /// place (by a file, a folder or a link, dangling or not) is stored under the
    /// first free numbered form of the name instead.
    [[nodiscard]] bool replacesExistingItems() const { return m_replacesExisting; }
    void setReplacesExistingItems(bool replace) { m_replacesExisting = replace; }
    /// The remote path the last upload or moveIntoPlace stored its item under: the
    /// path it was given, or that path's numbered form. Empty after a failure.
    [[nodiscard]] const QString &storedPath() const { return m_storedPath; }

    // Progress.
    /// Announced size of the current transfer (0 = not announced).
    [[nodiscard]] quint64 transferSize() const { return m_maxLength; }
    /// currentLength / transferSize capped at 1.0; NaN while no size is announced.
    [[nodiscard]] float transferProgress() const;
    /// Bytes moved through the data stream by the last file transfer.
    [[nodiscard]] quint64 lastTransferSize() const { return m_totalSize; }
    /// MD5 of the last digesting file transfer (16 bytes), or empty when none.
    [[nodiscard]] QByteArray lastTransferDigestData() const;
    [[nodiscard]] bool digestComputation() const { return m_digestComputation; }
    void setDigestComputation(bool on) { m_digestComputation = on; }

    /// Idle time-out in seconds; 0 (the default) means none.
    [[nodiscard]] double timeOut() const { return m_timeOut; }
    void setTimeOut(double seconds) { m_timeOut = seconds; }
    /// Per-controller limits in bytes per second, 0 = none; a set limit replaces
    /// the process-wide one for this controller.
    [[nodiscard]] quint64 maximumUploadSpeed() const { return m_maxUploadSpeed; }
    void setMaximumUploadSpeed(quint64 bytesPerSecond) { m_maxUploadSpeed = bytesPerSecond; }
    [[nodiscard]] quint64 maximumDownloadSpeed() const { return m_maxDownloadSpeed; }
    void setMaximumDownloadSpeed(quint64 bytesPerSecond) { m_maxDownloadSpeed = bytesPerSecond; }
    /// Process-wide budgets shared by every controller without its own limit
    /// (file transfers to non-local hosts only). Any thread.
    [[nodiscard]] static quint64 globalMaximumUploadSpeed();
    static void setGlobalMaximumUploadSpeed(quint64 bytesPerSecond);
    [[nodiscard]] static quint64 globalMaximumDownloadSpeed();
    static void setGlobalMaximumDownloadSpeed(quint64 bytesPerSecond);

    // Paths and URLs.
    /// Joins the base URL's path and remotePath: either alone when the other is
    /// empty, otherwise concatenated with one "/" inserted only when neither side
    /// has one there. An empty result is "/"; a leading "/" is added when missing.
    [[nodiscard]] QString absolutePathForRemotePath(const QString &remotePath) const;
    /// Scheme, host and port of the base URL with absolutePathForRemotePath and
    /// the base URL's query; no user or password. Remote subclasses may map it to
    /// a location of their own; an invalid QUrl means the location cannot be formed.
    [[nodiscard]] virtual QUrl absoluteURLForRemotePath(const QString &remotePath) const;
    /// The same with the base URL's user and password.
    [[nodiscard]] QUrl fullAbsoluteURLForRemotePath(const QString &remotePath) const;

    // Operations: synchronous, on the calling thread. Each sends didStart when it
    // begins work and exactly one of didSucceed / didFail when it ends (an abort
    // ends it silently), and returns its result, which carries the error of the
    // failure message. Remote paths are relative to the base URL's path.
    // The base versions fail with "Operation not supported by this controller".

    /// Lists a folder.
    virtual TransferResult<RemoteListing> contentsOfDirectoryAtPath(const QString &path);

    // Queries answered in constant time where the protocol can ask for one
    // item, so a delivery into a folder of thousands does not read them all.
    // The direct answers send no delegate messages; the fallbacks list the
    // folder and send that listing's messages.

    /// Succeeds when path is a folder that can be listed; fails as its listing would.
    virtual Result checkFolderAtPath(const QString &path);
    /// Whether the folder of path holds an entry of its name (a file, folder
    /// or link, dangling or not). Fails where that cannot be told (the answer
    /// then is the delivery's to guess; an upload never replaces by accident).
    virtual TransferResult<bool> itemExists(const QString &path);
    /// Creates one folder (missing parents are not created).
    virtual Result createDirectoryAtPath(const QString &path);
    virtual Result deleteFileAtPath(const QString &path);
    /// Deletes an empty folder (protocols without recursive deletion).
    virtual Result deleteDirectoryAtPath(const QString &path);
    /// Deletes a folder with its whole content.
    virtual Result deleteDirectoryRecursivelyAtPath(const QString &path);
    virtual Result movePath(const QString &fromPath, const QString &toPath);
    virtual Result copyPath(const QString &fromPath, const QString &toPath);
    /// Puts the complete item at temporaryPath (file or folder, in the folder of
    /// finalPath) in place under finalPath, replacing or numbering as
    /// replacesExistingItems says, and sets storedPath. A replaced folder is moved
    /// aside first and removed once the new one is in place.
    virtual Result moveIntoPlace(const QString &temporaryPath, const QString &finalPath);

    /// Uploads a local file (symbolic links followed) to remotePath, announcing
    /// its size. A local file that is missing or unreadable is reported through
    /// didStart + didFail with the system's error.
    Result uploadFileFromPath(const QString &localPath, const QString &remotePath);
    /// Uploads bytes; fails at once, without messages, on null data.
    Result uploadFileFromData(const QByteArray &data, const QString &remotePath);
    Result uploadFileFromBytes(const char *bytes, quint64 length, const QString &remotePath);
    /// Uploads what stream (caller-owned, not yet open) yields. The controller
    /// opens and closes it. Resets transferSize to 0 afterwards.
    Result uploadFileToPath(const QString &remotePath, InputStream *stream);
    /// The same, announcing length first.
    Result uploadFileToPath(const QString &remotePath, InputStream *stream, quint64 length);
    /// Downloads into stream (caller-owned, not yet open). Resets transferSize to 0.
    Result downloadFileFromPath(const QString &remotePath, OutputStream *stream);
    /// Downloads into a local file; a partial file is removed on failure.
    Result downloadFileFromPath(const QString &remotePath, const QString &localPath);
    TransferResult<QByteArray> downloadFileFromPathToData(const QString &remotePath);
    Result downloadFileFromPathToNull(const QString &remotePath);
    /// Downloads into the caller's buffer and gives the byte count; fails also
    /// when the content does not fit.
    TransferResult<qint64> downloadFileFromPath(const QString &remotePath, char *buffer,
                                                quint64 capacity);

    // Data-source protocol (base behaviour: userInfo is a DataByteRange copied
    // from or into and advanced).
    bool openDataStream(void *userInfo) override;
    qint64 readDataFromStream(void *userInfo, char *buffer, qint64 maxLength) override;
    qint64 writeDataToStream(void *userInfo, const char *buffer, qint64 maxLength) override;
    void closeDataStream(void *userInfo) override;

protected:
    void setStoredPath(const QString &path) { m_storedPath = path; }

    /// The renames a controller offers for putting a complete item in place. They
    /// work on names in one folder and return 0 or an errno value.
    struct SiblingRenames {
        /// Renames, replacing a file at to (a folder there fails).
        std::function<int(const QString &from, const QString &to)> rename;
        /// Renames only when nothing at all exists at to; EEXIST otherwise.
        std::function<int(const QString &from, const QString &to)> renameExclusive;
        /// Removes the item with its whole content.
        std::function<int(const QString &name)> remove;
    };
    /// Puts the item named from in place as name with renames, as replace says
    /// (see replacesExistingItems); *placedName is the name used. 0 or an errno.
    static int placeItem(const SiblingRenames &renames, const QString &from, const QString &name,
                         bool replace, QString *placedName);

    /// The protocol's upload and download. stream is caller-owned and not yet open.
    virtual Result _uploadFileToPath(const QString &remotePath, InputStream *stream);
    virtual Result _downloadFileFromPath(const QString &remotePath, OutputStream *stream);

    // Progress bookkeeping for subclasses.
    [[nodiscard]] quint64 maxLength() const { return m_maxLength; }
    /// Stores the announced size and resets currentLength to 0.
    void setMaxLength(quint64 length);
    [[nodiscard]] quint64 currentLength() const { return m_currentLength; }
    /// Stores the value and sends didUpdateProgress, unless no size is announced or
    /// the value is unchanged.
    void setCurrentLength(quint64 length);
    void addToCurrentLength(quint64 count) { setCurrentLength(m_currentLength + count); }

    // Delegate senders: call these rather than the delegate directly. The
    // failure senders give back the error, so an operation can end with
    // `return sendDidFail(error);`.
    void sendDidStart();
    void sendDidUpdateProgress();
    void sendDidSucceed();
    TransferError sendDidFail(const TransferError &error);
    [[nodiscard]] bool shouldAbort();
    /// Start + failure with "FileTransferController" -1 and text.
    TransferError failOperation(const QString &text);
    /// The failure of an operation whose location cannot be formed:
    /// "\"%@\" is not reachable" with path.
    TransferError failNotReachable(const QString &path);
    /// The same for moves and copies: "\"%@\" or \"%@\" are not reachable".
    TransferError failNotReachable(const QString &path1, const QString &path2);
    /// The error of an operation this controller does not offer.
    [[nodiscard]] static TransferError unsupported();

    // Stream-layer primitives: local data streams opened through these take part
    // in throttling (file transfers to non-local hosts) and in the digest.
    /// Opens the caller's download target. false on failure (stream's error set).
    bool openOutputStream(OutputStream *stream, bool isFileTransfer);
    /// Writes the whole chunk (repeating partial writes), throttled and digested.
    bool writeToOutputStream(OutputStream *stream, const char *bytes, qint64 length);
    /// Flushes and finalises the download digest.
    bool flushOutputStream(OutputStream *stream);
    void closeOutputStream(OutputStream *stream);
    /// Opens the caller's upload source. false on failure (stream's error set).
    bool openInputStream(InputStream *stream, bool isFileTransfer);
    /// Reads one chunk, throttled and digested; count, 0 at end, -1 on failure.
    qint64 readFromInputStream(InputStream *stream, char *bytes, qint64 maxLength);
    void closeInputStream(InputStream *stream);
    /// Moves one chunk from the upload source straight into target when both sides
    /// allow it (see OutputStream::transferFrom), throttled like readFromInputStream.
    /// Returns -2 when not possible, so the caller falls back to read + write.
    qint64 transferFromInputStream(InputStream *stream, OutputStream *target, qint64 maxLength);

private:
    /// What opening either direction shares: counters, digest, speed limit.
    bool openStream(TransferStream *stream, bool isFileTransfer, quint64 speedLimit);
    enum class Direction { Upload, Download };
    double throttleBefore(Direction d);
    void throttleAfter(Direction d, double start, qint64 count);
    void sleepInterruptibly(double seconds);
    bool finaliseDigest();
    void dropDigest();

    QUrl m_baseURL;
    FileTransferControllerDelegate *m_delegate = nullptr;
    bool m_localHost = false;
    quint64 m_currentLength = 0;
    quint64 m_maxLength = 0;
    bool m_digestComputation = false;
    quint64 m_totalSize = 0;
    void *m_digestContext = nullptr;
    unsigned char m_digestBuffer[16] = {};
    bool m_hasDigest = false;
    double m_timeOut = 0;
    quint64 m_maxUploadSpeed = 0;
    quint64 m_maxDownloadSpeed = 0;
    bool m_fileTransfer = false;
    double m_maxSpeed = 0;
    bool m_replacesExisting = true;
    QString m_storedPath;
};

/// True when host names this machine (its host name, "localhost" or one of its
/// interface addresses), ends with ".local", or is an IPv4 literal in 10/8,
/// 172.16/12 or 192.168/16. An empty host is not local.
[[nodiscard]] bool isLocalHostName(const QString &host);
/// True when host names this machine: "localhost", its host name, a loopback
/// address or one of its interface addresses.
[[nodiscard]] bool isThisMachine(const QString &host);
/// Seconds on the monotonic clock, for measuring intervals.
[[nodiscard]] double monotonicSeconds();

} // namespace pv
