// The destinations window under the offscreen platform, driven as a user
// would: buttons, typing, the type pop-up and the group lists.

#include "common/fixtures.h"
#include "common/recordingui.h"
#include "common/testenv.h"
#include "core/settings.h"
#include "destinations/destinationscommand.h"
#include "destinations/destinationseditor.h"
#include "destinations/groupdestinations.h"
#include "prefs/prefs.h"
#include "ui/destinationswindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QTableView>
#include <QTextBrowser>

#include <memory>

using namespace pv;

namespace {
QVariantMap ftp(const QString &name, const QVariantMap &more = {})
{
    QVariantMap r{{"name", name},    {"QFDestType", "FTP Server"}, {"type", 0}, {"QFPort", "21"},
                  {"sendFTPBtn", 1}, {"sendEmailBtn", 1}};
    r.insert(more);
    return r;
}
} // namespace

class TestDestinationsWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<pvtest::IsolatedHome> m_home;
    std::unique_ptr<pvtest::RecordingUserInterface> m_ui;
    std::unique_ptr<DestinationsEditor> m_store;
    std::unique_ptr<DestinationsWindow> m_win;

    void open(const QList<QVariantMap> &records)
    {
        for (const QVariantMap &r : records)
            pvtest::writeDest(r);
        m_ui = std::make_unique<pvtest::RecordingUserInterface>();
        m_store = std::make_unique<DestinationsEditor>(m_ui.get());
        m_store->load();
        m_store->startup();
        m_win = std::make_unique<DestinationsWindow>(*m_store, *m_ui);
        m_win->modifiers = [] { return Qt::NoModifier; };
        m_win->show();
    }
    QString selectedName() const { return m_store->selectedItem().value("name").toString(); }
    QVariantMap rec(const QString &name) const
    {
        return m_store->items().value(m_store->indexOfName(name));
    }
    QStringList listed() const
    {
        QStringList names;
        for (const QVariantMap &r : m_store->items())
            names.append(r.value("name").toString());
        return names;
    }
    // Picks a pop-up entry as a user would: the choice, then its signal.
    static void choose(QComboBox *popup, const QString &text)
    {
        popup->setCurrentText(text);
        Q_EMIT popup->activated(popup->currentIndex());
    }
    void type(QLineEdit *field, const QString &text)
    {
        field->selectAll();
        QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Return);
    }

