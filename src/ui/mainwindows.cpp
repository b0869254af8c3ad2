#include "ui/mainwindows.h"
#include "ui/preferenceswindow.h"
#include "ui/templateswindow.h"

#include "app/appcontroller.h"
#include "destinations/destinationseditor.h"
#include "hotfolders/hotfolderwatcher.h"
#include "records/historypaneltable.h"
#include "records/historytable.h"
#include "records/queuetable.h"
#include "records/senttable.h"
#include "ui/destinationswindow.h"
#include "ui/errorspanel.h"
#include "ui/historywindow.h"
#include "ui/preferenceswindow.h"
#include "ui/recordviews.h"
#include "ui/templateswindow.h"
#include "ui/trayicon.h"
#include "ui/windowstate.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

namespace pv {

namespace {
QTableView *tableFor(QAbstractItemModel *model, QWidget *parent)
{
    auto *view = new QTableView(parent);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->horizontalHeader()->setStretchLastSection(true);
    view->verticalHeader()->hide();
    return view;
}

QIcon themed(const char *name, QStyle::StandardPixmap fallback)
{
    return QIcon::fromTheme(QLatin1String(name), QApplication::style()->standardIcon(fallback));
}

void saveIfShown(QWidget *w, const QString &key)
{
    if (w && w->isVisible())
        saveWindowState(w, key);
}
} // namespace

ProcessingWindow::ProcessingWindow(AppController &controller, QWidget *parent)
    : QMainWindow(parent), m_controller(controller)
{
    setWindowTitle(QStringLiteral("Processing"));
    quitApplication = [] { QCoreApplication::quit(); };
    auto *central = new QWidget(this);
    setCentralWidget(central);
    auto *layout = new QVBoxLayout(central);
    source = new QLabel(central);
    destination = new QLabel(central);
    destination->setTextInteractionFlags(Qt::TextSelectableByMouse);
    status = new QLabel(QStringLiteral("Idle"), central);
    mailMark = new QLabel(central);
    const int markSize = status->fontMetrics().height();
    mailMark->setPixmap(themed("mail-send", QStyle::SP_MessageBoxInformation)
                            .pixmap(QSize(markSize, markSize), devicePixelRatio()));
    mailMark->setToolTip(QStringLiteral("Sending the notification e-mail"));
    mailMark->hide();
    status2 = new QLabel(central);
    progress = new QProgressBar(central);
    progress->setRange(0, 100);
    progress->setValue(0);

    queueView = tableFor(&controller.queue(), central);
    auto *sentModel = new DeliveryListView(this);
    sentModel->setMarkOnlyFailures(true);
    sentModel->setSourceModel(&controller.sent());
    sentView = tableFor(sentModel, central);
    // A larger icon for the item itself, as in a file manager's list.
    sentView->setIconSize(QSize(32, 32));
    sentView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    sentView->verticalHeader()->setDefaultSectionSize(
        qMax(36, sentView->fontMetrics().height() + 8));
    sentView->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    sentView->horizontalHeader()->resizeSection(0, sentView->fontMetrics().averageCharWidth() * 36);
    sentView->horizontalHeader()->resizeSection(1, 44);
    sentView->horizontalHeader()->resizeSection(2, sentView->fontMetrics().averageCharWidth() * 20);
    sentActions = new RecordActions(sentView, controller.sent());
    connect(sentView, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &index) {
        const int row = m_controller.sent().doubleAction(index.row(), &m_controller.history());
        if (row >= 0 && showInHistory)
            showInHistory(row);
    });
    queueView->horizontalHeader()->resizeSection(0,
                                                 queueView->fontMetrics().averageCharWidth() * 36);
    queueView->horizontalHeader()->resizeSection(1,
                                                 queueView->fontMetrics().averageCharWidth() * 20);
    removeButton = new QPushButton(QStringLiteral("-"), central);
    removeButton->setToolTip(QStringLiteral("Remove the selected item from the queue"));
    connect(removeButton, &QPushButton::clicked, this, [this] {
        const QModelIndex current = queueView->currentIndex();
        if (!current.isValid())
            return;
        const int next = m_controller.queue().minusBtn(current.row());
        if (next >= 0)
            queueView->selectRow(next);
    });
    console = new QPlainTextEdit(central);
    console->setReadOnly(true);
    console->setMaximumBlockCount(5000);
    console->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    connect(&controller, &AppController::outputAppended, console,
            [this](const QString &text) { console->insertPlainText(text); });

