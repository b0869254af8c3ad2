#include "common/testenv.h"
#include "core/alerter.h"
#include "core/paths.h"
#include "core/plist.h"
#include "core/record.h"
#include "destinations/destination.h"
#include "destinations/destinationseditor.h"
#include "prefs/prefs.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <memory>

using namespace pv;

namespace {

/// Remembers every alert instead of showing it.
class RecordingAlerter : public Alerter {
public:
    int alert(const Alert &a) override
    {
        alerts.append(a);
        return a.defaultButton;
    }
    void beep() override { ++beeps; }

    QList<Alert> alerts;
    int beeps = 0;
};

QByteArray bytesOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool putBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QVariantMap member(const QString &name)
{
    return {{dk::name, name}, {dk::QFDestType, kFtpServer}};
}

QVariantMap group(const QString &name, const QStringList &members)
{
    QVariantList list;
    for (const QString &m : members)
        list.append(member(m));
    return {{dk::name, name},
            {dk::isGroup, true},
            {dk::QFDestType, QStringLiteral("group")},
            {dk::groupDests, list}};
}

QStringList memberNames(const QVariantMap &rec)
{
    QStringList out;
    for (const QVariant &m : rec.value(dk::groupDests).toList())
        out.append(recString(m.toMap(), dk::name));
    return out;
}

} // namespace

class TestDestinationsEditor : public QObject {
    Q_OBJECT

    std::unique_ptr<pvtest::IsolatedHome> m_home;
    RecordingAlerter m_alerter;
    QString m_dir;

    QString file(const QString &stem) const { return m_dir + QLatin1Char('/') + stem + ".dest"; }

    // Fixtures are indented with spaces while the store writes tabs, so a
    // byte comparison tells whether the store rewrote a file.
    QByteArray put(const QString &fileName, const QVariantMap &rec)
    {
        const QByteArray bytes = plist::toXml(rec).replace('\t', "  ");
        if (!putBytes(m_dir + QLatin1Char('/') + fileName, bytes))
            qFatal("cannot write fixture %s", qPrintable(fileName));
        return bytes;
    }
    QByteArray putDest(const QVariantMap &rec)
    {
        return put(recString(rec, dk::name) + ".dest", rec);
    }

    static QStringList names(const DestinationsEditor &ed)
    {
        QStringList out;
        for (const QVariantMap &r : ed.items())
            out.append(recString(r, dk::name));
        return out;
    }

    QStringList destFiles() const
    {
        return QDir(m_dir).entryList({"*.dest"}, QDir::Files | QDir::Hidden, QDir::Name);
    }

    void expectOneUnsavedRecord(const QStringList &filesBefore)
    {
        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();
        QCOMPARE(ed.items().size(), 1);
        const QVariantMap rec = ed.items().first();
        QCOMPARE(recString(rec, dk::name), "Destination 1");
        QCOMPARE(recString(rec, dk::QFDestType), kFtpServer);
        QCOMPARE(recString(rec, dk::QFPort), "21");
        QCOMPARE(recInt(rec, dk::sendFTPBtn), 1);
        QCOMPARE(ed.selectedRow(), 0);
        QCOMPARE(ed.selectedItem(), rec);
        QCOMPARE(destFiles(), filesBefore);
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<pvtest::IsolatedHome>();
        m_alerter.alerts.clear();
        m_dir = paths::destinationsDir();
        QVERIFY(m_dir.startsWith(m_home->dataHome()));
        QVERIFY(QDir().mkpath(m_dir));
    }

    void cleanup() { m_home.reset(); }

