#include "common/fixtures.h"
#include "common/testenv.h"
#include "core/journal.h"
#include "core/plist.h"
#include "core/record.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

using namespace pv;

#if defined(__SANITIZE_ADDRESS__)
// A regression in the hostile-input checks makes the parser eat memory at
// hundreds of MB a second: end this test early rather than the machine.
extern "C" const char *__asan_default_options()
{
    return "hard_rss_limit_mb=1500";
}
#endif

namespace {

QByteArray nestedXml(int levels, const QByteArray &middle = {})
{
    return "<?xml version=\"1.0\"?><plist version=\"1.0\">" +
           QByteArray("<array>").repeated(levels) + middle +
           QByteArray("</array>").repeated(levels) + "</plist>";
}

void appendBigEndian(QByteArray &out, quint64 value, int bytes)
{
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.append(char(value >> shift));
}

/// A binary property list of the given encoded objects, object 0 the root;
/// count, when given, overrides the object count of the trailer.
QByteArray bplist(const QList<QByteArray> &objects, int refSize, quint64 count = 0)
{
    QByteArray out("bplist00");
    QByteArray table;
    for (const QByteArray &o : objects) {
        appendBigEndian(table, quint64(out.size()), 4);
        out.append(o);
    }
    const quint64 tableAt = quint64(out.size());
    out.append(table).append(QByteArray(6, 0)).append(char(4)).append(char(refSize));
    appendBigEndian(out, count ? count : quint64(objects.size()), 8);
    appendBigEndian(out, 0, 8);
    appendBigEndian(out, tableAt, 8);
    return out;
}

/// A record of every value type the lists hold, in their awkward forms.
QVariantMap mixed()
{
    const QDateTime when = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
    return {{"int", 1},
            {"neg", -42},
            {"big", qlonglong(5) << 40},
            {"bool", true},
            {"real", 2.5},
            {"text", "a <b> & \"c\"\ntwo \u00e9\u4e2d"},
            {"date", when},
            {"data", QByteArray("\x00\n\xff", 3)},
            {"list", QVariantList{1, "x", QVariantList{false, when}, QVariantMap()}},
            {"dict", QVariantMap{{"k", false}}}};
}

/// The types a record read back must have kept (numbers compare by value).
void checkTypes(const QVariantMap &back)
{
    QCOMPARE(back, mixed());
    QCOMPARE(back.value("int").typeId(), QMetaType::LongLong);
    QCOMPARE(back.value("big").typeId(), QMetaType::LongLong);
    QCOMPARE(back.value("bool").typeId(), QMetaType::Bool);
    QCOMPARE(back.value("date").typeId(), QMetaType::QDateTime);
    QCOMPARE(back.value("list").toList()[2].toList()[1].typeId(), QMetaType::QDateTime);
}

/// Object i is a one-element array holding object i + 1; the last is empty.
QByteArray nestedBinary(int levels)
{
    QList<QByteArray> objects;
    for (int i = 1; i < levels; ++i)
        appendBigEndian(objects.emplace_back("\xA1"), quint64(i), 3);
    objects.append(QByteArray("\xA0", 1));
    return bplist(objects, 3);
}

} // namespace

