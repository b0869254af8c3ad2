// The end of every entry: the record, the source's way out of the hot
// folder, the error log.

#include "app/appcontroller.h"
#include "app/entryrun.h"
#include "app/namesandsizes.h"
#include "app/queueitem.h"
#include "core/dates.h"
#include "core/fileops.h"
#include "core/journal.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/record.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "expiry/fileexpiry.h"
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

QVariantMap EntryRun::deliveredRecord() const
{
    QVariantMap rec = m_itemDict;
    rec.insert(qk::finalName, m_finalName.isEmpty() ? recString(rec, qk::name) : m_finalName);
    rec.insert(qk::location, m_ftpFlag ? m_theFtpURL : m_finalLocalFolder);
    rec.insert(qk::dateEnd, QDateTime::currentDateTime());
    return rec;
}

QString EntryRun::takePlacedNote()
{
    if (!m_placed)
        return {};
    const QMutexLocker lock(&m_placed->mutex);
    m_placed->record.clear();
    return std::exchange(m_placed->id, {});
}

void EntryRun::noteDelivered()
{
    // The delivery's thread noted it already when the item was put in place.
    m_deliveredNote = takePlacedNote();
    if (m_deliveredNote.isEmpty())
        m_deliveredNote = m_app.m_journal->appendUnflushed(Journal::kDelivered, deliveredRecord());
}

void EntryRun::completeAfterRestart(const QString &note, bool recorded)
{
    m_afterRestart = true;
    m_alreadyRecorded = recorded;
    m_deliveredNote = note;
    m_filesToBackup = recString(m_itemDict, qk::path);
    m_defaultBackup = m_app.destDictForName(recString(m_itemDict, qk::dest));
    m_finalName = recString(m_itemDict, qk::finalName);
    m_ftpFlag = recBool(m_itemDict, qk::ftpFlag);
    m_theFtpURL = m_finalLocalFolder = recString(m_itemDict, qk::location);
    for (const Outcome outcome : {Outcome::Modified, Outcome::Missing}) {
        if (recString(m_itemDict, qk::success) == outcomeText(outcome))
            worsen(outcome);
    }
    deleteDmgFile();
}

void EntryRun::deleteDmgFile()
{
    // Completion runs once per entry.
    if (m_stage == Stage::Completing || hasEnded())
        return;
    setStage(Stage::Completing);
    dropTransfer();

    const QString path = m_filesToBackup;
    const bool sourceThere = pathExists(path);
    // After a restart a source already gone was moved before the stop.
    if (!sourceThere && !m_afterRestart) {
        // Nothing can be moved, but the entry is still recorded and the queue
        // goes on.
        worsen(Outcome::Missing);
        if (!recString(m_itemDict, qk::error).contains(QLatin1String("File could not be found")))
            m_itemDict.insert(qk::error, recString(m_itemDict, qk::error).isEmpty()
                                             ? QStringLiteral("File could not be found")
                                             : recString(m_itemDict, qk::error) +
                                                   QStringLiteral("\n--------------------\nFile "
                                                                  "could not be found"));
    }

    QVariantMap &rec = m_itemDict;
    // An entry completed after a restart ended when its delivery did.
    const QDateTime now = m_afterRestart && rec.value(qk::dateEnd).toDateTime().isValid()
                              ? rec.value(qk::dateEnd).toDateTime()
                              : QDateTime::currentDateTime();
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
    const bool notDelivered = m_outcome == Outcome::Missing;
    // A record already in the history had its expiry noted with it.
    if (!notDelivered && !m_alreadyRecorded && recBool(m_defaultBackup, dk::QFExpireFiles) &&
        recBool(m_defaultBackup, dk::sendFTPBtn)) {
        QVariantMap delivered = rec;
        // A packaged folder arrived as one file.
        if (packaged)
            delivered.insert(qk::isFolder, false);
        m_app.m_expiry->writeExpiryDataForFile(delivered, m_defaultBackup);
    }
    worsen(Outcome::Ok);
    if (!m_alreadyRecorded) {
        m_app.recordCompleted(rec);
        ui().entryFinished(deliverySummary(
            rec, Prefs::decryptPassword(recString(m_defaultBackup, dk::sitePasswordField))));
    }

    // A source some members of its group still wait for stays in its hot folder.
    const bool last = !m_app.m_queue->containsPath(path) && !m_app.isMeasuring(path) &&
                      !m_app.m_membersDone.contains(path);
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
            moveFile(path, notDelivered);
        if (m_app.m_forgetPath)
            m_app.m_forgetPath(path);
    }
    // Recorded and moved: a restart has nothing left to do for it (a source
    // handed over on the command line stays where it is, so only its note
    // tells a restart whether it still waits).
    QStringList done = last ? m_app.m_queuedNotes.take(path) : QStringList();
    if (m_deliveredNote.isEmpty())
        m_deliveredNote = takePlacedNote(); // a Stop as the item was put in place
    if (!m_deliveredNote.isEmpty())
        done.append(m_deliveredNote);
    m_app.m_journal->retire(done);
    setStage(Stage::Finished);
    if (!m_afterRestart)
        m_app.entryEnded(true);
}

void EntryRun::moveFile(const QString &path, bool error)
{
    const QString kind = error ? QStringLiteral("error") : QStringLiteral("success");
    if (settings::boolValue(error ? keys::playeErrBtn : keys::playSuccBtn)) {
        ui().playSound(settings::stringValue(error ? keys::soundErrPopup : keys::soundSuccPopup,
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
        return;
    }
    QString folder;
    if (where == 0) {
        if (hotfolder.isEmpty()) {
            log(QStringLiteral("---> moveFile: %1 was handed over without a hot folder and stays "
                               "where it is")
                    .arg(path));
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
        return;
    }
    ui().setStatus(QStringLiteral("Moving to %1 folder...").arg(kind));
    log(QStringLiteral("---> moveFile: %1").arg(path));
    const QString target = folder + QLatin1Char('/') + QFileInfo(path).fileName();
    const bool ok =
        (!pathExists(target) || removePath(target, &failure)) && movePath(path, target, &failure);
    if (!ok)
        logError(QStringLiteral("The file %1 could not be moved to %2 folder. It has to be "
                                "removed manually.\n\nError: %3")
                     .arg(QFileInfo(path).fileName(), kind, failure));
}

} // namespace pv
