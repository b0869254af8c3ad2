#include "ui/destinationswindow.h"

#include "app/remotelisting.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/plist.h"
#include "core/record.h"
#include "core/settings.h"
#include "destinations/bookmarkimport.h"
#include "destinations/destemails.h"
#include "destinations/destination.h"
#include "destinations/destinationrules.h"
#include "destinations/destinationseditor.h"
#include "destinations/groupdestinations.h"
#include "notify/emailsettings.h"
#include "notify/tokens.h"
#include "prefs/prefs.h"
#include "ui/remotebrowserwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTableView>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <unistd.h>

namespace pv {

namespace {

enum AddKind { NewDestination, Duplicate, NewGroup };

QIcon typeIcon(const QVariantMap &rec)
{
    QStyle *style = QApplication::style();
    if (recBool(rec, dk::isGroup))
        return style->standardIcon(QStyle::SP_FileDialogListView);
    return style->standardIcon(rules::isLocalType(destTypeOf(rec)) ? QStyle::SP_DriveHDIcon
                                                                   : QStyle::SP_DriveNetIcon);
}

/// A tag's colour dot, from its image name ("tag-red"); none for "tag-none".
QIcon tagIcon(const QString &image)
{
    const QColor colour(image.mid(4));
    if (!image.startsWith(QLatin1String("tag-")) || !colour.isValid())
        return {};
    QPixmap dot(12, 12);
    dot.fill(Qt::transparent);
    QPainter painter(&dot);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(colour.darker(130));
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(1, 1, 10, 10));
    return QIcon(dot);
}

const QString kCodeHelp = QStringLiteral(
    "<h3>Destination Code</h3>"
    "<p>A destination code lets one hot folder serve every destination. An item dropped into "
    "the code-based hot folder (named &quot;&lt;Code-Based Delivery&gt;&quot;, or "
    "&quot;_Code-Based Delivery_&quot; when the preferences ask for underscores) is delivered "
    "to the destination whose code it carries in its name.</p>"
    "<p>The code is the second extension of a file name: <tt>invoice.x7.pdf</tt> goes to the "
    "destination with the code <tt>x7</tt>. For a folder it is the extension of the folder "
    "name: <tt>Job.x7</tt>.</p>"
    "<p>A code holds letters and digits only, capitals count, and no two destinations share "
    "one. An item whose code no destination has is moved to the errors location; an item "
    "without a code is left where it is.</p>"
    "<p>Codes can be edited once destination codes are turned on in the preferences.</p>");

const QString kHttpUrlHelp = QStringLiteral(
    "<h3>Download Link URL</h3>"
    "<p>The notification e-mail of an FTP, FTPS or SFTP destination links to the delivered "
    "item. Many mail readers cannot open ftp:// or sftp:// addresses; when a web server "
    "publishes the destination's folder, the link can go through it instead.</p>"
    "<p>Turn on <b>Link:</b> and enter the web address of the destination's folder, for "
    "example <tt>http://www.example.com/downloads</tt>. The link in the e-mail is that "
    "address followed by the date folder, when the destination makes one, and the item's "
    "final name.</p>"
    "<p><b>Fill</b> proposes <tt>http://HOST/PATH</tt> from the destination's host and "
    "path.</p>");

/// The group lists as shown: the type icon and the default in red.
class MemberListProxy final : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role == Qt::DecorationRole)
            return typeIcon(QIdentityProxyModel::data(index, DestinationList::RecordRole).toMap());
        if (role == Qt::ForegroundRole &&
            QIdentityProxyModel::data(index, DestinationList::IsDefaultRole).toBool())
            return QColor(Qt::red);
        return QIdentityProxyModel::data(index, role);
    }
};

} // namespace

// ---- the list ----

DestinationsTableModel::DestinationsTableModel(DestinationsEditor &store,
                                               std::function<bool(int, int, const QString &)> set,
                                               QObject *parent)
    : QAbstractTableModel(parent), m_store(store), m_setText(std::move(set))
{
    // Every structural change of the store is a reset here; the window then
    // selects its record again by name.
    const auto reset = [this] {
        beginResetModel();
        endResetModel();
    };
    connect(&store, &QAbstractItemModel::modelReset, this, reset);
    connect(&store, &QAbstractItemModel::rowsRemoved, this, reset);
    connect(&store, &QAbstractItemModel::rowsInserted, this, reset);
    connect(&store, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &from, const QModelIndex &to) {
                Q_EMIT dataChanged(index(from.row(), 0), index(to.row(), ColumnCount - 1));
            });
}

int DestinationsTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_store.items().size());
}

int DestinationsTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DestinationsTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_store.items().size())
        return {};
    const QVariantMap &rec = m_store.items()[index.row()];
    switch (index.column()) {
    case IconColumn:
        if (role == Qt::DecorationRole)
            return typeIcon(rec);
        if (role == Qt::ToolTipRole)
            return destTypeOf(rec);
        break;
    case HotFolderColumn:
        if (recString(rec, dk::QFHotfolder).isEmpty())
            break;
        if (role == Qt::DecorationRole)
            return QApplication::style()->standardIcon(recBool(rec, dk::hotfolderNotFound)
                                                           ? QStyle::SP_MessageBoxWarning
                                                           : QStyle::SP_DirIcon);
        if (role == Qt::ToolTipRole)
            return recString(rec, dk::QFHotfolder);
        break;
    case NameColumn:
        if (role == Qt::DisplayRole || role == Qt::EditRole)
            return recString(rec, dk::name);
        if (role == Qt::ForegroundRole && recBool(rec, dk::isDefault))
            return QColor(Qt::red);
        break;
    case CodeColumn:
        if (role == Qt::DisplayRole || role == Qt::EditRole)
            return recString(rec, dk::QFDestCode);
        break;
    default:
        break;
    }
    return {};
}

QVariant DestinationsTableModel::headerData(int section, Qt::Orientation orientation,
                                            int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    if (section == NameColumn)
        return QStringLiteral("name");
    if (section == CodeColumn)
        return QStringLiteral("code");
    return QString();
}

Qt::ItemFlags DestinationsTableModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.column() == NameColumn || index.column() == CodeColumn)
        f |= Qt::ItemIsEditable;
    return f;
}

bool DestinationsTableModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::EditRole || !index.isValid())
        return false;
    return m_setText(index.row(), index.column(), value.toString());
}

void DestinationsTableModel::sort(int column, Qt::SortOrder order)
{
    static const rules::SortKey keys[ColumnCount] = {rules::SortKey::Type,
                                                     rules::SortKey::HotFolder,
                                                     rules::SortKey::Name, rules::SortKey::Code};
    if (column < 0 || column >= ColumnCount)
        return;
    const rules::SortKey key = keys[column];
    m_store.setOrder([key, order](const QVariantMap &a, const QVariantMap &b) {
        return rules::listsBefore(a, b, key, order);
    });
}

// ---- the window ----

