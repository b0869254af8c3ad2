#pragma once

#include "app/userinterface.h"

#include <QObject>
#include <QVariantMap>

#include <functional>
#include <memory>

namespace pv {

class DestinationsEditor;
class QueueTable;
class SentTable;
class HistoryTable;
class HistoryPanelTable;

/// Owner of the delivery pipeline: takes items from the hot folders and the
/// command line, expands groups, keeps the queue and starts one entry at a
/// time. Lives on the main thread; every method must be called there.
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
    /// Records and moves an item that cannot be queued (its `error` is set).
    void moveFileToErrorsBeforeAddingToQueue(const QVariantMap &item);

    /// Whether quitting may go ahead (asks while an entry is processed).
    [[nodiscard]] bool applicationShouldTerminate();
    void applicationWillTerminate();

    /// The processing stage runs here; until it is installed the entry is
    /// only logged and stays in processing.
    void setProcessFileHandler(std::function<void(const QVariantMap &)> handler)
    {
        m_processFile = std::move(handler);
    }
    /// The cancellation of the entry in processing (after Stop).
    void setCancelProcessHandler(std::function<void()> handler)
    {
        m_cancelProcess = std::move(handler);
    }
    /// Where the hot-folder watcher is told to forget a path.
    void setForgetPathHandler(std::function<void(const QString &)> handler)
    {
        m_forgetPath = std::move(handler);
    }

    [[nodiscard]] bool isProcessing() const { return m_isProcessing; }
    void setProcessing(bool processing) { m_isProcessing = processing; }
    [[nodiscard]] bool processCancelled() const { return m_processCancelled; }
    [[nodiscard]] QString sendButtonTitle() const { return m_sendTitle; }

    [[nodiscard]] DestinationsEditor &destinations() { return *m_destinations; }
    [[nodiscard]] QueueTable &queue() { return *m_queue; }
    [[nodiscard]] SentTable &sent() { return *m_sent; }
    [[nodiscard]] HistoryTable &history() { return *m_history; }
    [[nodiscard]] HistoryPanelTable &errors() { return *m_errors; }
    [[nodiscard]] UserInterface &ui() { return *m_ui; }

private:
    void processFile(const QVariantMap &item);
    void recordCompleted(const QVariantMap &record);
    void setSendButton(const QString &title, bool enabled);
    /// Moves a source to the error location chosen in the settings; items
    /// without a hot folder stay put when that location is the hot folder's.
    void moveToErrorLocation(const QVariantMap &item);

    UserInterface *m_ui;
    std::unique_ptr<DestinationsEditor> m_destinations;
    std::unique_ptr<QueueTable> m_queue;
    std::unique_ptr<SentTable> m_sent;
    std::unique_ptr<HistoryTable> m_history;
    std::unique_ptr<HistoryPanelTable> m_errors;

    std::function<void(const QVariantMap &)> m_processFile;
    std::function<void(const QString &)> m_forgetPath;
    std::function<void()> m_cancelProcess;

    bool m_isProcessing = false;
    bool m_processCancelled = false;
    bool m_disableFooter = true;
    QString m_sendTitle = kStopTitle;
    bool m_sendEnabled = false;
    QVariantMap m_initialDestDictForCodeBasedDelivery;
    QString m_processingPath;
};

/// The destination code in a file or folder name: report.abc.pdf and the
/// folder report.abc both give "abc"; "" when there is none.
[[nodiscard]] QString destinationCodeFromName(const QString &fileName, bool isFolder);

} // namespace pv
