#pragma once

#include <QByteArray>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <QVariantMap>

#include <chrono>

namespace pv {

class HotfolderWatcher;

/// What one size probe found.
struct ProbeResult {
    quint64 size = 0;
    /// The entry no longer exists (as opposed to existing with size 0).
    bool vanished = false;
};

/// Measures an entry without following symbolic links: a file (or link) by
/// its own size, a folder by the sum of the sizes of every non-directory
/// entry below it at any depth. Unreadable parts count 0. Any thread.
[[nodiscard]] ProbeResult measureItemSize(const QString &path);
/// The same for a path given as the file system's own bytes.
[[nodiscard]] ProbeResult measureItemSize(const QByteArray &nativePath);

/// A file as the file system knows it: device and inode.
using FileId = QPair<quint64, quint64>;

/// Whether some process has the entry open for writing: the file itself, or
/// for a folder any regular file below it (links are not followed). Each file
/// is asked through a read lease, taken and released at once; where no lease
/// can be taken (another user's file, a file system without leases) the open
/// files listed in /proc are looked at; where neither can tell, the answer is
/// false. Any thread.
[[nodiscard]] bool isOpenForWriting(const QByteArray &nativePath);
/// Those of the wanted files that a process visible in /proc holds open for
/// writing. Any thread.
[[nodiscard]] QSet<FileId> openForWritingAmong(const QSet<FileId> &wanted);

/// Watches one new hot-folder entry until two successive size probes agree
/// and no process has it open for writing, then hands the finished item to
/// its watcher. Created and owned by the watcher; lives on the main thread.
class FileChecker final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileChecker)

public:
    /// item is the hot-folder item built so far (its `path` is the entry);
    /// controller is the watcher that receives it and must outlive the
    /// checker (it is the checker's parent).
    FileChecker(const QVariantMap &item, HotfolderWatcher *controller);

    /// Starts probing every interval (the watcher's clock runs the probes);
    /// the first probe comes one interval from now.
    void startProbingFileSizeForFile(std::chrono::milliseconds interval);
    /// One probe (what the timer runs). The first remembers the size; a later
    /// one that sees the same size, with no writer left, hands the item over
    /// and stops probing. An entry that has vanished is given up and
    /// released instead.
    void probe();

    [[nodiscard]] const QString &itemPath() const { return m_itemPath; }
    [[nodiscard]] bool isProbing() const { return m_probing; }
    /// Which start of probing the clock's probe belongs to (a checker
    /// started again drops the probes of its earlier start).
    [[nodiscard]] quint64 probingTicket() const { return m_ticket; }

private:
    HotfolderWatcher *m_controller;
    QVariantMap m_itemForQueue;
    QString m_itemPath;
    QByteArray m_nativePath;
    quint64 m_savedSize = 0;
    qint32 m_round = 0;
    bool m_probing = false;
    quint64 m_ticket = 0;
    bool m_done = false;
    bool m_waitLogged = false;
};

} // namespace pv
