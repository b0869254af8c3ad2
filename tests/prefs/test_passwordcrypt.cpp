#include "prefs/passwordcrypt.h"

#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

using pv::PasswordCrypt;

namespace {

const QString kKey = QStringLiteral("305mqtwzy82");

// Runs the openssl command line the way existing stored values were made and read.
QByteArray runOpenssl(const QStringList &args, const QByteArray &input, int *exitCode = nullptr)
{
    QProcess p;
    p.start(QStringLiteral("openssl"),
            QStringList{QStringLiteral("enc"), QStringLiteral("-bf")} + args +
                QStringList{QStringLiteral("-pass"), QStringLiteral("pass:") + kKey,
                            QStringLiteral("-a"), QStringLiteral("-provider"),
                            QStringLiteral("legacy"), QStringLiteral("-provider"),
                            QStringLiteral("default")});
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(30000);
    if (exitCode)
        *exitCode = p.exitCode();
    return p.readAllStandardOutput();
}

QString cliEncrypt(const QString &clear, const QString &md = QStringLiteral("md5"))
{
    return QString::fromUtf8(
        runOpenssl({QStringLiteral("-e"), QStringLiteral("-md"), md}, clear.toUtf8()));
}

QByteArray cliDecrypt(const QString &stored, int *exitCode)
{
    return runOpenssl({QStringLiteral("-d"), QStringLiteral("-md"), QStringLiteral("md5")},
                      stored.toUtf8(), exitCode);
}

} // namespace

class TestPasswordCrypt : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
            QSKIP("openssl command line not installed");
    }

    void interoperatesWithCli_data()
    {
        QTest::addColumn<QString>("clear");
        QTest::newRow("one char") << QStringLiteral("x");
        QTest::newRow("one block") << QStringLiteral("abcdefgh");
        QTest::newRow("non-ASCII") << QStringLiteral("pässwörd €5 日本");
        QTest::newRow("exactly one line") << QString(24, u'a');
        QTest::newRow("several lines") << QString(100, u'z') + QStringLiteral("\n\t end ");
    }
    void interoperatesWithCli()
    {
        QFETCH(QString, clear);
        const PasswordCrypt crypt(kKey);

        const QString ours = crypt.encrypt(clear);
        int rc = -1;
        QCOMPARE(QString::fromUtf8(cliDecrypt(ours, &rc)), clear);
        QCOMPARE(rc, 0);

        // Same layout as the tool prints: 64-character lines, final newline.
        const QString theirs = cliEncrypt(clear);
        QCOMPARE(ours.size(), theirs.size());
        QVERIFY(ours.endsWith(u'\n'));
        const QStringList lines = ours.split(u'\n');
        QCOMPARE(lines.last(), QString());
        for (qsizetype i = 0; i + 1 < lines.size(); ++i)
            QVERIFY(i + 2 == lines.size() ? !lines[i].isEmpty() && lines[i].size() <= 64
                                          : lines[i].size() == 64);

        QCOMPARE(crypt.decrypt(theirs), clear);
        QCOMPARE(crypt.decrypt(QString(theirs).remove(u'\n')), clear);
        QCOMPARE(crypt.decrypt(QString(theirs).replace(u'\n', QStringLiteral("\r\n"))), clear);
        QCOMPARE(crypt.decrypt(ours), clear);
    }

    void readsSha256Values_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("clear");
        // Both made by `openssl enc ... -md sha256`, picked so that under MD5
        // the first fails the padding check and the second passes it but
        // decrypts to bytes that are not UTF-8: both must fall back.
        QTest::newRow("bad padding")
            << QStringLiteral("U2FsdGVkX18QfcFMSmTFV2xkK5OAAj06\n") << QStringLiteral("abc");
        QTest::newRow("not UTF-8")
            << QStringLiteral("U2FsdGVkX1+OeK+"
                              "9ie91ucvjNrnrcIHhkN9bwTmCattCkqKxvnHISJzUYOHNO38r\nLLgvJ979DU4=\n")
            << QStringLiteral("a much longer password, über 8 Bytes");
    }
    void readsSha256Values()
    {
        QFETCH(QString, stored);
        QFETCH(QString, clear);
        QCOMPARE(PasswordCrypt(kKey).decrypt(stored), clear);
        QCOMPARE(PasswordCrypt(kKey).decrypt(cliEncrypt(clear, QStringLiteral("sha256"))), clear);
    }

    void saltIsRandom()
    {
        const PasswordCrypt crypt(kKey);
        const QString a = crypt.encrypt(QStringLiteral("secret"));
        const QString b = crypt.encrypt(QStringLiteral("secret"));
        QVERIFY(!a.isEmpty());
        QVERIFY(a != b);
        QCOMPARE(crypt.decrypt(b), QStringLiteral("secret"));
    }

    void emptyGivesEmpty()
    {
        const PasswordCrypt crypt(kKey);
        QVERIFY(crypt.encrypt(QString()).isEmpty());
        QVERIFY(crypt.encrypt(QStringLiteral("")).isEmpty());
        QVERIFY(crypt.decrypt(QString()).isEmpty());
    }

    void badInputGivesEmpty_data()
    {
        QTest::addColumn<QString>("stored");
        // "sixteen chars!!!" scrambled by the command line.
        const QString good =
            QStringLiteral("U2FsdGVkX18u2UxQgwkx0c34N1ssextit32tGJJF6b7DhymJjC+FaA==\n");
        QCOMPARE(PasswordCrypt(kKey).decrypt(good), QStringLiteral("sixteen chars!!!"));
        const QByteArray raw = QByteArray::fromBase64(good.toLatin1());
        QByteArray flipped = raw;
        flipped[flipped.size() - 1] = char(flipped.back() ^ 0x55);
        const auto b64 = [](const QByteArray &bytes) {
            return QString::fromLatin1(bytes.toBase64());
        };

        QTest::newRow("not base64") << QStringLiteral("this is *not* base64!");
        QTest::newRow("non-Latin-1") << QStringLiteral("U2FsdGVkX1日本");
        QTest::newRow("no header") << b64(raw.mid(16));
        QTest::newRow("header only") << b64(raw.left(16));
        QTest::newRow("cut mid-block") << b64(raw.left(raw.size() - 3));
        QTest::newRow("last block dropped") << b64(raw.left(raw.size() - 8));
        QTest::newRow("padding damaged") << b64(flipped);
        QTest::newRow("text cut") << good.left(good.size() / 2);
        // "x" scrambled by the command line with the passphrase "other".
        QTest::newRow("wrong passphrase") << QStringLiteral("U2FsdGVkX1+fLwyuN8/vZqqO4qD26TrR\n");
    }
    void badInputGivesEmpty()
    {
        QFETCH(QString, stored);
        QCOMPARE(PasswordCrypt(kKey).decrypt(stored), QString());
    }
};

QTEST_GUILESS_MAIN(TestPasswordCrypt)
#include "test_passwordcrypt.moc"
