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
#include <optional>
#include <variant>

class QObject;
class QSemaphore;
class QThread;

namespace pv {

class Journal;

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

/// Keys of the note a delivery keeps in the journal (Journal::kUploadTemp)
/// while an item is written under a temporary name.
namespace notekeys {
/// The destination's URL without password, and the destination's name.
inline const QString url = QStringLiteral("url");
inline const QString dest = QStringLiteral("dest");
/// The item's final path below the URL.
inline const QString path = QStringLiteral("path");
/// A folder: the path it is built under (its temporary name, or its final
/// name where the controller cannot put a folder in place whole).
inline const QString buildPath = QStringLiteral("buildPath");
/// A second note of a file, kept while an empty file claims a final name
/// until the file replaces it: the claimed path (see
/// FileTransferControllerDelegate::fileTransferControllerClaims).
inline const QString claim = QStringLiteral("claim");
/// A file: its size, and the record its receiver gave for the moment it is in
/// place (setPlacedHandler), so that a start after a crash between putting the
/// file in place and noting that can tell the delivery completed.
inline const QString size = QStringLiteral("size");
inline const QString placed = QStringLiteral("placed");
} // namespace notekeys

/// The reports of a delivery, in the order a delivery may send them.
namespace transferreport {
/// The destination is being listed.
struct ListingStarted {};
/// Date folders are being listed or created.
struct CreatingFolders {};
/// Listing is over; the data transfer comes next.
struct ListingEnded {};
/// A date folder could not be listed or made; the delivery goes on one level
/// higher. text is the complete error text.
struct DateFolderTrouble {
    QString text;
};
/// The date-folder path below the destination (relative, may be empty).
struct DateFolderPath {
    QString path;
};
/// The name under which the item is stored.
struct FinalName {
    QString name;
};
/// The target location is fixed; download links can be composed now.
struct TargetFixed {};
/// The data transfer has started (sizes are known).
struct Started {};
/// The item of a folder delivery now under way: "item 2 of 5: a.txt", or
/// "Creating directory sub" for a folder.
struct CurrentItem {
    QString itemInfo;
    bool isFolder = false;
};
/// Fraction done, 0.0 to 1.0 (of the whole folder for a folder delivery).
struct Progress {
    double fraction = 0;
};
/// The amounts behind the latest Progress, as texts.
struct Amounts {
    QString doneSize;
    QString fullSize;
    QString speed;
    QString timeLeft;
    bool folderContents = false;
};
/// Final: the item was delivered.
struct Succeeded {};
/// Final: the delivery failed; error is the headline, errorInfo the detail,
/// cause the controller's error where there was one.
struct Failed {
    QString error;
    QString errorInfo;
    TransferError cause = {};
};
/// Final: something unexpected escaped the delivery; message is the complete
/// alert text. The receiver shows it as a critical alert titled "Transfer
/// error" with the single button "Quit", then ends the application.
struct FailedUnexpectedly {
    QString message;
};
} // namespace transferreport

using TransferReport =
    std::variant<transferreport::ListingStarted, transferreport::CreatingFolders,
                 transferreport::ListingEnded, transferreport::DateFolderTrouble,
                 transferreport::DateFolderPath, transferreport::FinalName,
                 transferreport::TargetFixed, transferreport::Started, transferreport::CurrentItem,
                 transferreport::Progress, transferreport::Amounts, transferreport::Succeeded,
                 transferreport::Failed, transferreport::FailedUnexpectedly>;

/// Whether a report ends the delivery (Succeeded, Failed, FailedUnexpectedly).
[[nodiscard]] bool isFinalReport(const TransferReport &report);

/// The application side of a delivery: receives every report of a
/// DeliveryTransfer. All calls arrive on the thread that created the transfer
/// (the main thread), one at a time and in order; the transfer's worker waits
/// for each call to return, except for the final report.
class DeliveryTransferReceiver {
public:
    virtual ~DeliveryTransferReceiver() = default;
    /// One report of the delivery; nothing follows a final one.
    virtual void receive(const TransferReport &report) = 0;
    /// The delivery was cancelled: the last report of this transfer. The
    /// receiver resets its progress display and goes on with the queue.
    virtual void cancelProcess() = 0;
};

/// Carries one processed queue item (a file or a folder tree) to one
/// destination through the controller of the destination's URL: connection
/// check, date folders, final name, upload, date restore and tag, with every
/// step reported to a DeliveryTransferReceiver.
///
/// Create it on the receiver's thread, which must run a Qt event loop; start()
/// runs the delivery on a worker thread of a pool shared by all deliveries
/// (a burst of small files would otherwise start a thread per file). Each report is handed to the
/// receiver's thread and the worker waits until it has been handled (the final
/// report excepted). The object, its receiver and the parameters stay with the
/// creator; destroy it on the creating thread, but not from inside a report
/// other than the final one (the destructor stops and joins the worker, and no
/// report reaches the receiver afterwards).
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
    /// The journal where the delivery notes each item it writes under a
    /// temporary name before it starts (Journal::kUploadTemp, see notekeys),
    /// and retires the note once the item is in place or removed, so that a
    /// later start can remove what a crash left behind (removeLeftovers).
    /// None by default. Call before start().
    void setJournal(std::shared_ptr<Journal> journal) { m_journal = std::move(journal); }
    /// Called on the worker thread the moment the item is in place, before
    /// its success is reported: the receiver hears of it only later, and a
    /// crash in between must not make the item look undelivered. record goes
    /// into the notes of a file (notekeys::placed) for a crash before even
    /// that. Call before start().
    void setPlacedHandler(std::function<void()> handler, const QVariantMap &record)
    {
        m_placed = std::move(handler);
        m_placedRecord = record;
    }

