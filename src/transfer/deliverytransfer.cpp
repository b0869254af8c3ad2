#include "transfer/deliverytransfer.h"

#include "core/dates.h"
#include "core/fileops.h"
#include "core/log.h"
#include "core/record.h"
#include "core/settings.h"
#include "core/sizetext.h"
#include "records/recordlist.h"
#include "transfer/localtransfercontroller.h"

#if __has_include("transfer/smbtransfercontroller.h")
#include "transfer/smbtransfercontroller.h"
#define PV_HAVE_SMB_CONTROLLER 1
#endif

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTime>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

namespace pv {

namespace k = transferkeys;

namespace {

const char *const kTagAttribute = "user.xdg.tags";

double monotonicSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

QString lastPathComponent(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? path : path.mid(slash + 1);
}

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

QStringList namesOf(const RemoteListing &listing)
{
    return listing.keys();
}

// Sets the modification date of path (links not followed: the delivered item
// itself). Creation dates cannot be set on this system's file systems.
bool setModificationDate(const QString &path, const QDateTime &date, int *err)
{
    if (!date.isValid())
        return true;
    const qint64 ms = date.toMSecsSinceEpoch();
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    times[1].tv_nsec = long((ms - qint64(times[1].tv_sec) * 1000) * 1000000);
    if (::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) !=
        0) {
        *err = errno;
        return false;
    }
    return true;
}

QString valueText(const QVariant &v)
{
    return v.toString();
}

} // namespace

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
    if (m_thread) {
        // The worker may be blocked on a report queued to this thread: hand
        // those over (closed, they do nothing) until it has seen it must stop.
        // Only the final report is not waited for, so being destroyed from
        // inside it still joins.
        Q_ASSERT(!m_channel->delivering || m_channel->deliveringFinal);
        while (!m_thread->wait(QDeadlineTimer(5)))
            QCoreApplication::sendPostedEvents(m_context.get(), QEvent::MetaCall);
    }
    // Released from inside a report's handler: the context is running that
    // report's call, so it goes once the call has returned.
    if (m_channel->delivering)
        m_context.release()->deleteLater();
}

void DeliveryTransfer::start()
{
    if (m_thread)
        return;
    m_thread.reset(QThread::create([this] {
        startProcess();
        // Behind the reports in the queue: the final one has been handled
        // by the time this runs.
        QMetaObject::invokeMethod(
            m_context.get(), [channel = m_channel] { channel->finished = true; },
            Qt::QueuedConnection);
    }));
    m_thread->start();
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
    log(QStringLiteral("DeliveryTransfer: cancelled"));
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
    // The worker waits for each report to be handled, so the receiver sees
    // the delivery as it is; the final one is not waited for, since the
    // receiver may destroy this object (and join the worker) from it.
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
        isFinal ? Qt::QueuedConnection : Qt::BlockingQueuedConnection);
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

void DeliveryTransfer::reportFailure(const QString &error, const QString &errorInfo)
{
    updateStatus(transferreport::Failed{error, errorInfo});
}

// ---------------------------------------------------------------------------
// Delivery