    void loadSkipsWhatIsNotAUsableDestination()
    {
        putDest({{dk::name, "ftp"}, {dk::hostField, "h"}});
        put(".hidden.dest", {{dk::name, "hidden"}});
        put("notes.xml", {{dk::name, "notes"}});
        put("upper.DEST", {{dk::name, "upper"}});
        put("backup.dest.bak", {{dk::name, "backup"}});
        QVERIFY(QDir().mkpath(m_dir + "/folder.dest"));
        put("idisk.dest", {{dk::name, "idisk"}, {dk::QFDestType, "MobileMe (iDisk)"}});
        QVERIFY(putBytes(m_dir + "/list.dest", plist::toXml(QVariantList{"a", 1})));
        const QByteArray whole = plist::toXml(QVariantMap{{dk::name, "cut"}, {dk::hostField, "x"}});
        QVERIFY(putBytes(m_dir + "/cut.dest", whole.left(whole.size() / 2)));
        QVERIFY(putBytes(m_dir + "/empty.dest", QByteArray()));
        QVERIFY(putBytes(m_dir + "/garbage.dest", QByteArray("bplist00\x01\x02\xff\xfe", 12)));
        // Wrong value types: kept, read with their fallbacks.
        put("Numbered.dest", {{dk::name, 42}, {dk::type, 1}});
        putDest({{dk::name, "oddTypes"},
                 {dk::QFHotfolder, QVariantList{"/nowhere"}},
                 {dk::QFDestCode, 7},
                 {dk::QFDestType, 5},
                 {dk::isDefault, "yes"}});
        putDest({{dk::name, "odd group"}, {dk::isGroup, true}, {dk::groupDests, "ftp"}});
        putDest({{dk::name, "junk members"},
                 {dk::isGroup, 1},
                 {dk::groupDests, QVariantList{3, "ftp", member("ftp")}}});

        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();
        QCOMPARE(names(ed),
                 QStringList({"ftp", "junk members", "Numbered", "odd group", "oddTypes"}));
        QVERIFY(m_alerter.alerts.isEmpty());

        const QVariantMap numbered = ed.items().at(ed.indexOfName("Numbered"));
        QCOMPARE(destTypeOf(numbered), kLocalDisk);
        QCOMPARE(destTypeOf(ed.items().at(ed.indexOfName("ftp"))), kFtpServer);
        const QVariantMap odd = ed.items().at(ed.indexOfName("oddTypes"));
        QVERIFY(!odd.contains(dk::hotfolderNotFound));
        QCOMPARE(odd.value(dk::QFDestCode).typeId(), QMetaType::QString);
        QCOMPARE(destTypeOf(odd), kFtpServer);
        for (int r = 0; r < ed.rowCount(); ++r) {
            for (int c = 0; c < ed.columnCount(); ++c) {
                const QModelIndex i = ed.index(r, c);
                (void)ed.data(i, Qt::DisplayRole);
                (void)ed.data(i, DestinationsEditor::IsDefaultRole);
            }
        }

        // Group upkeep walks the malformed member lists without harm and
        // still removes the well-formed member.
        ed.deleteItem(ed.indexOfName("ftp"));
        QVERIFY(!QFile::exists(file("ftp")));
        const QVariantMap junk = ed.destDictForName("junk members");
        QCOMPARE(junk.value(dk::groupDests).toList().size(), 2);
        QCOMPARE(ed.destDictForName("odd group").value(dk::groupDests).toString(), "ftp");
    }

    void nothingLoadableGivesOneUnsavedRecord()
    {
        expectOneUnsavedRecord({});
        if (QTest::currentTestFailed())
            return;

        put(".hidden.dest", {{dk::name, "hidden"}});
        put("other.plist", {{dk::name, "other"}});
        put("idisk.dest", {{dk::name, "idisk"}, {dk::QFDestType, "MobileMe (iDisk)"}});
        expectOneUnsavedRecord({".hidden.dest", "idisk.dest"});
        if (QTest::currentTestFailed())
            return;

        // The first save of the selected record gives it its file.
        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();
        QVERIFY(ed.writeCurrDestination());
        const QVariantMap saved = ed.destDictForName("Destination 1");
        QCOMPARE(recString(saved, dk::QFPort), "21");
        QCOMPARE(saved.value(dk::QFCreateZip).typeId(), QMetaType::Bool);

        // A Destinations folder that does not exist yet loads the same way.
        QVERIFY(QDir(m_dir).removeRecursively());
        DestinationsEditor fresh(&m_alerter, m_dir);
        fresh.load();
        QCOMPARE(names(fresh), QStringList{"Destination 1"});
        QVERIFY(!QDir(m_dir).exists());
        QVERIFY(m_alerter.alerts.isEmpty());
    }