    auto *queueBox = new QWidget(central);
    auto *queueLayout = new QVBoxLayout(queueBox);
    queueLayout->setContentsMargins(0, 0, 0, 0);
    queueLayout->addWidget(new QLabel(QStringLiteral("Queue"), queueBox));
    queueLayout->addWidget(queueView);
    queueLayout->addWidget(removeButton, 0, Qt::AlignLeft);
    auto *sentBox = new QWidget(central);
    auto *sentLayout = new QVBoxLayout(sentBox);
    sentLayout->setContentsMargins(0, 0, 0, 0);
    sentLayout->addWidget(new QLabel(QStringLiteral("Processed files"), sentBox));
    sentLayout->addWidget(sentView);
    auto *splitter = new QSplitter(Qt::Vertical, central);
    splitter->addWidget(queueBox);
    splitter->addWidget(sentBox);
    splitter->addWidget(console);
    splitter->setStretchFactor(0, 2);
    splitter->setStretchFactor(1, 3);
    splitter->setStretchFactor(2, 1);

    sendButton = new QPushButton(AppController::kStopTitle, central);
    sendButton->setEnabled(false);
    connect(sendButton, &QPushButton::clicked, this, [this] { m_controller.sendBtn(); });

    HotfolderWatcher &watcher = controller.watcher();
    watchButton = new QPushButton(central);
    watchStatus = new QLabel(central);
    const auto showWatching = [this](bool on) {
        watchButton->setText(on ? HotfolderWatcher::kStopTitle : HotfolderWatcher::kStartTitle);
        watchStatus->setText(on ? HotfolderWatcher::kWatchingStatus
                                : HotfolderWatcher::kNotWatchingStatus);
    };
    showWatching(watcher.isWatching());
    connect(&watcher, &HotfolderWatcher::watchingChanged, this, showWatching);
    connect(watchButton, &QPushButton::clicked, &watcher, &HotfolderWatcher::toggleWatching);

    auto *statusRow = new QHBoxLayout;
    statusRow->addWidget(status, 1);
    statusRow->addWidget(mailMark);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(watchButton);
    buttons->addWidget(watchStatus, 1);
    buttons->addWidget(sendButton);
    layout->addWidget(source);
    layout->addWidget(destination);
    layout->addLayout(statusRow);
    layout->addWidget(status2);
    layout->addWidget(progress);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttons);
    buildMenus();
    resize(760, 620);
}

