// The entry in processing and its stages. Each stage starts the next from
// its own callback (packer, transfer, sender); setStage is the only place
// the stage changes.
//
//   Starting ----------------------------+----------------+
//      |                                 v                v
//      +--> Packaging ---------------> Delivering ---> Notifying ---> Completing ---> Finished
//              |                                          ^
//              +------------------------------------------+   (attach only)
//
//   any stage before Completing --(failure, Stop)--> Completing
//   Starting, Delivering --(no room, bad bucket, local copy failed)--> SetAside
//
// Completing writes the record and moves the source; Finished and SetAside
// are ends (SetAside leaves no record and the source where it is).
//
// Packaging lives in packaging.cpp, delivery in dispatch.cpp, notification
// in notification.cpp and completion in completion.cpp.

#include "app/entryrun.h"

#include "app/appcontroller.h"
#include "app/namesandsizes.h"
#include "app/queueitem.h"
#include "app/transferrun.h"
#include "core/dates.h"
#include "core/fileops.h"
#include "core/journal.h"
#include "core/log.h"
#include "core/record.h"
#include "destinations/destination.h"
#include "notify/notification.h"
#include "notify/smtpemail.h"
#include "records/historypaneltable.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace pv {

namespace {
const QString kBullet = QStringLiteral("\u2022");

template <class... Ts> struct overloaded : Ts... {
    using Ts::operator()...;
};
} // namespace

QString outcomeText(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok:
        return QStringLiteral("ok");
    case Outcome::Modified:
        return QStringLiteral("modified");
    case Outcome::Missing:
        return QStringLiteral("missing");
    }
    return {};
}

QString errorPanelText(const QString &stamp, const QString &file, const QString &message,
                       Effect effect)
{
    switch (effect) {
    case Effect::Note:
    case Effect::Failure:
        return QStringLiteral("%1\nFile: %2\n\nError: %3").arg(stamp, file, message);
    case Effect::NotDelivered:
        return QStringLiteral("%1\nFile: %2\n\nFILE NOT DELIVERED!\n%3").arg(stamp, file, message);
    case Effect::MailNotSent:
        return QStringLiteral("%1\nFile: %2\n\nFILE NOT DELIVERED!\nError: %3")
            .arg(stamp, file, message);
    }
    return {};
}

QString EntryRun::stageName(Stage stage)
{
    switch (stage) {
    case Stage::Starting:
        return QStringLiteral("starting");
    case Stage::Packaging:
        return QStringLiteral("packaging");
    case Stage::Delivering:
        return QStringLiteral("delivering");
    case Stage::Notifying:
        return QStringLiteral("notifying");
    case Stage::Completing:
        return QStringLiteral("completing");
    case Stage::Finished:
        return QStringLiteral("finished");
    case Stage::SetAside:
        return QStringLiteral("set aside");
    }
    return {};
}

EntryRun::EntryRun(AppController &app, const QVariantMap &item) : m_app(app), m_itemDict(item) {}

EntryRun::~EntryRun()
{
    if (m_packer) {
        // SIGTERM first, so the packer can remove its partial package; then
        // the QProcess goes and kills what is left without us waiting.
        m_packer->disconnect();
        m_packer->terminate();
        m_packer.reset();
    }
    // Not inside one of its reports here, so the delivery can be stopped and
    // its worker joined at once instead of on a later turn of the event loop.
    if (m_transfer) {
        m_transfer->cancel();
        m_transfer.reset();
    }
}

UserInterface &EntryRun::ui()
{
    return *m_app.m_ui;
}

void EntryRun::setStage(Stage next)
{
    if (next == m_stage)
        return;
    Q_ASSERT(!hasEnded());
    debug(lcPipeline(),
          QStringLiteral("--> entry %1: %2 -> %3")
              .arg(recString(m_itemDict, qk::path), stageName(m_stage), stageName(next)));
    m_stage = next;
}