private Q_SLOTS:
    void init() { m_home = std::make_unique<pvtest::IsolatedHome>(); }
    void cleanup()
    {
        m_win.reset();
        m_store.reset();
        m_ui.reset();
        m_home.reset();
    }

    // Adding, duplicating and removing (the free names are the store's
    // test), the count, the default in red and re-selection by identity.
    void addDuplicateRemoveAndNames()
    {
        settings::setValue(keys::enableDestCodes, true);
        open({ftp("Proofs", {{"default", true}, {"QFDestCode", "PR"}, {"QFHotfolder", "/hot/P"}}),
              ftp("Proofs 2")});
        QCOMPARE(m_win->countLabel->text(), "2 destinations  ");
        const QModelIndex proofs = m_win->list->model()->index(m_store->indexOfName("Proofs"),
                                                               DestinationsTableModel::NameColumn);
        QCOMPARE(proofs.data(Qt::ForegroundRole).value<QColor>(), QColor(Qt::red));
        QTest::mouseClick(m_win->addButton, Qt::LeftButton);
        QCOMPARE(selectedName(), "Destination 1");
        m_win->selectName("Proofs");
        QTest::mouseClick(m_win->duplicateButton, Qt::LeftButton);
        QCOMPARE(selectedName(), "Proofs 3");
        for (const char *copiedNot : {"QFHotfolder", "QFDestCode", "default"})
            QVERIFY2(!rec("Proofs 3").value(copiedNot).toBool(), copiedNot);

        // A name refused in the name field keeps the old name (the rules
        // themselves are the store's test).
        m_ui->alerts.clear();
        type(m_win->nameField, "Proofs");
        QCOMPARE(m_ui->alerts.value(0).text, "Please choose a different name.");
        QCOMPARE(selectedName(), "Proofs 3");
        // The name cell of the list goes through the same checks.
        QAbstractItemModel *cells = m_win->list->model();
        const QModelIndex cell =
            cells->index(m_store->selectedRow(), DestinationsTableModel::NameColumn);
        QVERIFY(!cells->setData(cell, "x/y"));
        QCOMPARE(m_ui->alerts.last().title, "Error");
        QCOMPARE(selectedName(), "Proofs 3");
        type(m_win->nameField, "Aardvark");
        QCOMPARE(selectedName(), "Aardvark");
        QCOMPARE(m_store->selectedRow(), 0);

        // Codes: what is not a letter or digit vanishes while typing; a
        // code another destination has is refused.
        QTest::keyClicks(m_win->codeField, "a-b");
        QCOMPARE(m_win->codeField->text(), "ab");
        m_ui->alerts.clear();
        type(m_win->codeField, "PR");
        QCOMPARE(m_ui->alerts.value(0).title, "This code already assigned to another destination");
        QCOMPARE(rec("Aardvark").value("QFDestCode").toString(), QString());

        // Removing asks first; Cancel keeps, Alt skips the question; the
        // first row's removal selects the new first row.
        m_ui->answer = 1;
        QTest::mouseClick(m_win->removeButton, Qt::LeftButton);
        QCOMPARE(m_ui->alerts.last().title,
                 "Do you really want to delete the selected destination?");
        QVERIFY(m_store->indexOfName("Aardvark") >= 0);
        m_ui->alerts.clear();
        m_win->modifiers = [] { return Qt::AltModifier; };
        QTest::mouseClick(m_win->removeButton, Qt::LeftButton);
        QVERIFY(m_ui->alerts.isEmpty());
        QCOMPARE(m_store->indexOfName("Aardvark"), -1);
        QCOMPARE(m_store->selectedRow(), 0);
        QCOMPARE(m_win->nameField->text(), m_store->items().first().value("name").toString());
        QCOMPARE(m_win->countLabel->text(), "3 destinations  ");
    }

    // A click on a column header sorts by that column; the selection stays
    // on its record and later insertions follow the chosen order.
    void sortingByColumns()
    {
        const QString hot = m_home->path() + "/hot";
        QDir().mkpath(hot + "/a");
        settings::setValue(keys::enableDestCodes, true);
        open({ftp("a", {{"QFDestCode", "Z1"}, {"QFHotfolder", hot + "/a"}}),
              ftp("B", {{"QFDestType", "SFTP Server"}, {"QFDestCode", "m2"}}),
              ftp("c", {{"QFDestType", "Local Disk"}, {"type", 1}, {"QFHotfolder", hot + "/c"}}),
              ftp("D", {{"QFDestType", "AFP Server"}})});
        m_win->selectName("B");
        QHeaderView *header = m_win->list->horizontalHeader();
        QTest::mouseClick(
            header->viewport(), Qt::LeftButton, {},
            QPoint(header->sectionViewportPosition(DestinationsTableModel::CodeColumn) + 4, 4));
        // Empty codes first, then case-insensitively; ties by name.
        QCOMPARE(listed(), QStringList({"c", "D", "B", "a"}));
        QCOMPARE(selectedName(), "B");
        QCOMPARE(m_win->nameField->text(), "B");
        m_win->list->sortByColumn(DestinationsTableModel::IconColumn, Qt::AscendingOrder);
        QCOMPARE(listed(), QStringList({"D", "a", "c", "B"}));
        m_win->list->sortByColumn(DestinationsTableModel::HotFolderColumn, Qt::DescendingOrder);
        QCOMPARE(listed(), QStringList({"c", "a", "B", "D"})); // missing, present, none
        m_win->list->sortByColumn(DestinationsTableModel::NameColumn, Qt::DescendingOrder);
        QTest::mouseClick(m_win->addButton, Qt::LeftButton);
        QCOMPARE(listed(), QStringList({"Destination 1", "D", "c", "B", "a"}));
        QCOMPARE(m_store->selectedRow(), 0);
    }

    // Field rules, the type pop-up and every option dependency.
    void fieldsTypesAndOptions()
    {
        open({ftp("A"), ftp("B", {{"QFDestType", "SFTP Server"}, {"QFPort", "2222"}})});
        m_win->selectName("B");
        QCOMPARE(m_win->portField->text(), "2222"); // loading keeps the stored port
        m_win->selectName("A");
        choose(m_win->typePopup, "SFTP Server");
        QCOMPARE(rec("A").value("QFPort").toString(), "22");
        QTest::keyClicks(m_win->hostField, "sftp://files.example.com");
        QCOMPARE(rec("A").value("hostField").toString(), "files.example.com");
        m_win->portField->clear();
        QTest::keyClick(m_win->portField, Qt::Key_Return);
        QCOMPARE(rec("A").value("QFPort").toString(), "21");
        QTest::keyClicks(m_win->passwordField, "pw");
        QCOMPARE(Prefs::decryptPassword(rec("A").value("sitePasswordField").toString()), "pw");

        choose(m_win->typePopup, "Amazon S3");
        QCheckBox *folders = m_win->switches["QFCompressFolders"];
        QVERIFY(!m_win->hostField->isEnabled() && m_win->downloadLinkBox->isHidden());
        QVERIFY(!folders->isEnabled() && folders->isChecked());
        choose(m_win->typePopup, "Local Disk");
        QVERIFY(m_win->hostField->isHidden() && !m_win->folderButton->isHidden());
        QCOMPARE(rec("A").value("type").toInt(), 1);

        // The tag of a local destination: off with the first tag shown
        // until switched on; a chosen tag keeps its colour image.
        QVERIFY(!m_win->tagBox->isHidden());
        QVERIFY(!m_win->tagApplyBox->isChecked() && !m_win->tagPopup->isEnabled());
        QTest::mouseClick(m_win->tagApplyBox, Qt::LeftButton);
        QVERIFY(m_win->tagPopup->isEnabled());
        QCOMPARE(rec("A").value("QFFinderTagsDict").toMap(),
                 QVariantMap({{"QFApplyFinderTag", 1}, {"QFFinderTag", "Red"}}));
        choose(m_win->tagPopup, "Green");
        QCOMPARE(rec("A").value("QFFinderTagsDict").toMap(),
                 QVariantMap({{"QFApplyFinderTag", 1},
                              {"QFFinderTag", "Green"},
                              {"QFTagImageName", "tag-green"}}));

        // The month folder goes off with the year folder (that it needs the
        // year folder is the command line's test too).
        QCheckBox *year = m_win->switches["yearFolderBtn"];
        QCheckBox *month = m_win->switches["monthFolderBtn"];
        QTest::mouseClick(year, Qt::LeftButton);
        QTest::mouseClick(month, Qt::LeftButton);
        QTest::mouseClick(year, Qt::LeftButton);
        QVERIFY(!month->isChecked() && !month->isEnabled());
        QCOMPARE(rec("A").value("monthFolderBtn").toInt(), 0);

        QCheckBox *attach = m_win->switches["attachBtn"];
        QTest::mouseClick(attach, Qt::LeftButton);
        QTest::mouseClick(m_win->switches["sendEmailBtn"], Qt::LeftButton);
        QVERIFY(!attach->isEnabled() && !attach->isChecked());
        QVERIFY(!m_win->attachSizeField->isEnabled() && !m_win->subfolderNameField->isEnabled());
        QTest::mouseClick(m_win->switches["QFAttachSubfolder"], Qt::LeftButton);
        QVERIFY(m_win->subfolderNameField->isEnabled());
        QVERIFY(!m_win->emailOffIndicator->isHidden());
        QTest::mouseClick(m_win->switches["sendFTPBtn"], Qt::LeftButton);
        QVERIFY(!m_win->suspendedIndicator->isHidden());

        QVERIFY(!m_win->compressionPopup->isEnabled());
        QTest::mouseClick(m_win->switches["QFCompressFiles"], Qt::LeftButton);
        QVERIFY(m_win->compressionPopup->isEnabled() &&
                !m_win->switches["dmgEncryptBtn"]->isEnabled());
        choose(m_win->compressionPopup, m_win->compressionPopup->itemText(1));
        QTest::mouseClick(m_win->switches["dmgEncryptBtn"], Qt::LeftButton);
        QVERIFY(m_win->diskPasswordButton->isEnabled());
        QVERIFY(!m_win->setDiskPassword("one", "two"));
        QCOMPARE(m_ui->alerts.last().title, "The Password and Confirm Password fields don't match");
        QVERIFY(m_win->setDiskPassword("one", "one"));
        QCOMPARE(Prefs::decryptPassword(rec("A").value("diskPasswordField").toString()), "one");

        QVERIFY(!m_win->expiryDaysField->isEnabled());
        QTest::mouseClick(m_win->switches["QFExpireFiles"], Qt::LeftButton);
        QTest::keyClicks(m_win->expiryDaysField, "1a4");
        QCOMPARE(m_win->expiryDaysField->text(), "14");
        QCOMPARE(rec("A").value("QFExpiryDays").toInt(), 14);

        // Leaving the record writes it.
        m_win->selectName("B");
        QCOMPARE(pvtest::readDest("A").value("QFExpiryDays").toInt(), 14);
        QVERIFY(m_win->tagBox->isHidden());
        m_win->selectName("A");
        QVERIFY(m_win->tagApplyBox->isChecked() && m_win->tagPopup->currentText() == "Green");
    }

    // The template menu, its "Manage Templates..." entry, the recipient
    // list and the preview built from both.
    void templatesRecipientsAndPreview()
    {
        const auto row = [](const QString &kind, const QString &email) {
            return QVariantMap{{"to", kind}, {"email", email}};
        };
        QDir().mkpath(paths::appDir());
        QVERIFY(plist::writeFile(
            paths::appFile("EmailTemplates.xml"),
            QVariantList{
                QVariantMap{{"name", "[Default Template]"}, {"id", 0}},
                QVariantMap{{"name", "Proofs"},
                            {"id", 77},
                            {"emailSubjectField", "For <HOST>: <FILE NAME>"},
                            {"emails", QVariantList{row("To:", "a@x.org"), row("Cc:", "c@x.org"),
                                                    row("Other", "o@x.org")}}}}));
        open({ftp("A", {{"hostField", "h.example"},
                        {"emails", QVariantList{row("To:", "d@x.org"), row("To:", "a@x.org"),
                                                row("Bcc:", "b@x.org")}}}),
              ftp("B", {{"emails", QVariantList{row("Cc:", "e@x.org")}}})});
        // The first record's recipients come half a second late, and the
        // list takes no edits meanwhile; later records' at once.
        QAbstractItemModel *recipients = m_win->recipientsView->model();
        QVERIFY(recipients->rowCount() == 0 && !m_win->addRecipientButton->isEnabled());
        QTRY_COMPARE(recipients->rowCount(), 3);
        QVERIFY(m_win->addRecipientButton->isEnabled());
        m_win->selectName("B");
        QCOMPARE(recipients->rowCount(), 1);
        m_win->selectName("A");
        QComboBox *menu = m_win->templatePopup;
        QCOMPARE(menu->currentText(), "[Default Template]");
        bool managed = false;
        m_win->manageTemplates = [&] { managed = true; };
        Q_EMIT menu->activated(menu->count() - 1);
        QVERIFY(managed);
        QCOMPARE(menu->currentText(), "[Default Template]");
        choose(menu, "Proofs");
        const QVariantMap chosen = pvtest::readDest("A");
        QCOMPARE(chosen.value("QFEmailTemplate").toString() +
                     chosen.value("QFEmailTemplateId").toString(),
                 "Proofs77");

        QTest::mouseClick(m_win->previewButton, Qt::LeftButton);
        QCOMPARE(
            QStringList({m_win->previewTo->text(), m_win->previewCc->text(),
                         m_win->previewBcc->text(), m_win->previewSubject->text()}),
            QStringList({"d@x.org, a@x.org", "c@x.org", "b@x.org", "For h.example: <FILE NAME>"}));

        // A second "+" while the new row has no address adds nothing.
        QTest::mouseClick(m_win->addRecipientButton, Qt::LeftButton);
        QTest::mouseClick(m_win->addRecipientButton, Qt::LeftButton);
        QCOMPARE(rec("A").value("emails").toList().size(), 4);
        QCOMPARE(rec("A").value("emails").toList().last().toMap().value("to").toString(), "To:");
    }

    // Hot folders made and removed, one by one and for all; the password
    // shown only once the system says so; a help panel and the Destinations
    // folder.
    void hotFoldersPasswordHelpAndDestinationsFolder()
    {
        open({ftp("A", {{"sitePasswordField", Prefs::encryptPassword("secret")}})});
        const QString parent = m_home->path() + "/hot";
        QDir().mkpath(parent);
        QString chosen = parent;
        m_win->chooseFolder = [&](auto &&...) { return chosen; };
        QTest::mouseClick(m_win->createHotFolderButton, Qt::LeftButton);
        QVERIFY(QFileInfo(parent + "/A/Priority").isDir() && QFileInfo(parent + "/A/Done").isDir());
        QCOMPARE(rec("A").value("QFHotfolder").toString(), parent + "/A");
        // The hot folder follows the rename (the store's test).
        type(m_win->nameField, "Renamed");
        chosen = parent + "/missing/deeper";
        QTest::mouseClick(m_win->createHotFolderButton, Qt::LeftButton);
        QCOMPARE(m_ui->alerts.last().title, "Hot folder could not be created");
        m_ui->answer = 0;
        QTest::mouseClick(m_win->removeHotFolderButton, Qt::LeftButton);
        QCOMPARE(m_ui->alerts.last().title, "Do you really want to delete the hot folder?");
        QVERIFY(!QFileInfo::exists(parent + "/Renamed"));
        QVERIFY(!rec("Renamed").contains("QFHotfolder"));

        // For all: each record that gets one is written at once; a failure
        // is reported and does not stop the others.
        const QString all = m_home->path() + "/all";
        QDir().mkpath(all);
        QVERIFY(pvtest::makeFile(all + "/Renamed").size() > 0); // a file where the folder goes
        QTest::mouseClick(m_win->addButton, Qt::LeftButton);
        chosen = all;
        QStringList panel;
        m_win->showErrors = [&](const QString &text) { panel.append(text); };
        QTest::mouseClick(m_win->createAllHotFoldersButton, Qt::LeftButton);
        QCOMPARE(m_ui->alerts.last().title, "Some errors occurred while creating hot folders");
        QCOMPARE(panel.size(), 1);
        QVERIFY(panel.first().startsWith(all + "/Renamed"));
        QCOMPARE(pvtest::readDest("Destination 1").value("QFHotfolder").toString(),
                 all + "/Destination 1");
        QVERIFY(QFileInfo(all + "/Destination 1/Priority").isDir());
        QVERIFY(!rec("Renamed").contains("QFHotfolder"));
        m_win->selectName("Renamed");

        bool grant = false;
        m_win->authenticate = [&](std::function<void(bool, QString)> done) { done(grant, {}); };
        QTest::mouseClick(m_win->lockButton, Qt::LeftButton);
        QVERIFY(!m_win->passwordRevealed());
        grant = true;
        QTest::mouseClick(m_win->lockButton, Qt::LeftButton);
        QVERIFY(m_win->passwordRevealed());
        QCOMPARE(m_win->clearPasswordField->text(), "secret");

        QTest::mouseClick(m_win->linkHelpButton, Qt::LeftButton);
        QVERIFY(m_win->helpPanel->isVisible());
        // The Destinations folder, made again when missing, in the file browser.
        QStringList opened;
        bool opens = true;
        m_win->openInFileBrowser = [&](const QString &path) {
            opened.append(path);
            return opens;
        };
        QDir(m_store->dir()).removeRecursively();
        m_ui->alerts.clear();
        QTest::mouseClick(m_win->openDestinationsButton, Qt::LeftButton);
        QCOMPARE(opened, QStringList({m_store->dir()}));
        QVERIFY(QFileInfo(m_store->dir()).isDir() && m_ui->alerts.isEmpty());
        opens = false;
        QTest::mouseClick(m_win->openDestinationsButton, Qt::LeftButton);
        QCOMPARE(m_ui->alerts.value(0).title, "Folder could not be opened");
    }

    // A group's members and candidates: buttons, double clicks and drops;
    // the members shown follow a rename (removals are the store's test).
    void groups()
    {
        open({ftp("Alpha"), ftp("Beta"), ftp("Gamma")});
        QTest::mouseClick(m_win->groupButton, Qt::LeftButton);
        QCOMPARE(selectedName(), "Destination Group 1");
        QVERIFY(m_win->optionsPane->isHidden() && !m_win->groupPane->isHidden());
        GroupEditor &g = m_win->groupEditor();

        // Two candidates dragged at once arrive in their candidate order; a
        // list refuses its own rows. The drop moves the rows itself and
        // accepts no move, so the dragging list removes nothing more.
        const auto drop = [](QListView *from, const QList<int> &rows, QListView *onto) {
            QModelIndexList dragged;
            for (int r : rows)
                dragged.append(from->model()->index(r, 0));
            std::unique_ptr<QMimeData> data(from->model()->mimeData(dragged));
            const QPoint at = onto->viewport()->rect().center();
            QDragEnterEvent enter(at, Qt::MoveAction, data.get(), Qt::LeftButton, {});
            QDropEvent dropped(at, Qt::MoveAction, data.get(), Qt::LeftButton, {});
            // As the desktop's drag: only a widget that takes drops gets them.
            if (onto->viewport()->acceptDrops()) {
                QApplication::sendEvent(onto->viewport(), &enter);
                QApplication::sendEvent(onto->viewport(), &dropped);
            }
            return dropped.isAccepted();
        };
        QVERIFY(!drop(m_win->candidatesView, {2, 0}, m_win->candidatesView));
        QCOMPARE(g.candidates().rowCount(), 3);
        QVERIFY(!drop(m_win->candidatesView, {2, 0}, m_win->membersView));
        QCOMPARE(g.members().namesOf({0, 1}), QStringList({"Alpha", "Gamma"}));
        QCOMPARE(g.candidates().namesOf({0}), QStringList({"Beta"}));
        Q_EMIT m_win->membersView->doubleClicked(g.members().index(0));
        QCOMPARE(g.candidates().namesOf({0, 1}), QStringList({"Alpha", "Beta"}));
        m_win->candidatesView->selectionModel()->select(g.candidates().index(1),
                                                        QItemSelectionModel::Select);
        QTest::mouseClick(m_win->addMemberButton, Qt::LeftButton);
        QCOMPARE(g.members().namesOf({0, 1}), QStringList({"Gamma", "Beta"}));

        m_win->selectName("Beta");
        QCOMPARE(pvtest::readDest("Destination Group 1").value("groupDests").toList().size(), 2);
        type(m_win->nameField, "Bravo");
        m_win->selectName("Destination Group 1");
        QCOMPARE(g.members().namesOf({0, 1}), QStringList({"Gamma", "Bravo"}));
    }

    // The command line, handed over by the running instance, changes the
    // store under the window: the window stays on its record and shows
    // that record's new values.
    void commandLineChangesShowInTheWindow()
    {
        open({ftp("A"), ftp("B")});
        const auto cli = [&](const QStringList &args) {
            return runDestinationsCommand(*m_store, args, {}).exitCode;
        };
        m_win->selectName("B");
        QCOMPARE(cli({"add", "0 First", "--type", "SFTP Server"}), 0);
        QCOMPARE(selectedName() + m_win->nameField->text(), "BB");
        QTest::keyClicks(m_win->userField, "bob");
        QCOMPARE(rec("B").value("userField").toString(), "bob");
        QCOMPARE(rec("0 First").value("userField").toString(), QString());
        QCOMPARE(cli({"set", "B", "host", "new.example"}), 0);
        QCOMPARE(m_win->hostField->text(), "new.example");
        QCOMPARE(cli({"remove", "B"}), 0);
        QCOMPARE(m_win->nameField->text(), selectedName());
        QCOMPARE(selectedName(), "A");
    }

    // The chooser reads the older single-file list and remembers its row.
    void chooserReadsTheOlderList()
    {
        QCOMPARE(DestinationChooser().selectedName(), QString()); // no file: an empty list
        QDir().mkpath(paths::appDir());
        QVERIFY(plist::writeFile(
            paths::appFile("Destinations.xml"),
            QVariantList{ftp("One"), ftp("Two", {{"default", true}}), ftp("Three")}));
        settings::setValue(keys::selectedListRow, 1);
        DestinationChooser chooser;
        QCOMPARE(chooser.selectedName(), "Two");
        QCOMPARE(chooser.list->item(1)->foreground().color(), QColor(Qt::red));
        chooser.list->setCurrentRow(2);
        Q_EMIT chooser.list->itemDoubleClicked(chooser.list->item(2));
        QCOMPARE(chooser.result(), int(QDialog::Accepted));
        QCOMPARE(settings::intValue(keys::selectedListRow), 2);
    }
};

QTEST_MAIN(TestDestinationsWindow)
#include "test_destinationswindow.moc"
