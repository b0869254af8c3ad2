// The SMTP sender: its message rules without a server (addresses, header folding and encoding
// read back by Python's e-mail parser, the EHLO name, size texts, refusals made before any
// connection), and sending through real SMTP servers on 127.0.0.1 (tests/servers/smtp.sh):
// security modes, mechanisms, refusals, large attachments and cancellation, checked in what
// the server stored.
#include "common/fixtures.h"
#include "common/listener.h"
#include "common/mailbox.h"
#include "notify/smtpemail.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <array>

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
    const char *script =
        "import email,email.header as h,email.policy,email.utils as u,json,sys\n"
        "raw=sys.stdin.buffer.read();c=email.message_from_bytes(raw)\n"
        "m=email.message_from_bytes(raw,policy=email.policy.default)\n"
        "o={k.lower():str(v) for k,v in m.items()};o['filename']=m.get_filename()\n"
        "for k in ('from','to','cc'):\n"
        " if k in c:o[k]=[[str(h.make_header(h.decode_header(n))),a]"
        " for n,a in u.getaddresses(c.get_all(k))]\n"
        "json.dump(o,sys.stdout)";
    int rc = -1;
    const QByteArray out = pvtest::run("python3", {"-c", script}, headers + "\r\n\r\n", &rc);
    if (rc != 0)
        qFatal("python3 could not read the headers");
    return QJsonDocument::fromJson(out).object();
}

} // namespace

class TestSmtpSend : public QObject {
    Q_OBJECT

private:
    pvtest::Mailbox m_mail;
    const QMap<QString, QString> &m_env = m_mail.env;

    /// A message to the server on port (a name from smtp.env, or a number).
    SMTPMessage message(const QString &port, int security = 0,
                        const QString &mechanism = "PLAIN") const
    {
        SMTPMessage m;
        m.server = m_env.value("SMTP_HOST");
        m.port = m_env.value(port, port).toInt();
        m.security = security;
        m.mechanism = mechanism;
        m.user = m_env.value("SMTP_USER");
        m.password = m_env.value("SMTP_PASSWORD");
        m.from = "Parcelvane Sender <sender@example.com>";
        m.recipients = {row("To:", "first@example.com")};
        m.subject = "Delivered: report.pdf";
        m.body = "The file has been delivered.";
        m.timeoutSeconds = 20;
        return m;
    }

