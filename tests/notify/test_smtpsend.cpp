// Sending through real SMTP servers on 127.0.0.1 (tests/servers/smtp.sh): security modes,
// mechanisms, refusals, large attachments and cancellation, checked in what the server stored.
#include "common/listener.h"
#include "notify/smtpemail.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using pv::SMTPEmail;
using pv::SMTPMessage;
using pv::SMTPOutcome;
using Result = pv::SMTPOutcome::Result;

namespace {

QVariantMap row(const QString &kind, const QString &email)
{
    return {{"to", kind}, {"email", email}};
}

struct Received {
    QJsonObject meta;    // port, secure, ehlo, user, mechanism, envelope
    QJsonObject message; // smtp_parse.py's view of the message
};

} // namespace

class TestSmtpSend : public QObject {
    Q_OBJECT

private:
    QMap<QString, QString> m_env;
    QDir m_mail;

    int port(const char *name) const { return m_env.value(QLatin1String(name)).toInt(); }

    SMTPMessage message(const char *portName, int security, const QString &mechanism) const
    {
        SMTPMessage m;
        m.server = m_env.value("SMTP_HOST");
        m.port = port(portName);
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

    // Runs one send to its end and checks that it reports exactly once; hook runs before send.
    SMTPOutcome run(const SMTPMessage &m, const std::function<void(SMTPEmail &)> &hook = {})
    {
        SMTPEmail sender;
        QSignalSpy finished(&sender, &SMTPEmail::finished);
        if (hook)
            hook(sender);
        if (!sender.send(m) || !finished.wait(90000))
            qFatal("no outcome");
        QTest::qWait(200);
        if (finished.size() != 1)
            qFatal("more than one outcome");
        return finished.at(0).at(0).value<SMTPOutcome>();
    }

    QList<Received> received() const
    {
        QList<Received> out;
        const QStringList files = m_mail.entryList({"*.eml"}, QDir::Files, QDir::Name);
        for (const QString &f : files) {
            Received r;
            QFile meta(
                m_mail.filePath(QString(f).replace(QLatin1String(".eml"), QLatin1String(".json"))));
            if (!meta.open(QIODevice::ReadOnly))
                qFatal("no sidecar");
            r.meta = QJsonDocument::fromJson(meta.readAll()).object();
            QProcess py;
            py.start("python3",
                     {qEnvironmentVariable("PV_SOURCE_DIR") + "/tests/servers/smtp_parse.py",
                      m_mail.filePath(f)});
            if (!py.waitForFinished(60000) || py.exitCode() != 0)
                qFatal("smtp_parse.py failed: %s", py.readAllStandardError().constData());
            r.message = QJsonDocument::fromJson(py.readAllStandardOutput()).object();
            out << r;
        }
        return out;
    }

    Received onlyMessage() const
    {
        const QList<Received> all = received();
        if (all.size() != 1)
            qFatal("expected one received message, found %d", int(all.size()));
        return all.first();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QFile env(qEnvironmentVariable("PV_BINARY_DIR") + "/servers/smtp.env");
        QVERIFY2(env.open(QIODevice::ReadOnly), "servers/smtp.env missing: start smtp.sh");
        for (const QByteArray &line : env.readAll().split('\n')) {
            const qsizetype eq = line.indexOf('=');
            if (eq > 0)
                m_env.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
        }
        m_mail.setPath(m_env.value("SMTP_MAIL_DIR"));
        QVERIFY(m_mail.exists());
    }

    void init()
    {
        for (const QString &f : m_mail.entryList(QDir::Files))
            m_mail.remove(f);
    }

    void sendsWithEachSecurityAndMechanism_data()
    {
        QTest::addColumn<QByteArray>("portName");
        QTest::addColumn<int>("security");
        QTest::addColumn<QString>("mechanism"); // asked for
        QTest::addColumn<QString>("used");
        QTest::addColumn<bool>("secure");
        const auto row = [](const char *name, const char *port, int security, const char *asked,
                            const char *used, bool secure) {
            QTest::newRow(name) << QByteArray(port) << security << QString(asked) << QString(used)
                                << secure;
        };
        row("plain PLAIN", "SMTP_PORT_PLAIN", 0, "PLAIN", "PLAIN", false);
        row("plain LOGIN", "SMTP_PORT_PLAIN", 0, "LOGIN", "LOGIN", false);
        row("plain CRAM-MD5", "SMTP_PORT_PLAIN", 0, "CRAM-MD5", "CRAM-MD5", false);
        row("implicit TLS", "SMTP_PORT_TLS", 1, "PLAIN", "PLAIN", true);
        // This server refuses a login before TLS, so success proves STARTTLS came first.
        row("STARTTLS", "SMTP_PORT_STARTTLS", 2, "LOGIN", "LOGIN", true);
        row("no login", "SMTP_PORT_NO_AUTH", 0, "none", "none", false);
        // Only LOGIN is offered: it is used although PLAIN was asked for.
        row("LOGIN fallback", "SMTP_PORT_LOGIN_ONLY", 0, "PLAIN", "LOGIN", false);
    }

    void sendsWithEachSecurityAndMechanism()
    {
        QFETCH(QByteArray, portName);
        QFETCH(int, security);
        QFETCH(QString, mechanism);
        QFETCH(QString, used);
        QFETCH(bool, secure);
        SMTPMessage m = message(portName.constData(), security, mechanism);
        m.recipients = {row("To:", "first@example.com"),
                        row("Cc:", "Copy Reader <copy@example.com>"),
                        row("Bcc:", "hidden@example.com"), row("To:", "second@bücher.example"),
                        row("Bcc:", "First@Example.com")};
        m.subject = "Geliefert: Übersicht – " + QString(78, QChar(0x6771)) + ".pdf";
        m.body = "Zeile eins: äöü €\n" + QString(1200, QLatin1Char('x')) + "\n.\n.leading dot\nend";
        const SMTPOutcome o = run(m);
        QVERIFY2(o.sent(), qPrintable(o.logLines.join('\n')));
        QCOMPARE(o.mechanism, used);

        const Received r = onlyMessage();
        QCOMPARE(r.meta.value("secure").toBool(), secure);
        // A fully qualified name, or else the address literal of this end of the connection.
        const QString ehlo = r.meta.value("ehlo").toString();
        QVERIFY2(ehlo == "[127.0.0.1]" || (ehlo.contains('.') && !ehlo.startsWith('[')),
                 qPrintable(ehlo));
        QCOMPARE(r.meta.value("user").toString(),
                 used == "none" ? QString() : m_env.value("SMTP_USER"));
        if (used != "none")
            QCOMPARE(r.meta.value("mechanism").toString(), used);
        QCOMPARE(r.meta.value("rcptTo").toVariant().toStringList(),
                 QStringList({"first@example.com", "copy@example.com", "hidden@example.com",
                              "second@bücher.example"})); // the server decodes ACE domains
        const QJsonObject headers = r.message.value("headers").toObject();
        QCOMPARE(headers.value("subject").toString(), m.subject);
        // Without SMTPUTF8 a header may not carry a raw UTF-8 domain.
        QCOMPARE(headers.value("to").toString(), "first@example.com, second@xn--bcher-kva.example");
        QCOMPARE(headers.value("cc").toString(), "Copy Reader <copy@example.com>");
        QVERIFY(!headers.contains("bcc"));
        // Folded headers and base64 lines.
        QVERIFY(r.message.value("max_line").toInt() <= 76);
        // Text travels as CRLF lines.
        QCOMPARE(r.message.value("parts").toArray()[0].toObject().value("text").toString(),
                 QString(m.body).replace("\n", "\r\n"));
    }

    void reportsFailures_data()
    {
        QTest::addColumn<QByteArray>("portName"); // empty: a closed port
        QTest::addColumn<int>("security");
        QTest::addColumn<QString>("mechanism");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("recipient");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("logStart");
        const auto add = [](const char *name, const char *port, int security, const char *mech,
                            Result result, const char *log, const char *password = nullptr,
                            const char *to = "first@example.com") {
            QTest::newRow(name) << QByteArray(port) << security << QString(mech)
                                << QString(password) << QString(to) << int(result)
                                << QString::fromUtf8(log);
        };
        add("no known mechanism", "SMTP_PORT_FOREIGN_AUTH", 0, "PLAIN",
            Result::UnsupportedMechanism,
            "Email could not be sent: SMTP mechanism \"PLAIN\" is not supported.\nPlease contact "
            "support@tallowin.example for more info.");
        add("wrong password", "SMTP_PORT_PLAIN", 0, "PLAIN", Result::AuthenticationFailed,
            "Email could not be sent. Authentication failed! Closing the connection...\nPlease "
            "check if SMTP login info is entered correctly in the e-mail template.",
            "not-the-password");
        add("recipient refused", "SMTP_PORT_PLAIN", 0, "PLAIN", Result::MessageNotSent,
            "Email could not be sent (SMTP error).\n550", nullptr, "refused@example.com");
        add("closed port", "", 0, "PLAIN", Result::ConnectionFailed,
            "Email could not be sent. The connection to the SMTP server failed: ");
        // STARTTLS asked for but not offered: the exchange ends before any login or message.
        add("STARTTLS not offered", "SMTP_PORT_PLAIN", 2, "PLAIN", Result::ConnectionFailed, "");
        add("STARTTLS not offered, no login", "SMTP_PORT_PLAIN", 2, "none",
            Result::ConnectionFailed, "");
        // The certificate is checked against the system's trust store, with or without a login.
        add("untrusted certificate", "SMTP_PORT_UNTRUSTED", 1, "PLAIN", Result::ConnectionFailed,
            "");
        add("untrusted certificate, no login", "SMTP_PORT_UNTRUSTED", 1, "none",
            Result::ConnectionFailed, "");
    }

    void reportsFailures()
    {
        QFETCH(QByteArray, portName);
        QFETCH(int, security);
        QFETCH(QString, mechanism);
        QFETCH(QString, password);
        QFETCH(QString, recipient);
        QFETCH(int, result);
        QFETCH(QString, logStart);
        SMTPMessage m = message(portName.constData(), security, mechanism);
        if (portName.isEmpty()) {
            pvtest::Listener probe;
            m.port = probe.port();
        }
        if (!password.isEmpty())
            m.password = password;
        m.recipients = {row("To:", recipient)};
        const SMTPOutcome o = run(m);
        QCOMPARE(int(o.result), result);
        QCOMPARE(o.logLines.size(), 1);
        QVERIFY2(o.logLines[0].startsWith(logStart), qPrintable(o.logLines[0]));
        if (portName == "SMTP_PORT_UNTRUSTED")
            QVERIFY2(o.logLines[0].contains("certificate"), qPrintable(o.logLines[0]));
        QVERIFY(!o.logLines[0].contains(m.password));
        QVERIFY(received().isEmpty());
    }

    void timesOutOnASilentServerAndCancelsThere()
    {
        // Accepts connections but never greets.
        pvtest::Listener silent;
        SMTPMessage m = message("SMTP_PORT_PLAIN", 0, "PLAIN");
        m.port = silent.port();
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
    }

    void carriesLargeAttachmentsIntact()
    {
        QTemporaryDir dir;
        QStringList paths;
        QList<QByteArray> digests;
        const QList<QPair<QString, qsizetype>> files = {
            {"package.zip", 6 * 1024 * 1024 + 7},
            {"Übersicht " + QString(78, QChar(0x6771)) + ".pdf", 3000},
            {"empty.bin", 0}};
        auto *rng = QRandomGenerator::global();
        for (const auto &[name, size] : files) {
            QByteArray data(size, Qt::Uninitialized);
            for (qsizetype i = 0; i < size; ++i)
                data[i] = char(rng->bounded(256));
            if (size > 100) // lines that look like the end of the data or a boundary
                data.replace(0, 20, QByteArray("\r\n.\r\n--boundary--\r\n."));
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(data) == size);
            paths << f.fileName();
            digests << QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
        }
        SMTPMessage m = message("SMTP_PORT_STARTTLS", 2, "PLAIN");
        m.body = "Attached: ünïcode body\n.\nline after a lone dot";
        m.attachments = paths;
        QList<QList<QVariant>> progress;
        const SMTPOutcome o = run(m, [&](SMTPEmail &s) {
            connect(&s, &SMTPEmail::progressChanged, this, [&](qint64 done, qint64 total) {
                progress.append({done, total});
            });
        });
        QVERIFY2(o.sent(), qPrintable(o.logLines.join('\n')));
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0), progress.last().at(1));

        const QJsonObject received = onlyMessage().message;
        // A long international file name is folded too (the part headers are checked more
        // closely without a server; the container's own Content-Type line is libcurl's).
        QVERIFY(received.value("max_line").toInt() <= 998);
        const QJsonArray parts = received.value("parts").toArray();
        QCOMPARE(parts.size(), 1 + files.size());
        QCOMPARE(parts[0].toObject().value("text").toString(),
                 QString(m.body).replace("\n", "\r\n"));
        for (int i = 0; i < files.size(); ++i) {
            const QJsonObject p = parts[i + 1].toObject();
            QCOMPARE(p.value("disposition").toString(), "attachment");
            QCOMPARE(p.value("filename").toString(), files[i].first);
            QCOMPARE(p.value("sha256").toString().toLatin1(), digests[i]);
        }
    }

    void cancelsWhileTheDataIsWritten()
    {
        QTemporaryDir dir;
        QFile f(dir.filePath("large.bin"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(qint64(64) * 1024 * 1024));
        f.close();
        SMTPMessage m = message("SMTP_PORT_PLAIN", 0, "PLAIN");
        m.attachments = {f.fileName()};
        const SMTPOutcome o = run(m, [](SMTPEmail &s) {
            connect(&s, &SMTPEmail::progressChanged, &s, &SMTPEmail::cancelEmail);
        });
        QCOMPARE(o.result, Result::Cancelled);
        QCOMPARE(o.logLines, QStringList("Email could not be sent. Operation cancelled!"));
    }
};

QTEST_GUILESS_MAIN(TestSmtpSend)
#include "test_smtpsend.moc"
