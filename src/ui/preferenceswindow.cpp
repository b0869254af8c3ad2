#include "ui/preferenceswindow.h"

#include "app/appcontroller.h"
#include "app/userinterface.h"
#include "core/alerter.h"
#include "core/settings.h"
#include "destinations/destinationrules.h"
#include "records/senttable.h"
#include "ui/destinationswindow.h"
#include "ui/templateswindow.h"
#include "ui/windowstate.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QVBoxLayout>

namespace pv {

namespace {
const QString kStateKey = QStringLiteral("preferencesWindow");

/// Rewrites a numeric field as its integer value while it is typed in.
void makeNumeric(QLineEdit *field)
{
    QObject::connect(field, &QLineEdit::textEdited, field, [field](const QString &text) {
        const QString shown = Prefs::numericFieldText(text);
        if (shown != text)
            field->setText(shown);
    });
}
} // namespace

PreferencesWindow::PreferencesWindow(Alerter &alerter, QWidget *parent)
    : QWidget(parent, Qt::Window), m_alerter(alerter), m_sounds(soundNames())
{
    setWindowTitle(QStringLiteral("Preferences"));
    chooseFolder = [this](const QString &message, const QString &title, const QString &button) {
        QFileDialog dialog(this, title);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setLabelText(QFileDialog::Accept, button);
        if (!message.isEmpty())
            dialog.setLabelText(QFileDialog::LookIn, message);
        return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
    };
    playSound = playSoundNamed;

    watchIntervalField = new QLineEdit(this);
    throttleUploadsBox =
        new QCheckBox(QStringLiteral("Limit uploads to (bytes per second):"), this);
    throttleUploadsField = new QLineEdit(this);
    throttleDownloadsBox =
        new QCheckBox(QStringLiteral("Limit downloads to (bytes per second):"), this);
    throttleDownloadsField = new QLineEdit(this);
    for (QLineEdit *f : {watchIntervalField, throttleUploadsField, throttleDownloadsField})
        makeNumeric(f);
    for (QCheckBox *b : {throttleUploadsBox, throttleDownloadsBox})
        connect(b, &QCheckBox::toggled, this, &PreferencesWindow::showStates);

    auto *general = new QGroupBox(QStringLiteral("Hot Folders and Transfers"), this);
    auto *generalForm = new QFormLayout(general);
    generalForm->addRow(QStringLiteral("Check hot folders every (seconds):"), watchIntervalField);
    generalForm->addRow(throttleUploadsBox, throttleUploadsField);
    generalForm->addRow(throttleDownloadsBox, throttleDownloadsField);

    recentItemsPopup = new QComboBox(this);
    recentItemsPopup->addItems(Prefs::recentItemsChoices());
    generalForm->addRow(QStringLiteral("Processed files to keep:"), recentItemsPopup);

    auto *codes = new QGroupBox(QStringLiteral("Destination Codes"), this);
    enableDestCodesBox = new QCheckBox(QStringLiteral("Enable destination codes"), codes);
    codeHotfolderField = new QLineEdit(codes);
    codeHotfolderField->setReadOnly(true);
    chooseHotFolderButton = new QPushButton(QStringLiteral("Create Hot Folder..."), codes);
    removeHotFolderButton = new QPushButton(QStringLiteral("Remove"), codes);
    connect(enableDestCodesBox, &QCheckBox::toggled, this, &PreferencesWindow::showStates);
    connect(chooseHotFolderButton, &QPushButton::clicked, this,
            &PreferencesWindow::chooseHotFolder);
    connect(removeHotFolderButton, &QPushButton::clicked, this,
            &PreferencesWindow::removeHotfolder);
    auto *codesBox = new QVBoxLayout(codes);
    codesBox->addWidget(enableDestCodesBox);
    auto *codeRow = new QHBoxLayout;
    codeRow->addWidget(new QLabel(QStringLiteral("Code-based hot folder:"), codes));
    codeRow->addWidget(codeHotfolderField, 1);
    codeRow->addWidget(chooseHotFolderButton);
    codeRow->addWidget(removeHotFolderButton);
    codesBox->addLayout(codeRow);

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setDefault(true);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    connect(okButton, &QPushButton::clicked, this, &PreferencesWindow::okBtn);
    connect(cancelButton, &QPushButton::clicked, this, &QWidget::hide);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cancelButton);
    buttons->addWidget(okButton);

    auto *outcomes = new QHBoxLayout;
    outcomes->addWidget(buildOutcome(success, false));
    outcomes->addWidget(buildOutcome(errors, true));
    auto *all = new QVBoxLayout(this);
    all->addWidget(general);
    all->addLayout(outcomes);
    all->addWidget(codes);
    all->addStretch(1);
    all->addLayout(buttons);
    loadPrefs();
}

