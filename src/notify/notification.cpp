#include "notify/notification.h"
#include "prefs/prefs.h"

#include "core/sizetext.h"

#include "core/log.h"
#include "core/record.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "notify/emailsettings.h"
#include "notify/notifykeys.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

namespace pv {

namespace {

const QString kSendingWithAttachment = QStringLiteral("Sending e-mail with attachment...");
const QString kSending = QStringLiteral("Sending e-mail...");

/// Ghostscript gets a generous time for large files, but a hung run must not
/// hold the queue forever.
constexpr int kGhostscriptTimeoutMs = 10 * 60 * 1000;

QString joined(const QStringList &list)
{
    return list.join(QStringLiteral(", "));
}

QVariantList rowsOf(const QVariant &v)
{
    QVariantList rows;
    for (const QVariant &row : v.toList()) {
        if (row.typeId() == QMetaType::QVariantMap)
            rows.append(row);
    }
    return rows;
}

} // namespace

NotificationOptions NotificationOptions::fromSettings()
{
    NotificationOptions o;
    o.disableFileAttachedNote = settings::boolValue(nsk::disableFileAttachedNote, false);
    o.footer = settings::contains(keys::disableTallowinFooter) &&
               !settings::boolValue(keys::disableTallowinFooter, true);
    o.appVersion = QCoreApplication::applicationVersion();
    return o;
}

QStringList attachmentsFromFolder(const QString &folder)
{
    QStringList paths;
    // Files only (links to files included): a pipe or socket cannot be sent.
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Files, QDir::Name);
    for (const QFileInfo &fi : entries) {
        if (!fi.fileName().startsWith(QLatin1Char('.')))
            paths.append(fi.absoluteFilePath());
    }
    return paths;
}

quint64 sizeOfFiles(const QStringList &paths)
{
    quint64 total = 0;
    for (const QString &p : paths)
        total += quint64(qMax<qint64>(0, QFileInfo(p).size()));
    return total;
}

QVariantList cleanUpEmails(const QVariantList &rows)
{
    QVariantList clean;
    for (const QVariant &row : rows) {
        if (!recString(row.toMap(), rk::email).isEmpty())
            clean.append(row);
    }
    return clean;
}

namespace {

struct GhostscriptRun {
    QStringList arguments;
    QString target;
};

// Prepares the folder, removes an older copy and names Ghostscript's arguments.
GhostscriptRun ghostscriptRun(const QString &source, const QString &folder)
{
    QString name = QFileInfo(source).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot > 0)
        name.truncate(dot);
    QDir().mkpath(folder);
    GhostscriptRun run;
    run.target = QDir(folder).filePath(name + QStringLiteral("_lo-res.pdf"));
    QFile::remove(run.target);

    QString output = run.target;
    // Ghostscript reads "%d" in the output name as a page number.
    output.replace(QLatin1Char('%'), QStringLiteral("%%"));
    run.arguments = {QStringLiteral("-q"),
                     QStringLiteral("-dNOPAUSE"),
                     QStringLiteral("-dBATCH"),
                     QStringLiteral("-dSAFER"),
                     QStringLiteral("-sDEVICE=pdfwrite"),
                     QStringLiteral("-dPDFSETTINGS=/screen"),
                     QStringLiteral("-sColorConversionStrategy=RGB"),
                     QStringLiteral("-dProcessColorModel=/DeviceRGB"),
                     QStringLiteral("-sOutputFile=") + output,
                     QStringLiteral("-f"),
                     source};
    return run;
}

// The problem with a finished run, or "" when the copy is there.
QString ghostscriptProblem(const QProcess &gs, const QString &target)
{
    if (gs.exitStatus() != QProcess::NormalExit || gs.exitCode() != 0)
        return QStringLiteral("Ghostscript failed: %1")
            .arg(QString::fromLocal8Bit(const_cast<QProcess &>(gs).readAll()).trimmed());
    if (QFileInfo(target).size() <= 0)
        return QStringLiteral("Ghostscript wrote no file");
    return {};
}

QString ghostscriptOutcome(const QString &source, const QString &target, const QString &problem,
                           QString *error)
{
    if (problem.isEmpty())
        return target;
    QFile::remove(target);
    log(lcNotify(), QStringLiteral("--> createLoresPDF: %1: %2").arg(source, problem));
    if (error)
        *error = problem;
    return QString();
}

} // namespace

LoresPDFMaker::LoresPDFMaker(QObject *parent) : QObject(parent) {}

LoresPDFMaker::~LoresPDFMaker()
{
    if (m_gs) {
        m_gs->disconnect(this);
        m_gs->kill();
    }
}

void LoresPDFMaker::start(const QString &source, const QString &folder)
{
    const GhostscriptRun run = ghostscriptRun(source, folder);
    m_source = source;
    m_target = run.target;
    m_gs = new QProcess(this);
    m_gs->setProcessChannelMode(QProcess::MergedChannels);
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_gs->disconnect(this);
        m_gs->kill();
        done(QStringLiteral("Ghostscript took too long"));
    });
    connect(m_gs, &QProcess::finished, this, [this] { done(ghostscriptProblem(*m_gs, m_target)); });
    connect(m_gs, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            done(QStringLiteral("Ghostscript (gs) could not be started"));
    });
    m_timer->start(kGhostscriptTimeoutMs);
    m_gs->start(QStringLiteral("gs"), run.arguments);
}

