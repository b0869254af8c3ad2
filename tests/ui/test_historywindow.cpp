// The history window, the processed list's actions and the errors panel under
// the offscreen platform: marks and details, copy link, double-click into the
// history, clearing with confirmation, wrapped errors, kept window places and a
// dark palette.

#include "app/appcontroller.h"
#include "common/answeralerts.h"
#include "common/testenv.h"
#include "core/paths.h"
#include "core/plist.h"
#include "records/historypaneltable.h"
#include "records/historytable.h"
#include "ui/errorspanel.h"
#include "ui/historywindow.h"
#include "ui/mainwindows.h"
#include "ui/recordviews.h"
#include "ui/windowstate.h"

#include <QClipboard>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QTableView>
#include <QTextBrowser>

using namespace pv;

namespace {

/// A delivery record with what the window shows of it, i minutes after a
/// fixed moment.
QVariantMap delivery(int i, const QString &success = QStringLiteral("ok"))
{
    const QString name = QStringLiteral("Proof_%1.pdf").arg(i, 5, 10, QLatin1Char('0'));
    return {{"name", name},
            {"finalName", name},
            {"dateEnd", QDateTime(QDate(2026, 3, 2), QTime(9, 0), Qt::UTC).addSecs(60 * i)},
            {"timeTotal", "00:00:03"},
            {"compr", "None"},
            {"success", success}};
}

/// Contrast of two colours as the accessibility guidelines measure it.
double contrast(const QColor &a, const QColor &b)
{
    const auto lum = [](const QColor &c) {
        const auto ch = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * ch(c.redF()) + 0.7152 * ch(c.greenF()) + 0.0722 * ch(c.blueF());
    };
    const double x = lum(a), y = lum(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

QPalette darkPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(45, 45, 48));
    p.setColor(QPalette::Base, QColor(30, 30, 32));
    p.setColor(QPalette::Text, QColor(230, 230, 230));
    return p;
}

} // namespace

class TestHistoryWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<pvtest::IsolatedHome> m_home;
    std::unique_ptr<WidgetsUserInterface> m_ui;
    std::unique_ptr<AppController> m_app;

    /// Starts the application over a stored history and processed list.
    void start(const QVariantList &history, const QVariantList &sent = {})
    {
        QDir().mkpath(paths::appDir());
        QVERIFY(plist::writeFile(paths::appFile("History.xml"), history));
        QVERIFY(plist::writeFile(paths::appFile("Sent.xml"), sent));
        m_ui = std::make_unique<WidgetsUserInterface>();
        m_app = std::make_unique<AppController>(m_ui.get());
        m_ui->attach(*m_app);
        m_app->startup();
    }
    HistoryWindow *openHistory()
    {
        m_ui->processingWindow()->historyAction->trigger();
        return m_ui->historyWindow();
    }
    static QVariant cell(QTableView *t, int row, const QString &key, int role)
    {
        auto *list = qobject_cast<RecordList *>(
            qobject_cast<QAbstractProxyModel *>(t->model())->sourceModel());
        return t->model()->index(row, list->columnOfKey(key)).data(role);
    }

