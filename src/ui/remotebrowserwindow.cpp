#include "ui/remotebrowserwindow.h"

#include "ui/windowstate.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLabel>
#include <QLineEdit>
#include <QMimeDatabase>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>

namespace pv {

namespace {

/// Adds the icons: a folder for folders, the type's icon by extension otherwise.
class IconProxy final : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role != Qt::DecorationRole || index.column() != RemoteList::NameColumn)
            return QIdentityProxyModel::data(index, role);
        if (QIdentityProxyModel::data(index, RemoteList::IsFolderRole).toBool())
            return m_icons.icon(QFileIconProvider::Folder);
        const QString name = QIdentityProxyModel::data(index, Qt::DisplayRole).toString();
        const QIcon icon = QIcon::fromTheme(
            QMimeDatabase().mimeTypeForFile(name, QMimeDatabase::MatchExtension).iconName());
        return icon.isNull() ? m_icons.icon(QFileIconProvider::File) : icon;
    }

private:
    QFileIconProvider m_icons;
};

} // namespace

RemoteBrowserWindow::RemoteBrowserWindow(Alerter &alerter, QWidget *parent)
    : QWidget(parent, Qt::Window), m_alerter(alerter)
{
    resize(640, 420);
    keepWindowState(this, QStringLiteral("remoteBrowser"));
    auto *layout = new QVBoxLayout(this);
    auto *tools = new QToolBar(this);
    tools->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    refreshAction =
        tools->addAction(style()->standardIcon(QStyle::SP_BrowserReload), QStringLiteral("Refresh"),
                         this, &RemoteBrowserWindow::refresh);
    newFolderAction =
        tools->addAction(style()->standardIcon(QStyle::SP_FileDialogNewFolder),
                         QStringLiteral("New Folder"), this, &RemoteBrowserWindow::createNewFolder);
    deleteAction =
        tools->addAction(style()->standardIcon(QStyle::SP_TrashIcon), QStringLiteral("Delete"),
                         this, &RemoteBrowserWindow::removeSelectedRows);
    layout->addWidget(tools);

    table = new QTableView(this);
    auto *proxy = new IconProxy(this);
    proxy->setSourceModel(&m_list);
    table->setModel(proxy);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSortingEnabled(true);
    table->sortByColumn(RemoteList::NameColumn, Qt::AscendingOrder);
    table->verticalHeader()->hide();
    table->setShowGrid(false);
    table->setAlternatingRowColors(true);
    table->horizontalHeader()->setSectionResizeMode(RemoteList::NameColumn, QHeaderView::Stretch);
    table->horizontalHeader()->setSectionResizeMode(RemoteList::DateColumn,
                                                    QHeaderView::ResizeToContents);
    table->horizontalHeader()->setSectionResizeMode(RemoteList::SizeColumn,
                                                    QHeaderView::ResizeToContents);
    layout->addWidget(table, 1);

    auto *bottom = new QHBoxLayout;
    counter = new QLabel(this);
    status = new QLabel(this);
    spinner = new QProgressBar(this);
    spinner->setRange(0, 0);
    spinner->setMaximumWidth(80);
    spinner->setTextVisible(false);
    spinner->hide();
    bottom->addWidget(counter);
    bottom->addStretch(1);
    bottom->addWidget(status);
    bottom->addWidget(spinner);
    layout->addLayout(bottom);

    auto *copyAction = new QAction(this);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(copyAction, &QAction::triggered, this, &RemoteBrowserWindow::copy);
    addAction(copyAction);

    folderDialog = new QDialog(this);
    folderDialog->setWindowTitle(QStringLiteral("New Folder"));
    auto *dialogLayout = new QVBoxLayout(folderDialog);
    dialogLayout->addWidget(new QLabel(QStringLiteral("Folder name:"), folderDialog));
    folderName = new QLineEdit(folderDialog);
    dialogLayout->addWidget(folderName);
    auto *buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, folderDialog);
    dialogLayout->addWidget(buttons);
    // OK checks the name first: a refused name keeps the dialog open.
    connect(buttons, &QDialogButtonBox::accepted, this, &RemoteBrowserWindow::folderOk);
    connect(buttons, &QDialogButtonBox::rejected, folderDialog, &QDialog::reject);

    connect(&m_list, &RemoteList::counterChanged, counter, &QLabel::setText);
    connect(&m_list, &RemoteList::progressChanged, this, [this](const QString &text, bool busy) {
        status->setText(text);
        spinner->setVisible(busy);
    });
    connect(&m_list, &RemoteList::operationEnded, table, &QTableView::clearSelection);
    connect(&m_list, &RemoteList::failed, this, [this](const QString &title, const QString &text) {
        m_alerter.alert({title, text});
    });
    connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &RemoteBrowserWindow::updateTools);
    connect(&m_list, &QAbstractItemModel::modelReset, this, &RemoteBrowserWindow::updateTools);
    counter->setText(m_list.counterText());
    updateTools();
}

QList<int> RemoteBrowserWindow::selectedRows() const
{
    QList<int> rows;
    for (const QModelIndex &index : table->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void RemoteBrowserWindow::updateTools()
{
    deleteAction->setEnabled(table->selectionModel()->hasSelection());
    newFolderAction->setEnabled(m_list.canCreateFolder());
}

void RemoteBrowserWindow::showListing(const QVariantMap &dest, const RemoteListing &listing,
                                      const QString &url)
{
    m_list.setCurrURL(url, dest);
    m_list.setItems(listing);
    setWindowTitle(dest.value(QStringLiteral("name")).toString());
    setWindowIcon(style()->standardIcon(QStyle::SP_DriveNetIcon));
    updateTools();
    show();
    raise();
    activateWindow();
}

void RemoteBrowserWindow::removeSelectedRows()
{
    const QList<int> rows = selectedRows();
    Alert confirm{
        QStringLiteral("Delete"),
        QStringLiteral("Do you really want to delete the selected items? This cannot be undone."),
        {QStringLiteral("Delete"), QStringLiteral("Cancel")},
        Alert::Style::Informational,
        1};
    if (m_alerter.alert(confirm) != 0 || rows.isEmpty())
        return;
    m_list.deleteRows(rows);
}

void RemoteBrowserWindow::createNewFolder()
{
    folderName->clear();
    folderDialog->open();
}

void RemoteBrowserWindow::folderOk()
{
    const QString name = folderName->text();
    if (const QString problem = m_list.folderNameProblem(name); !problem.isEmpty()) {
        m_alerter.alert({problem, QString()});
        return;
    }
    folderDialog->accept();
    m_list.createFolder(name);
}

void RemoteBrowserWindow::refresh()
{
    m_list.refresh();
}

void RemoteBrowserWindow::copy()
{
    QApplication::clipboard()->setText(m_list.copyText(selectedRows()));
}

} // namespace pv