    void missingCodeIsStoredByTheNextWrite()
    {
        putDest({{dk::name, "nocode"}, {dk::hostField, "h"}});
        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();
        const QVariant code = ed.items().first().value(dk::QFDestCode);
        QCOMPARE(code.typeId(), QMetaType::QString);
        QCOMPARE(code.toString(), QString());
        QVERIFY(!ed.destDictForName("nocode").contains(dk::QFDestCode));
        QVERIFY(ed.writeCurrDestination());
        const QVariantMap saved = ed.destDictForName("nocode");
        QVERIFY(saved.contains(dk::QFDestCode));
        QCOMPARE(saved.value(dk::QFDestCode).toString(), QString());
        QCOMPARE(recString(saved, dk::hostField), "h");
    }

    void missingHotFoldersGiveOneAlert()
    {
        const QString present = m_home->path() + "/hot/present";
        QVERIFY(QDir().mkpath(present));
        putDest({{dk::name, "a"}, {dk::QFHotfolder, m_home->path() + "/hot/gone-a"}});
        putDest({{dk::name, "b"}, {dk::QFHotfolder, m_home->path() + "/hot/gone-b"}});
        putDest({{dk::name, "c"}, {dk::QFHotfolder, present}, {dk::hotfolderNotFound, true}});
        putDest({{dk::name, "d"}});

        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();
        QCOMPARE(m_alerter.alerts.size(), 1);
        const Alert &a = m_alerter.alerts.first();
        QCOMPARE(a.title, "Some hot folders have not been found");
        QCOMPARE(a.text, "Check destination list for missing hot folders.");
        QCOMPARE(a.buttons, QStringList{"OK"});
        QCOMPARE(a.style, Alert::Style::Critical);
        QVERIFY(recBool(ed.items().at(ed.indexOfName("a")), dk::hotfolderNotFound));
        QVERIFY(recBool(ed.items().at(ed.indexOfName("b")), dk::hotfolderNotFound));
        QVERIFY(!recBool(ed.items().at(ed.indexOfName("c")), dk::hotfolderNotFound));
        QVERIFY(!ed.items().at(ed.indexOfName("d")).contains(dk::hotfolderNotFound));

        // Once the folders exist again, loading is silent.
        QVERIFY(QDir().mkpath(m_home->path() + "/hot/gone-a"));
        QVERIFY(QDir().mkpath(m_home->path() + "/hot/gone-b"));
        ed.load();
        QCOMPARE(m_alerter.alerts.size(), 1);
    }

    void recordsAreSortedCaseInsensitively()
    {
        for (const char *n : {"beta", "Alpha", "gamma", "Delta", "alpha2"})
            putDest({{dk::name, QString::fromLatin1(n)}});
        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();
        QCOMPARE(names(ed), QStringList({"Alpha", "alpha2", "beta", "Delta", "gamma"}));
        QCOMPARE(ed.data(ed.index(3, DestinationsEditor::NameColumn), Qt::DisplayRole).toString(),
                 "Delta");

        QVariantMap rec = ed.newItem();
        rec.insert(dk::name, "Charlie");
        const int row = ed.addItem(rec);
        QCOMPARE(row, 3);
        QCOMPARE(recString(ed.selectedItem(), dk::name), "Charlie");
        QCOMPARE(names(ed), QStringList({"Alpha", "alpha2", "beta", "Charlie", "Delta", "gamma"}));
    }

    void readsFilesWrittenByPlistlibWithScrambledPasswords()
    {
        const QString clear = QStringLiteral("pä$$ w0rd");
        int rc = -1;
        const QByteArray scrambled =
            pvtest::run("openssl",
                        {"enc", "-bf", "-e", "-md", "md5", "-pass", "pass:305mqtwzy82", "-salt",
                         "-a", "-provider", "legacy", "-provider", "default"},
                        clear.toUtf8(), &rc);
        QCOMPARE(rc, 0);
        QVERIFY(scrambled.startsWith("U2FsdGVkX1"));

        pvtest::run("python3",
                    {"-c",
                     "import plistlib,sys;plistlib.dump({'name':'From Python','QFDestType':'SFTP "
                     "Server','type':0,'QFPort':'22','sitePasswordField':sys.argv[2],"
                     "'sendFTPBtn':1,'default':True,'QFExpiryDays':30},open(sys.argv[1],'wb'))",
                     file("From Python"), QString::fromUtf8(scrambled)},
                    {}, &rc);
        QCOMPARE(rc, 0);

        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();
        QCOMPARE(names(ed), QStringList{"From Python"});
        const QVariantMap rec = ed.items().first();
        QCOMPARE(destTypeOf(rec), "SFTP Server");
        QCOMPARE(recString(rec, dk::QFPort), "22");
        QVERIFY(recBool(rec, dk::isDefault));
        QCOMPARE(recInt(rec, dk::QFExpiryDays), 30);
        QCOMPARE(Prefs::decryptPassword(recString(rec, dk::sitePasswordField)), clear);
    }