void DeliveryTransfer::startProcess()
{
    QString what;
    try {
        startProcessNow();
        return;
    } catch (const std::exception &e) {
        what = QString::fromLocal8Bit(e.what());
    } catch (...) {
        what = QStringLiteral("unknown exception");
    }
    log(QStringLiteral("DeliveryTransfer: exception: %1").arg(what));
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
    m_url = QUrl(urlText);
    m_scheme = m_url.scheme().toLower();
    log(QStringLiteral("DeliveryTransfer: delivering \"%1\" to %2")
            .arg(localPath, maskedURL(urlText)));
    m_transferController = m_url.isValid() ? m_factory(m_url) : nullptr;
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
    m_isListing = true;
    if (stopped())
        return;

    // 6.
    updateListing(transferreport::ListingStarted{});
    const std::optional<RemoteListing> root =
        controller->contentsOfDirectoryAtPath(QStringLiteral("/"));
    if (stopped())
        return;
    if (!root) {
        // The listing's failure message was ignored while listing; its reason
        // (AFP unavailable, log-on refused, no such share or folder) follows the hint.
        QString info = m_scheme == QLatin1String("file")
                           ? QStringLiteral("Please make sure that folder path is correct.")
                           : QStringLiteral("Please make sure that destination address and login "
                                            "info are correct.");
        const QString reason = controller->lastError().reasonText();
        log(QStringLiteral("DeliveryTransfer: cannot list the destination: %1")
                .arg(reason.isEmpty() ? QStringLiteral("no reason given") : reason));
        if (!reason.isEmpty())
            info += QStringLiteral("\n\n") + reason;
        reportFailure(QStringLiteral("Unable to list directory"), info);
        return;
    }

    // 7.
    setDateFolderPathInAppDelegate(QString());
    static const QStringList dateFolderSchemes = {QStringLiteral("ftp"),  QStringLiteral("ftps"),
                                                  QStringLiteral("sftp"), QStringLiteral("ssh"),
                                                  QStringLiteral("afp"),  QStringLiteral("smb")};
    QString dateFolderPath;
    std::optional<RemoteListing> target = root;
    if (dateFolderSchemes.contains(m_scheme)) {
        dateFolderPath = createDateFolderPath(namesOf(*root));
        if (stopped())
            return;
        // The root was listed a moment ago; only a date folder needs a listing.
        if (!dateFolderPath.isEmpty())
            target = controller->contentsOfDirectoryAtPath(dateFolderPath);
        if (stopped())
            return;
    }

    // 8.
    m_isLocalController = m_scheme == QLatin1String("file") || m_scheme == QLatin1String("afp") ||
                          m_scheme == QLatin1String("smb");

    // 9.
    if (!recBool(dest, QStringLiteral("overwriteBtn")) && target) {
        m_finalName = finalNameForOverwrite(m_finalName, namesOf(*target));
        setFinalNameInAppDelegate(m_finalName);
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

    // 12. The HTTP family takes single files at the top of the destination.
    static const QStringList pathSchemes = {QStringLiteral("file"), QStringLiteral("ftp"),
                                            QStringLiteral("ftps"), QStringLiteral("sftp"),
                                            QStringLiteral("ssh"),  QStringLiteral("afp"),
                                            QStringLiteral("smb")};
    if (!pathSchemes.contains(m_scheme)) {
        perform(transferreport::TargetFixed{});
        m_finalTargetPathRelativeToBaseURL = QLatin1Char('/') + m_finalName;
        (void)controller->uploadFileFromPath(localPath, m_finalTargetPathRelativeToBaseURL);
        return;
    }

    // 13.
    const QString remotePath = dateFolderPath.isEmpty() ? QLatin1Char('/') + m_finalName
                                                        : QLatin1Char('/') + dateFolderPath +
                                                              QLatin1Char('/') + m_finalName;
    perform(transferreport::TargetFixed{});

    // 14.
    if (!isDirectory) {
        m_finalTargetPathRelativeToBaseURL = remotePath;
        const bool ok = controller->uploadFileFromPath(localPath, remotePath);
        if (ok && m_scheme == QLatin1String("file"))
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
    const bool created = controller->createDirectoryAtPath(m_folderBuildPath);
    if (!created || m_fileTransferControllerDidFail || stopped()) {
        if (created)
            discardFolder();
        return;
    }
    if (!uploadFolderContents(m_parameters.value(k::folderContents).toList(), m_folderBuildPath) ||
        (atomic && !placeFolder(remotePath))) {
        discardFolder();
        return;
    }
    m_isUploadingFolderContents = false;
    m_currFileDict = m_parameters;
    m_finalTargetPathRelativeToBaseURL = m_folderStoredPath;
    fileTransferControllerDidSucceed(controller);

    if (m_isLocalController)
        restoreModificationDateOfFolders();
    if (m_scheme == QLatin1String("file"))
        applyTag();
}

bool DeliveryTransfer::placeFolder(const QString &finalPath)
{
    FileTransferController *controller = m_transferController.get();
    m_quiet = true;
    const bool placed = controller->moveIntoPlace(m_folderBuildPath, finalPath);
    m_quiet = false;
    if (placed) {
        m_folderStoredPath = controller->storedPath();
        if (m_folderStoredPath != finalPath)
            adoptStoredName(m_folderStoredPath);
        return true;
    }
    if (stopped())
        return false;
    const TransferError &error = controller->lastError();
    m_currFileDict = m_parameters;
    if (controller->replacesExistingItems()) {
        m_fileTransferControllerDidFail = true;
        reportFailure(QStringLiteral("Existing folder could not be overwritten"),
                      error.localizedDescription());
    } else {
        fileTransferControllerDidFail(controller, error);
    }
    return false;
}

void DeliveryTransfer::discardFolder()
{
    // Its messages are not the delivery's, and a cancelled delivery cleans up too.
    FileTransferController *controller = m_transferController.get();
    m_quiet = true;
    const bool removed = controller->deleteDirectoryRecursivelyAtPath(m_folderBuildPath);
    m_quiet = false;
    if (!removed)
        log(QStringLiteral("DeliveryTransfer: could not remove the incomplete folder %1: %2")
                .arg(m_folderBuildPath, controller->lastError().reasonText()));
}

void DeliveryTransfer::adoptStoredName(const QString &storedPath)
{
    m_finalName = lastPathComponent(storedPath);
    log(QStringLiteral("DeliveryTransfer: the name was taken meanwhile; stored as \"%1\"")
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

QString DeliveryTransfer::createDateFolderPath(const QStringList &rootNames)
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
    QStringList known = rootNames;

    // One level: list it when it exists, create it otherwise. On failure the
    // delivery goes on one level higher.
    auto level = [&](const QString &name, const QString &listFailure,
                     const QString &createFailure) -> bool {
        path = path.isEmpty() ? name : path + QLatin1Char('/') + name;
        if (known.contains(name)) {
            const std::optional<RemoteListing> listing =
                controller->contentsOfDirectoryAtPath(path);
            if (stopped())
                return false;
            if (!listing) {
                logDateFolderError(listFailure.arg(path));
                return false;
            }
            known = namesOf(*listing);
        } else {
            const bool created = controller->createDirectoryAtPath(path);
            if (stopped())
                return false;
            if (!created) {
                logDateFolderError(createFailure.arg(path));
                return false;
            }
            known.clear();
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
            (void)controller->createDirectoryAtPath(remoteItemPath);
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
            (void)controller->uploadFileFromPath(itemLocalPath, remoteItemPath);
        }
        if (m_fileTransferControllerDidFail || stopped())
            return false;
        ++counter;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Dates and tags

QString DeliveryTransfer::fileSystemPath(const QString &remotePath) const
{
    if (auto *local = dynamic_cast<LocalTransferController *>(m_transferController.get()))
        return local->localPathForRemotePath(remotePath);
    QString base = m_url.path(QUrl::FullyDecoded);
    if (remotePath.isEmpty())
        return base;
    if (!base.endsWith(QLatin1Char('/')) && !remotePath.startsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return base + remotePath;
}

void DeliveryTransfer::restoreModificationAndCreationDate()
{
    const QDateTime creatdate = m_currFileDict.value(k::creatdate).toDateTime();
    const QDateTime moddate = m_currFileDict.value(k::moddate).toDateTime();
#ifdef PV_HAVE_SMB_CONTROLLER
    if (auto *smb = dynamic_cast<SMBTransferController *>(m_transferController.get())) {
        if (!smb->setItemDates(m_finalTargetPathRelativeToBaseURL, creatdate, moddate))
            log(QStringLiteral("DeliveryTransfer: could not restore the dates of %1")
                    .arg(m_finalTargetPathRelativeToBaseURL));
        return;
    }
#endif
    if (m_scheme != QLatin1String("file"))
        return;
    const QString path = fileSystemPath(m_finalTargetPathRelativeToBaseURL);
    int err = 0;
    if (path.isEmpty() || !setModificationDate(path, moddate, &err))
        log(QStringLiteral("DeliveryTransfer: could not restore the dates of %1: %2")
                .arg(path, QString::fromLocal8Bit(std::strerror(err))));
}

void DeliveryTransfer::restoreModificationDateOfFolders()
{
    for (const QVariant &entry : std::as_const(m_foldersOfDelivery)) {
        const QVariantMap folder = entry.toMap();
        const QString remote = placedPath(recString(folder, k::finalTargetPathRelativeToBaseURL));
        const QDateTime moddate = folder.value(k::moddate).toDateTime();
#ifdef PV_HAVE_SMB_CONTROLLER
        if (auto *smb = dynamic_cast<SMBTransferController *>(m_transferController.get())) {
            (void)smb->setItemDates(remote, QDateTime(), moddate);
            continue;
        }
#endif
        if (m_scheme != QLatin1String("file"))
            continue;
        int err = 0;
        (void)setModificationDate(fileSystemPath(remote), moddate, &err);
    }
}

void DeliveryTransfer::applyTag()
{
    const QVariantMap options =
        m_parameters.value(k::dest).toMap().value(QStringLiteral("QFFinderTagsDict")).toMap();
    const QString tag = recString(options, QStringLiteral("QFFinderTag"));
    if (!recBool(options, QStringLiteral("QFApplyFinderTag")) || tag.isEmpty())
        return;
    const QString path = fileSystemPath(m_finalTargetPathRelativeToBaseURL);
    // The attribute holds a comma-separated list: writing one name makes it the
    // item's only tag.
    const QByteArray value = tag.toUtf8();
    if (path.isEmpty() || ::setxattr(QFile::encodeName(path).constData(), kTagAttribute,
                                     value.constData(), size_t(value.size()), 0) != 0)
        log(QStringLiteral("DeliveryTransfer: could not tag %1: %2")
                .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
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
    // Listing successes concern the destination, not the delivered item.
    if (m_isLocalController && !m_isListing && !m_finalTargetPathRelativeToBaseURL.isEmpty())
        restoreModificationAndCreationDate();
    if (m_isUploadingFolderContents || m_isListing)
        return;
    if ((m_scheme == QLatin1String("http") || m_scheme == QLatin1String("https")) &&
        !controller->didCreateFinalURL())
        return;
    updateStatus(transferreport::Succeeded{});
}

void DeliveryTransfer::fileTransferControllerDidFail(FileTransferController *,
                                                     const TransferError &error)
{
    if (stopped() || m_isListing || m_quiet)
        return;
    m_fileTransferControllerDidFail = true;

    QString headline = error.localizedDescription();
    QString detail;
    if (!error.userInfo.isEmpty()) {
        const QString key = error.userInfo.first().first;
        const QString value = valueText(error.userInfo.first().second);
        QString label = key;
        QString extra;
        if (key == QLatin1String("kCFFTPStatusCodeKey")) {
            label = QStringLiteral("FTP error");
            const QString explanation = FTPErrors().value(value);
            if (!explanation.isEmpty())
                extra = QLatin1Char('\n') + explanation;
        }
        if (key == QLatin1String(kNSLocalizedDescriptionKey)) {
            detail = QStringLiteral("Localized description: %1%2").arg(value, extra);
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
    if (m_isUploadingFolderContents)
        headline += QStringLiteral("\nItem: %1").arg(recString(m_currFileDict, k::localPath));
    reportFailure(headline, detail);
}

bool DeliveryTransfer::fileTransferControllerShouldAbort(FileTransferController *)
{
    return stopped() && !m_quiet;
}

// ---------------------------------------------------------------------------
// Helpers

QString DeliveryTransfer::transformedValue(double value)
{
    static const char *const units[] = {"bytes", "KB", "MB", "GB", "TB"};
    int divisions = 0;
    while (value > 1024.0 && divisions < 4) {
        value /= 1024.0;
        ++divisions;
    }
    return QString::asprintf("%4.2f %s", value, units[divisions]);
}

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

const QMap<QString, QString> &DeliveryTransfer::FTPErrors()
{
    // Explanations of FTP status codes; none are supplied yet, so FTP failures
    // carry the server's own text only.
    static const QMap<QString, QString> table;
    return table;
}

QString DeliveryTransfer::maskedURL(const QString &url)
{
    const int schemeEnd = url.indexOf(QStringLiteral("://"));
    if (schemeEnd < 0)
        return url;
    const int authorityStart = schemeEnd + 3;
    int authorityEnd = url.indexOf(QLatin1Char('/'), authorityStart);
    if (authorityEnd < 0)
        authorityEnd = int(url.size());
    const int at = url.lastIndexOf(QLatin1Char('@'), authorityEnd - 1);
    if (at < authorityStart)
        return url;
    const int colon = url.indexOf(QLatin1Char(':'), authorityStart);
    if (colon < 0 || colon > at)
        return url;
    return url.left(colon + 1) + QStringLiteral("<passw>") + url.mid(at);
}

} // namespace pv