void LoresPDFMaker::done(const QString &problem)
{
    m_timer->stop();
    m_gs->disconnect(this);
    QString error;
    const QString path = ghostscriptOutcome(m_source, m_target, problem, &error);
    Q_EMIT finished(path, error);
}

AttachmentResult emailAttachment(const ComposeInput &in,
                                 const std::function<void(const QString &)> &status)
{
    const QVariantMap &dest = in.delivery.destination;
    const bool packaged = in.createDmg || in.zip;
    const bool subfolder = in.isFolder && recBool(dest, ndk::QFAttachSubfolder);
    AttachmentResult result;

    QString main;
    if (recBool(dest, dk::attachBtn)) {
        if (packaged) {
            main = in.dmgFile;
        } else if (!in.isFolder) {
            main = in.sourcePath;
        } else if (recInt(dest, dk::sendFTPBtn) != 0) {
            // A folder's bytes cannot travel as one attachment; the folder
            // itself was delivered by the transfer.
            result.errors.append(QStringLiteral(
                "Attachments not sent: Plain folders cannot be attached to e-mail. Please select "
                "a compression method in the destination settings."));
        } else {
            result.kind = AttachmentResult::Kind::PlainFolder;
            return result;
        }
    } else if (!subfolder) {
        if (in.isFolder || !recBool(dest, ndk::QFCreateLoresPDF) ||
            QFileInfo(in.sourcePath).suffix() != QLatin1String("pdf"))
            return result;
        if (!in.loresPDF) {
            status(QStringLiteral("Creating lo-res PDF..."));
            result.kind = AttachmentResult::Kind::LoresPDFNeeded;
            return result;
        }
        main = *in.loresPDF;
    }

    QStringList extra;
    if (subfolder) {
        status(QStringLiteral("Attaching files from subfolder..."));
        const QString folder = QDir(in.sourcePath).filePath(recString(dest, ndk::QFSubfolderName));
        // A missing or empty subfolder drops only its own files: the main
        // attachment may be the only way the item reaches its recipients.
        if (!QFileInfo(folder).isDir()) {
            result.errors.append(
                QStringLiteral("No files were attached to e-mail: Subfolder %1 could not be found")
                    .arg(QFileInfo(folder).fileName()));
        } else {
            extra = attachmentsFromFolder(folder);
            if (extra.isEmpty())
                result.errors.append(
                    QStringLiteral("No files to attach were found in subfolder %1").arg(folder));
        }
    }
    if (main.isEmpty() && extra.isEmpty())
        return result;

    status(QStringLiteral("Checking attachment size..."));
    const qint64 limitMB = recInt(dest, ndk::attachSizeField);
    if (limitMB > 0) {
        quint64 size = packaged ? (main.isEmpty() ? 0 : sizeOfFiles({main})) : in.theSize;
        size += sizeOfFiles(extra);
        if (size > quint64(limitMB) * 1048576) {
            result.kind = AttachmentResult::Kind::TooLarge;
            result.sizeText = setSizeStr(size);
            return result;
        }
    }
    if (!main.isEmpty())
        result.files.append(main);
    result.files += extra;
    result.kind = AttachmentResult::Kind::Files;
    return result;
}

