#include "notify/smtpemail.h"

#include "core/log.h"
#include "core/support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMetaObject>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTimeZone>
#include <QUrl>
#include <QUuid>

#include <curl/curl.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>

namespace pv {

namespace {

const QString kNone = QStringLiteral("none");
// The mechanisms this client can carry out, in the order it falls back to them.
const QStringList kKnownMechanisms = {QStringLiteral("PLAIN"), QStringLiteral("LOGIN"),
                                      QStringLiteral("CRAM-MD5")};

bool isAtext(QChar c)
{
    if (c.unicode() >= 0x80)
        return false;
    if (c.isLetterOrNumber())
        return true;
    return QStringLiteral("!#$%&'*+-/=?^_`{|}~").contains(c);
}

bool isValidLocalPart(const QString &local)
{
    if (local.isEmpty() || local.size() > 64 || local.startsWith(QLatin1Char('.')) ||
        local.endsWith(QLatin1Char('.')) || local.contains(QLatin1String("..")))
        return false;
    for (QChar c : local) {
        if (c != QLatin1Char('.') && !isAtext(c))
            return false;
    }
    return true;
}

bool isValidDomain(const QString &domain)
{
    if (domain.startsWith(QLatin1Char('[')) && domain.endsWith(QLatin1Char(']'))) {
        const QString literal = domain.mid(1, domain.size() - 2);
        static const QString allowed = QStringLiteral("0123456789abcdefABCDEF.:");
        if (literal.isEmpty())
            return false;
        for (QChar c : literal) {
            if (!allowed.contains(c) && !literal.startsWith(QLatin1String("IPv6:")))
                return false;
        }
        return true;
    }
    if (domain.isEmpty() || domain.size() > 253)
        return false;
    const QStringList labels = domain.split(QLatin1Char('.'));
    for (const QString &label : labels) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-')) ||
            label.endsWith(QLatin1Char('-')))
            return false;
        for (QChar c : label) {
            // Letters beyond ASCII are international domain names, sent in their ACE form.
            if (c != QLatin1Char('-') && !c.isLetterOrNumber())
                return false;
        }
    }
    return true;
}

