// The chain of stages one entry goes through: packaging, delivery,
// notification, completion. Each stage starts the next from its own callback.

#include "app/appcontroller.h"
#include "app/namesandsizes.h"
#include "app/queueitem.h"
#include "app/transferrun.h"
#include "core/dates.h"
#include "core/fileops.h"
#include "core/log.h"
#include "core/record.h"
#include "destinations/destination.h"
#include "destinations/destinationseditor.h"
#include "notify/notification.h"
#include "notify/smtpemail.h"
#include "records/queuetable.h"

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

QString displaySchemeFor(const QString &destType)
{
    if (destType == QLatin1String("FTP Server"))
        return QStringLiteral("ftp");
    if (destType.contains(QLatin1String("FTPS")))
        return QStringLiteral("ftps");
    if (destType == QLatin1String("SFTP Server"))
        return QStringLiteral("sftp");
    if (destType == QLatin1String("WebDAV Server") || destType.contains(QLatin1String("MobileMe")))
        return QStringLiteral("http");
    if (destType == QLatin1String("Secure WebDAV Server") ||
        destType == QLatin1String("Amazon S3") || destType == QLatin1String("Google Storage"))
        return QStringLiteral("https");
    if (destType == QLatin1String("AFP Server"))
        return QStringLiteral("afp");
    if (destType == QLatin1String("SMB Server"))
        return QStringLiteral("smb");
    if (destType == kLocalDisk)
        return QStringLiteral("file");
    return QStringLiteral("ftp");
}

QString defaultPortFor(const QString &destType)
{
    if (destType == QLatin1String("SFTP Server"))
        return QStringLiteral("22");
    if (destType == QLatin1String("WebDAV Server") || destType.contains(QLatin1String("MobileMe")))
        return QStringLiteral("80");
    if (destType == QLatin1String("Secure WebDAV Server") ||
        destType == QLatin1String("Amazon S3") || destType == QLatin1String("Google Storage"))
        return QStringLiteral("443");
    if (destType == QLatin1String("AFP Server"))
        return QStringLiteral("548");
    if (destType == QLatin1String("SMB Server"))
        return QStringLiteral("445");
    return QStringLiteral("21");
}

