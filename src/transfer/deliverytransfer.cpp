#include "transfer/deliverytransfer.h"

#include "core/dates.h"
#include "core/fileops.h"
#include "core/journal.h"
#include "core/log.h"
#include "core/record.h"
#include "core/settings.h"
#include "core/sizetext.h"
#include "core/support.h"
#include "core/urlescape.h"
#include "transfer/ftperrors.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QSet>
#include <QThread>
#include <QThreadPool>
#include <QTime>
#include <QWaitCondition>

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

namespace pv {

namespace k = transferkeys;

namespace {

QString trimmedSlashes(QString s)
{
    while (s.startsWith(QLatin1Char('/')))
        s.remove(0, 1);
    while (s.endsWith(QLatin1Char('/')))
        s.chop(1);
    return s;
}

QString deletingLastPathComponent(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : path.left(slash);
}

QString valueText(const QVariant &v)
{
    return v.toString();
}

// One writer per destination item in the process: a delivery writing an
// item and the start-up sweep of what a crash left of the same item take
// turns, so the sweep never removes a partial upload that is still going on.
class ItemGuard {
public:
    explicit ItemGuard(const QUrl &base, const QString &path)
        : m_key(base.adjusted(QUrl::RemoveUserInfo).toString() + QLatin1Char('\n') + path)
    {
        QMutexLocker lock(&s_mutex);
        while (s_busy.contains(m_key))
            s_freed.wait(&s_mutex);
        s_busy.insert(m_key);
    }
    ~ItemGuard()
    {
        QMutexLocker lock(&s_mutex);
        s_busy.remove(m_key);
        s_freed.wakeAll();
    }
    Q_DISABLE_COPY_MOVE(ItemGuard)

private:
    const QString m_key;
    static inline QMutex s_mutex;
    static inline QWaitCondition s_freed;
    static inline QSet<QString> s_busy;
};

// Whether name is one of the temporary names FileTransferController gives
// finalName: the same stem, then random letters and the suffix.
bool isTemporaryNameOf(const QString &name, const QString &finalName)
{
    if (!FileTransferController::isTemporaryName(name))
        return false;
    const QString sample = FileTransferController::temporaryNameFor(finalName);
    const qsizetype suffix = sample.lastIndexOf(QLatin1Char('.'));
    const qsizetype random = sample.lastIndexOf(QLatin1Char('.'), suffix - 1);
    const QStringView prefix = QStringView(sample).left(random + 1);
    const QStringView end = QStringView(sample).mid(suffix);
    if (!name.startsWith(prefix) || !name.endsWith(end) ||
        name.size() <= prefix.size() + end.size())
        return false;
    const QStringView middle =
        QStringView(name).mid(prefix.size(), name.size() - prefix.size() - end.size());
    return !middle.contains(QLatin1Char('.'));
}

// Removes what the delivery noted in note left at its destination; false
// when the destination could not be asked. A file whole under its final name
// (or its claim) with no partial upload beside it was renamed into place: its
// path goes to *placed.
bool sweepLeftovers(FileTransferController &controller, const QVariantMap &note, QString *placed)
{
    const QString where = maskedURL(recString(note, notekeys::url));
    const auto removed = [&](const QString &path, const Result &result) {
        if (result)
            log(lcTransfer(), QStringLiteral("Removed the leftover %1 of an interrupted delivery "
                                             "to %2")
                                  .arg(path, where));
        else
            log(lcTransfer(), QStringLiteral("Could not remove the leftover %1 of an interrupted "
                                             "delivery to %2: %3")
                                  .arg(path, where, result.error().reasonText()));
        return result.ok();
    };
    const QString path = recString(note, notekeys::path);
    const QString buildPath = recString(note, notekeys::buildPath);
    if (!buildPath.isEmpty()) {
        const TransferResult<bool> exists = controller.itemExists(buildPath);
        if (!exists.ok())
            return false;
        return !exists.value() ||
               removed(buildPath, controller.deleteDirectoryRecursivelyAtPath(buildPath));
    }
    const QString folder = deletingLastPathComponent(path);
    const TransferResult<RemoteListing> listing =
        controller.contentsOfDirectoryAtPath(folder.isEmpty() ? QStringLiteral("/") : folder);
    if (!listing.ok())
        return false;
    const QString claim = recString(note, notekeys::claim);
    const QString item = claim.isEmpty() ? path : claim;
    const RemoteItemAttributes found = listing->value(lastPathComponent(item));
    const bool isFile =
        !found.isEmpty() && found.value(QString::fromLatin1(kNSFileType)).toString() !=
                                QLatin1String(kNSFileTypeDirectory);
    const qint64 size = found.value(QString::fromLatin1(kNSFileSize)).toLongLong();
    bool partials = false;
    for (auto it = listing->cbegin(); it != listing->cend(); ++it)
        partials = partials || isTemporaryNameOf(it.key(), lastPathComponent(path));
    if (placed && isFile && !partials && note.contains(notekeys::size) &&
        size == recInt(note, notekeys::size)) {
        *placed = item;
        return true;
    }
    if (!claim.isEmpty()) {
        // Still empty: the claim itself, never replaced by the item.
        return !isFile || size != 0 || removed(claim, controller.deleteFileAtPath(claim));
    }
    bool all = true;
    for (auto it = listing->cbegin(); it != listing->cend(); ++it) {
        if (!isTemporaryNameOf(it.key(), lastPathComponent(path)))
            continue;
        const QString leftover = folder + QLatin1Char('/') + it.key();
        const bool isFolder = it.value().value(QString::fromLatin1(kNSFileType)).toString() ==
                              QLatin1String(kNSFileTypeDirectory);
        all = removed(leftover, isFolder ? controller.deleteDirectoryRecursivelyAtPath(leftover)
                                         : controller.deleteFileAtPath(leftover)) &&
              all;
    }
    return all;
}

} // namespace

bool DeliveryTransfer::removeLeftovers(FileTransferController &controller, const QVariantMap &note,
                                       QString *placed)
{
    const ItemGuard guard(controller.baseURL(), recString(note, notekeys::path));
    return sweepLeftovers(controller, note, placed);
}

QString DeliveryTransfer::noteTemporaryItem(const QString &path, const QString &buildPath,
                                            qint64 size)
{
    if (!m_journal)
        return {};
    // The URL the controller was made for, so a later start makes the same one.
    QUrl url = m_transferController->baseURL();
    url.setPassword(QString());
    m_note = {{notekeys::url, url.toString()},
              {notekeys::dest, recString(m_parameters.value(k::dest).toMap(), k::name)},
              {notekeys::path, path},
              {notekeys::buildPath, buildPath}};
    if (size >= 0 && !m_placedRecord.isEmpty()) {
        m_note.insert(notekeys::size, size);
        m_note.insert(notekeys::placed, m_placedRecord);
    }
    // Lost only in a power cut, with a hidden leftover as its cost.
    return m_journal->appendUnflushed(Journal::kUploadTemp, m_note);
}

void DeliveryTransfer::settleNote(const QString &note, bool done)
{
    if (note.isEmpty())
        return;
    if (!done && !stopped()) {
        // A failed upload removes its temporary item unless the destination
        // went away meanwhile: look, so the note goes when nothing is left.
        // Destroying the transfer abandons the look.
        m_quiet = true;
        m_sweeping = true;
        done = sweepLeftovers(*m_transferController, m_note, nullptr);
        m_sweeping = false;
        m_quiet = false;
    }
    QStringList ids = std::exchange(m_releasedClaims, {});
    if (done)
        ids.append(note);
    if (!ids.isEmpty())
        m_journal->retire(ids);
}

// The reports' way to the receiver's thread. Shared with the queued calls so a
// call that runs after the transfer is gone finds it closed instead of freed.
// Receiver's thread only.
struct DeliveryTransfer::Channel {
    DeliveryTransferReceiver *receiver = nullptr;
    QThread *thread = nullptr;
    // No report passes any more (cancel notice given, final report handled
    // or transfer destroyed).
    bool closed = false;
    // A queued report is being handled, and whether it is the final one.
    bool delivering = false;
    bool deliveringFinal = false;
    // The worker has ended and every report it sent has been handled.
    std::atomic<bool> finished{false};
};

DeliveryTransfer::DeliveryTransfer(DeliveryTransferReceiver *receiver,
                                   const QVariantMap &parameters)
    : m_channel(std::make_shared<Channel>()), m_context(std::make_unique<QObject>()),
      m_parameters(parameters)
{
    m_channel->receiver = receiver;
    m_channel->thread = QThread::currentThread();
    m_maxUploadSpeed = maxUploadSpeed();
    m_factory = [](const QUrl &url) {
        return FileTransferController::fileTransferControllerWithURL(url);
    };
}

DeliveryTransfer::~DeliveryTransfer()
{
    m_channel->closed = true;
    m_abandoned = true;
    if (m_workerDone) {
        // The worker may be blocked on a report queued to this thread: hand
        // those over (closed, they do nothing) until it has seen it must stop.
        // Only the final report is not waited for, so being destroyed from
        // inside it still joins.
        Q_ASSERT(!m_channel->delivering || m_channel->deliveringFinal);
        while (!m_workerDone->tryAcquire(1, 5))
            QCoreApplication::sendPostedEvents(m_context.get(), QEvent::MetaCall);
    }
    // Released from inside a report's handler: the context is running that
    // report's call, so it goes once the call has returned.
    if (m_channel->delivering)
        m_context.release()->deleteLater();
}

namespace {

// Workers are kept for a while after a delivery, so a burst reuses them. The
// pool is never full: a delivery never waits for another to end (one that
// hangs on a dead server must not hold up the next).
QThreadPool &workers()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(256);
        p->setExpiryTimeout(30000);
        return p;
    }();
    return *pool;
}

} // namespace

