#pragma once

#include "app/entryrun.h"
#include "app/userinterface.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <future>
#include <memory>

class QThread;
class QTimer;

namespace pv {

class Journal;

class DestinationsEditor;
class EmailSettings;
class QueueTable;
class SentTable;
class HistoryTable;
class HistoryPanelTable;
class HotfolderWatcher;
class SizeMeter;
class FileExpiry;

/// Owner of the delivery pipeline: takes items from the hot folders and the
/// command line, expands groups, keeps the queue and the lists, and starts
/// one entry at a time as an EntryRun. Lives on the main thread; every
/// method must be called there.
class AppController final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppController)

public:
    /// The Start/Stop button titles, padded to eleven characters.
    static inline const QString kStartTitle = QStringLiteral("Start      ");
    static inline const QString kStopTitle = QStringLiteral("Stop       ");

    /// ui is not owned and must outlive the controller.
    explicit AppController(UserInterface *ui, QObject *parent = nullptr);
    ~AppController() override;

    /// Creates the folders, loads destinations and lists, starts up the store.
    void startup();

    /// Called for every stable item a hot folder hands over.
    void checkForCode(const QVariantMap &item);
    /// Expands the item into one queue entry per target destination.
    void addToQueue(const QVariantMap &item);
    /// The scripting entry: queue path for destination name, or by the code
    /// in the file name when name is empty. Returns a one-line account of
    /// what happened.
    QString addItemToQueue(const QString &path, const QString &name);
    /// The destination record stored for name, or an empty map.
    [[nodiscard]] QVariantMap destDictForName(const QString &name) const;
    /// Takes the head of the queue into processing unless stopped or busy.
    void sendNextFileInQueue();
    /// The Start/Stop button.
    void sendBtn();
    /// Records and moves an item that cannot be queued (its `error` is set);
    /// effect is Effect::NotDelivered (its error is the reason itself) or
    /// Effect::Failure.
    void moveFileToErrorsBeforeAddingToQueue(const QVariantMap &item, Effect effect);
    /// Why an item must not be delivered at all (a symbolic link while links
    /// are not delivered, a name that is not UTF-8, something that is neither
    /// a file nor a folder), or "" when it may go on.
    [[nodiscard]] static QString refusalFor(const QVariantMap &item);

    /// Whether quitting may go ahead (asks while an entry is processed).
    [[nodiscard]] bool applicationShouldTerminate();
    /// Saves the destination being edited and the window layout settings.
    void applicationWillTerminate();
    /// The windows report here when the user shows or closes the
    /// destinations window; what quitting stores as "showDestWin".
    void setDestinationsWindowShown(bool shown) { m_destWinShown = shown; }
    [[nodiscard]] bool destinationsWindowShown() const { return m_destWinShown; }

    /// Replaces the processing stages (tests observe what would be processed);
    /// the entry then stays in processing until stopProgress().
    void setProcessFileHandler(std::function<void(const QVariantMap &)> handler)
    {
        m_processFile = std::move(handler);
    }
    /// Where the hot-folder watcher is told to forget a path.
    void setForgetPathHandler(std::function<void(const QString &)> handler)
    {
        m_forgetPath = std::move(handler);
    }

    [[nodiscard]] bool isProcessing() const { return m_isProcessing; }
    /// Items whose size is being measured before they join the queue.
    [[nodiscard]] bool isMeasuring() const { return !m_measuring.isEmpty(); }
    void setProcessing(bool processing) { m_isProcessing = processing; }
    [[nodiscard]] bool processCancelled() const { return m_processCancelled; }
    [[nodiscard]] QString sendButtonTitle() const { return m_sendTitle; }
    [[nodiscard]] bool sendButtonEnabled() const { return m_sendEnabled; }

    [[nodiscard]] DestinationsEditor &destinations() { return *m_destinations; }
    [[nodiscard]] QueueTable &queue() { return *m_queue; }
    [[nodiscard]] SentTable &sent() { return *m_sent; }
    [[nodiscard]] HistoryTable &history() { return *m_history; }
    [[nodiscard]] HistoryPanelTable &errors() { return *m_errors; }
    [[nodiscard]] UserInterface &ui() { return *m_ui; }
    [[nodiscard]] HotfolderWatcher &watcher() { return *m_watcher; }
    [[nodiscard]] FileExpiry &expiry() { return *m_expiry; }

    /// The user's Stop: cancels the entry in processing, which ends as
    /// "DELIVERY CANCELED".
    void cancelProcess();
    /// Resets the display and, with cont, starts the next entry.
    void stopProgress(bool cont);
    [[nodiscard]] EmailSettings &emailSettings() { return *m_emailSettings; }

    /// Output of the packer for the console view (main thread).
    void appendOutput(const QString &text);

    /// The entry in processing, or nullptr.
    [[nodiscard]] const EntryRun *entry() const { return m_run.get(); }
    /// The console text of the packer runs.
    [[nodiscard]] const QString &consoleText() const { return m_console; }

