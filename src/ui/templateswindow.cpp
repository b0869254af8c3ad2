#include "ui/templateswindow.h"

#include "app/appcontroller.h"
#include "core/alerter.h"
#include "core/record.h"
#include "destinations/destemails.h"
#include "destinations/destination.h"
#include "notify/emailsettings.h"
#include "notify/notifykeys.h"
#include "ui/windowstate.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QTextCursor>
#include <QVBoxLayout>

#include <algorithm>

namespace pv {

namespace {
const QString kStateKey = QStringLiteral("templatesWindow");
AppController *g_controller = nullptr;
} // namespace

QColor EmailBodyHighlighter::tokenColor(const QPalette &palette)
{
    // Pure blue is hard to read on a dark background.
    return palette.color(QPalette::Base).lightness() < 128 ? QColor(0x6e, 0xa8, 0xff)
                                                           : QColor(Qt::blue);
}

EmailBodyHighlighter::EmailBodyHighlighter(QPlainTextEdit *view)
    : QSyntaxHighlighter(view->document()), m_view(view)
{}

void EmailBodyHighlighter::highlightBlock(const QString &text)
{
    const QColor blue = tokenColor(m_view->palette());
    for (const auto &[start, length] : tokenSpans(text))
        setFormat(start, length, blue);
}

TemplatesWindow::TemplatesWindow(EmailSettings &settings, DestinationsEditor &destinations,
                                 Alerter &alerter, QWidget *parent)
    : QWidget(parent, Qt::Window), m_settings(settings), m_destinations(destinations),
      m_alerter(alerter)
{
    setWindowTitle(QStringLiteral("Email Templates"));
    build();
    reload();
}

TemplatesWindow::~TemplatesWindow()
{
    // The fields lose their focus while the children are destroyed: nothing of
    // this window may be called then.
    for (QWidget *w : std::initializer_list<QWidget *>{fromField, subjectField, bodyField}) {
        w->removeEventFilter(this);
        w->disconnect(this);
    }
}

void TemplatesWindow::build()
{
    list = new QListWidget(this);
    list->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    connect(list, &QListWidget::currentRowChanged, this, [this](int r) {
        if (!m_loading)
            selectRow(r);
    });
    connect(list, &QListWidget::itemChanged, this, [this](QListWidgetItem *item) {
        if (!m_loading)
            renamed(list->row(item), item->text());
    });
    addButton = new QPushButton(QStringLiteral("+"), this);
    removeButton = new QPushButton(QStringLiteral("-"), this);
    connect(addButton, &QPushButton::clicked, this, &TemplatesWindow::addRow);
    connect(removeButton, &QPushButton::clicked, this, &TemplatesWindow::removeRow);

    fromField = new QLineEdit(this);
    subjectField = new QLineEdit(this);
    bodyField = new QPlainTextEdit(this);
    bodyField->setTabChangesFocus(true);
    highlighter = new EmailBodyHighlighter(bodyField);
    for (QLineEdit *field : {fromField, subjectField}) {
        const QString key = field == fromField ? tk::emailFromField : tk::emailSubjectField;
        // An empty From or subject is never stored; leaving it empty is refused.
        connect(field, &QLineEdit::textChanged, this, [this, key](const QString &text) {
            if (!text.isEmpty())
                store(key, text);
        });
        connect(field, &QLineEdit::editingFinished, this, [this, field, key] {
            if (!m_loading && row() >= 0 && !m_settings.mayLeaveField(key, field->text()))
                field->setFocus();
        });
        field->installEventFilter(this);
    }
    bodyField->installEventFilter(this);
    connect(bodyField, &QPlainTextEdit::textChanged, this,
            &TemplatesWindow::storeBodyAndRecipients);

    tokenButton = new QPushButton(QStringLiteral("Insert Token"), this);
    // Choosing a token must not take the focus from the field it goes into.
    tokenButton->setFocusPolicy(Qt::NoFocus);
    tokenMenu = new QMenu(tokenButton);
    const QList<TokenMenuEntry> &entries = pv::tokenMenu();
    for (int i = 0; i < entries.size(); ++i)
        tokenMenu->addAction(entries[i].title, this, [this, i] { insertToken(i); });
    tokenButton->setMenu(tokenMenu);

    m_emails = new DestEmails(this);
    recipientsView = new QTableView(this);
    recipientsView->setModel(m_emails);
    recipientsView->horizontalHeader()->hide();
    recipientsView->verticalHeader()->hide();
    recipientsView->horizontalHeader()->setStretchLastSection(true);
    recipientsView->setSelectionBehavior(QAbstractItemView::SelectRows);
    addRecipientButton = new QPushButton(QStringLiteral("+"), this);
    removeRecipientButton = new QPushButton(QStringLiteral("-"), this);
    connect(addRecipientButton, &QPushButton::clicked, this, [this] {
        const int r = m_emails->addRow(recipientsView->currentIndex().row());
        const QModelIndex cell = m_emails->index(r, DestEmails::EmailColumn);
        recipientsView->setCurrentIndex(cell);
        recipientsView->edit(cell);
    });
    connect(removeRecipientButton, &QPushButton::clicked, this,
            [this] { m_emails->removeRow(recipientsView->currentIndex().row()); });
    connect(m_emails, &DestEmails::edited, this, &TemplatesWindow::storeBodyAndRecipients);

    smtpField = new QLineEdit(this);
    portField = new QLineEdit(this);
    userField = new QLineEdit(this);
    passwordField = new QLineEdit(this);
    passwordField->setEchoMode(QLineEdit::Password);
    connect(smtpField, &QLineEdit::textEdited, this,
            [this](const QString &t) { store(tk::emailSMTPField, t); });
    connect(portField, &QLineEdit::textEdited, this,
            [this](const QString &t) { store(tk::emailPortField, t); });
    connect(userField, &QLineEdit::textEdited, this,
            [this](const QString &t) { store(tk::emailUserField, t); });
    connect(passwordField, &QLineEdit::textEdited, this, [this](const QString &t) {
        if (row() >= 0)
            m_settings.setSMTPPassword(row(), t);
    });
    authenticationBox = new QCheckBox(QStringLiteral("Server requires authentication"), this);
    connect(authenticationBox, &QCheckBox::toggled, this, [this](bool on) {
        userField->setEnabled(on);
        passwordField->setEnabled(on);
        store(tk::emailSMTPButton, int(on));
    });
    securityPopup = new QComboBox(this);
    securityPopup->addItems({QStringLiteral("None"), QStringLiteral("SSL"), QStringLiteral("TLS")});
    connect(securityPopup, &QComboBox::activated, this,
            [this](int index) { store(tk::emailSSLBtn, index); });

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &TemplatesWindow::ok);