void ProcessingWindow::buildMenus()
{
    const auto action = [this](const QString &text, const QKeySequence &keys, const QIcon &icon) {
        auto *a = new QAction(icon, text, this);
        a->setShortcut(keys);
        return a;
    };
    processingAction =
        action(QStringLiteral("Processing"), QKeySequence(Qt::CTRL | Qt::Key_1), QIcon());
    connect(processingAction, &QAction::triggered, this, [this] {
        show();
        raise();
        activateWindow();
    });
    destinationsAction = action(QStringLiteral("Destinations"), QKeySequence(Qt::CTRL | Qt::Key_D),
                                themed("folder-remote", QStyle::SP_DriveNetIcon));
    templatesAction = action(QStringLiteral("Templates"), QKeySequence(Qt::CTRL | Qt::Key_T),
                             themed("mail-message-new", QStyle::SP_FileDialogContentsView));
    preferencesAction =
        action(QStringLiteral("Preferences..."), QKeySequence(Qt::CTRL | Qt::Key_Comma),
               themed("preferences-system", QStyle::SP_FileDialogDetailedView));
    preferencesAction->setMenuRole(QAction::PreferencesRole);
    historyAction = action(QStringLiteral("History"), QKeySequence(Qt::CTRL | Qt::Key_H),
                           themed("document-open-recent", QStyle::SP_FileDialogInfoView));
    errorsAction = action(QStringLiteral("Errors"), QKeySequence(Qt::CTRL | Qt::Key_E),
                          themed("dialog-error", QStyle::SP_MessageBoxCritical));
    aboutAction = action(QStringLiteral("About Parcelvane"), QKeySequence(), QIcon());
    aboutAction->setMenuRole(QAction::AboutRole);
    connect(aboutAction, &QAction::triggered, this, &ProcessingWindow::showAbout);
    quitAction = action(QStringLiteral("Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q),
                        themed("application-exit", QStyle::SP_DialogCloseButton));
    quitAction->setMenuRole(QAction::QuitRole);
    connect(quitAction, &QAction::triggered, this, &ProcessingWindow::quit);
    for (auto [a, slot] :
         {std::pair{destinationsAction, &m_openDestinations},
          std::pair{templatesAction, &m_openTemplates},
          std::pair{preferencesAction, &m_openPreferences},
          std::pair{historyAction, &m_openHistory}, std::pair{errorsAction, &m_openErrors}}) {
        a->setEnabled(false);
        connect(a, &QAction::triggered, this, [slot] {
            if (*slot)
                (*slot)();
        });
    }

    clearSentAction = new QAction(QStringLiteral("Clear Processed Files..."), this);
    connect(clearSentAction, &QAction::triggered, this,
            [this] { m_controller.sent().clearErrors(); });
    clearQueueAction = new QAction(QStringLiteral("Clear Queue..."), this);
    connect(clearQueueAction, &QAction::triggered, this,
            [this] { m_controller.queue().clearQueue(); });
    auto *showHistory = new QAction(QStringLiteral("Show in History"), sentView);
    connect(showHistory, &QAction::triggered, this, [this] {
        const QModelIndex current = sentView->currentIndex();
        if (current.isValid())
            Q_EMIT sentView->doubleClicked(current);
    });
    sentView->addAction(showHistory);
    sentView->addAction(clearSentAction);

    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(preferencesAction);
    file->addSeparator();
    file->addAction(quitAction);
    QMenu *edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    edit->addAction(sentActions->copyLink);
    edit->addSeparator();
    edit->addAction(clearQueueAction);
    edit->addAction(clearSentAction);
    QMenu *window = menuBar()->addMenu(QStringLiteral("&Window"));
    window->addActions(
        {processingAction, destinationsAction, templatesAction, historyAction, errorsAction});
    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->addAction(aboutAction);

    QToolBar *bar = addToolBar(QStringLiteral("Windows"));
    bar->setObjectName(QStringLiteral("windowsToolBar"));
    bar->setMovable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    bar->addActions(
        {destinationsAction, templatesAction, historyAction, errorsAction, preferencesAction});
}

void ProcessingWindow::setHook(QAction *action, std::function<void()> &slot,
                               std::function<void()> open)
{
    slot = std::move(open);
    action->setEnabled(bool(slot));
}

void ProcessingWindow::setOpenDestinations(std::function<void()> open)
{
    setHook(destinationsAction, m_openDestinations, std::move(open));
}

void ProcessingWindow::setOpenTemplates(std::function<void()> open)
{
    setHook(templatesAction, m_openTemplates, std::move(open));
}

void ProcessingWindow::setOpenPreferences(std::function<void()> open)
{
    setHook(preferencesAction, m_openPreferences, std::move(open));
}

void ProcessingWindow::setOpenHistory(std::function<void()> open)
{
    setHook(historyAction, m_openHistory, std::move(open));
}

void ProcessingWindow::setOpenErrors(std::function<void()> open)
{
    setHook(errorsAction, m_openErrors, std::move(open));
}

void ProcessingWindow::setMailShown(bool shown)
{
    mailMark->setVisible(shown);
}

void ProcessingWindow::showAbout()
{
    if (!m_about) {
        m_about =
            new QMessageBox(QMessageBox::NoIcon, QStringLiteral("About Parcelvane"),
                            QStringLiteral("<b>Parcelvane %1</b>").arg(QLatin1String(PV_VERSION)),
                            QMessageBox::Ok, this);
        m_about->setInformativeText(
            QStringLiteral("Automatic file delivery from hot folders to disks, shares and "
                           "servers.\n\n\u00a9 Tallowin"));
        m_about->setIconPixmap(
            QIcon::fromTheme(QStringLiteral("com.tallowin.Parcelvane"),
                             QApplication::style()->standardIcon(QStyle::SP_DriveNetIcon))
                .pixmap(64, 64));
        m_about->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_about->open();
}

void ProcessingWindow::quit()
{
    if (m_controller.applicationShouldTerminate() && quitApplication)
        quitApplication();
}

void ProcessingWindow::closeEvent(QCloseEvent *event)
{
    if (!m_controller.applicationShouldTerminate()) {
        event->ignore();
        return;
    }
    event->accept();
    if (quitApplication)
        quitApplication();
}

WidgetsUserInterface::WidgetsUserInterface() = default;

WidgetsUserInterface::~WidgetsUserInterface()
{
    // Windows still open at quit are where the user will look next time.
    saveIfShown(m_processing, QStringLiteral("processing"));
    saveIfShown(m_destinations, QStringLiteral("destinations"));
    saveIfShown(m_errors, QStringLiteral("errors"));
    saveIfShown(m_history, QStringLiteral("history"));
    delete m_tray;
    delete m_trayMenu;
    delete m_history;
    delete m_processing;
    delete m_destinations;
    delete m_errors;
}

void WidgetsUserInterface::attach(AppController &controller)
{
    m_controller = &controller;
    m_processing = new ProcessingWindow(controller);
    m_processing->sendButton->setText(controller.sendButtonTitle());
    keepWindowState(m_processing, QStringLiteral("processing"));
    m_processing->setOpenDestinations([this] { bringToFront(Window::Destinations); });
    m_processing->setOpenHistory([this] { bringToFront(Window::History); });
    m_processing->setOpenErrors([this] { bringToFront(Window::Errors); });
    setSettingsWindowsController(&controller);
    m_processing->setOpenTemplates([this] { showTemplatesWindow(m_processing); });
    m_processing->setOpenPreferences([this] { showPreferencesWindow(m_processing); });
    m_processing->showInHistory = [this](int row) {
        if (HistoryWindow *h = openHistory())
            h->showRow(row);
    };
    m_processing->show();

    auto *destinations = new DestinationsWindow(controller.destinations(), *this);
    destinations->showErrors = [this, &controller](const QString &text) {
        controller.errors().addError(text);
        bringToFront(Window::Errors);
    };
    destinations->manageTemplates = [this] { showTemplatesWindow(m_processing); };
    m_destinations = destinations;
    keepWindowState(m_destinations, QStringLiteral("destinations"));
    m_errors = new ErrorsPanel(controller.errors());
    keepWindowState(m_errors, QStringLiteral("errors"));

    // The tray's menu reopens the windows with the processing window's entries.
    m_trayMenu = new QMenu;
    m_trayMenu->addActions({m_processing->processingAction, m_processing->destinationsAction,
                            m_processing->templatesAction, m_processing->historyAction,
                            m_processing->errorsAction, m_processing->preferencesAction});
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(m_processing->quitAction);
    m_tray = new TrayIcon(m_trayMenu);
    QObject::connect(m_tray, &TrayIcon::clicked, m_processing->processingAction, &QAction::trigger);
    HotfolderWatcher &watcher = controller.watcher();
    m_tray->setWatching(watcher.isWatching());
    QObject::connect(&watcher, &HotfolderWatcher::watchingChanged, m_tray, &TrayIcon::setWatching);
}

HistoryWindow *WidgetsUserInterface::historyWindow() const
{
    return m_history;
}

ErrorsPanel *WidgetsUserInterface::errorsPanel() const
{
    return m_errors;
}

TrayIcon *WidgetsUserInterface::trayIcon() const
{
    return m_tray;
}

HistoryWindow *WidgetsUserInterface::openHistory()
{
    if (!m_history && m_controller) {
        m_history = new HistoryWindow(m_controller->history());
        keepWindowState(m_history, QStringLiteral("history"));
    }
    if (m_history) {
        m_history->show();
        m_history->raise();
        m_history->activateWindow();
    }
    return m_history;
}

int WidgetsUserInterface::alert(const Alert &a)
{
    QMessageBox box(a.style == Alert::Style::Critical  ? QMessageBox::Critical
                    : a.style == Alert::Style::Warning ? QMessageBox::Warning
                                                       : QMessageBox::Information,
                    QString(), a.title);
    box.setInformativeText(a.text);
    QList<QAbstractButton *> buttons;
    for (const QString &title : a.buttons)
        buttons.append(box.addButton(title, QMessageBox::AcceptRole));
    if (a.defaultButton >= 0 && a.defaultButton < buttons.size())
        box.setDefaultButton(qobject_cast<QPushButton *>(buttons[a.defaultButton]));
    box.exec();
    const int chosen = int(buttons.indexOf(box.clickedButton()));
    return chosen >= 0 ? chosen : a.defaultButton;
}

void WidgetsUserInterface::beep()
{
    QApplication::beep();
}

void WidgetsUserInterface::bringToFront(Window window)
{
    if (window == Window::History) {
        openHistory();
        return;
    }
    QWidget *w = window == Window::Processing     ? static_cast<QWidget *>(m_processing)
                 : window == Window::Destinations ? m_destinations.data()
                 : window == Window::Errors       ? static_cast<QWidget *>(m_errors)
                                                  : nullptr;
    if (!w)
        return;
    w->show();
    w->raise();
    w->activateWindow();
}

void WidgetsUserInterface::selectDestination(const QString &name)
{
    if (auto *win = qobject_cast<DestinationsWindow *>(m_destinations.data()))
        win->selectName(name);
}

void WidgetsUserInterface::setStatus(const QString &text)
{
    if (m_processing)
        m_processing->status->setText(text);
    if (m_tray)
        m_tray->setStatus(text);
}

void WidgetsUserInterface::setStatus2(const QString &text)
{
    if (m_processing)
        m_processing->status2->setText(text);
}

void WidgetsUserInterface::setProgress(double value)
{
    if (m_processing)
        m_processing->progress->setValue(qBound(0, int(value), 100));
    if (m_tray)
        m_tray->setProgress(m_controller && m_controller->isProcessing() ? value : -1);
}

void WidgetsUserInterface::setProgressIndeterminate(bool indeterminate)
{
    if (m_processing)
        m_processing->progress->setRange(0, indeterminate ? 0 : 100);
}

void WidgetsUserInterface::setWindowTitle(const QString &title)
{
    if (m_processing)
        m_processing->setWindowTitle(title);
}

void WidgetsUserInterface::setSourceField(const QString &text)
{
    if (m_processing)
        m_processing->source->setText(text);
}

void WidgetsUserInterface::setDestinationField(const QString &text)
{
    if (m_processing)
        m_processing->destination->setText(text);
}

void WidgetsUserInterface::setMailIcon(bool shown)
{
    if (m_processing)
        m_processing->setMailShown(shown);
    if (m_tray)
        m_tray->setMailShown(shown);
}

void WidgetsUserInterface::setSendButton(const QString &title, bool enabled)
{
    if (!m_processing)
        return;
    m_processing->sendButton->setText(title);
    m_processing->sendButton->setEnabled(enabled);
}

} // namespace pv
