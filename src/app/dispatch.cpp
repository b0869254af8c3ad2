// Turning a destination into a transfer: sizes, local folders, the target
// URL and the parameters of the delivery.

#include "app/appcontroller.h"
#include "app/entryrun.h"
#include "app/namesandsizes.h"
#include "app/queueitem.h"
#include "app/transferrun.h"
#include "core/dates.h"
#include "core/fileops.h"
#include "core/journal.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/record.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "prefs/prefs.h"
#include "transfer/s3endpoint.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>
#include <QUrl>

namespace pv {

namespace {

QString transferSchemeFor(const QString &destType)
{
    if (destType == QLatin1String("SFTP Server"))
        return QStringLiteral("ssh");
    return displaySchemeFor(destType);
}

bool isCloud(const QString &destType)
{
    return destType == QLatin1String("Amazon S3") || destType == QLatin1String("Google Storage");
}

/// Every file and folder below root, depth-first, parents before their
/// contents; hidden items are skipped. Symbolic links are followed only with
/// followLinks (a link back into the walk is not); links not followed are
/// named in leftOut by their path below root.
QVariantList folderContents(const QString &root, bool followLinks, QStringList *leftOut)
{
    QVariantList items;
    QSet<QString> walking;
    const QString top = QDir(root).absolutePath();
    std::function<void(const QString &)> walk = [&](const QString &dir) {
        const QString canonical = QFileInfo(dir).canonicalFilePath();
        walking.insert(canonical);
        const QFileInfoList entries = QDir(dir).entryInfoList(
            QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo &fi : entries) {
            const QString subpath = fi.absoluteFilePath().mid(top.size() + 1);
            // A link could hand over any file this account can read, so it
            // only goes out when the user allows it, and never in a circle.
            if (fi.isSymLink() && (!followLinks || !fi.exists() ||
                                   (fi.isDir() && walking.contains(fi.canonicalFilePath())))) {
                leftOut->append(subpath);
                continue;
            }
            const bool isDir = fi.isDir();
            items.append(
                QVariantMap{{QStringLiteral("name"), fi.fileName()},
                            {QStringLiteral("isFolder"), isDir},
                            {QStringLiteral("localPath"), fi.absoluteFilePath()},
                            {QStringLiteral("subpath"), subpath},
                            {QStringLiteral("moddate"), fi.lastModified()},
                            {QStringLiteral("creatdate"),
                             fi.birthTime().isValid() ? fi.birthTime() : fi.lastModified()}});
            if (isDir)
                walk(fi.absoluteFilePath());
        }
        walking.remove(canonical);
    };
    walk(top);
    return items;
}

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

bool validBucketName(const QString &bucket)
{
    for (const QChar c : bucket) {
        switch (c.category()) {
        case QChar::Letter_Uppercase:
        case QChar::Letter_Titlecase:
        case QChar::Separator_Space:
        case QChar::Mark_NonSpacing:
        case QChar::Mark_SpacingCombining:
        case QChar::Mark_Enclosing:
        case QChar::Symbol_Math:
        case QChar::Symbol_Currency:
        case QChar::Symbol_Modifier:
        case QChar::Symbol_Other:
            return false;
        default:
            if (c == QLatin1Char('.') || c == QLatin1Char('\t'))
                return false;
        }
    }
    return true;
}

Alert bucketRefusal(const QString &destType, const QString &bucket)
{
    Alert a;
    if (!isCloud(destType))
        return a;
    if (bucket.isEmpty()) {
        a.title = QStringLiteral("Bucket name is missing");
        a.text = QStringLiteral("Bucket name is required to connect to the destination");
    } else if (!validBucketName(bucket)) {
        a.title = QStringLiteral("Illegal characters in bucket name");
        a.text = QStringLiteral("Bucket names cannot contain capital letters, spaces and special "
                                "characters. Periods in bucket names are currently not supported "
                                "by Parcelvane.");
    }
    return a;
}

TargetURL composeTargetURL(const QVariantMap &dest, const QString &password, const QString &path)
{
    const QString destType = destTypeOf(dest);
    const QString scheme = transferSchemeFor(destType);
    const QString host = recString(dest, dk::hostField);
    const QString userEsc = addMissingPercentEscapes(recString(dest, dk::userField));
    const QString passEsc = addMissingPercentEscapes(password);
    const QString pathEsc = path == QLatin1String("//") ? path : addMissingPercentEscapes(path);
    TargetURL t;
    t.port = recString(dest, dk::QFPort);
    if (t.port.isEmpty())
        t.port = defaultPortFor(destType);
    if (isCloud(destType)) {
        t.url = QStringLiteral("%1://%2:%3@%4.%5").arg(scheme, userEsc, passEsc, pathEsc, host);
        t.masked = QStringLiteral("%1://%2:<passw>@%3.%4").arg(scheme, userEsc, pathEsc, host);
        t.noPassword =
            QStringLiteral("%1://%2:<password>@%3.%4").arg(scheme, userEsc, pathEsc, host);
        // The credentials may only go to the provider: a bucket or host that
        // turns the URL's host into anything else is refused.
        const QString service = destType == QLatin1String("Amazon S3")
                                    ? s3::Provider::amazonS3().serviceHost
                                    : s3::Provider::googleStorage().serviceHost;
        const QUrl parsed(t.url, QUrl::StrictMode);
        if (!parsed.isValid() ||
            !parsed.host().endsWith(QLatin1Char('.') + service, Qt::CaseInsensitive))
            t.refusal = QStringLiteral("The bucket %1 at %2 does not make an address of %3, so the "
                                       "file was not sent.")
                            .arg(path, host, service);
    } else if (destType == kLocalDisk) {
        t.url = QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
        if (t.url.startsWith(QLatin1String("file:///")))
            t.url.replace(0, 8, QStringLiteral("file://localhost/"));
        t.masked = t.noPassword = t.url;
    } else {
        t.url = QStringLiteral("%1://%2:%3@%4:%5/%6")
                    .arg(scheme, userEsc, passEsc, host, t.port, pathEsc);
        t.masked =
            QStringLiteral("%1://%2:<passw>@%3:%4/%5").arg(scheme, userEsc, host, t.port, pathEsc);
        t.noPassword = QStringLiteral("%1://%2:<password>@%3:%4/%5")
                           .arg(scheme, userEsc, host, t.port, pathEsc);
    }
    return t;
}

bool EntryRun::getSizeAndCheckFreeSpace()
{
    const qint64 orig = recInt(m_itemDict, qk::origSize);
    m_theSize = orig > 0 ? quint64(orig) : pathSize(m_filesToBackup);
    ui().setStatus2(QStringLiteral("%1 \u2022 %2")
                        .arg(QFileInfo(m_filesToBackup).fileName(), setSizeStr(m_theSize)));
    if (!m_createDmg && !m_zip)
        return true;
    const QStorageInfo storage(paths::scratchDir());
    const quint64 free = quint64(qMax<qint64>(0, storage.bytesAvailable()));
    if (m_theSize <= free)
        return true;
    ui().alert(
        {m_createDmg ? QStringLiteral("Not enough free space to create Disk Image")
                     : QStringLiteral("Not enough free space to create ZIP archive"),
         QStringLiteral("Available: %1 bytes, required: %2 bytes.").arg(free).arg(m_theSize)});
    // The entry stays queued in its hot folder; processing pauses.
    setAside(false);
    return false;
}

void EntryRun::computeFinalLocalFolder()
{
    QString folder = recString(m_defaultBackup, dk::pathField);
    m_finalLocalFolder = folder;
    const QDateTime now = QDateTime::currentDateTime();
    struct Level {
        QString key;
        QString name;
    };
    const QList<Level> levels{{dk::yearFolderBtn, formatDate(now, "%Y")},
                              {dk::monthFolderBtn, formatDate(now, "%m-%Y")},
                              {dk::dateFolderBtn, DeliveryTransfer::dateFolderName(
                                                      recString(m_defaultBackup, dk::dateFormat),
                                                      QDateTime::currentDateTime())}};
    for (const Level &level : levels) {
        if (!recBool(m_defaultBackup, level.key))
            continue;
        const QString next = folder + QLatin1Char('/') + level.name;
        if (!QFileInfo(next).isDir() && !QDir().mkdir(next)) {
            ui().alert({QStringLiteral("Error creating folder"),
                        QStringLiteral("Folder %1 could not be created. The file will be copied "
                                       "into the destination folder.\n\nError: %2")
                            .arg(next, QStringLiteral("The folder could not be created."))});
            break;
        }
        folder = next;
        m_finalLocalFolder = folder;
    }
}

bool EntryRun::backupToLocalAsIs()
{
    computeFinalLocalFolder();
    QString target = m_finalLocalFolder + QLatin1Char('/') + m_finalName;
    QString error;
    if (pathExists(target)) {
        if (recBool(m_defaultBackup, dk::overwriteBtn)) {
            (void)removePath(target, &error);
        } else {
            m_finalName =
                finalNameForOverwrite(m_finalName, QDir(m_finalLocalFolder)
                                                       .entryList(QDir::AllEntries | QDir::Hidden |
                                                                  QDir::NoDotAndDotDot));
            target = m_finalLocalFolder + QLatin1Char('/') + m_finalName;
        }
    }
    ui().setStatus(QStringLiteral("Copying to local disk..."));
    const QFileInfo source(m_filesToBackup);
    if (!source.isDir() || source.isSymLink()) {
        if (!copyPath(m_filesToBackup, target, &error)) {
            ui().alert({QStringLiteral("File cannot be copied"),
                        QStringLiteral("Couldn't copy the file %1 to folder %2.\n\nError: %3")
                            .arg(m_filesToBackup, target, error)});
            return false;
        }
        return true;
    }
    if (!QDir().mkdir(target)) {
        ui().alert({QStringLiteral("Folder could not be created"),
                    QStringLiteral("Couldn't create folder %1").arg(target)});
        return false;
    }
    const QStringList entries =
        QDir(m_filesToBackup)
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                       QDir::Name);
    for (int i = 0; i < entries.size(); ++i) {
        ui().setStatus(QStringLiteral("Copying %1 - item %2 of %3...")
                           .arg(entries[i])
                           .arg(i + 1)
                           .arg(entries.size()));
        const QString from = m_filesToBackup + QLatin1Char('/') + entries[i];
        if (!copyPath(from, target + QLatin1Char('/') + entries[i], &error)) {
            ui().alert({QStringLiteral("Item could not be copied"),
                        QStringLiteral("Couldn't copy the item at path %1 to %2.\n\nError: %3")
                            .arg(from, target, error)});
            return false;
        }
    }
    return true;
}

void EntryRun::uploadToFTP()
{
    const QString destType = destTypeOf(m_defaultBackup);
    m_itemDict.insert(qk::QFDestType, destType);
    const QString scheme = transferSchemeFor(destType);
    m_isLocal = scheme == QLatin1String("afp") || scheme == QLatin1String("smb") ||
                scheme == QLatin1String("file");
    const QString password =
        Prefs::decryptPassword(recString(m_defaultBackup, dk::sitePasswordField));
    QString path;
    if (destType == kLocalDisk) {
        computeFinalLocalFolder();
        path = m_finalLocalFolder;
    } else {
        path = recString(m_defaultBackup, dk::pathField);
    }

    if (const Alert refusal = bucketRefusal(destType, path); !refusal.title.isEmpty()) {
        // The entry is skipped: its source stays in the hot folder.
        setAside(true);
        ui().alert(refusal);
        return;
    }

    const TargetURL target = composeTargetURL(m_defaultBackup, password, path);
    if (!target.refusal.isEmpty()) {
        failEntry(QStringLiteral("FILE HAS NOT BEEN DELIVERED!\n%1").arg(target.refusal));
        return;
    }
    m_ftpURLEsc = target.url;
    log(QStringLiteral("--> uploadToFTP: %1").arg(target.masked));
    m_itemDict.insert(QStringLiteral("baseURLNoPassword"), target.noPassword);

    const QString localPath = (m_createDmg || m_zip) ? m_dmgFile : m_filesToBackup;
    QVariantMap parameters{{QStringLiteral("localPath"), localPath},
                           {QStringLiteral("url"), m_ftpURLEsc},
                           {QStringLiteral("dest"), m_defaultBackup},
                           {QStringLiteral("origSize"), qint64(m_theSize)},
                           {QStringLiteral("moddate"), m_itemDict.value(qk::moddate)},
                           {QStringLiteral("creatdate"), m_itemDict.value(qk::creatdate)}};
    const QFileInfo local(localPath);
    if (!parameters.value(QStringLiteral("moddate")).isValid())
        parameters.insert(QStringLiteral("moddate"), local.lastModified());
    if (!parameters.value(QStringLiteral("creatdate")).isValid())
        parameters.insert(QStringLiteral("creatdate"),
                          local.birthTime().isValid() ? local.birthTime() : local.lastModified());
    if (local.isDir() && !local.isSymLink()) {
        QStringList links;
        const QVariantList contents =
            folderContents(localPath, settings::boolValue(keys::deliverSymbolicLinks), &links);
        parameters.insert(QStringLiteral("isFolder"), true);
        parameters.insert(QStringLiteral("folderContents"), contents);
        parameters.insert(QStringLiteral("numOfItemsInFolder"), int(contents.size()));
        if (!links.isEmpty())
            logError(QStringLiteral("Symbolic links were left out of the delivery:\n%1")
                         .arg(links.join(QLatin1Char('\n'))));
    }
    createTransferOperationWithParameters(parameters);
}

void EntryRun::createTransferOperationWithParameters(const QVariantMap &parameters)
{
    ui().setProgressIndeterminate(false);
    ui().setProgress(0);
    dropTransfer();
    m_transfer = std::make_unique<TransferRun>(this, parameters);
    m_placed = std::make_shared<PlacedNote>();
    m_placed->record = deliveredRecord();
    // On the delivery's thread, the moment the item is in place.
    m_transfer->setPlacedHandler(
        [note = m_placed, journal = m_app.m_journal] {
            const QMutexLocker lock(&note->mutex);
            if (note->record.isEmpty())
                return;
            note->record.insert(qk::dateEnd, QDateTime::currentDateTime());
            // Made durable with the entry's record; a crash of the process keeps it.
            note->id = journal->appendUnflushed(Journal::kDelivered, note->record);
            note->record.clear();
        },
        m_placed->record);
    m_transfer->start();
}

void EntryRun::dropTransfer()
{
    if (m_placed) {
        const QMutexLocker lock(&m_placed->mutex);
        m_placed->record.clear();
    }
    if (m_transfer) {
        m_transfer->cancel();
        TransferRun::release(std::move(m_transfer));
    }
}

} // namespace pv