DestinationsWindow::DestinationsWindow(DestinationsEditor &store, Alerter &alerter, QWidget *parent)
    : QWidget(parent), m_store(store), m_alerter(alerter)
{
    setWindowTitle(QStringLiteral("Destinations"));
    chooseFolder = [this](const QString &message, const QString &title, const QString &button) {
        QFileDialog dialog(this, title);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setLabelText(QFileDialog::Accept, button);
        dialog.setLabelText(QFileDialog::LookIn, message);
        return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
    };
    modifiers = [] { return QGuiApplication::queryKeyboardModifiers(); };
    openInFileBrowser = [](const QString &path) {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    };
    // The application shows these in its errors panel; without it they are
    // at least in the log.
    showErrors = [](const QString &text) { log(lcDestinations(), text); };
    authenticate = [this](std::function<void(bool, QString)> done) {
        // polkit decides whether this user may act as an administrator now,
        // asking for a password through the desktop's agent.
        auto *pk = new QProcess(this);
        connect(pk, &QProcess::finished, this, [pk, done](int code, QProcess::ExitStatus st) {
            pk->deleteLater();
            done(st == QProcess::NormalExit && code == 0, QString());
        });
        connect(pk, &QProcess::errorOccurred, this, [pk, done](QProcess::ProcessError e) {
            if (e != QProcess::FailedToStart)
                return;
            pk->deleteLater();
            done(false, QStringLiteral("The password stays hidden: polkit (pkcheck) is not "
                                       "available on this system to confirm who you are."));
        });
        pk->start(QStringLiteral("pkcheck"),
                  {QStringLiteral("--action-id"), QStringLiteral("org.freedesktop.policykit.exec"),
                   QStringLiteral("--process"), QString::number(::getpid()),
                   QStringLiteral("--allow-user-interaction")});
    };
    m_model = new DestinationsTableModel(
        store,
        [this](int r, int column, const QString &text) {
            return column == DestinationsTableModel::NameColumn ? commitName(r, text)
                                                                : commitCode(r, text);
        },
        this);
    m_group = new GroupEditor(this);
    buildList();
    buildEditor();
    auto *split = new QSplitter(this);
    auto *left = new QWidget(split);
    auto *leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->addWidget(list, 1);
    auto *buttons = new QHBoxLayout;
    for (QWidget *w : {static_cast<QWidget *>(addButton), static_cast<QWidget *>(duplicateButton),
                       static_cast<QWidget *>(groupButton), static_cast<QWidget *>(removeButton),
                       static_cast<QWidget *>(defaultButton)})
        buttons->addWidget(w);
    // Other clients' server bookmarks become destinations; the last one added is shown.
    auto *importButton = new QPushButton(QStringLiteral("Import"), this);
    auto *importMenu = new QMenu(importButton);
    const auto importFrom = [this, importMenu](const QString &title, auto run) {
        importMenu->addAction(title, this, [this, run] {
            if (run() > 0) {
                selectName(recString(m_store.selectedItem(), dk::name));
                loadRecord();
            }
        });
    };
    importFrom(QStringLiteral("Import from Cyberduck..."),
               [this] { return bookmarks::importCyberduckBookmarks(m_store, m_alerter); });
    importFrom(QStringLiteral("Import from FileZilla..."),
               [this] { return bookmarks::importFileZillaSites(m_store, m_alerter); });
    importFrom(QStringLiteral("Import from Transmit..."),
               [this] { return bookmarks::importTransmitFavs(m_alerter); });
    importButton->setMenu(importMenu);
    buttons->addWidget(importButton);
    buttons->addWidget(openDestinationsButton);
    buttons->addStretch(1);
    buttons->addWidget(countLabel);
    leftLayout->addLayout(buttons);
    split->addWidget(left);
    auto *right = new QWidget(split);
    auto *rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    auto *ident = new QFormLayout;
    ident->addRow(QStringLiteral("Name:"), nameField);
    auto *codeRow = new QHBoxLayout;
    codeRow->addWidget(codeField, 1);
    codeRow->addWidget(codeHelpButton);
    ident->addRow(QStringLiteral("Code:"), codeRow);
    auto *hot = new QHBoxLayout;
    hot->addWidget(hotFolderLabel, 1);
    hot->addWidget(createHotFolderButton);
    hot->addWidget(createAllHotFoldersButton);
    hot->addWidget(removeHotFolderButton);
    ident->addRow(QStringLiteral("Hot folder:"), hot);
    rightLayout->addLayout(ident);
    rightLayout->addWidget(optionsPane, 1);
    rightLayout->addWidget(groupPane, 1);
    split->addWidget(right);
    split->setStretchFactor(1, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(split);
    split->setSizes({340, 700});
    resize(1040, 760);

    connect(m_model, &QAbstractItemModel::modelReset, this, [this] {
        const int r = m_store.selectedRow();
        m_shownRow = -1;
        if (r >= 0) {
            m_selectionIsChanging = true;
            list->selectRow(r);
            m_selectionIsChanging = false;
        }
        m_shownRow = r;
        loadRecord();
        updateCount();
    });
    // Changes made elsewhere (the command line through the running
    // instance) show at once: another selection, or the shown record.
    connect(&m_store, &DestinationsEditor::selectedRowChanged, this, [this] {
        if (m_selectionIsChanging)
            return;
        const int r = m_store.selectedRow();
        m_selectionIsChanging = true;
        if (r >= 0)
            list->selectRow(r);
        else
            list->clearSelection();
        m_selectionIsChanging = false;
        m_shownRow = r;
        loadRecord();
    });
    connect(&m_store, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &from, const QModelIndex &to) {
                if (!m_editing && !m_loading && row() >= from.row() && row() <= to.row())
                    loadRecord();
            });
    connect(m_group, &GroupEditor::membersChanged, this, [this] {
        const QVariantList members = m_group->groupDests();
        edit([&](QVariantMap &rec) { rec.insert(dk::groupDests, members); });
    });
    const int r = m_store.selectedRow() >= 0 ? m_store.selectedRow() : 0;
    if (r < m_store.items().size())
        list->selectRow(r);
    updateCount();
}

DestinationsWindow::~DestinationsWindow()
{
    // Closing the window commits an open recipient cell, which would reach
    // this window's handlers after its members are gone.
    m_emails->disconnect(this);
}

void DestinationsWindow::buildList()
{
    list = new QTableView(this);
    list->setModel(m_model);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    list->verticalHeader()->hide();
    list->horizontalHeader()->setSectionResizeMode(DestinationsTableModel::IconColumn,
                                                   QHeaderView::ResizeToContents);
    list->horizontalHeader()->setSectionResizeMode(DestinationsTableModel::HotFolderColumn,
                                                   QHeaderView::ResizeToContents);
    list->horizontalHeader()->setSectionResizeMode(DestinationsTableModel::NameColumn,
                                                   QHeaderView::Stretch);
    list->setColumnHidden(DestinationsTableModel::CodeColumn,
                          !settings::boolValue(keys::enableDestCodes));
    // Sorted by name until the user clicks another column's header.
    list->horizontalHeader()->setSortIndicator(DestinationsTableModel::NameColumn,
                                               Qt::AscendingOrder);
    list->setSortingEnabled(true);
    connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &DestinationsWindow::selectionChanged);
    countLabel = new QLabel(this);
    addButton = new QPushButton(QStringLiteral("+"), this);
    addButton->setToolTip(QStringLiteral("New Destination"));
    duplicateButton = new QPushButton(QStringLiteral("Duplicate"), this);
    duplicateButton->setToolTip(QStringLiteral("Duplicate Destination"));
    groupButton = new QPushButton(QStringLiteral("New Group"), this);
    groupButton->setToolTip(QStringLiteral("New Destination Group"));
    removeButton = new QPushButton(QStringLiteral("-"), this);
    defaultButton = new QPushButton(QStringLiteral("Make Default"), this);
    connect(addButton, &QPushButton::clicked, this, [this] { addRow(NewDestination); });
    connect(duplicateButton, &QPushButton::clicked, this, [this] { addRow(Duplicate); });
    connect(groupButton, &QPushButton::clicked, this, [this] { addRow(NewGroup); });
    connect(removeButton, &QPushButton::clicked, this, &DestinationsWindow::removeRow);
    openDestinationsButton = new QPushButton(
        QApplication::style()->standardIcon(QStyle::SP_DirOpenIcon), QString(), this);
    openDestinationsButton->setToolTip(QStringLiteral("Open Destinations Folder"));
    // Room on the button row for the count.
    for (QPushButton *b : {addButton, removeButton, openDestinationsButton})
        b->setMaximumWidth(40);
    connect(openDestinationsButton, &QPushButton::clicked, this,
            &DestinationsWindow::openDestinations);
    connect(defaultButton, &QPushButton::clicked, this, [this] {
        if (row() >= 0)
            m_store.makeDefault(row());
    });
}

