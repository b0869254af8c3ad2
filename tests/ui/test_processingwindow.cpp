// The processing window under the offscreen platform, driven by clicks.

#include "app/appcontroller.h"
#include "app/queueitem.h"
#include "common/fixtures.h"
#include "common/testenv.h"
#include "hotfolders/hotfolderwatcher.h"
#include "records/historypaneltable.h"
#include "records/queuetable.h"
#include "ui/mainwindows.h"

#include <QLabel>
#include <QPushButton>
#include <QTableView>

using namespace pv;

class TestProcessingWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void clicksDriveWatchingStopStartAndRemoval()
    {
        pvtest::IsolatedHome home;
        const QString hot = home.path() + "/hot/Big";
        QDir().mkpath(home.path() + "/out");
        QDir().mkpath(hot);
        pvtest::writeDest({{"name", "Big"},
                           {"QFDestType", "Local Disk"},
                           {"type", 1},
                           {"pathField", home.path() + "/out"},
                           {"sendFTPBtn", 1},
                           {"QFHotfolder", hot}});
        WidgetsUserInterface ui;
        AppController app(&ui);
        ui.attach(app);
        app.startup();
        ProcessingWindow *win = ui.processingWindow();
        QVERIFY(win);
        const auto drop = [&](const QString &name, qint64 size) {
            QFile f(hot + "/" + name);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(size));
            app.checkForCode({{qk::path, f.fileName()},
                              {qk::hotfolder, hot},
                              {qk::dest, "Big"},
                              {qk::origSize, size}});
        };

        const QString notWatching = win->watchStatus->text();
        QTest::mouseClick(win->watchButton, Qt::LeftButton);
        QVERIFY(app.watcher().isWatching());
        QVERIFY(win->watchStatus->text() != notWatching);
        QTest::mouseClick(win->watchButton, Qt::LeftButton);
        QVERIFY(!app.watcher().isWatching());
        QCOMPARE(win->watchStatus->text(), notWatching);

        // A sparse file long enough to copy that Stop lands in its delivery.
        drop("big.bin", qint64(3) << 30);
        drop("small.bin", 100);
        QTRY_VERIFY(win->sendButton->isEnabled());
        QVERIFY(win->windowTitle().startsWith(QStringLiteral("Processing \u2022 big.bin")));
        QTRY_COMPARE(win->queueView->model()->rowCount(), 1);
        const QString stopText = win->sendButton->text();
        QTest::mouseClick(win->sendButton, Qt::LeftButton);
        QVERIFY(win->sendButton->text() != stopText);
        QTRY_VERIFY(!app.isProcessing());
        QVERIFY(QFile::exists(hot + "/Errors/big.bin"));
        QCOMPARE(win->status->text(), QStringLiteral("Idle"));

        // Stopped, the queue keeps what arrives; "-" sends the selected entry
        // to Errors.
        drop("waiting.bin", 10);
        QTRY_COMPARE(win->queueView->model()->rowCount(), 2);
        win->queueView->selectRow(1);
        QTest::mouseClick(win->removeButton, Qt::LeftButton);
        QCOMPARE(win->queueView->model()->rowCount(), 1);
        QVERIFY(QFile::exists(hot + "/Errors/waiting.bin"));

        QTest::mouseClick(win->sendButton, Qt::LeftButton);
        QTRY_VERIFY(QFile::exists(home.path() + "/out/small.bin"));
        QTRY_VERIFY(!app.isProcessing());
        QCOMPARE(win->queueView->model()->rowCount(), 0);
        QCOMPARE(win->sendButton->text(), stopText);
    }
};

QTEST_MAIN(TestProcessingWindow)
#include "test_processingwindow.moc"
