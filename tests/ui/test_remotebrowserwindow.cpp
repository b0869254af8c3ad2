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
        const QDateTime when(QDate(2026, 11, 30), QTime(14, 5, 12));
        const auto file = [&](qint64 size, int days) {
            return RemoteItemAttributes{{kNSFileType, kNSFileTypeRegular},
                                        {kNSFileSize, size},
                                        {kNSFileModificationDate, when.addDays(-days)}};
        };
        const RemoteItemAttributes folder{{kNSFileType, kNSFileTypeDirectory},
                                          {kNSFileModificationDate, when.addDays(-40)}};
        win.showListing({{"name", "Print shop"}, {"QFDestType", "FTP Server"}},
                        {{"2026", folder},
                         {"Archive", folder},
                         {"brochure-final.pdf", file(4'718'592, 1)},
                         {"cover.tif", file(1'342'177'280, 3)},
                         {"notes.txt", file(500, 0)}},
                        "ftp://u:p@127.0.0.1:9/shop");
        QCOMPARE(win.windowTitle(), "Print shop");
        QCOMPARE(win.counter->text(), "5 items");
        QCOMPARE(win.table->model()->index(3, RemoteList::SizeColumn).data().toString(), "1.25 GB");
        QVERIFY(win.newFolderAction->isEnabled());
        QVERIFY(!win.deleteAction->isEnabled());
        win.table->selectRow(2);
        QVERIFY(win.deleteAction->isEnabled());

        // PV_SCREENSHOT=FILE.png keeps a picture of the window for the README.
        if (const QString shot = qEnvironmentVariable("PV_SCREENSHOT"); !shot.isEmpty())
            QVERIFY(win.grab().save(shot));

        // Refused names keep the dialog open and start nothing.
        win.createNewFolder();
        QVERIFY(win.folderDialog->isVisible());
        for (const QString &name : {QString(), QString("Archive"), QString("a/b")}) {
            win.folderName->setText(name);
            win.folderOk();
            QVERIFY(win.folderDialog->isVisible());
        }
        QCOMPARE(ui.alerts.size(), 3);
        QCOMPARE(ui.alerts[1].title, "This name is already taken. Please choose a different name.");
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
        display.showListing = [](const QVariantMap &, const RemoteListing &, const QString &) {
            QFAIL("no listing expected");
        };
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
