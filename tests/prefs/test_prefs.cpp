#include "common/testenv.h"
#include "core/settings.h"
#include "prefs/prefs.h"

#include <QStandardPaths>

using pv::Prefs;
using pv::PrefsValues;
namespace keys = pv::keys;
namespace settings = pv::settings;

namespace {

const QString kKey = QStringLiteral("305mqtwzy82");
// "sixteen chars!!!" scrambled by `openssl enc -bf -e -md md5 -a`.
const QString kSixteen =
    QStringLiteral("U2FsdGVkX18u2UxQgwkx0c34N1ssextit32tGJJF6b7DhymJjC+FaA==\n");

// The openssl command line, the way existing stored values were made and read.
QByteArray openssl(const QStringList &args, const QString &input, int *exitCode = nullptr)
{
    return pvtest::run("openssl",
                       QStringList{"enc", "-bf"} + args +
                           QStringList{"-pass", "pass:" + kKey, "-a", "-provider", "legacy",
                                       "-provider", "default"},
                       input.toUtf8(), exitCode);
}

QString cliEncrypt(const QString &clear, const QString &md = QStringLiteral("md5"))
{
    return QString::fromUtf8(openssl({"-e", "-md", md}, clear));
}

} // namespace

class TestPrefs : public QObject {
    Q_OBJECT

    pvtest::IsolatedHome m_home;
    const bool m_cli = !QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty();

    /// What we store the command line reads, and what it makes we read.
    static void checkWithCli(const QString &clear)
    {
        // The stored form uses the fixed passphrase.
        const QString ours = Prefs::encryptPassword(clear);
        QVERIFY(ours != Prefs::encryptPassword(clear)); // a fresh salt each time
        int rc = -1;
        QCOMPARE(QString::fromUtf8(openssl({"-d", "-md", "md5"}, ours, &rc)), clear);
        QCOMPARE(rc, 0);

        // The tool's own layout: the same line lengths.
        const QString theirs = cliEncrypt(clear);
        const QRegularExpression notNewline(QStringLiteral("[^\n]"));
        QCOMPARE(QString(ours).replace(notNewline, "x"), QString(theirs).replace(notNewline, "x"));

        QCOMPARE(Prefs::decryptPassword(theirs), clear);
        QCOMPARE(Prefs::decryptPassword(cliEncrypt(clear, QStringLiteral("sha256"))), clear);
        QCOMPARE(Prefs::decryptPassword(QString(theirs).remove(u'\n')), clear);
        QCOMPARE(Prefs::decryptPassword(QString(theirs).replace(u'\n', QStringLiteral("\r\n"))),
                 clear);
    }

private Q_SLOTS:
    void init()
    {
        if (!m_cli && QByteArray(QTest::currentTestFunction()).contains("Cli"))
            QSKIP("openssl command line not installed");
    }

    // Rows "typed:shown".
    void numericFieldsShowTheirInteger()
    {
        for (const QString &row :
             QString("12:12 -3:0 12a:12 abc:0 :0 99999999999:2147483647").split(' '))
            QCOMPARE(row.section(':', 0, 0) + ':' + Prefs::numericFieldText(row.section(':', 0, 0)),
                     row);
    }

    void loadAndWriteKeepTheRules()
    {
        const QStringList sounds{"bell", "chime"};
        PrefsValues v = Prefs::loadPrefs(sounds);
        QCOMPARE(v.watchInterval, 5);
        QCOMPARE(v.success.sound, "bell");
        // Never set means no limit.
        QCOMPARE(v.recentItems, "Unlimited");

        settings::setValue(keys::watchInterval, 3);
        settings::setValue(keys::throttleUploads, 1);
        settings::setValue(keys::throttleUploadsSpeed, 0);
        settings::setValue(keys::throttleDownloads, "1");
        settings::setValue(keys::throttleDownloadsSpeed, "300");
        settings::setValue(keys::soundErrPopup, "chime");
        settings::setValue(keys::soundSuccPopup, "gone");
        settings::setValue(keys::recentItems, "Unlimited");
        v = Prefs::loadPrefs(sounds);
        QCOMPARE(v.watchInterval, 5);
        QVERIFY(!v.throttleUploads);
        QVERIFY(v.throttleDownloads);
        QCOMPARE(v.throttleDownloadsSpeed, 300);
        QCOMPARE(v.errors.sound, "chime");
        QCOMPARE(v.success.sound, "bell");
        QCOMPARE(v.recentItems, "50");
        settings::setValue(keys::watchInterval, 8);
        QCOMPARE(Prefs::loadPrefs(sounds).watchInterval, 8);

        // Writing keeps the same rules.
        v = PrefsValues();
        v.success.move = 1;
        QCOMPARE(Prefs::okProblem(v), "Please specify a success folder");
        v.success.folder = "/srv/done";
        v.errors.move = 1;
        QCOMPARE(Prefs::okProblem(v), "Please specify an error folder");
        v.errors.move = 4;
        QCOMPARE(Prefs::okProblem(v), QString());

        v.watchInterval = 2;
        v.recentItems = "Unlimited";
        v.enableDestCodes = true;
        QCOMPARE(Prefs::writePrefs(v), -1);
        QCOMPARE(v.watchInterval, 5);
        QCOMPARE(settings::intValue(keys::watchInterval), 5);
        QVERIFY(settings::boolValue(keys::enableDestCodes));
        v.recentItems = "20";
        QCOMPARE(Prefs::writePrefs(v), 20);
        QCOMPARE(settings::stringValue(keys::recentItems), "20");
    }

