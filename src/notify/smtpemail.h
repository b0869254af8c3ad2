#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

namespace pv {

/// One parsed Internet address: an optional display name and the bare address.
struct MailAddress {
    QString name;
    QString address;
};

/// Parses "user@host" or "Display Name <user@host>". Returns nothing for a text that is not a
/// properly formatted address (which includes any text carrying a line break, so a recipient
/// can never smuggle in a header). Thread-safe.
[[nodiscard]] std::optional<MailAddress> parseMailAddress(const QString &text);

/// "Name: text" as an unstructured header field folded into lines of at most 76 characters:
/// plain when the text is printable ASCII that folds between its words, else RFC 2047 encoded
/// words (also for text that looks like an encoded word itself). Line breaks become spaces.
[[nodiscard]] QByteArray textHeader(const char *name, const QString &text);

/// "Name: a, b" folded between words into lines of at most 76 characters; display names
/// encoded as needed, international domains in their ACE form.
[[nodiscard]] QByteArray addressHeader(const char *name, const QList<MailAddress> &list);

/// The Content-Type and Content-Disposition lines of an attachment part, folded: a file name
/// that is not short printable ASCII goes out as RFC 2231 continuations, with RFC 2047 words
/// in the Content-Type name for readers that know only those.
[[nodiscard]] QList<QByteArray> attachmentHeaders(const QString &fileName);

/// The name this client gives in EHLO: `hostName` when it is fully qualified, else the address
/// literal of `localAddress` (numeric IPv4 or IPv6 text, the local end of the connection),
/// which servers that insist on a fully qualified name accept in its place.
[[nodiscard]] QString ehloName(const QString &hostName, const QString &localAddress);

/// The size of an encoded message as shown while it is sent: "%i KB" below 1 MiB (at least 1),
/// "%1.2f MB" below 1 GiB, "%1.2f GB" above.
[[nodiscard]] QString messageSizeText(qint64 bytes);

/// The status shown while the message data is written.
[[nodiscard]] QString sendingStatusText(int attachmentCount, qint64 messageBytes);

/// What one send came to. Every send ends in exactly one outcome; `logLines` are the texts for
/// the pipeline's error log in order (the per-recipient address complaints come first), and
/// every outcome ends the entry: the controller logs the lines, then runs the completion step.
/// Only `Sent` is a sent message; the controller decides from that whether the entry stays
/// delivered (e-mail after a transfer) or not (attach-only destination).
struct SMTPOutcome {
    enum class Result {
        Sent,                 ///< accepted by the server
        InvalidSender,        ///< the From text is not an address; no connection made
        NoValidRecipients,    ///< no recipient row parsed; no connection made
        AttachmentUnreadable, ///< an attachment is not a readable file; no connection made
        UnsupportedMechanism, ///< the server offers none of PLAIN, LOGIN, CRAM-MD5
        AuthenticationFailed, ///< the server refused the login
        MessageNotSent,       ///< the server refused the sender, a recipient or the data
        TimedOut,             ///< connecting or an answer took too long
        Cancelled,            ///< cancelEmail() during the send
        ConnectionFailed,     ///< refused, unreachable, TLS failure, connection lost
    };
    Result result = Result::Sent;
    QStringList logLines;
    /// Whether the last of logLines says why the message was not sent (the
    /// lines before it are complaints about single addresses).
    bool endsWithFailure = false;
    /// Status text to show at the end ("" when the table of outcomes shows none).
    QString status;
    /// The mechanism used ("none" without authentication); empty when none was chosen.
    QString mechanism;

    [[nodiscard]] bool sent() const { return result == Result::Sent; }
};

/// Connection parameters and the composed message of one send.
struct SMTPMessage {
    QString server;
    int port = 25;
    QString user;
    QString password; ///< already decrypted; never logged
    /// Requested mechanism ("PLAIN", "LOGIN", "CRAM-MD5", ...) or "none" for no login.
    QString mechanism = QStringLiteral("none");
    int security = 0; ///< 0 none, 1 TLS from the start, 2 STARTTLS
    QString from;
    /// Recipient rows: {"to": "To:"|"Cc:"|"Bcc:", "email": address}.
    QVariantList recipients;
    QString subject;
    QString body;
    QStringList attachments; ///< file paths, attached in this order
    /// Limit for connecting and for each answer of the server, in seconds.
    int timeoutSeconds = 60;
};

/// The message text without attachments: a single text/plain UTF-8 part of CRLF lines (base64,
/// so any line length and any character survive every server). `headers` are the ready header
/// lines.
[[nodiscard]] QByteArray singlePartMessage(const QList<QByteArray> &headers, const QString &body);

/// Sends one notification e-mail through libcurl's SMTP client on a worker thread and reports
/// back on the thread the object lives in. One message at a time; create it on the main thread.
class SMTPEmail final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SMTPEmail)
public:
    explicit SMTPEmail(QObject *parent = nullptr);
    /// Cancels a send in progress and waits for its thread; no signal follows.
    ~SMTPEmail() override;

    /// Stores the connection parameters of the next message. Password is kept in memory only.
    void setServer(const QString &host, int port, const QString &user, const QString &password,
                   const QString &mechanism, int ssl);
    /// Connect and answer time-out in seconds (60 unless set).
    void setTimeout(int seconds) { m_message.timeoutSeconds = seconds; }

    /// Builds the message and starts the send; returns at once. Exactly one finished() follows
    /// (also for the checks made before connecting). Returns false, and reports nothing, when
    /// a send is still running. `recipients` are recipient rows; `attachments` file paths.
    bool sendMessage(const QString &from, const QVariantList &recipients, const QString &subject,
                     const QString &body, const QStringList &attachments);
    /// Same with everything in one record.
    bool send(const SMTPMessage &message);

    /// Cancels the send in progress; it ends with the Cancelled outcome. Harmless when idle.
    void cancelEmail();
    [[nodiscard]] bool isSending() const { return m_sending; }

Q_SIGNALS:
    /// A status line for the processing window ("" clears it).
    void statusChanged(const QString &text);
    /// Bytes of the message written so far and the message size (at most a few per second).
    void progressChanged(qint64 done, qint64 total);
    /// The one outcome of a send.
    void finished(const pv::SMTPOutcome &outcome);

private:
    struct Job;
    void finish(const SMTPOutcome &outcome);

    SMTPMessage m_message;
    bool m_sending = false;
    std::shared_ptr<std::atomic_bool> m_cancel;
    std::thread m_thread;
};

} // namespace pv

Q_DECLARE_METATYPE(pv::SMTPOutcome)