private Q_SLOTS:
    void init() { m_home = std::make_unique<pvtest::IsolatedHome>(); }
    void cleanup()
    {
        m_app.reset();
        m_ui.reset();
        m_home.reset();
        QApplication::setPalette(QPalette());
    }

    void marksDetailsCounterAndDarkPalette()
    {
        QVariantMap mailed = delivery(1);
        mailed.insert({{"subject", "Delivered Proof_00001.pdf"},
                       {"to", "boss@example.com"},
                       {"attachments", QVariantList{"-a", "/tmp/pv/Proof_00001.pdf"}},
                       {"body", "Your proof is ready."}});
        QVariantMap failed = delivery(2, "missing");
        failed.remove("compr");
        failed.remove("timeTotal");
        failed["error"] = "Transfer error: Connection refused";
        QVariantMap folder = delivery(3, "modified");
        folder.insert({{"finalName", "Artwork"}, {"isFolder", 1}});
        start({mailed, failed, folder});
        QVERIFY(!m_app->history().isLoaded()); // read when its window first opens
        HistoryWindow *win = openHistory();
        QVERIFY(QTest::qWaitForWindowExposed(win));
        QTRY_COMPARE(win->counter->text(), QStringLiteral("3 deliveries"));

        QTableView *t = win->table;
        // Mail and paper-clip marks only where there was a message and an attachment.
        QVERIFY(!cell(t, 0, "subject", Qt::DecorationRole).value<QIcon>().isNull());
        QVERIFY(!cell(t, 0, "attachments", Qt::DecorationRole).value<QIcon>().isNull());
        QVERIFY(cell(t, 1, "subject", Qt::DecorationRole).isNull());
        QVERIFY(cell(t, 1, "attachments", Qt::DecorationRole).isNull());
        QCOMPARE(cell(t, 0, "subject", Qt::DisplayRole).toString(), QString());
        QVERIFY(cell(t, 0, "success", Qt::DecorationRole).value<QIcon>().cacheKey() !=
                cell(t, 1, "success", Qt::DecorationRole).value<QIcon>().cacheKey());
        QCOMPARE(cell(t, 2, "finalName", Qt::DecorationRole).value<QIcon>().pixmap(16).toImage(),
                 fileTypeIcon("Artwork", true).pixmap(16).toImage());
        QVERIFY(cell(t, 0, "finalName", Qt::ForegroundRole).isNull());

        // The name of an item not delivered is red, and readable on light and dark.
        for (const QPalette &palette : {QPalette(), darkPalette()}) {
            QApplication::setPalette(palette);
            const QColor red = cell(t, 1, "finalName", Qt::ForegroundRole).value<QColor>();
            QVERIFY(red.isValid() && red.red() > 2 * red.green());
            QVERIFY2(contrast(red, palette.color(QPalette::Base)) >= 4.5,
                     qPrintable(red.name() + " on " + palette.color(QPalette::Base).name()));
        }

        // The details pane shows the current record.
        t->selectRow(0);
        QCOMPARE(win->detail("Attachments"), QStringLiteral("Proof_00001.pdf"));
        QVERIFY(win->details->toPlainText().contains("Your proof is ready."));
        t->selectRow(1);
        QCOMPARE(win->detail("Compression"), QStringLiteral("-"));
        QCOMPARE(win->detail("Total time"), QStringLiteral("?"));
        QCOMPARE(win->detail("Error"), QStringLiteral("Transfer error: Connection refused"));

        // A new delivery counts at once.
        m_app->history().addItem(delivery(4));
        QCOMPARE(win->counter->text(), QStringLiteral("4 deliveries"));
    }

    void copyLinkDoubleClickClearingAndWindowPlaces()
    {
        QVariantMap linked = delivery(2);
        linked["downloadURLForUser"] = "https://files.example.com/incoming/Proof_00002.pdf";
        start({delivery(1), linked}, {delivery(9), linked});
        pvtest::AlertAnswers answers;
        ProcessingWindow *proc = m_ui->processingWindow();
        QVERIFY(QTest::qWaitForWindowExposed(proc));
        QTableView *sent = proc->sentView;
        QCOMPARE(sent->model()->rowCount(), 2);
        QVERIFY(!cell(sent, 1, "success", Qt::DecorationRole).isValid()); // marks failures only

        sent->selectRow(1);
        proc->sentActions->copyLink->trigger();
        QCOMPARE(QApplication::clipboard()->text(), linked.value("downloadURLForUser").toString());

        // Double-click: the history opens on the same record.
        QVERIFY(!m_ui->historyWindow());
        Q_EMIT sent->doubleClicked(sent->model()->index(1, 0));
        HistoryWindow *win = m_ui->historyWindow();
        QVERIFY(win && win->isVisible());
        QCOMPARE(win->table->currentIndex().row(), 1);
        QCOMPARE(win->detail("Delivered as"), QStringLiteral("Proof_00002.pdf"));

        // Clearing asks first (that one list's clearing leaves the others alone
        // is the lists' test).
        answers.answers = {"Clear", "Clear History"};
        proc->clearSentAction->trigger();
        QCOMPARE(sent->model()->rowCount(), 0);
        QTest::mouseClick(win->clearButton, Qt::LeftButton);
        QCOMPARE(win->counter->text(), QStringLiteral("0 deliveries"));
        QCOMPARE(answers.texts.size(), 2);

        // Window places are kept when a window closes, and for open windows at quit.
        win->resize(700, 450);
        QTRY_COMPARE(win->size(), QSize(700, 450));
        win->close();
        QWidget probe;
        restoreWindowState(&probe, "history");
        QCOMPARE(probe.size(), QSize(700, 450));
        proc->resize(820, 640);
        m_app.reset();
        m_ui.reset();
        restoreWindowState(&probe, "processing");
        QCOMPARE(probe.size(), QSize(820, 640));
    }

    void errorsPanelWrapsCopiesAndClears()
    {
        start({});
        HistoryPanelTable &errors = m_app->errors();
        const QString longText =
            QStringLiteral("Transfer error: ") +
            QStringList(40, QStringLiteral("the server closed the connection")).join(' ');
        errors.addError("short");
        errors.addError(longText);
        m_ui->bringToFront(UserInterface::Window::Errors);
        ErrorsPanel *panel = m_ui->errorsPanel();
        QVERIFY(QTest::qWaitForWindowExposed(panel));
        QListView *list = panel->list;
        // Rows as high as their wrapped text.
        QTRY_VERIFY(list->visualRect(list->model()->index(0, 0)).height() >
                    2 * list->visualRect(list->model()->index(1, 0)).height());
        const auto readable = [list] {
            const QColor c = list->model()->index(0, 0).data(Qt::ForegroundRole).value<QColor>();
            return c.red() > 2 * c.green() &&
                   contrast(c, list->palette().color(QPalette::Base)) >= 4.5;
        };
        QVERIFY(readable());

        list->selectAll();
        QTest::mouseClick(panel->copyButton, Qt::LeftButton);
        QCOMPARE(QApplication::clipboard()->text(), longText + "\n\nshort\n\n");
        QTest::mouseClick(panel->clearButton, Qt::LeftButton);
        QCOMPARE(errors.count(), 0);

        // On a dark palette the error colour follows.
        errors.addError("short");
        QApplication::setPalette(darkPalette());
        QTRY_COMPARE(list->palette().color(QPalette::Base), darkPalette().color(QPalette::Base));
        QVERIFY(readable());
    }
};

QTEST_MAIN(TestHistoryWindow)
#include "test_historywindow.moc"