    // The path is read from a hand-editable settings file.
    void onlyCodeBasedHotFoldersAreRemoved()
    {
        const QString root = m_home.path();
        QVERIFY(QDir().mkpath(root + "/Stuff/in") && QDir().mkpath(root + "/Kept/in"));
        QVERIFY(Prefs::removeHotfolder(root + "/Stuff").endsWith("not a code-based hot folder."));
        QVERIFY(QFileInfo::exists(root + "/Stuff/in"));
        const QString link = root + "/_Code-Based Delivery_";
        QVERIFY(QFile::link(root + "/Kept", link));
        QCOMPARE(Prefs::removeHotfolder(link), QString());
        QVERIFY(!QFileInfo(link).isSymLink() && QFileInfo::exists(root + "/Kept/in"));
    }

    // One character, one block, non-ASCII, exactly one line, several lines.
    void interoperatesWithCli()
    {
        for (const QString &clear :
             {QStringLiteral("x"), QStringLiteral("abcdefgh"), QStringLiteral("pässwörd €5 日本"),
              QString(24, u'a'), QString(100, u'z') + QStringLiteral("\n\t end ")})
            checkWithCli(clear);
    }
    // Stored values read back with the fixed passphrase (kSixteen is in
    // existing destination files); anything damaged reads as empty, and an
    // empty value stays empty both ways.
    void decrypt_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("clear");
        QTest::newRow("fixed passphrase") << kSixteen << QStringLiteral("sixteen chars!!!");
        // Both made by `openssl enc ... -md sha256`, picked so that under MD5
        // the first fails the padding check and the second passes it but
        // decrypts to bytes that are not UTF-8: both must fall back.
        QTest::newRow("sha256, bad padding under MD5")
            << QStringLiteral("U2FsdGVkX18QfcFMSmTFV2xkK5OAAj06\n") << QStringLiteral("abc");
        QTest::newRow("sha256, not UTF-8 under MD5")
            << QStringLiteral("U2FsdGVkX1+OeK+"
                              "9ie91ucvjNrnrcIHhkN9bwTmCattCkqKxvnHISJzUYOHNO38r\nLLgvJ979DU4=\n")
            << QStringLiteral("a much longer password, über 8 Bytes");
        const QByteArray raw = QByteArray::fromBase64(kSixteen.toLatin1());
        QByteArray flipped = raw;
        flipped[flipped.size() - 1] = char(flipped.back() ^ 0x55);
        const auto b64 = [](const QByteArray &bytes) {
            return QString::fromLatin1(bytes.toBase64());
        };

        QTest::newRow("not base64") << QStringLiteral("this is *not* base64!") << QString();
        QTest::newRow("non-Latin-1") << QStringLiteral("U2FsdGVkX1日本") << QString();
        QTest::newRow("no header") << b64(raw.mid(16)) << QString();
        QTest::newRow("header only") << b64(raw.left(16)) << QString();
        QTest::newRow("cut mid-block") << b64(raw.left(raw.size() - 3)) << QString();
        QTest::newRow("last block dropped") << b64(raw.left(raw.size() - 8)) << QString();
        QTest::newRow("padding damaged") << b64(flipped) << QString();
        QTest::newRow("text cut") << kSixteen.left(kSixteen.size() / 2) << QString();
        // "x" scrambled by the command line with the passphrase "other".
        QTest::newRow("wrong passphrase")
            << QStringLiteral("U2FsdGVkX1+fLwyuN8/vZqqO4qD26TrR\n") << QString();
        QTest::newRow("empty") << QString() << QString();
    }

    void decrypt()
    {
        QFETCH(QString, stored);
        QFETCH(QString, clear);
        QCOMPARE(Prefs::decryptPassword(stored), clear);
        QVERIFY(Prefs::encryptPassword(QString()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPrefs)
#include "test_prefs.moc"
