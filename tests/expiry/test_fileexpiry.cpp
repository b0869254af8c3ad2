#include "blackbox/blackbox.h"
#include "common/testenv.h"
#include "core/plist.h"
#include "expiry/fileexpiry.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QUrl>
#include <QtTest>

using pv::FileExpiry;

namespace {

const QDateTime kReference(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());

QString fileURL(const QString &folder)
{
    return QUrl::fromLocalFile(folder).toString(QUrl::FullyEncoded);
}

bool touch(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write("x") == 1;
}

} // namespace

class TestFileExpiry : public QObject {
    Q_OBJECT

    pvtest::IsolatedHome m_home;
    QStringList m_errors;
    QStringList m_statuses;

    /// A record as a delivery leaves it, due at expiry; more overrides its
    /// fields, file the name the expiry gives it (or its whole path).
    QString writeRecord(const QString &base, const QString &name, const QDateTime &expiry,
                        const QVariantMap &more = {}, QString file = {})
    {
        if (!file.startsWith('/'))
            file = FileExpiry::recordFolder() + '/' +
                   (file.isEmpty() ? FileExpiry::recordFileName(expiry) : file);
        QDir().mkpath(QFileInfo(file).path());
        QVariantMap r{{"expiryDate", expiry}, {"destination", "Local"},
                      {"password", ""},       {"baseURLNoPassword", base},
                      {"dateFolderPath", ""}, {"name", name},
                      {"kind", "file"},       {"dataFilePath", file}};
        r.insert(more);
        r.insert("isFolder", r.value("kind") == "folder");
        return pv::plist::writeFile(file, r) ? file : QString();
    }
    QDateTime ago(qint64 secs) const { return QDateTime::currentDateTimeUtc().addSecs(-secs); }

    /// One scan to its end, its errors and statuses collected (also later ones).
    bool scan(FileExpiry &fe)
    {
        fe.setErrorHandler([this](const QString &t) { m_errors.append(t); });
        fe.setStatusHandler([this](const QString &t) { m_statuses.append(t); });
        QSignalSpy ended(&fe, &FileExpiry::scanEnded);
        fe.scanExpiryData();
        return !ended.isEmpty() || ended.wait(120000);
    }

private Q_SLOTS:
    void init()
    {
        QDir(FileExpiry::recordFolder()).removeRecursively();
        m_errors.clear();
        m_statuses.clear();
    }

    // The record a delivery leaves: none without days or a base URL; a zipped
    // folder is recorded as the file it became.
    void recording()
    {
        FileExpiry fe;
        const QString base = "ftp://u:<password>@127.0.0.1:21/up";
        const auto write = [&](int days, const QString &finalName, bool isFolder,
                               const QString &baseURL) {
            return fe.writeExpiryDataForFile({{"name", "src"},
                                              {"finalName", finalName},
                                              {"isFolder", isFolder},
                                              {"dateFolderPath", "2026/12-2026"},
                                              {"baseURLNoPassword", baseURL}},
                                             {{"name", "Up"},
                                              {"QFExpireFiles", 1},
                                              {"QFExpiryDays", days},
                                              {"sitePasswordField", "U2FsdGVk"}});
        };
        QVERIFY(write(0, "a.pdf", false, base).isEmpty());
        QVERIFY(write(3, "a.pdf", false, "").isEmpty());
        QVERIFY(QDir(FileExpiry::recordFolder()).isEmpty());
        const std::tuple<QString, bool, QString> rows[] = {
            {"a.pdf", false, "file"}, {"photos", true, "folder"}, {"photos.zip", true, "file"}};
        for (const auto &[finalName, isFolder, kind] : rows) {
            QDir(FileExpiry::recordFolder()).removeRecursively();
            const QDateTime before = QDateTime::currentDateTimeUtc();
            const QString path = write(2, finalName, isFolder, base);
            const QStringList files = QDir(FileExpiry::recordFolder()).entryList(QDir::Files);
            QCOMPARE(files, QStringList{QFileInfo(path).fileName()});
            QVariantMap r = pv::plist::readFile(path).toMap();
            const QDateTime expiry = r.take("expiryDate").toDateTime();
            QVERIFY(qAbs(before.addDays(2).secsTo(expiry)) <= 2);
            QVERIFY(qAbs(files[0].chopped(4).toDouble() - kReference.secsTo(expiry)) <= 2);
            QVERIFY(files[0].contains(QRegularExpression(R"(^\d+\.\d{6}\.xml$)")));
            QCOMPARE(r, (QVariantMap{{"destination", "Up"},
                                     {"password", "U2FsdGVk"},
                                     {"baseURLNoPassword", base},
                                     {"dateFolderPath", "2026/12-2026"},
                                     {"name", finalName},
                                     {"isFolder", isFolder},
                                     {"kind", kind},
                                     {"dataFilePath", path}}));
            // It holds the scrambled password.
            QCOMPARE(QFile::permissions(path) & 0x0077, QFileDevice::Permissions());
            // A second delivery at the same moment keeps its own record.
            QVERIFY(write(2, finalName, isFolder, base) != path);
        }
    }

