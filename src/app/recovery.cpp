// What a run that stopped unexpectedly (a crash, kill -9, a power cut) left
// unfinished, read back from the journal at the next start: entries whose
// delivery had completed, items handed over on the command line, and partial
// uploads at the destinations.

#include "app/appcontroller.h"
#include "app/entryrun.h"
#include "app/queueitem.h"
#include "core/fileops.h"
#include "core/journal.h"
#include "core/log.h"
#include "core/record.h"
#include "destinations/destination.h"
#include "destinations/destinationseditor.h"
#include "hotfolders/hotfolderwatcher.h"
#include "prefs/prefs.h"
#include "records/historytable.h"
#include "records/queuetable.h"
#include "transfer/deliverytransfer.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace pv {

namespace {

/// Abandons the sweep's operations when the application quits.
class StopFlag final : public FileTransferControllerDelegate {
public:
    explicit StopFlag(const std::atomic<bool> &stop) : m_stop(stop) {}
    bool fileTransferControllerShouldAbort(FileTransferController *) override
    {
        return m_stop.load();
    }

private:
    const std::atomic<bool> &m_stop;
};

} // namespace

void AppController::recoverInterruptedWork()
{
    QList<std::pair<QString, QVariantMap>> notes;
    for (const Journal::Line &line : m_journal->lines(Journal::kUploadTemp))
        notes.append({line.id, line.value.toMap()});
    if (notes.isEmpty()) {
        finishRecovery();
        return;
    }
    // The destinations are asked first (the hot folders wait, see startup()):
    // a file found in place there had been delivered and must not be again.
    log(QStringLiteral("--> recovery: looking at %1 interrupted deliveries at their destinations")
            .arg(notes.size()));
    sweepLeftovers(notes);
}

void AppController::finishRecovery()
{
    for (const auto &[id, note, placedPath] : std::exchange(m_foundInPlace, {})) {
        QVariantMap record = note.value(notekeys::placed).toMap();
        const auto same = [&](const Journal::Line &line) {
            const QVariantMap r = line.value.toMap();
            return recString(r, qk::path) == recString(record, qk::path) &&
                   recString(r, qk::dest) == recString(record, qk::dest) &&
                   r.value(QStringLiteral("dateStart")) ==
                       record.value(QStringLiteral("dateStart"));
        };
        const QList<Journal::Line> noted = m_journal->lines(Journal::kDelivered);
        if (std::none_of(noted.cbegin(), noted.cend(), same)) {
            log(QStringLiteral("--> recovery: %1 was in place at \"%2\" as %3 when Parcelvane "
                               "stopped")
                    .arg(recString(record, qk::path), recString(record, qk::dest), placedPath));
            record.insert(qk::finalName, lastPathComponent(placedPath));
            // Kept when this fails: the next start looks again.
            if (m_journal->append(Journal::kDelivered, record).isEmpty())
                continue;
        }
        m_journal->retire({id});
    }

    const QList<Journal::Line> pending = m_journal->pending();
    QSet<QString> hotFolders;
    for (const QVariantMap &dest : m_destinations->items()) {
        const QString hot = QDir::cleanPath(recString(dest, dk::QFHotfolder));
        hotFolders.insert(hot);
        hotFolders.insert(hot + QStringLiteral("/Priority"));
    }
    QList<QVariantMap> deliveredToMembers;
    for (const Journal::Line &line : pending) {
        if (line.kind == Journal::kDelivered && !recString(line.value.toMap(), qk::group).isEmpty())
            deliveredToMembers.append(line.value.toMap());
    }
    // Before the completions below, which leave such a source in its hot folder.
    findMembersDone(hotFolders, deliveredToMembers);

    QSet<QString> delivered;
    for (const Journal::Line &line : pending) {
        const QVariantMap value = line.value.toMap();
        if (line.kind != Journal::kDelivered)
            continue;
        delivered.insert(recString(value, qk::path));
        auto run = std::make_unique<EntryRun>(*this, value);
        const bool recorded = isRecorded(value);
        log(QStringLiteral("--> recovery: the delivery of %1 to \"%2\" had completed before "
                           "the last stop; %3")
                .arg(recString(value, qk::path), recString(value, qk::dest),
                     recorded ? QStringLiteral("its source is moved")
                              : QStringLiteral("its record is written and its source moved")));
        run->completeAfterRestart(line.id, recorded);
    }
    for (const Journal::Line &line : pending) {
        if (line.kind != Journal::kQueued)
            continue;
        const QVariantMap value = line.value.toMap();
        const QString path = recString(value, qk::path);
        const QString dest = recString(value, qk::dest);
        m_journal->retire({line.id});
        if (delivered.contains(path))
            continue;
        if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
            log(QStringLiteral("--> recovery: %1 was queued when Parcelvane stopped and no "
                               "longer exists")
                    .arg(path));
        } else if (hotFolders.contains(QFileInfo(path).absolutePath())) {
            // Its hot folder hands it over again.
        } else {
            log(QStringLiteral("--> recovery: %1 was queued when Parcelvane stopped: queued again")
                    .arg(path));
            addItemToQueue(path, dest);
        }
    }
    m_recovering = false;
    if (std::exchange(m_watchAfterRecovery, false))
        m_watcher->startWatching();
}