bool isPrintableAscii(const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

// The address with an international domain in its ACE form: without SMTPUTF8 neither the
// envelope nor the headers may carry raw UTF-8, and the ACE form serves either way.
QByteArray aceAddress(const QString &address)
{
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    const QString domain = address.mid(at + 1);
    const QByteArray ace = isPrintableAscii(domain) ? domain.toLatin1() : QUrl::toAce(domain);
    return address.left(at).toLatin1() + "@" + ace;
}

// The address as the server sees it in MAIL FROM / RCPT TO.
QByteArray envelopeAddress(const QString &address)
{
    return "<" + aceAddress(address) + ">";
}

QByteArray quotedString(const QString &text)
{
    QByteArray out = "\"";
    for (QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += '\\';
        out += char(c.unicode());
    }
    return out + "\"";
}

// Lines holding encoded words may not exceed 76 characters (RFC 2047); the other header
// lines keep to the same limit.
constexpr qsizetype kMaxLine = 76;

QString flattened(const QString &text)
{
    QString flat = text;
    flat.replace(QLatin1String("\r\n"), QLatin1String(" "));
    flat.replace(QLatin1Char('\r'), QLatin1Char(' '));
    flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return flat;
}

// RFC 2047 "B" words of at most 64 characters, each holding whole UTF-8 characters, so that
// one fits on a line after any header name or parameter used here.
QList<QByteArray> encodedWords(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QList<QByteArray> words;
    qsizetype start = 0;
    while (start < utf8.size()) {
        qsizetype end = std::min<qsizetype>(start + 39, utf8.size());
        while (end < utf8.size() && end > start && (uchar(utf8[end]) & 0xC0) == 0x80)
            --end;
        words << "=?UTF-8?B?" + utf8.mid(start, end - start).toBase64() + "?=";
        start = end;
    }
    return words;
}

// "Name: " and the tokens separated by single spaces, folded before a token that would make
// the line too long. The first token stays beside the name, and no fold comes before an empty
// token, so no line is left holding only white space.
QByteArray foldHeader(const char *name, const QList<QByteArray> &tokens)
{
    QByteArray out = QByteArray(name) + ":";
    qsizetype lineLength = out.size();
    for (qsizetype i = 0; i < tokens.size(); ++i) {
        const QByteArray &token = tokens[i];
        if (i > 0 && !token.isEmpty() && lineLength + 1 + token.size() > kMaxLine) {
            out += "\r\n";
            lineLength = 0;
        }
        out += ' ' + token;
        lineLength += 1 + token.size();
    }
    if (tokens.isEmpty())
        out += ' ';
    return out;
}

// The display name and address of one mailbox as header tokens.
QList<QByteArray> mailboxTokens(const MailAddress &address)
{
    const QByteArray addr = aceAddress(address.address);
    if (address.name.isEmpty())
        return {addr};
    const QString name = flattened(address.name);
    QList<QByteArray> tokens;
    const QByteArray quoted = quotedString(name);
    if (isPrintableAscii(name) && !name.contains(QLatin1String("=?")) && quoted.size() <= 60)
        tokens << quoted;
    else
        tokens << encodedWords(name);
    tokens << "<" + addr + ">";
    return tokens;
}

QByteArray dateHeader(const QDateTime &now)
{
    const int offset = now.offsetFromUtc() / 60;
    const QString zone = QString::asprintf("%c%02d%02d", offset < 0 ? '-' : '+',
                                           std::abs(offset) / 60, std::abs(offset) % 60);
    return "Date: " +
           QLocale::c().toString(now, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss ")).toLatin1() +
           zone.toLatin1();
}

// Text parts travel as CRLF lines whatever line ends the template used (RFC 2045 6.7,
// RFC 2046 4.1.1); a reader's decoder restores its own.
QByteArray canonicalText(const QString &text)
{
    QString t = text;
    t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    t.replace(QLatin1String("\n"), QLatin1String("\r\n"));
    return t.toUtf8();
}

// A host name with a domain, and not one of the placeholders systems use when they know none.
bool isFullyQualified(const QString &hostName)
{
    const QStringList labels = QString::fromLatin1(QUrl::toAce(hostName)).split(QLatin1Char('.'));
    if (labels.size() < 2 ||
        labels.first().compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
        labels.last().compare(QLatin1String("localdomain"), Qt::CaseInsensitive) == 0 ||
        labels.last().isEmpty() || labels.last().front().isDigit())
        return false;
    for (const QString &label : labels) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-')) ||
            label.endsWith(QLatin1Char('-')))
            return false;
        for (QChar c : label) {
            if (c.unicode() >= 0x80 || !(c.isLetterOrNumber() || c == QLatin1Char('-')))
                return false;
        }
    }
    return true;
}

// The host's fully qualified name as the resolver knows it (the canonical name of its own
// host name), or the bare host name when it knows no better.
QString canonicalHostName()
{
    const QByteArray host = QSysInfo::machineHostName().toUtf8();
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    QString name = QString::fromUtf8(host);
    if (getaddrinfo(host.constData(), nullptr, &hints, &found) == 0) {
        if (found && found->ai_canonname)
            name = QString::fromUtf8(found->ai_canonname);
        freeaddrinfo(found);
    }
    return name;
}

// The local address of a connection to host and port, without making one: a datagram socket
// "connected" there sends nothing but is given the source address the kernel routes that way.
QString localAddressTowards(QString host, int port)
{
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    const QByteArray name = isPrintableAscii(host) ? host.toLatin1() : QUrl::toAce(host);
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(name.constData(), QByteArray::number(port).constData(), &hints, &found) != 0)
        return {};
    QString result;
    for (addrinfo *a = found; a && result.isEmpty(); a = a->ai_next) {
        const int fd = ::socket(a->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        const bool known = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 &&
                           ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) == 0;
        ::close(fd);
        char text[INET6_ADDRSTRLEN] = {};
        if (known && local.ss_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(&local)->sin_addr, text,
                      sizeof text);
        } else if (known && local.ss_family == AF_INET6) {
            const in6_addr &a6 = reinterpret_cast<sockaddr_in6 *>(&local)->sin6_addr;
            if (IN6_IS_ADDR_V4MAPPED(&a6))
                inet_ntop(AF_INET, &a6.s6_addr[12], text, sizeof text);
            else
                inet_ntop(AF_INET6, &a6, text, sizeof text);
        }
        result = QString::fromLatin1(text);
    }
    freeaddrinfo(found);
    return result;
}

QByteArray wrapBase64(const QByteArray &data)
{
    const QByteArray b64 = data.toBase64();
    QByteArray out;
    out.reserve(b64.size() + b64.size() / 76 * 2 + 2);
    for (qsizetype i = 0; i < b64.size(); i += 76)
        out += b64.mid(i, 76) + "\r\n";
    return out;
}

