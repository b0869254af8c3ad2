// Sending through real SMTP servers on 127.0.0.1 (tests/servers/smtp.sh): security modes,
// mechanisms, refusals, large attachments and cancellation, checked in what the server stored.
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
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

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
    return {{QStringLiteral("to"), kind}, {QStringLiteral("email"), email}};
}

// A listening socket on 127.0.0.1 that never accepts: the kernel completes the connection and
// the client then waits for a greeting that never comes.
class SilentListener {
public:
    SilentListener()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
            ::listen(m_fd, 8) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            qFatal("cannot listen on 127.0.0.1");
        m_port = ntohs(a.sin_port);
    }
    ~SilentListener() { close(); }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

struct Received {
    QJsonObject meta;    // port, secure, user, mechanism, envelope
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
        m.server = m_env.value(QStringLiteral("SMTP_HOST"));
        m.port = port(portName);
        m.security = security;
        m.mechanism = mechanism;
        m.user = m_env.value(QStringLiteral("SMTP_USER"));
        m.password = m_env.value(QStringLiteral("SMTP_PASSWORD"));
        m.from = QStringLiteral("Parcelvane Sender <sender@example.com>");
        m.recipients = {row(QStringLiteral("To:"), QStringLiteral("first@example.com"))};
        m.subject = QStringLiteral("Delivered: report.pdf");
        m.body = QStringLiteral("The file has been delivered.");
        m.timeoutSeconds = 20;
        return m;
    }

    // Runs one send to its end and checks that it reports exactly once.
    SMTPOutcome run(const SMTPMessage &m, QStringList *statuses = nullptr,
                    std::function<void(SMTPEmail &)> whileRunning = {})
    {
        SMTPEmail sender;
        QSignalSpy finished(&sender, &SMTPEmail::finished);
        QStringList seen;
        connect(&sender, &SMTPEmail::statusChanged, this, [&](const QString &s) { seen << s; });
        if (!sender.send(m))
            qFatal("send refused");
        if (whileRunning)
            whileRunning(sender);
        if (!finished.wait(90000))
            qFatal("no outcome");
        QTest::qWait(200);
        if (finished.size() != 1)
            qFatal("more than one outcome");
        if (statuses)
            *statuses = seen;
        return finished.at(0).at(0).value<SMTPOutcome>();
    }

    QList<Received> received() const
    {
        QList<Received> out;
        const QStringList files =
            m_mail.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
        for (const QString &f : files) {
            Received r;
            QFile meta(
                m_mail.filePath(QString(f).replace(QLatin1String(".eml"), QLatin1String(".json"))));
            if (!meta.open(QIODevice::ReadOnly))
                qFatal("no sidecar");
            r.meta = QJsonDocument::fromJson(meta.readAll()).object();
            QProcess py;
            py.start(QStringLiteral("python3"),
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
        m_mail.setPath(m_env.value(QStringLiteral("SMTP_MAIL_DIR")));
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
        QTest::addColumn<QString>("mechanism");
        QTest::addColumn<bool>("secure");
        QTest::newRow("plain PLAIN") << QByteArray("SMTP_PORT_PLAIN") << 0 << "PLAIN" << false;
        QTest::newRow("plain LOGIN") << QByteArray("SMTP_PORT_PLAIN") << 0 << "LOGIN" << false;
        QTest::newRow("plain CRAM-MD5")
            << QByteArray("SMTP_PORT_PLAIN") << 0 << "CRAM-MD5" << false;
        QTest::newRow("implicit TLS") << QByteArray("SMTP_PORT_TLS") << 1 << "PLAIN" << true;
        // This server refuses a login before TLS, so success proves STARTTLS came first.
        QTest::newRow("STARTTLS") << QByteArray("SMTP_PORT_STARTTLS") << 2 << "LOGIN" << true;
        QTest::newRow("no login") << QByteArray("SMTP_PORT_NO_AUTH") << 0 << "none" << false;
    }

    void sendsWithEachSecurityAndMechanism()
    {
        QFETCH(QByteArray, portName);
        QFETCH(int, security);
        QFETCH(QString, mechanism);
        QFETCH(bool, secure);
        SMTPMessage m = message(portName.constData(), security, mechanism);
        m.recipients = {row("To:", "first@example.com"),
                        row("Cc:", "Copy Reader <copy@example.com>"),
                        row("Bcc:", "hidden@example.com"), row("To:", "second@example.com"),
                        row("Bcc:", "First@Example.com")};
        m.subject = QStringLiteral("Geliefert: Übersicht – 東京.pdf");
        m.body = QStringLiteral("Zeile eins: äöü €\n") + QString(1200, QLatin1Char('x')) +
                 QStringLiteral("\n.\n.leading dot\nend");
        QStringList statuses;
        const SMTPOutcome o = run(m, &statuses);
        QVERIFY2(o.sent(), qPrintable(o.logLines.join('\n')));
        QVERIFY(o.logLines.isEmpty());
        QCOMPARE(o.mechanism, mechanism);
        QCOMPARE(statuses.value(0), QStringLiteral("Connecting to 127.0.0.1 server..."));
        QVERIFY(statuses.contains(QStringLiteral("Sending e-mail...")));

        const Received r = onlyMessage();
        QCOMPARE(r.meta.value("secure").toBool(), secure);
        if (mechanism == QLatin1String("none")) {
            QVERIFY(r.meta.value("user").isNull());
        } else {
            QCOMPARE(r.meta.value("user").toString(), m_env.value("SMTP_USER"));
            QCOMPARE(r.meta.value("mechanism").toString(), mechanism);
        }
        QCOMPARE(r.meta.value("mailFrom").toString(), QStringLiteral("sender@example.com"));
        const QStringList envelope = r.meta.value("rcptTo").toVariant().toStringList();
        QCOMPARE(envelope, QStringList({"first@example.com", "copy@example.com",
                                        "hidden@example.com", "second@example.com"}));

        const QJsonObject headers = r.message.value("headers").toObject();
        QCOMPARE(headers.value("subject").toString(), m.subject);
        QCOMPARE(headers.value("from").toString(),
                 QStringLiteral("Parcelvane Sender <sender@example.com>"));
        QCOMPARE(headers.value("to").toString(),
                 QStringLiteral("first@example.com, second@example.com"));
        QCOMPARE(headers.value("cc").toString(), QStringLiteral("Copy Reader <copy@example.com>"));
        QVERIFY(!headers.contains("bcc"));
        QVERIFY(headers.value("message-id").toString().endsWith("@example.com>"));
        QVERIFY(!headers.value("date").toString().isEmpty());
        QVERIFY(r.message.value("max_line").toInt() <= 998);

        QCOMPARE(r.message.value("content_type").toString(), QStringLiteral("text/plain"));
        const QJsonArray parts = r.message.value("parts").toArray();
        QCOMPARE(parts.size(), 1);
        QCOMPARE(parts[0].toObject().value("charset").toString(), QStringLiteral("utf-8"));
        QCOMPARE(parts[0].toObject().value("text").toString(), m.body);
    }

    void fallsBackToAnOfferedMechanism()
    {
        // Only LOGIN is offered: it is used although PLAIN was asked for.
        const SMTPOutcome o = run(message("SMTP_PORT_LOGIN_ONLY", 0, "PLAIN"));
        QVERIFY2(o.sent(), qPrintable(o.logLines.join('\n')));
        QCOMPARE(o.mechanism, QStringLiteral("LOGIN"));
        QCOMPARE(onlyMessage().meta.value("mechanism").toString(), QStringLiteral("LOGIN"));
    }

    void refusesWhenNoKnownMechanismIsOffered()
    {
        const SMTPOutcome o = run(message("SMTP_PORT_FOREIGN_AUTH", 0, "PLAIN"));
        QCOMPARE(o.result, Result::UnsupportedMechanism);
        QCOMPARE(o.logLines,
                 QStringList("Email could not be sent: SMTP mechanism \"PLAIN\" is not "
                             "supported.\nPlease contact support@tallowin.example for more info."));
        QVERIFY(received().isEmpty());
    }

    void reportsAWrongPassword()
    {
        SMTPMessage m = message("SMTP_PORT_PLAIN", 0, "PLAIN");
        m.password = QStringLiteral("not-the-password");
        const SMTPOutcome o = run(m);
        QCOMPARE(o.result, Result::AuthenticationFailed);
        QCOMPARE(o.status, QStringLiteral("Authentication failed! Closing the connection..."));
        QCOMPARE(o.logLines, QStringList("Email could not be sent. Authentication failed! Closing "
                                         "the connection...\nPlease check if SMTP login info is "
                                         "entered correctly in the e-mail template."));
        QVERIFY(!o.logLines.join(' ').contains(m.password));
        QVERIFY(received().isEmpty());
    }

    void reportsTheServersRefusal()
    {
        SMTPMessage m = message("SMTP_PORT_PLAIN", 0, "PLAIN");
        m.recipients = {row("To:", "refused@example.com")};
        const SMTPOutcome o = run(m);
        QVERIFY2(o.result == Result::MessageNotSent, qPrintable(o.logLines.join('\n')));
        QCOMPARE(o.status,
                 QStringLiteral("Message not sent (SMTP error). Closing the connection..."));
        QCOMPARE(o.logLines.size(), 1);
        QVERIFY2(o.logLines[0].startsWith("Email could not be sent (SMTP error).\n550"),
                 qPrintable(o.logLines[0]));
        QVERIFY(o.logLines[0].contains("refused@example.com unavailable"));
        QVERIFY(received().isEmpty());
    }

    void refusesInsecureConnections()
    {
        // STARTTLS asked for but not offered: the exchange ends before any login or message.
        SMTPMessage m = message("SMTP_PORT_PLAIN", 2, "PLAIN");
        SMTPOutcome o = run(m);
        QCOMPARE(o.result, Result::ConnectionFailed);
        m.mechanism = QStringLiteral("none");
        o = run(m);
        QCOMPARE(o.result, Result::ConnectionFailed);

        // The certificate is checked against the system's trust store, before and without a login.
        for (const QString mechanism : {"PLAIN", "none"}) {
            o = run(message("SMTP_PORT_UNTRUSTED", 1, mechanism));
            QCOMPARE(o.result, Result::ConnectionFailed);
            QVERIFY2(o.logLines.value(0).contains("certificate"), qPrintable(o.logLines.value(0)));
        }
        QVERIFY(received().isEmpty());
    }

    void reportsAClosedPort()
    {
        SilentListener probe;
        const int closed = probe.port();
        probe.close();
        SMTPMessage m = message("SMTP_PORT_PLAIN", 0, "PLAIN");
        m.port = closed;
        const SMTPOutcome o = run(m);
        QCOMPARE(o.result, Result::ConnectionFailed);
        QCOMPARE(o.logLines.size(), 1);
        QVERIFY2(o.logLines[0].startsWith("Email could not be sent. The connection to the SMTP "
                                          "server failed: "),
                 qPrintable(o.logLines[0]));
    }

    void timesOutOnASilentServerAndCancelsThere()
    {
        // Accepts connections but never greets.
        SilentListener silent;
        SMTPMessage m = message("SMTP_PORT_PLAIN", 0, "PLAIN");
        m.port = silent.port();
        m.timeoutSeconds = 2;
        SMTPOutcome o = run(m);
        QCOMPARE(o.result, Result::TimedOut);
        QCOMPARE(o.logLines, QStringList("Email could not be sent. Connection timed out! Closing "
                                         "the connection...\nPlease check if SMTP server info is "
                                         "entered correctly in the e-mail template."));

        m.timeoutSeconds = 60;
        QElapsedTimer clock;
        clock.start();
        o = run(m, nullptr, [](SMTPEmail &s) {
            QTest::qWait(500);
            s.cancelEmail();
        });
        QCOMPARE(o.result, Result::Cancelled);
        QCOMPARE(o.logLines, QStringList("Email could not be sent. Operation cancelled!"));
        QVERIFY2(clock.elapsed() < 10000, "cancelling waits for the time-out");
    }

    void carriesLargeAttachmentsIntact()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QStringList paths;
        QList<QByteArray> digests;
        const QList<QPair<QString, qsizetype>> files = {
            {"package.zip", 6 * 1024 * 1024 + 7}, {"Übersicht 東京.pdf", 3000}, {"empty.bin", 0}};
        auto *rng = QRandomGenerator::global();
        for (const auto &[name, size] : files) {
            QByteArray data(size, Qt::Uninitialized);
            for (qsizetype i = 0; i < size; ++i)
                data[i] = char(rng->bounded(256));
            if (size > 100) // lines that look like the end of the data or a boundary
                data.replace(0, 20, QByteArray("\r\n.\r\n--boundary--\r\n."));
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(data);
            f.close();
            paths << f.fileName();
            digests << QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
        }
        SMTPMessage m = message("SMTP_PORT_STARTTLS", 2, "PLAIN");
        m.body = QStringLiteral("Attached: ünïcode body\n.\nline after a lone dot");
        m.attachments = paths;
        QStringList statuses;
        SMTPEmail sender;
        QSignalSpy progress(&sender, &SMTPEmail::progressChanged);
        const SMTPOutcome o = [&] {
            QSignalSpy finished(&sender, &SMTPEmail::finished);
            connect(&sender, &SMTPEmail::statusChanged, this,
                    [&](const QString &s) { statuses << s; });
            sender.send(m);
            if (!finished.wait(90000))
                qFatal("no outcome");
            return finished.at(0).at(0).value<SMTPOutcome>();
        }();
        QVERIFY2(o.sent(), qPrintable(o.logLines.join('\n')));
        QVERIFY(statuses
                    .filter(QRegularExpression(
                        "^Sending e-mail attachments - \\d+\\.\\d\\d MB\\.\\.\\.$"))
                    .size() >= 1);
        QVERIFY(!progress.isEmpty());
        const QList<QVariant> last = progress.last();
        QCOMPARE(last.at(0).toLongLong(), last.at(1).toLongLong());

        const Received r = onlyMessage();
        QCOMPARE(r.message.value("content_type").toString(), QStringLiteral("multipart/mixed"));
        const QJsonArray parts = r.message.value("parts").toArray();
        QCOMPARE(parts.size(), 1 + files.size());
        const QJsonObject text = parts[0].toObject();
        QCOMPARE(text.value("content_type").toString(), QStringLiteral("text/plain"));
        QCOMPARE(text.value("charset").toString(), QStringLiteral("utf-8"));
        QCOMPARE(text.value("text").toString(), m.body);
        for (int i = 0; i < files.size(); ++i) {
            const QJsonObject p = parts[i + 1].toObject();
            QCOMPARE(p.value("content_type").toString(),
                     QStringLiteral("application/octet-stream"));
            QCOMPARE(p.value("disposition").toString(), QStringLiteral("attachment"));
            QCOMPARE(p.value("filename").toString(), files[i].first);
            QCOMPARE(p.value("size").toInteger(), qint64(files[i].second));
            QCOMPARE(p.value("sha256").toString().toLatin1(), digests[i]);
        }
    }

    void cancelsWhileTheDataIsWritten()
    {
        QTemporaryDir dir;
        QFile f(dir.filePath("large.bin"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(qint64(64) * 1024 * 1024));
        f.close();
        SMTPMessage m = message("SMTP_PORT_PLAIN", 0, "PLAIN");
        m.attachments = {f.fileName()};
        SMTPEmail sender;
        QSignalSpy finished(&sender, &SMTPEmail::finished);
        connect(&sender, &SMTPEmail::progressChanged, &sender, &SMTPEmail::cancelEmail);
        QVERIFY(sender.send(m));
        QVERIFY(finished.wait(90000));
        const SMTPOutcome o = finished.at(0).at(0).value<SMTPOutcome>();
        QCOMPARE(o.result, Result::Cancelled);
        QCOMPARE(o.logLines, QStringList("Email could not be sent. Operation cancelled!"));
    }

    void oneAttachmentIsNamedInTheSingular()
    {
        QTemporaryDir dir;
        QFile f(dir.filePath("one.txt"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("content");
        f.close();
        SMTPMessage m = message("SMTP_PORT_PLAIN", 0, "PLAIN");
        m.attachments = {f.fileName()};
        QStringList statuses;
        const SMTPOutcome o = run(m, &statuses);
        QVERIFY(o.sent());
        QVERIFY(
            !statuses.filter(QRegularExpression("^Sending e-mail attachment - \\d+ KB\\.\\.\\.$"))
                 .isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSmtpSend)
#include "test_smtpsend.moc"