void DestinationsWindow::buildEditor()
{
    nameField = new QLineEdit(this);
    codeField = new QLineEdit(this);
    codeField->setEnabled(settings::boolValue(keys::enableDestCodes));
    connect(nameField, &QLineEdit::editingFinished, this, [this] {
        if (row() >= 0 && !commitName(row(), nameField->text()))
            nameField->setFocus();
    });
    connect(codeField, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (const QString kept = rules::codeCharactersOnly(text); kept != text)
            codeField->setText(kept);
    });
    connect(codeField, &QLineEdit::editingFinished, this, [this] {
        if (row() >= 0 && !commitCode(row(), codeField->text()))
            codeField->setFocus();
    });
    codeHelpButton = new QPushButton(QStringLiteral("?"), this);
    codeHelpButton->setToolTip(QStringLiteral("Destination Code"));
    codeHelpButton->setMaximumWidth(30);
    connect(codeHelpButton, &QPushButton::clicked, this,
            [this] { showHelp(QStringLiteral("Destination Code"), kCodeHelp); });
    hotFolderLabel = new QLabel(this);
    hotFolderLabel->setTextInteractionFlags(Qt::TextBrowserInteraction);
    connect(hotFolderLabel, &QLabel::linkActivated, this,
            [](const QString &link) { QDesktopServices::openUrl(QUrl(link)); });
    createHotFolderButton = new QPushButton(QStringLiteral("Create..."), this);
    createAllHotFoldersButton = new QPushButton(QStringLiteral("Create for All..."), this);
    removeHotFolderButton = new QPushButton(QStringLiteral("Remove"), this);
    connect(createHotFolderButton, &QPushButton::clicked, this,
            &DestinationsWindow::chooseHotFolder);
    connect(createAllHotFoldersButton, &QPushButton::clicked, this,
            &DestinationsWindow::createAllHotFolders);
    connect(removeHotFolderButton, &QPushButton::clicked, this,
            &DestinationsWindow::removeHotFolder);

    // The delivery options of an ordinary destination.
    optionsPane = new QWidget(this);
    auto *form = new QFormLayout(optionsPane);
    form->setContentsMargins(0, 0, 0, 0);
    typePopup = new QComboBox(optionsPane);
    typePopup->addItems(rules::destinationTypes());
    connect(typePopup, &QComboBox::activated, this, [this] {
        const QString type = typePopup->currentText();
        edit([&](QVariantMap &rec) {
            rules::applyType(rec, type, true);
            rec.insert(dk::hostField, rules::fixedHostFor(type).isEmpty()
                                          ? hostField->text()
                                          : rules::fixedHostFor(type));
        });
        loadRecord();
    });
    form->addRow(QStringLiteral("Type:"), typePopup);
    hostField = new QLineEdit(optionsPane);
    portField = new QLineEdit(optionsPane);
    userField = new QLineEdit(optionsPane);
    pathField = new QLineEdit(optionsPane);
    passwordField = new QLineEdit(optionsPane);
    passwordField->setEchoMode(QLineEdit::Password);
    clearPasswordField = new QLineEdit(optionsPane);
    clearPasswordField->hide();
    lockButton = new QPushButton(QStringLiteral("Show"), optionsPane);
    folderButton = new QPushButton(QStringLiteral("Choose..."), optionsPane);
    contentsButton = new QPushButton(optionsPane);
    connect(hostField, &QLineEdit::textEdited, this, [this](const QString &text) {
        const QString host = rules::stripScheme(text);
        if (host != text)
            hostField->setText(host);
        edit([&](QVariantMap &rec) { rec.insert(dk::hostField, host); });
    });
    connect(portField, &QLineEdit::textEdited, this, [this](const QString &text) {
        edit([&](QVariantMap &r) { r.insert(dk::QFPort, text); });
    });
    connect(portField, &QLineEdit::editingFinished, this, [this] {
        if (portField->text().isEmpty() && portField->isEnabled()) {
            portField->setText(rules::portOrDefault(QString()));
            edit([&](QVariantMap &r) { r.insert(dk::QFPort, portField->text()); });
        }
    });
    connect(userField, &QLineEdit::textEdited, this, [this](const QString &text) {
        edit([&](QVariantMap &r) { r.insert(dk::userField, text); });
    });
    connect(pathField, &QLineEdit::textEdited, this, [this](const QString &text) {
        edit([&](QVariantMap &r) { r.insert(dk::pathField, text); });
    });
    for (QLineEdit *pw : {passwordField, clearPasswordField}) {
        connect(pw, &QLineEdit::textEdited, this, [this](const QString &text) {
            const QString scrambled = Prefs::encryptPassword(text);
            edit([&](QVariantMap &r) { r.insert(dk::sitePasswordField, scrambled); });
        });
    }
    connect(lockButton, &QPushButton::clicked, this, &DestinationsWindow::togglePassword);
    connect(folderButton, &QPushButton::clicked, this, [this] {
        const QString dir = chooseFolder(QStringLiteral("Choose folder:"),
                                         QStringLiteral("Choose Folder"), QStringLiteral("Choose"));
        if (dir.isEmpty())
            return;
        pathField->setText(dir);
        edit([&](QVariantMap &r) { r.insert(dk::pathField, dir); });
    });
    // The contents button lists a server's folder in the remote browser, or
    // opens a local destination's folder.
    auto *browser = new RemoteBrowserWindow(m_alerter, this);
    DestinationContents::Display display;
    display.setButtonTitle = [this](const QString &title) { contentsButton->setText(title); };
    display.setProgress = [this](bool busy, const QString &text) {
        contentsButton->setToolTip(text);
        if (busy)
            contentsButton->setCursor(Qt::BusyCursor);
        else
            contentsButton->unsetCursor();
    };
    display.clearBrowser = [browser] {
        browser->list().clear();
        browser->hide();
    };
    display.showListing = [browser](const QVariantMap &dest, const RemoteListing &listing,
                                    const QString &url) {
        browser->showListing(dest, listing, url);
    };
    display.openFolder = [](const QString &path) {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    };
    display.quit = [] { QCoreApplication::exit(1); };
    auto *contents = new DestinationContents(&m_alerter, std::move(display), this);
    connect(contentsButton, &QPushButton::clicked, this, [this, contents] {
        saveCurrent();
        contents->list(m_store.selectedItem(), contentsButton->text());
    });
    form->addRow(QStringLiteral("Host:"), hostField);
    form->addRow(QStringLiteral("Port:"), portField);
    userLabel = new QLabel(optionsPane);
    passwordLabel = new QLabel(optionsPane);
    pathLabel = new QLabel(optionsPane);
    form->addRow(userLabel, userField);
    auto *pwRow = new QHBoxLayout;
    pwRow->addWidget(passwordField, 1);
    pwRow->addWidget(clearPasswordField, 1);
    pwRow->addWidget(lockButton);
    form->addRow(passwordLabel, pwRow);
    auto *pathRow = new QHBoxLayout;
    pathRow->addWidget(pathField, 1);
    pathRow->addWidget(folderButton);
    pathRow->addWidget(contentsButton);
    form->addRow(pathLabel, pathRow);

    const auto box = [this](const QString &key, const QString &title) {
        auto *c = new QCheckBox(title, optionsPane);
        switches.insert(key, c);
        connect(c, &QCheckBox::clicked, this, [this, key](bool on) {
            if (m_loading)
                return;
            edit([&](QVariantMap &r) { (void)rules::setSwitch(r, key, on); });
            showStates();
        });
        return c;
    };
    auto *deliver = new QGroupBox(QStringLiteral("Delivery"), optionsPane);
    auto *dl = new QFormLayout(deliver);
    auto *sendRow = new QHBoxLayout;
    sendRow->addWidget(box(dk::sendFTPBtn, QStringLiteral("Transfer")));
    sendRow->addWidget(box(dk::sendEmailBtn, QStringLiteral("Send e-mail")));
    sendRow->addWidget(box(dk::attachBtn, QStringLiteral("Attach")));
    sendRow->addWidget(box(QStringLiteral("attachSizeBtn"), QStringLiteral("Limit attachments")));
    emailOffIndicator = new QLabel(QStringLiteral("No e-mail"), deliver);
    suspendedIndicator = new QLabel(QStringLiteral("Delivery suspended"), deliver);
    for (QLabel *l : {emailOffIndicator, suspendedIndicator})
        l->setStyleSheet(QStringLiteral("color: #b00"));
    sendRow->addWidget(emailOffIndicator);
    sendRow->addWidget(suspendedIndicator);
    sendRow->addStretch(1);
    dl->addRow(sendRow);
    auto *packRow = new QHBoxLayout;
    packRow->addWidget(box(QStringLiteral("QFCompressFiles"), QStringLiteral("Package files")));
    packRow->addWidget(box(QStringLiteral("QFCompressFolders"), QStringLiteral("Package folders")));
    compressionPopup = new QComboBox(deliver);
    compressionPopup->addItems({QStringLiteral("Zip archive"), QStringLiteral("Disk image")});
    connect(compressionPopup, &QComboBox::activated, this, [this](int index) {
        edit([&](QVariantMap &r) {
            r.insert(QStringLiteral("QFCompressionMethod"), index);
            if (!rules::optionStates(r).encryptEnabled)
                r.insert(QStringLiteral("dmgEncryptBtn"), 0);
        });
        showStates();
    });
    packRow->addWidget(compressionPopup);
    packRow->addWidget(box(QStringLiteral("dmgEncryptBtn"), QStringLiteral("Encrypt")));
    diskPasswordButton = new QPushButton(QStringLiteral("Set Password..."), deliver);
    connect(diskPasswordButton, &QPushButton::clicked, this,
            &DestinationsWindow::openDiskPasswordDialog);
    packRow->addWidget(diskPasswordButton);
    packRow->addStretch(1);
    dl->addRow(packRow);
    auto *folderRow = new QHBoxLayout;
    folderRow->addWidget(box(dk::overwriteBtn, QStringLiteral("Overwrite")));
    folderRow->addWidget(box(dk::yearFolderBtn, QStringLiteral("Year folder")));
    folderRow->addWidget(box(dk::monthFolderBtn, QStringLiteral("Month folder")));
    folderRow->addWidget(box(dk::dateFolderBtn, QStringLiteral("Dated folder")));
    folderRow->addStretch(1);
    dl->addRow(folderRow);
    tagBox = new QWidget(deliver);
    auto *tagRow = new QHBoxLayout(tagBox);
    tagRow->setContentsMargins(0, 0, 0, 0);
    tagApplyBox = new QCheckBox(QStringLiteral("Tag delivered items:"), tagBox);
    tagPopup = new QComboBox(tagBox);
    connect(tagApplyBox, &QCheckBox::clicked, this, [this](bool on) {
        edit([&](QVariantMap &r) { rules::setTagApplied(r, on, tagPopup->currentText()); });
        tagPopup->setEnabled(on);
    });
    connect(tagPopup, &QComboBox::activated, this, [this](int index) {
        const rules::TagEntry tag{tagPopup->itemText(index), tagPopup->itemData(index).toString()};
        edit([&](QVariantMap &r) { rules::chooseTag(r, tagApplyBox->isChecked(), tag); });
    });
    tagRow->addWidget(tagApplyBox);
    tagRow->addWidget(tagPopup);
    tagRow->addStretch(1);
    dl->addRow(tagBox);
    auto *expiryRow = new QHBoxLayout;
    expiryRow->addWidget(box(dk::QFExpireFiles, QStringLiteral("Files expire after")));
    expiryDaysField = new QLineEdit(deliver);
    expiryDaysField->setMaximumWidth(60);
    connect(expiryDaysField, &QLineEdit::textEdited, this, [this](const QString &text) {
        const QString digits = rules::digitsOnly(text);
        if (digits != text)
            expiryDaysField->setText(digits);
        edit([&](QVariantMap &r) { r.insert(dk::QFExpiryDays, digits.toLongLong()); });
    });
    expiryRow->addWidget(expiryDaysField);
    expiryRow->addWidget(new QLabel(QStringLiteral("days"), deliver));
    expiryRow->addStretch(1);
    dl->addRow(expiryRow);
    auto *attachRow = new QHBoxLayout;
    attachSizeField = new QLineEdit(deliver);
    attachSizeField->setMaximumWidth(60);
    connect(attachSizeField, &QLineEdit::textEdited, this, [this](const QString &text) {
        const QString digits = rules::digitsOnly(text);
        if (digits != text)
            attachSizeField->setText(digits);
        edit([&](QVariantMap &r) {
            r.insert(QStringLiteral("attachSizeField"), digits.toLongLong());
        });
    });
    attachRow->addWidget(new QLabel(QStringLiteral("Limit (MB):"), deliver));
    attachRow->addWidget(attachSizeField);
    attachRow->addWidget(box(QStringLiteral("QFCreateLoresPDF"), QStringLiteral("Reduced PDF")));
    attachRow->addWidget(box(QStringLiteral("QFAttachSubfolder"), QStringLiteral("Sub-folder:")));
    subfolderNameField = new QLineEdit(deliver);
    connect(subfolderNameField, &QLineEdit::textEdited, this, [this](const QString &text) {
        edit([&](QVariantMap &r) { r.insert(QStringLiteral("QFSubfolderName"), text); });
    });
    attachRow->addWidget(subfolderNameField, 1);
    dl->addRow(attachRow);

    downloadLinkBox = new QGroupBox(QStringLiteral("Download link"), optionsPane);
    auto *link = new QHBoxLayout(downloadLinkBox);
    link->addWidget(box(QStringLiteral("QFUseHTTP"), QStringLiteral("Link:")));
    httpUrlField = new QLineEdit(downloadLinkBox);
    connect(httpUrlField, &QLineEdit::textEdited, this, [this](const QString &text) {
        edit([&](QVariantMap &r) { r.insert(QStringLiteral("QFHttpUrl"), text); });
    });
    fillLinkButton = new QPushButton(QStringLiteral("Fill"), downloadLinkBox);
    connect(fillLinkButton, &QPushButton::clicked, this, [this] {
        edit([&](QVariantMap &r) {
            httpUrlField->setText(rules::defaultHttpUrl(r));
            r.insert(QStringLiteral("QFHttpUrl"), httpUrlField->text());
        });
    });
    linkHelpButton = new QPushButton(QStringLiteral("?"), downloadLinkBox);
    linkHelpButton->setToolTip(QStringLiteral("Download Link URL"));
    linkHelpButton->setMaximumWidth(30);
    connect(linkHelpButton, &QPushButton::clicked, this,
            [this] { showHelp(QStringLiteral("Download Link URL"), kHttpUrlHelp); });
    link->addWidget(httpUrlField, 1);
    link->addWidget(fillLinkButton);
    link->addWidget(linkHelpButton);
    form->addRow(deliver);
    form->addRow(downloadLinkBox);
    auto *mail = new QGroupBox(QStringLiteral("Notification"), optionsPane);
    buildEmail(mail, new QVBoxLayout(mail));
    form->addRow(mail);

    // The members of a group.
    groupPane = new QWidget(this);
    auto *g = new QHBoxLayout(groupPane);
    g->setContentsMargins(0, 0, 0, 0);
    const auto listView = [this](QAbstractItemModel *model) {
        auto *v = new QListView(groupPane);
        auto *proxy = new MemberListProxy(v);
        proxy->setSourceModel(model);
        v->setModel(proxy);
        v->setSelectionMode(QAbstractItemView::ExtendedSelection);
        v->setDragEnabled(true);
        v->setAcceptDrops(true);
        v->setDropIndicatorShown(false);
        v->setDragDropMode(QAbstractItemView::DragDrop);
        v->setDefaultDropAction(Qt::MoveAction);
        return v;
    };
    membersView = listView(&m_group->members());
    candidatesView = listView(&m_group->candidates());
    const auto selectedRows = [](QListView *v) {
        QList<int> rows;
        for (const QModelIndex &i : v->selectionModel()->selectedIndexes())
            rows.append(i.row());
        return rows;
    };
    addMemberButton = new QPushButton(QStringLiteral("<< Add"), groupPane);
    removeMemberButton = new QPushButton(QStringLiteral("Remove >>"), groupPane);
    connect(addMemberButton, &QPushButton::clicked, this,
            [this, selectedRows] { m_group->addRows(selectedRows(candidatesView)); });
    connect(removeMemberButton, &QPushButton::clicked, this,
            [this, selectedRows] { m_group->removeRows(selectedRows(membersView)); });
    connect(candidatesView, &QListView::doubleClicked, this,
            [this](const QModelIndex &i) { m_group->addRows({i.row()}); });
    connect(membersView, &QListView::doubleClicked, this,
            [this](const QModelIndex &i) { m_group->removeRows({i.row()}); });
    auto *memberBox = new QVBoxLayout;
    memberBox->addWidget(new QLabel(QStringLiteral("Members"), groupPane));
    memberBox->addWidget(membersView);
    auto *mid = new QVBoxLayout;
    mid->addStretch(1);
    mid->addWidget(addMemberButton);
    mid->addWidget(removeMemberButton);
    mid->addStretch(1);
    auto *candBox = new QVBoxLayout;
    candBox->addWidget(new QLabel(QStringLiteral("Destinations"), groupPane));
    candBox->addWidget(candidatesView);
    g->addLayout(memberBox, 1);
    g->addLayout(mid);
    g->addLayout(candBox, 1);
    groupPane->hide();
}

