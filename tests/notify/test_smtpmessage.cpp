// The SMTP sender's message rules that need no server: addresses, header folding and
// encoding (read back by Python's e-mail parser), the EHLO name, size texts, and the refusals
// made before any connection.
#include "common/listener.h"
#include "common/testenv.h"
#include "notify/smtpemail.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <array>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using pv::SMTPEmail;
using pv::SMTPMessage;
using pv::SMTPOutcome;
using pvtest::Listener;
using Result = pv::SMTPOutcome::Result;

namespace {

QVariantMap row(const QString &kind, const QString &email)
{
    return {{"to", kind}, {"email", email}};
}

// What Python's e-mail parser reads from a header block: unstructured values as text,
// address fields as [display name, address] pairs, and the attachment's file name. Display
// names go through decode_header: the newer parser keeps the space between encoded words
// there, which RFC 2047 says to drop (its own encoder's output does not survive it).
QJsonObject pythonReads(const QByteArray &headers)
{
    int rc = -1;
    const QByteArray out =
        pvtest::run("python3",
                    {"-c", "import email,email.header as h,email.policy,email.utils as u,json,sys\n"
                           "raw=sys.stdin.buffer.read()\n"
                           "m=email.message_from_bytes(raw,policy=email.policy.default)\n"
                           "o={k.lower():str(v) for k,v in m.items()}\n"
                           "c=email.message_from_bytes(raw)\n"
                           "for k in ('from','to','cc'):\n"
                           " if k in c:o[k]=[[str(h.make_header(h.decode_header(n))),a]"
                           " for n,a in u.getaddresses(c.get_all(k))]\n"
                           "o['filename']=m.get_filename()\n"
                           "json.dump(o,sys.stdout)"},
                    headers + "\r\n\r\n", &rc);
    if (rc != 0)
        qFatal("python3 could not read the headers");
    return QJsonDocument::fromJson(out).object();
}

QJsonArray mailboxes(const QList<QStringList> &pairs)
{
    QJsonArray out;
    for (const QStringList &p : pairs)
        out.append(QJsonArray::fromStringList(p));
    return out;
}

SMTPMessage messageTo(int port)
{
    SMTPMessage m;
    m.server = "127.0.0.1";
    m.port = port;
    m.mechanism = "PLAIN";
    m.user = "user";
    m.password = "secret";
    m.from = "sender@example.com";
    m.recipients = {row("To:", "to@example.com")};
    m.subject = "Subject";
    m.body = "Body";
    return m;
}

} // namespace

