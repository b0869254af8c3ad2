#include "core/journal.h"

#include "core/log.h"
#include "core/plist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QSet>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace pv {

namespace {

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// A new or renamed file is only found after a crash once its folder entry
// is on disk too.
void syncFolder(const QString &path)
{
    const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

} // namespace

std::shared_ptr<Journal> Journal::forFolder(const QString &folder)
{
    static QMutex mutex;
    static std::map<QString, std::weak_ptr<Journal>> open;
    const QString path =
        QDir::cleanPath(QDir(folder).absoluteFilePath(QStringLiteral("Journal.log")));
    QMutexLocker lock(&mutex);
    std::shared_ptr<Journal> journal = open[path].lock();
    if (!journal) {
        journal = std::make_shared<Journal>(path);
        open[path] = journal;
    }
    return journal;
}

Journal::Journal(const QString &path)
    : m_path(path), m_idPrefix(QString::number(QRandomGenerator::system()->generate64(), 16))
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = file.readAll();
    file.close();
    bool clean = true;
    qsizetype from = 0;
    while (from < bytes.size()) {
        const qsizetype end = bytes.indexOf('\n', from);
        if (end < 0) {
            // The process died while writing this line: it was never done.
            log(lcCore(), QStringLiteral("%1: ignoring an incomplete last line").arg(m_path));
            clean = false;
            break;
        }
        const QByteArray line = bytes.mid(from, end - from + 1);
        from = end + 1;
        const QList<QByteArray> parts = line.trimmed().split(' ');
        if (parts.size() == 2 && parts[0] == kRetired) {
            const QString id = QString::fromUtf8(parts[1]);
            m_live.removeIf([&](const Raw &raw) { return raw.id == id; });
            ++m_dead; // compacted with the next retirements
            continue;
        }
        const auto payload =
            parts.size() == 3
                ? QByteArray::fromBase64Encoding(parts[2], QByteArray::AbortOnBase64DecodingErrors)
                : QByteArray::FromBase64Result{};
        if (!payload || payload.decoded.isEmpty() || parts[0].isEmpty() || parts[1].isEmpty() ||
            !plist::parse(payload.decoded).isValid()) {
            log(lcCore(), QStringLiteral("%1: skipping a damaged line at byte %2")
                              .arg(m_path)
                              .arg(from - line.size()));
            clean = false;
            continue;
        }
        m_live.append({QString::fromUtf8(parts[0]), QString::fromUtf8(parts[1]), line});
    }
    QMutexLocker lock(&m_mutex);
    QString error;
    if (!clean && !rewriteLocked(&error))
        log(lcCore(), QStringLiteral("Could not rewrite %1: %2").arg(m_path, error));
}

Journal::~Journal()
{
    if (m_fd >= 0) {
        if (m_dirty)
            ::fdatasync(m_fd);
        ::close(m_fd);
    }
}

bool Journal::openLocked(QString *error)
{
    if (m_fd >= 0)
        return true;
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    const bool existed = QFileInfo::exists(m_path);
    // Private whatever the umask, like every file of the data folder.
    m_fd = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                  0600);
    if (m_fd < 0) {
        *error = errnoText();
        return false;
    }
    if (!existed)
        syncFolder(m_path);
    return true;
}

bool Journal::syncLocked(QString *error)
{
    if (::fdatasync(m_fd) != 0) {
        *error = errnoText();
        return false;
    }
    m_dirty = false;
    return true;
}

bool Journal::rewriteLocked(QString *error)
{
    if (m_live.isEmpty()) {
        if (!openLocked(error))
            return false;
        if (::ftruncate(m_fd, 0) != 0) {
            *error = errnoText();
            return false;
        }
        m_dead = 0;
        return syncLocked(error);
    }
    // Live lines remain: a new file takes their place whole, so a crash
    // leaves either the old lines or the new ones.
    const QString temp = m_path + QStringLiteral(".new");
    const int fd =
        ::open(QFile::encodeName(temp).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = errnoText();
        return false;
    }
    QByteArray all;
    for (const Raw &raw : std::as_const(m_live))
        all.append(raw.line);
    if (!writeAll(fd, all) || ::fdatasync(fd) != 0 ||
        ::rename(QFile::encodeName(temp).constData(), QFile::encodeName(m_path).constData()) != 0 ||
        ::fcntl(fd, F_SETFL, O_APPEND) != 0) {
        *error = errnoText();
        ::close(fd);
        ::unlink(QFile::encodeName(temp).constData());
        return false;
    }
    syncFolder(m_path);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    m_dirty = false;
    m_dead = 0;
    return true;
}

QString Journal::append(const QString &kind, const QVariant &value, QString *error)
{
    QString ignored;
    const QMutexLocker lock(&m_mutex);
    return appendLocked(kind, value, true, error ? *error : ignored);
}

QString Journal::appendUnflushed(const QString &kind, const QVariant &value, QString *error)
{
    QString ignored;
    const QMutexLocker lock(&m_mutex);
    return appendLocked(kind, value, false, error ? *error : ignored);
}

QByteArray Journal::payloadOf(const QVariant &value)
{
    return plist::toXml(value).toBase64();
}

void Journal::primePayload(const QVariantMap &map, const QByteArray &payload)
{
    const QMutexLocker lock(&m_mutex);
    m_lastMap = map;
    m_lastPayload = payload;
}

