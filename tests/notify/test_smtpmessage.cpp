// The SMTP sender's message rules that need no server: addresses, header encoding,
// size texts, and the refusals made before any connection.
#include "common/listener.h"
#include "notify/smtpemail.h"

#include <QElapsedTimer>
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

// Decodes a header value made of RFC 2047 "B" words separated by folding white space.
QString decodeWords(const QByteArray &value)
{
    QByteArray utf8;
    for (const QByteArray &word : value.split('\n')) {
        const QByteArray w = word.trimmed();
        if (!w.startsWith("=?UTF-8?B?") || !w.endsWith("?="))
            qFatal("not an encoded word: %s", w.constData());
        if (w.size() > 75)
            qFatal("encoded word longer than 75 characters");
        const QByteArray chunk = QByteArray::fromBase64(w.mid(10, w.size() - 12));
        // Every word holds whole characters on its own.
        if (QString::fromUtf8(chunk).toUtf8() != chunk)
            qFatal("encoded word splits a character");
        utf8 += chunk;
    }
    return QString::fromUtf8(utf8);
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

    void encodesHeaderText()
    {
        QCOMPARE(pv::encodeHeaderText("Delivered: report.pdf"),
                 QByteArray("Delivered: report.pdf"));
        // Line breaks never reach the header as line breaks.
        QCOMPARE(pv::encodeHeaderText("one\r\nBcc: x@example.com"),
                 QByteArray("one Bcc: x@example.com"));

        const QString text = "Geliefert: Übersicht – 東京 " + QString(60, u'é') + " 😀 end";
        const QByteArray encoded = pv::encodeHeaderText(text);
        QVERIFY(encoded.contains("\r\n "));
        for (char c : encoded)
            QVERIFY(uchar(c) < 0x80);
        QCOMPARE(decodeWords(QByteArray(encoded).replace("\r\n", "\n")), text);

        // Text that merely looks like an encoded word is encoded, so it reads back literally.
        QCOMPARE(decodeWords(pv::encodeHeaderText("=?UTF-8?B?QUJD?=")), "=?UTF-8?B?QUJD?=");
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
