// The processing window under the offscreen platform, driven by clicks.

#include "app/appcontroller.h"
#include "app/queueitem.h"
#include "common/testenv.h"
#include "core/paths.h"
#include "core/plist.h"
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

    QString hot(const pvtest::IsolatedHome &home) const { return home.path() + "/hot/Big"; }

    void writeDest(const pvtest::IsolatedHome &home)
    {
        QDir().mkpath(paths::destinationsDir());
        QDir().mkpath(home.path() + "/out");
        QDir().mkpath(hot(home));
        QVERIFY(plist::writeFile(paths::destinationsDir() + "/Big.dest",
                                 QVariantMap{{"name", "Big"},
                                             {"QFDestType", "Local Disk"},
                                             {"type", 1},
                                             {"pathField", home.path() + "/out"},
                                             {"sendFTPBtn", 1},
                                             {"QFHotfolder", hot(home)}}));
    }

    QString sparse(const QString &path, qint64 size)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.resize(size);
        return path;
    }

private Q_SLOTS:
    void stopCancelsAndStartResumes()
    {
        pvtest::IsolatedHome home;
        writeDest(home);
        WidgetsUserInterface ui;
        AppController app(&ui);
        ui.attach(app);
        app.startup();
        ProcessingWindow *win = ui.processingWindow();
        QVERIFY(win);

        const QString big = sparse(hot(home) + "/big.bin", qint64(3) << 30);
        const QString small = sparse(hot(home) + "/small.bin", 100);
        for (const QString &p : {big, small})
            app.checkForCode({{qk::path, p},
                              {qk::hotfolder, hot(home)},
                              {qk::dest, "Big"},
                              {qk::origSize, QFileInfo(p).size()}});
        QTRY_VERIFY(win->sendButton->isEnabled());
        QCOMPARE(win->sendButton->text(), AppController::kStopTitle);
        QVERIFY(win->windowTitle().startsWith(QStringLiteral("Processing \u2022 big.bin")));
        QCOMPARE(win->queueView->model()->rowCount(), 1);

        QTest::qWait(150);
        QTest::mouseClick(win->sendButton, Qt::LeftButton);
        QCOMPARE(win->sendButton->text(), AppController::kStartTitle);
        QTRY_VERIFY(!app.isProcessing());
        QVERIFY(QFile::exists(hot(home) + "/Errors/big.bin"));
        QVERIFY(
            app.errors().items().first().value("error").toString().contains("DELIVERY CANCELED"));
        QCOMPARE(win->status->text(), QStringLiteral("Idle"));
        QTest::qWait(100);
        QCOMPARE(win->queueView->model()->rowCount(), 1);

        QTest::mouseClick(win->sendButton, Qt::LeftButton);
        QTRY_VERIFY(QFile::exists(home.path() + "/out/small.bin"));
        QTRY_VERIFY(!app.isProcessing());
        QCOMPARE(win->queueView->model()->rowCount(), 0);
    }

    void watchingToggleAndQueueRemoval()
    {
        pvtest::IsolatedHome home;
        writeDest(home);
        WidgetsUserInterface ui;
        AppController app(&ui);
        ui.attach(app);
        app.startup();
        ProcessingWindow *win = ui.processingWindow();

        QCOMPARE(win->watchStatus->text(), HotfolderWatcher::kNotWatchingStatus);
        QTest::mouseClick(win->watchButton, Qt::LeftButton);
        QCOMPARE(win->watchStatus->text(), HotfolderWatcher::kWatchingStatus);
        QTest::mouseClick(win->watchButton, Qt::LeftButton);
        QCOMPARE(win->watchStatus->text(), HotfolderWatcher::kNotWatchingStatus);

        // Stopped processing keeps items queued; "-" sends the selected one to Errors.
        app.sendBtn();
        const QString waiting = sparse(hot(home) + "/waiting.bin", 10);
        app.checkForCode({{qk::path, waiting}, {qk::hotfolder, hot(home)}, {qk::dest, "Big"}});
        QTRY_COMPARE(win->queueView->model()->rowCount(), 1);
        win->queueView->selectRow(0);
        QTest::mouseClick(win->removeButton, Qt::LeftButton);
        QCOMPARE(win->queueView->model()->rowCount(), 0);
        QVERIFY(QFile::exists(hot(home) + "/Errors/waiting.bin"));
    }
};

QTEST_MAIN(TestProcessingWindow)
#include "test_processingwindow.moc"