void AppController::findMembersDone(const QSet<QString> &hotFolders,
                                    const QList<QVariantMap> &delivered)
{
    QHash<QString, QSet<QString>> done;
    QHash<QString, QString> groups;
    // The record of each source that tells where it goes (the worst outcome).
    QHash<QString, QVariantMap> worst;
    const auto rank = [](const QVariantMap &r) {
        const QString success = recString(r, qk::success);
        return success == outcomeText(Outcome::Missing)    ? 2
               : success == outcomeText(Outcome::Modified) ? 1
                                                           : 0;
    };
    const auto note = [&](const QVariantMap &r) {
        const QString path = recString(r, qk::path);
        done[path].insert(recString(r, qk::dest));
        groups.insert(path, recString(r, qk::group));
        if (!worst.contains(path) || rank(r) > rank(worst.value(path)))
            worst.insert(path, r);
    };
    QSet<QString> completing;
    for (const QVariantMap &r : delivered) {
        if (hotFolders.contains(QFileInfo(recString(r, qk::path)).absolutePath())) {
            note(r);
            completing.insert(recString(r, qk::path));
        }
    }
    // Only a group's members can be half done: without groups a long history
    // is not read at every start.
    bool haveGroups = false;
    for (const QVariantMap &dest : m_destinations->items())
        haveGroups = haveGroups || recBool(dest, dk::isGroup);
    if (haveGroups)
        m_history->loadHistory();
    for (const QVariantMap &r : haveGroups ? m_history->items() : QList<QVariantMap>()) {
        const QFileInfo source(recString(r, qk::path));
        if (recString(r, qk::group).isEmpty() || !hotFolders.contains(source.absolutePath()) ||
            !source.exists())
            continue;
        // A delivery started before the source came into its hot folder was
        // of an earlier item of the same name (dates are kept to the second).
        QDateTime arrived = source.metadataChangeTime();
        arrived = arrived.addMSecs(-arrived.time().msec());
        if (r.value(QStringLiteral("dateStart")).toDateTime() >= arrived)
            note(r);
    }
    for (auto it = done.cbegin(); it != done.cend(); ++it) {
        const QVariant list = destDictForName(groups.value(it.key())).value(dk::groupDests);
        QStringList others;
        for (const QVariant &member : list.toList()) {
            if (!it.value().contains(recString(member.toMap(), dk::name)))
                others.append(recString(member.toMap(), dk::name));
        }
        if (others.isEmpty()) {
            // With every member done, the last one's completion moves the
            // source; when only the history tells, nothing would, and the hot
            // folder would hand it over to every member again.
            if (!completing.contains(it.key())) {
                log(QStringLiteral("--> recovery: %1 had been delivered to every member of "
                                   "\"%2\" before the last stop; its source is moved")
                        .arg(it.key(), groups.value(it.key())));
                EntryRun(*this, worst.value(it.key())).completeAfterRestart(QString(), true);
            }
            continue;
        }
        log(QStringLiteral("--> recovery: %1 is delivered again to \"%2\" only")
                .arg(it.key(), others.join(QStringLiteral("\", \""))));
        m_membersDone.insert(it.key(), it.value());
    }
}

