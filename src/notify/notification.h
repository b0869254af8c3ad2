#pragma once

#include "notify/links.h"
#include "notify/smtpemail.h"
#include "notify/tokens.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <optional>

class QProcess;
class QTimer;

namespace pv {

/// The user settings composition reads, and the version the footer names.
struct NotificationOptions {
    bool disableFileAttachedNote = false;
    /// The footer is added only when `disableTallowinFooter` is set and false.
    bool footer = false;
    QString appVersion;

    /// Reads both settings and the application's version.
    [[nodiscard]] static NotificationOptions fromSettings();
};

/// Everything composition reads: the delivery (with its destination record),
/// the item, the template list and the settings.
struct ComposeInput {
    DeliveryContext delivery;
    /// The source item (first entry of `filesToBackup`).
    QString sourcePath;
    bool isFolder = false;
    bool createDmg = false;
    bool zip = false;
    /// The package made of the item (zip archive or disk image).
    QString dmgFile;
    /// The measured item size in bytes.
    quint64 theSize = 0;
    /// The template list (EmailSettings::items()).
    QVariantList templates;
    NotificationOptions options;
    /// Clock, user and host for the tokens; read when the input is made.
    TokenEnvironment env = TokenEnvironment::current();
    /// The reduced PDF copy made beforehand ("" when it could not be made);
    /// unset when a copy is wanted, composition stops with MakeLoresPDF.
    std::optional<QString> loresPDF;
    /// Called with each status text when it is due (they are also listed in
    /// the result); may be empty.
    std::function<void(const QString &)> onStatus;
};

/// What composition decided.
struct ComposeResult {
    enum class Outcome {
        /// The destination sends no e-mail: complete the entry at once.
        NoEmail,
        /// The e-mail is not sent: log `errors`, mark the entry not delivered
        /// when `notDelivered`, complete it and stop the progress display.
        NotSent,
        /// Log `errors` (if any) and hand the message to the SMTP sender.
        Send,
        /// Make the reduced copy of `sourcePath` with LoresPDFMaker (Ghostscript
        /// may take minutes), then compose again with `loresPDF` set.
        MakeLoresPDF,
    };
    Outcome outcome = Outcome::NoEmail;
    /// Texts for the pipeline's error log, in order.
    QStringList errors;
    /// The entry counts as not delivered (set after logging the errors).
    bool notDelivered = false;
    /// Whether the mail icon is shown, and the status texts in order.
    bool showMailIcon = false;
    QStringList statusTexts;
    /// Keys for the queue entry's record: `from`, `to`, `cc`, `bcc`,
    /// `subject`, `body`, `attachments`, as far as composition got.
    QVariantMap itemKeys;

    // The message (outcome Send).
    QString from;
    /// Recipient rows with empty addresses removed.
    QVariantList recipients;
    QString subject;
    QString body;
    QStringList attachments;
    /// The connection part (server, port, login, security); the password is in clear.
    SMTPMessage smtp;
};

/// Decides whether and what the destination's notification sends for the
/// delivered item: sender, recipients, subject and body with their tokens
/// filled, attachments (making the reduced PDF copy when asked), notes,
/// footer and SMTP parameters. Unless the reduced PDF copy is given or
/// deferred, blocks while Ghostscript makes it (the only file it writes), so
/// the main thread defers it; otherwise quick. Owns nothing; any thread, as
/// long as onStatus may be called there.
[[nodiscard]] ComposeResult composeNotification(const ComposeInput &in);

/// What emailAttachment found.
struct AttachmentResult {
    enum class Kind {
        None,
        /// A plain folder of an attach-only destination.
        PlainFolder,
        /// Over the destination's limit; sizeText says how large.
        TooLarge,
        Files,
        /// The reduced PDF copy is to be made first.
        LoresPDFNeeded,
    };
    Kind kind = Kind::None;
    QStringList files;
    QString sizeText;
    /// Texts for the error log (missing or empty subfolder, ...).
    QStringList errors;
};

/// The attachments of the item: the main attachment (package, file, or
/// reduced PDF copy) followed by the files of the destination's subfolder,
/// checked against `attachSizeField`. status receives the texts to show.
[[nodiscard]] AttachmentResult emailAttachment(const ComposeInput &in,
                                               const std::function<void(const QString &)> &status);
/// Full paths of the folder's direct entries that are files and whose names
/// do not begin with "."; sorted by name, not recursive.
[[nodiscard]] QStringList attachmentsFromFolder(const QString &folder);
/// Sum of the sizes of the files in bytes.
[[nodiscard]] quint64 sizeOfFiles(const QStringList &paths);
/// The recipient rows whose `email` is not empty, order kept.
[[nodiscard]] QVariantList cleanUpEmails(const QVariantList &rows);
/// The reduced (screen resolution, RGB) copy of a PDF, made by Ghostscript in
/// a folder as "<name without extension>_lo-res.pdf", replacing an older one.
/// Ghostscript runs as a child process (ten minutes at most) and finished()
/// reports the copy's path ("" when none could be made, with the reason). Main thread; destroying
/// it kills a running Ghostscript.
class LoresPDFMaker final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LoresPDFMaker)

public:
    explicit LoresPDFMaker(QObject *parent = nullptr);
    ~LoresPDFMaker() override;
    /// Starts making the copy of source in folder; once per object.
    void start(const QString &source, const QString &folder);

Q_SIGNALS:
    void finished(const QString &path, const QString &error);

private:
    void done(const QString &problem);

    QProcess *m_gs = nullptr;
    QTimer *m_timer = nullptr;
    QString m_source;
    QString m_target;
};

} // namespace pv