    void localScan()
    {
        QTemporaryDir dest, other;
        const QString d = dest.path(), base = fileURL(d);
        QVERIFY(touch(d + "/old.txt") && touch(d + "/twice.txt") && touch(d + "/future.txt") &&
                touch(d + "/late.txt") && touch(d + "/ancient.txt"));
        QVERIFY(QDir().mkpath(d + "/tree/sub") && touch(d + "/tree/sub/x") && touch(d + "/tree/y"));
        QVERIFY(QDir().mkpath(other.path() + "/inner") && touch(other.path() + "/inner/keep"));

        const QString oldRec = writeRecord(base, "old.txt", ago(86400));
        const QString treeRec = writeRecord(base, "tree", ago(7200), {{"kind", "folder"}});
        const QString goneRec = writeRecord(base, "gone.txt", ago(3600));
        // Delivered twice: the later record decides.
        const QString twice1 = writeRecord(base, "twice.txt", ago(5000));
        const QString twice2 = writeRecord(base, "twice.txt", ago(-86400));
        const QString futureRec = writeRecord(base, "future.txt", ago(-3 * 86400));
        // Sorted by the number, not the text: "99..." comes first.
        const QString ancientRec =
            writeRecord(base, "ancient.txt", kReference.addSecs(99), {}, "99.000000.xml");
        // Due, but after the first record that is not: left for later.
        const QString lateRec = writeRecord(base, "late.txt", ago(3600), {},
                                            FileExpiry::recordFileName(ago(-4 * 86400)));
        // A record that would reach outside its item, and one that is no record.
        const QString escapeRec = writeRecord(fileURL(other.path() + "/inner"), "", ago(3600));
        const QString junk = FileExpiry::recordFolder() + "/5.000000.xml";
        QVERIFY(touch(junk));

        FileExpiry fe;
        QVERIFY(scan(fe));
        for (const QString &gone : {d + "/old.txt", d + "/tree", d + "/ancient.txt", oldRec,
                                    treeRec, goneRec, ancientRec})
            QVERIFY2(!QFileInfo::exists(gone), qPrintable(gone));
        for (const QString &kept :
             {d + "/twice.txt", d + "/future.txt", d + "/late.txt", twice1, twice2, futureRec,
              lateRec, escapeRec, junk, other.path() + "/inner/keep"})
            QVERIFY2(QFileInfo::exists(kept), qPrintable(kept));
        QVERIFY(m_errors.isEmpty());
        QCOMPARE(m_statuses.first(), "Checking for expired files...");
        QVERIFY(m_statuses.contains("Deleting expired item \"old.txt\" from destination "
                                    "\"Local\"..."));
        QCOMPARE(m_statuses.last(), QString());

        // A scan while the run is busy does not start a second one.
        writeRecord(base, "late2.txt", ago(60));
        QVERIFY(touch(d + "/late2.txt"));
        QSignalSpy ended(&fe, &FileExpiry::scanEnded);
        m_statuses.clear();
        fe.scanExpiryData();
        fe.scanExpiryData();
        QCOMPARE(m_statuses, QStringList{"Checking for expired files..."});
        QVERIFY(ended.wait(60000));
        QVERIFY(!QFileInfo::exists(d + "/late2.txt"));
    }

