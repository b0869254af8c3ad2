// The end of every entry: the record, the source's way out of the hot
// folder, the error log.

#include "app/appcontroller.h"
#include "app/namesandsizes.h"
#include "app/queueitem.h"
#include "core/dates.h"
#include "core/fileops.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/record.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "prefs/prefs.h"
#include "records/historypaneltable.h"
#include "records/queuetable.h"

#include <QDir>
#include <QFileInfo>

namespace pv {

namespace {

QString timeTotalText(const QDateTime &start, const QDateTime &end)
{
    const qint64 secs = start.isValid() ? qMax<qint64>(0, start.secsTo(end)) : 0;
    return QString::asprintf("%02lld:%02lld:%02lld", secs / 3600, (secs / 60) % 60, secs % 60);
}

} // namespace

void AppController::logError(const QString &message)
{
    const bool expiry = message.contains(QLatin1String("expired item"));
    if (!expiry) {
        m_ui->beep();
        m_notDelivered = false;
    }
    const QString stamp = formatDate(QDateTime::currentDateTime(), kLogDateFormat);
    const QString file =
        m_filesToBackup.isEmpty() ? QString() : QFileInfo(m_filesToBackup).fileName();
    QString text;
    // The sender words its failures "Email could not be sent": both mean the
    // only copy of an attach-only item did not go out.
    if ((message.contains(QLatin1String("E-mail could not be sent")) ||
         message.contains(QLatin1String("Email could not be sent"))) &&
        m_attachOnly) {
        m_notDelivered = true;
        text = QStringLiteral("%1\nFile: %2\n\nFILE NOT DELIVERED!\nError: %3")
                   .arg(stamp, file, message);
    } else if (message.contains(QLatin1String("DELIVERY CANCELED")) ||
               message.contains(QLatin1String("Destination not found"))) {
        m_notDelivered = true;
        text = QStringLiteral("%1\nFile: %2\n\nFILE NOT DELIVERED!\n%3").arg(stamp, file, message);
    } else if (expiry) {
        text = message;
    } else {
        text = QStringLiteral("%1\nFile: %2\n\nError: %3").arg(stamp, file, message);
    }
    m_ui->bringToFront(UserInterface::Window::Errors);
    m_errors->addError(text);
    if (expiry || m_itemDict.isEmpty())
        return;
    m_itemDict.insert(qk::error, QStringLiteral("%1\n--------------------\n%2")
                                     .arg(recString(m_itemDict, qk::error), message));
    m_itemDict.insert(qk::success,
                      m_notDelivered ? QStringLiteral("missing") : QStringLiteral("modified"));
    if (m_processCancelled)
        deleteDmgFile();
}

void AppController::deleteDmgFile()
{
    // Completion runs once per entry, also when an error raised during it
    // asks for completion again.
    if (m_completing || m_itemDict.isEmpty())
        return;
    m_completing = true;
    dropTransfer();

    const QString path = m_filesToBackup;
    const bool sourceThere = pathExists(path);
    if (!sourceThere) {
        // Nothing can be moved, but the entry is still recorded and the queue
        // goes on.
        m_notDelivered = true;
        if (!recString(m_itemDict, qk::error).contains(QLatin1String("File could not be found")))
            m_itemDict.insert(qk::error, recString(m_itemDict, qk::error).isEmpty()
                                             ? QStringLiteral("File could not be found")
                                             : recString(m_itemDict, qk::error) +
                                                   QStringLiteral("\n--------------------\nFile "
                                                                  "could not be found"));
    }

    QVariantMap &rec = m_itemDict;
    const QDateTime now = QDateTime::currentDateTime();
    if (m_theSize == 0)
        m_theSize =
            recInt(rec, qk::origSize) > 0 ? quint64(recInt(rec, qk::origSize)) : pathSize(path);
    rec.insert(qk::finalName, m_finalName.isEmpty() ? recString(rec, qk::name) : m_finalName);
    rec.insert(qk::location, m_ftpFlag ? m_theFtpURL : m_finalLocalFolder);
    rec.insert(qk::dateEnd, now);
    rec.insert(qk::dateEndStr, formatDate(now, kQueueDateFormat));
    rec.insert(qk::timeTotal,
               timeTotalText(rec.value(QStringLiteral("dateStart")).toDateTime(), now));
    rec.insert(qk::size, setSizeStr(m_theSize));
    const bool packaged = (m_createDmg || m_zip) && !m_dmgFile.isEmpty();
    const QString finalSize =
        packaged && pathExists(m_dmgFile) ? setSizeStr(pathSize(m_dmgFile)) : QString();
    rec.insert(qk::finalSize, finalSize);
    rec.insert(qk::sizeField, finalSize.isEmpty() ? rec.value(qk::size).toString()
                                                  : QStringLiteral("%1 / %2").arg(
                                                        rec.value(qk::size).toString(), finalSize));
    if (m_notDelivered) {
        rec.insert(qk::success, QStringLiteral("missing"));
    } else if (recBool(m_defaultBackup, dk::QFExpireFiles) &&
               recBool(m_defaultBackup, dk::sendFTPBtn)) {
        log(QStringLiteral("--> deleteDmgFile: expiry of %1 is not recorded in this version")
                .arg(recString(rec, qk::finalName)));
    }
    if (recString(rec, qk::success).isEmpty())
        rec.insert(qk::success, QStringLiteral("ok"));
    rec.remove(qk::sourceState);
    recordCompleted(rec);
    m_ui->entryFinished(deliverySummary(
        rec, Prefs::decryptPassword(recString(m_defaultBackup, dk::sitePasswordField))));

    const bool last = !m_queue->containsPath(path) && !isMeasuring(path);
    // A package built in the scratch folder for a local destination has been
    // copied by now; left there it would fill the disk and push the next
    // package of the same name into the destination under a numbered name.
    const bool scratchPackage =
        QFileInfo(m_dmgFile).absolutePath() == QDir(paths::scratchDir()).absolutePath();
    if (packaged && pathExists(m_dmgFile) &&
        ((m_ftpFlag && last) || (!m_ftpFlag && scratchPackage))) {
        QString error;
        if (!removePath(m_dmgFile, &error))
            log(QStringLiteral("---> deleteDmgFile: %1").arg(error));
    }
    if (last) {
        if (sourceThere)
            moveFile(path, m_notDelivered);
        if (m_forgetPath)
            m_forgetPath(path);
    }
    m_notDelivered = false;
    m_itemDict.clear();
    m_completing = false;
    stopProgress(true);
}

void AppController::moveFile(const QString &path, bool error)
{
    const QString kind = error ? QStringLiteral("error") : QStringLiteral("success");
    if (settings::boolValue(error ? keys::playeErrBtn : keys::playSuccBtn)) {
        m_ui->playSound(settings::stringValue(error ? keys::soundErrPopup : keys::soundSuccPopup,
                                              soundNames().value(0)));
    }
    const qint64 where = settings::intValue(error ? keys::moveErrors : keys::moveSuccessful);
    const QString hotfolder = recString(m_itemDict, qk::hotfolder);
    QString failure;
    if (where == 4) {
        if (!removePath(path, &failure))
            logError(QStringLiteral("File could not be deleted from hot folder. It has to be "
                                    "removed manually.\n\nError: %1")
                         .arg(failure));
        stopProgress(false);
        return;
    }
    QString folder;
    if (where == 0) {
        if (hotfolder.isEmpty()) {
            log(QStringLiteral("---> moveFile: %1 was handed over without a hot folder and stays "
                               "where it is")
                    .arg(path));
            stopProgress(false);
            return;
        }
        folder = hotfolder + (error ? QStringLiteral("/Errors") : QStringLiteral("/Done"));
    } else if (where == 1) {
        folder = settings::stringValue(error ? keys::errorFolder : keys::successFolder);
        if (!folder.isEmpty() && settings::boolValue(error ? keys::createErrorSubfolders
                                                           : keys::createSuccessSubfolders))
            folder += QLatin1Char('/') + recString(m_itemDict, qk::dest);
    }
    if (folder.isEmpty() || (!QFileInfo(folder).isDir() && !QDir().mkdir(folder))) {
        logError(QStringLiteral("The %1 folder %2 could not be found and could not be created. "
                                "The file will be left in hot folder and has to be removed "
                                "manually\n\nError: %3")
                     .arg(kind, folder,
                          folder.isEmpty() ? QStringLiteral("No folder is set.")
                                           : QStringLiteral("Could not create the folder.")));
        stopProgress(false);
        return;
    }
    m_ui->setStatus(QStringLiteral("Moving to %1 folder...").arg(kind));
    log(QStringLiteral("---> moveFile: %1").arg(path));
    const QString target = folder + QLatin1Char('/') + QFileInfo(path).fileName();
    const bool ok =
        (!pathExists(target) || removePath(target, &failure)) && movePath(path, target, &failure);
    if (!ok)
        logError(QStringLiteral("The file %1 could not be moved to %2 folder. It has to be "
                                "removed manually.\n\nError: %3")
                     .arg(QFileInfo(path).fileName(), kind, failure));
    stopProgress(false);
}

} // namespace pv