class TestPlist : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void roundTripKeepsTypes()
    {
        const QByteArray xml = plist::toXml(mixed());
        QVERIFY(xml.contains("<!DOCTYPE plist PUBLIC"));
        QVERIFY(xml.contains("<date>2023-11-14T22:13:20Z</date>"));
        const QVariantMap back = plist::parse(xml).toMap();
        checkTypes(back);
        // Stored files mix booleans and 0/1: both read as booleans.
        QVERIFY(recBool(back, "int"));
        QVERIFY(recBool(back, "bool"));
        QCOMPARE(recInt(back, "bool"), 1);
        QVERIFY(!recBool(back, "missing"));
    }

    // Python's plistlib reads our files and what it writes back, in both its
    // formats, reads as what we wrote.
    void pythonPlistlibRoundTrip()
    {
        QTemporaryDir dir;
        const QString ours = dir.filePath("ours.plist");
        QVERIFY(plist::writeFile(ours, mixed()));
        for (const QString fmt : {"FMT_XML", "FMT_BINARY"}) {
            int rc = -1;
            pvtest::run("python3",
                        {"-c",
                         "import plistlib,sys\nd=plistlib.load(open(sys.argv[1],'rb'))\n"
                         "plistlib.dump(d,open(sys.argv[2],'wb'),fmt=plistlib." +
                             fmt + ")",
                         ours, dir.filePath(fmt)},
                        {}, &rc);
            QCOMPARE(rc, 0);
            checkTypes(plist::readFile(dir.filePath(fmt)).toMap());
        }
        QVERIFY(!plist::readFile(dir.filePath("missing.plist")).isValid());
    }

    void hostileInputIsRefusedQuickly()
    {
        int rc = -1;
        const QByteArray bomb = pvtest::run(
            "python3",
            {"-c", "import plistlib,sys\nL=[]\nfor i in range(7): L=[L]*30\n"
                   "sys.stdout.buffer.write(plistlib.dumps(L,fmt=plistlib.FMT_BINARY))"},
            {}, &rc);
        QCOMPARE(rc, 0);
        QVERIFY(bomb.size() < 400);
        // The parser skips quoted text in processing instructions, so the
        // closing tags of this one close nothing: the real depth is 600.
        const QByteArray hidden = "<? \"?>" + QByteArray("</array>").repeated(300) + "\" ?>" +
                                  QByteArray("<array>").repeated(300) +
                                  QByteArray("</array>").repeated(300);
        // What it is, its bytes, whether they are readable.
        const std::tuple<const char *, QByteArray, bool> rows[] = {
            {"empty", QByteArray(), false},
            {"xml cut short", "<?xml version=\"1.0\"?><plist><dict><key>a</key>", false},
            {"not xml", "garbage that is not xml", false},
            {"binary garbage", QByteArray("bplist00\xff\xff\xff", 11), false},
            {"xml at the depth limit", nestedXml(plist::kMaxDepth), true},
            {"xml one level deeper", nestedXml(plist::kMaxDepth + 1), false},
            {"xml 50,000 levels", nestedXml(50000), false},
            {"xml depth hidden behind quotes", nestedXml(300, hidden), false},
            {"binary at the depth limit", nestedBinary(plist::kMaxDepth), true},
            {"binary 50,000 levels", nestedBinary(50000), false},
            {"binary expanding to 30^7 nodes", bomb, false},
            {"binary truncated", bomb.left(bomb.size() - 40), false},
            {"binary cycle", bplist({QByteArray("\xA1\x00", 2)}, 1), false},
            {"binary reference past the objects", bplist({QByteArray("\xA1\x05", 2), "\x09"}, 1),
             false},
            {"binary count past the end",
             bplist({QByteArray("\xAF\x13\x40\x00\x00\x00\x00\x00\x00\x00\x01", 11)}, 1), false},
            {"binary object count past the table",
             bplist({QByteArray("\xA0", 1)}, 1, quint64(1) << 62), false}};
        for (const auto &[what, bytes, readable] : rows) {
            QElapsedTimer timer;
            timer.start();
            QString error;
            QVERIFY2(plist::parse(bytes, &error).isValid() == readable, what);
            QVERIFY2(error.isEmpty() == readable, what);
            QVERIFY2(timer.elapsed() < 2000, what);
        }
    }

    void writeReplacesWholeFileAndLeavesNoTemporaries()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("list.xml");
        QVERIFY(plist::writeFile(path, QVariantList{QVariantMap{{"a", QString(100000, 'x')}}}));
        QVERIFY(plist::writeFile(path, QVariantList{}));
        QCOMPARE(plist::readFile(path).toList().size(), 0);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
        // A folder that cannot hold the file reports failure instead of pretending.
        QVERIFY(!plist::writeFile(dir.filePath("missing/sub/list.xml"), QVariantList{}));
    }

    // Lists built from pieces are the bytes the library writes for the whole
    // array, whether written at once or added to at the end; a file laid out
    // otherwise is left for a whole write.
    void arrayFilesFromPiecesMatchTheLibrary()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("list.xml");
        QVariantList all;
        QList<QByteArray> pieces;
        for (int i = 0; i < 4; ++i) {
            QVariantMap rec = mixed();
            rec.insert({{"n", i}, {"data", QByteArray(70 + i, char('a' + i))}});
            all.append(rec);
            pieces.append(plist::arrayElementXml(rec));
        }
        QCOMPARE(plist::arrayXml({}), plist::toXml(QVariantList{}));
        QCOMPARE(plist::arrayXml(pieces), plist::toXml(all));

        QString error;
        QVERIFY(plist::appendToArrayFile(path, pieces.mid(0, 1), &error)); // no file yet
        QVERIFY(plist::appendToArrayFile(path, pieces.mid(1), &error));
        QCOMPARE(pvtest::fileBytes(path), plist::toXml(all));
        QCOMPARE(plist::lastArrayElement(path), all.last());

        QVERIFY(plist::writeFile(path, QVariantList{}));
        QVERIFY(plist::appendToArrayFile(path, pieces, &error));
        QCOMPARE(pvtest::fileBytes(path), plist::toXml(all));

        // Rewrites copy what stayed from the file written last and make
        // only the new elements; a file changed behind its back is not
        // trusted.
        QList<plist::ElementSpan> spans(3);
        plist::WrittenArrayFile last;
        QList<qsizetype> made;
        QVariantList now;
        const auto xmlOf = [&](qsizetype i) {
            made.append(i);
            return plist::arrayElementXml(now.at(i));
        };
        // Writes now, reusing spans; the elements made anew.
        const auto rewrite = [&](const QVariantList &list) {
            now = list;
            made.clear();
            if (!plist::writeArrayFileReusing(path, &spans, xmlOf, &last, &error))
                return QList<qsizetype>{-1};
            return pvtest::fileBytes(path) == plist::toXml(now) ? made : QList<qsizetype>{-2};
        };
        QCOMPARE(rewrite(all.mid(0, 3)), QList<qsizetype>({0, 1, 2}));
        spans = {spans.at(1), spans.at(2), plist::ElementSpan()};
        QCOMPARE(rewrite(all.mid(1)), QList<qsizetype>{2}); // head gone, one added
        spans = {spans.at(2), spans.at(1), spans.at(0)};
        QCOMPARE(rewrite({all.at(3), all.at(2), all.at(1)}), QList<qsizetype>());
        QVERIFY(pvtest::putBytes(path, "<plist/>"));
        QCOMPARE(rewrite({all.at(3), all.at(2), all.at(1)}).size(), 3);
        spans.clear();
        QCOMPARE(rewrite({}), QList<qsizetype>());

        const QByteArray foreign = "<plist><array><dict/></array></plist>";
        QVERIFY(pvtest::putBytes(path, foreign));
        QVERIFY(!plist::appendToArrayFile(path, pieces, &error));
        QVERIFY(error.isEmpty());
        QCOMPARE(pvtest::fileBytes(path), foreign);
        QVERIFY(!plist::lastArrayElement(path).isValid());
    }

    // Journal lines keep their values' types (newlines inside included),
    // outlive the process, and a torn last line or a damaged one is dropped
    // without taking its neighbours along.
    void journalLinesSurviveDamage()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("Journal.log");
        const auto ownerOnly = [&] {
            return !(QFile::permissions(path) & ~QFile::Permissions(0x6600));
        };
        QString first, second;
        {
            Journal j(path);
            first = j.append(Journal::kHistory, mixed());
            second = j.append(Journal::kUploadTemp, "/dest/.a.txt.x1.pvpart");
            QVERIFY(!first.isEmpty() && first != second);
        }
        QVERIFY(ownerOnly());
        QVERIFY(
            pvtest::putBytes(path, pvtest::fileBytes(path) + "history x1 !!not-base64!!\n" +
                                       ("sent x2 " + plist::toXml(mixed()).toBase64()).left(40)));
        {
            Journal j(path);
            const QList<Journal::Line> lines = j.lines();
            QCOMPARE(lines.size(), 2);
            QCOMPARE(lines[0].id, first);
            checkTypes(lines[0].value.toMap());
            QCOMPARE(j.pending().size(), 1);
            QCOMPARE(j.pending()[0].value.toString(), "/dest/.a.txt.x1.pvpart");
            // The next line starts a line of its own, not the torn one's end.
            QVERIFY(!j.append(Journal::kDelivered, 7).isEmpty());
        }
        Journal j(path);
        QCOMPARE(j.lines().size(), 3);
        QCOMPARE(j.lines(Journal::kDelivered).value(0).value.toInt(), 7);
        QVERIFY(j.retire({first}));
        QCOMPARE(Journal(path).lines().size(), 2);
        QVERIFY(ownerOnly());
        QVERIFY(j.retire({j.lines()[0].id, j.lines()[1].id}));
        QCOMPARE(QFileInfo(path).size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestPlist)
#include "test_plist.moc"
