// The journal's file across runs: retired lines stay retired, a torn line is
// dropped, and a long run of notes keeps the file small.

#include "core/journal.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QList<int> numbers(const QList<pv::Journal::Line> &lines)
{
    QList<int> out;
    for (const pv::Journal::Line &l : lines)
        out.append(l.value.toMap().value("n").toInt());
    return out;
}

qsizetype lineCount(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().count('\n') : -1;
}

} // namespace

class TestJournal : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void retiredLinesStayRetired()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("Journal.log");
        {
            pv::Journal journal(path);
            QStringList ids;
            for (int n = 0; n < 5; ++n)
                ids.append(journal.append(pv::Journal::kQueued, QVariantMap{{"n", n}}));
            QVERIFY(journal.retire({ids[0], ids[2]}));
            QVERIFY(journal.retire({ids[4]}));
            QCOMPARE(numbers(journal.pending()), QList<int>({1, 3}));
        }
        QFile torn(path);
        QVERIFY(torn.open(QIODevice::Append));
        torn.write("retired "); // killed while retiring
        torn.close();
        {
            auto shared = std::make_shared<pv::Journal>(path);
            pv::Journal &journal = *shared;
            QCOMPARE(numbers(journal.lines()), QList<int>({1, 3}));
            // Opening rewrote the file with the live lines only.
            QCOMPARE(lineCount(path), 2);
            // A long run of notes, each retired soon after, beside live ones.
            pv::Journal::Batch batch(shared);
            for (int n = 10; n < 6000; ++n)
                QVERIFY(journal.retire(
                    {journal.append(pv::Journal::kUploadTemp, QVariantMap{{"n", n}})}));
            QVERIFY(lineCount(path) < 9000); // 11980 without compaction
            QCOMPARE(numbers(journal.lines()), QList<int>({1, 3}));
        }
        pv::Journal journal(path);
        QCOMPARE(numbers(journal.lines()), QList<int>({1, 3}));
        // A line not flushed is in the file at once: a killed process keeps it.
        QVERIFY(!journal.appendUnflushed(pv::Journal::kDelivered, QVariantMap{{"n", 7}}).isEmpty());
        QCOMPARE(numbers(pv::Journal(path).lines()), QList<int>({1, 3, 7}));
    }
};

QTEST_GUILESS_MAIN(TestJournal)
#include "test_journal.moc"