void EntryRun::worsen(Outcome outcome)
{
    m_outcome = std::max(m_outcome, outcome);
    m_itemDict.insert(qk::success, outcomeText(m_outcome));
}

void EntryRun::start()
{
    const QVariantMap item = m_itemDict;
    const QString path = recString(item, qk::path);
    m_defaultBackup = m_app.destDictForName(recString(item, qk::dest));

    const QDateTime now = QDateTime::currentDateTime();
    m_itemDict.insert(qk::name, QFileInfo(path).fileName());
    m_itemDict.insert(qk::path, path);
    if (!m_defaultBackup.isEmpty())
        m_itemDict.insert(qk::dest, recString(m_defaultBackup, dk::name));
    m_ftpFlag = !m_defaultBackup.isEmpty() && recInt(m_defaultBackup, dk::type) == 0;
    m_itemDict.insert(qk::ftpFlag, m_ftpFlag);
    for (const char *key : {"to", "cc", "bcc", "subject", "body", "error"})
        m_itemDict.insert(QLatin1String(key), QString());
    m_itemDict.insert(QStringLiteral("dateStart"), now);
    m_itemDict.insert(QStringLiteral("dateStartStr"), formatDate(now, kQueueDateFormat));
    m_filesToBackup = path;

    if (!pathExists(path)) {
        m_itemDict.insert(qk::error, QStringLiteral("File could not be found"));
        worsen(Outcome::Missing);
        deleteDmgFile();
        return;
    }

    const QString name = recString(m_itemDict, qk::name);
    ui().setStatus2(QString());
    ui().setSourceField(name);
    ui().setWindowTitle(QStringLiteral("Processing %1 %2").arg(kBullet, name));

    // An entry with nothing to run must not block the queue: it is recorded
    // as not delivered and its source goes to the error location.
    if (m_defaultBackup.isEmpty()) {
        failEntry(QStringLiteral("Destination not found:\nThe destination \"%1\" does not exist.")
                      .arg(recString(item, qk::dest)),
                  Effect::NotDelivered);
        return;
    }
    if (!recBool(m_defaultBackup, dk::sendFTPBtn) && !recBool(m_defaultBackup, dk::attachBtn)) {
        failEntry(QStringLiteral("Delivery suspended:\nThe destination \"%1\" is set neither to "
                                 "transfer nor to attach files.")
                      .arg(recString(m_defaultBackup, dk::name)));
        return;
    }

    const bool isFolder = QFileInfo(path).isDir() && !QFileInfo(path).isSymLink();
    const bool compress = isFolder ? recBool(m_defaultBackup, QStringLiteral("QFCompressFolders"))
                                   : recBool(m_defaultBackup, QStringLiteral("QFCompressFiles"));
    if (compress) {
        const bool zipMethod = recInt(m_defaultBackup, QStringLiteral("QFCompressionMethod")) == 0;
        m_zip = zipMethod && !name.endsWith(QLatin1String(".zip"));
        m_createDmg = !zipMethod;
    }
    m_attachOnly =
        !recBool(m_defaultBackup, dk::sendFTPBtn) && recBool(m_defaultBackup, dk::attachBtn);
    m_itemDict.insert(QStringLiteral("compr"), m_zip         ? QStringLiteral("Zip")
                                               : m_createDmg ? QStringLiteral("Disk image")
                                                             : QStringLiteral("-"));

    m_app.setSendButton(AppController::kStopTitle, true);
    ui().setProgressIndeterminate(true);
    ui().setStatus(QStringLiteral("Connecting..."));

    const QString destType = destTypeOf(m_defaultBackup);
    m_itemDict.insert(qk::QFDestType, destType);
    if (recInt(m_defaultBackup, dk::type) == 1)
        m_defaultBackup.insert(dk::QFDestType, kLocalDisk);
    const QString scheme = displaySchemeFor(destType);
    const QString host = recString(m_defaultBackup, dk::hostField);
    const QString destPath = recString(m_defaultBackup, dk::pathField);
    m_theFtpURL =
        (destType == QLatin1String("Amazon S3") || destType == QLatin1String("Google Storage"))
            ? QStringLiteral("%1://%2.%3").arg(scheme, destPath, host)
            : QStringLiteral("%1://%2/%3").arg(scheme, host, destPath);

    ui().setDestinationField(m_ftpFlag ? m_theFtpURL : destPath);

    m_sourceState = sourceState(path);

    if (m_createDmg) {
        createEncryptedDmg();
    } else if (m_zip) {
        zip();
    } else {
        if (!getSizeAndCheckFreeSpace())
            return;
        m_finalName = composeFinalName(path, false, false);
        if (recBool(m_defaultBackup, dk::sendFTPBtn))
            newStage();
        else
            sendEmail();
    }
}