    auto *listButtons = new QHBoxLayout;
    listButtons->addWidget(addButton);
    listButtons->addWidget(removeButton);
    listButtons->addStretch(1);
    auto *left = new QVBoxLayout;
    left->addWidget(list, 1);
    left->addLayout(listButtons);

    auto *message = new QFormLayout;
    message->addRow(QStringLiteral("From:"), fromField);
    message->addRow(QStringLiteral("Subject:"), subjectField);
    auto *tokenRow = new QHBoxLayout;
    tokenRow->addStretch(1);
    tokenRow->addWidget(tokenButton);
    auto *recipientButtons = new QVBoxLayout;
    recipientButtons->addWidget(addRecipientButton);
    recipientButtons->addWidget(removeRecipientButton);
    recipientButtons->addStretch(1);
    auto *recipients = new QHBoxLayout;
    recipients->addWidget(recipientsView, 1);
    recipients->addLayout(recipientButtons);

    auto *smtp = new QFormLayout;
    smtp->addRow(QStringLiteral("SMTP server:"), smtpField);
    smtp->addRow(QStringLiteral("Port:"), portField);
    smtp->addRow(QString(), authenticationBox);
    smtp->addRow(QStringLiteral("User:"), userField);
    smtp->addRow(QStringLiteral("Password:"), passwordField);
    smtp->addRow(QStringLiteral("Security:"), securityPopup);

    auto *right = new QVBoxLayout;
    right->addLayout(message);
    right->addWidget(bodyField, 3);
    right->addLayout(tokenRow);
    right->addWidget(new QLabel(QStringLiteral("Recipients added to every notification:"), this));
    right->addLayout(recipients, 1);
    right->addLayout(smtp);

    auto *columns = new QHBoxLayout;
    columns->addLayout(left, 1);
    columns->addLayout(right, 3);
    auto *bottom = new QHBoxLayout;
    bottom->addStretch(1);
    bottom->addWidget(okButton);
    auto *all = new QVBoxLayout(this);
    all->addLayout(columns, 1);
    all->addLayout(bottom);
    resize(sizeHint().expandedTo(QSize(760, 560)));
}

int TemplatesWindow::row() const
{
    const int r = list->currentRow();
    return r >= 0 && r < m_settings.items().size() ? r : -1;
}

void TemplatesWindow::reload()
{
    m_loading = true;
    list->clear();
    for (const QVariant &v : m_settings.items()) {
        const QString name = recString(v.toMap(), tk::name);
        auto *item = new QListWidgetItem(name, list);
        // The default template keeps its name.
        if (name != kDefaultTemplateName)
            item->setFlags(item->flags() | Qt::ItemIsEditable);
    }
    m_loading = false;
    selectRow(m_settings.items().isEmpty() ? -1 : 0);
}