void DestinationsWindow::buildEmail(QWidget *parent, QLayout *into)
{
    m_emails = new DestEmails(this);
    recipientsView = new QTableView(parent);
    recipientsView->setModel(m_emails);
    recipientsView->horizontalHeader()->hide();
    recipientsView->verticalHeader()->hide();
    recipientsView->horizontalHeader()->setStretchLastSection(true);
    recipientsView->setMinimumHeight(70);
    recipientsView->setMaximumHeight(110);
    recipientsView->setSelectionBehavior(QAbstractItemView::SelectRows);
    addRecipientButton = new QPushButton(QStringLiteral("+"), parent);
    removeRecipientButton = new QPushButton(QStringLiteral("-"), parent);
    connect(addRecipientButton, &QPushButton::clicked, this, [this] {
        const int r = m_emails->addRow(recipientsView->currentIndex().row());
        const QModelIndex cell = m_emails->index(r, DestEmails::EmailColumn);
        recipientsView->setCurrentIndex(cell);
        recipientsView->edit(cell);
    });
    connect(removeRecipientButton, &QPushButton::clicked, this, [this] {
        recipientsView->setCurrentIndex(recipientsView->currentIndex()); // ends an edit
        m_emails->removeRow(recipientsView->currentIndex().row());
    });
    connect(m_emails, &DestEmails::edited, this, [this] {
        const QVariantList rows = m_emails->items();
        edit([&](QVariantMap &r) {
            if (rows.isEmpty())
                r.remove(QStringLiteral("emails"));
            else
                r.insert(QStringLiteral("emails"), rows);
        });
        refreshPreview();
    });
    templatePopup = new QComboBox(parent);
    connect(templatePopup, &QComboBox::activated, this, [this](int index) {
        const QString manage = QStringLiteral("Manage Templates...");
        const QVariantList templates =
            plist::readFile(paths::appFile(QStringLiteral("EmailTemplates.xml"))).toList();
        if (templatePopup->itemText(index) == manage) {
            // The menu keeps showing the record's template.
            if (row() >= 0)
                fillTemplatePopup(m_store.items()[row()]);
            if (manageTemplates)
                manageTemplates();
            return;
        }
        const QString name = templatePopup->itemText(index);
        edit([&](QVariantMap &r) { rules::chooseTemplate(r, templates, name); });
        if (row() >= 0)
            m_store.writeDestination(m_store.items()[row()]);
        refreshPreview();
    });
    previewButton = new QPushButton(QStringLiteral("Preview"), parent);
    previewWindow = new QWidget(this, Qt::Window);
    previewWindow->setWindowTitle(QStringLiteral("Preview"));
    auto *pf = new QFormLayout(previewWindow);
    previewTo = new QLineEdit(previewWindow);
    previewCc = new QLineEdit(previewWindow);
    previewBcc = new QLineEdit(previewWindow);
    previewSubject = new QLineEdit(previewWindow);
    previewBody = new QPlainTextEdit(previewWindow);
    for (QLineEdit *f : {previewTo, previewCc, previewBcc, previewSubject})
        f->setReadOnly(true);
    previewBody->setReadOnly(true);
    pf->addRow(QStringLiteral("To:"), previewTo);
    pf->addRow(QStringLiteral("Cc:"), previewCc);
    pf->addRow(QStringLiteral("Bcc:"), previewBcc);
    pf->addRow(QStringLiteral("Subject:"), previewSubject);
    pf->addRow(previewBody);
    previewWindow->resize(520, 420);
    connect(previewButton, &QPushButton::clicked, this, [this] {
        if (previewWindow->isVisible()) {
            previewWindow->hide();
            return;
        }
        refreshPreview();
        previewWindow->show();
    });
    auto *top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Template:"), parent));
    top->addWidget(templatePopup, 1);
    top->addWidget(previewButton);
    top->addWidget(addRecipientButton);
    top->addWidget(removeRecipientButton);
    into->addItem(top);
    into->addWidget(recipientsView);
}

