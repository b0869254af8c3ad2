// The templates and preferences windows under the offscreen platform, driven
// through their controls.

#include "common/fixtures.h"
#include "common/recordingui.h"
#include "common/testenv.h"
#include "core/paths.h"
#include "core/plist.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "destinations/destinationseditor.h"
#include "notify/emailsettings.h"
#include "notify/notifykeys.h"
#include "prefs/prefs.h"
#include "ui/preferenceswindow.h"
#include "ui/templateswindow.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextLayout>

#include <memory>

using namespace pv;

namespace {
QVariantMap tpl(const QString &name, qint64 id)
{
    QVariantMap t = EmailSettings::defaultItem();
    t.insert(tk::name, name);
    t.insert(tk::id, id);
    t.insert(tk::emailFromField, "desk@example.com");
    return t;
}
QVariantMap dest(const QString &name, const QString &templateName, qint64 id)
{
    return {{"name", name},
            {"QFDestType", "Local Folder"},
            {dk::QFEmailTemplate, templateName},
            {dk::QFEmailTemplateId, id}};
}
} // namespace

class TestSettingsWindows : public QObject {
    Q_OBJECT

    std::unique_ptr<pvtest::IsolatedHome> m_home;
    std::unique_ptr<pvtest::RecordingUserInterface> m_ui;
    std::unique_ptr<DestinationsEditor> m_store;
    std::unique_ptr<EmailSettings> m_templates;
    std::unique_ptr<TemplatesWindow> m_win;