Q_SIGNALS:
    /// Tool output arrived for the console view.
    void outputAppended(const QString &text);

private:
    // The entry reads the lists and the settings it is delivered with, and
    // reports its end.
    friend class EntryRun;

    void processFile(const QVariantMap &item);
    /// The entry in processing has ended (recorded or set aside); cont
    /// starts the next one.
    void entryEnded(bool cont);
    /// An item's size is known: its entries join the queue (in arrival order).
    void itemMeasured(quint64 ticket, qint64 k);
    /// Whether an item for path waits for its size.
    [[nodiscard]] bool isMeasuring(const QString &path) const;
    /// Whether path is queued, measured or in processing for dest (a
    /// destination or group): a script that hands it over again after a
    /// restart, which queued it again already, does not get it twice.
    [[nodiscard]] bool isWaiting(const QString &path, const QString &dest) const;
    /// Writes the history and sent records of an outcome; with durable they
    /// are on disk when it returns, otherwise with the next journal sync.
    void recordCompleted(const QVariantMap &record, bool durable = true);

    /// What is left of a completed entry once the next one may start: its
    /// record, then, once that is on disk, its source's way out of the hot
    /// folder and the retirement of its journal lines. In a burst the
    /// records are written while the next entry is delivered, and the
    /// records of several entries reach the disk with one flush before
    /// their sources leave.
    struct Settling {
        QVariantMap record; ///< empty when the history has it already
        QString password;   ///< the destination's, scrambled, for the summary
        QVariantMap item;   ///< the entry's record as it was queued and run
        QString path;
        bool move = false;
        bool error = false;
        bool forget = false;
        QStringList notes;
        bool recorded = false;
        /// The record's journal payload, made on a worker meanwhile.
        std::shared_future<QByteArray> payload;
    };
    /// Settles at once with now (or when nothing follows in the queue),
    /// otherwise within kSettleAfterMs or kSettleGroup entries.
    void settle(Settling settling, bool now);
    /// Writes the record of settling, once.
    void recordSettling(Settling &settling);
    /// Writes the oldest record not written yet, one per event-loop turn.
    void recordNextSettling();
    /// Writes what is left, flushes once, moves the sources in order; the
    /// status line tells of the moves only when no other entry runs.
    void settleAll(bool showStatus = false);
    /// Moves a completed source to the location the settings choose for it.
    void moveSource(const QVariantMap &item, const QString &path, bool error, bool showStatus);
    static constexpr int kSettleAfterMs = 250;
    static constexpr qsizetype kSettleGroup = 64;
    /// The error log's part for expired items given up: the text as it is,
    /// without sound, leaving the entry in processing alone.
    void logExpiryError(const QString &message);

    // What the last run left unfinished when it stopped (recovery.cpp).
    /// At start-up: sweeps the partial uploads off the main thread, then
    /// finishRecovery(); the hot folders start watching after both.
    void recoverInterruptedWork();
    /// Completes entries whose delivery had completed (noted, or found in
    /// place by the sweep), queues command-line items again.
    void finishRecovery();
    /// Whether the history holds the record of this entry already.
    [[nodiscard]] bool isRecorded(const QVariantMap &record);
    /// Fills m_membersDone from the completed deliveries and the history.
    void findMembersDone(const QSet<QString> &hotFolders, const QList<QVariantMap> &delivered);
    /// Removes, off the main thread, the partial uploads the notes name, and
    /// finds the files that were in place already (m_foundInPlace).
    void sweepLeftovers(const QList<std::pair<QString, QVariantMap>> &notes);
    /// Notes a command-line item in the journal until it has left the queue.
    void noteQueued(const QString &path, const QString &dest);
    /// Retires, once the event loop is back, the notes of command-line items
    /// no longer queued, measured or in processing.
    void settleQueuedNotes();
    void setSendButton(const QString &title, bool enabled);
    /// Moves a source to the error location chosen in the settings; items
    /// without a hot folder stay put when that location is the hot folder's.
    void moveToErrorLocation(const QVariantMap &item);
    /// Moves source into the error location as name. Returns whether the
    /// watcher may forget the item.
    [[nodiscard]] bool moveToErrorFolder(const QString &source, const QString &name,
                                         const QVariantMap &item);
    /// Records an item as not delivered with error and moves it to the error
    /// location, without queueing it.
    void refuse(QVariantMap item, const QString &error, Effect effect = Effect::Failure);

    UserInterface *m_ui;
    std::unique_ptr<DestinationsEditor> m_destinations;
    std::unique_ptr<QueueTable> m_queue;
    std::unique_ptr<SentTable> m_sent;
    std::unique_ptr<HistoryTable> m_history;
    std::unique_ptr<HistoryPanelTable> m_errors;
    std::unique_ptr<HotfolderWatcher> m_watcher;
    std::unique_ptr<EmailSettings> m_emailSettings;
    std::unique_ptr<FileExpiry> m_expiry;

    // Items waiting for their size, oldest first, with their target destinations.
    struct Measuring {
        quint64 ticket;
        QVariantMap item;
        QList<QVariantMap> targets;
        qint64 sizeK; // -1 while measuring
    };
    QList<Measuring> m_measuring;
    quint64 m_lastTicket = 0;
    std::unique_ptr<SizeMeter> m_sizes;

    std::function<void(const QVariantMap &)> m_processFile;
    std::function<void(const QString &)> m_forgetPath;

    bool m_isProcessing = false;
    bool m_processCancelled = false;
    bool m_destWinShown = false;
    QString m_sendTitle = kStopTitle;
    bool m_sendEnabled = false;
    QVariantMap m_initialDestDictForCodeBasedDelivery;
    QString m_processingPath;

    // Destination records by name with the state of their file when read:
    // every entry asks twice, and the file is parsed again only when it
    // changed.
    struct CachedDestination {
        QByteArray stamp;
        QVariantMap record;
    };
    mutable QHash<QString, CachedDestination> m_destCache;

    QString m_console;
    /// The entry in processing (one at a time).
    std::unique_ptr<EntryRun> m_run;

    std::shared_ptr<Journal> m_journal;
    QList<Settling> m_settling;
    QTimer *m_settleTimer = nullptr;
    bool m_recordQueued = false;
    /// Journal notes of command-line items by path.
    QHash<QString, QStringList> m_queuedNotes;
    bool m_settlePending = false;
    /// Sources in a group's hot folder that the last run had delivered to
    /// some of the group's members, with those members: the hot folder's
    /// next hand-over skips them, and the source stays until the others end.
    QHash<QString, QSet<QString>> m_membersDone;
    std::unique_ptr<QThread> m_sweeper;
    std::atomic<bool> m_stopSweeping{false};
    /// Upload notes whose file the sweep found in place: note id, note, path.
    QList<std::tuple<QString, QVariantMap, QString>> m_foundInPlace;
    /// Until recovery has ended the hot folders wait (a start asked meanwhile
    /// is remembered).
    bool m_recovering = false;
    bool m_watchAfterRecovery = false;
};

/// The destination code in a file or folder name: report.abc.pdf and the
/// folder report.abc both give "abc"; "" when there is none.
[[nodiscard]] QString destinationCodeFromName(const QString &fileName, bool isFolder);

} // namespace pv