    // What the store writes must come back unchanged in another tool, with
    // integers still integers and booleans still booleans.
    void writtenFilesReadBackUnchangedInPlistlib()
    {
        const QString stored = Prefs::encryptPassword("secret");
        QVERIFY(!stored.isEmpty());
        const QVariantMap rec{
            {dk::name, "Round & <trip> é"},
            {dk::QFDestType, "FTP Server"},
            {dk::type, 0},
            {dk::isDefault, false},
            {dk::QFCreateZip, true},
            {dk::QFPort, "21"},
            {dk::sendFTPBtn, 1},
            {dk::QFExpiryDays, 14},
            {dk::sitePasswordField, stored},
            {dk::QFDestCode, ""},
            {QStringLiteral("emails"),
             QVariantList{QVariantMap{{"to", "To:"}, {"email", "a@b.c"}}}},
        };
        DestinationsEditor ed(&m_alerter, m_dir);
        QVERIFY(ed.writeDestination(rec));

        const QString script =
            QStringLiteral("import plistlib,sys,json\n"
                           "d=plistlib.load(open(sys.argv[1],'rb'))\n"
                           "t=lambda v: {k:t(x) for k,x in v.items()} if isinstance(v,dict) else "
                           "[t(x) for x in v] if isinstance(v,list) else [type(v).__name__,v]\n"
                           "print(json.dumps(t(d),sort_keys=True))\n");
        int rc = -1;
        const QByteArray out =
            pvtest::run("python3", {"-c", script, file("Round & <trip> é")}, {}, &rc);
        QCOMPARE(rc, 0);
        const QVariantMap got = QJsonDocument::fromJson(out).object().toVariantMap();
        const auto typed = [](const char *t, const QVariant &v) { return QVariantList{t, v}; };
        QCOMPARE(got.value("name").toList(), typed("str", "Round & <trip> é"));
        QCOMPARE(got.value("type").toList(), typed("int", 0));
        QCOMPARE(got.value("sendFTPBtn").toList(), typed("int", 1));
        QCOMPARE(got.value("QFExpiryDays").toList(), typed("int", 14));
        QCOMPARE(got.value("default").toList(), typed("bool", false));
        QCOMPARE(got.value("QFCreateZip").toList(), typed("bool", true));
        QCOMPARE(got.value("QFPort").toList(), typed("str", "21"));
        QCOMPARE(got.value("QFDestCode").toList(), typed("str", ""));
        QCOMPARE(got.value("sitePasswordField").toList(), typed("str", stored));
        const QVariantMap mail = got.value("emails").toList().value(0).toMap();
        QCOMPARE(mail.value("email").toList(), typed("str", "a@b.c"));
        QCOMPARE(got.size(), rec.size());
    }

    void newRecordsTakeTheStoredDeliveryDefaults()
    {
        DestinationsEditor ed(&m_alerter, m_dir);
        QVariantMap plain = ed.newItem();
        QCOMPARE(recString(plain, dk::name), "Destination 1");
        QVERIFY(!plain.contains(dk::overwriteBtn));

        QVariantMap options{{dk::overwriteBtn, 1},
                            {dk::yearFolderBtn, 1},
                            {dk::monthFolderBtn, 0},
                            {dk::dateFolderBtn, 1},
                            {dk::dateFormat, "2026-12-31"},
                            {dk::QFExpireFiles, 1},
                            {dk::QFExpiryDays, 7},
                            {dk::hostField, "not an option"},
                            {dk::name, "not an option either"}};
        QVERIFY(ed.writeDefaults(options));
        const QVariantMap written = plist::readFile(paths::appFile("Defaults.xml")).toMap();
        QStringList expectedKeys = deliveryOptionKeys();
        expectedKeys.sort();
        QCOMPARE(written.keys(), expectedKeys);
        QCOMPARE(written.value(dk::QFExpiryDays).typeId(), QMetaType::LongLong);

        const QVariantMap fresh = ed.newItem();
        QCOMPARE(recString(fresh, dk::name), "Destination 1");
        QCOMPARE(recString(fresh, dk::hostField), QString());
        QCOMPARE(recInt(fresh, dk::overwriteBtn), 1);
        QCOMPARE(recInt(fresh, dk::QFExpiryDays), 7);
        QCOMPARE(recString(fresh, dk::dateFormat), "2026-12-31");
        QCOMPARE(recString(fresh, dk::QFPort), "21");
        QCOMPARE(recInt(fresh, dk::sendEmailBtn), 1);

        // An unreadable defaults file is ignored.
        QVERIFY(putBytes(paths::appFile("Defaults.xml"), "<plist><dict><key>"));
        QCOMPARE(ed.newItem(), plain);

        const QVariantMap g = DestinationsEditor::newGroupItem();
        QCOMPARE(g.size(), 2);
        QVERIFY(recBool(g, dk::isGroup));
        QCOMPARE(recString(g, dk::QFDestType), "group");
    }

