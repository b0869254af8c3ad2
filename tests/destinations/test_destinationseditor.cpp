#include "common/fixtures.h"
#include "common/testenv.h"
#include "core/paths.h"
#include "core/plist.h"
#include "core/record.h"
#include "destinations/destination.h"
#include "destinations/destinationseditor.h"

#include <QDir>
#include <QFile>

#include <memory>

#include <sys/stat.h>

using namespace pv;
using pvtest::putBytes;

namespace {

QVariantMap group(const QString &name, const QStringList &members)
{
    QVariantList list;
    for (const QString &m : members)
        list.append(QVariantMap{{dk::name, m}, {dk::QFDestType, kFtpServer}});
    return {
        {dk::name, name}, {dk::isGroup, true}, {dk::QFDestType, "group"}, {dk::groupDests, list}};
}

/// The names in a list of records: a store's rows or a group's members.
template <typename Records> QStringList namesIn(const Records &records)
{
    QStringList out;
    for (const auto &r : records)
        out.append(recString(QVariant(r).toMap(), dk::name));
    return out;
}

QStringList memberNames(const QVariantMap &rec)
{
    return namesIn(rec.value(dk::groupDests).toList());
}

} // namespace

class TestDestinationsEditor : public QObject {
    Q_OBJECT

    std::unique_ptr<pvtest::IsolatedHome> m_home;
    pvtest::RecordingAlerter m_alerter;
    QString m_dir;

    std::vector<std::unique_ptr<DestinationsEditor>> m_editors;

