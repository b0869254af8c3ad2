// Deliveries to the test Samba share through hot folders (ctest fixture
// "samba"), read back from the share's folder on this machine.

#include "blackbox.h"

#include "common/listener.h"
#include "common/sambashare.h"
#include "core/plist.h"

#include <unistd.h>

using namespace bb;

using pvtest::makeShareFolders;

class TestDeliverySmb : public QObject {
    Q_OBJECT

    QMap<QString, QString> m_env;

    QVariantMap smb(const QString &name, const QString &folder, int port = 0) const
    {
        return pvtest::smbDest(m_env, name, folder, port);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = pvtest::serverEnv("samba");
        QVERIFY2(m_env.contains("SMB_PORT"),
                 "no test server: run through ctest, which starts tests/servers/samba.sh");
    }

    // Dated folders and numbering on the share, a folder tree, a zip package,
    // an unreachable server and a group with one unreachable member.
    void deliveriesToTheShare()
    {
        Home home;
        const QString hot = home.path() + "/hot";
        const QString share = m_env.value("SMB_SHARE_DIR");
        const QString base = QString("bb-%1").arg(QCoreApplication::applicationPid());
        home.writeSettings({{"watchInterval", 1}});

        QVariantMap dated = smb("Share", base + "/dated");
        for (const char *key : {"yearFolderBtn", "monthFolderBtn", "dateFolderBtn"})
            dated.insert(key, 1);
        // Nobody listens on a port whose listener has closed.
        const int closedPort = pvtest::Listener().port();
        for (const QVariantMap &dest :
             {dated, packaging(smb("ShareZip", base + "/zip #1"), 0, false, true),
              smb("Down", base + "/down", closedPort), group("Mixed", {"Plain", "Down"})})
            home.writeDest(withHotFolder(dest, hot));
        home.writeDest(smb("Plain", base + "/plain"));

        // An earlier delivery of the same name is already on the share.
        const QString dateDir = base + "/dated/" + datePath("YYYY-MM-DD");
        QVERIFY(makeShareFolders(m_env, dateDir));
        QVERIFY(makeShareFolders(m_env, base + "/zip #1"));
        QVERIFY(makeShareFolders(m_env, base + "/plain"));
        QVERIFY(writeFile(share + "/" + dateDir + "/note.txt", "earlier"));

        Instance inst(home);
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());

        QVERIFY(writeFiles(hot, {{"Share/note.txt", content(5000, 'n')},
                                 {"Share/Tree/a.txt", content(300, 'a')},
                                 {"Share/Q3 50% \u00e4 #2.txt", "odd name"},
                                 {"Share/Tree/sub/b.bin", content(300000, 'b')},
                                 {"ShareZip/Bundle/x.txt", content(8000, 'x')},
                                 {"Down/lost.txt", "never arrives"},
                                 {"Mixed/both.txt", content(700, 'm')}}));

        const QStringList missing = inst.waitForPaths(
            hot, {"Share/Done/note.txt", "Share/Done/Tree", "Share/Done/Q3 50% \u00e4 #2.txt",
                  "ShareZip/Done/Bundle", "Down/Errors/lost.txt", "Mixed/Errors/both.txt"});
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ") + "\n" + inst.log().right(6000)));
        QList<QVariantMap> history;
        QVERIFY(inst.waitFor([&] { return (history = home.records("History.xml")).size() == 7; },
                             10000));

        // Into the dated folders under the next free name.
        QCOMPARE(readFile(share + "/" + dateDir + "/note_1.txt"), content(5000, 'n'));
        QCOMPARE(readFile(share + "/" + dateDir + "/note.txt"), QByteArray("earlier"));
        QCOMPARE(fieldOf(history, "note.txt", "success"), QStringList{"ok"});
        QCOMPARE(fieldOf(history, "note.txt", "finalName"), QStringList{"note_1.txt"});
        const QString location = fieldOf(history, "note.txt", "location").value(0);
        QVERIFY2(location.endsWith(datePath("YYYY-MM-DD")), qPrintable(location));
        QVERIFY(fieldOf(history, "note.txt", "baseURLNoPassword")[0].contains("<password>"));
        QCOMPARE(readFile(share + "/" + dateDir + "/Tree/a.txt"), content(300, 'a'));
        QCOMPARE(readFile(share + "/" + dateDir + "/Q3 50% \u00e4 #2.txt"), QByteArray("odd name"));
        QCOMPARE(readFile(share + "/" + dateDir + "/Tree/sub/b.bin"), content(300000, 'b'));

        // The zip arrives whole; the package made for a server is removed.
        const QString zip = share + "/" + base + "/zip #1/Bundle.zip";
        const Result r = run("unzip", {"-tq", zip});
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        QCOMPARE(run("unzip", {"-p", zip, "x.txt"}).out.toUtf8(), content(8000, 'x'));
        QCOMPARE(entries(home.scratch()).filter("Bundle"), QStringList());

        // Nobody listens: recorded as not delivered, with the reason, and the
        // source goes to "Errors".
        QCOMPARE(fieldOf(history, "lost.txt", "success"), QStringList{"missing"});
        const QString error = fieldOf(history, "lost.txt", "error")[0];
        QVERIFY2(error.contains("FILE HAS NOT BEEN DELIVERED!") && error.contains("Transfer error"),
                 qPrintable(error));
        QCOMPARE(recordsNamed(home.records("Sent.xml"), "lost.txt").size(), 1);

        // The last member of the group failed: delivered once, source in "Errors".
        QCOMPARE(fieldOf(history, "both.txt", "success"), QStringList({"ok", "missing"}));
        QCOMPARE(readFile(share + "/" + base + "/plain/both.txt"), content(700, 'm'));

        // The share's password never reaches the log, nor any field of the
        // records but the download link, which carries the share's login by
        // design so its recipient can open the item.
        const QString password = m_env.value("SMB_PASSWORD");
        QVERIFY(!inst.log().contains(password));
        QVERIFY(!inst.log().contains(QUrl::toPercentEncoding(password)));
        for (const char *file : {"History.xml", "Sent.xml"}) {
            QVariantList records = pv::plist::readFile(home.app() + "/" + file).toList();
            for (QVariant &r : records) {
                QVariantMap m = r.toMap();
                m.remove("downloadURLForUser");
                r = m;
            }
            const QByteArray text = pv::plist::toXml(records);
            QVERIFY(!text.contains(password.toUtf8()));
            QVERIFY(!text.contains(QUrl::toPercentEncoding(password)));
        }

        QCOMPARE(inst.terminate(), 0);
        QDir(share + "/" + base).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestDeliverySmb)
#include "test_delivery_smb.moc"