QWidget *PreferencesWindow::buildOutcome(OutcomeControls &c, bool isError)
{
    auto *box = new QGroupBox(isError ? QStringLiteral("After a Failed Delivery")
                                      : QStringLiteral("After a Successful Delivery"),
                              this);
    c.choice = new QButtonGroup(box);
    const QString sub = isError ? QStringLiteral("Errors") : QStringLiteral("Done");
    auto *layout = new QVBoxLayout(box);
    const QList<std::pair<int, QString>> rows{
        {0, QStringLiteral("Move to the \"%1\" folder of the hot folder").arg(sub)},
        {1, QStringLiteral("Move to this folder:")},
        {4, QStringLiteral("Delete")}};
    for (const auto &[id, title] : rows) {
        auto *radio = new QRadioButton(title, box);
        c.choice->addButton(radio, id);
        layout->addWidget(radio);
        if (id == 1) {
            c.folderField = new QLineEdit(box);
            c.folderField->setReadOnly(true);
            c.folderButton = new QPushButton(QStringLiteral("Choose..."), box);
            auto *folderRow = new QHBoxLayout;
            folderRow->addSpacing(20);
            folderRow->addWidget(c.folderField, 1);
            folderRow->addWidget(c.folderButton);
            layout->addLayout(folderRow);
            c.subfoldersBox =
                new QCheckBox(QStringLiteral("Create a subfolder for each destination"), box);
            auto *subRow = new QHBoxLayout;
            subRow->addSpacing(20);
            subRow->addWidget(c.subfoldersBox);
            layout->addLayout(subRow);
        }
    }
    c.playBox = new QCheckBox(QStringLiteral("Play sound:"), box);
    c.soundPopup = new QComboBox(box);
    c.soundPopup->addItems(m_sounds);
    auto *soundRow = new QHBoxLayout;
    soundRow->addWidget(c.playBox);
    soundRow->addWidget(c.soundPopup, 1);
    layout->addLayout(soundRow);

    connect(c.choice, &QButtonGroup::idToggled, this, &PreferencesWindow::showStates);
    connect(c.playBox, &QCheckBox::toggled, this, &PreferencesWindow::showStates);
    QLineEdit *field = c.folderField;
    connect(c.folderButton, &QPushButton::clicked, this, [this, field] {
        const QString dir =
            chooseFolder(QString(), QStringLiteral("Choose Folder"), QStringLiteral("Choose"));
        if (!dir.isEmpty())
            field->setText(QDir::cleanPath(dir));
    });
    const QString soundKey = isError ? keys::soundErrPopup : keys::soundSuccPopup;
    connect(c.soundPopup, &QComboBox::activated, this, [this, soundKey, popup = c.soundPopup] {
        // The sound choice is kept at once, without OK.
        settings::setValue(soundKey, popup->currentText());
        if (playSound)
            playSound(popup->currentText());
    });
    return box;
}

void PreferencesWindow::showStates()
{
    throttleUploadsField->setEnabled(throttleUploadsBox->isChecked());
    throttleDownloadsField->setEnabled(throttleDownloadsBox->isChecked());
    for (OutcomeControls *c : {&success, &errors}) {
        const bool toFolder = c->choice->checkedId() == 1;
        c->folderField->setEnabled(toFolder);
        c->folderButton->setEnabled(toFolder);
        c->subfoldersBox->setEnabled(toFolder);
        c->soundPopup->setEnabled(c->playBox->isChecked());
    }
    const bool codes = enableDestCodesBox->isChecked();
    codeHotfolderField->setEnabled(codes);
    chooseHotFolderButton->setEnabled(codes);
    removeHotFolderButton->setEnabled(codes);
}

void PreferencesWindow::loadPrefs()
{
    m_sounds = soundNames();
    const PrefsValues v = Prefs::loadPrefs(m_sounds);
    watchIntervalField->setText(QString::number(v.watchInterval));
    throttleUploadsBox->setChecked(v.throttleUploads);
    throttleUploadsField->setText(
        v.throttleUploadsSpeed > 0 ? QString::number(v.throttleUploadsSpeed) : QString());
    throttleDownloadsBox->setChecked(v.throttleDownloads);
    throttleDownloadsField->setText(
        v.throttleDownloadsSpeed > 0 ? QString::number(v.throttleDownloadsSpeed) : QString());
    for (auto [c, o] : {std::pair{&success, &v.success}, std::pair{&errors, &v.errors}}) {
        QAbstractButton *row = c->choice->button(o->move);
        (row ? row : c->choice->button(0))->setChecked(true);
        c->folderField->setText(o->folder);
        c->subfoldersBox->setChecked(o->subfolders);
        c->playBox->setChecked(o->play);
        c->soundPopup->clear();
        c->soundPopup->addItems(m_sounds);
        c->soundPopup->setCurrentText(o->sound);
    }
    // A value set by hand that is not an entry stays what it is.
    if (recentItemsPopup->findText(v.recentItems) < 0)
        recentItemsPopup->addItem(v.recentItems);
    recentItemsPopup->setCurrentText(v.recentItems);
    enableDestCodesBox->setChecked(v.enableDestCodes);
    codeHotfolderField->setText(v.codeBasedHotfolder);
    showStates();
}