bool AppController::isRecorded(const QVariantMap &record)
{
    m_history->loadHistory();
    const QVariant started = record.value(QStringLiteral("dateStart"));
    for (const QVariantMap &r : m_history->items()) {
        if (r.value(QStringLiteral("dateStart")) == started &&
            recString(r, qk::path) == recString(record, qk::path) &&
            recString(r, qk::dest) == recString(record, qk::dest))
            return true;
    }
    return false;
}

void AppController::sweepLeftovers(const QList<std::pair<QString, QVariantMap>> &notes)
{
    // The destinations' passwords are read here; the notes keep none.
    QList<std::tuple<QString, QVariantMap, QUrl, bool>> work;
    for (const auto &[id, note] : notes) {
        QUrl url(recString(note, notekeys::url));
        const QVariantMap dest = destDictForName(recString(note, notekeys::dest));
        if (!dest.isEmpty() && !url.userName().isEmpty())
            url.setPassword(Prefs::decryptPassword(recString(dest, dk::sitePasswordField)),
                            QUrl::DecodedMode);
        work.append({id, note, url, !dest.isEmpty()});
    }
    m_sweeper.reset(QThread::create([this, work] {
        StopFlag stop(m_stopSweeping);
        // One time-out per destination that cannot be reached, not one per note.
        QSet<QString> unreachable;
        for (const auto &[id, note, url, destExists] : work) {
            if (m_stopSweeping)
                return;
            const QString dest = recString(note, notekeys::dest);
            bool done = false;
            QString placed;
            if (!unreachable.contains(dest)) {
                const std::unique_ptr<FileTransferController> controller =
                    FileTransferController::fileTransferControllerWithURL(url);
                if (controller) {
                    controller->setDelegate(&stop);
                    done = DeliveryTransfer::removeLeftovers(*controller, note, &placed);
                }
            }
            if (m_stopSweeping)
                return;
            if (!placed.isEmpty() && destExists) {
                m_foundInPlace.append({id, note, placed});
            } else if (done || !destExists) {
                if (!done)
                    log(QStringLiteral("--> recovery: the destination \"%1\" no longer exists: "
                                       "what an interrupted delivery left at %2 stays there")
                            .arg(dest, recString(note, notekeys::url)));
                m_journal->retire({id});
            } else {
                unreachable.insert(dest);
                log(QStringLiteral("--> recovery: %1 could not be reached; what an interrupted "
                                   "delivery left there is removed at a later start")
                        .arg(recString(note, notekeys::url)));
            }
        }
    }));
    // The thread's results are read once it has ended.
    connect(m_sweeper.get(), &QThread::finished, this, &AppController::finishRecovery);
    m_sweeper->start();
}

void AppController::noteQueued(const QString &path, const QString &dest)
{
    const QString id =
        m_journal->append(Journal::kQueued, QVariantMap{{qk::path, path}, {qk::dest, dest}});
    if (!id.isEmpty())
        m_queuedNotes[path].append(id);
}

void AppController::settleQueuedNotes()
{
    if (m_queuedNotes.isEmpty() || m_settlePending)
        return;
    m_settlePending = true;
    // Later in this turn the item may be taken into processing or measured.
    QTimer::singleShot(0, this, [this] {
        m_settlePending = false;
        QStringList done;
        for (auto it = m_queuedNotes.begin(); it != m_queuedNotes.end();) {
            const QString &path = it.key();
            if (m_queue->containsPath(path) || isMeasuring(path) ||
                (m_isProcessing && m_processingPath == path)) {
                ++it;
                continue;
            }
            done += it.value();
            it = m_queuedNotes.erase(it);
        }
        m_journal->retire(done);
    });
}

} // namespace pv