class TestSmtpMessage : public QObject {
    Q_OBJECT

private:
    // Runs a send that must end before connecting; returns its one outcome.
    SMTPOutcome refusedBeforeConnecting(const SMTPMessage &m, const Listener &listener)
    {
        SMTPEmail sender;
        QSignalSpy finished(&sender, &SMTPEmail::finished);
        if (!sender.send(m))
            qFatal("send refused");
        // Reported later, never from inside send().
        if (!finished.isEmpty())
            qFatal("outcome reported synchronously");
        if (!finished.wait(5000))
            qFatal("no outcome");
        QTest::qWait(100);
        if (finished.size() != 1)
            qFatal("more than one outcome");
        if (listener.wasConnected())
            qFatal("a connection was made");
        return finished.at(0).at(0).value<SMTPOutcome>();
    }

private Q_SLOTS:
    void parsesAddresses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("address"); // empty: refused
        const QList<std::array<const char *, 3>> rows = {
            {" user@example.com ", "", "user@example.com"},
            {"Jane Doe <jane.doe+tag@mail.example.com>", "Jane Doe",
             "jane.doe+tag@mail.example.com"},
            {"\"Doe, Jane \\\"JD\\\"\" <jd@example.com>", "Doe, Jane \"JD\"", "jd@example.com"},
            {"<a@example.com>", "", "a@example.com"},
            {"info@bücher.example", "", "info@bücher.example"},
            {"root@[127.0.0.1]", "", "root@[127.0.0.1]"}};
        for (const auto &[text, name, address] : rows)
            QTest::newRow(text) << QString::fromUtf8(text) << QString::fromUtf8(name)
                                << QString::fromUtf8(address);
        // A line break would let a recipient field add headers to the message.
        for (const char *bad :
             {"", "plainword", "@example.com", "user@", "two@at@example.com",
              "with space@example.com", ".lead@example.com", "double..dot@example.com",
              "user@-bad-.example.com", "user@exa_mple.com", "user@example..com",
              "Name <user@example.com", "user@example.com\r\nBcc: victim@example.com",
              "Name\n <user@example.com>"})
            QTest::newRow(bad) << QString::fromUtf8(bad) << QString() << QString();
    }

    void parsesAddresses()
    {
        QFETCH(QString, text);
        QFETCH(QString, name);
        QFETCH(QString, address);
        const auto parsed = pv::parseMailAddress(text);
        QCOMPARE(parsed.has_value(), !address.isEmpty());
        if (parsed) {
            QCOMPARE(parsed->name, name);
            QCOMPARE(parsed->address, address);
        }
    }

    void foldsHeaders_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("expected");
        const auto subject = [](const char *name, const QString &text) {
            QTest::newRow(name) << pv::textHeader("Subject", text) << "subject" << QJsonValue(text);
        };
        QStringList words;
        for (int i = 0; i < 60; ++i)
            words << QStringLiteral("word%1").arg(i);
        subject("long ASCII", words.join(' ') + "  two spaces");
        subject("unbroken ASCII", QString(120, u'x'));
        const QString japanese = QString(78, QChar(0x6771));
        subject("Japanese", japanese);
        subject("mixed", "Geliefert: Übersicht – 東京 " + QString(60, u'é') + " 😀 end");
        // Text that merely looks like an encoded word reads back literally.
        subject("encoded-word lookalike", "=?UTF-8?B?QUJD?=");
        // A line break never reaches the header as one, so it cannot add a header.
        QTest::newRow("line break") << pv::textHeader("Subject", "one\r\nBcc: x@example.com")
                                    << "subject" << QJsonValue("one Bcc: x@example.com");

        const QString longName =
            "Ürsula Ödegaard-Långström, Abteilung für Übersetzungen " + QString(20, QChar(0x6771));
        QTest::newRow("addresses")
            << pv::addressHeader("To", {{"", "first@example.com"},
                                        {"Doe, Jane \"JD\"", "jd@example.com"},
                                        {longName, "long@example.com"},
                                        {"", "info@bücher.example"},
                                        {"Büro", "office@bücher.example"}})
            << "to"
            << QJsonValue(mailboxes({{"", "first@example.com"},
                                     {"Doe, Jane \"JD\"", "jd@example.com"},
                                     {longName, "long@example.com"},
                                     {"", "info@xn--bcher-kva.example"},
                                     {"Büro", "office@xn--bcher-kva.example"}}));

        const auto attachment = [](const char *name, const QString &fileName) {
            QTest::newRow(name) << pv::attachmentHeaders(fileName).join("\r\n") << "filename"
                                << QJsonValue(fileName);
        };
        attachment("ASCII file", "report \"final\".pdf");
        attachment("long ASCII file", QString(200, u'a') + ".zip");
        attachment("Japanese file", japanese + ".pdf");
        attachment("emoji file", QString(30, u'é') + "😀😀😀.pdf");
    }

    void foldsHeaders()
    {
        QFETCH(QByteArray, header);
        QFETCH(QString, key);
        QFETCH(QJsonValue, expected);
        const QList<QByteArray> lines = header.split('\n');
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QByteArray line = i + 1 < lines.size() ? lines[i].chopped(1) : lines[i];
            QVERIFY2(i + 1 == lines.size() || lines[i].endsWith('\r'), "bare line feed");
            QVERIFY2(line.size() <= 76, line.constData());
            static const QRegularExpression field("^[A-Za-z-]+: ");
            QVERIFY2(line.startsWith(' ') || field.match(QString::fromLatin1(line)).hasMatch(),
                     line.constData());
            QVERIFY2(!line.trimmed().isEmpty(), "a line of white space only");
            for (char c : line)
                QVERIFY(uchar(c) >= 0x20 && uchar(c) < 0x7f);
            static const QRegularExpression encodedWord(R"(=\?[^?]*\?[BQ]\?[^?]*\?=)");
            for (const auto &m : encodedWord.globalMatch(QString::fromLatin1(line)))
                QVERIFY2(m.capturedLength() <= 75, line.constData());
        }
        QCOMPARE(pythonReads(header).value(key), expected);
    }

    void choosesEhloName_data()
    {
        QTest::addColumn<QString>("hostName");
        QTest::addColumn<QString>("local");
        QTest::addColumn<QString>("expected");
        QTest::newRow("qualified") << "mail.example.com"
                                   << ""
                                   << "mail.example.com";
        QTest::newRow("bare") << "vm"
                              << "192.0.2.7"
                              << "[192.0.2.7]";
        QTest::newRow("placeholder") << "localhost.localdomain"
                                     << "192.0.2.7"
                                     << "[192.0.2.7]";
        QTest::newRow("IPv6") << "vm"
                              << "2001:db8::1"
                              << "[IPv6:2001:db8::1]";
    }

    void choosesEhloName()
    {
        QFETCH(QString, hostName);
        QFETCH(QString, local);
        QFETCH(QString, expected);
        QCOMPARE(pv::ehloName(hostName, local), expected);
    }

    void formatsSizesAndProgressTexts()
    {
        QCOMPARE(pv::messageSizeText(1048575), "1023 KB");
        QCOMPARE(pv::messageSizeText(qint64(1073741824) * 3 / 2), "1.50 GB");
        QCOMPARE(pv::sendingStatusText(1, 2048), "Sending e-mail attachment - 2 KB...");
        QCOMPARE(pv::sendingStatusText(2, 1048576), "Sending e-mail attachments - 1.00 MB...");
    }

    void refusesBeforeConnecting()
    {
        Listener listener;
        SMTPMessage m = messageTo(listener.port());

        m.from = "not an address";
        SMTPOutcome o = refusedBeforeConnecting(m, listener);
        QCOMPARE(o.result, Result::InvalidSender);
        QCOMPARE(o.logLines,
                 QStringList("\"not an address\" is not a properly formatted e-mail address"));

        // One line per bad row, then the verdict.
        m.from = "sender@example.com";
        m.recipients = {row("To:", "first"), row("Cc:", "second@"), row("Bcc:", "")};
        o = refusedBeforeConnecting(m, listener);
        QCOMPARE(o.result, Result::NoValidRecipients);
        QCOMPARE(o.logLines,
                 QStringList({"\"first\" is not a properly formatted e-mail address",
                              "\"second@\" is not a properly formatted e-mail address",
                              "\"\" is not a properly formatted e-mail address",
                              "Email could not be sent: no valid recipients have been found"}));

        // A folder or a missing file cannot be carried; better no message than one that
        // claims an attachment it lacks.
        QTemporaryDir dir;
        m.recipients = {row("To:", "bad address"), row("To:", "to@example.com")};
        for (const QString &path : {dir.path(), dir.filePath("missing.zip")}) {
            m.attachments = {path};
            o = refusedBeforeConnecting(m, listener);
            QCOMPARE(o.result, Result::AttachmentUnreadable);
            QCOMPARE(o.logLines.size(), 2);
            QCOMPARE(o.logLines[1],
                     QStringLiteral("Email could not be sent: the attachment \"%1\" could not be "
                                    "read.")
                         .arg(path));
        }
    }

    void servesOneMessageAtATimeAndStopsWhenDestroyed()
    {
        Listener silent;
        auto *sender = new SMTPEmail;
        QSignalSpy finished(sender, &SMTPEmail::finished);
        SMTPMessage m = messageTo(silent.port());
        m.timeoutSeconds = 60;
        QVERIFY(sender->send(m));
        QVERIFY(sender->isSending());
        QVERIFY(!sender->send(m));
        QTest::qWait(300);
        QElapsedTimer clock;
        clock.start();
        delete sender;
        QVERIFY2(clock.elapsed() < 5000, "destroying a sender waits for the time-out");
        QVERIFY(finished.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSmtpMessage)
#include "test_smtpmessage.moc"