    void renameMovesFileGroupsAndHotFolder()
    {
        const QString hotParent = m_home->path() + "/hot";
        QVERIFY(QDir().mkpath(hotParent + "/Alpha/Priority"));
        QVERIFY(putBytes(hotParent + "/Alpha/Priority/waiting.pdf", "%PDF"));
        putDest({{dk::name, "Alpha"}, {dk::QFHotfolder, hotParent + "/Alpha"}});
        const QByteArray beta = putDest({{dk::name, "Beta"}});
        putDest(group("G1", {"Beta", "Alpha"}));
        putDest(group("G2", {"Beta"}));
        putDest(group("G3", {"Alpha"}));
        const QByteArray g2 = bytesOf(file("G2"));

        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();
        QVERIFY(ed.renameItem(ed.indexOfName("Alpha"), "Zeta"));

        QVERIFY(!QFile::exists(file("Alpha")));
        QCOMPARE(recString(ed.destDictForName("Zeta"), dk::name), "Zeta");
        QCOMPARE(names(ed), QStringList({"Beta", "G1", "G2", "G3", "Zeta"}));
        QCOMPARE(recString(ed.selectedItem(), dk::name), "Zeta");

        QCOMPARE(memberNames(ed.destDictForName("G1")), QStringList({"Beta", "Zeta"}));
        QCOMPARE(memberNames(ed.destDictForName("G3")), QStringList{"Zeta"});
        QCOMPARE(memberNames(ed.items().at(ed.indexOfName("G1"))), QStringList({"Beta", "Zeta"}));
        // Every group file is written, even one that did not change.
        QVERIFY(bytesOf(file("G2")) != g2);
        QCOMPARE(memberNames(ed.destDictForName("G2")), QStringList{"Beta"});
        QCOMPARE(bytesOf(file("Beta")), beta);

        QVERIFY(!QFileInfo::exists(hotParent + "/Alpha"));
        QVERIFY(QFile::exists(hotParent + "/Zeta/Priority/waiting.pdf"));
        QCOMPARE(recString(ed.destDictForName("Zeta"), dk::QFHotfolder), hotParent + "/Zeta");
        QCOMPARE(recString(ed.selectedItem(), dk::QFHotfolder), hotParent + "/Zeta");
        QVERIFY(m_alerter.alerts.isEmpty());

        // Renaming to the same name changes nothing.
        const QByteArray zeta = bytesOf(file("Zeta"));
        QVERIFY(ed.renameItem(ed.indexOfName("Zeta"), "Zeta"));
        QCOMPARE(bytesOf(file("Zeta")), zeta);
    }

    void renameOntoATakenNameIsRefused()
    {
        const QByteArray alpha = putDest({{dk::name, "Alpha"}});
        const QByteArray beta = putDest({{dk::name, "Beta"}});
        // A record the list does not show still owns its file.
        const QByteArray idisk =
            putDest({{dk::name, "Old iDisk"}, {dk::QFDestType, "MobileMe (iDisk)"}});

        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();
        const int row = ed.indexOfName("Alpha");
        for (const QString &taken : {QStringLiteral("Beta"), QStringLiteral("Old iDisk"), QString(),
                                     QStringLiteral(".."), QStringLiteral("x/y")}) {
            QVERIFY2(!ed.renameItem(row, taken), qPrintable(taken));
        }
        QCOMPARE(names(ed), QStringList({"Alpha", "Beta"}));
        QCOMPARE(bytesOf(file("Alpha")), alpha);
        QCOMPARE(bytesOf(file("Beta")), beta);
        QCOMPARE(bytesOf(file("Old iDisk")), idisk);
        QCOMPARE(destFiles(), QStringList({"Alpha.dest", "Beta.dest", "Old iDisk.dest"}));
    }

