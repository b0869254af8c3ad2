// Log levels as the journal sees them.

#include "core/alerter.h"
#include "core/log.h"

#include <QTemporaryFile>
#include <QtTest>

#include <sys/stat.h>

static QList<QtMsgType> g_types;

class TestLog : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A message of two lines stays at its level on both. Without windows an
    // alert is only a log line: its style decides its level.
    void levelsAndTheJournalStream()
    {
        const std::pair<QtMsgType, QByteArray> prefixes[] = {
            {QtCriticalMsg, "<3>"}, {QtWarningMsg, "<4>"}, {QtInfoMsg, "<6>"}, {QtDebugMsg, "<7>"}};
        for (const auto &[type, p] : prefixes)
            QCOMPARE(pv::journalLines(type, "one\ntwo"), p + "one\n" + p + "two\n");
        g_types.clear();
        const QtMessageHandler old =
            qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &) {
                g_types.append(type);
            });
        pv::LoggingAlerter alerter;
        for (auto style : {pv::Alert::Style::Critical, pv::Alert::Style::Warning,
                           pv::Alert::Style::Informational})
            alerter.alert({"Title", "Text", {"OK"}, style, 0});
        qInstallMessageHandler(old);
        QCOMPARE(g_types, (QList<QtMsgType>{QtCriticalMsg, QtWarningMsg, QtInfoMsg}));

        // The prefixes go only to the journal: its stream names this descriptor.
        QTemporaryFile file;
        QVERIFY(file.open());
        struct stat st {};
        QVERIFY(::fstat(file.handle(), &st) == 0);
        const QByteArray dev = QByteArray::number(qulonglong(st.st_dev));
        const QByteArray ino = QByteArray::number(qulonglong(st.st_ino));
        QVERIFY(pv::isJournalStream(file.handle(), dev + ':' + ino));
        // Inherited by a child whose standard error went elsewhere.
        QVERIFY(!pv::isJournalStream(file.handle(), dev + ':' + QByteArray::number(st.st_ino + 1)));
        for (const QByteArray &bad : {QByteArray(), QByteArray("x:y"), dev + ':', dev})
            QVERIFY2(!pv::isJournalStream(file.handle(), bad), bad.constData());
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "test_log.moc"