QString Journal::appendLocked(const QString &kind, const QVariant &value, bool flush, QString &why)
{
    const QString id = m_idPrefix + QLatin1Char('.') + QString::number(++m_nextId);
    // Both records of an outcome are the same map: it is serialised once.
    const auto *map = value.typeId() == QMetaType::QVariantMap
                          ? static_cast<const QVariantMap *>(value.constData())
                          : nullptr;
    if (!map || map->isEmpty() || !m_lastMap.isSharedWith(*map)) {
        m_lastPayload = payloadOf(value);
        m_lastMap = map ? *map : QVariantMap();
    }
    const QByteArray line = kind.toUtf8() + ' ' + id.toUtf8() + ' ' + m_lastPayload + '\n';
    bool ok = openLocked(&why);
    if (ok && !writeAll(m_fd, line)) {
        why = errnoText();
        ok = false;
        // Take back a partial line so that the next one does not join it.
        QString ignoredToo;
        rewriteLocked(&ignoredToo);
    }
    if (ok) {
        m_live.append({kind, id, line});
        if (!flush || m_batchDepth.value(QThread::currentThreadId()) > 0)
            m_dirty = true;
        else
            ok = syncLocked(&why);
    }
    if (!ok) {
        log(lcCore(), QStringLiteral("Could not write to %1: %2").arg(m_path, why));
        return {};
    }
    return id;
}

bool Journal::retire(const QStringList &ids)
{
    if (ids.isEmpty())
        return true;
    QMutexLocker lock(&m_mutex);
    const QSet<QString> gone(ids.cbegin(), ids.cend());
    // Taken out in place, and put back where they were if that fails: a
    // copy of every live line per retirement would cost, in a burst, more
    // than the rest of the journal's work.
    QList<std::pair<qsizetype, Raw>> taken;
    QByteArray tombstones;
    qsizetype kept = 0;
    for (qsizetype i = 0; i < m_live.size(); ++i) {
        if (gone.contains(m_live.at(i).id)) {
            tombstones += QByteArray(kRetired) + ' ' + m_live.at(i).id.toUtf8() + '\n';
            taken.append({i, std::move(m_live[i])});
        } else {
            if (kept != i)
                m_live[kept] = std::move(m_live[i]);
            ++kept;
        }
    }
    const qsizetype retired = taken.size();
    if (retired == 0)
        return true;
    m_live.resize(kept);
    QString error;
    // Retiring costs an append, not a rewrite of every live line, and needs no
    // flush of its own: a retirement lost in a crash only brings back lines
    // whose effect their consumers find already done. The file is compacted
    // once the dead lines outnumber the live ones.
    m_dead += retired;
    bool ok = true;
    if (m_live.isEmpty() || m_dead > std::max<qsizetype>(kCompactAfter, m_live.size())) {
        ok = rewriteLocked(&error);
    } else {
        // A partly written line is taken back by the rewrite.
        ok = (openLocked(&error) && writeAll(m_fd, tombstones)) || rewriteLocked(&error);
        m_dirty = true;
    }
    if (ok)
        return true;
    for (auto &[at, raw] : taken)
        m_live.insert(at, std::move(raw));
    m_dead -= retired;
    log(lcCore(), QStringLiteral("Could not rewrite %1: %2").arg(m_path, error));
    return false;
}

QList<Journal::Line> Journal::lines(const QString &kind) const
{
    QMutexLocker lock(&m_mutex);
    QList<Line> out;
    for (const Raw &raw : m_live) {
        if (!kind.isEmpty() && raw.kind != kind)
            continue;
        const QByteArray xml = QByteArray::fromBase64(raw.line.trimmed().split(' ').value(2));
        out.append({raw.kind, raw.id, plist::parse(xml)});
    }
    return out;
}

QList<Journal::Line> Journal::pending() const
{
    QList<Line> out = lines();
    out.removeIf([](const Line &l) { return l.kind == kHistory || l.kind == kSent; });
    return out;
}

Journal::Batch::Batch(std::shared_ptr<Journal> journal, Flush flush)
    : m_journal(std::move(journal)), m_flush(flush)
{
    m_open = m_journal != nullptr;
    if (!m_open)
        return;
    QMutexLocker lock(&m_journal->m_mutex);
    ++m_journal->m_batchDepth[QThread::currentThreadId()];
}

Journal::Batch::~Batch()
{
    if (m_open)
        (void)commit();
}

bool Journal::Batch::commit()
{
    if (!m_open)
        return true;
    m_open = false;
    QMutexLocker lock(&m_journal->m_mutex);
    const Qt::HANDLE self = QThread::currentThreadId();
    if (--m_journal->m_batchDepth[self] > 0)
        return true;
    m_journal->m_batchDepth.remove(self);
    if (m_flush == Flush::Later)
        return true;
    return m_journal->syncIfDirtyLocked();
}

bool Journal::sync()
{
    const QMutexLocker lock(&m_mutex);
    return syncIfDirtyLocked();
}

bool Journal::syncIfDirtyLocked()
{
    if (!m_dirty || m_fd < 0)
        return true;
    QString error;
    if (syncLocked(&error))
        return true;
    log(lcCore(), QStringLiteral("Could not write to %1: %2").arg(m_path, error));
    return false;
}

void killPointForTests(const char *point)
{
    static const QByteArray wanted = qgetenv("PV_KILL_AT");
    if (!wanted.isEmpty() && wanted == point)
        ::raise(SIGKILL);
}

} // namespace pv
