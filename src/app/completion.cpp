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
#include "records/historytable.h"
#include "records/queuetable.h"

#include <QDir>
#include <QFileInfo>
#include <QThreadPool>

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
    AppController::Settling settling;
    if (!m_alreadyRecorded)
        settling.record = rec;
    settling.password = recString(m_defaultBackup, dk::sitePasswordField);
    settling.item = m_itemDict;
    settling.path = path;
    settling.move = last && sourceThere;
    settling.error = notDelivered;
    settling.forget = last;
    // Recorded and moved: a restart has nothing left to do for it (a source
    // handed over on the command line stays where it is, so only its note
    // tells a restart whether it still waits).
    if (last)
        settling.notes = m_app.m_queuedNotes.take(path);
    if (m_deliveredNote.isEmpty())
        m_deliveredNote = takePlacedNote(); // a Stop as the item was put in place
    if (!m_deliveredNote.isEmpty())
        settling.notes.append(m_deliveredNote);
    // Only an entry whose completed delivery is noted may wait: a crash
    // before its record is written completes it from that note.
    m_app.settle(std::move(settling), m_afterRestart || m_deliveredNote.isEmpty());
    setStage(Stage::Finished);
    if (!m_afterRestart)
        m_app.entryEnded(true);
}

void AppController::settle(Settling settling, bool now)
{
    m_settling.append(std::move(settling));
    if (now || m_queue->items().isEmpty() || m_processCancelled) {
        settleAll(true);
        return;
    }
    // The record's serialisation, the largest part of writing it, is done
    // on a worker while the main thread starts the next entry.
    if (Settling &last = m_settling.last(); !last.record.isEmpty()) {
        auto made = std::make_shared<std::promise<QByteArray>>();
        last.payload = made->get_future().share();
        QThreadPool::globalInstance()->start(
            [made, value = QVariant(last.record)] { made->set_value(Journal::payloadOf(value)); });
    }
    if (!m_settleTimer->isActive())
        m_settleTimer->start();
    // Written once the next entry is on its way, in the time its delivery takes.
    if (!std::exchange(m_recordQueued, true))
        QMetaObject::invokeMethod(this, &AppController::recordNextSettling, Qt::QueuedConnection);
}

void AppController::recordSettling(Settling &settling)
{
    if (std::exchange(settling.recorded, true) || settling.record.isEmpty())
        return;
    if (const auto journal = m_history->journal(); journal && settling.payload.valid())
        journal->primePayload(settling.record, settling.payload.get());
    recordCompleted(settling.record, false);
    m_ui->entryFinished(
        deliverySummary(settling.record, Prefs::decryptPassword(settling.password)));
}

void AppController::recordNextSettling()
{
    m_recordQueued = false;
    const auto next = std::find_if(m_settling.begin(), m_settling.end(),
                                   [](const Settling &s) { return !s.recorded; });
    if (next == m_settling.end())
        return;
    const bool more = std::next(next) != m_settling.end();
    recordSettling(*next);
    if (m_settling.size() >= kSettleGroup)
        settleAll();
    else if (more && !std::exchange(m_recordQueued, true))
        QMetaObject::invokeMethod(this, &AppController::recordNextSettling, Qt::QueuedConnection);
}

void AppController::settleAll(bool showStatus)
{
    m_settleTimer->stop();
    if (m_settling.isEmpty())
        return;
    QList<Settling> settling = std::exchange(m_settling, {});
    for (Settling &s : settling)
        recordSettling(s);
    // One flush for every record above, before any of their sources leaves.
    if (const auto journal = m_history->journal(); journal && !journal->sync())
        log(QStringLiteral("The records of %1 entries may not be on disk yet.")
                .arg(settling.size()));
    killPointForTests("recorded");
    QStringList done;
    for (const Settling &s : std::as_const(settling)) {
        if (s.move)
            moveSource(s.item, s.path, s.error, showStatus);
        if (s.forget && m_forgetPath)
            m_forgetPath(s.path);
        done += s.notes;
    }
    m_journal->retire(done);
}

void AppController::moveSource(const QVariantMap &item, const QString &path, bool error,
                               bool showStatus)
{
    // The entry is recorded: what goes wrong here goes to the errors panel only.
    const auto logError = [&](const QString &message) {
        m_ui->beep();
        m_ui->bringToFront(UserInterface::Window::Errors);
        m_errors->addError(errorPanelText(formatDate(QDateTime::currentDateTime(), kLogDateFormat),
                                          QFileInfo(path).fileName(), message, Effect::Note));
    };
    const QString kind = error ? QStringLiteral("error") : QStringLiteral("success");
    if (settings::boolValue(error ? keys::playeErrBtn : keys::playSuccBtn)) {
        m_ui->playSound(settings::stringValue(error ? keys::soundErrPopup : keys::soundSuccPopup,
                                              soundNames().value(0)));
    }
    const qint64 where = settings::intValue(error ? keys::moveErrors : keys::moveSuccessful);
    const QString hotfolder = recString(item, qk::hotfolder);
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
            folder += QLatin1Char('/') + recString(item, qk::dest);
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
    // While the next entry runs the status line is its own.
    if (showStatus)
        m_ui->setStatus(QStringLiteral("Moving to %1 folder...").arg(kind));
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