PrefsValues PreferencesWindow::shownValues() const
{
    PrefsValues v;
    v.watchInterval = watchIntervalField->text().toLongLong();
    v.throttleUploads = throttleUploadsBox->isChecked();
    v.throttleUploadsSpeed = throttleUploadsField->text().toLongLong();
    v.throttleDownloads = throttleDownloadsBox->isChecked();
    v.throttleDownloadsSpeed = throttleDownloadsField->text().toLongLong();
    for (auto [c, o] : {std::pair{&success, &v.success}, std::pair{&errors, &v.errors}}) {
        o->move = std::max(c->choice->checkedId(), 0);
        o->folder = c->folderField->text();
        o->subfolders = c->subfoldersBox->isChecked();
        o->play = c->playBox->isChecked();
        o->sound = c->soundPopup->currentText();
    }
    v.recentItems = recentItemsPopup->currentText();
    v.enableDestCodes = enableDestCodesBox->isChecked();
    v.codeBasedHotfolder = codeHotfolderField->text();
    return v;
}

bool PreferencesWindow::okBtn()
{
    PrefsValues v = shownValues();
    if (const QString problem = Prefs::okProblem(v); !problem.isEmpty()) {
        m_alerter.alert({problem, QString()});
        return false;
    }
    const qint64 limit = Prefs::writePrefs(v);
    watchIntervalField->setText(QString::number(v.watchInterval));
    if (limit > 0 && cutSentList)
        cutSentList(limit);
    // The destinations window shows the code column only while codes are on.
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *dest = qobject_cast<DestinationsWindow *>(w)) {
            dest->list->setColumnHidden(DestinationsTableModel::CodeColumn, !v.enableDestCodes);
            dest->codeField->setEnabled(v.enableDestCodes);
        }
    }
    hide();
    return true;
}

void PreferencesWindow::hideEvent(QHideEvent *event)
{
    // OK, Cancel and the window's close button all end here.
    saveWindowState(this, kStateKey);
    QWidget::hideEvent(event);
}

void PreferencesWindow::chooseHotFolder()
{
    const QString parent =
        chooseFolder(QStringLiteral("Create hot folder in the selected folder:"),
                     QStringLiteral("Choose Location"), QStringLiteral("Create Hot Folder"));
    if (parent.isEmpty())
        return;
    const QString name = Prefs::nameOfCodeBasedDeliveryHotFolder();
    QString error;
    if (!rules::createHotFolder(parent, name, &error)) {
        m_alerter.beep();
        Alert a = rules::hotFolderNotCreatedAlert(error);
        a.style = Alert::Style::Critical;
        m_alerter.alert(a);
        return;
    }
    codeHotfolderField->setText(QDir::cleanPath(parent + QLatin1Char('/') + name));
}

void PreferencesWindow::removeHotfolder()
{
    const QString path = codeHotfolderField->text();
    if (path.isEmpty()) {
        m_alerter.beep();
        return;
    }
    const int chosen =
        m_alerter.alert({QStringLiteral("Do you really want to delete the hot folder?"),
                         QString(),
                         {QStringLiteral("Delete"), QStringLiteral("Cancel")},
                         Alert::Style::Warning,
                         1});
    if (chosen != 0)
        return;
    if (const QString error = Prefs::removeHotfolder(path); !error.isEmpty()) {
        m_alerter.alert(
            {QStringLiteral("Error"), error, {QStringLiteral("OK")}, Alert::Style::Critical});
        return;
    }
    codeHotfolderField->clear();
}

void showPreferencesWindow(QWidget *parent)
{
    static QPointer<PreferencesWindow> window;
    AppController *controller = settingsWindowsController();
    if (!controller)
        return;
    if (!window) {
        window = new PreferencesWindow(controller->ui(), parent);
        window->cutSentList = [controller](qint64 n) {
            if (controller->sent().count() > n)
                controller->sent().adjustNumberOfRecentTo(n);
        };
        restoreWindowState(window, kStateKey);
    } else if (window->isHidden()) {
        window->loadPrefs();
    }
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace pv
