// The remote file manager and the listing: against the test servers, and
// against an in-memory server that records each call and can lie in its
// listings.

#include "app/transferrun.h"
#include "common/remoteserver.h"
#include "common/testenv.h"
#include "core/plist.h"
#include "core/settings.h"
#include "expiry/fileexpiry.h"
#include "prefs/prefs.h"
#include "remote/listingoperation.h"
#include "remote/remotelist.h"
#include "remote/remotemanager.h"

#include <QSignalSpy>
#include <QtTest>

using namespace pv;
using pvtest::RemoteServer;

namespace {

/// What a manager run told its client, on the main thread.
struct Client : RemoteManagerClient {
    QObject context;
    QList<RemoteStatus> reports;
    QList<RemoteListing> listings;

    QObject *remoteManagerContext() override { return &context; }
    void readOutput(const RemoteStatus &s) override
    {
        QCOMPARE(QThread::currentThread(), context.thread());
        reports.append(s);
    }
    void setListing(const RemoteListing &l) override { listings.append(l); }
    bool ended() const
    {
        return !reports.isEmpty() && reports.last().type != RemoteStatus::Type::Update;
    }
};

/// An in-memory server: paths without a leading "/" to "is a folder".
struct FakeServer {
    QMap<QString, bool> items;
    QStringList calls;
    QStringList lies; // names added to every listing
};

class FakeController final : public FileTransferController {
public:
    FakeServer *server = nullptr;
    QString urlScheme() const override { return "ftp"; }

    TransferResult<RemoteListing> contentsOfDirectoryAtPath(const QString &path) override
    {
        const QString dir = clean(path);
        server->calls << "list " + dir;
        sendDidStart();
        RemoteListing l;
        for (auto it = server->items.cbegin(); it != server->items.cend(); ++it)
            if (it.key().section('/', 0, -2) == dir)
                l.insert(it.key().section('/', -1),
                         {{kNSFileType, it.value() ? kNSFileTypeDirectory : kNSFileTypeRegular}});
        for (const QString &lie : server->lies)
            l.insert(lie, {{kNSFileType, kNSFileTypeDirectory}});
        sendDidSucceed();
        return l;
    }
    Result createDirectoryAtPath(const QString &path) override
    {
        server->items.insert(clean(path), true);
        return {};
    }
    Result deleteFileAtPath(const QString &path) override { return remove("rm", path, false); }
    Result deleteDirectoryAtPath(const QString &path) override
    {
        return remove("rmdir", path, true);
    }

private:
    static QString clean(const QString &p) { return QString(p).remove(QRegularExpression("^/+")); }
    Result remove(const QString &what, const QString &path, bool folder)
    {
        const QString p = clean(path);
        server->calls << what + ' ' + p;
        const auto child = server->items.lowerBound(p + '/');
        const bool hasChildren = child != server->items.cend() && child.key().startsWith(p + '/');
        if (server->items.value(p, !folder) != folder || (folder && hasChildren))
            return failOperation("cannot remove " + p);
        server->items.remove(p);
        return {};
    }
};

QVariantMap row(const QString &name, bool folder)
{
    return {{"name", name}, {"kind", folder ? kNSFileTypeDirectory : kNSFileTypeRegular}};
}

} // namespace

class TestRemoteManager : public QObject {
    Q_OBJECT
    pvtest::IsolatedHome m_home;
    FakeServer m_fake;

    RemoteManager::ControllerFactory fakeFactory()
    {
        return [this](const QUrl &url) -> std::unique_ptr<FileTransferController> {
            auto c = std::make_unique<FakeController>();
            c->server = &m_fake;
            return c->initWithBaseURL(url) ? std::move(c) : nullptr;
        };
    }