void DestinationsWindow::fillTemplatePopup(const QVariantMap &record)
{
    const QStringList names = rules::templateMenuNames(
        plist::readFile(paths::appFile(QStringLiteral("EmailTemplates.xml"))).toList());
    templatePopup->clear();
    templatePopup->addItems(names);
    templatePopup->insertSeparator(templatePopup->count());
    templatePopup->addItem(QStringLiteral("Manage Templates..."));
    const QString chosen = recString(record, dk::QFEmailTemplate);
    templatePopup->setCurrentIndex(names.contains(chosen)
                                       ? int(names.indexOf(chosen))
                                       : int(names.indexOf(kDefaultTemplateName)));
}

void DestinationsWindow::fillTagControls(const QVariantMap &record)
{
    const rules::TagControls shown = rules::tagControls(record);
    QList<rules::TagEntry> entries = rules::tagList();
    // A tag the list does not offer (set elsewhere) still shows and stays.
    if (std::none_of(entries.cbegin(), entries.cend(),
                     [&](const rules::TagEntry &t) { return t.name == shown.tag; }))
        entries.append({shown.tag, shown.image});
    tagPopup->clear();
    for (const rules::TagEntry &t : entries)
        tagPopup->addItem(tagIcon(t.image), t.name, t.image);
    tagPopup->setCurrentIndex(tagPopup->findText(shown.tag));
    tagApplyBox->setChecked(shown.applyOn);
    tagPopup->setEnabled(shown.menuEnabled);
}

