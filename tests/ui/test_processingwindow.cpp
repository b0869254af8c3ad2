// The processing window under the offscreen platform, driven by clicks and
// shortcuts: its menus and toolbar open every window, quitting asks while a
// file is processed, and the tray and the mail mark follow the delivery.

#include "app/appcontroller.h"
#include "app/queueitem.h"
#include "common/answeralerts.h"
#include "common/fixtures.h"
#include "common/testenv.h"
#include "core/paths.h"
#include "core/plist.h"
#include "hotfolders/hotfolderwatcher.h"
#include "records/historypaneltable.h"
#include "records/queuetable.h"
#include "ui/errorspanel.h"
#include "ui/historywindow.h"
#include "ui/mainwindows.h"
#include "ui/preferenceswindow.h"
#include "ui/templateswindow.h"
#include "ui/trayicon.h"

#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QToolBar>

using namespace pv;

namespace {
/// A local destination delivering into out from the hot folder hot.
QVariantMap localDest(const QString &name, const QString &hot, const QString &out)
{
    QDir().mkpath(hot);
    QDir().mkpath(out);
    return {{"name", name},    {"QFDestType", "Local Disk"}, {"type", 1}, {"pathField", out},
            {"sendFTPBtn", 1}, {"QFHotfolder", hot}};
}

/// The application with its windows, started over the stored destinations.
struct Running {
    WidgetsUserInterface ui;
    AppController app{&ui};
    ProcessingWindow *win = nullptr;
    Running()
    {
        ui.attach(app);
        app.startup();
        win = ui.processingWindow();
    }
    /// A file of size bytes arriving in dest's hot folder.
    void arrive(const QString &hot, const QString &dest, const QString &name, qint64 size)
    {
        QFile f(hot + "/" + name);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(size));
        app.checkForCode({{qk::path, f.fileName()},
                          {qk::hotfolder, hot},
                          {qk::dest, dest},
                          {qk::origSize, size}});
    }
};
} // namespace

class TestProcessingWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void clicksDriveWatchingStopStartAndRemoval()
    {
        pvtest::IsolatedHome home;
        const QString hot = home.path() + "/hot/Big";
        pvtest::writeDest(localDest("Big", hot, home.path() + "/out"));
        Running run;
        auto &[ui, app, win] = run;

        const QString notWatching = win->watchStatus->text();
        // The tray follows the watching state.
        QTest::mouseClick(win->watchButton, Qt::LeftButton);
        QVERIFY(app.watcher().isWatching() && ui.trayIcon()->isWatching());
        QVERIFY(win->watchStatus->text() != notWatching);
        QTest::mouseClick(win->watchButton, Qt::LeftButton);
        QVERIFY(!app.watcher().isWatching() && !ui.trayIcon()->isWatching());
        QCOMPARE(win->watchStatus->text(), notWatching);

        // A sparse file long enough to copy that Stop lands in its delivery.
        run.arrive(hot, "Big", "big.bin", qint64(3) << 30);
        run.arrive(hot, "Big", "small.bin", 100);
        QTRY_VERIFY(win->sendButton->isEnabled());
        QVERIFY(win->windowTitle().startsWith(QStringLiteral("Processing \u2022 big.bin")));
        QTRY_COMPARE(win->queueView->model()->rowCount(), 1);
        const QString stopText = win->sendButton->text();
        QTest::mouseClick(win->sendButton, Qt::LeftButton);
        QVERIFY(win->sendButton->text() != stopText);
        QTRY_VERIFY(!app.isProcessing()); // where the source goes is the pipeline's test
        QCOMPARE(win->status->text(), QStringLiteral("Idle"));

        // Stopped, the queue keeps what arrives; "-" sends the selected entry
        // to Errors.
        run.arrive(hot, "Big", "waiting.bin", 10);
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

    void menusToolbarAndShortcutsReachEveryWindow()
    {
        pvtest::IsolatedHome home;
        Running run;
        auto &[ui, app, win] = run;
        QVERIFY(QTest::qWaitForWindowExposed(win));
        int quits = 0;
        win->quitApplication = [&] { ++quits; };

        // Every window entry is in the menu bar.
        QList<QAction *> inMenus;
        for (QAction *menu : win->menuBar()->actions())
            inMenus += menu->menu()->actions();
        for (QAction *a :
             {win->destinationsAction, win->templatesAction, win->preferencesAction,
              win->historyAction, win->errorsAction, win->aboutAction, win->quitAction})
            QVERIFY2(inMenus.contains(a), qPrintable(a->text()));

        QTest::keySequence(win, QKeySequence(QStringLiteral("Ctrl+H")));
        QVERIFY(ui.historyWindow() && ui.historyWindow()->isVisible());
        QTest::keySequence(win, QKeySequence(QStringLiteral("Ctrl+E")));
        QVERIFY(ui.errorsPanel()->isVisible());
        win->activateWindow();
        QTest::keySequence(win, QKeySequence(QStringLiteral("Ctrl+D")));
        QVERIFY(win->destinationsAction->isEnabled());

        // Templates and preferences: the shortcut and the toolbar open the real windows.
        QTest::keySequence(win, QKeySequence(QStringLiteral("Ctrl+,")));
        QTRY_VERIFY(win->findChild<PreferencesWindow *>() &&
                    win->findChild<PreferencesWindow *>()->isVisible());
        auto *bar = win->findChild<QToolBar *>();
        QTest::mouseClick(bar->widgetForAction(win->templatesAction), Qt::LeftButton);
        QTRY_VERIFY(win->findChild<TemplatesWindow *>() &&
                    win->findChild<TemplatesWindow *>()->isVisible());
        win->findChild<PreferencesWindow *>()->close();
        win->findChild<TemplatesWindow *>()->close();

        win->aboutAction->trigger();
        QVERIFY(win->aboutBox() && win->aboutBox()->isVisible());
        QVERIFY(win->aboutBox()->text().contains(QLatin1String(PV_VERSION)));
        win->aboutBox()->close();

        // Ctrl+Q quits at once when idle, and asks while a file is processed (the
        // answers are the controller's test).
        QTest::keySequence(win, QKeySequence(QStringLiteral("Ctrl+Q")));
        QCOMPARE(quits, 1);
        pvtest::AlertAnswers answers;
        answers.answers = {QStringLiteral("Don't Quit")};
        app.setProcessing(true);
        win->quitAction->trigger();
        QCOMPARE(quits, 1);
        QCOMPARE(answers.texts.size(), 1);
        ui.setProgress(42.5);
        QVERIFY(ui.trayIcon()->toolTip().contains(QStringLiteral("42 %")));
        app.setProcessing(false);
        ui.setProgress(0); // the display is reset: no progress in the tray
        QVERIFY(!ui.trayIcon()->toolTip().contains(QStringLiteral("%")));

        // The tray menu reopens the windows.
        ui.errorsPanel()->close();
        QVERIFY(!ui.errorsPanel()->isVisible());
        win->errorsAction->trigger(); // the tray menu's entry is the same action
        QVERIFY(ui.errorsPanel()->isVisible());
    }

    void mailMarkAndTrayWhileTheNotificationIsSent()
    {
        pvtest::IsolatedHome home;
        // A server that takes the connection and never answers keeps the send going.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QDir().mkpath(pv::paths::appDir());
        QVERIFY(pv::plist::writeFile(
            pv::paths::appFile("EmailTemplates.xml"),
            QVariantList{QVariantMap{{"name", "Mail"},
                                     {"emailFromField", "pv@example.com"},
                                     {"emailSMTPField", "127.0.0.1"},
                                     {"emailPortField", QString::number(silent.serverPort())}}}));
        const QString hot = home.path() + "/hot/M";
        QVariantMap mailing = localDest("M", hot, home.path() + "/out");
        mailing.insert(
            {{"sendEmailBtn", 1},
             {"QFEmailTemplate", "Mail"},
             {"emails", QVariantList{QVariantMap{{"to", "To:"}, {"email", "boss@example.com"}}}}});
        pvtest::writeDest(mailing);
        Running run;
        auto &[ui, app, win] = run;
        QVERIFY(!win->mailMark->isVisibleTo(win));
        run.arrive(hot, "M", "a.txt", 10);
        QVERIFY(QTest::qWaitFor([&] { return silent.hasPendingConnections(); }, 30000));
        QVERIFY(win->mailMark->isVisibleTo(win));
        QVERIFY(ui.trayIcon()->isMailShown());
        QVERIFY(ui.trayIcon()->toolTip().contains(QStringLiteral("e-mail")));

        // The server hangs up: the send fails, the entry ends, the marks go.
        delete silent.nextPendingConnection();
        QTRY_VERIFY_WITH_TIMEOUT(!app.isProcessing(), 30000);
        QVERIFY(!win->mailMark->isVisibleTo(win));
        QVERIFY(!ui.trayIcon()->isMailShown());
        QVERIFY(QFile::exists(home.path() + "/out/a.txt"));
    }
};

QTEST_MAIN(TestProcessingWindow)
#include "test_processingwindow.moc"