void DeliveryTransfer::start()
{
    if (m_workerDone)
        return;
    m_workerDone = std::make_shared<QSemaphore>();
    workers().start([this, done = m_workerDone] {
        startProcess();
        // Behind the reports in the queue: the final one has been handled
        // by the time this runs.
        QMetaObject::invokeMethod(
            m_context.get(), [channel = m_channel] { channel->finished = true; },
            Qt::QueuedConnection);
        done->release();
    });
}

bool DeliveryTransfer::isFinished() const
{
    return m_channel->finished.load();
}

void DeliveryTransfer::cancel()
{
    const std::shared_ptr<Channel> channel = m_channel;
    if (channel->closed)
        return;
    channel->closed = true;
    m_cancelled = true;
    log(lcTransfer(), QStringLiteral("DeliveryTransfer: cancelled"));
    // The receiver may release this object from its handler: touch nothing after.
    channel->receiver->cancelProcess();
}

// ---------------------------------------------------------------------------
// Reports

void DeliveryTransfer::perform(const TransferReport &report, bool isFinal)
{
    if (stopped())
        return;
    const std::shared_ptr<Channel> channel = m_channel;
    if (QThread::currentThread() == channel->thread) {
        if (channel->closed)
            return;
        channel->closed = isFinal;
        channel->receiver->receive(report);
        return;
    }
    // Reports are handled in the order sent. The worker waits only where the
    // receiver may stop it at that very point (between the items of a
    // folder), and once before its item counts as placed (waitForReports):
    // waiting for each one would hold every delivery of a burst up behind
    // the receiver's other work. The final one is never waited for, since the
    // receiver may destroy this object (and join the worker) from it.
    const bool wait = !isFinal && std::holds_alternative<transferreport::CurrentItem>(report);
    QMetaObject::invokeMethod(
        m_context.get(),
        [channel, report, isFinal] {
            if (channel->closed)
                return;
            channel->closed = isFinal;
            channel->delivering = true;
            channel->deliveringFinal = isFinal;
            channel->receiver->receive(report);
            channel->delivering = false;
        },
        wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

void DeliveryTransfer::waitForReports()
{
    if (stopped() || QThread::currentThread() == m_channel->thread)
        return;
    QMetaObject::invokeMethod(
        m_context.get(), [] {}, Qt::BlockingQueuedConnection);
}

bool isFinalReport(const TransferReport &report)
{
    return std::holds_alternative<transferreport::Succeeded>(report) ||
           std::holds_alternative<transferreport::Failed>(report) ||
           std::holds_alternative<transferreport::FailedUnexpectedly>(report);
}

void DeliveryTransfer::updateStatus(const TransferReport &report)
{
    perform(report, isFinalReport(report));
}

void DeliveryTransfer::updateListing(const TransferReport &report)
{
    perform(report);
}

void DeliveryTransfer::startProgress()
{
    perform(transferreport::Started{});
}

void DeliveryTransfer::setDateFolderPathInAppDelegate(const QString &path)
{
    perform(transferreport::DateFolderPath{path});
}

void DeliveryTransfer::setFinalNameInAppDelegate(const QString &name)
{
    perform(transferreport::FinalName{name});
}

void DeliveryTransfer::logDateFolderError(const QString &text)
{
    updateListing(transferreport::DateFolderTrouble{text});
}

void DeliveryTransfer::reportFailure(const QString &error, const QString &errorInfo,
                                     const TransferError &cause)
{
    updateStatus(transferreport::Failed{error, errorInfo, cause});
}

// ---------------------------------------------------------------------------
// Delivery

void DeliveryTransfer::startProcess()
{
    const QString what = exceptionTextOf([this] { startProcessNow(); });
    if (what.isEmpty())
        return;
    log(lcTransfer(), QStringLiteral("DeliveryTransfer: exception: %1").arg(what));
    const QString message =
        QStringLiteral("An unexpected error occurred during file transfer:\n\n%1\n\n\n"
                       "Parcelvane has to be relaunched to resume processing.\n\n"
                       "Please report this error and we'll address it promptly: ")
            .arg(what) +
        QLatin1String(kSupportAddress);
    perform(transferreport::FailedUnexpectedly{message}, true);
}

void DeliveryTransfer::startProcessNow()
{
    // 1.
    m_fullTransferSizeStr.clear();
    m_finalTargetPathRelativeToBaseURL.clear();
    m_foldersOfDelivery.clear();
    m_currFileDict = m_parameters;

    // 2.
    const QString localPath = recString(m_parameters, k::localPath);
    struct stat st {};
    const bool isDirectory =
        ::lstat(QFile::encodeName(localPath).constData(), &st) == 0 && S_ISDIR(st.st_mode);
    const QString urlText = trimmedSlashes(recString(m_parameters, k::url));
    m_finalName = lastPathComponent(localPath);

    // 3.
    if (stopped())
        return;

    // 4.
    const QUrl url(urlText);
    log(lcTransfer(), QStringLiteral("DeliveryTransfer: delivering \"%1\" to %2")
                          .arg(localPath, maskedURL(urlText)));
    m_transferController = url.isValid() ? m_factory(url) : nullptr;
    if (!m_transferController) {
        reportFailure(QStringLiteral("Connection failure"),
                      QStringLiteral("Please make sure that destination address and login info "
                                     "are correct."));
        return;
    }
    FileTransferController *controller = m_transferController.get();

    // 5.
    controller->setDelegate(this);
    controller->setMaximumUploadSpeed(m_maxUploadSpeed);
    const QVariantMap dest = m_parameters.value(k::dest).toMap();
    controller->setReplacesExistingItems(recBool(dest, QStringLiteral("overwriteBtn")));
    controller->applyDestinationSettings(dest);
    m_isListing = true;
    if (stopped())
        return;

    // 6. The destination must be a folder that can be listed. Its entries are
    // not read: names are looked up one by one, so a folder of thousands costs
    // what an empty one does.
    updateListing(transferreport::ListingStarted{});
    const Result root = controller->checkFolderAtPath(QStringLiteral("/"));
    if (stopped())
        return;
    if (!root) {
        // The listing's failure message was ignored while listing; its reason
        // (AFP unavailable, log-on refused, no such share or folder) follows the hint.
        QString info = controller->needsLogIn()
                           ? QStringLiteral("Please make sure that destination address and login "
                                            "info are correct.")
                           : QStringLiteral("Please make sure that folder path is correct.");
        const QString reason = root.error().reasonText();
        log(lcTransfer(), QStringLiteral("DeliveryTransfer: cannot list the destination: %1")
                              .arg(reason.isEmpty() ? QStringLiteral("no reason given") : reason));
        if (!reason.isEmpty())
            info += QStringLiteral("\n\n") + reason;
        reportFailure(QStringLiteral("Unable to list directory"), info, root.error());
        return;
    }

    // 7.
    setDateFolderPathInAppDelegate(QString());
    QString dateFolderPath;
    if (controller->takesDateFolders()) {
        dateFolderPath = createDateFolderPath();
        if (stopped())
            return;
    }

    // 9.
    if (!recBool(dest, QStringLiteral("overwriteBtn"))) {
        const std::optional<QString> name = freeName(dateFolderPath, m_finalName);
        if (stopped())
            return;
        if (name) {
            m_finalName = *name;
            setFinalNameInAppDelegate(m_finalName);
        }
    }

    // 10.
    setDateFolderPathInAppDelegate(dateFolderPath);
    updateListing(transferreport::ListingEnded{});
    m_isListing = false;

    // 11.
    m_savedDate = monotonicSeconds();
    m_lastDoneSize = 0;
    m_timeSample = 0;
    m_sizeSample = 0;
    m_doneSizeOfFolder = 0;
    m_folderSize = 0;
    m_folderSizeStr.clear();
    if (stopped())
        return;

    // 13.
    const QString remotePath = dateFolderPath.isEmpty() ? QLatin1Char('/') + m_finalName
                                                        : QLatin1Char('/') + dateFolderPath +
                                                              QLatin1Char('/') + m_finalName;
    perform(transferreport::TargetFixed{});

    // 14. A file. Storage without folders takes nothing else (and has no date
    // folders, so the file goes to the top of the destination).
    if (!isDirectory || !controller->hasFolders()) {
        m_finalTargetPathRelativeToBaseURL = remotePath;
        const ItemGuard guard(controller->baseURL(), remotePath);
        const QString note = noteTemporaryItem(remotePath, QString(), QFileInfo(localPath).size());
        const bool uploaded = controller->uploadFileFromPath(localPath, remotePath).ok();
        settleNote(note, uploaded);
        if (uploaded && controller->supportsTags())
            applyTag();
        return;
    }

    // 15. A folder tree. Built under a temporary name where the controller can
    // put it in place whole afterwards, so an incomplete folder never carries
    // the final name; a delivery that does not complete removes what it wrote.
    m_folderSize = quint64(std::max<qint64>(0, recInt(m_parameters, k::origSize)));
    m_folderSizeStr = formatSize(m_folderSize);
    startProgress();
    m_isUploadingFolderContents = true;

    const bool atomic = controller->hasAtomicFolderDelivery();
    m_folderBuildPath = atomic ? deletingLastPathComponent(remotePath) + QLatin1Char('/') +
                                     FileTransferController::temporaryNameFor(m_finalName)
                               : remotePath;
    m_folderStoredPath = remotePath;
    QVariantMap top = m_parameters;
    top.insert(k::finalTargetPathRelativeToBaseURL, m_folderBuildPath);
    m_foldersOfDelivery.append(top);
    // The success of this creation restores dates on the current target: make
    // that the new folder, never the destination itself.
    m_finalTargetPathRelativeToBaseURL = m_folderBuildPath;
    const ItemGuard guard(controller->baseURL(), remotePath);
    const QString note = noteTemporaryItem(remotePath, m_folderBuildPath, -1);
    const bool created = controller->createDirectoryAtPath(m_folderBuildPath).ok();
    if (!created || stopped()) {
        settleNote(note, created && discardFolder());
        return;
    }
    if (!uploadFolderContents(m_parameters.value(k::folderContents).toList(), m_folderBuildPath) ||
        (atomic && !placeFolder(remotePath))) {
        settleNote(note, discardFolder());
        return;
    }
    // Before the success is told: a folder built under its final name must
    // not be taken for a leftover once the entry counts as delivered.
    settleNote(note, true);
    m_isUploadingFolderContents = false;
    m_currFileDict = m_parameters;
    m_finalTargetPathRelativeToBaseURL = m_folderStoredPath;
    fileTransferControllerDidSucceed(controller);

    if (controller->supportsItemDates())
        restoreModificationDateOfFolders();
    if (controller->supportsTags())
        applyTag();
}

bool DeliveryTransfer::placeFolder(const QString &finalPath)
{
    FileTransferController *controller = m_transferController.get();
    m_quiet = true;
    const Result placed = controller->moveIntoPlace(m_folderBuildPath, finalPath);
    m_quiet = false;
    if (placed) {
        m_folderStoredPath = controller->storedPath();
        if (m_folderStoredPath != finalPath)
            adoptStoredName(m_folderStoredPath);
        return true;
    }
    if (stopped())
        return false;
    const TransferError &error = placed.error();
    m_currFileDict = m_parameters;
    if (controller->replacesExistingItems()) {
        reportFailure(QStringLiteral("Existing folder could not be overwritten"),
                      error.localizedDescription());
    } else {
        fileTransferControllerDidFail(controller, error);
    }
    return false;
}

bool DeliveryTransfer::discardFolder()
{
    // Its messages are not the delivery's, and a cancelled delivery cleans up too.
    FileTransferController *controller = m_transferController.get();
    m_quiet = true;
    const Result removed = controller->deleteDirectoryRecursivelyAtPath(m_folderBuildPath);
    m_quiet = false;
    if (!removed)
        log(lcTransfer(),
            QStringLiteral("DeliveryTransfer: could not remove the incomplete folder %1: %2")
                .arg(m_folderBuildPath, removed.error().reasonText()));
    return removed.ok();
}

void DeliveryTransfer::adoptStoredName(const QString &storedPath)
{
    m_finalName = lastPathComponent(storedPath);
    log(lcTransfer(),
        QStringLiteral("DeliveryTransfer: the name was taken meanwhile; stored as \"%1\"")
            .arg(m_finalName));
    setFinalNameInAppDelegate(m_finalName);
    perform(transferreport::TargetFixed{});
}

QString DeliveryTransfer::placedPath(const QString &path) const
{
    if (m_folderBuildPath.isEmpty() ||
        (path != m_folderBuildPath && !path.startsWith(m_folderBuildPath + QLatin1Char('/'))))
        return path;
    return m_folderStoredPath + path.mid(m_folderBuildPath.size());
}

QString DeliveryTransfer::createDateFolderPath()
{
    const QVariantMap dest = m_parameters.value(k::dest).toMap();
    const bool year = recBool(dest, QStringLiteral("yearFolderBtn"));
    const bool month = recBool(dest, QStringLiteral("monthFolderBtn"));
    const bool day = recBool(dest, QStringLiteral("dateFolderBtn"));
    if (!year && !month && !day)
        return QString();

    FileTransferController *controller = m_transferController.get();
    updateListing(transferreport::CreatingFolders{});
    const QDateTime now = QDateTime::currentDateTime();
    QString path;

    // One level: checked when it exists, created otherwise. On failure the
    // delivery goes on one level higher.
    auto level = [&](const QString &name, const QString &listFailure,
                     const QString &createFailure) -> bool {
        path = path.isEmpty() ? name : path + QLatin1Char('/') + name;
        const TransferResult<bool> exists = controller->itemExists(path);
        if (stopped())
            return false;
        // Where that cannot be told, looking into the folder tells why.
        if (!exists.ok() || exists.value()) {
            const Result folder = controller->checkFolderAtPath(path);
            if (stopped())
                return false;
            if (!folder) {
                logDateFolderError(listFailure.arg(path));
                return false;
            }
        } else {
            const bool created = controller->createDirectoryAtPath(path).ok();
            if (stopped())
                return false;
            if (!created) {
                logDateFolderError(createFailure.arg(path));
                return false;
            }
        }
        return true;
    };

    if (year &&
        !level(formatDate(now, "%Y"),
               QStringLiteral(
                   "Unable to list folder %1. The file will be sent to destination's root."),
               QStringLiteral("The folder %1 could not be created. The file will be sent to "
                              "destination's root.")))
        return QString();
    if (month &&
        !level(formatDate(now, "%m-%Y"),
               QStringLiteral("Unable to list folder %1. The file will be sent to the upper level "
                              "directory."),
               QStringLiteral("The folder %1 could not be created. The file will be sent to the "
                              "upper level directory.")))
        return deletingLastPathComponent(path);
    if (day &&
        !level(dateFolderName(recString(dest, QStringLiteral("dateFormat")), now),
               QStringLiteral("Unable to list folder %1. The file will be transferred to the upper "
                              "level directory."),
               QStringLiteral("The folder %1 could not be created. The file will be transferred "
                              "to the upper level directory.")))
        return deletingLastPathComponent(path);
    return path;
}

std::optional<QString> DeliveryTransfer::freeName(const QString &folder, const QString &name)
{
    FileTransferController *controller = m_transferController.get();
    const QString prefix =
        folder.isEmpty() ? QStringLiteral("/") : QLatin1Char('/') + folder + QLatin1Char('/');
    QString candidate = name;
    for (qint64 n = 1;; ++n) {
        const TransferResult<bool> taken = controller->itemExists(prefix + candidate);
        if (!taken.ok() || stopped())
            // The upload never replaces by accident: it numbers a name taken after all.
            return n == 1 ? std::nullopt : std::optional<QString>(candidate);
        if (!taken.value())
            return candidate;
        candidate = numberedName(name, n);
    }
}

bool DeliveryTransfer::uploadFolderContents(const QVariantList &items, const QString &rootPath)
{
    FileTransferController *controller = m_transferController.get();
    const int count = int(items.size());
    int counter = 1;
    for (const QVariant &entry : items) {
        if (stopped())
            return false;
        const QVariantMap item = entry.toMap();
        const QString itemLocalPath = recString(item, k::localPath);
        const QString remoteItemPath = rootPath + QLatin1Char('/') + recString(item, k::subpath);
        const QString displayName = lastPathComponent(itemLocalPath);

        if (recBool(item, k::isFolder)) {
            updateStatus(transferreport::CurrentItem{
                QStringLiteral("Creating directory %1").arg(displayName), true});
            m_currFileDict = item;
            m_finalTargetPathRelativeToBaseURL = remoteItemPath;
            QVariantMap folder = item;
            folder.insert(k::finalTargetPathRelativeToBaseURL, remoteItemPath);
            m_foldersOfDelivery.append(folder);
            if (!controller->createDirectoryAtPath(remoteItemPath))
                return false;
        } else {
            struct stat st {};
            if (::lstat(QFile::encodeName(itemLocalPath).constData(), &st) != 0) {
                m_currFileDict = item;
                fileTransferControllerDidFail(
                    controller,
                    TransferError::withDescription(
                        QStringLiteral("QSErrorDomain"), 1,
                        QStringLiteral("The following file could not be found:\n%1\n\nPlease make "
                                       "sure that the file wasn't removed from the hot folder "
                                       "during processing.")
                            .arg(itemLocalPath)));
                return false;
            }
            updateStatus(transferreport::CurrentItem{
                QStringLiteral("item %1 of %2: %3").arg(counter).arg(count).arg(displayName)});
            m_currFileDict = item;
            m_finalTargetPathRelativeToBaseURL = remoteItemPath;
            if (!controller->uploadFileFromPath(itemLocalPath, remoteItemPath))
                return false;
        }
        if (stopped())
            return false;
        ++counter;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Dates and tags

void DeliveryTransfer::restoreModificationAndCreationDate()
{
    const Result restored = m_transferController->setItemDates(
        m_finalTargetPathRelativeToBaseURL, m_currFileDict.value(k::creatdate).toDateTime(),
        m_currFileDict.value(k::moddate).toDateTime());
    if (!restored)
        log(lcTransfer(),
            QStringLiteral("DeliveryTransfer: could not restore the dates of %1: %2")
                .arg(m_finalTargetPathRelativeToBaseURL, restored.error().reasonText()));
}

void DeliveryTransfer::restoreModificationDateOfFolders()
{
    for (const QVariant &entry : std::as_const(m_foldersOfDelivery)) {
        const QVariantMap folder = entry.toMap();
        const QString remote = placedPath(recString(folder, k::finalTargetPathRelativeToBaseURL));
        // Best effort, as for the files inside.
        if (const Result restored = m_transferController->setItemDates(
                remote, QDateTime(), folder.value(k::moddate).toDateTime());
            !restored)
            log(lcTransfer(),
                QStringLiteral("DeliveryTransfer: could not restore the dates of %1: %2")
                    .arg(remote, restored.error().reasonText()));
    }
}

void DeliveryTransfer::applyTag()
{
    const QVariantMap options =
        m_parameters.value(k::dest).toMap().value(QStringLiteral("QFFinderTagsDict")).toMap();
    const QString tag = recString(options, QStringLiteral("QFFinderTag"));
    if (!recBool(options, QStringLiteral("QFApplyFinderTag")) || tag.isEmpty())
        return;
    if (const Result tagged =
            m_transferController->setItemTag(m_finalTargetPathRelativeToBaseURL, tag);
        !tagged)
        log(lcTransfer(),
            QStringLiteral("DeliveryTransfer: could not tag %1: %2")
                .arg(m_finalTargetPathRelativeToBaseURL, tagged.error().reasonText()));
}

// ---------------------------------------------------------------------------
// Controller messages

void DeliveryTransfer::fileTransferControllerDidStart(FileTransferController *controller)
{
    if (stopped() || m_quiet)
        return;
    m_fullTransferSize = controller->transferSize();
    // Each file starts from zero, so its first bytes count for the folder too.
    m_lastDoneSize = 0;
    if (m_isListing || m_isUploadingFolderContents)
        return;
    m_fullTransferSizeStr = formatSize(m_fullTransferSize);
    startProgress();
}

void DeliveryTransfer::fileTransferControllerDidUpdateProgress(FileTransferController *controller)
{
    if (stopped() || m_isListing || m_quiet)
        return;
    const float p = controller->transferProgress();
    if (std::isnan(p))
        return;
    killPointForTests("uploading");
    const bool folder = m_isUploadingFolderContents;
    const double folderFraction =
        m_folderSize == 0 ? 0.0 : std::min(1.0, double(m_doneSizeOfFolder) / double(m_folderSize));

    quint64 done = quint64(double(m_fullTransferSize) * double(p));
    const double now = monotonicSeconds();
    quint64 delta = 0;
    double elapsed = 0;
    if (done < m_lastDoneSize) {
        // A new file has begun.
        m_lastDoneSize = done;
        m_sizeSample = 0;
        done = 0;
    } else {
        delta = done - m_lastDoneSize;
        m_lastDoneSize = done;
        elapsed = now - m_savedDate;
        m_sizeSample += delta;
    }
    if (folder)
        m_doneSizeOfFolder += delta;
    m_timeSample += elapsed;

    if (m_timeSample >= 1.0) {
        updateStatus(transferreport::Progress{folder ? folderFraction : double(p)});
        const double speed = double(m_sizeSample) / m_timeSample;
        const quint64 remaining =
            folder ? (m_folderSize > m_doneSizeOfFolder ? m_folderSize - m_doneSizeOfFolder : 0)
                   : (m_fullTransferSize > done ? m_fullTransferSize - done : 0);
        const qint64 secondsLeft = speed > 0 ? qint64(double(remaining) / speed) : 0;
        const QString timeLeft =
            QTime(0, 0).addSecs(int(secondsLeft % 86400)).toString(QStringLiteral("HH:mm:ss"));
        updateStatus(transferreport::Amounts{formatSize(folder ? m_doneSizeOfFolder : done),
                                             folder ? m_folderSizeStr : m_fullTransferSizeStr,
                                             formatSpeed(speed), timeLeft, folder});
        m_timeSample = 0;
        m_sizeSample = 0;
    }
    m_savedDate = now;
}

void DeliveryTransfer::fileTransferControllerDidSucceed(FileTransferController *controller)
{
    if (stopped() || m_quiet)
        return;
    // A file whose name was taken while it was uploaded is stored under a
    // numbered name: dates, tag, links and the record follow it.
    const QString stored = controller->storedPath();
    if (!m_isListing && m_folderBuildPath.isEmpty() && !stored.isEmpty() &&
        !m_finalTargetPathRelativeToBaseURL.isEmpty() &&
        stored != m_finalTargetPathRelativeToBaseURL) {
        m_finalTargetPathRelativeToBaseURL = stored;
        adoptStoredName(stored);
    }
    if (m_placed && !m_isUploadingFolderContents && !m_isListing &&
        controller->didCreateFinalURL()) {
        // The note of the placed item holds what the receiver learnt so far.
        waitForReports();
        m_placed();
    }
    // Listing successes concern the destination, not the delivered item.
    if (controller->supportsItemDates() && !m_isListing &&
        !m_finalTargetPathRelativeToBaseURL.isEmpty())
        restoreModificationAndCreationDate();
    if (m_isUploadingFolderContents || m_isListing || !controller->didCreateFinalURL())
        return;
    updateStatus(transferreport::Succeeded{});
}

QString DeliveryTransfer::failureDetail(const TransferError &error)
{
    const QString &headline = error.localizedDescription();
    QString detail;
    if (!error.userInfo.isEmpty()) {
        const QString key = error.userInfo.first().first;
        const QString value = valueText(error.userInfo.first().second);
        QString label = key;
        QString extra;
        if (key == QLatin1String(kFTPStatusCodeKey)) {
            label = QStringLiteral("FTP error");
            extra =
                QLatin1Char('\n') + ftpErrorExplanation(error.userInfo.first().second.toLongLong());
        }
        if (key == QLatin1String(kNSLocalizedDescriptionKey)) {
            detail = QStringLiteral("Localized description: %1").arg(value);
        } else {
            const QString contact = QStringLiteral("Please make sure that destination address and "
                                                   "login info are correct. With any questions, "
                                                   "contact ") +
                                    QLatin1String(kSupportAddress) + QLatin1Char('\n');
            const QString hint =
                headline.contains(QLatin1String("Connection reset by peer"))
                    ? QStringLiteral("Try to use FTPS when connecting to this server (change "
                                     "Destination Type to FTPS).\n\nAlso, please make sure that "
                                     "destination address and login info are correct. With any "
                                     "questions, contact ") +
                          QLatin1String(kSupportAddress) + QLatin1Char('\n')
                    : contact;
            detail = QStringLiteral("%1: %2%3\n\n%4").arg(label, value, extra, hint);
        }
    }
    if (headline.contains(QLatin1String("Failed to MKD dir")))
        detail = QStringLiteral(
            "Info: Could not create directory on remote server. Please check destination "
            "permissions.");
    return detail;
}

void DeliveryTransfer::fileTransferControllerDidFail(FileTransferController *,
                                                     const TransferError &error)
{
    if (stopped() || m_isListing || m_quiet)
        return;

    QString headline = error.localizedDescription();
    const QString detail = failureDetail(error);
    if (m_isUploadingFolderContents)
        headline += QStringLiteral("\nItem: %1").arg(recString(m_currFileDict, k::localPath));
    reportFailure(headline, detail, error);
}

bool DeliveryTransfer::fileTransferControllerShouldAbort(FileTransferController *)
{
    return (stopped() && !m_quiet) || (m_sweeping && m_abandoned.load());
}

bool DeliveryTransfer::fileTransferControllerClaims(FileTransferController *,
                                                    const QString &remotePath, bool held)
{
    // Claims inside a folder being built go with the folder's build.
    if (m_note.isEmpty() || deletingLastPathComponent(remotePath) !=
                                deletingLastPathComponent(recString(m_note, notekeys::path)))
        return true;
    if (!held) {
        // At once: a claim that failed names someone else's item.
        if (const QString claim = std::exchange(m_claimNote, {});
            !claim.isEmpty() && !m_journal->retire({claim}))
            m_releasedClaims.append(claim);
        return true;
    }
    QVariantMap note = m_note;
    note.insert(notekeys::claim, remotePath);
    m_claimNote = m_journal->append(Journal::kUploadTemp, note);
    return !m_claimNote.isEmpty();
}

// ---------------------------------------------------------------------------
// Helpers

QString DeliveryTransfer::dateFolderName(const QString &dateFormat, const QDateTime &date)
{
    const QString pattern = dateFormat.isEmpty() ? QStringLiteral("YYYY-MM-DD") : dateFormat;
    // The three tokens only, each case-insensitive; every other character
    // (a "%" included) is the user's own text, never a format code. The tokens
    // use different letters, so one left-to-right pass gives what replacing
    // each in turn would.
    const QString tokens[] = {QStringLiteral("yyyy"), QStringLiteral("mm"), QStringLiteral("dd")};
    const QString values[] = {formatDate(date, "%Y"), formatDate(date, "%m"),
                              formatDate(date, "%d")};
    QString name;
    for (qsizetype i = 0; i < pattern.size();) {
        bool matched = false;
        for (int t = 0; t < 3 && !matched; ++t) {
            if (QStringView(pattern)
                    .mid(i, tokens[t].size())
                    .compare(tokens[t], Qt::CaseInsensitive) == 0) {
                name += values[t];
                i += tokens[t].size();
                matched = true;
            }
        }
        if (!matched)
            name += pattern.at(i++);
    }
    return name;
}

quint64 DeliveryTransfer::maxUploadSpeed()
{
    if (settings::intValue(QStringLiteral("throttleUploads")) == 0)
        return 0;
    return quint64(std::max<qint64>(0, settings::intValue(QStringLiteral("throttleUploadsSpeed"))));
}

} // namespace pv
