#include "common/fixtures.h"
#include "common/testenv.h"
#include "core/paths.h"
#include "core/plist.h"
#include "core/record.h"
#include "destinations/bookmarkimport.h"
#include "destinations/destination.h"
#include "destinations/destinationseditor.h"

#include <QDir>

#include <memory>

using namespace pv;
using namespace pv::bookmarks;
using pvtest::putBytes;

namespace {

QVariantMap bookmark(const QString &protocol, const QString &nick, const QString &host,
                     const QVariant &port = {})
{
    QVariantMap b{{"Protocol", protocol}, {"Nickname", nick},  {"Hostname", host},
                  {"Path", "/up"},        {"Username", "ann"}, {"Password", "secret"}};
    if (port.isValid())
        b.insert("Port", port);
    return b;
}

/// The binary form, written by another tool rather than by our reader's counterpart.
QByteArray binaryPlist(const QVariantMap &map)
{
    return pvtest::run("python3",
                       {"-c", "import plistlib,sys\nsys.stdout.buffer.write(plistlib.dumps("
                              "plistlib.loads(sys.stdin.buffer.read()),fmt=plistlib.FMT_BINARY))"},
                       plist::toXml(map));
}

QStringList lines(const Found &f)
{
    QStringList out;
    for (const QVariantMap &r : f.records)
        out << QStringList{r.value(dk::name).toString(),      r.value(dk::QFDestType).toString(),
                           r.value(dk::hostField).toString(), r.value(dk::QFPort).toString(),
                           r.value(dk::pathField).toString(), r.value(dk::userField).toString()}
                   .join('|');
    for (const Skipped &s : f.skipped)
        out << "skipped " + s.name + ": " + s.reason;
    return out;
}

} // namespace

class TestBookmarkImport : public QObject {
    Q_OBJECT

    std::unique_ptr<pvtest::IsolatedHome> m_home;
    pvtest::RecordingAlerter m_alerter;

    QString put(const QString &rel, const QByteArray &bytes)
    {
        const QString path = m_home->path() + "/" + rel;
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (!putBytes(path, bytes))
            qFatal("cannot write %s", qPrintable(rel));
        return path;
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<pvtest::IsolatedHome>();
        m_alerter.alerts.clear();
        m_alerter.answer = -1;
    }
    void cleanup() { m_home.reset(); }

    // The favorites file: every protocol's type and port, names from the
    // nickname or the type, unsupported services left out with a reason.
    void cyberduckFavorites()
    {
        const QVariantList favs{bookmark("ftp", "Shop", "ftp.example.com", "2121"),
                                bookmark("ftps", "Secure", "ftps.example.com"),
                                bookmark("sftp", "Shell", "ssh.example.com"),
                                bookmark("s3", "Bucket", "", 443),
                                bookmark("dav", "Web", "dav.example.com"),
                                bookmark("davs", "", "a.example.com"),
                                bookmark("davs", "", "b.example.com"),
                                bookmark("gs", "Google", "storage.googleapis.com"),
                                bookmark("me", "Old", "idisk.me.com"),
                                bookmark("ftp", "a/b:[c]", "h.example.com", "99999"),
                                bookmark("ftp", "..x", "bad host.example.com"),
                                QVariant(QStringLiteral("not a dictionary"))};
        const Found f = readCyberduck(put("Favorites.plist", plist::toXml(favs)));
        QCOMPARE(f.error, QString());
        QCOMPARE(lines(f),
                 (QStringList{"Shop|FTP Server|ftp.example.com|2121|/up|ann",
                              "Secure|FTPS (FTP-SSL)|ftps.example.com|21|/up|ann",
                              "Shell|SFTP Server|ssh.example.com|22|/up|ann",
                              "Bucket|Amazon S3|s3.amazonaws.com|443|/up|ann",
                              "Web|WebDAV Server|dav.example.com|80|/up|ann",
                              "Secure WebDAV Server|Secure WebDAV Server|a.example.com|443|/up|ann",
                              "Secure WebDAV Server|Secure WebDAV Server|b.example.com|443|/up|ann",
                              "skipped Google: protocol \"gs\" is not supported",
                              "skipped Old: MobileMe (iDisk) is no longer offered",
                              "skipped a-b-(c): invalid port",
                              "skipped x: invalid server address \"bad host.example.com\"",
                              "skipped Bookmark 12: not a bookmark"}));

        // Adding: taken names numbered from 1, no password, the stored
        // delivery defaults, one file each.
        DestinationsEditor store(&m_alerter);
        store.load();
        QVERIFY(QDir().mkpath(paths::appDir()) && store.writeDefaults({{dk::yearFolderBtn, 1}}));
        QVERIFY(store.addItem(QVariantMap{{dk::name, "Shop"}}) >= 0);
        const ImportResult r = addRecords(store, f.records);
        QStringList names;
        for (const Imported &i : r.imported)
            names << i.name;
        QCOMPARE(names, (QStringList{"Shop 1", "Secure", "Shell", "Bucket", "Web",
                                     "Secure WebDAV Server", "Secure WebDAV Server 1"}));
        QVERIFY(r.skipped.isEmpty());
        QVERIFY(m_alerter.alerts.isEmpty());
        const QVariantMap shell = readDestinationFile(store.fileForName("Shell"));
        QCOMPARE(recInt(shell, dk::yearFolderBtn), 1);
        QCOMPARE(shell.value(dk::sitePasswordField).toString(), QString());
        QVERIFY(!plist::toXml(shell).contains("secret"));
    }