    /// Removes what an interrupted delivery left at its destination: note is
    /// the value of a Journal::kUploadTemp line and controller one made for
    /// its URL. A file's partial uploads are found in its folder by their
    /// temporary names; a folder's build is removed whole. Each removal is
    /// logged. False when the destination could not be asked (the note must
    /// stay for a later start). A file found whole under its final name with
    /// no partial upload beside it was put in place: *placed is set to its
    /// path. Waits while a delivery of this process writes the same item. Any
    /// thread but the main thread.
    static bool removeLeftovers(FileTransferController &controller, const QVariantMap &note,
                                QString *placed = nullptr);

    /// Starts the delivery on the worker thread. Creating thread, once.
    void start();
    /// Cancels the delivery: the running controller operation is abandoned at its
    /// next should-abort question, the receiver gets cancelProcess() at once (on
    /// this thread), and nothing is reported after that. Does nothing once the
    /// final report ("success" or "error") has been handled or when called twice.
    /// Creating thread only.
    void cancel();
    /// True once the worker has ended and its final report has been handled
    /// (the final report may come before the worker has restored folder dates
    /// and applied the tag). Any thread.
    [[nodiscard]] bool isFinished() const;
    /// True after cancel().
    [[nodiscard]] bool isCancelled() const { return m_cancelled.load(); }

    /// The operation's entry point: the whole delivery on the calling thread,
    /// with anything unexpected turned into a FailedUnexpectedly report.
    /// start() calls it on the worker; tests may call it directly.
    void startProcess();

    /// Name under which the item is stored. Worker thread while running.
    [[nodiscard]] const QString &finalName() const { return m_finalName; }

    /// The date folder name for a destination's dateFormat ("YYYY-MM-DD" when
    /// empty) on date: "YYYY", "MM" and "DD" (any case) become the year, month and
    /// day; all other text is kept as it is.
    [[nodiscard]] static QString dateFolderName(const QString &dateFormat, const QDateTime &date);
    /// The detail text of a failure with error: built from the first user-info
    /// entry ("FTP error" and its explanation for an FTP status code, the FTPS
    /// hint for a reset connection); empty when the error has no user info.
    [[nodiscard]] static QString failureDetail(const TransferError &error);
    /// The upload limit from the settings: "throttleUploadsSpeed" when
    /// "throttleUploads" is on, else 0 (bytes per second).
    [[nodiscard]] static quint64 maxUploadSpeed();

private:
    struct Channel;

    void startProcessNow();
    /// Returns once the receiver has handled every report sent so far.
    void waitForReports();
    QString createDateFolderPath();
    /// The first of name, "name_1", "name_2", ... not taken in folder, each
    /// looked up on its own; nullopt when the folder cannot be looked into.
    std::optional<QString> freeName(const QString &folder, const QString &name);
    /// True when every item was sent; false once a failure was reported or the
    /// delivery was stopped.
    bool uploadFolderContents(const QVariantList &items, const QString &rootPath);
    /// Moves the complete folder from its temporary name to finalPath (or its
    /// numbered form); reports the failure when it cannot.
    bool placeFolder(const QString &finalPath);
    /// Removes the folder being built, logging when it cannot. Returns
    /// whether it is gone.
    bool discardFolder();
    /// Notes in the journal that the item at path is about to be written
    /// (built at buildPath for a folder, size -1; a file's size otherwise);
    /// the note's id, "" without journal.
    QString noteTemporaryItem(const QString &path, const QString &buildPath, qint64 size);
    /// The item of note is in place or removed: retires the note. Otherwise
    /// (a failed upload) looks for what is left first; a cancelled delivery
    /// leaves the note to the next start.
    void settleNote(const QString &note, bool done);
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
    bool fileTransferControllerClaims(FileTransferController *controller, const QString &remotePath,
                                      bool held) override;

    // Reports, each handled on the receiver's thread while the worker waits.
    void perform(const TransferReport &report, bool isFinal = false);
    void updateStatus(const TransferReport &report);
    void updateListing(const TransferReport &report);
    void startProgress();
    void setDateFolderPathInAppDelegate(const QString &path);
    void setFinalNameInAppDelegate(const QString &name);
    void logDateFolderError(const QString &text);
    /// The failure report of the item: headline, detail and the error behind them.
    void reportFailure(const QString &error, const QString &errorInfo,
                       const TransferError &cause = {});

    [[nodiscard]] bool stopped() const { return m_cancelled.load() || m_abandoned.load(); }

    ControllerFactory m_factory;
    std::shared_ptr<Journal> m_journal;
    std::function<void()> m_placed;
    QVariantMap m_placedRecord;
    std::shared_ptr<Channel> m_channel;
    std::unique_ptr<QObject> m_context;
    // Released by the worker once it will touch this object no more.
    std::shared_ptr<QSemaphore> m_workerDone;
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_abandoned{false};
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
    // Looking for what a failed upload left; abandoned with the transfer.
    bool m_sweeping = false;
    // The journal note of the item being written.
    QVariantMap m_note;
    // The journal line of a claim of a final name held now, if any.
    QString m_claimNote;
    /// Claims given up whose note could not be retired at once: retired
    /// with the upload's note.
    QStringList m_releasedClaims;
    // A folder delivery: where it is built, and where it is (to be) stored.
    QString m_folderBuildPath;
    QString m_folderStoredPath;
};

} // namespace pv
