#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
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

/// Watches one new hot-folder entry until two successive size probes agree,
/// then hands the finished item to its watcher. Created and owned by the
/// watcher; lives on the main thread.
class FileChecker final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileChecker)

public:
    /// item is the hot-folder item built so far (its `path` is the entry);
    /// controller is the watcher that receives it and must outlive the
    /// checker (it is the checker's parent).
    FileChecker(const QVariantMap &item, HotfolderWatcher *controller);

    /// Starts the repeating probe timer; the first probe comes one interval
    /// from now.
    void startProbingFileSizeForFile(std::chrono::milliseconds interval);
    /// One probe (what the timer runs). The first remembers the size; a later
    /// one that sees the same size hands the item over and stops the timer.
    /// An entry that has vanished is given up and released instead.
    void probe();

    [[nodiscard]] const QString &itemPath() const { return m_itemPath; }
    [[nodiscard]] bool isProbing() const { return m_timer.isActive(); }

private:
    HotfolderWatcher *m_controller;
    QVariantMap m_itemForQueue;
    QString m_itemPath;
    quint64 m_savedSize = 0;
    qint32 m_round = 0;
    QTimer m_timer;
    bool m_done = false;
};

} // namespace pv