void DestinationsWindow::showHelp(const QString &title, const QString &html)
{
    if (!helpPanel) {
        helpPanel = new QWidget(this, Qt::Window);
        auto *layout = new QVBoxLayout(helpPanel);
        helpText = new QTextBrowser(helpPanel);
        helpText->setOpenExternalLinks(true);
        layout->addWidget(helpText);
        helpPanel->resize(460, 340);
    }
    helpPanel->setWindowTitle(title);
    helpText->setHtml(html);
    helpPanel->show();
    helpPanel->raise();
}

void DestinationsWindow::openDestinations()
{
    const QString dir = m_store.dir();
    // Made at start-up; made again should it have been removed since.
    QDir().mkpath(dir);
    if (!openInFileBrowser(dir))
        m_alerter.alert({QStringLiteral("Folder could not be opened"), QString()});
}

void DestinationsWindow::refreshPreview()
{
    const int r = row();
    if (r < 0 || recBool(m_store.items()[r], dk::isGroup))
        return;
    const QVariantMap rec = m_store.items()[r];
    const QVariantMap tpl = EmailSettings::templateNamed(
        plist::readFile(paths::appFile(QStringLiteral("EmailTemplates.xml"))).toList(),
        templatePopup->currentText());
    const rules::RecipientPreview p = rules::recipientPreview(
        rec.value(QStringLiteral("emails")).toList(), tpl.value(QStringLiteral("emails")).toList());
    previewTo->setText(p.to);
    previewCc->setText(p.cc);
    previewBcc->setText(p.bcc);
    const PreviewContext ctx{rec, Prefs::decryptPassword(recString(rec, dk::sitePasswordField))};
    previewSubject->setText(
        processTokensFromString(recString(tpl, QStringLiteral("emailSubjectField")), ctx));
    previewBody->setPlainText(
        processTokensFromString(recString(tpl, QStringLiteral("emailBodyField")), ctx));
}

int DestinationsWindow::row() const
{
    return m_store.selectedRow();
}

void DestinationsWindow::edit(const std::function<void(QVariantMap &)> &f)
{
    const int r = row();
    if (m_loading || r < 0)
        return;
    QVariantMap rec = m_store.items()[r];
    f(rec);
    m_editing = true;
    m_store.setItem(r, rec);
    m_editing = false;
}

void DestinationsWindow::updateCount()
{
    const int n = int(m_store.items().size());
    countLabel->setText(QStringLiteral("%1 %2  ").arg(n).arg(
        n < 2 ? QStringLiteral("destination") : QStringLiteral("destinations")));
}

void DestinationsWindow::selectionChanged()
{
    if (m_selectionIsChanging)
        return;
    const QModelIndexList rows = list->selectionModel()->selectedRows();
    const int next = rows.isEmpty() ? -1 : rows.first().row();
    if (next == m_shownRow)
        return;
    m_selectionIsChanging = true;
    // The record being left keeps what was typed, and its password is
    // hidden again unless it was revealed with Alt held.
    if (m_revealed && !m_keepPasswordRevealed)
        setRevealed(false);
    m_store.writeCurrDestination();
    m_store.setSelectedRow(next);
    m_shownRow = next;
    m_selectionIsChanging = false;
    loadRecord();
}

void DestinationsWindow::saveCurrent()
{
    m_store.writeCurrDestination();
}

void DestinationsWindow::selectName(const QString &name)
{
    const int r = m_store.indexOfName(name);
    if (r < 0)
        return;
    list->selectRow(r);
    list->scrollTo(m_model->index(r, DestinationsTableModel::NameColumn));
}