    void hotFolderThatCannotMoveIsReported()
    {
        const QString hotParent = m_home->path() + "/hot";
        QVERIFY(QDir().mkpath(hotParent + "/Alpha"));
        QVERIFY(QDir().mkpath(hotParent + "/Zeta"));
        putDest({{dk::name, "Alpha"}, {dk::QFHotfolder, hotParent + "/Alpha"}});
        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();
        QVERIFY(ed.renameItem(0, "Zeta"));
        QCOMPARE(m_alerter.alerts.size(), 1);
        QCOMPARE(m_alerter.alerts.first().title, "Destination's hot folder could not be renamed");
        QVERIFY(m_alerter.alerts.first().text.contains(hotParent + "/Zeta"));
        QCOMPARE(recString(ed.destDictForName("Zeta"), dk::QFHotfolder), hotParent + "/Alpha");
        QVERIFY(QFileInfo(hotParent + "/Alpha").isDir());
        QVERIFY(!QFile::exists(file("Alpha")));
    }

    void deleteRemovesHotFolderFileAndMembership()
    {
        const QString hot = m_home->path() + "/hot/Alpha";
        QVERIFY(QDir().mkpath(hot + "/Errors"));
        QVERIFY(putBytes(hot + "/Errors/failed.zip", "zip"));
        putDest({{dk::name, "Alpha"}, {dk::QFHotfolder, hot}});
        const QByteArray beta = putDest({{dk::name, "Beta"}});
        putDest(group("G1", {"Alpha", "Beta"}));
        putDest(group("G2", {"Beta"}));
        putDest(group("G3", {"Alpha"}));
        const QByteArray g2 = bytesOf(file("G2"));

        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();
        ed.deleteItem(ed.indexOfName("Alpha"));
        QVERIFY(!QFileInfo::exists(hot));
        QVERIFY(QFileInfo::exists(m_home->path() + "/hot"));
        QVERIFY(!QFile::exists(file("Alpha")));
        QCOMPARE(names(ed), QStringList({"Beta", "G1", "G2", "G3"}));
        QCOMPARE(memberNames(ed.destDictForName("G1")), QStringList{"Beta"});
        QCOMPARE(memberNames(ed.destDictForName("G3")), QStringList());
        QCOMPARE(memberNames(ed.items().at(ed.indexOfName("G3"))), QStringList());
        QVERIFY(bytesOf(file("G2")) != g2);
        QCOMPARE(bytesOf(file("Beta")), beta);

        // Deleting a group leaves every other group as it is.
        const QByteArray g1 = bytesOf(file("G1"));
        const QByteArray g3 = bytesOf(file("G3"));
        ed.deleteItem(ed.indexOfName("G2"));
        QVERIFY(!QFile::exists(file("G2")));
        QCOMPARE(bytesOf(file("G1")), g1);
        QCOMPARE(bytesOf(file("G3")), g3);
        QCOMPARE(names(ed), QStringList({"Beta", "G1", "G3"}));
    }

