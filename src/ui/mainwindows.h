#pragma once

#include "app/userinterface.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTableView;

namespace pv {

class AppController;

/// The processing window: queue, processed files, status lines, progress
/// and the Start/Stop button, bound to the controller's models.
class ProcessingWindow final : public QWidget {
    Q_OBJECT

public:
    explicit ProcessingWindow(AppController &controller, QWidget *parent = nullptr);

    QLabel *source = nullptr;
    QLabel *destination = nullptr;
    QLabel *status = nullptr;
    QLabel *status2 = nullptr;
    QProgressBar *progress = nullptr;
    QPushButton *sendButton = nullptr;
    QPushButton *watchButton = nullptr;
    QLabel *watchStatus = nullptr;
    QPushButton *removeButton = nullptr;
    QTableView *queueView = nullptr;
    QTableView *sentView = nullptr;
    QPlainTextEdit *console = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    AppController &m_controller;
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

    [[nodiscard]] ProcessingWindow *processingWindow() const { return m_processing; }

private:
    QPointer<ProcessingWindow> m_processing;
    QPointer<QWidget> m_destinations;
    QPointer<QWidget> m_errors;
    AppController *m_controller = nullptr;
};

} // namespace pv
