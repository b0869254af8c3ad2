#include "ui/mainwindows.h"

#include "app/appcontroller.h"
#include "destinations/destinationseditor.h"
#include "hotfolders/hotfolderwatcher.h"
#include "records/historypaneltable.h"
#include "records/queuetable.h"
#include "records/senttable.h"
#include "ui/destinationswindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>

namespace pv {

namespace {
QTableView *tableFor(QAbstractItemModel *model, QWidget *parent)
{
    auto *view = new QTableView(parent);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->horizontalHeader()->setStretchLastSection(true);
    view->verticalHeader()->hide();
    return view;
}
} // namespace

ProcessingWindow::ProcessingWindow(AppController &controller, QWidget *parent)
    : QWidget(parent), m_controller(controller)
{
    setWindowTitle(QStringLiteral("Processing"));
    auto *layout = new QVBoxLayout(this);
    source = new QLabel(this);
    destination = new QLabel(this);
    destination->setTextInteractionFlags(Qt::TextSelectableByMouse);
    status = new QLabel(QStringLiteral("Idle"), this);
    status2 = new QLabel(this);
    progress = new QProgressBar(this);
    progress->setRange(0, 100);
    progress->setValue(0);

    queueView = tableFor(&controller.queue(), this);
    sentView = tableFor(&controller.sent(), this);
    removeButton = new QPushButton(QStringLiteral("-"), this);
    removeButton->setToolTip(QStringLiteral("Remove the selected item from the queue"));
    connect(removeButton, &QPushButton::clicked, this, [this] {
        const QModelIndex current = queueView->currentIndex();
        if (!current.isValid())
            return;
        const int next = m_controller.queue().minusBtn(current.row());
        if (next >= 0)
            queueView->selectRow(next);
    });
    console = new QPlainTextEdit(this);
    console->setReadOnly(true);
    console->setMaximumBlockCount(5000);
    console->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    connect(&controller, &AppController::outputAppended, console,
            [this](const QString &text) { console->insertPlainText(text); });

    auto *queueBox = new QWidget(this);
    auto *queueLayout = new QVBoxLayout(queueBox);
    queueLayout->setContentsMargins(0, 0, 0, 0);
    queueLayout->addWidget(new QLabel(QStringLiteral("Queue"), queueBox));
    queueLayout->addWidget(queueView);
    queueLayout->addWidget(removeButton, 0, Qt::AlignLeft);
    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(queueBox);
    splitter->addWidget(sentView);
    splitter->addWidget(console);

    sendButton = new QPushButton(AppController::kStopTitle, this);
    sendButton->setEnabled(false);
    connect(sendButton, &QPushButton::clicked, this, [this] { m_controller.sendBtn(); });

    HotfolderWatcher &watcher = controller.watcher();
    watchButton = new QPushButton(this);
    watchStatus = new QLabel(this);
    const auto showWatching = [this](bool on) {
        watchButton->setText(on ? HotfolderWatcher::kStopTitle : HotfolderWatcher::kStartTitle);
        watchStatus->setText(on ? HotfolderWatcher::kWatchingStatus
                                : HotfolderWatcher::kNotWatchingStatus);
    };
    showWatching(watcher.isWatching());
    connect(&watcher, &HotfolderWatcher::watchingChanged, this, showWatching);
    connect(watchButton, &QPushButton::clicked, &watcher, &HotfolderWatcher::toggleWatching);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(watchButton);
    buttons->addWidget(watchStatus, 1);
    buttons->addWidget(sendButton);
    layout->addWidget(source);
    layout->addWidget(destination);
    layout->addWidget(status);
    layout->addWidget(status2);
    layout->addWidget(progress);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttons);
    resize(720, 560);
}

void ProcessingWindow::closeEvent(QCloseEvent *event)
{
    if (!m_controller.applicationShouldTerminate()) {
        event->ignore();
        return;
    }
    event->accept();
    qApp->quit();
}

WidgetsUserInterface::WidgetsUserInterface() = default;

WidgetsUserInterface::~WidgetsUserInterface()
{
    delete m_processing;
    delete m_destinations;
    delete m_errors;
}

void WidgetsUserInterface::attach(AppController &controller)
{
    m_controller = &controller;
    m_processing = new ProcessingWindow(controller);
    m_processing->sendButton->setText(controller.sendButtonTitle());
    m_processing->show();

    auto *destinations = new DestinationsWindow(controller.destinations(), *this);
    destinations->showErrors = [this, &controller](const QString &text) {
        controller.errors().addError(text);
        bringToFront(Window::Errors);
    };
    m_destinations = destinations;

    auto *errors = new QListView;
    errors->setModel(&controller.errors());
    errors->setWordWrap(true);
    errors->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    errors->setStyleSheet(QStringLiteral("color: red"));
    errors->setWindowTitle(QStringLiteral("Errors"));
    errors->resize(480, 320);
    m_errors = errors;
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
    QWidget *w = window == Window::Processing     ? static_cast<QWidget *>(m_processing)
                 : window == Window::Destinations ? m_destinations.data()
                 : window == Window::Errors       ? m_errors.data()
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

void WidgetsUserInterface::setSendButton(const QString &title, bool enabled)
{
    if (!m_processing)
        return;
    m_processing->sendButton->setText(title);
    m_processing->sendButton->setEnabled(enabled);
}

} // namespace pv
