// The remote browser window and the contents button's listing start,
// offscreen.

#include "app/remotelisting.h"
#include "common/recordingui.h"
#include "common/testenv.h"
#include "ui/remotebrowserwindow.h"

#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTableView>
#include <QtTest>

using namespace pv;

class TestRemoteBrowserWindow : public QObject {
    Q_OBJECT
    pvtest::IsolatedHome m_home;

private Q_SLOTS:
    void window()
    {
        pvtest::RecordingUserInterface ui;
        RemoteBrowserWindow win(ui);
        win.showListing({{"name", "Print shop"}, {"QFDestType", "FTP Server"}},
                        {{"Archive", {{kNSFileType, kNSFileTypeDirectory}}},
                         {"notes.txt", {{kNSFileType, kNSFileTypeRegular}, {kNSFileSize, 500}}}},
                        "ftp://u:p@127.0.0.1:9/shop");
        QCOMPARE(win.windowTitle(), "Print shop");
        QCOMPARE(win.counter->text(), "2 items");
        QVERIFY(win.newFolderAction->isEnabled());
        QVERIFY(!win.deleteAction->isEnabled());
        win.table->selectRow(1);
        QVERIFY(win.deleteAction->isEnabled());

        // A refused name keeps the dialog open and starts nothing (the name
        // rules are the list's test).
        win.createNewFolder();
        win.folderName->setText("Archive");
        win.folderOk();
        QVERIFY(win.folderDialog->isVisible());
        QCOMPARE(ui.alerts.size(), 1);
        QCOMPARE(ui.alerts[0].title, "This name is already taken. Please choose a different name.");
        QVERIFY(win.spinner->isHidden());
        win.folderDialog->reject();

        // Delete asks first; Cancel deletes nothing.
        ui.answer = 1;
        win.removeSelectedRows();
        QCOMPARE(ui.alerts.last().buttons, QStringList({"Delete", "Cancel"}));
        QVERIFY(win.spinner->isHidden());

        win.showListing({{"name", "Bucket"}}, {}, "https://k:s@photos.s3.amazonaws.com");
        QVERIFY(!win.newFolderAction->isEnabled());
        QCOMPARE(win.counter->text(), "0 items");
    }

    // Refusals before any connection put the button back.
    void contentsButton()
    {
        pvtest::RecordingUserInterface ui;
        QStringList titles;
        DestinationContents::Display display;
        display.setButtonTitle = [&titles](const QString &t) { titles << t; };
        display.setProgress = [](bool, const QString &) {};
        display.clearBrowser = [] {};
        display.showListing = [](auto &&...) { QFAIL("no listing expected"); };
        display.openFolder = [](const QString &) { return false; };
        DestinationContents contents(&ui, display);
        contents.list({{"name", "B"}, {"QFDestType", "Amazon S3"}, {"pathField", ""}},
                      "Show Contents");
        QCOMPARE(titles, QStringList({"Cancel", "Show Contents"}));
        QCOMPARE(ui.alerts.last().title, "Bucket name is missing");
        QVERIFY(!contents.isListing());

        contents.list({{"name", "L"}, {"QFDestType", "Local Disk"}, {"pathField", "/nonexistent"}},
                      "Open Folder");
        QCOMPARE(ui.alerts.last().title, "Folder could not be found");
        contents.list({{"name", "L"}, {"QFDestType", "Local Disk"}, {"pathField", m_home.path()}},
                      "Open Folder");
        QCOMPARE(ui.alerts.last().title, "Folder could not be opened");

        // A listing runs in the background; its failure is alerted, a cancelled one is silent.
        const QVariantMap dav{{"name", "D"},
                              {"QFDestType", "WebDAV Server"},
                              {"hostField", "127.0.0.1"},
                              {"QFPort", "9"},
                              {"pathField", "x"}};
        titles.clear();
        contents.list(dav, "Show Contents");
        QVERIFY(contents.isListing());
        contents.list(dav, "Cancel");
        QCOMPARE(titles, QStringList({"Cancel", "Show Contents"}));
        const qsizetype alerts = ui.alerts.size();
        contents.list(dav, "Show Contents");
        QTRY_VERIFY(!contents.isListing());
        QCOMPARE(ui.alerts.size(), alerts + 1);
        QCOMPARE(ui.alerts.last().title, "Unable to list directory");
        QCOMPARE(titles.last(), "Show Contents");
    }
};

QTEST_MAIN(TestRemoteBrowserWindow)
#include "test_remotebrowserwindow.moc"
