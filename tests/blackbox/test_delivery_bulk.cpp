// A drop of a few hundred small files into one hot folder at once: every one
// is queued, delivered once, whole, and moved to "Done". No settings file: the
// hot folders are watched from start-up with the default intervals.

#include "blackbox.h"

using namespace bb;

class TestDeliveryBulk : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void manyFilesInOneDrop()
    {
        constexpr int kFiles = 300;
        Home home;
        const QString out = home.path() + "/out";
        const QVariantMap dest = withHotFolder(local("Bulk", out), home.path() + "/hot");
        home.writeDest(dest);
        const QString hot = dest.value("QFHotfolder").toString();

        // Written beside the hot folder, then dropped in at once.
        const QString stage = home.path() + "/stage";
        QStringList names;
        for (int i = 0; i < kFiles; ++i) {
            names.append(QString::asprintf("file-%04d.txt", i));
            QVERIFY(writeFile(stage + "/" + names.last(), content(512 + i % 97, char(i))));
        }
        Instance inst(home);
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());
        for (const QString &name : names)
            QVERIFY(QFile::rename(stage + "/" + name, hot + "/" + name));
        QVERIFY2(
            inst.waitFor([&] { return entries(hot + "/Done").size() == kFiles; }, 300000),
            qPrintable(QString("%1 of %2 in Done").arg(entries(hot + "/Done").size()).arg(kFiles)));

        // Each delivered once, whole, under its own name, and recorded so.
        QList<QVariantMap> history;
        QVERIFY(inst.waitFor(
            [&] { return (history = home.records("History.xml")).size() == kFiles; }, 20000));
        QCOMPARE(entries(out), names);
        for (int i = 0; i < kFiles; ++i) {
            QCOMPARE(readFile(out + "/" + names[i]), content(512 + i % 97, char(i)));
            QCOMPARE(fieldOf(history, names[i], "success"), QStringList{"ok"});
        }
        QCOMPARE(entries(hot), QStringList({"Done", "Errors", "Priority"}));
        QCOMPARE(entries(hot + "/Errors"), QStringList());
        QCOMPARE(home.records("Queue.xml").size(), 0);
        QCOMPARE(inst.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDeliveryBulk)
#include "test_delivery_bulk.moc"
