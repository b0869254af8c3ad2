#include "common/testenv.h"
#include "core/plist.h"
#include "core/record.h"

#include <QDir>
#include <QFile>

using namespace pv;

class TestPlist : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void roundTripKeepsTypes()
    {
        const QDateTime when =
            QDateTime::fromString(QStringLiteral("2026-03-04T05:06:07Z"), Qt::ISODate);
        const QVariantMap rec{
            {QStringLiteral("int"), 1},
            {QStringLiteral("neg"), -42},
            {QStringLiteral("big"), qlonglong(5) << 40},
            {QStringLiteral("bool"), true},
            {QStringLiteral("real"), 2.5},
            {QStringLiteral("text"), QStringLiteral("a <b> & \"c\" \u00e9\u4e2d")},
            {QStringLiteral("date"), when},
            {QStringLiteral("data"), QByteArray("\x00\x01\xff", 3)},
            {QStringLiteral("list"), QVariantList{1, QStringLiteral("x")}},
            {QStringLiteral("dict"), QVariantMap{{QStringLiteral("k"), false}}}};
        const QByteArray xml = plist::toXml(rec);
        QVERIFY(xml.contains("<!DOCTYPE plist PUBLIC"));
        QVERIFY(xml.contains("<true/>"));
        QVERIFY(xml.contains("<integer>1</integer>"));
        QVERIFY(xml.contains("<date>2026-03-04T05:06:07Z</date>"));

        const QVariantMap back = plist::parse(xml).toMap();
        QCOMPARE(back.value("int").typeId(), QMetaType::LongLong);
        QCOMPARE(back.value("int").toLongLong(), 1);
        QCOMPARE(back.value("neg").toLongLong(), -42);
        QCOMPARE(back.value("big").toLongLong(), qlonglong(5) << 40);
        QCOMPARE(back.value("bool").typeId(), QMetaType::Bool);
        QCOMPARE(back.value("real").toDouble(), 2.5);
        QCOMPARE(back.value("text").toString(), rec.value("text").toString());
        QCOMPARE(back.value("date").toDateTime(), when);
        QCOMPARE(back.value("data").toByteArray(), QByteArray("\x00\x01\xff", 3));
        QCOMPARE(back.value("list").toList().size(), 2);
        QCOMPARE(back.value("dict").toMap().value("k").toBool(), false);
        // Stored files mix booleans and 0/1: both read as booleans.
        QVERIFY(recBool(back, "int"));
        QVERIFY(recBool(back, "bool"));
        QCOMPARE(recInt(back, "bool"), 1);
        QVERIFY(!recBool(back, "missing"));
    }

    void interoperatesWithPythonPlistlib()
    {
        QTemporaryDir dir;
        const QString ours = dir.filePath("ours.plist");
        QVERIFY(
            plist::writeFile(ours, QVariantMap{{"name", "Ünïcode & co"}, {"n", 7}, {"b", true}}));
        int rc = -1;
        const QByteArray out =
            pvtest::run("python3",
                        {"-c",
                         "import plistlib,sys;d=plistlib.load(open(sys.argv[1],'rb'));"
                         "print(d['name'],type(d['n']).__name__,d['n'],d['b'])",
                         ours},
                        {}, &rc);
        QCOMPARE(rc, 0);
        QCOMPARE(QString::fromUtf8(out).trimmed(), QStringLiteral("Ünïcode & co int 7 True"));

        for (const char *fmt : {"FMT_XML", "FMT_BINARY"}) {
            const QString theirs = dir.filePath(QStringLiteral("theirs-%1.plist").arg(fmt));
            pvtest::run("python3",
                        {"-c",
                         QStringLiteral("import plistlib,sys,datetime;plistlib.dump({'a':[1,2.5,"
                                        "True,'x'],'d':datetime.datetime(2020,1,2,3,4,5),"
                                        "'raw':b'\\x00z'},open(sys.argv[1],'wb'),fmt=plistlib.%1)")
                             .arg(fmt),
                         theirs});
            const QVariantMap m = plist::readFile(theirs).toMap();
            QCOMPARE(m.value("a").toList().size(), 4);
            QCOMPARE(m.value("a").toList().at(1).toDouble(), 2.5);
            QCOMPARE(m.value("a").toList().at(2).typeId(), QMetaType::Bool);
            QCOMPARE(m.value("d").toDateTime().toUTC().toString(Qt::ISODate),
                     QStringLiteral("2020-01-02T03:04:05Z"));
            QCOMPARE(m.value("raw").toByteArray(), QByteArray("\x00z", 2));
        }
    }

    void malformedInputIsRejected()
    {
        QVERIFY(!plist::parse(QByteArray()).isValid());
        QVERIFY(!plist::parse("<?xml version=\"1.0\"?><plist><dict><key>a</key>").isValid());
        QVERIFY(!plist::parse("garbage that is not xml").isValid());
        QVERIFY(!plist::parse(QByteArray("bplist00\xff\xff\xff", 11)).isValid());
        QVERIFY(!plist::readFile("/nonexistent/file.plist").isValid());
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
};

QTEST_GUILESS_MAIN(TestPlist)
#include "test_plist.moc"