    // The bookmark folders: binary and XML bookmark files, hidden files left
    // alone, an unreadable file passed over with its reason; the desktop
    // application's folders come before the command-line client's.
    void cyberduckFolders()
    {
        const QString home = m_home->path();
        QCOMPARE(getCyberduckBookmarks(home).error, "No Cyberduck bookmarks were found");
        put(".duck/bookmarks/1.duck",
            binaryPlist(bookmark("sftp", "Bin", "b.example.com", "2222")));
        put(".duck/bookmarks/2.duck", plist::toXml(bookmark("ftp", "Xml", "x.example.com")));
        put(".duck/bookmarks/.hidden.duck", plist::toXml(bookmark("ftp", "Hidden", "h")));
        put(".duck/bookmarks/3.duck", "garbage");
        Found f = getCyberduckBookmarks(home);
        QCOMPARE(lines(f), (QStringList{"Bin|SFTP Server|b.example.com|2222|/up|ann",
                                        "Xml|FTP Server|x.example.com|21|/up|ann",
                                        "skipped 3.duck: not a property list"}));
        put("Library/Application Support/Cyberduck/Bookmarks/m.duck",
            plist::toXml(bookmark("dav", "Mac", "m.example.com")));
        QCOMPARE(lines(getCyberduckBookmarks(home)),
                 QStringList{"Mac|WebDAV Server|m.example.com|80|/up|ann"});
        // An empty favorites file gives way to the folders.
        put("Library/Application Support/Cyberduck/Favorites.plist", plist::toXml(QVariantList{}));
        QCOMPARE(getCyberduckBookmarks(home).records.size(), 1);
    }