// Size of an attachment once base64 encoded in 76-character lines.
qint64 base64Size(qint64 bytes)
{
    const qint64 chars = (bytes + 2) / 3 * 4;
    return chars + (chars + 75) / 76 * 2;
}

QString unsupportedMechanismText(const QString &mechanism)
{
    return QStringLiteral("Email could not be sent: SMTP mechanism \"%1\" is not supported.\n"
                          "Please contact ")
               .arg(mechanism) +
           QLatin1String(kSupportAddress) + QStringLiteral(" for more info.");
}

// What the conversation with the server showed, gathered from libcurl's protocol trace.
struct Trace {
    QStringList mechanisms; // of the latest EHLO answer, in the server's order
    QStringList replyLines; // the answer being read
    QString lastReply;      // the latest complete answer
    int lastReplyCode = 0;
    bool answered = false;    // the greeting arrived
    bool transaction = false; // MAIL FROM was sent
    // libcurl says goodbye before it reports a failure; that answer must not hide the refusal.
    bool quitting = false;
    std::function<void()> onGreeting;
};

int traceCallback(CURL *, curl_infotype type, char *data, size_t size, void *userp)
{
    auto *trace = static_cast<Trace *>(userp);
    // Only the commands' names are looked at: AUTH lines carry the credentials.
    if (type == CURLINFO_HEADER_OUT) {
        const QByteArray line(data, qsizetype(std::min<size_t>(size, 16)));
        const QByteArray verb = line.trimmed().split(' ').value(0).toUpper();
        if (verb == "EHLO")
            trace->mechanisms.clear();
        else if (verb == "MAIL")
            trace->transaction = true;
        else if (verb == "QUIT")
            trace->quitting = true;
    } else if (type == CURLINFO_HEADER_IN && !trace->quitting) {
        const QString line = QString::fromUtf8(data, qsizetype(size)).trimmed();
        if (!trace->answered) {
            trace->answered = true;
            if (trace->onGreeting)
                trace->onGreeting();
        }
        trace->replyLines << line;
        if (line.size() >= 4 && line.startsWith(QLatin1String("250")) &&
            line.mid(4, 4).compare(QLatin1String("AUTH"), Qt::CaseInsensitive) == 0 &&
            (line.size() == 8 || line[8] == QLatin1Char(' ') || line[8] == QLatin1Char('='))) {
            const QStringList names =
                line.mid(9).split(QRegularExpression(QStringLiteral("[ =]")), Qt::SkipEmptyParts);
            for (const QString &n : names) {
                if (!trace->mechanisms.contains(n.toUpper()))
                    trace->mechanisms << n.toUpper();
            }
        }
        // The last line of an answer has a space (or nothing) after the code.
        if (line.size() < 4 || line[3] != QLatin1Char('-')) {
            trace->lastReply = trace->replyLines.join(QLatin1Char('\n'));
            trace->lastReplyCode = line.left(3).toInt();
            trace->replyLines.clear();
        }
    }
    return 0;
}

struct Progress {
    std::atomic_bool *cancel = nullptr;
    std::function<void(qint64, qint64)> report;
    qint64 estimatedTotal = 0;
    QElapsedTimer sinceReport;
    qint64 lastReported = -1;
};

int progressCallback(void *userp, curl_off_t, curl_off_t, curl_off_t ultotal, curl_off_t ulnow)
{
    auto *p = static_cast<Progress *>(userp);
    if (p->cancel->load())
        return 1;
    if (!p->report || ulnow <= 0 || ulnow == p->lastReported)
        return 0;
    const qint64 total = ultotal > 0 ? qint64(ultotal) : p->estimatedTotal;
    const bool last = ulnow >= total;
    if (p->lastReported < 0 || last || p->sinceReport.elapsed() >= 250) {
        p->lastReported = ulnow;
        p->sinceReport.restart();
        p->report(qMin<qint64>(ulnow, total), total);
    }
    return 0;
}

struct PlainSource {
    QByteArray data;
    qsizetype offset = 0;
};

size_t readPlain(char *buffer, size_t size, size_t n, void *userp)
{
    auto *src = static_cast<PlainSource *>(userp);
    const qsizetype chunk =
        std::min<qsizetype>(src->data.size() - src->offset, qsizetype(size * n));
    memcpy(buffer, src->data.constData() + src->offset, size_t(chunk));
    src->offset += chunk;
    return size_t(chunk);
}