void EntryRun::failEntry(const QString &message, Effect effect)
{
    logError(message, effect);
    worsen(Outcome::Missing);
    deleteDmgFile();
}

void EntryRun::setAside(bool cont)
{
    dropTransfer();
    setStage(Stage::SetAside);
    m_app.entryEnded(cont);
}

void EntryRun::newStage()
{
    if (!recBool(m_defaultBackup, dk::sendFTPBtn)) {
        sendEmail();
        return;
    }
    setStage(Stage::Delivering);
    const qint64 type = recInt(m_defaultBackup, dk::type);
    if (!m_createDmg && !m_zip && type == 2) {
        m_finalName = composeFinalName(m_filesToBackup, false, false);
        m_theSize = recInt(m_itemDict, qk::origSize) > 0 ? quint64(recInt(m_itemDict, qk::origSize))
                                                         : pathSize(m_filesToBackup);
        if (!backupToLocalAsIs()) {
            setAside(true);
            return;
        }
    }
    if (type == 2) {
        noteDelivered();
        sendEmail();
        return;
    }
    if ((m_createDmg || m_zip) && !m_ftpFlag && !m_finalLocalFolder.isEmpty() &&
        QFileInfo(m_dmgFile).absolutePath() == QDir(m_finalLocalFolder).absolutePath()) {
        // The package was built straight into the local folder: it is
        // delivered already, and copying it onto itself would make a second one.
        setDownloadURLInItemDict();
        noteDelivered();
        sendEmail();
        return;
    }
    uploadToFTP();
}

void EntryRun::cancel()
{
    if (m_stage == Stage::Completing || hasEnded())
        return;
    if (m_smtp && m_smtp->isSending()) {
        // The sender's end reports "Operation cancelled!" and ends the entry.
        m_smtp->cancelEmail();
        return;
    }
    if (m_packer && m_packer->state() != QProcess::NotRunning) {
        // The packer's end reports the cancellation and ends the entry; on
        // SIGTERM it removes its temporary file.
        m_packer->terminate();
        return;
    }
    m_lores.reset(); // kills a running Ghostscript
    dropTransfer();
    failEntry(QStringLiteral("DELIVERY CANCELED"), Effect::NotDelivered);
}

QString EntryRun::verb() const
{
    return m_isLocal ? QStringLiteral("Copying") : QStringLiteral("Uploading");
}