    /// A store as the next start reads the Destinations folder.
    DestinationsEditor &load()
    {
        m_editors.push_back(std::make_unique<DestinationsEditor>(&m_alerter, m_dir));
        m_editors.back()->load();
        return *m_editors.back();
    }
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

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<pvtest::IsolatedHome>();
        m_alerter.alerts.clear();
        m_dir = paths::destinationsDir();
        QVERIFY(QDir().mkpath(m_dir));
    }

    void cleanup()
    {
        m_editors.clear();
        m_home.reset();
    }

    void loadSkipsWhatIsNotAUsableDestination()
    {
        putDest({{dk::name, "ftp"}, {dk::hostField, "h"}});
        put(".hidden.dest", {{dk::name, "hidden"}});
        put("notes.xml", {{dk::name, "notes"}});
        QVERIFY(QDir().mkpath(m_dir + "/folder.dest"));
        put("idisk.dest", {{dk::name, "idisk"}, {dk::QFDestType, "MobileMe (iDisk)"}});
        QVERIFY(putBytes(m_dir + "/list.dest", plist::toXml(QVariantList{"a", 1})));
        const QByteArray whole = plist::toXml(QVariantMap{{dk::name, "cut"}, {dk::hostField, "x"}});
        QVERIFY(putBytes(m_dir + "/cut.dest", whole.left(whole.size() / 2)));
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
                 {dk::groupDests, QVariantList{3, "ftp", QVariantMap{{dk::name, "ftp"}}}}});
        putDest({{dk::name, "nocode"}});

        DestinationsEditor &ed = load();
        QCOMPARE(namesIn(ed.items()), QStringList({"ftp", "junk members", "nocode", "Numbered",
                                                   "odd group", "oddTypes"}));
        QVERIFY(m_alerter.alerts.isEmpty());
        QCOMPARE(destTypeOf(ed.items().at(ed.indexOfName("Numbered"))), kLocalDisk);
        const QVariantMap odd = ed.items().at(ed.indexOfName("oddTypes"));
        QCOMPARE(odd.value(dk::QFDestCode).typeId(), QMetaType::QString);
        QCOMPARE(destTypeOf(odd), kFtpServer);
        for (int cell = 0; cell < ed.rowCount() * ed.columnCount(); ++cell) {
            const QModelIndex i = ed.index(cell / ed.columnCount(), cell % ed.columnCount());
            (void)ed.data(i, Qt::DisplayRole), (void)ed.data(i, DestinationsEditor::IsDefaultRole);
        }
        // A missing code reads as empty text and is stored by the next write.
        ed.setSelectedRow(ed.indexOfName("nocode"));
        QCOMPARE(ed.selectedItem().value(dk::QFDestCode).typeId(), QMetaType::QString);
        QVERIFY(ed.writeCurrDestination());
        QCOMPARE(ed.destDictForName("nocode").value(dk::QFDestCode), QVariant(QString()));
        // Every queued item asks for this write: an unchanged record is not
        // rewritten (a rewrite replaces the file), a changed one is.
        const auto inode = [this] {
            struct stat st {};
            return ::stat(QFile::encodeName(file("nocode")).constData(), &st) == 0 ? st.st_ino : 0;
        };
        const ino_t before = inode();
        QVERIFY(before != 0);
        QVERIFY(ed.writeCurrDestination());
        QCOMPARE(inode(), before);
        QVariantMap changed = ed.selectedItem();
        changed.insert(dk::QFDestCode, "nc");
        ed.setItem(ed.selectedRow(), changed);
        QVERIFY(ed.writeCurrDestination());
        QCOMPARE(ed.destDictForName("nocode").value(dk::QFDestCode), QVariant("nc"));

        // Group upkeep walks the malformed member lists without harm and
        // still removes the well-formed member.
        ed.deleteItem(ed.indexOfName("ftp"));
        QCOMPARE(ed.destDictForName("junk members").value(dk::groupDests).toList().size(), 2);
        QCOMPARE(ed.destDictForName("odd group").value(dk::groupDests).toString(), "ftp");
    }

    void nothingLoadableGivesOneUnsavedRecord()
    {
        put("idisk.dest", {{dk::name, "idisk"}, {dk::QFDestType, "MobileMe (iDisk)"}});
        // Nested far too deep to read: skipped like any unreadable file, and
        // the new record does not take its name.
        const QByteArray deep = "<plist>" + QByteArray("<array>").repeated(50000) +
                                QByteArray("</array>").repeated(50000) + "</plist>";
        QVERIFY(putBytes(file("Destination 1"), deep));
        DestinationsEditor &ed = load();
        QCOMPARE(namesIn(ed.items()), QStringList{"Destination 2"});
        // The first save of the selected record gives it its file.
        // Integers, booleans and text keep their types in the file.
        QVERIFY(ed.writeCurrDestination());
        const QVariantMap first = ed.destDictForName("Destination 2");
        QCOMPARE(first.value(dk::QFCreateZip).typeId(), QMetaType::Bool);
        QCOMPARE(first.value(dk::QFPort).typeId(), QMetaType::QString);
        QCOMPARE(pvtest::fileBytes(file("Destination 1")), deep);
        QCOMPARE(ed.freeName("Destination", 1), "Destination 3");
        // A copy of a record loaded under a name the rules refuse gets a proper name.
        QCOMPARE(ed.freeName(".Proofs", 2), "Destination 3");

        // A Destinations folder that does not exist yet loads the same way.
        QVERIFY(QDir(m_dir).removeRecursively());
        DestinationsEditor &fresh = load();
        QCOMPARE(namesIn(fresh.items()), QStringList{"Destination 1"});
        QVERIFY(!QDir(m_dir).exists());
    }

    void missingHotFoldersGiveOneAlert()
    {
        const QString hot = m_home->path() + "/hot/";
        QVERIFY(QDir().mkpath(hot + "present"));
        putDest({{dk::name, "a"}, {dk::QFHotfolder, hot + "gone-a"}});
        putDest({{dk::name, "b"}, {dk::QFHotfolder, hot + "gone-b"}});
        putDest(
            {{dk::name, "c"}, {dk::QFHotfolder, hot + "present"}, {dk::hotfolderNotFound, true}});
        putDest({{dk::name, "d"}});

        DestinationsEditor &ed = load();
        QCOMPARE(m_alerter.alerts.size(), 1);
        QCOMPARE(m_alerter.alerts.first().title, "Some hot folders have not been found");
        QCOMPARE(m_alerter.alerts.first().text, "Check destination list for missing hot folders.");
        const auto notFound = [&](const char *n) {
            return recBool(ed.items().at(ed.indexOfName(n)), dk::hotfolderNotFound);
        };
        QVERIFY(notFound("a") && notFound("b") && !notFound("c") && !notFound("d"));

        // Once the folders exist again, loading is silent.
        QVERIFY(QDir().mkpath(hot + "gone-a") && QDir().mkpath(hot + "gone-b"));
        ed.load();
        QCOMPARE(m_alerter.alerts.size(), 1);
    }

    void newRecordsTakeTheStoredDeliveryDefaults()
    {
        DestinationsEditor ed(&m_alerter, m_dir);
        const QVariantMap plain = ed.newItem();
        QVERIFY(!plain.contains(dk::overwriteBtn));
        QVERIFY(ed.writeDefaults({{dk::overwriteBtn, 1},
                                  {dk::dateFormat, "2026-12-31"},
                                  {dk::QFExpiryDays, 7},
                                  {dk::hostField, "not an option"},
                                  {dk::name, "not an option either"}}));
        const QVariantMap fresh = ed.newItem();
        QCOMPARE(recString(fresh, dk::name), "Destination 1");
        QCOMPARE(recString(fresh, dk::hostField), QString());
        QCOMPARE(recInt(fresh, dk::overwriteBtn), 1);
        QCOMPARE(recInt(fresh, dk::QFExpiryDays), 7);
        QCOMPARE(recString(fresh, dk::dateFormat), "2026-12-31");

        // An unreadable defaults file is ignored.
        QVERIFY(putBytes(paths::appFile("Defaults.xml"), "<plist><dict><key>"));
        QCOMPARE(ed.newItem(), plain);
    }

    void renameAndDeleteKeepFilesGroupsAndHotFolderInStep()
    {
        const QString hot = m_home->path() + "/hot";
        QVERIFY(QDir().mkpath(hot + "/Alpha/Priority"));
        QVERIFY(putBytes(hot + "/Alpha/Priority/waiting.pdf", "%PDF"));
        putDest({{dk::name, "Alpha"}, {dk::QFHotfolder, hot + "/Alpha"}});
        const QByteArray beta = putDest({{dk::name, "Beta"}});
        putDest(group("G1", {"Beta", "Alpha"}));
        putDest(group("G3", {"Alpha"}));
        QVERIFY(QDir().mkpath(hot + "/Omega") && QDir().mkpath(hot + "/Taken"));
        putDest({{dk::name, "Omega"}, {dk::QFHotfolder, hot + "/Omega"}});

        DestinationsEditor &ed = load();
        QVERIFY(ed.renameItem(ed.indexOfName("Alpha"), "Zeta"));
        QVERIFY(!QFile::exists(file("Alpha")));
        QCOMPARE(namesIn(ed.items()), QStringList({"Beta", "G1", "G3", "Omega", "Zeta"}));
        QCOMPARE(memberNames(ed.destDictForName("G1")), QStringList({"Beta", "Zeta"}));
        QCOMPARE(pvtest::fileBytes(file("Beta")), beta);
        QVERIFY(QFile::exists(hot + "/Zeta/Priority/waiting.pdf"));
        QVERIFY(!QFileInfo::exists(hot + "/Alpha"));
        QCOMPARE(recString(ed.destDictForName("Zeta"), dk::QFHotfolder), hot + "/Zeta");

        // Deleting takes the hot folder, the file and every membership along.
        ed.deleteItem(ed.indexOfName("Zeta"));
        QVERIFY(!QFileInfo::exists(hot + "/Zeta"));
        QVERIFY(QFileInfo::exists(hot));
        QVERIFY(!QFile::exists(file("Zeta")));
        QCOMPARE(memberNames(ed.destDictForName("G1")), QStringList{"Beta"});
        QCOMPARE(memberNames(ed.destDictForName("G3")), QStringList());
        QCOMPARE(pvtest::fileBytes(file("Beta")), beta);

        // Deleting a group leaves every other group as it is.
        const QByteArray g1 = pvtest::fileBytes(file("G1"));
        ed.deleteItem(ed.indexOfName("G3"));
        QVERIFY(!QFile::exists(file("G3")));
        QCOMPARE(pvtest::fileBytes(file("G1")), g1);
        QCOMPARE(namesIn(ed.items()), QStringList({"Beta", "G1", "Omega"}));
        QVERIFY(m_alerter.alerts.isEmpty());

        // The new hot folder name is taken: the record keeps the old folder.
        QVERIFY(ed.renameItem(ed.indexOfName("Omega"), "Taken"));
        QCOMPARE(m_alerter.alerts.size(), 1);
        QCOMPARE(m_alerter.alerts.first().title, "Destination's hot folder could not be renamed");
        QCOMPARE(recString(ed.destDictForName("Taken"), dk::QFHotfolder), hot + "/Omega");
        QVERIFY(QFileInfo(hot + "/Omega").isDir());
    }

    // Renaming and adding obey the same rules, each refusal alerted; a record
    // the list does not show still owns its file; an accepted name is taken.
    void nameRules()
    {
        putDest({{dk::name, "Alpha"}});
        putDest({{dk::name, "Old iDisk"}, {dk::QFDestType, "MobileMe (iDisk)"}});
        putDest({{dk::name, "Beta"}});
        DestinationsEditor &ed = load();
        const QString chars =
            "Error|Destination names cannot contain the following characters: : / [ ]";
        const QString period = "Error|Destination name cannot start with a period (.)";
        const QString taken = "Destination with this name already exists|Please choose a "
                              "different name.";
        const auto check = [&](const QString &name, const QString &alert) {
            m_alerter.alerts.clear();
            QCOMPARE(ed.renameItem(ed.indexOfName("Alpha"), name), alert.isEmpty());
            QVariantMap rec = ed.newItem();
            rec.insert(dk::name, name);
            QCOMPARE(ed.addItem(rec), -1);
            QStringList alerts;
            for (const Alert &a : std::as_const(m_alerter.alerts))
                alerts << a.title + '|' + a.text;
            QCOMPARE(alerts, alert.isEmpty() ? QStringList({taken}) : QStringList({alert, alert}));
        };
        check("", "Destination name cannot be empty|");
        for (const char *name : {"a:b", "x/y", "[1", "v]"})
            check(name, chars);
        for (const char *name : {".Proofs", ".."})
            check(name, period);
        for (const char *name : {"Beta", "Old iDisk"})
            check(name, taken);
        check("Proofs. v2 & <é>", QString());
        // The next start finds what the list shows.
        QCOMPARE(namesIn(load().items()), QStringList({"Beta", "Proofs. v2 & <é>"}));
    }

    void templateChangesReachEveryUser()
    {
        for (const char *n : {"a", "b"})
            putDest({{dk::name, n}, {dk::QFEmailTemplate, "Proofs"}, {dk::QFEmailTemplateId, 7}});
        const QByteArray d = putDest(
            {{dk::name, "d"}, {dk::QFEmailTemplate, "Invoices"}, {dk::QFEmailTemplateId, 9}});
        const QByteArray e = putDest({{dk::name, "e"}});

        DestinationsEditor &ed = load();
        ed.checkTemplates({{"7", ""}});
        for (const char *n : {"a", "b"}) {
            const QVariantMap onDisk = ed.destDictForName(n);
            QCOMPARE(recString(onDisk, dk::QFEmailTemplate), kDefaultTemplateName);
            QCOMPARE(onDisk.value(dk::QFEmailTemplateId).typeId(), QMetaType::LongLong);
            QCOMPARE(recInt(onDisk, dk::QFEmailTemplateId), 0);
            QCOMPARE(ed.items().at(ed.indexOfName(n)), onDisk);
        }
        QCOMPARE(pvtest::fileBytes(file("d")), d);

        ed.checkTemplates({{"9", "Invoices 2027"}});
        QCOMPARE(recString(ed.destDictForName("d"), dk::QFEmailTemplate), "Invoices 2027");
        QCOMPARE(recInt(ed.destDictForName("d"), dk::QFEmailTemplateId), 9);
        QCOMPARE(pvtest::fileBytes(file("e")), e);
    }

    void sortedCaseInsensitivelyWithExactlyOneDefault()
    {
        // Two defaults can arrive from files edited elsewhere.
        putDest({{dk::name, "beta"}, {dk::isDefault, true}});
        putDest({{dk::name, "Alpha"}, {dk::isDefault, 1}});
        putDest({{dk::name, "Delta"}, {dk::isDefault, false}});
        putDest({{dk::name, "alpha2"}});
        DestinationsEditor &ed = load();
        QCOMPARE(namesIn(ed.items()), QStringList({"Alpha", "alpha2", "beta", "Delta"}));
        QVariantMap rec = ed.newItem();
        rec.insert(dk::name, "Charlie");
        QCOMPARE(ed.addItem(rec), 3);
        QCOMPARE(recString(ed.selectedItem(), dk::name), "Charlie");

        ed.makeDefault(ed.indexOfName("Delta"));
        ed.setSelectedRow(ed.indexOfName("Delta"));
        QVERIFY(ed.writeCurrDestination());
        // What the next start sees agrees with the list.
        DestinationsEditor &again = load();
        for (const DestinationsEditor *e : {&ed, &again})
            for (const QVariantMap &r : e->items())
                QCOMPARE(recBool(r, dk::isDefault), recString(r, dk::name) == "Delta");
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

        DestinationsEditor &ed = load();
        QCOMPARE(namesIn(ed.items()), QStringList({"../evil", "a/b"}));
        QVERIFY(!ed.writeDestination(ed.items().at(0)));
        QVERIFY(!ed.writeDestination(ed.items().at(1)));
        ed.setSelectedRow(0);
        QVERIFY(!ed.writeCurrDestination());
        for (const char *n : {"../evil", "a/b", ".."})
            QVERIFY2(ed.destDictForName(n).isEmpty(), n);

        // Renaming such a record gives it a proper file and touches nothing
        // the old name pointed at.
        QVERIFY(ed.renameItem(ed.indexOfName("../evil"), "fixed"));
        QCOMPARE(recString(ed.destDictForName("fixed"), dk::hostField), "h");
        ed.deleteItem(ed.indexOfName("a/b"));
        QCOMPARE(pvtest::fileBytes(outside), outsideBytes);
        QCOMPARE(pvtest::fileBytes(nested), outsideBytes);
        QCOMPARE(QDir(QFileInfo(m_dir).absolutePath()).entryList({"*.dest"}, QDir::Files),
                 QStringList{"evil.dest"});
    }
};

QTEST_GUILESS_MAIN(TestDestinationsEditor)
#include "test_destinationseditor.moc"
