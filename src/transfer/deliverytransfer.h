#pragma once

#include "transfer/filetransfercontroller.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class QObject;

namespace pv {

/// Keys of the TransferParameters record a delivery is started with.
namespace transferkeys {
inline const QString localPath = QStringLiteral("localPath");
inline const QString url = QStringLiteral("url");
inline const QString dest = QStringLiteral("dest");
inline const QString origSize = QStringLiteral("origSize");
inline const QString moddate = QStringLiteral("moddate");
inline const QString creatdate = QStringLiteral("creatdate");
inline const QString isFolder = QStringLiteral("isFolder");
inline const QString folderContents = QStringLiteral("folderContents");
inline const QString numOfItemsInFolder = QStringLiteral("numOfItemsInFolder");
inline const QString name = QStringLiteral("name");
inline const QString subpath = QStringLiteral("subpath");
inline const QString finalTargetPathRelativeToBaseURL =
    QStringLiteral("finalTargetPathRelativeToBaseURL");
} // namespace transferkeys

/// The application side of a delivery: receives every report of a
/// DeliveryTransfer. All calls arrive on the thread that created the transfer
/// (the main thread), one at a time and in order, while the transfer's worker
/// waits for each call to return. Implemented by the application controller.
class DeliveryTransferReceiver {
public:
    virtual ~DeliveryTransferReceiver() = default;
    /// A TransferStatus record, keyed by "type": "error" ("error", "errorInfo"),
    /// "update" ("field" = "statusField" or "status2Field" and its texts),
    /// "progr" ("progr", 0.0 to 1.0) or "success".
    virtual void readTransferProgress(const QVariantMap &status) = 0;
    /// A listing report: "type" = "startListing", "endListing", "creatingDir", or
    /// "error" with the text under "error" (the delivery goes on).
    virtual void transferIsListingDirectory(const QVariantMap &report) = 0;
    /// The data transfer has started (sizes are known).
    virtual void transferDidStart() = 0;
    /// The date-folder path below the destination (relative, may be empty).
    virtual void setDateFolderPath(const QString &path) = 0;
    /// The name under which the item is stored.
    virtual void setFinalName(const QString &name) = 0;
    /// The target location is fixed; download links can be composed now.
    virtual void setDownloadURLInItemDict() {}
    /// The delivery was cancelled: the last report of this transfer. The
    /// receiver resets its progress display and goes on with the queue.
    virtual void cancelProcess() = 0;
    /// Something unexpected escaped the delivery; message is the complete alert
    /// text. The receiver shows it as a critical alert titled "Transfer error" with
    /// the single button "Quit", then ends the application.
    virtual void transferDidFailUnexpectedly(const QString &message) = 0;
};

/// Carries one processed queue item (a file or a folder tree) to one
/// destination through the controller of the destination's URL: connection
/// check, date folders, final name, upload, date restore and tag, with every
/// step reported to a DeliveryTransferReceiver.
///
/// Create it on the receiver's thread, which must run a Qt event loop; start()
/// runs the delivery on a worker thread of its own. Each report is handed to the
/// receiver's thread and the worker waits until it has been handled. The
/// object, its receiver and the parameters stay with the creator; destroy it on
/// the creating thread (the destructor stops and joins the worker, and no report
/// reaches the receiver afterwards).
class DeliveryTransfer final : private FileTransferControllerDelegate {
public:
    using ControllerFactory =
        std::function<std::unique_ptr<FileTransferController>(const QUrl &url)>;

    /// receiver is not owned and must outlive this object. parameters is a
    /// TransferParameters record (a copy is kept).
    DeliveryTransfer(DeliveryTransferReceiver *receiver, const QVariantMap &parameters);
    ~DeliveryTransfer() override;
    Q_DISABLE_COPY_MOVE(DeliveryTransfer)

    /// Replaces the controller factory (FileTransferController's by default).
    /// Call before start().
    void setControllerFactory(ControllerFactory factory) { m_factory = std::move(factory); }

    /// Starts the delivery on a new worker thread. Creating thread, once.
    void start();
    /// Cancels the delivery: the running controller operation is abandoned at its
    /// next should-abort question, the receiver gets cancelProcess() at once (on
    /// this thread), and nothing is reported after that. Does nothing once the
    /// final report ("success" or "error") has been handled or when called twice.
    /// Creating thread only.
    void cancel();
    /// True once the worker has ended (the final report may come before the
    /// worker has restored folder dates and applied the tag). Any thread.
    [[nodiscard]] bool isFinished() const { return m_finished.load(); }
    /// True after cancel().
    [[nodiscard]] bool isCancelled() const { return m_cancelled.load(); }