void AppController::processFile(const QVariantMap &item)
{
    m_isProcessing = true;
    m_processingPath = recString(item, qk::path);
    log(QStringLiteral("--> processFile: %1 dest \"%2\" group \"%3\"")
            .arg(recString(item, qk::path), recString(item, qk::dest), recString(item, qk::group)));
    if (m_processFile) {
        m_processFile(item);
        return;
    }

    const QString path = recString(item, qk::path);
    m_defaultBackup = destDictForName(recString(item, qk::dest));
    m_finalName.clear();
    m_dmgFile.clear();
    m_theFtpURL.clear();
    m_ftpURLEsc.clear();
    m_finalLocalFolder.clear();
    m_dateFolderPath.clear();
    m_notDelivered = m_createDmg = m_zip = m_attachOnly = m_isLocal = false;
    m_packerTail.clear();
    m_theSize = 0;

    const QDateTime now = QDateTime::currentDateTime();
    m_itemDict = item;
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
        m_itemDict.insert(qk::success, QStringLiteral("missing"));
        m_notDelivered = true;
        deleteDmgFile();
        return;
    }

    const QString name = recString(m_itemDict, qk::name);
    m_ui->setStatus2(QString());
    m_ui->setSourceField(name);
    m_ui->setWindowTitle(QStringLiteral("Processing %1 %2").arg(kBullet, name));

    // An entry with nothing to run must not block the queue: it is recorded
    // as not delivered and its source goes to the error location.
    if (m_defaultBackup.isEmpty()) {
        failEntry(QStringLiteral("Destination not found:\nThe destination \"%1\" does not exist.")
                      .arg(recString(item, qk::dest)));
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

    setSendButton(kStopTitle, true);
    m_ui->setProgressIndeterminate(true);
    m_ui->setStatus(QStringLiteral("Connecting..."));

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

    m_ui->setDestinationField(m_ftpFlag ? m_theFtpURL : destPath);

    // Compared once the item has been sent (sendEmail), to catch a writer
    // still at work.
    m_itemDict.insert(qk::sourceState, sourceState(path));

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

void AppController::failEntry(const QString &message)
{
    logError(message);
    m_notDelivered = true;
    m_itemDict.insert(qk::success, QStringLiteral("missing"));
    deleteDmgFile();
}

void AppController::newStage()
{
    if (!recBool(m_defaultBackup, dk::sendFTPBtn)) {
        sendEmail();
        return;
    }
    const qint64 type = recInt(m_defaultBackup, dk::type);
    if (!m_createDmg && !m_zip && type == 2) {
        m_finalName = composeFinalName(m_filesToBackup, false, false);
        m_theSize = recInt(m_itemDict, qk::origSize) > 0 ? quint64(recInt(m_itemDict, qk::origSize))
                                                         : pathSize(m_filesToBackup);
        if (!backupToLocalAsIs()) {
            stopProgress(true);
            return;
        }
    }
    if (type == 2) {
        sendEmail();
        return;
    }
    if ((m_createDmg || m_zip) && !m_ftpFlag && !m_finalLocalFolder.isEmpty() &&
        QFileInfo(m_dmgFile).absolutePath() == QDir(m_finalLocalFolder).absolutePath()) {
        // The package was built straight into the local folder: it is
        // delivered already, and copying it onto itself would make a second one.
        setDownloadURLInItemDict();
        sendEmail();
        return;
    }
    uploadToFTP();
}

void AppController::cancelProcess()
{
    m_processCancelled = true;
    if (!m_isProcessing || m_itemDict.isEmpty())
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
    logError(QStringLiteral("DELIVERY CANCELED"));
}

void AppController::stopProgress(bool cont)
{
    dropTransfer();
    if (m_processCancelled)
        setSendButton(kStartTitle, m_sendEnabled);
    else if (m_queue->items().isEmpty())
        setSendButton(kStopTitle, false);
    m_ui->setStatus(QStringLiteral("Idle"));
    m_ui->setStatus2(QString());
    m_ui->setSourceField(QString());
    m_ui->setDestinationField(QString());
    m_ui->setWindowTitle(QStringLiteral("Processing"));
    m_ui->setProgressIndeterminate(false);
    m_ui->setProgress(0);
    if (cont && !m_processCancelled) {
        sendNextFileInQueue();
        return;
    }
    if (!cont || m_processCancelled)
        m_isProcessing = false;
}

QString AppController::verb() const
{
    return m_isLocal ? QStringLiteral("Copying") : QStringLiteral("Uploading");
}

void AppController::transferReport(const TransferReport &report)
{
    namespace tr = transferreport;
    std::visit(overloaded{
                   [this](const tr::ListingStarted &) {
                       m_ui->setProgressIndeterminate(true);
                       m_ui->setStatus(QStringLiteral("Listing directory..."));
                   },
                   [this](const tr::CreatingFolders &) {
                       m_ui->setStatus(QStringLiteral("Creating subfolders..."));
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
                       m_ui->setStatus(
                           QStringLiteral("%1 %2: %3...").arg(verb(), m_finalName, r.itemInfo));
                   },
                   [this](const tr::Progress &r) {
                       m_ui->setProgressIndeterminate(false);
                       m_ui->setProgress(100.0 * r.fraction);
                   },
                   [this](const tr::Amounts &r) {
                       m_ui->setStatus2(
                           QStringLiteral("%1 of %2 %3 %4 %5 %6 remaining")
                               .arg(r.doneSize, r.fullSize, kBullet, r.speed, kBullet, r.timeLeft));
                   },
                   [this](const tr::Succeeded &) {
                       m_ui->setProgressIndeterminate(true);
                       m_ui->setStatus2(QString());
                       sendEmail();
                   },
                   [this](const tr::Failed &r) { transferFailed(r.error, r.errorInfo); },
                   [](const tr::FailedUnexpectedly &) {}, // TransferRun ends the application
               },
               report);
}

void AppController::transferDidStart()
{
    m_ui->setStatus(verb());
    m_ui->setStatus2(QString());
    const QString destType = recString(m_itemDict, qk::QFDestType);
    if (destType.contains(QLatin1String("FTP")) || destType.contains(QLatin1String("AFP")) ||
        destType.contains(QLatin1String("SMB"))) {
        if (!m_dateFolderPath.isEmpty())
            m_theFtpURL = QStringLiteral("%1/%2").arg(m_theFtpURL, m_dateFolderPath);
        m_ui->setDestinationField(m_theFtpURL);
    } else if (destType == kLocalDisk) {
        m_ui->setDestinationField(m_finalLocalFolder);
    }
}

void AppController::transferFailed(const QString &error, const QString &info)
{
    // getaddrinfo's EAI_NONAME: the host name did not resolve, usually a proxy setting.
    const QString key = QStringLiteral("kCFGetAddrInfoFailureKey: 8");
    const QString inner =
        (error.contains(key) || info.contains(key))
            ? QStringLiteral("Couldn't establish connection: %1\n%2\n\nPlease check the proxy "
                             "settings of this computer and disable any custom proxy settings. "
                             "With any questions, contact support@tallowin.example.")
                  .arg(error, info)
            : QStringLiteral("Transfer error: %1\n%2").arg(error, info);
    dropTransfer();
    logError(QStringLiteral("FILE HAS NOT BEEN DELIVERED!\nAn error occurred during file "
                            "transfer.\n%1")
                 .arg(inner));
    m_notDelivered = true;
    deleteDmgFile();
}

} // namespace pv
