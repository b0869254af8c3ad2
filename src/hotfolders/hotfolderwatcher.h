#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>

namespace pv {

class DestinationsEditor;
class FileChecker;

/// Polls every destination's hot folder (and the code-based hot folder when
/// destination codes are on), starts a FileChecker for each new entry and
/// hands each entry that has stopped growing to the item handler. A guard
/// list keeps an entry from being handed over twice until the pipeline
/// releases it. One instance for the application; main thread only.
class HotfolderWatcher final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HotfolderWatcher)

public:
    /// Receives every stable item (the application's checkForCode).
    using ItemHandler = std::function<void(const QVariantMap &)>;
    /// The `path` of every entry currently in the delivery queue.
    using QueuedPaths = std::function<QSet<QString>()>;

    /// Texts of the watching button and status line.
    static inline const QString kStartTitle = QStringLiteral("Start      ");
    static inline const QString kStopTitle = QStringLiteral("Stop       ");
    static inline const QString kWatchingStatus = QStringLiteral("Watching...");
    static inline const QString kNotWatchingStatus = QStringLiteral("Not watching");

    /// destTable is not owned and must outlive the watcher; its items() give
    /// the hot folders at every scan.
    explicit HotfolderWatcher(const DestinationsEditor *destTable, QObject *parent = nullptr);
    ~HotfolderWatcher() override;

    void setItemHandler(ItemHandler handler) { m_controller = std::move(handler); }
    void setQueuedPaths(QueuedPaths provider) { m_queuedPaths = std::move(provider); }

    /// Replaces the intervals taken from "watchInterval" (zero keeps the
    /// setting's). For tests and callers that need a faster tick; applies to
    /// the next startWatching and to checkers started from now on.
    void setIntervals(std::chrono::milliseconds scan, std::chrono::milliseconds probe);
    /// Scan interval from the settings: "watchInterval" when 6 or more, else 5.
    [[nodiscard]] static int scanIntervalSeconds();
    /// Probe interval from the settings: "watchInterval" when 1 or more, else 5.
    [[nodiscard]] static int probeIntervalSeconds();

    /// Caches the code-based folder name and starts the repeating scan timer;
    /// the first scan comes one interval later. Does not touch the stored
    /// "startWatchingFlag" (start-up and headless mode call this).
    void startWatching();
    /// Stops the scan timer. Checkers already running go on and still hand
    /// their items over.
    void stopWatching();
    /// The user's Start/Stop: starts or stops and stores the new state as
    /// "startWatchingFlag" so the next launch resumes it.
    void setWatching(bool on);
    void toggleWatching() { setWatching(!isWatching()); }
    [[nodiscard]] bool isWatching() const { return m_theTimer.isActive(); }

    /// One scan of every hot folder: each folder's "Priority" sub-folder
    /// first, then the folder itself. Missing folders are passed over.
    void scanHotfolders();
    /// Scans one hot folder (its "Priority" sub-folder, then itself) when it
    /// exists. Every item of a hot folder whose own path holds "Priority" is
    /// a priority item; a "Priority" sub-folder that is a symbolic link is
    /// only read when links are delivered.
    void checkHotfolder(const QString &path);

    /// Called by a FileChecker with its finished item: passes it to the item
    /// handler. The path stays guarded until removeFromFilesInProcessing.
    void addToQueueAndRemoveFromGuardList(FileChecker *checker, const QVariantMap &item);
    /// Runs checker's probe every interval until it stops probing or starts
    /// again (a new ticket). One timer serves every checker of an interval:
    /// a burst starts thousands of them, and timers are costly in number.
    void scheduleProbes(FileChecker *checker, std::chrono::milliseconds interval, quint64 ticket);
    /// Called by a FileChecker whose entry vanished before it was stable.
    void abandonChecker(FileChecker *checker);
    /// Releases a path the pipeline is done with, so an entry still (or again)
    /// at that path is picked up by a later scan. A path whose entry is being
    /// checked right now stays guarded.
    void removeFromFilesInProcessing(const QString &path);

    /// The guard list (unordered).
    [[nodiscard]] QStringList filesInProcessing() const;
    [[nodiscard]] bool isInProcessing(const QString &path) const;
    /// Entries whose size is being probed right now.
    [[nodiscard]] int checkerCount() const { return int(m_checkers.size()); }
    [[nodiscard]] QString nameOfCodeBasedDeliveryHotFolder() const
    {
        return m_nameOfCodeBasedDeliveryHotFolder;
    }

Q_SIGNALS:
    /// Watching was started or stopped.
    void watchingChanged(bool watching);

private:
    /// Examines the entries of one folder (not recursive). hotfolder is the
    /// hot folder the entries belong to; priority marks its items; a folder
    /// that is a symbolic link is only read with followLink.
    void addHotContentsToQueue(const QString &folder, const QString &hotfolder, bool priority,
                               bool followLink);
    [[nodiscard]] std::chrono::milliseconds probeInterval() const;
    void guard(const QString &path);
    bool unguard(const QString &path);

    const DestinationsEditor *m_destTable;
    ItemHandler m_controller;
    QueuedPaths m_queuedPaths;
    QTimer m_theTimer;
    QString m_nameOfCodeBasedDeliveryHotFolder;
    std::chrono::milliseconds m_scanOverride{0};
    std::chrono::milliseconds m_probeOverride{0};

    /// The guard list, as folder -> entry names, so a scan looks its entries
    /// up without building paths and can tell which guarded ones are gone.
    QHash<QString, QSet<QString>> m_filesInProcessing;
    qsizetype m_guardCount = 0;
    /// Checkers by path; every one of these paths is also guarded.
    QHash<QString, FileChecker *> m_checkers;

    /// Queue paths fetched at most once per scan, and only when needed.
    QSet<QString> m_scanQueued;
    bool m_scanQueuedValid = false;
    bool m_loggedNoHotfolders = false;

    /// The checkers of one probe interval, in the order their probes are due
    /// (appending keeps it: every due time is now plus the same interval).
    struct ProbeClock {
        struct Due {
            QPointer<FileChecker> checker;
            quint64 ticket;
            qint64 dueMs;
        };
        std::deque<Due> due;
        QTimer timer;
    };
    void runProbes(ProbeClock &clock, qint64 intervalMs);
    std::map<qint64, std::unique_ptr<ProbeClock>> m_probeClocks;
    QElapsedTimer m_clock;
};

} // namespace pv