void TemplatesWindow::selectRow(int r)
{
    if (list->currentRow() != r) {
        m_loading = true;
        list->setCurrentRow(r);
        m_loading = false;
    }
    m_shownRow = row();
    loadTemplate();
}

void TemplatesWindow::loadTemplate()
{
    m_loading = true;
    const QVariantMap t = row() >= 0 ? m_settings.items()[row()].toMap() : QVariantMap();
    fromField->setText(recString(t, tk::emailFromField));
    subjectField->setText(recString(t, tk::emailSubjectField));
    bodyField->setPlainText(recString(t, tk::emailBodyField));
    m_emails->setItems(t.value(tk::emails).toList());
    smtpField->setText(recString(t, tk::emailSMTPField));
    portField->setText(recString(t, tk::emailPortField));
    userField->setText(recString(t, tk::emailUserField));
    passwordField->setText(EmailSettings::smtpPassword(t));
    const bool auth = recBool(t, tk::emailSMTPButton);
    authenticationBox->setChecked(auth);
    securityPopup->setCurrentIndex(int(std::clamp<qint64>(recInt(t, tk::emailSSLBtn), 0, 2)));
    for (QWidget *w : std::initializer_list<QWidget *>{
             fromField, subjectField, bodyField, recipientsView, addRecipientButton,
             removeRecipientButton, smtpField, portField, authenticationBox, securityPopup,
             tokenButton, removeButton})
        w->setEnabled(!t.isEmpty());
    userField->setEnabled(auth && !t.isEmpty());
    passwordField->setEnabled(auth && !t.isEmpty());
    m_loading = false;
}

void TemplatesWindow::store(const QString &key, const QVariant &value)
{
    if (!m_loading && m_shownRow >= 0)
        m_settings.setField(m_shownRow, key, value);
}

void TemplatesWindow::storeBodyAndRecipients()
{
    store(tk::emailBodyField, bodyField->toPlainText());
    store(tk::emails, m_emails->items());
}

void TemplatesWindow::addRow()
{
    const int added = m_settings.addRow(row());
    reload();
    selectRow(added);
}

void TemplatesWindow::removeRow()
{
    const int r = row();
    if (r < 0)
        return;
    const int next = m_settings.removeRow(r);
    if (next < 0 && m_settings.items().size() > r)
        return; // refused: nothing changed
    reload();
    selectRow(next);
}

void TemplatesWindow::renamed(int r, const QString &name)
{
    if (m_settings.renameRow(r, name))
        return;
    // Refused: the cell shows the stored name again.
    m_loading = true;
    list->item(r)->setText(recString(m_settings.items()[r].toMap(), tk::name));
    m_loading = false;
}

void TemplatesWindow::insertToken(int index)
{
    const QString token = pv::tokenMenu().value(index).token;
    switch (tokenTarget(m_recordedTag, !subjectField->text().isEmpty(), bodyField->hasFocus())) {
    case TokenTarget::TokenField:
        subjectField->insert(token);
        break;
    case TokenTarget::Body:
        bodyField->textCursor().insertText(token);
        break;
    case TokenTarget::None:
        break;
    }
}

bool TemplatesWindow::eventFilter(QObject *watched, QEvent *event)
{
    // The message field clicked last decides where a token goes; the body
    // counts too, so a click there after the subject sends tokens to the body.
    if (watched == bodyField && event->type() == QEvent::PaletteChange)
        highlighter->rehighlight(); // a dark palette takes the lighter blue
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::MouseButtonPress) {
        if (watched == fromField)
            m_recordedTag = kFromTag;
        else if (watched == subjectField)
            m_recordedTag = kTokenFieldTag;
        else if (watched == bodyField)
            m_recordedTag = kBodyTag;
    }
    return QWidget::eventFilter(watched, event);
}

void TemplatesWindow::ok()
{
    QString error;
    if (!m_settings.ok(m_destinations, &error))
        m_alerter.alert({QStringLiteral("Error"), error});
    saveWindowState(this, kStateKey);
    hide();
}

void TemplatesWindow::closeEvent(QCloseEvent *event)
{
    // Closing keeps what was edited: destinations must follow a rename that
    // is already in the list the notifications read.
    ok();
    event->accept();
}

void setSettingsWindowsController(AppController *controller)
{
    g_controller = controller;
}

AppController *settingsWindowsController()
{
    return g_controller;
}

void showTemplatesWindow(QWidget *parent)
{
    static QPointer<TemplatesWindow> window;
    if (!g_controller)
        return;
    if (!window) {
        window = new TemplatesWindow(g_controller->emailSettings(), g_controller->destinations(),
                                     g_controller->ui(), parent);
        window->setAttribute(Qt::WA_DeleteOnClose, false);
        restoreWindowState(window, kStateKey);
    } else if (window->isHidden()) {
        window->reload();
    }
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace pv