void DestinationsWindow::loadRecord()
{
    const int r = row();
    const bool has = r >= 0 && r < m_store.items().size();
    removeButton->setEnabled(has);
    defaultButton->setEnabled(has);
    duplicateButton->setEnabled(has);
    if (!has) {
        optionsPane->setEnabled(false);
        return;
    }
    m_loading = true;
    const bool first = std::exchange(m_firstTime, false);
    QVariantMap rec = m_store.items()[r];
    // Showing a record checks its hot folder.
    const QString hot = recString(rec, dk::QFHotfolder);
    if (!hot.isEmpty() && recBool(rec, dk::hotfolderNotFound) == QFileInfo(hot).isDir()) {
        if (QFileInfo(hot).isDir())
            rec.remove(dk::hotfolderNotFound);
        else
            rec.insert(dk::hotfolderNotFound, true);
        m_store.setItem(r, rec);
    }
    nameField->setText(recString(rec, dk::name));
    codeField->setText(recString(rec, dk::QFDestCode));
    hotFolderLabel->setText(
        hot.isEmpty() ? QString()
                      : QStringLiteral("<a href=\"%1\">%2</a>")
                            .arg(QUrl::fromLocalFile(hot).toString(), hot.toHtmlEscaped()));
    removeHotFolderButton->setEnabled(!hot.isEmpty());
    const bool group = recBool(rec, dk::isGroup);
    optionsPane->setVisible(!group);
    groupPane->setVisible(group);
    optionsPane->setEnabled(true);
    if (group) {
        m_group->setGroup(rec, m_store.items());
        m_loading = false;
        return;
    }
    typePopup->setCurrentText(destTypeOf(rec));
    hostField->setText(recString(rec, dk::hostField));
    portField->setText(recString(rec, dk::QFPort));
    userField->setText(recString(rec, dk::userField));
    pathField->setText(recString(rec, dk::pathField));
    passwordField->setText(Prefs::decryptPassword(recString(rec, dk::sitePasswordField)));
    clearPasswordField->setText(m_revealed ? passwordField->text() : QString());
    attachSizeField->setText(recInt(rec, QStringLiteral("attachSizeField")) > 0
                                 ? QString::number(recInt(rec, QStringLiteral("attachSizeField")))
                                 : QString());
    subfolderNameField->setText(recString(rec, QStringLiteral("QFSubfolderName")));
    expiryDaysField->setText(recInt(rec, dk::QFExpiryDays) > 0
                                 ? QString::number(recInt(rec, dk::QFExpiryDays))
                                 : QString());
    const QString url = recString(rec, QStringLiteral("QFHttpUrl"));
    httpUrlField->setText(url.isEmpty() ? rules::defaultHttpUrl(rec) : url);
    compressionPopup->setCurrentIndex(recInt(rec, QStringLiteral("QFCompressionMethod")) == 1);
    if (first) {
        // The first record's recipients follow half a second later; until
        // then the list takes no edits, which would replace them.
        m_emails->setItems({});
        for (QWidget *w :
             {static_cast<QWidget *>(recipientsView), static_cast<QWidget *>(addRecipientButton),
              static_cast<QWidget *>(removeRecipientButton)})
            w->setEnabled(false);
        QTimer::singleShot(500, this, [this] {
            const int shown = row();
            if (shown >= 0 && !recBool(m_store.items()[shown], dk::isGroup))
                m_emails->setItems(m_store.items()[shown].value(QStringLiteral("emails")).toList());
            for (QWidget *w : {static_cast<QWidget *>(recipientsView),
                               static_cast<QWidget *>(addRecipientButton),
                               static_cast<QWidget *>(removeRecipientButton)})
                w->setEnabled(true);
        });
    } else {
        m_emails->setItems(rec.value(QStringLiteral("emails")).toList());
    }
    fillTemplatePopup(rec);
    fillTagControls(rec);
    if (previewWindow->isVisible())
        refreshPreview();
    showStates();
    m_loading = false;
}

void DestinationsWindow::showStates()
{
    const int r = row();
    if (r < 0)
        return;
    const QVariantMap &rec = m_store.items()[r];
    const QString type = destTypeOf(rec);
    const rules::OptionStates s = rules::optionStates(rec);
    const rules::FieldLabels labels = rules::labelsFor(type);
    for (QWidget *w : {static_cast<QWidget *>(hostField), static_cast<QWidget *>(portField),
                       static_cast<QWidget *>(userField), static_cast<QWidget *>(passwordField),
                       static_cast<QWidget *>(lockButton), static_cast<QWidget *>(userLabel),
                       static_cast<QWidget *>(passwordLabel)})
        w->setVisible(s.networkFields);
    clearPasswordField->setVisible(s.networkFields && m_revealed);
    passwordField->setVisible(s.networkFields && !m_revealed);
    folderButton->setVisible(!s.networkFields);
    contentsButton->setText(s.networkFields ? QStringLiteral("Show Contents")
                                            : QStringLiteral("Open Folder"));
    hostField->setEnabled(s.hostEnabled);
    portField->setEnabled(s.portEnabled);
    pathLabel->setText(labels.path);
    userLabel->setText(labels.user);
    passwordLabel->setText(labels.password);

    for (auto it = switches.cbegin(); it != switches.cend(); ++it)
        it.value()->setChecked(recInt(rec, it.key()) != 0);
    QCheckBox *folders = switches.value(QStringLiteral("QFCompressFolders"));
    folders->setEnabled(s.folderPackagingEnabled);
    folders->setChecked(s.folderPackagingOn);
    switches.value(dk::monthFolderBtn)->setEnabled(s.monthEnabled);
    compressionPopup->setEnabled(s.compressionEnabled);
    switches.value(QStringLiteral("dmgEncryptBtn"))->setEnabled(s.encryptEnabled);
    diskPasswordButton->setEnabled(s.setDiskPasswordEnabled);
    switches.value(dk::attachBtn)->setEnabled(s.attachEnabled);
    switches.value(QStringLiteral("attachSizeBtn"))->setEnabled(s.attachEnabled);
    attachSizeField->setEnabled(s.attachEnabled);
    subfolderNameField->setEnabled(s.subfolderNameEnabled);
    emailOffIndicator->setVisible(s.emailOffShown);
    suspendedIndicator->setVisible(s.suspendedShown);
    httpUrlField->setEnabled(s.linkFieldEnabled);
    fillLinkButton->setEnabled(s.linkFieldEnabled);
    expiryDaysField->setEnabled(s.expiryDaysEnabled);
    downloadLinkBox->setVisible(s.downloadLinkShown);
    tagBox->setVisible(s.finderTagsShown);
}

bool DestinationsWindow::commitName(int r, const QString &name)
{
    if (r < 0 || r >= m_store.items().size())
        return false;
    if (recString(m_store.items()[r], dk::name) == name)
        return true;
    const bool ok = m_store.renameItem(r, name);
    if (!ok)
        nameField->setText(recString(m_store.items()[r], dk::name));
    return ok;
}

bool DestinationsWindow::commitCode(int r, const QString &code)
{
    if (r < 0 || r >= m_store.items().size())
        return false;
    if (recString(m_store.items()[r], dk::QFDestCode) == code)
        return true;
    if (const std::optional<Alert> a = rules::codeAlert(code, m_store.items(), r)) {
        m_alerter.alert(*a);
        return false;
    }
    QVariantMap rec = m_store.items()[r];
    rec.insert(dk::QFDestCode, code);
    m_store.setItem(r, rec);
    m_store.writeDestination(rec);
    return true;
}

void DestinationsWindow::addRow(int kind)
{
    m_store.writeCurrDestination();
    QVariantMap rec;
    QString name;
    if (kind == NewGroup) {
        rec = DestinationsEditor::newGroupItem();
        rec.insert(dk::QFDestCode, QString());
        name = m_store.freeName(QStringLiteral("Destination Group"), 1);
    } else if (kind == Duplicate && row() >= 0) {
        const QString source = recString(m_store.items()[row()], dk::name);
        rec = m_store.destDictForName(source);
        if (rec.isEmpty())
            rec = m_store.items()[row()];
        rec.remove(dk::QFHotfolder);
        rec.remove(dk::hotfolderNotFound);
        rec.remove(dk::QFDestCode);
        rec.insert(QStringLiteral("code"), QString());
        name = m_store.freeName(source, 2);
    } else {
        rec = m_store.newItem();
        name = m_store.freeName(QStringLiteral("Destination"), 1);
    }
    if (name.isEmpty())
        return;
    rec.insert(dk::isDefault, false);
    rec.insert(dk::name, name);
    const int r = m_store.addItem(rec);
    if (r >= 0) {
        selectName(name);
        loadRecord();
    }
}