    void templateChangesReachEveryUser()
    {
        for (const char *n : {"a", "b", "c"})
            putDest({{dk::name, QString::fromLatin1(n)},
                     {dk::QFEmailTemplate, "Proofs"},
                     {dk::QFEmailTemplateId, 7}});
        const QByteArray d = putDest(
            {{dk::name, "d"}, {dk::QFEmailTemplate, "Invoices"}, {dk::QFEmailTemplateId, 9}});
        const QByteArray e = putDest({{dk::name, "e"}});

        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();
        ed.checkTemplates({{"7", ""}});
        for (const char *n : {"a", "b", "c"}) {
            const QVariantMap onDisk = ed.destDictForName(QString::fromLatin1(n));
            QCOMPARE(recString(onDisk, dk::QFEmailTemplate), kDefaultTemplateName);
            QCOMPARE(onDisk.value(dk::QFEmailTemplateId).typeId(), QMetaType::LongLong);
            QCOMPARE(recInt(onDisk, dk::QFEmailTemplateId), 0);
            QCOMPARE(ed.items().at(ed.indexOfName(QString::fromLatin1(n))), onDisk);
        }
        QCOMPARE(bytesOf(file("d")), d);
        QCOMPARE(bytesOf(file("e")), e);

        ed.checkTemplates({{"9", "Invoices 2027"}});
        const QVariantMap renamed = ed.destDictForName("d");
        QCOMPARE(recString(renamed, dk::QFEmailTemplate), "Invoices 2027");
        QCOMPARE(recInt(renamed, dk::QFEmailTemplateId), 9);
        QCOMPARE(recString(ed.destDictForName("a"), dk::QFEmailTemplate), kDefaultTemplateName);
        QCOMPARE(bytesOf(file("e")), e);
    }

    void makeDefaultLeavesExactlyOneDefault()
    {
        // Two defaults can arrive from files edited elsewhere.
        putDest({{dk::name, "a"}, {dk::isDefault, true}});
        putDest({{dk::name, "b"}, {dk::isDefault, 1}});
        putDest({{dk::name, "c"}, {dk::isDefault, false}});
        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();

        const auto defaults = [](const QList<QVariantMap> &recs) {
            QStringList out;
            for (const QVariantMap &r : recs) {
                if (recBool(r, dk::isDefault))
                    out.append(recString(r, dk::name));
            }
            return out;
        };
        const int c = ed.indexOfName("c");
        ed.makeDefault(c);
        QCOMPARE(defaults(ed.items()), QStringList{"c"});
        QVERIFY(ed.data(ed.index(c, 0), DestinationsEditor::IsDefaultRole).toBool());
        ed.setSelectedRow(c);
        QVERIFY(ed.writeCurrDestination());

        // What the next start sees agrees with the list.
        DestinationsEditor again(&m_alerter, m_dir);
        again.load();
        QCOMPARE(defaults(again.items()), QStringList{"c"});

        again.makeDefault(again.indexOfName("a"));
        again.makeDefault(again.indexOfName("a"));
        QCOMPARE(defaults(again.items()), QStringList{"a"});
    }

    void unsafeNamesStayInsideTheDestinationsFolder()
    {
        const QString outside = QFileInfo(m_dir).absolutePath() + "/evil.dest";
        const QByteArray outsideBytes = plist::toXml(QVariantMap{{dk::name, "outside"}});
        QVERIFY(putBytes(outside, outsideBytes));
        QVERIFY(QDir().mkpath(m_dir + "/a"));
        const QString nested = m_dir + "/a/b.dest";
        QVERIFY(putBytes(nested, outsideBytes));
        put("x.dest", {{dk::name, "../evil"}, {dk::hostField, "h"}});
        put("y.dest", {{dk::name, "a/b"}});

        DestinationsEditor ed(&m_alerter, m_dir);
        ed.load();
        QCOMPARE(names(ed), QStringList({"../evil", "a/b"}));

        QVERIFY(!ed.writeDestination(ed.items().at(0)));
        QVERIFY(!ed.writeDestination(ed.items().at(1)));
        ed.setSelectedRow(0);
        QVERIFY(!ed.writeCurrDestination());
        QVERIFY(ed.destDictForName("../evil").isEmpty());
        QVERIFY(ed.destDictForName("a/b").isEmpty());
        QVERIFY(ed.destDictForName("../x").isEmpty());
        QVERIFY(ed.destDictForName("..").isEmpty());

        // Renaming such a record gives it a proper file and touches nothing
        // the old name pointed at.
        QVERIFY(ed.renameItem(ed.indexOfName("../evil"), "fixed"));
        QCOMPARE(recString(ed.destDictForName("fixed"), dk::hostField), "h");
        ed.deleteItem(ed.indexOfName("a/b"));
        QCOMPARE(bytesOf(outside), outsideBytes);
        QCOMPARE(bytesOf(nested), outsideBytes);
        QCOMPARE(QDir(QFileInfo(m_dir).absolutePath()).entryList({"*.dest"}, QDir::Files),
                 QStringList{"evil.dest"});
    }
};

QTEST_GUILESS_MAIN(TestDestinationsEditor)
#include "test_destinationseditor.moc"
