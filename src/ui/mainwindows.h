#pragma once

#include "app/userinterface.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>

#include <functional>

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTableView;

namespace pv {

class AppController;
class ErrorsPanel;
class HistoryWindow;
class RecordActions;
class TrayIcon;

/// The processing window: queue, processed files, status lines, progress
/// and the Start/Stop button, bound to the controller's models; its menu
/// bar and toolbar open every other window.
class ProcessingWindow final : public QMainWindow {
    Q_OBJECT

public:
    explicit ProcessingWindow(AppController &controller, QWidget *parent = nullptr);

    /// What the window entries open. Each entry is disabled while its hook
    /// is unset.
    void setOpenDestinations(std::function<void()> open);
    void setOpenTemplates(std::function<void()> open);
    void setOpenPreferences(std::function<void()> open);
    void setOpenHistory(std::function<void()> open);
    void setOpenErrors(std::function<void()> open);
    /// Double-click on a processed record: opens the history at row.
    std::function<void(int row)> showInHistory;
    /// Ends the application once the controller agrees (tests replace it).
    std::function<void()> quitApplication;

    /// Shows or hides the mail mark beside the status line.
    void setMailShown(bool shown);
    /// The About box while it is open.
    [[nodiscard]] QMessageBox *aboutBox() const { return m_about; }

    QLabel *source = nullptr;
    QLabel *destination = nullptr;
    QLabel *status = nullptr;
    QLabel *mailMark = nullptr;
    QLabel *status2 = nullptr;
    QProgressBar *progress = nullptr;
    QPushButton *sendButton = nullptr;
    QPushButton *watchButton = nullptr;
    QLabel *watchStatus = nullptr;
    QPushButton *removeButton = nullptr;
    QTableView *queueView = nullptr;
    QTableView *sentView = nullptr;
    RecordActions *sentActions = nullptr;
    QPlainTextEdit *console = nullptr;

    QAction *processingAction = nullptr;
    QAction *destinationsAction = nullptr;
    QAction *templatesAction = nullptr;
    QAction *preferencesAction = nullptr;
    QAction *historyAction = nullptr;
    QAction *errorsAction = nullptr;
    QAction *aboutAction = nullptr;
    QAction *quitAction = nullptr;
    QAction *clearSentAction = nullptr;
    QAction *clearQueueAction = nullptr;

    /// The quit entry's work: asks the controller, then quitApplication.
    void quit();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMenus();
    void showAbout();
    static void setHook(QAction *action, std::function<void()> &slot, std::function<void()> open);

    AppController &m_controller;
    std::function<void()> m_openDestinations, m_openTemplates, m_openPreferences, m_openHistory,
        m_openErrors;
    QPointer<QMessageBox> m_about;
};

/// The user-interface port on Qt Widgets: message boxes for alerts and the
/// windows above for the processing display.
class WidgetsUserInterface final : public UserInterface {
public:
    WidgetsUserInterface();
    ~WidgetsUserInterface() override;

    /// Builds the windows over the controller's models.
    void attach(AppController &controller);

    int alert(const Alert &alert) override;
    void beep() override;
    void bringToFront(Window window) override;
    void selectDestination(const QString &name) override;
    void playSound(const QString &name) override { playSoundNamed(name); }
    void setStatus(const QString &text) override;
    void setStatus2(const QString &text) override;
    void setProgress(double value) override;
    void setProgressIndeterminate(bool indeterminate) override;
    void setWindowTitle(const QString &title) override;
    void setSendButton(const QString &title, bool enabled) override;
    void setSourceField(const QString &text) override;
    void setDestinationField(const QString &text) override;
    void setMailIcon(bool shown) override;

    [[nodiscard]] ProcessingWindow *processingWindow() const { return m_processing; }
    /// The history window once it has been opened, else nullptr.
    [[nodiscard]] HistoryWindow *historyWindow() const;
    [[nodiscard]] ErrorsPanel *errorsPanel() const;
    [[nodiscard]] TrayIcon *trayIcon() const;

private:
    /// Opens the history window (made, and the history read, the first time).
    HistoryWindow *openHistory();

    QPointer<ProcessingWindow> m_processing;
    QPointer<QWidget> m_destinations;
    QPointer<ErrorsPanel> m_errors;
    QPointer<HistoryWindow> m_history;
    QPointer<TrayIcon> m_tray;
    QMenu *m_trayMenu = nullptr;
    AppController *m_controller = nullptr;
};

} // namespace pv
