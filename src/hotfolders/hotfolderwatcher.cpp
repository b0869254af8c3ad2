#include "hotfolders/hotfolderwatcher.h"

#include "core/log.h"
#include "core/record.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "destinations/destinationseditor.h"
#include "hotfolders/filechecker.h"
#include "hotfolders/hotfolderitem.h"
#include "prefs/prefs.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pv {

namespace {

// Longer intervals than a day are taken as a day; the timers count in int
// milliseconds.
constexpr qint64 kMaxIntervalSeconds = 24 * 60 * 60;

QString normalizedFolder(const QString &path)
{
    return QDir::cleanPath(path);
}

QString join(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

QString lastComponent(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

/// Splits an absolute path into its folder and name the way join() builds it.
std::pair<QString, QString> splitPath(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    const qsizetype slash = clean.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return {QString(), clean};
    return {slash == 0 ? QStringLiteral("/") : clean.left(slash), clean.mid(slash + 1)};
}

/// Length of the valid UTF-8 sequence starting at raw[i], or 0.
int utf8SequenceLength(const QByteArray &raw, qsizetype i)
{
    const auto c = uchar(raw[i]);
    if (c < 0x80)
        return 1;
    int n = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((c & 0xE0) == 0xC0) {
        n = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > raw.size())
        return 0;
    for (int k = 1; k < n; ++k) {
        const auto b = uchar(raw[i + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

QByteArray percentEscaped(char c)
{
    return '%' + QByteArray::number(uchar(c), 16).toUpper();
}

/// An entry's name as text. Names are delivered and announced as text, so
/// one that is not UTF-8, or that would not be spelled back to the same
/// bytes, is flagged in valid and given a readable stand-in with the
/// offending bytes written as %XX.
QString entryName(const QByteArray &raw, bool *valid)
{
    *valid = true;
    if (std::all_of(raw.begin(), raw.end(), [](char c) { return uchar(c) < 0x80; }))
        return QString::fromLatin1(raw);
    QByteArray safe;
    for (qsizetype i = 0; i < raw.size();) {
        const int n = utf8SequenceLength(raw, i);
        if (n > 0) {
            safe += raw.mid(i, n);
            i += n;
        } else {
            safe += percentEscaped(raw[i++]);
            *valid = false;
        }
    }
    if (*valid) {
        const QString name = QFile::decodeName(raw);
        if (QFile::encodeName(name) == raw)
            return name;
        *valid = false;
        // Valid UTF-8 that still does not survive (a leading byte-order mark).
        safe.clear();
        for (const char c : raw)
            safe += uchar(c) < 0x80 ? QByteArray(1, c) : percentEscaped(c);
    }
    return QFile::decodeName(safe);
}

QDateTime fromStatx(const statx_timestamp &ts)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

} // namespace

HotfolderWatcher::HotfolderWatcher(const DestinationsEditor *destTable, QObject *parent)
    : QObject(parent), m_destTable(destTable),
      m_nameOfCodeBasedDeliveryHotFolder(Prefs::nameOfCodeBasedDeliveryHotFolder())
{
    connect(&m_theTimer, &QTimer::timeout, this, &HotfolderWatcher::scanHotfolders);
}

HotfolderWatcher::~HotfolderWatcher() = default;

void HotfolderWatcher::setIntervals(std::chrono::milliseconds scan, std::chrono::milliseconds probe)
{
    m_scanOverride = scan;
    m_probeOverride = probe;
}

int HotfolderWatcher::scanIntervalSeconds()
{
    const qint64 v = settings::intValue(keys::watchInterval, 5);
    return v >= 6 ? int(std::min(v, kMaxIntervalSeconds)) : 5;
}

int HotfolderWatcher::probeIntervalSeconds()
{
    const qint64 v = settings::intValue(keys::watchInterval, 5);
    return v >= 1 ? int(std::min(v, kMaxIntervalSeconds)) : 5;
}

std::chrono::milliseconds HotfolderWatcher::probeInterval() const
{
    if (m_probeOverride.count() > 0)
        return m_probeOverride;
    return std::chrono::seconds(probeIntervalSeconds());
}

void HotfolderWatcher::startWatching()
{
    m_nameOfCodeBasedDeliveryHotFolder = Prefs::nameOfCodeBasedDeliveryHotFolder();
    const bool was = isWatching();
    const std::chrono::milliseconds interval =
        m_scanOverride.count() > 0 ? m_scanOverride : std::chrono::seconds(scanIntervalSeconds());
    m_theTimer.start(interval);
    log(lcHotfolders(), QStringLiteral("--> startWatching: every %1 ms").arg(interval.count()));
    if (!was)
        Q_EMIT watchingChanged(true);
}

void HotfolderWatcher::stopWatching()
{
    if (!isWatching())
        return;
    m_theTimer.stop();
    log(lcHotfolders(), QStringLiteral("--> stopWatching"));
    Q_EMIT watchingChanged(false);
}

void HotfolderWatcher::setWatching(bool on)
{
    if (on)
        startWatching();
    else
        stopWatching();
    settings::setValue(keys::startWatchingFlag, on);
}

void HotfolderWatcher::scanHotfolders()
{
    QStringList folders;
    if (m_destTable) {
        for (const QVariantMap &rec : m_destTable->items()) {
            const QString hot = recString(rec, dk::QFHotfolder);
            if (!hot.isEmpty())
                folders.append(hot);
        }
    }
    if (settings::boolValue(keys::enableDestCodes)) {
        const QString codeBased = settings::stringValue(keys::codeBasedHotfolder);
        if (!codeBased.isEmpty())
            folders.append(codeBased);
    }
    if (folders.isEmpty()) {
        // Once per stretch without folders, not at every tick.
        if (!m_loggedNoHotfolders)
            log(lcHotfolders(), QStringLiteral("no hotfolders"));
        m_loggedNoHotfolders = true;
        return;
    }
    m_loggedNoHotfolders = false;

    m_scanQueuedValid = false;
    for (const QString &folder : std::as_const(folders))
        checkHotfolder(folder);
    m_scanQueued.clear();
    m_scanQueuedValid = false;
}

void HotfolderWatcher::checkHotfolder(const QString &path)
{
    const QString hot = normalizedFolder(path);
    // A "Priority" that is a link would let anyone who can write here have
    // the files of any folder this account can read delivered and moved.
    addHotContentsToQueue(join(hot, kPriorityFolder), hot, true,
                          settings::boolValue(keys::deliverSymbolicLinks));
    // Users name a hot folder "... Priority ..." to have all of it go first.
    addHotContentsToQueue(hot, hot, hot.contains(kPriorityFolder), true);
}

void HotfolderWatcher::addHotContentsToQueue(const QString &folder, const QString &hotfolder,
                                             bool priority, bool followLink)
{
    const QByteArray nativeFolder = QFile::encodeName(folder);
    const int fd = open(nativeFolder.constData(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
    DIR *dir = fd < 0 ? nullptr : fdopendir(fd);
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return; // a missing folder is passed over without a word
    }

    // Guarded entries are recognised by name alone: an entry already being
    // checked or delivered costs no stat and no path building here.
    auto guardedIt = m_filesInProcessing.find(folder);
    QSet<QString> *guarded = guardedIt == m_filesInProcessing.end() ? nullptr : &guardedIt.value();
    QSet<QString> seen;
    if (guarded)
        seen.reserve(guarded->size());
    struct Fresh {
        QString name;
        QByteArray raw;
        bool validName;
    };
    QList<Fresh> fresh;
    bool complete = true;
    for (;;) {
        errno = 0;
        const dirent *e = readdir(dir);
        if (!e) {
            complete = errno == 0;
            break;
        }
        // Covers ".", ".." and hidden entries: on this system a leading dot is
        // what marks an entry hidden.
        if (e->d_name[0] == '.')
            continue;
        const QByteArray raw(e->d_name);
        bool validName = true;
        const QString name = entryName(raw, &validName);
        if (name == kPriorityFolder || name == kDoneFolder || name == kErrorsFolder)
            continue;
        if (guarded && guarded->contains(name)) {
            seen.insert(name);
            continue;
        }
        fresh.append({name, raw, validName});
    }
    closedir(dir);

    // A guarded entry that is gone from its folder and not being checked is
    // forgotten. Otherwise an entry the pipeline never took (ignored, or
    // a destination file) would keep its name blocked for good, and a new
    // file dropped later under that name would never be delivered. Entries
    // still queued stay protected by the queue check below.
    if (guarded && complete && seen.size() != guarded->size()) {
        for (auto it = guarded->begin(); it != guarded->end();) {
            if (!seen.contains(*it) && !m_checkers.contains(join(folder, *it))) {
                it = guarded->erase(it);
                --m_guardCount;
            } else {
                ++it;
            }
        }
        if (guarded->isEmpty())
            m_filesInProcessing.erase(guardedIt);
    }

    if (fresh.isEmpty())
        return;
    const std::chrono::milliseconds interval = probeInterval();
    const QString hotName = lastComponent(hotfolder);
    for (const auto &[name, raw, validName] : std::as_const(fresh)) {
        const QString path = join(folder, name);
        const QByteArray native = nativeFolder + '/' + raw;
        if (m_queuedPaths) {
            if (!m_scanQueuedValid) {
                m_scanQueued = m_queuedPaths();
                m_scanQueuedValid = true;
            }
            if (m_scanQueued.contains(path))
                continue;
        }
        struct statx stx {};
        if (statx(AT_FDCWD, native.constData(), AT_SYMLINK_NOFOLLOW,
                  STATX_TYPE | STATX_MTIME | STATX_BTIME, &stx) != 0 ||
            !(stx.stx_mask & STATX_TYPE)) {
            continue; // unreadable now: looked at again in the next scan
        }
        QVariantMap item;
        item.insert(hk::path, path);
        item.insert(hk::name, name);
        item.insert(hk::isFolder, S_ISDIR(stx.stx_mode));
        const QDateTime modified = fromStatx(stx.stx_mtime);
        item.insert(hk::moddate, modified);
        // Not every file system records when an entry was created; the
        // modification date is the closest thing it offers then.
        item.insert(hk::creatdate,
                    (stx.stx_mask & STATX_BTIME) ? fromStatx(stx.stx_btime) : modified);
        item.insert(hk::hotfolder, hotfolder);
        item.insert(hk::priority, priority);
        if (hotName != m_nameOfCodeBasedDeliveryHotFolder)
            item.insert(hk::dest, hotName);
        if (!validName)
            item.insert(hk::nativePath, native);

        guard(path);
        auto *checker = new FileChecker(item, this);
        m_checkers.insert(path, checker);
        checker->startProbingFileSizeForFile(interval);
    }
}

void HotfolderWatcher::addToQueueAndRemoveFromGuardList(FileChecker *checker,
                                                        const QVariantMap &item)
{
    // Forget the checker before the hand-over: the handler may release the
    // path at once (an item it rejects), which only works for unchecked paths.
    if (m_checkers.value(checker->itemPath()) == checker)
        m_checkers.remove(checker->itemPath());
    checker->deleteLater();
    log(lcHotfolders(), QStringLiteral("--> hot folder item ready: %1").arg(checker->itemPath()));
    if (m_controller)
        m_controller(item);
}

void HotfolderWatcher::scheduleProbes(FileChecker *checker, std::chrono::milliseconds interval,
                                      quint64 ticket)
{
    if (!m_clock.isValid())
        m_clock.start();
    const qint64 ms = std::max<qint64>(0, interval.count());
    std::unique_ptr<ProbeClock> &clock = m_probeClocks[ms];
    if (!clock) {
        clock = std::make_unique<ProbeClock>();
        clock->timer.setSingleShot(true);
        clock->timer.setTimerType(Qt::PreciseTimer);
        ProbeClock *raw = clock.get();
        connect(&clock->timer, &QTimer::timeout, this, [this, raw, ms] { runProbes(*raw, ms); });
    }
    clock->due.push_back({checker, ticket, m_clock.elapsed() + ms});
    if (!clock->timer.isActive())
        clock->timer.start(std::chrono::milliseconds(ms));
}

void HotfolderWatcher::runProbes(ProbeClock &clock, qint64 intervalMs)
{
    // Only the probes due now: those a probe schedules come after them.
    const qint64 now = m_clock.elapsed();
    for (qsizetype n = qsizetype(clock.due.size()); n > 0 && clock.due.front().dueMs <= now; --n) {
        const ProbeClock::Due next = clock.due.front();
        clock.due.pop_front();
        FileChecker *checker = next.checker.data();
        if (!checker || !checker->isProbing() || checker->probingTicket() != next.ticket)
            continue;
        checker->probe();
        if (!checker->isProbing()) {
            // Handed over or given up. Deleted now rather than at the end of
            // the turn: a burst hands thousands over in one.
            delete checker;
            continue;
        }
        if (checker->probingTicket() == next.ticket)
            clock.due.push_back({checker, next.ticket, m_clock.elapsed() + intervalMs});
    }
    if (!clock.due.empty())
        clock.timer.start(std::chrono::milliseconds(
            std::max<qint64>(0, clock.due.front().dueMs - m_clock.elapsed())));
}

void HotfolderWatcher::abandonChecker(FileChecker *checker)
{
    const QString path = checker->itemPath();
    if (m_checkers.value(path) == checker)
        m_checkers.remove(path);
    checker->deleteLater();
    unguard(path);
    log(lcHotfolders(),
        QStringLiteral("--> hot folder item vanished before it was complete: %1").arg(path));
}

void HotfolderWatcher::removeFromFilesInProcessing(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    if (m_checkers.contains(clean))
        return;
    unguard(clean);
}

QStringList HotfolderWatcher::filesInProcessing() const
{
    QStringList out;
    out.reserve(m_guardCount);
    for (auto it = m_filesInProcessing.cbegin(); it != m_filesInProcessing.cend(); ++it) {
        for (const QString &name : it.value())
            out.append(join(it.key(), name));
    }
    return out;
}

bool HotfolderWatcher::isInProcessing(const QString &path) const
{
    const auto [folder, name] = splitPath(path);
    const auto it = m_filesInProcessing.constFind(folder);
    return it != m_filesInProcessing.cend() && it.value().contains(name);
}

void HotfolderWatcher::guard(const QString &path)
{
    const auto [folder, name] = splitPath(path);
    QSet<QString> &names = m_filesInProcessing[folder];
    if (!names.contains(name)) {
        names.insert(name);
        ++m_guardCount;
    }
}

bool HotfolderWatcher::unguard(const QString &path)
{
    const auto [folder, name] = splitPath(path);
    const auto it = m_filesInProcessing.find(folder);
    if (it == m_filesInProcessing.end() || !it.value().remove(name))
        return false;
    --m_guardCount;
    if (it.value().isEmpty())
        m_filesInProcessing.erase(it);
    return true;
}

} // namespace pv