ComposeResult composeNotification(const ComposeInput &in)
{
    ComposeResult r;
    const QVariantMap &dest = in.delivery.destination;
    if (!recBool(dest, dk::sendEmailBtn))
        return r;

    auto status = [&r, &in](const QString &text) {
        r.statusTexts.append(text);
        if (in.onStatus)
            in.onStatus(text);
    };
    auto refuse = [&r](const QString &text, bool notDelivered = false) {
        r.outcome = ComposeResult::Outcome::NotSent;
        r.errors.append(text);
        r.notDelivered = notDelivered;
        return r;
    };
    const bool attach = recBool(dest, dk::attachBtn);
    r.showMailIcon = true;
    status(attach ? kSendingWithAttachment : kSending);

    const QString templateName = dest.contains(dk::QFEmailTemplate)
                                     ? recString(dest, dk::QFEmailTemplate)
                                     : recString(dest, ndk::templatePopup);
    const QVariantMap tpl = EmailSettings::templateNamed(in.templates, templateName);

    r.from = recString(tpl, tk::emailFromField);
    if (r.from.isEmpty())
        return refuse(QStringLiteral(
            "E-mail could not be sent: the From e-mail address not specified. Please specify the "
            "From e-mail in the in e-mail template setup."));
    r.itemKeys.insert(nqk::from, r.from);

    // The destination's rows, then those of the template (or of the default
    // template when the name is unknown); duplicates are kept.
    const QVariantList rows =
        rowsOf(dest.value(ndk::emails)) +
        rowsOf(EmailSettings::getEmailTemplate(in.templates, templateName).value(tk::emails));
    if (rows.isEmpty())
        return refuse(QStringLiteral("E-mail could not be sent: no email addresses specified."));
    QStringList to, cc, bcc;
    for (const QVariant &v : rows) {
        const QVariantMap row = v.toMap();
        const QString address = recString(row, rk::email);
        if (address.isEmpty())
            continue;
        const QString kind = recString(row, rk::to);
        if (kind == rk::kindTo)
            to.append(address);
        else if (kind == rk::kindCc)
            cc.append(address);
        else if (kind == rk::kindBcc)
            bcc.append(address);
    }
    r.itemKeys.insert(nqk::to, joined(to));
    r.itemKeys.insert(nqk::cc, joined(cc));
    r.itemKeys.insert(nqk::bcc, joined(bcc));

    r.subject =
        tpl.contains(tk::emailSubjectField)
            ? processTokensFromString(recString(tpl, tk::emailSubjectField), in.delivery, in.env)
            : QStringLiteral("Parcelvane Notification: %1").arg(in.delivery.finalName);
    r.itemKeys.insert(nqk::subject, r.subject);
    r.body = processTokensFromString(recString(tpl, tk::emailBodyField), in.delivery, in.env);

    const QString server = recString(tpl, tk::emailSMTPField);
    if (server.isEmpty())
        return refuse(QStringLiteral("E-mail could not be sent: SMTP server not specified. Please "
                                     "specify SMTP info in the e-mail template setup."));

    const AttachmentResult att = emailAttachment(in, status);
    r.errors += att.errors;
    const QString destName = recString(dest, dk::name);
    switch (att.kind) {
    case AttachmentResult::Kind::None:
        break;
    case AttachmentResult::Kind::LoresPDFNeeded:
        r.outcome = ComposeResult::Outcome::MakeLoresPDF;
        return r;
    case AttachmentResult::Kind::TooLarge:
        if (recInt(dest, dk::sendFTPBtn) == 1) {
            r.errors.append(
                QStringLiteral("Attachments not sent: The size %1 exceeds the allowed size for "
                               "destination %2.")
                    .arg(att.sizeText, destName));
            break;
        }
        return refuse(QStringLiteral("FILE NOT DELIVERED!\nAttachment is too large: The size of "
                                     "file %1 (%2) exceeds the allowed size for destination %3.")
                          .arg(in.delivery.finalName, att.sizeText, destName),
                      true);
    case AttachmentResult::Kind::PlainFolder:
        return refuse(QStringLiteral("JOB NOT DELIVERED!\nPlain folders cannot be attached to "
                                     "e-mail. Please select a compression method in the "
                                     "destination settings."),
                      true);
    case AttachmentResult::Kind::Files: {
        r.attachments = att.files;
        QVariantList paths;
        for (const QString &p : att.files)
            paths.append(p);
        r.itemKeys.insert(nqk::attachments, paths);
        if (attach) {
            if (!in.options.disableFileAttachedNote)
                r.body +=
                    recBool(dest, dk::sendFTPBtn)
                        ? QStringLiteral("\n\nNOTE: The file is also attached to this message")
                        : QStringLiteral("\n\nNOTE: The file is attached to this message");
        } else if (att.files.first().contains(QLatin1String("_lo-res"))) {
            status(QStringLiteral("Sending e-mail with lo-res PDF attached..."));
            r.body += QStringLiteral(
                "\n\nNote: A low resolution RGB version of the file is attached for your "
                "reference. This version is attached for preview purposes only.");
        } else if (att.files.size() == 1) {
            status(kSendingWithAttachment);
            r.body += QStringLiteral(
                "\n\nNote: A preview file is attached to this message for your reference.");
        } else {
            status(QStringLiteral("Sending e-mail with attachments..."));
            r.body += QStringLiteral(
                "\n\nNote: Preview files have been attached to this message for your reference.");
        }
        break;
    }
    }

    if (in.options.footer)
        r.body += QStringLiteral("\n\n\n==========\nSent with Parcelvane %1, automatic file "
                                 "delivery system by Tallowin\n%2")
                      .arg(in.options.appVersion, kMakerWebAddress);
    r.itemKeys.insert(nqk::body, r.body);
    status(attach ? kSendingWithAttachment : kSending);

    r.smtp.server = server;
    r.smtp.port = int(recInt(tpl, tk::emailPortField));
    if (recBool(tpl, tk::emailSMTPButton)) {
        r.smtp.user = recString(tpl, tk::emailUserField);
        r.smtp.password = EmailSettings::smtpPassword(tpl);
        r.smtp.mechanism = QStringLiteral("PLAIN");
    } else {
        r.smtp.mechanism = QStringLiteral("none");
    }
    r.smtp.security = int(recInt(tpl, tk::emailSSLBtn));
    r.recipients = cleanUpEmails(rows);
    r.outcome = ComposeResult::Outcome::Send;
    return r;
}

} // namespace pv