    /// The operation's entry point: the whole delivery on the calling thread,
    /// with anything unexpected turned into transferDidFailUnexpectedly().
    /// start() calls it on the worker; tests may call it directly.
    void startProcess();

    /// Name under which the item is stored. Worker thread while running.
    [[nodiscard]] const QString &finalName() const { return m_finalName; }

    /// The date folder name for a destination's dateFormat ("YYYY-MM-DD" when
    /// empty) on date: "YYYY", "MM" and "DD" (any case) become the year, month and
    /// day; all other text is kept as it is.
    [[nodiscard]] static QString dateFolderName(const QString &dateFormat, const QDateTime &date);
    /// The upload limit from the settings: "throttleUploadsSpeed" when
    /// "throttleUploads" is on, else 0 (bytes per second).
    [[nodiscard]] static quint64 maxUploadSpeed();

private:
    struct Channel;

    void startProcessNow();
    QString createDateFolderPath(const QStringList &rootNames);
    /// True when every item was sent; false once a failure was reported or the
    /// delivery was stopped.
    bool uploadFolderContents(const QVariantList &items, const QString &rootPath);
    /// Moves the complete folder from its temporary name to finalPath (or its
    /// numbered form); reports the failure when it cannot.
    bool placeFolder(const QString &finalPath);
    /// Removes the folder being built, logging when it cannot.
    void discardFolder();
    /// The item was stored under another name than chosen: tell the receiver.
    void adoptStoredName(const QString &storedPath);
    /// A path inside the folder being built, as it is once the folder is in place.
    [[nodiscard]] QString placedPath(const QString &path) const;
    void restoreModificationAndCreationDate();
    void restoreModificationDateOfFolders();
    void applyTag();

    // FileTransferControllerDelegate
    void fileTransferControllerDidStart(FileTransferController *controller) override;
    void fileTransferControllerDidUpdateProgress(FileTransferController *controller) override;
    void fileTransferControllerDidSucceed(FileTransferController *controller) override;
    void fileTransferControllerDidFail(FileTransferController *controller,
                                       const TransferError &error) override;
    bool fileTransferControllerShouldAbort(FileTransferController *controller) override;

    // Reports, each handled on the receiver's thread while the worker waits.
    void perform(std::function<void(DeliveryTransferReceiver *)> call, bool isFinal = false);
    void updateStatus(const QVariantMap &status);
    void updateListing(const QVariantMap &report);
    void updateListing(const char *type);
    void startProgress();
    void setDateFolderPathInAppDelegate(const QString &path);
    void setFinalNameInAppDelegate(const QString &name);
    void logDateFolderError(const QString &text);

    [[nodiscard]] bool stopped() const { return m_cancelled.load() || m_abandoned.load(); }

    ControllerFactory m_factory;
    std::shared_ptr<Channel> m_channel;
    std::unique_ptr<QObject> m_context;
    std::thread m_thread;
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_abandoned{false};
    std::atomic<bool> m_finished{false};
    quint64 m_maxUploadSpeed = 0;

    // Worker-thread state.
    std::unique_ptr<FileTransferController> m_transferController;
    QString m_finalName;
    QString m_finalTargetPathRelativeToBaseURL;
    QVariantList m_foldersOfDelivery;
    quint64 m_fullTransferSize = 0;
    QString m_fullTransferSizeStr;
    double m_savedDate = 0;
    quint64 m_lastDoneSize = 0;
    double m_timeSample = 0;
    quint64 m_sizeSample = 0;
    quint64 m_doneSizeOfFolder = 0;
    quint64 m_folderSize = 0;
    QString m_folderSizeStr;
    QVariantMap m_parameters;
    QVariantMap m_currFileDict;
    bool m_isListing = false;
    bool m_isUploadingFolderContents = false;
    // Controller messages of clean-up and placement steps are not the delivery's.
    bool m_quiet = false;
    // A folder delivery: where it is built, and where it is (to be) stored.
    QString m_folderBuildPath;
    QString m_folderStoredPath;
};

} // namespace pv