    // Runs one send to its end and checks that it reports exactly once, never from inside
    // send(); hook runs before send.
    SMTPOutcome run(const SMTPMessage &m, const std::function<void(SMTPEmail &)> &hook = {})
    {
        SMTPEmail sender;
        QSignalSpy finished(&sender, &SMTPEmail::finished);
        if (hook)
            hook(sender);
        if (!sender.send(m) || !finished.isEmpty() || !finished.wait(90000))
            qFatal("no outcome, or one reported from inside send()");
        QTest::qWait(200);
        if (finished.size() != 1)
            qFatal("more than one outcome");
        return finished.at(0).at(0).value<SMTPOutcome>();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_mail.dir().exists(), "no smtp.env: start smtp.sh"); }
    void init() { m_mail.clear(); }

    void parsesAddresses()
    {
        const QList<std::array<const char *, 3>> rows = {
            {" user@example.com ", "", "user@example.com"},
            {"Jane Doe <jane.doe+tag@mail.example.com>", "Jane Doe",
             "jane.doe+tag@mail.example.com"},
            {"\"Doe, Jane \\\"JD\\\"\" <jd@example.com>", "Doe, Jane \"JD\"", "jd@example.com"},
            {"<a@example.com>", "", "a@example.com"},
            {"info@bücher.example", "", "info@bücher.example"},
            {"root@[127.0.0.1]", "", "root@[127.0.0.1]"}};
        for (const auto &[text, name, address] : rows) {
            const auto parsed = pv::parseMailAddress(QString::fromUtf8(text));
            QVERIFY2(parsed, text);
            QCOMPARE(parsed->name + ' ' + parsed->address, QString::fromUtf8(name) + ' ' + address);
        }
        // A line break would let a recipient field add headers to the message.
        for (const char *bad :
             {"", "plainword", "@example.com", "user@", "two@at@example.com",
              "with space@example.com", ".lead@example.com", "double..dot@example.com",
              "user@-bad-.example.com", "user@exa_mple.com", "user@example..com",
              "Name <user@example.com", "user@example.com\r\nBcc: victim@example.com",
              "Name\n <user@example.com>"})
            QVERIFY2(!pv::parseMailAddress(QString::fromUtf8(bad)), bad);
    }

    void foldsHeaders_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("expected");
        const auto subject = [](const char *name, const QString &text) {
            QTest::newRow(name) << pv::textHeader("Subject", text) << "subject" << QJsonValue(text);
        };
        subject("long ASCII", QString("word ").repeated(60) + " two spaces");
        subject("unbroken ASCII", QString(120, u'x'));
        const QString japanese = QString(78, QChar(0x6771));
        subject("Japanese", japanese);
        subject("mixed", "Geliefert: Übersicht – 東京 " + QString(60, u'é') + " 😀 end");
        // Text that merely looks like an encoded word reads back literally.
        subject("encoded-word lookalike", "=?UTF-8?B?QUJD?=");
        // A line break never reaches the header as one, so it cannot add a header.
        QTest::newRow("line break") << pv::textHeader("Subject", "one\r\nBcc: x@example.com")
                                    << "subject" << QJsonValue("one Bcc: x@example.com");

        // Read back with the domains in ACE form.
        const QList<pv::MailAddress> to{
            {"", "first@example.com"},
            {"Doe, Jane \"JD\"", "jd@example.com"},
            {"Ürsula Ödegaard-Långström, Abteilung für Übersetzungen " + QString(20, QChar(0x6771)),
             "long@example.com"},
            {"", "info@bücher.example"},
            {"Büro", "office@bücher.example"}};
        QJsonArray read;
        for (const pv::MailAddress &a : to)
            read.append(QJsonArray{a.name, QString(a.address).replace("bücher", "xn--bcher-kva")});
        QTest::newRow("addresses") << pv::addressHeader("To", to) << "to" << QJsonValue(read);

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
            // A field or a continuation line of printable ASCII, not of white space only.
            static const QRegularExpression shape(R"(^(?:[A-Za-z-]+: [ -~]*| [ -~]*[!-~][ -~]*)$)");
            QVERIFY2(line.size() <= 76 && shape.match(QString::fromLatin1(line)).hasMatch(),
                     line.constData());
            static const QRegularExpression encodedWord(R"(=\?[^?]*\?[BQ]\?[^?]*\?=)");
            for (const auto &m : encodedWord.globalMatch(QString::fromLatin1(line)))
                QVERIFY2(m.capturedLength() <= 75, line.constData());
        }
        QCOMPARE(pythonReads(header).value(key), expected);
    }

    void ehloNames()
    {
        for (const auto &[host, local, expected] : std::initializer_list<std::array<QString, 3>>{
                 {"mail.example.com", "", "mail.example.com"},
                 {"vm", "192.0.2.7", "[192.0.2.7]"},
                 {"localhost.localdomain", "192.0.2.7", "[192.0.2.7]"},
                 {"vm", "2001:db8::1", "[IPv6:2001:db8::1]"}})
            QCOMPARE(pv::ehloName(host, local), expected);
    }

    void refusesBeforeConnecting()
    {
        Listener listener;
        SMTPMessage m = message(QString::number(listener.port()));

        m.from = "not an address";
        SMTPOutcome o = run(m);
        QCOMPARE(o.result, Result::InvalidSender);
        QCOMPARE(o.logLines,
                 QStringList("\"not an address\" is not a properly formatted e-mail address"));

        // One line per bad row, then the verdict.
        m.from = "sender@example.com";
        m.recipients = {row("To:", "first"), row("Cc:", "second@"), row("Bcc:", "")};
        o = run(m);
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
            o = run(m);
            QCOMPARE(o.result, Result::AttachmentUnreadable);
            QCOMPARE(o.logLines.mid(1), QStringList("Email could not be sent: the attachment \"" +
                                                    path + "\" could not be read."));
        }
        QVERIFY2(!listener.wasConnected(), "a connection was made");
    }

    // Each security mode and mechanism against the servers of smtp.sh, and each way a send is
    // refused there. text: the mechanism used when sent, else the start of the one log line.
    void exchanges_data()
    {
        QTest::addColumn<QString>("port"); // of smtp.env, after SMTP_PORT_; empty: a closed port
        QTest::addColumn<int>("security");
        QTest::addColumn<QString>("mechanism"); // asked for
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("text");
        const auto add = [](const char *name, const char *port, int security, const char *mech,
                            Result result, const char *text) {
            QTest::newRow(name) << QString(port) << security << QString(mech) << int(result)
                                << QString::fromUtf8(text);
        };
        const Result sent = Result::Sent, failed = Result::ConnectionFailed;
        add("plain PLAIN", "PLAIN", 0, "PLAIN", sent, "PLAIN");
        add("plain LOGIN", "PLAIN", 0, "LOGIN", sent, "LOGIN");
        add("plain CRAM-MD5", "PLAIN", 0, "CRAM-MD5", sent, "CRAM-MD5");
        add("implicit TLS", "TLS", 1, "PLAIN", sent, "PLAIN");
        // This server refuses a login before TLS, so success proves STARTTLS came first.
        add("STARTTLS", "STARTTLS", 2, "LOGIN", sent, "LOGIN");
        add("no login", "NO_AUTH", 0, "none", sent, "none");
        // Only LOGIN is offered: it is used although PLAIN was asked for.
        add("LOGIN fallback", "LOGIN_ONLY", 0, "PLAIN", sent, "LOGIN");
        add("no known mechanism", "FOREIGN_AUTH", 0, "PLAIN", Result::UnsupportedMechanism,
            "Email could not be sent: SMTP mechanism \"PLAIN\" is not supported.\nPlease contact "
            "support@tallowin.example for more info.");
        add("wrong password", "PLAIN", 0, "PLAIN", Result::AuthenticationFailed,
            "Email could not be sent. Authentication failed! Closing the connection...\nPlease "
            "check if SMTP login info is entered correctly in the e-mail template.");
        add("recipient refused", "PLAIN", 0, "PLAIN", Result::MessageNotSent,
            "Email could not be sent (SMTP error).\n550");
        add("closed port", "", 0, "PLAIN", failed,
            "Email could not be sent. The connection to the SMTP server failed: ");
        // STARTTLS asked for but not offered: the exchange ends before any login or message.
        add("STARTTLS not offered", "PLAIN", 2, "PLAIN", failed, "");
        add("STARTTLS not offered, no login", "PLAIN", 2, "none", failed, "");
        // The certificate is checked against the system's trust store, with or without a login.
        add("untrusted certificate", "UNTRUSTED", 1, "PLAIN", failed, "certificate");
        add("untrusted certificate, no login", "UNTRUSTED", 1, "none", failed, "certificate");
    }

    void exchanges()
    {
        QFETCH(QString, port);
        QFETCH(int, security);
        QFETCH(QString, mechanism);
        QFETCH(int, result);
        QFETCH(QString, text);
        SMTPMessage m = message("SMTP_PORT_" + port, security, mechanism);
        if (port.isEmpty()) // nobody listens once the listener has closed
            m.port = Listener().port();
        const QByteArray tag = QTest::currentDataTag();
        if (tag == "wrong password")
            m.password = "not-the-password";
        if (tag == "recipient refused")
            m.recipients = {row("To:", "refused@example.com")};
        else if (result == int(Result::Sent)) // several rows of each kind
            m.recipients = {row("To:", "first@example.com"),
                            row("Cc:", "Copy Reader <copy@example.com>"),
                            row("Bcc:", "hidden@example.com"), row("To:", "second@bücher.example"),
                            row("Bcc:", "First@Example.com")};
        m.subject = "Geliefert: Übersicht – " + QString(78, QChar(0x6771)) + ".pdf";
        m.body = "Zeile eins: äöü €\n" + QString(1200, QLatin1Char('x')) + "\n.\n.leading dot\nend";
        const SMTPOutcome o = run(m);
        QCOMPARE(int(o.result), result);
        if (o.result != Result::Sent) {
            // One log line: the text's start, or for a certificate a line naming it.
            QCOMPARE(o.logLines.size(), 1);
            QVERIFY2(text == "certificate" ? o.logLines[0].contains(text)
                                           : o.logLines[0].startsWith(text),
                     qPrintable(o.logLines[0]));
            QVERIFY(!o.logLines[0].contains(m.password));
            QVERIFY(m_mail.messages().isEmpty());
            return;
        }
        QCOMPARE(m_mail.messages().size(), 1);
        const QJsonObject r = m_mail.messages()[0], meta = r.value("meta").toObject(),
                          headers = r.value("headers").toObject();
        // A fully qualified name, or else the address literal of this end of the connection.
        const QString ehlo = meta.value("ehlo").toString();
        QVERIFY2(ehlo == "[127.0.0.1]" || (ehlo.contains('.') && !ehlo.startsWith('[')),
                 qPrintable(ehlo));
        // The mechanism used; the envelope with the server's ACE domains decoded; without SMTPUTF8
        // a header may not carry a raw UTF-8 domain; no Bcc header; folded headers and base64
        // lines; text as CRLF lines.
        const bool login = text != "none";
        QCOMPARE(
            QVariantList({o.mechanism, meta.value("secure").toBool(), meta.value("user").toString(),
                          login ? meta.value("mechanism").toString() : text,
                          meta.value("rcptTo").toVariant().toStringList(),
                          headers.value("subject").toString(), headers.value("to").toString(),
                          headers.value("cc").toString(), headers.contains("bcc"),
                          r.value("max_line").toInt() <= 76,
                          r.value("parts").toArray()[0].toObject().value("text").toString()}),
            QVariantList({text, security != 0, login ? m_env.value("SMTP_USER") : QString(), text,
                          QStringList({"first@example.com", "copy@example.com",
                                       "hidden@example.com", "second@bücher.example"}),
                          m.subject, "first@example.com, second@xn--bcher-kva.example",
                          "Copy Reader <copy@example.com>", false, true,
                          QString(m.body).replace("\n", "\r\n")}));
    }

    // A server that takes the connection and never greets: the time-out, Cancel, one message
    // at a time, and a sender destroyed while it waits, neither of the last waiting that long.
    void silentServer()
    {
        Listener silent;
        SMTPMessage m = message(QString::number(silent.port()));
        m.timeoutSeconds = 2;
        SMTPOutcome o = run(m);
        QCOMPARE(o.result, Result::TimedOut);
        QVERIFY(o.logLines.value(0).startsWith("Email could not be sent. Connection timed out!"));

        m.timeoutSeconds = 60;
        QElapsedTimer clock;
        clock.start();
        o = run(m, [](SMTPEmail &s) { QTimer::singleShot(500, &s, &SMTPEmail::cancelEmail); });
        QCOMPARE(o.result, Result::Cancelled);
        QVERIFY2(clock.elapsed() < 10000, "cancelling waits for the time-out");

        while (silent.wasConnected()) // the connections of the sends above
            ;
        auto *sender = new SMTPEmail;
        QSignalSpy finished(sender, &SMTPEmail::finished);
        QVERIFY(sender->send(m) && sender->isSending() && !sender->send(m)); // one at a time
        QVERIFY(QTest::qWaitFor([&] { return silent.wasConnected(); }, 10000));
        clock.restart();
        delete sender;
        QVERIFY2(clock.elapsed() < 5000, "destroying a sender waits for the time-out");
        QVERIFY(finished.isEmpty());
    }

    void largeAttachmentsArriveIntactOrCancel()
    {
        QTemporaryDir dir;
        SMTPMessage m = message("SMTP_PORT_STARTTLS", 2);
        m.body = "Attached: ünïcode body\n.\nline after a lone dot";
        QList<QStringList> attached; // disposition, name and SHA-256 of each part after the text
        for (const auto &[name, size] : QList<QPair<QString, qsizetype>>{
                 {"package.zip", 6 * 1024 * 1024 + 7},
                 {"Übersicht " + QString(78, QChar(0x6771)) + ".pdf", 3000},
                 {"empty.bin", 0}}) {
            QByteArray data(size, Qt::Uninitialized);
            for (qsizetype i = 0; i < size; ++i)
                data[i] = char(QRandomGenerator::global()->bounded(256));
            if (size > 100) // lines that look like the end of the data or a boundary
                data.replace(0, 20, QByteArray("\r\n.\r\n--boundary--\r\n."));
            m.attachments << dir.filePath(name);
            QVERIFY(pvtest::putBytes(m.attachments.last(), data));
            attached << QStringList{
                "attachment", name,
                QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex()};
        }
        qint64 done = -1, total = 0; // the last progress reported
        SMTPOutcome o = run(m, [&](SMTPEmail &s) {
            connect(&s, &SMTPEmail::progressChanged, this,
                    [&](qint64 d, qint64 t) { done = d, total = t; });
        });
        QVERIFY2(o.sent(), qPrintable(o.logLines.join('\n')));
        QCOMPARE(done, total);

        QCOMPARE(m_mail.messages().size(), 1);
        const QJsonObject received = m_mail.messages()[0];
        // A long international file name is folded too (the part headers are checked more
        // closely without a server; the container's own Content-Type line is libcurl's).
        QVERIFY(received.value("max_line").toInt() <= 998);
        QJsonArray parts = received.value("parts").toArray();
        QCOMPARE(parts.takeAt(0).toObject().value("text").toString(),
                 QString(m.body).replace("\n", "\r\n"));
        QList<QStringList> got;
        for (const QJsonValue &p : parts)
            got << QStringList{p["disposition"].toString(), p["filename"].toString(),
                               p["sha256"].toString()};
        QCOMPARE(got, attached);

        // Cancelled while the data is written.
        QFile f(dir.filePath("large.bin"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(qint64(64) * 1024 * 1024));
        m = message("SMTP_PORT_PLAIN");
        m.attachments = {f.fileName()};
        o = run(m, [](SMTPEmail &s) {
            connect(&s, &SMTPEmail::progressChanged, &s, &SMTPEmail::cancelEmail);
        });
        QCOMPARE(o.result, Result::Cancelled);
        QCOMPARE(o.logLines, QStringList("Email could not be sent. Operation cancelled!"));
    }
};

QTEST_GUILESS_MAIN(TestSmtpSend)
#include "test_smtpsend.moc"