void DestinationsWindow::removeRow()
{
    const int r = row();
    // A cell editor open in the list: the edit is not committed yet.
    const auto *cellEditor = list->viewport()->findChild<QLineEdit *>();
    if (r < 0 || (cellEditor && cellEditor->isVisible())) {
        m_alerter.beep();
        return;
    }
    if (!(modifiers() & Qt::AltModifier)) {
        const int chosen = m_alerter.alert(
            {QStringLiteral("Do you really want to delete the selected destination?"),
             QStringLiteral("Destination hot folder with all files inside will be also "
                            "deleted.\r\rNote: To bypass this warning, hold the Option key when "
                            "deleting a destination."),
             {QStringLiteral("Delete"), QStringLiteral("Cancel")},
             Alert::Style::Warning,
             1});
        if (chosen != 0)
            return;
    }
    const QString hot = recString(m_store.items()[r], dk::QFHotfolder);
    m_store.deleteItem(r);
    if (!hot.isEmpty() && QFileInfo(hot).isDir())
        m_alerter.alert({QStringLiteral("Could not remove hot folder"),
                         QStringLiteral("Please remove the hot folder manually.\n\nError: %1 "
                                        "could not be deleted.")
                             .arg(hot)});
    const int next = m_store.items().isEmpty() ? -1 : qMax(0, r - 1);
    m_store.setSelectedRow(next);
    m_shownRow = -1;
    if (next >= 0)
        list->selectRow(next);
    loadRecord();
    updateCount();
}

void DestinationsWindow::chooseHotFolder()
{
    const int r = row();
    if (r < 0)
        return;
    const QString parent =
        chooseFolder(QStringLiteral("Create hot folder in the selected folder:"),
                     QStringLiteral("Choose Location"), QStringLiteral("Create Hot Folder"));
    if (parent.isEmpty())
        return;
    const QString name = recString(m_store.items()[r], dk::name);
    QString error;
    if (!rules::createHotFolder(parent, name, &error)) {
        m_alerter.beep();
        m_alerter.alert(rules::hotFolderNotCreatedAlert(error));
        return;
    }
    edit([&](QVariantMap &rec) {
        rec.insert(dk::QFHotfolder, QDir::cleanPath(parent + QLatin1Char('/') + name));
        rec.remove(dk::hotfolderNotFound);
    });
    loadRecord();
}

void DestinationsWindow::createAllHotFolders()
{
    const QString parent = chooseFolder(
        QStringLiteral("Choose folder in which hot folders for all destinations will be created:"),
        QStringLiteral("Choose Folder"), QStringLiteral("Choose"));
    if (parent.isEmpty())
        return;
    QStringList errors;
    for (int i = 0; i < m_store.items().size(); ++i) {
        QVariantMap rec = m_store.items()[i];
        const QString name = recString(rec, dk::name);
        QString error;
        if (!rules::createHotFolder(parent, name, &error)) {
            errors.append(error);
            continue;
        }
        rec.insert(dk::QFHotfolder, QDir::cleanPath(parent + QLatin1Char('/') + name));
        rec.remove(dk::hotfolderNotFound);
        m_store.setItem(i, rec);
        m_store.writeDestination(rec);
    }
    if (!errors.isEmpty()) {
        showErrors(errors.join(QStringLiteral("\n\n\n")));
        m_alerter.beep();
        m_alerter.alert({QStringLiteral("Some errors occurred while creating hot folders"),
                         QStringLiteral("Please see the Errors panel for details.")});
    }
    loadRecord();
}

void DestinationsWindow::removeHotFolder()
{
    const int r = row();
    if (r < 0)
        return;
    const int chosen =
        m_alerter.alert({QStringLiteral("Do you really want to delete the hot folder?"),
                         QStringLiteral("The hot folder will be deleted and destination will not "
                                        "be watched."),
                         {QStringLiteral("Remove"), QStringLiteral("Cancel")},
                         Alert::Style::Warning,
                         1});
    if (chosen != 0)
        return;
    const QVariantMap rec = m_store.items()[r];
    const QString hot = recString(rec, dk::QFHotfolder);
    if (!recBool(rec, dk::hotfolderNotFound) && QFileInfo(hot).isDir() &&
        !QDir(hot).removeRecursively()) {
        m_alerter.alert(
            {QStringLiteral("Error"), QStringLiteral("Could not delete folder: %1").arg(hot)});
        return;
    }
    edit([](QVariantMap &rec) {
        rec.remove(dk::QFHotfolder);
        rec.remove(dk::hotfolderNotFound);
    });
    loadRecord();
}

void DestinationsWindow::setRevealed(bool revealed)
{
    if (revealed)
        clearPasswordField->setText(passwordField->text());
    else
        passwordField->setText(clearPasswordField->text());
    m_revealed = revealed;
    lockButton->setText(revealed ? QStringLiteral("Hide") : QStringLiteral("Show"));
    showStates();
}

void DestinationsWindow::togglePassword()
{
    m_keepPasswordRevealed = bool(modifiers() & Qt::AltModifier);
    if (m_revealed) {
        setRevealed(false);
        return;
    }
    authenticate([this](bool granted, const QString &whyNot) {
        if (granted) {
            setRevealed(true);
        } else if (!whyNot.isEmpty()) {
            m_alerter.alert({QStringLiteral("Error"), whyNot});
        }
    });
}

bool DestinationsWindow::setDiskPassword(const QString &password, const QString &confirmation)
{
    if (password != confirmation) {
        m_alerter.alert(
            {QStringLiteral("The Password and Confirm Password fields don't match"), QString()});
        return false;
    }
    const QString scrambled = password.isEmpty() ? QString() : Prefs::encryptPassword(password);
    edit([&](QVariantMap &r) { r.insert(dk::diskPasswordField, scrambled); });
    return true;
}

void DestinationsWindow::openDiskPasswordDialog()
{
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Disk Image Password"));
    auto *form = new QFormLayout(&dialog);
    auto *pw = new QLineEdit(&dialog);
    auto *conf = new QLineEdit(&dialog);
    pw->setEchoMode(QLineEdit::Password);
    conf->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("Password:"), pw);
    form->addRow(QStringLiteral("Confirm Password:"), conf);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
        if (setDiskPassword(pw->text(), conf->text()))
            dialog.accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    dialog.exec();
}

DestinationChooser::DestinationChooser(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Choose Destination"));
    list = new QListWidget(this);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    for (const QVariant &v :
         plist::readFile(paths::appFile(QStringLiteral("Destinations.xml"))).toList()) {
        const QVariantMap rec = v.toMap();
        auto *item = new QListWidgetItem(typeIcon(rec), recString(rec, dk::name), list);
        if (recBool(rec, dk::isDefault))
            item->setForeground(Qt::red);
    }
    const qint64 stored = settings::intValue(keys::selectedListRow);
    if (list->count() > 0)
        list->setCurrentRow(stored >= 0 && stored < list->count() ? int(stored) : 0);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        settings::setValue(keys::selectedListRow, list->currentRow());
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list, &QListWidget::itemDoubleClicked, buttons,
            [buttons] { Q_EMIT buttons->accepted(); });
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(list);
    layout->addWidget(buttons);
}

QStringList DestinationChooser::selectedDestinations() const
{
    QStringList names;
    for (const QListWidgetItem *item : list->selectedItems())
        names.append(item->text());
    return names;
}

QString DestinationChooser::selectedName() const
{
    return list->currentItem() ? list->currentItem()->text() : QString();
}

} // namespace pv
