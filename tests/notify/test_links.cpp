#include "common/notifyfixtures.h"
#include "core/urlescape.h"
#include "destinations/destination.h"
#include "notify/links.h"
#include "notify/notifykeys.h"

#include <QtTest>

using namespace pv;

namespace {

DeliveryContext delivery(const QString &type, const QString &url)
{
    DeliveryContext ctx = pvtest::ftpDelivery(url);
    ctx.destination.insert(dk::QFDestType, type);
    ctx.ftpFlag = type != kLocalDisk;
    ctx.finalName = "Big Report.pdf";
    return ctx;
}

} // namespace

class TestLinks : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Each kind's download and folder links. extra: "date" (a date folder), "name" (a name to
    // escape), "web" or "web/" (an FTP web address, the latter with a date folder), "web-" (the
    // web address in use but empty).
    void links()
    {
        const QString login = "\n\n(login will be required)", dav = "http://ftp.example.org",
                      davs = "https://ftp.example.org", report = "Big%20Report.pdf";
        const struct {
            QString type, url, extra, download, folder;
        } rows[] = {{kFtpServer, "ftp://u:p%40s@h:21/share%2Fin", "date",
                     "ftp://u:p%40s@h:21/share/in/2026/12/06/" + report,
                     "ftp://u:p%40s@h:21/share/in/2026/12/06"},
                    // The path "//" (the server's root) gives "///" in the URL, which is dropped.
                    {"FTPS (FTP-SSL)", "ftps://u:p@h:21///", "name", "ftps://u:p@h:21/a%26b%3F.zip",
                     "ftps://u:p@h:21"},
                    {"SFTP Server", "ssh://u:p@h:22/up%20load", "",
                     "sftp://u:p@h:22/up%20load/" + report, "sftp://u:p@h:22/up%20load"},
                    // No type stored: a transfer is taken as an FTP server.
                    {"", "ftp://u:p@h:21/x", "", "ftp://u:p@h:21/x/" + report, "ftp://u:p@h:21/x"},
                    // The web address stands for the download link only.
                    {kFtpServer, "ftp://u:p@h:21/x", "web", "http://w.example/files/" + report,
                     "ftp://u:p@h:21/x"},
                    {kFtpServer, "ftp://u:p@h:21/x", "web/",
                     "http://w.example/files/2026/12/06/" + report, "ftp://u:p@h:21/x/2026/12/06"},
                    {kFtpServer, "ftp://u:p@h:21/x", "web-", "", "ftp://u:p@h:21/x"},
                    {"SMB Server", "smb://u:p@nas:445/Team%20Share%2Fin", "date",
                     "smb://u:p@nas:445/Team%20Share/in/2026/12/06/" + report,
                     "smb://u:p@nas:445/Team%20Share/in/2026/12/06"},
                    {"AFP Server", "afp://u:p@mac:548/Public", "",
                     "afp://u:p@mac:548/Public/" + report, "afp://u:p@mac:548/Public"},
                    {"WebDAV Server", "http://u:p@h:80/x", "", dav + login, dav + login},
                    {"Amazon S3", "http://u:p@h:80/x", "", dav + login, dav + login},
                    {"Secure WebDAV Server", "https://u:p@h:443/x", "", davs + login, davs + login},
                    {"Google Storage", "https://u:p@b.h", "", "", ""},
                    {"MobileMe (iDisk)", "", "", "", "https://idisk.me.com/jo" + login}};
        for (const auto &r : rows) {
            DeliveryContext ctx = delivery(r.type, r.url);
            if (r.type.isEmpty())
                ctx.destination.remove(dk::QFDestType);
            if (r.extra == "date" || r.extra == "web/")
                ctx.dateFolderPath = "2026/12/06";
            if (r.extra == "name")
                ctx.finalName = "a&b?.zip";
            if (r.extra.startsWith("web")) {
                ctx.destination.insert(ndk::QFUseHTTP, 1);
                ctx.destination.insert(
                    ndk::QFHttpUrl,
                    r.extra == "web-" ? QString() : "http://w.example/files" + r.extra.mid(3));
            }
            QCOMPARE(composeDownloadURL(ctx), r.download);
            QCOMPARE(composeFolderURL(ctx), r.folder);
        }

        // A log-on holding "@", ":", "/" or "%" stays escaped as user info, so the links still
        // read back as that log-on and host.
        const QString user = "me@home", password = "p:w/@%1 ä";
        const std::pair<QString, QString> types[] = {
            {kFtpServer, "ftp"}, {"SFTP Server", "ssh"}, {"SMB Server", "smb"}};
        for (const auto &[type, scheme] : types) {
            const DeliveryContext odd =
                delivery(type, scheme + "://" + addMissingPercentEscapes(user) + ':' +
                                   addMissingPercentEscapes(password) + "@h:21/in");
            for (const QUrl &link : {QUrl(composeDownloadURL(odd)), QUrl(composeFolderURL(odd))}) {
                QVERIFY2(link.isValid() && link.host() == "h", qPrintable(link.toString()));
                QCOMPARE(link.userName() + ' ' + link.password(), user + ' ' + password);
            }
        }

        // A local disk.
        DeliveryContext ctx = delivery(kLocalDisk, "file://localhost/srv/x");
        ctx.finalLocalFolder = "/srv/Big Report.pdf files/2026";
        QCOMPARE(composeLocalURL(ctx),
                 "file:///srv/Big%20Report.pdf%20files/2026/Big%20Report.pdf");
        QCOMPARE(composeDownloadURL(ctx), composeLocalURL(ctx));
        // The folder link is the folder, even when the folder's own name
        // holds the item's name.
        QCOMPARE(composeFolderURL(ctx), "file:///srv/Big%20Report.pdf%20files/2026/");
        ctx.finalName = "#1 \u00e9t\u00e9?.txt";
        QCOMPARE(composeLocalURL(ctx),
                 QStringLiteral(
                     "file:///srv/Big%20Report.pdf%20files/2026/%231%20%C3%A9t%C3%A9%3F.txt"));

        // No type stored and no transfer: a local disk.
        ctx.destination.remove(dk::QFDestType);
        ctx.ftpFlag = false;
        QCOMPARE(setDownloadURLInItemDict(ctx),
                 (QVariantMap{{"downloadURLForUser", composeLocalURL(ctx)}}));
    }
};

QTEST_GUILESS_MAIN(TestLinks)
#include "test_links.moc"