    void unreachableServer()
    {
        const QString base = "ftp://u:<password>@127.0.0.1:1/up";
        const QString recent =
            writeRecord(base, "recent.txt", ago(3600), {{"destination", "Closed"}});
        const QString old =
            writeRecord(base, "old.txt", ago(4 * 86400), {{"destination", "Closed"}});
        FileExpiry fe;
        QVERIFY(scan(fe));
        QVERIFY(QFileInfo::exists(recent) && !QFileInfo::exists(old));
        QCOMPARE(m_errors.size(), 1);
        QVERIFY2(m_errors[0].startsWith("The expired item \"old.txt\" could not be deleted from "
                                        "destination \"Closed\". All attempts to delete it within "
                                        "last 3 days have failed. Please delete it manually, if "
                                        "needed. Last error was:\n\n"),
                 qPrintable(m_errors[0]));
    }
    // Through the program: a start removes what is due, and deliveries to a
    // destination with expiry leave their records.
    void programRecordsAndScans()
    {
        if (bb::exe().isEmpty())
            QSKIP("the program is not built");
        // The program's socket path must stay short: its home is not nested in ours.
        const QByteArray ownTmp = qgetenv("TMPDIR");
        qunsetenv("TMPDIR");
        bb::Home home;
        qputenv("TMPDIR", ownTmp);
        const QString hot = home.path() + "/hot", out = home.path() + "/out";
        const QString records = home.app() + "/FileExpiry.qsdtb";
        home.writeSettings({{"watchInterval", 1}});
        QVariantMap dest = bb::packaging(bb::local("Exp", out), 0, false, true);
        dest.insert("QFExpireFiles", 1);
        dest.insert("QFExpiryDays", 2);
        home.writeDest(bb::withHotFolder(dest, hot));
        QVERIFY(touch(out + "/stale.txt"));
        const QString stale =
            writeRecord(fileURL(out), "stale.txt", ago(60), {{"destination", "Exp"}},
                        records + "/" + FileExpiry::recordFileName(ago(60)));

        bb::Instance inst(home);
        QVERIFY2(
            inst.waitFor(
                [&] { return !QFileInfo::exists(out + "/stale.txt") && !QFileInfo::exists(stale); },
                20000),
            inst.tail());
        QVERIFY(bb::writeFiles(hot, {{"Exp/report.pdf", "r"}, {"Exp/Pics/one.txt", "1"}}));
        const QStringList missing =
            inst.waitForPaths(hot, {"Exp/Done/report.pdf", "Exp/Done/Pics"});
        QVERIFY2(missing.isEmpty(), inst.tail());
        const auto files = [&] { return QDir(records).entryList(QDir::Files); };
        QVERIFY(inst.waitFor([&] { return files().size() == 2; }, 20000));
        QStringList names;
        for (const QString &f : files()) {
            const QVariantMap r = pv::plist::readFile(records + '/' + f).toMap();
            names << r.value("name").toString();
            QCOMPARE(QUrl(r.value("baseURLNoPassword").toString()).path(), out);
            const QDateTime due = r.value("expiryDate").toDateTime();
            QVERIFY(qAbs(QDateTime::currentDateTimeUtc().addDays(2).secsTo(due)) < 120);
        }
        names.sort();
        QCOMPARE(names, (QStringList{"Pics.zip", "report.pdf"}));
    }
};

QTEST_GUILESS_MAIN(TestFileExpiry)
#include "test_fileexpiry.moc"