    void openTemplates(const QVariantList &templates, const QList<QVariantMap> &dests = {})
    {
        for (const QVariantMap &d : dests)
            pvtest::writeDest(d);
        m_store = std::make_unique<DestinationsEditor>(m_ui.get());
        m_store->load();
        m_templates = std::make_unique<EmailSettings>(m_ui.get());
        m_templates->setItems(templates);
        m_win = std::make_unique<TemplatesWindow>(*m_templates, *m_store, *m_ui);
        m_win->show();
        m_win->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_win.get()));
    }
    QVariantMap shown() const { return m_templates->items().value(m_win->row()).toMap(); }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<pvtest::IsolatedHome>();
        m_ui = std::make_unique<pvtest::RecordingUserInterface>();
    }
    void cleanup()
    {
        m_win.reset();
        m_templates.reset();
        m_store.reset();
    }

    void templateListRules()
    {
        openTemplates(
            {EmailSettings::defaultItem(), tpl("Email Template 1", 1), tpl("Email Template 3", 3)});
        QVERIFY(!(m_win->list->item(0)->flags() & Qt::ItemIsEditable));

        m_win->list->setCurrentRow(1);
        m_win->addButton->click();
        QCOMPARE(m_win->list->currentItem()->text(), "Email Template 2");

        m_win->list->item(1)->setText("Email Template 3");
        QCOMPARE(m_ui->alerts.value(0).title, "Item with this name already exists");
        QCOMPARE(m_win->list->item(1)->text(), "Email Template 1");
    }

    // Destinations follow renamed and deleted templates when the window is
    // confirmed, and also when it is closed; removal selects the row above.
    void destinationsFollowOnOk_data()
    {
        QTest::addColumn<bool>("close");
        QTest::newRow("OK") << false;
        QTest::newRow("closed") << true;
    }
    void destinationsFollowOnOk()
    {
        QFETCH(bool, close);
        openTemplates({EmailSettings::defaultItem(), tpl("Clients", 7), tpl("Press", 8)},
                      {dest("A", "Clients", 7), dest("B", "Press", 8), dest("C", "Press", 9)});
        m_win->list->item(1)->setText("Customers");
        m_win->list->setCurrentRow(2);
        m_win->removeButton->click();
        QCOMPARE(m_win->row(), 1);
        QCOMPARE(pvtest::readDest("A").value(dk::QFEmailTemplate).toString(), "Clients");
        if (close)
            m_win->close();
        else
            m_win->okButton->click();
        QVERIFY(m_win->isHidden());
        QCOMPARE(pvtest::readDest("A").value(dk::QFEmailTemplate).toString(), "Customers");
        QCOMPARE(pvtest::readDest("B").value(dk::QFEmailTemplate).toString(), kDefaultTemplateName);
        QVERIFY(m_templates->changes().isEmpty());
        QCOMPARE(plist::readFile(m_templates->filePath()).toList().size(), 2);
    }

    void fieldsAndTokens()
    {
        openTemplates({EmailSettings::defaultItem(), tpl("Clients", 7)});
        m_win->list->setCurrentRow(1);
        m_win->portField->selectAll();
        QTest::keyClicks(m_win->portField, "587");
        m_win->passwordField->selectAll();
        QTest::keyClicks(m_win->passwordField, "s3cret");
        m_win->securityPopup->setCurrentIndex(2);
        Q_EMIT m_win->securityPopup->activated(2);
        m_win->authenticationBox->setChecked(false);
        QVERIFY(!m_win->userField->isEnabled());
        m_win->bodyField->setPlainText("Hello <FILE NAME>");
        QVariantMap t = shown();
        QCOMPARE(QVariantList({t[tk::emailPortField].toString(), t[tk::emailSSLBtn],
                               t[tk::emailSMTPButton], t[tk::emailBodyField].toString()}),
                 QVariantList({"587", 2, 0, "Hello <FILE NAME>"}));
        QCOMPARE(EmailSettings::smtpPassword(t), "s3cret");

        // Tokens go where the user works, and are coloured.
        const QList<QAction *> actions = m_win->tokenMenu->actions();
        m_win->subjectField->setFocus();
        m_win->subjectField->setText("Sent: ");
        actions[0]->trigger(); // File Name
        QCOMPARE(m_win->subjectField->text(), "Sent: <FILE NAME>");
        QCOMPARE(shown().value(tk::emailSubjectField).toString(), "Sent: <FILE NAME>");

        // A click in the body after the subject sends tokens to the body.
        m_win->bodyField->setPlainText("Host: \nend <nope>");
        m_win->bodyField->setFocus();
        QTextCursor c = m_win->bodyField->textCursor();
        c.setPosition(6);
        m_win->bodyField->setTextCursor(c);
        actions[2]->trigger(); // Host
        QCOMPARE(m_win->subjectField->text(), "Sent: <FILE NAME>");
        QCOMPARE(m_win->bodyField->toPlainText(), "Host: <HOST>\nend <nope>");

        // Only the token is coloured, in the token colour.
        const QTextDocument *doc = m_win->bodyField->document();
        const QList<QTextLayout::FormatRange> first = doc->firstBlock().layout()->formats();
        QCOMPARE(first.size(), 1);
        QCOMPARE(QList<int>({first[0].start, first[0].length}), QList<int>({6, 6}));
        QCOMPARE(first[0].format.foreground().color(),
                 EmailBodyHighlighter::tokenColor(m_win->bodyField->palette()));
        QPalette dark = m_win->palette();
        dark.setColor(QPalette::Base, Qt::black);
        m_win->setPalette(dark);
        QCOMPARE(doc->firstBlock().layout()->formats().value(0).format.foreground().color(),
                 QColor(0x6e, 0xa8, 0xff));

        // An emptied From is refused when it is left and never stored.
        m_win->fromField->setFocus();
        m_win->fromField->selectAll();
        QTest::keyClick(m_win->fromField, Qt::Key_Delete);
        QTest::keyClick(m_win->fromField, Qt::Key_Tab);
        QCOMPARE(m_ui->alerts.value(0).title, "This field cannot be empty");
        QVERIFY(m_win->fromField->hasFocus());
        QCOMPARE(shown().value(tk::emailFromField).toString(), "desk@example.com");

        // Another template shows its own values.
        m_win->list->setCurrentRow(0);
        QCOMPARE(m_win->portField->text(), "25");
        QVERIFY(m_win->authenticationBox->isChecked());
    }

    void preferencesLoadOkWrite()
    {
        QDir().mkpath(m_home->dataHome() + "/sounds");
        QVERIFY(pvtest::putBytes(m_home->dataHome() + "/sounds/zz-test-tone.oga", "x"));
        settings::setValue(keys::moveSuccessful, 1);
        settings::setValue(keys::soundErrPopup, "no such sound");
        PreferencesWindow w(*m_ui);
        QStringList played;
        qint64 cut = -1;
        w.playSound = [&](const QString &name) { played.append(name); };
        w.cutSentList = [&](qint64 n) { cut = n; };
        w.chooseFolder = [&](const QString &, const QString &title, const QString &) {
            return title == "Choose Folder" ? m_home->path() : QString();
        };
        w.show();
        const QStringList sounds = soundNames();
        QCOMPARE(w.errors.soundPopup->currentText(), sounds.value(0));
        QVERIFY(w.success.folderButton->isEnabled());
        QVERIFY(!w.errors.folderButton->isEnabled());

        // Row 1 without a folder keeps the window open and stores nothing.
        w.watchIntervalField->setText("2");
        QVERIFY(!w.okBtn());
        QCOMPARE(m_ui->alerts.value(0).title, "Please specify a success folder");
        QVERIFY(!settings::contains(keys::watchInterval));

        // A sound choice is kept at once and played.
        const int last = int(sounds.size()) - 1;
        w.success.soundPopup->setCurrentIndex(last);
        Q_EMIT w.success.soundPopup->activated(last);
        QCOMPARE(settings::stringValue(keys::soundSuccPopup), sounds.value(last));
        QCOMPARE(played, QStringList{sounds.value(last)});

        w.success.folderButton->click();
        QCOMPARE(w.success.folderField->text(), m_home->path());
        w.errors.choice->button(4)->click();
        w.recentItemsPopup->setCurrentText("20");
        QVERIFY(w.okBtn());
        QVERIFY(w.isHidden());
        QCOMPARE(settings::stringValue(keys::successFolder), m_home->path());
        QCOMPARE(settings::intValue(keys::moveErrors), 4);
        QCOMPARE(cut, 20);

        // Numeric fields show the integer of what is typed.
        w.loadPrefs();
        QCOMPARE(w.errors.choice->checkedId(), 4);
        w.watchIntervalField->clear();
        QTest::keyClicks(w.watchIntervalField, "12x");
        QCOMPARE(w.watchIntervalField->text(), "12");
    }

    void codeBasedHotFolder()
    {
        settings::setValue(keys::useUnderscoresInCodeBasedDeliveryFolderName, true);
        PreferencesWindow w(*m_ui);
        QString parent = m_home->path() + "/missing";
        w.chooseFolder = [&](const QString &, const QString &, const QString &) { return parent; };
        w.enableDestCodesBox->setChecked(true);
        QVERIFY(w.chooseHotFolderButton->isEnabled());

        w.chooseHotFolderButton->click();
        QCOMPARE(m_ui->beeps, 1);
        QCOMPARE(m_ui->alerts.value(0).title, "Hot folder could not be created");
        QVERIFY(w.codeHotfolderField->text().isEmpty());

        parent = m_home->path();
        w.chooseHotFolderButton->click();
        const QString hot = m_home->path() + "/_Code-Based Delivery_";
        QCOMPARE(w.codeHotfolderField->text(), hot);
        QVERIFY(QFileInfo(hot + "/Priority").isDir());
        QVERIFY(w.okBtn());
        QCOMPARE(settings::stringValue(keys::codeBasedHotfolder), hot);

        m_ui->answer = 1; // Cancel
        w.removeHotFolderButton->click();
        QCOMPARE(m_ui->alerts.last().title, "Do you really want to delete the hot folder?");
        QVERIFY(QFileInfo(hot).isDir());
        m_ui->answer = 0; // Delete
        w.removeHotFolderButton->click();
        QVERIFY(!QFileInfo::exists(hot));
        QVERIFY(w.codeHotfolderField->text().isEmpty());
        w.removeHotFolderButton->click();
        QCOMPARE(m_ui->beeps, 2);
    }
};

QTEST_MAIN(TestSettingsWindows)
#include "test_settingswindows.moc"