    static void run(Client &client, const QVariantMap &params, RemoteManager::Operation op)
    {
        RemoteManager::start(std::make_unique<RemoteManager>(&client, params), op);
        QTRY_VERIFY_WITH_TIMEOUT(client.ended(), 60000);
    }

private Q_SLOTS:
    void onServers_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char *k : {"ftp", "sftp", "webdav-nginx", "s3", "smb"})
            QTest::newRow(k) << QString(k);
    }

    // Listing, a new folder, deleting a tree and the expiry's deletions on each
    // kind of server.
    void onServers()
    {
        QFETCH(QString, kind);
        const RemoteServer server(kind);
        QVERIFY2(!server.env.isEmpty(), "run through ctest, which starts the servers");
        settings::setValue("S3ServiceHost", server.env.value("S3_SERVICE_HOST"));
        const QString pid = QString::number(QCoreApplication::applicationPid());
        const QString folder = server.isBucket() ? QString() : "rm-" + pid;
        QVERIFY(folder.isEmpty() || server.makeFolder(folder));
        const QVariantMap dest = server.destination(kind, folder);
        const TargetURL target =
            composeTargetURL(dest, server.password(), dest.value("pathField").toString());
        QVERIFY(target.refusal.isEmpty());

        // Content made through the server, so the server's user owns it.
        const QString file = "top " + pid + ".txt";
        {
            auto c = FileTransferController::fileTransferControllerWithURL(QUrl(target.url));
            QVERIFY(c);
            c->applyDestinationSettings(dest);
            QVERIFY(c->uploadFileFromData("top", file));
            if (!server.isBucket()) {
                for (const char *dir :
                     {"tree", "tree/one", "tree/one/two", "tree/empty", "2026", "2026/dir"})
                    QVERIFY(c->createDirectoryAtPath(dir));
                for (const char *f :
                     {"tree/a.txt", "tree/one/b.txt", "tree/one/two/c.txt", "2026/dir/d.txt"})
                    QVERIFY(c->uploadFileFromData("x", f));
            }
        }

        RemoteStatus done;
        Client client;
        ListingOperation op(&client.context, {{"url", target.url}, {"dest", dest}},
                            [&done](const RemoteStatus &s) { done = s; });
        op.startProcess();
        QCOMPARE(done.type, RemoteStatus::Type::Done);
        QVERIFY(done.list.contains(file));
        if (!server.isBucket()) {
            QCOMPARE(done.list.value(file).value(kNSFileType).toString(), kNSFileTypeRegular);
            QCOMPARE(done.list.value("tree").value(kNSFileType).toString(), kNSFileTypeDirectory);
        }

        const QVariantMap params{{"url", done.url}, {"dest", dest}};
        if (!server.isBucket()) {
            QVariantMap p = params;
            p.insert("name", "made");
            run(client, p, RemoteManager::Operation::CreateFolder);
            QCOMPARE(client.reports.last().type, RemoteStatus::Type::EndRefresh);
            QVERIFY(client.reports.last().success);
            QVERIFY(client.listings.last().contains("made"));
            QVERIFY(QFileInfo(server.localPath(folder) + "/made").isDir());

            client.reports.clear();
            p = params;
            p.insert("selectedItems", QVariantList{row("tree", true), row("made", true)});
            run(client, p, RemoteManager::Operation::DeleteItems);
            QCOMPARE(client.reports.last().type, RemoteStatus::Type::End);
            QVERIFY(client.reports.last().success);
            QCOMPARE(client.listings.last().keys(), (QStringList{"2026", file}));
            QCOMPARE(
                QDir(server.localPath(folder)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                (QStringList{"2026", file}));
        }

        // Expiry as the program runs it: the due file and a folder below the
        // date folders go, an item already gone is no error, every record goes.
        FileExpiry fe;
        QStringList errors, statuses;
        fe.setErrorHandler([&errors](const QString &t) { errors << t; });
        fe.setStatusHandler([&statuses](const QString &t) { statuses << t; });
        fe.setDestinationLookup([&dest](const QString &) { return dest; });
        QVERIFY(QDir().mkpath(FileExpiry::recordFolder()));
        const auto expire = [&](const QString &name, const QString &dated, qint64 age) {
            const QDateTime due = QDateTime::currentDateTimeUtc().addSecs(-age);
            const QString rec = FileExpiry::recordFolder() + '/' + FileExpiry::recordFileName(due);
            QVERIFY(plist::writeFile(rec, QVariantMap{{"expiryDate", due},
                                                      {"destination", kind},
                                                      {"password", dest["sitePasswordField"]},
                                                      {"baseURLNoPassword", target.noPassword},
                                                      {"dateFolderPath", dated},
                                                      {"name", name},
                                                      {"isFolder", !dated.isEmpty()},
                                                      {"kind", dated.isEmpty() ? "file" : "folder"},
                                                      {"dataFilePath", rec}}));
        };
        expire(file, {}, 3600);
        expire("gone " + pid, {}, 9 * 86400);
        if (!server.isBucket())
            expire("dir", "2026", 3500);
        QSignalSpy ended(&fe, &FileExpiry::scanEnded);
        fe.scanExpiryData();
        QVERIFY(!ended.isEmpty() || ended.wait(60000));
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));
        QVERIFY(statuses.contains(
            QString("Deleting expired item \"%1\" from destination \"%2\"...").arg(file, kind)));
        QCOMPARE(QDir(FileExpiry::recordFolder()).entryList(QDir::Files), QStringList());
        if (!server.isBucket())
            QCOMPARE(
                QDir(server.localPath(folder)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                QStringList{"2026"});
        ListingOperation again(&client.context, {{"url", target.url}, {"dest", dest}},
                               [&done](const RemoteStatus &s) { done = s; });
        again.startProcess();
        QCOMPARE(done.type, RemoteStatus::Type::Done);
        QVERIFY(!done.list.contains(file));
    }

    // Files first, innermost folders next, the selected folder last; names a
    // server makes up never become paths.
    void folderWalk()
    {
        m_fake.items = {{"sel", true},       {"sel/f1", false}, {"sel/A", true},
                        {"sel/A/a1", false}, {"sel/A/B", true}, {"sel/A/B/b1", false},
                        {"sel/E", true},     {"x", false},      {"keep", true}};
        m_fake.lies = {"../x", "a/b", ".", "..", ""};
        m_fake.calls.clear();
        Client client;
        auto m = std::make_unique<RemoteManager>(
            &client, QVariantMap{{"url", "ftp://u:p@127.0.0.1:21/base"},
                                 {"selectedItems", QVariantList{row("sel", true), row("..", true),
                                                                row("../keep", true)}}});
        m->setControllerFactory(fakeFactory());
        m->deleteItems();
        const QStringList removals = m_fake.calls.filter(QRegularExpression("^rm"));
        QCOMPARE(removals, QStringList({"rmdir sel/E", "rm sel/f1", "rm sel/A/a1", "rm sel/A/B/b1",
                                        "rmdir sel/A/B", "rmdir sel/A", "rmdir sel"}));
        QCOMPARE(m_fake.items.keys(), QStringList({"keep", "x"}));
        QCOMPARE(client.listings.size(), 1);
        QCOMPARE(client.listings[0].keys(), QStringList({"keep", "x"}));
        // The rows that were not names count as failures.
        QVERIFY(!client.reports.last().success);

        RemoteStatus done;
        ListingOperation op(&client.context, {{"url", "ftp://u:p@127.0.0.1:21/base"}},
                            [&done](const RemoteStatus &s) { done = s; });
        op.setControllerFactory(fakeFactory());
        op.startProcess();
        QCOMPARE(done.list.keys(), QStringList({"keep", "x"}));
    }

    // Sizes, rows, counter, sorting, new-folder names and copied names.
    void browserTable()
    {
        for (const QString &row :
             QStringList{"0|1 KB", "2047|1 KB", "1048575|1023 KB", "1048576|1.0 MB",
                         "1073741823|1024.0 MB", "1073741824|1.00 GB", "5497558138880|5120.00 GB"})
            QCOMPARE(RemoteList::sizeText(row.section('|', 0, 0).toLongLong()),
                     row.section('|', 1));
        RemoteList list;
        const QDateTime old(QDate(2020, 1, 2), QTime(3, 4, 5));
        list.setItems({{"b.txt",
                        {{kNSFileType, kNSFileTypeRegular},
                         {kNSFileSize, 500},
                         {kNSFileModificationDate, old}}},
                       {"A", {{kNSFileType, kNSFileTypeDirectory}}}});
        QCOMPARE(list.items()[0].value("name").toString(), "A");
        QCOMPARE(list.items()[0].value("size").toString(), "-");
        QCOMPARE(list.items()[0].value("date").toString(), " ");
        QCOMPARE(list.items()[1].value("date").toString(), " Jan 2, 2020, 03:04:05");
        QCOMPARE(list.copyText({1, 0}), "b.txt\nA");
        list.sort(RemoteList::SizeColumn, Qt::DescendingOrder);
        QCOMPARE(list.items()[0].value("name").toString(), "b.txt");
        // The chosen order stays for the next listing.
        list.setItems({{"c", {{kNSFileSize, 1}}}, {"d", {{kNSFileSize, 9}}}});
        QCOMPARE(list.copyText({0, 1}), "d\nc");
        list.setItems({{"only", {}}});
        QCOMPARE(list.counterText(), "1 item");

        const QString chars = "Folder name cannot contain the following characters: ! @ # $ % ^ & "
                              "( ) + ~ ` [ ] * ? \\ / | : < >";
        QCOMPARE(list.folderNameProblem(""), "Please specify a folder name");
        for (const char *bad : {"a\"b", "a/b", "x:y", "50%", "a\\b", "q?"})
            QCOMPARE(list.folderNameProblem(bad), chars);
        QCOMPARE(list.folderNameProblem("new folder"), QString());

        // Only the host tells a bucket.
        list.setCurrURL("ftp://u:p@host:21/s3.amazonaws.com");
        QVERIFY(list.canCreateFolder());
    }

    void listingFailures()
    {
        Client client;
        QList<RemoteStatus> got;
        const auto collect = [&got](const RemoteStatus &s) { got.append(s); };
        // No controller for the URL.
        ListingOperation none(&client.context, {{"url", "nosuch://host/"}}, collect);
        none.startProcess();
        QCOMPARE(got.size(), 1);
        QCOMPARE(got[0].error, "Connection failure");
        QCOMPARE(got[0].errorInfo,
                 "Please make sure that destination address and login info are correct.");

        // A local folder that is not there: the error's own user info makes the detail.
        got.clear();
        ListingOperation local(&client.context,
                               {{"url", "file://localhost" + m_home.path() + "/nothing"}}, collect);
        local.startProcess();
        QCOMPARE(got.size(), 2);
        QCOMPARE(got[0].type, RemoteStatus::Type::List);
        QCOMPARE(got[1].type, RemoteStatus::Type::Error);
        QVERIFY(!got[1].error.isEmpty());
        QVERIFY2(got[1].errorInfo.startsWith("NSFilePath: "), qPrintable(got[1].errorInfo));

        // Cancelled: nothing more is reported.
        got.clear();
        local.cancel();
        local.startProcess();
        QVERIFY(got.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestRemoteManager)
#include "test_remotemanager.moc"