struct CurlDeleter {
    void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
struct MimeDeleter {
    void operator()(curl_mime *m) const { curl_mime_free(m); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;
using MimePtr = std::unique_ptr<curl_mime, MimeDeleter>;

void appendList(SlistPtr &list, const QByteArray &line)
{
    curl_slist *grown = curl_slist_append(list.get(), line.constData());
    if (grown) {
        (void)list.release();
        list.reset(grown);
    }
}

} // namespace

std::optional<MailAddress> parseMailAddress(const QString &text)
{
    const QString t = text.trimmed();
    for (QChar c : t) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c.unicode() == 0)
            return std::nullopt;
    }
    MailAddress result;
    QString address = t;
    if (t.endsWith(QLatin1Char('>'))) {
        const qsizetype open = t.lastIndexOf(QLatin1Char('<'));
        if (open < 0)
            return std::nullopt;
        address = t.mid(open + 1, t.size() - open - 2).trimmed();
        QString name = t.left(open).trimmed();
        if (name.size() >= 2 && name.startsWith(QLatin1Char('"')) &&
            name.endsWith(QLatin1Char('"'))) {
            name = name.mid(1, name.size() - 2);
            name.replace(QLatin1String("\\\""), QLatin1String("\""));
            name.replace(QLatin1String("\\\\"), QLatin1String("\\"));
        }
        result.name = name;
    }
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    if (at <= 0 || !isValidLocalPart(address.left(at)) || !isValidDomain(address.mid(at + 1)))
        return std::nullopt;
    result.address = address;
    return result;
}

QByteArray textHeader(const char *name, const QString &text)
{
    const QString flat = flattened(text);
    const QList<QByteArray> words = flat.toLatin1().split(' ');
    bool plain = isPrintableAscii(flat) && !flat.contains(QLatin1String("=?"));
    for (qsizetype i = 0; plain && i < words.size(); ++i) {
        const qsizetype room = i == 0 ? kMaxLine - qsizetype(strlen(name)) - 2 : kMaxLine - 1;
        plain = words[i].size() <= room;
    }
    return foldHeader(name, plain ? words : encodedWords(flat));
}

QByteArray addressHeader(const char *name, const QList<MailAddress> &list)
{
    QList<QByteArray> tokens;
    for (qsizetype i = 0; i < list.size(); ++i) {
        tokens << mailboxTokens(list[i]);
        if (i + 1 < list.size())
            tokens.last() += ',';
    }
    return foldHeader(name, tokens);
}

QList<QByteArray> attachmentHeaders(const QString &fileName)
{
    const QByteArray type = "application/octet-stream";
    const QByteArray simple = "attachment; filename=" + quotedString(fileName);
    if (isPrintableAscii(fileName) &&
        qsizetype(strlen("Content-Disposition: ")) + simple.size() <= kMaxLine)
        return {"Content-Type: " + type, "Content-Disposition: " + simple};

    // RFC 2231 continuations of at most 60 characters, each cut between characters, so every
    // one fits a line of its own.
    QList<QByteArray> segments{"UTF-8''"};
    for (qsizetype i = 0; i < fileName.size(); ++i) {
        const qsizetype n = fileName[i].isHighSurrogate() && i + 1 < fileName.size() ? 2 : 1;
        const QByteArray encoded = fileName.mid(i, n).toUtf8().toPercentEncoding();
        i += n - 1;
        if (segments.last().size() + encoded.size() > 60)
            segments << QByteArray();
        segments.last() += encoded;
    }
    QList<QByteArray> disposition{"attachment;"};
    for (qsizetype i = 0; i < segments.size(); ++i) {
        disposition << "filename*" + QByteArray::number(i) + "*=" + segments[i] +
                           (i + 1 < segments.size() ? ";" : "");
    }
    QList<QByteArray> contentType{type + ";"};
    contentType << encodedWords(flattened(fileName));
    contentType[1].prepend("name=\"");
    contentType.last() += '"';
    return {foldHeader("Content-Type", contentType),
            foldHeader("Content-Disposition", disposition)};
}

QString ehloName(const QString &hostName, const QString &localAddress)
{
    if (isFullyQualified(hostName))
        return QString::fromLatin1(QUrl::toAce(hostName));
    if (localAddress.contains(QLatin1Char(':')))
        return QStringLiteral("[IPv6:%1]").arg(localAddress);
    if (!localAddress.isEmpty())
        return QStringLiteral("[%1]").arg(localAddress);
    return hostName.isEmpty() ? QStringLiteral("localhost") : hostName;
}