    // Sites in nested folders, every supported protocol, the stored remote
    // folder decoded, names made valid.
    void fileZillaSites()
    {
        const QByteArray xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<FileZilla3 version="3.60.2" platform="*nix">
  <Servers>
    <Server><Host>ftp.example.com</Host><Port>21</Port><Protocol>0</Protocol>
      <User>ann</User><Pass encoding="base64">c2VjcmV0</Pass><Name>Plain</Name>
      <RemoteDir>1 0 4 home 7 my site</RemoteDir></Server>
    <Folder expanded="1">Clients
      <Server><Host>sftp.example.com</Host><Port>0</Port><Protocol>1</Protocol>
        <User>bob</User><Name>Web: [live]</Name></Server>
      <Folder>Acme
        <Server><Host>tls.example.com</Host><Port>990</Port><Protocol>3</Protocol>
          <Name>Implicit</Name><RemoteDir>1 0 1 x</RemoteDir></Server>
        <Server><Host>tls.example.com</Host><Port>2121</Port><Protocol>4</Protocol>
          <Name>Explicit</Name></Server>
        <Server><Host>tls.example.com</Host><Port>2121</Port><Protocol>3</Protocol>
          <Name>Odd</Name></Server>
        <Server><Host>w.example.com</Host><Protocol>5</Protocol><Name>Web</Name></Server>
        <Server><Host>g.example.com</Host><Protocol>0</Protocol><Name>Garbage</Name>
          <RemoteDir>1 0 9 x</RemoteDir></Server>
      </Folder>
    </Folder>
    <Folder>Clients<Server><Host>h2</Host><Name>Web: [live]</Name></Server></Folder>
  </Servers>
</FileZilla3>)";
        const Found f = readFileZilla(put(".config/filezilla/sitemanager.xml", xml));
        QCOMPARE(f.error, QString());
        QCOMPARE(lines(f),
                 (QStringList{"Plain|FTP Server|ftp.example.com|21|/home/my site|ann",
                              "Clients-Web- (live)|SFTP Server|sftp.example.com|22||bob",
                              "Clients-Acme-Implicit|FTPS (FTP-SSL)|tls.example.com|990|/x|",
                              "Clients-Acme-Explicit|FTPS (FTP-SSL)|tls.example.com|2121||",
                              "Clients-Web- (live)|FTP Server|h2|21||",
                              "skipped Clients-Acme-Odd: implicit FTPS is supported on port "
                              "990 only",
                              "skipped Clients-Acme-Web: protocol 5 is not supported",
                              "skipped Clients-Acme-Garbage: unreadable remote folder"}));
        QCOMPARE(fileZillaSiteManagerFile(m_home->path(), m_home->path() + "/.config"),
                 m_home->path() + "/.config/filezilla/sitemanager.xml");
    }

    // FileZilla's remote folder encoding; "-" marks a refused one.
    void remoteDir()
    {
        for (const QString &row :
             QStringList{"|", "1 0|/", "1 0 4 home 3 web|/home/web", "1 0 5 a b c 1 d|/a b c/d",
                         "1 0 2 \U0001F600x|/\U0001F600x", // non-BMP counts once
                         "1 0 9 home|-", "1 0 4 homex3 web|-", "x 0 4 home|-", "2 5 DISK: 4 home|-",
                         "1 0 3 a/b|-", "1 0 2 ..|-", "1 0 0 |-", "1 0 99999999999 a|-"}) {
            const QString encoded = row.section('|', 0, 0);
            QCOMPARE(encoded + " -> " + decodeRemoteDir(encoded).value_or("-"),
                     encoded + " -> " + row.section('|', 1));
        }
    }

    // Files that are not what they claim are refused whole, saying why.
    void hostileFiles()
    {
        const auto refused = [&](bool cyberduck, const QByteArray &bytes, const QString &error) {
            const QString path = put("file", bytes);
            const Found f = cyberduck ? readCyberduck(path) : readFileZilla(path);
            QVERIFY2(f.error.startsWith(path + ": ") && f.error.contains(error),
                     qPrintable(f.error));
            QVERIFY(f.records.isEmpty());
        };
        refused(true,
                "<plist>" + QByteArray("<array>").repeated(601) +
                    QByteArray("</array>").repeated(601) + "</plist>",
                "nested too deeply");
        refused(true, QByteArray(kMaxFileSize + 1, ' '), "larger than 8 MB, not read");
        refused(true, "bplist00\xff\xff\xff\xff\xff\xff\xff", "malformed");
        refused(true, plist::toXml(QString("x")), "not a Cyberduck bookmark file");
        refused(false, "<FileZilla3><Servers>", "not XML");
        refused(false, "<a><Servers/></a>", "not a FileZilla Site Manager file");
        refused(false,
                "<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>"
                "<FileZilla3><Servers><Server><Host>&e;</Host></Server></Servers></FileZilla3>",
                "declares a document type or entities, not read");
        refused(false,
                "<FileZilla3><Servers>" + QByteArray("<Folder>f").repeated(kMaxFolderDepth + 1) +
                    "<Server><Host>h</Host></Server>" +
                    QByteArray("</Folder>").repeated(kMaxFolderDepth + 1) +
                    "</Servers></FileZilla3>",
                "folders nested deeper than");
    }

    // The window's actions: the count confirmed first, Cancel adds nothing,
    // an empty result gives both alerts; Transmit is never running here.
    void windowFlows()
    {
        const QString file =
            put("fav.plist", plist::toXml(QVariantList{bookmark("sftp", "One", "o.example.com"),
                                                       bookmark("gs", "G", "g")}));
        DestinationsEditor store(&m_alerter);
        store.load();
        const qsizetype before = store.items().size();
        m_alerter.answer = 1;
        QCOMPARE(importCyberduckBookmarks(store, m_alerter, file), 0);
        QCOMPARE(store.items().size(), before);
        QCOMPARE(m_alerter.alerts.last().title,
                 "1 Cyberduck bookmark was found. Do you want to continue?");
        QCOMPARE(m_alerter.alerts.last().text,
                 "Note: Passwords in Cyberduck bookmarks are not retained.");
        m_alerter.answer = 0;
        QCOMPARE(importCyberduckBookmarks(store, m_alerter, file), 1);
        QCOMPARE(m_alerter.alerts.last().title, "1 destinations have been imported");
        QCOMPARE(m_alerter.alerts.last().text, "Skipped G: protocol \"gs\" is not supported");

        m_alerter.alerts.clear();
        QCOMPARE(importFileZillaSites(store, m_alerter, m_home->path() + "/none.xml"), 0);
        QCOMPARE(m_alerter.alerts.size(), 2);
        QCOMPARE(m_alerter.alerts[0].title, "No FileZilla sites were found");
        QCOMPARE(m_alerter.alerts[1].title,
                 "No FileZilla sites for supported protocols were found");

        m_alerter.alerts.clear();
        QCOMPARE(importTransmitFavs(m_alerter), 0);
        QCOMPARE(m_alerter.alerts[0].title, "Cannot find Transmit");
        QVERIFY(m_alerter.alerts[0].style == Alert::Style::Critical);
        QCOMPARE(m_alerter.alerts[1].title, "No Transmit favorites were found");
    }
};

QTEST_GUILESS_MAIN(TestBookmarkImport)
#include "test_bookmarkimport.moc"