void EntryRun::transferReport(const TransferReport &report)
{
    namespace tr = transferreport;
    std::visit(overloaded{
                   [this](const tr::ListingStarted &) {
                       ui().setProgressIndeterminate(true);
                       ui().setStatus(QStringLiteral("Listing directory..."));
                   },
                   [this](const tr::CreatingFolders &) {
                       ui().setStatus(QStringLiteral("Creating subfolders..."));
                   },
                   [](const tr::ListingEnded &) {},
                   [this](const tr::DateFolderTrouble &r) { logError(r.text); },
                   [this](const tr::DateFolderPath &r) {
                       m_dateFolderPath = r.path;
                       m_itemDict.insert(QStringLiteral("dateFolderPath"), r.path);
                   },
                   [this](const tr::FinalName &r) { m_finalName = r.name; },
                   [this](const tr::TargetFixed &) { setDownloadURLInItemDict(); },
                   [this](const tr::Started &) { transferDidStart(); },
                   [this](const tr::CurrentItem &r) {
                       ui().setStatus(
                           QStringLiteral("%1 %2: %3...").arg(verb(), m_finalName, r.itemInfo));
                   },
                   [this](const tr::Progress &r) {
                       ui().setProgressIndeterminate(false);
                       ui().setProgress(100.0 * r.fraction);
                   },
                   [this](const tr::Amounts &r) {
                       ui().setStatus2(
                           QStringLiteral("%1 of %2 %3 %4 %5 %6 remaining")
                               .arg(r.doneSize, r.fullSize, kBullet, r.speed, kBullet, r.timeLeft));
                   },
                   [this](const tr::Succeeded &) {
                       killPointForTests("placed");
                       noteDelivered();
                       killPointForTests("delivered");
                       ui().setProgressIndeterminate(true);
                       ui().setStatus2(QString());
                       sendEmail();
                   },
                   [this](const tr::Failed &r) { transferFailed(r.error, r.errorInfo, r.cause); },
                   [](const tr::FailedUnexpectedly &) {}, // TransferRun ends the application
               },
               report);
    // What the delivery notes once its item is in place follows the entry.
    if (m_placed && m_stage == Stage::Delivering && !std::holds_alternative<tr::Progress>(report) &&
        !std::holds_alternative<tr::Amounts>(report)) {
        const QMutexLocker lock(&m_placed->mutex);
        if (m_placed->id.isEmpty() && !m_placed->record.isEmpty())
            m_placed->record = deliveredRecord();
    }
}

void EntryRun::transferDidStart()
{
    ui().setStatus(verb());
    ui().setStatus2(QString());
    const QString destType = recString(m_itemDict, qk::QFDestType);
    if (destType.contains(QLatin1String("FTP")) || destType.contains(QLatin1String("AFP")) ||
        destType.contains(QLatin1String("SMB"))) {
        if (!m_dateFolderPath.isEmpty())
            m_theFtpURL = QStringLiteral("%1/%2").arg(m_theFtpURL, m_dateFolderPath);
        ui().setDestinationField(m_theFtpURL);
    } else if (destType == kLocalDisk) {
        ui().setDestinationField(m_finalLocalFolder);
    }
}

void EntryRun::transferFailed(const QString &error, const QString &info, const TransferError &cause)
{
    const QString inner =
        cause.isNameLookupFailure()
            ? QStringLiteral("Couldn't establish connection: %1\n%2\n\nPlease check the proxy "
                             "settings of this computer and disable any custom proxy settings. "
                             "With any questions, contact support@tallowin.example.")
                  .arg(error, info)
            : QStringLiteral("Transfer error: %1\n%2").arg(error, info);
    dropTransfer();
    failEntry(QStringLiteral("FILE HAS NOT BEEN DELIVERED!\nAn error occurred during file "
                             "transfer.\n%1")
                  .arg(inner));
}

void EntryRun::logError(const QString &message, Effect effect)
{
    if (effect == Effect::MailNotSent && !m_attachOnly)
        effect = Effect::Note;
    ui().beep();
    const QString stamp = formatDate(QDateTime::currentDateTime(), kLogDateFormat);
    const QString file =
        m_filesToBackup.isEmpty() ? QString() : QFileInfo(m_filesToBackup).fileName();
    ui().bringToFront(UserInterface::Window::Errors);
    m_app.m_errors->addError(errorPanelText(stamp, file, message, effect));
    // Once recorded, errors (moving the source) go to the panel only.
    if (m_stage == Stage::Completing || hasEnded())
        return;
    m_itemDict.insert(qk::error, QStringLiteral("%1\n--------------------\n%2")
                                     .arg(recString(m_itemDict, qk::error), message));
    worsen(effect == Effect::Note ? Outcome::Modified : Outcome::Missing);
}

} // namespace pv