QString messageSizeText(qint64 bytes)
{
    if (bytes < 1048576)
        return QStringLiteral("%1 KB").arg(std::max<qint64>(1, bytes / 1024));
    if (bytes < 1073741824)
        return QString::asprintf("%1.2f MB", double(bytes) / 1048576.0);
    return QString::asprintf("%1.2f GB", double(bytes) / 1073741824.0);
}

QString sendingStatusText(int attachmentCount, qint64 messageBytes)
{
    if (attachmentCount == 0)
        return QStringLiteral("Sending e-mail...");
    return QStringLiteral("Sending e-mail %1 - %2...")
        .arg(attachmentCount == 1 ? QStringLiteral("attachment") : QStringLiteral("attachments"),
             messageSizeText(messageBytes));
}

QByteArray singlePartMessage(const QList<QByteArray> &headers, const QString &body)
{
    QByteArray out;
    for (const QByteArray &h : headers)
        out += h + "\r\n";
    out += "MIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=utf-8\r\n"
           "Content-Transfer-Encoding: base64\r\n"
           "\r\n";
    out += wrapBase64(canonicalText(body));
    return out;
}

/// Everything the worker thread needs, prepared on the caller's thread.
struct SMTPEmail::Job {
    SMTPMessage message;
    QByteArray envelopeFrom;
    QList<QByteArray> envelopeTo;
    QList<QByteArray> headers;
    QStringList logLines; // address complaints, logged with the outcome
    qint64 attachmentBytes = 0;
};

namespace {

SMTPOutcome classify(CURLcode code, bool cancelled, const Trace &trace, const QString &error)
{
    SMTPOutcome o;
    o.endsWithFailure = code != CURLE_OK;
    if (code == CURLE_OK) {
        o.result = SMTPOutcome::Result::Sent;
    } else if (cancelled) {
        o.result = SMTPOutcome::Result::Cancelled;
        o.logLines << QStringLiteral("Email could not be sent. Operation cancelled!");
    } else if (code == CURLE_LOGIN_DENIED) {
        o.result = SMTPOutcome::Result::AuthenticationFailed;
        o.status = QStringLiteral("Authentication failed! Closing the connection...");
        o.logLines << QStringLiteral("Email could not be sent. Authentication failed! Closing the "
                                     "connection...\nPlease check if SMTP login info is entered "
                                     "correctly in the e-mail template.");
    } else if (code == CURLE_OPERATION_TIMEDOUT) {
        o.result = SMTPOutcome::Result::TimedOut;
        o.logLines << QStringLiteral("Email could not be sent. Connection timed out! Closing the "
                                     "connection...\nPlease check if SMTP server info is entered "
                                     "correctly in the e-mail template.");
    } else if (trace.transaction && trace.lastReplyCode >= 400) {
        o.result = SMTPOutcome::Result::MessageNotSent;
        o.status = QStringLiteral("Message not sent (SMTP error). Closing the connection...");
        o.logLines
            << QStringLiteral("Email could not be sent (SMTP error).\n%1").arg(trace.lastReply);
    } else {
        // A refused or lost connection or a failed TLS handshake must not pass as a sent
        // message: it is logged like the other failures.
        o.result = SMTPOutcome::Result::ConnectionFailed;
        QString why = error;
        if (trace.lastReplyCode >= 400)
            why += QStringLiteral(" (%1)").arg(trace.lastReply);
        o.logLines << QStringLiteral("Email could not be sent. The connection to the SMTP server "
                                     "failed: %1\nPlease check if SMTP server info is entered "
                                     "correctly in the e-mail template.")
                          .arg(why);
    }
    return o;
}

} // namespace

SMTPEmail::SMTPEmail(QObject *parent) : QObject(parent)
{
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        qRegisterMetaType<pv::SMTPOutcome>();
    });
}

SMTPEmail::~SMTPEmail()
{
    if (m_cancel)
        m_cancel->store(true);
    if (m_thread.joinable())
        m_thread.join();
}

void SMTPEmail::setServer(const QString &host, int port, const QString &user,
                          const QString &password, const QString &mechanism, int ssl)
{
    m_message.server = host;
    m_message.port = port;
    m_message.user = user;
    m_message.password = password;
    m_message.mechanism = mechanism;
    m_message.security = ssl;
}

