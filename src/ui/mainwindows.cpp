#include "ui/mainwindows.h"

#include "app/appcontroller.h"
#include "destinations/destinationseditor.h"
#include "records/historypaneltable.h"
#include "records/queuetable.h"
#include "records/senttable.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
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
    status = new QLabel(QStringLiteral("Idle"), this);
    status2 = new QLabel(this);
    progress = new QProgressBar(this);
    progress->setRange(0, 100);
    sendButton = new QPushButton(AppController::kStopTitle, this);
    sendButton->setEnabled(false);
    connect(sendButton, &QPushButton::clicked, this, [this] { m_controller.sendBtn(); });

    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(tableFor(&controller.queue(), splitter));
    splitter->addWidget(tableFor(&controller.sent(), splitter));
    layout->addWidget(status);
    layout->addWidget(status2);
    layout->addWidget(progress);
    layout->addWidget(splitter, 1);
    layout->addWidget(sendButton, 0, Qt::AlignRight);
    resize(640, 480);
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

    m_destinations = tableFor(&controller.destinations(), nullptr);
    m_destinations->setWindowTitle(QStringLiteral("Destinations"));
    m_destinations->resize(480, 320);

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
    auto *view = qobject_cast<QTableView *>(m_destinations.data());
    if (!view || !m_controller)
        return;
    const int row = m_controller->destinations().indexOfName(name);
    if (row >= 0) {
        view->selectRow(row);
        view->scrollTo(view->model()->index(row, 0));
    }
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
        m_processing->progress->setValue(int(value));
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

void WidgetsUserInterface::setSendButton(const QString &title, bool enabled)
{
    if (!m_processing)
        return;
    m_processing->sendButton->setText(title);
    m_processing->sendButton->setEnabled(enabled);
}

} // namespace pv
