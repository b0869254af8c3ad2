// Log levels as the journal sees them.

#include "core/alerter.h"
#include "core/log.h"

#include <QTemporaryFile>
#include <QtTest>

#include <sys/stat.h>

namespace {
QList<QtMsgType> g_types;
void recordType(QtMsgType type, const QMessageLogContext &, const QString &)
{
    g_types.append(type);
}
} // namespace

class TestLog : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void journalPrefixes_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("error") << int(QtCriticalMsg) << QByteArray("<3>one\n<3>two\n");
        QTest::newRow("warning") << int(QtWarningMsg) << QByteArray("<4>one\n<4>two\n");
        QTest::newRow("information") << int(QtInfoMsg) << QByteArray("<6>one\n<6>two\n");
        QTest::newRow("debug") << int(QtDebugMsg) << QByteArray("<7>one\n<7>two\n");
    }
    // A message of two lines stays at its level on both.
    void journalPrefixes()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, expected);
        QCOMPARE(pv::journalLines(QtMsgType(type), "one\ntwo"), expected);
    }

    void journalStreamNamesThisDescriptor()
    {
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

    // Without windows an alert is only a log line: its style decides its level.
    void alertLevels()
    {
        g_types.clear();
        const QtMessageHandler old = qInstallMessageHandler(recordType);
        pv::LoggingAlerter alerter;
        for (auto style : {pv::Alert::Style::Critical, pv::Alert::Style::Warning,
                           pv::Alert::Style::Informational})
            alerter.alert({"Title", "Text", {"OK"}, style, 0});
        qInstallMessageHandler(old);
        QCOMPARE(g_types, (QList<QtMsgType>{QtCriticalMsg, QtWarningMsg, QtInfoMsg}));
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "test_log.moc"