bool SMTPEmail::sendMessage(const QString &from, const QVariantList &recipients,
                            const QString &subject, const QString &body,
                            const QStringList &attachments)
{
    SMTPMessage m = m_message;
    m.from = from;
    m.recipients = recipients;
    m.subject = subject;
    m.body = body;
    m.attachments = attachments;
    return send(m);
}

void SMTPEmail::cancelEmail()
{
    if (m_sending && m_cancel)
        m_cancel->store(true);
}

void SMTPEmail::finish(const SMTPOutcome &outcome)
{
    if (m_thread.joinable())
        m_thread.join();
    m_sending = false;
    if (!outcome.status.isEmpty())
        Q_EMIT statusChanged(outcome.status);
    Q_EMIT finished(outcome);
}

bool SMTPEmail::send(const SMTPMessage &message)
{
    if (m_sending)
        return false;
    if (m_thread.joinable())
        m_thread.join();
    m_sending = true;
    m_cancel = std::make_shared<std::atomic_bool>(false);

    auto job = std::make_shared<Job>();
    job->message = message;
    auto failEarly = [this](SMTPOutcome o) {
        QMetaObject::invokeMethod(
            this, [this, o] { finish(o); }, Qt::QueuedConnection);
        return true;
    };

    const auto sender = parseMailAddress(message.from);
    if (!sender) {
        SMTPOutcome o;
        o.result = SMTPOutcome::Result::InvalidSender;
        o.logLines << QStringLiteral("\"%1\" is not a properly formatted e-mail address")
                          .arg(message.from);
        return failEarly(o);
    }

    QList<MailAddress> to, cc;
    for (const QVariant &row : message.recipients) {
        const QVariantMap r = row.toMap();
        const QString email = r.value(QStringLiteral("email")).toString();
        const auto parsed = parseMailAddress(email);
        if (!parsed) {
            job->logLines
                << QStringLiteral("\"%1\" is not a properly formatted e-mail address").arg(email);
            continue;
        }
        const QString kind = r.value(QStringLiteral("to")).toString();
        // Bcc recipients get the message but appear in no header; a row of an unknown kind is
        // an ordinary recipient.
        if (kind == QLatin1String("Cc:"))
            cc << *parsed;
        else if (kind != QLatin1String("Bcc:"))
            to << *parsed;
        // A recipient listed by both the destination and the template gets one copy.
        const QByteArray envelope = envelopeAddress(parsed->address);
        const bool known =
            std::any_of(job->envelopeTo.cbegin(), job->envelopeTo.cend(), [&](const QByteArray &e) {
                return e.compare(envelope, Qt::CaseInsensitive) == 0;
            });
        if (!known)
            job->envelopeTo << envelope;
    }
    if (job->envelopeTo.isEmpty()) {
        SMTPOutcome o;
        o.result = SMTPOutcome::Result::NoValidRecipients;
        o.logLines = job->logLines;
        o.logLines << QStringLiteral(
            "Email could not be sent: no valid recipients have been found");
        o.endsWithFailure = true;
        return failEarly(o);
    }

    for (const QString &path : message.attachments) {
        const QFileInfo fi(path);
        QFile f(path);
        if (!fi.isFile() || !f.open(QIODevice::ReadOnly)) {
            SMTPOutcome o;
            o.result = SMTPOutcome::Result::AttachmentUnreadable;
            o.logLines = job->logLines;
            o.logLines << QStringLiteral("Email could not be sent: the attachment \"%1\" could "
                                         "not be read.")
                              .arg(path);
            o.endsWithFailure = true;
            return failEarly(o);
        }
        job->attachmentBytes += base64Size(fi.size()) + 256;
    }

    job->envelopeFrom = envelopeAddress(sender->address);
    job->headers << dateHeader(QDateTime::currentDateTime());
    job->headers << addressHeader("From", {*sender});
    if (!to.isEmpty())
        job->headers << addressHeader("To", to);
    if (!cc.isEmpty())
        job->headers << addressHeader("Cc", cc);
    job->headers << textHeader("Subject", message.subject);
    const QString domain = sender->address.mid(sender->address.lastIndexOf(QLatin1Char('@')) + 1);
    job->headers << "Message-ID: <" +
                        QUuid::createUuid().toString(QUuid::WithoutBraces).toLatin1() + "@" +
                        QUrl::toAce(domain) + ">";

    pv::log(lcNotify(),
            QStringLiteral("--> SMTPEmail: sending to %1:%2 (security %3, mechanism %4, %5 "
                           "recipients, %6 attachments)")
                .arg(message.server)
                .arg(message.port)
                .arg(message.security)
                .arg(message.mechanism)
                .arg(job->envelopeTo.size())
                .arg(message.attachments.size()));

    std::shared_ptr<std::atomic_bool> cancel = m_cancel;
    m_thread = std::thread([this, job, cancel] {
        const SMTPMessage &m = job->message;
        auto post = [this](auto fn) { QMetaObject::invokeMethod(this, fn, Qt::QueuedConnection); };
        auto status = [this, post](const QString &s) {
            post([this, s] { Q_EMIT statusChanged(s); });
        };

        QString host = m.server.trimmed();
        if (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('[')))
            host = QLatin1Char('[') + host + QLatin1Char(']');
        // The URL's path is the name this client gives in EHLO. Servers refuse a bare host
        // name there, so without a fully qualified one the local address stands in for it.
        const QString hostName = canonicalHostName();
        const QString helo = ehloName(
            hostName, isFullyQualified(hostName) ? QString() : localAddressTowards(host, m.port));
        const QByteArray url = (m.security == 1 ? "smtps://" : "smtp://") + host.toUtf8() + ":" +
                               QByteArray::number(m.port) + "/" + QUrl::toPercentEncoding(helo);

        char errorBuffer[CURL_ERROR_SIZE];
        auto makeHandle = [&](Trace &trace, Progress &progress) {
            CurlPtr h(curl_easy_init());
            if (!h)
                return h;
            errorBuffer[0] = 0;
            curl_easy_setopt(h.get(), CURLOPT_URL, url.constData());
            if (m.security == 2)
                curl_easy_setopt(h.get(), CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
            curl_easy_setopt(h.get(), CURLOPT_CONNECTTIMEOUT, long(m.timeoutSeconds));
            curl_easy_setopt(h.get(), CURLOPT_SERVER_RESPONSE_TIMEOUT, long(m.timeoutSeconds));
            // A server that stops taking data for this long counts as timed out.
            curl_easy_setopt(h.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt(h.get(), CURLOPT_LOW_SPEED_TIME, long(m.timeoutSeconds));
            curl_easy_setopt(h.get(), CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(h.get(), CURLOPT_ERRORBUFFER, errorBuffer);
            curl_easy_setopt(h.get(), CURLOPT_VERBOSE, 1L);
            curl_easy_setopt(h.get(), CURLOPT_DEBUGFUNCTION, traceCallback);
            curl_easy_setopt(h.get(), CURLOPT_DEBUGDATA, &trace);
            curl_easy_setopt(h.get(), CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(h.get(), CURLOPT_XFERINFOFUNCTION, progressCallback);
            curl_easy_setopt(h.get(), CURLOPT_XFERINFODATA, &progress);
            return h;
        };
        auto errorText = [&](CURLcode code) {
            return QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code));
        };
        auto done = [&](SMTPOutcome o) {
            o.logLines = job->logLines + o.logLines;
            post([this, o] { finish(o); });
        };

        status(QStringLiteral("Connecting to %1 server...").arg(m.server));
        bool greeted = false;
        auto onGreeting = [&] {
            if (!greeted) {
                greeted = true;
                status(QString());
            }
        };

        // The mechanism: the one asked for when the server offers it, else the first the
        // server lists that this client knows. Finding out takes a connection of its own that
        // goes as far as the server's EHLO answer (after STARTTLS when that is asked for).
        QString mechanism = kNone;
        if (m.mechanism.compare(kNone, Qt::CaseInsensitive) != 0) {
            Trace trace;
            trace.onGreeting = onGreeting;
            Progress progress;
            progress.cancel = cancel.get();
            CurlPtr h = makeHandle(trace, progress);
            if (!h)
                return done(classify(CURLE_OUT_OF_MEMORY, false, trace, QString()));
            curl_easy_setopt(h.get(), CURLOPT_CONNECT_ONLY, 1L);
            const CURLcode code = curl_easy_perform(h.get());
            if (code != CURLE_OK)
                return done(classify(code, cancel->load(), trace, errorText(code)));
            const QString requested = m.mechanism.toUpper();
            if (trace.mechanisms.contains(requested)) {
                mechanism = requested;
            } else {
                mechanism.clear();
                for (const QString &offered : trace.mechanisms) {
                    if (kKnownMechanisms.contains(offered)) {
                        mechanism = offered;
                        break;
                    }
                }
                if (mechanism.isEmpty()) {
                    SMTPOutcome o;
                    o.result = SMTPOutcome::Result::UnsupportedMechanism;
                    o.logLines << unsupportedMechanismText(m.mechanism);
                    o.endsWithFailure = true;
                    return done(o);
                }
            }
        }

        Trace trace;
        trace.onGreeting = onGreeting;
        Progress progress;
        progress.cancel = cancel.get();
        const int attachCount = int(m.attachments.size());
        progress.report = [this, post, attachCount](qint64 now, qint64 total) {
            const QString text = sendingStatusText(attachCount, total);
            post([this, now, total, text] {
                Q_EMIT statusChanged(text);
                Q_EMIT progressChanged(now, total);
            });
        };
        CurlPtr h = makeHandle(trace, progress);
        if (!h)
            return done(classify(CURLE_OUT_OF_MEMORY, false, trace, QString()));

        if (mechanism != kNone) {
            curl_easy_setopt(h.get(), CURLOPT_USERNAME, m.user.toUtf8().constData());
            curl_easy_setopt(h.get(), CURLOPT_PASSWORD, m.password.toUtf8().constData());
            const QByteArray options = "AUTH=" + mechanism.toLatin1();
            curl_easy_setopt(h.get(), CURLOPT_LOGIN_OPTIONS, options.constData());
        }
        curl_easy_setopt(h.get(), CURLOPT_MAIL_FROM, job->envelopeFrom.constData());
        SlistPtr rcpt;
        for (const QByteArray &r : job->envelopeTo)
            appendList(rcpt, r);
        curl_easy_setopt(h.get(), CURLOPT_MAIL_RCPT, rcpt.get());

        PlainSource plainSource;
        SlistPtr headers;
        MimePtr mime;
        if (m.attachments.isEmpty()) {
            plainSource.data = singlePartMessage(job->headers, m.body);
            const QByteArray &plain = plainSource.data;
            progress.estimatedTotal = plain.size();
            curl_easy_setopt(h.get(), CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(h.get(), CURLOPT_INFILESIZE_LARGE, curl_off_t(plain.size()));
            curl_easy_setopt(h.get(), CURLOPT_READFUNCTION, readPlain);
            curl_easy_setopt(h.get(), CURLOPT_READDATA, &plainSource);
        } else {
            for (const QByteArray &line : job->headers)
                appendList(headers, line);
            curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
            mime.reset(curl_mime_init(h.get()));
            curl_mimepart *text = curl_mime_addpart(mime.get());
            const QByteArray body = canonicalText(m.body);
            curl_mime_data(text, body.constData(), size_t(body.size()));
            curl_mime_type(text, "text/plain; charset=UTF-8; format=fixed");
            curl_mime_encoder(text, "quoted-printable");
            for (const QString &path : m.attachments) {
                curl_mimepart *part = curl_mime_addpart(mime.get());
                curl_mime_filedata(part, QFile::encodeName(path).constData());
                // The name goes out in headers of our own: libcurl would write it unfolded.
                curl_mime_filename(part, nullptr);
                curl_mime_encoder(part, "base64");
                SlistPtr partHeaders;
                for (const QByteArray &line : attachmentHeaders(QFileInfo(path).fileName()))
                    appendList(partHeaders, line);
                curl_mime_headers(part, partHeaders.release(), 1);
            }
            progress.estimatedTotal = body.size() * 3 / 2 + job->attachmentBytes + 2048;
            curl_easy_setopt(h.get(), CURLOPT_MIMEPOST, mime.get());
        }

        const CURLcode code = curl_easy_perform(h.get());
        // Classified before the handle goes: its cleanup sends QUIT, whose answer would
        // replace the server's refusal.
        SMTPOutcome o = classify(code, cancel->load(), trace, errorText(code));
        o.mechanism = mechanism;
        curl_off_t uploaded = 0;
        if (code == CURLE_OK &&
            curl_easy_getinfo(h.get(), CURLINFO_SIZE_UPLOAD_T, &uploaded) == CURLE_OK &&
            uploaded > 0) {
            // The size was an estimate: the bar ends full at what was really written.
            progress.report(qint64(uploaded), qint64(uploaded));
        }
        h.reset();
        done(o);
    });
    return true;
}

} // namespace pv
