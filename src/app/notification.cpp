// The notification stage: the e-mail of the entry's destination, composed
// from its template and sent through the template's SMTP server.

#include "notify/notification.h"
#include "app/appcontroller.h"
#include "app/entryrun.h"
#include "app/namesandsizes.h"
#include "app/queueitem.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/record.h"
#include "destinations/destination.h"
#include "notify/emailsettings.h"
#include "notify/links.h"
#include "notify/smtpemail.h"

#include <QFileInfo>

namespace pv {

DeliveryContext EntryRun::deliveryContext() const
{
    DeliveryContext ctx;
    ctx.destination = m_defaultBackup;
    ctx.finalName = m_finalName;
    ctx.finalLocalFolder = m_finalLocalFolder;
    ctx.dateFolderPath = m_dateFolderPath;
    ctx.ftpURLEsc = m_ftpURLEsc;
    ctx.ftpFlag = m_ftpFlag;
    ctx.attachOnly = m_attachOnly;
    return ctx;
}

void EntryRun::setDownloadURLInItemDict()
{
    if (hasEnded())
        return;
    const QVariantMap links = pv::setDownloadURLInItemDict(deliveryContext());
    for (auto it = links.cbegin(); it != links.cend(); ++it)
        m_itemDict.insert(it.key(), it.value());
}

void EntryRun::sendEmail()
{
    setStage(Stage::Notifying);
    // The item has gone out by now (or is about to be attached): a source
    // written to meanwhile was sent cut short or mixed and is no delivery.
    if (m_sourceState && *m_sourceState != sourceState(m_filesToBackup)) {
        failEntry(QStringLiteral(
            "FILE HAS NOT BEEN DELIVERED!\nThe file changed while it was being delivered."));
        return;
    }
    if (!recBool(m_defaultBackup, dk::sendEmailBtn)) {
        deleteDmgFile();
        return;
    }
    ComposeInput in;
    in.delivery = deliveryContext();
    in.sourcePath = m_filesToBackup;
    in.isFolder = QFileInfo(m_filesToBackup).isDir();
    in.createDmg = m_createDmg;
    in.zip = m_zip;
    in.dmgFile = m_dmgFile;
    in.theSize = m_theSize;
    in.templates = m_app.emailSettings().items();
    in.options = NotificationOptions::fromSettings();
    in.onStatus = [this](const QString &text) { ui().setStatus(text); };
    composeAndSend(in);
}

void EntryRun::composeAndSend(const ComposeInput &in)
{
    const ComposeResult r = composeNotification(in);
    if (r.outcome == ComposeResult::Outcome::MakeLoresPDF) {
        m_lores = std::make_unique<LoresPDFMaker>();
        connect(m_lores.get(), &LoresPDFMaker::finished, this,
                [this, in](const QString &path, const QString &) {
                    m_lores.release()->deleteLater();
                    ComposeInput next = in;
                    next.loresPDF = path;
                    composeAndSend(next);
                });
        m_lores->start(in.sourcePath, paths::scratchDir());
        return;
    }
    for (auto it = r.itemKeys.cbegin(); it != r.itemKeys.cend(); ++it)
        m_itemDict.insert(it.key(), it.value());

    switch (r.outcome) {
    case ComposeResult::Outcome::NoEmail:
        deleteDmgFile();
        return;
    case ComposeResult::Outcome::NotSent:
        // The last text says why no e-mail goes out. Unless composition
        // found the item itself undeliverable (its text then says so), that
        // is the e-mail's failure.
        for (qsizetype i = 0; i < r.errors.size(); ++i)
            logError(r.errors[i], i + 1 < r.errors.size() ? Effect::Note
                                  : r.notDelivered        ? Effect::Failure
                                                          : Effect::MailNotSent);
        deleteDmgFile();
        return;
    case ComposeResult::Outcome::Send:
    case ComposeResult::Outcome::MakeLoresPDF:
        break;
    }
    for (const QString &e : r.errors)
        logError(e);

    m_smtp = std::make_unique<SMTPEmail>();
    connect(m_smtp.get(), &SMTPEmail::statusChanged, this, [this](const QString &text) {
        if (!text.isEmpty())
            ui().setStatus(text);
    });
    connect(m_smtp.get(), &SMTPEmail::progressChanged, this, [this](qint64 done, qint64 total) {
        if (total > 0) {
            ui().setProgressIndeterminate(false);
            ui().setProgress(100.0 * double(done) / double(total));
        }
    });
    connect(m_smtp.get(), &SMTPEmail::finished, this,
            [this](const SMTPOutcome &outcome) { emailFinished(outcome); });
    m_smtp->setServer(r.smtp.server, r.smtp.port, r.smtp.user, r.smtp.password, r.smtp.mechanism,
                      r.smtp.security);
    ui().setMailIcon(true);
    if (!m_smtp->sendMessage(r.from, r.recipients, r.subject, r.body, r.attachments)) {
        ui().setMailIcon(false);
        logError(QStringLiteral("Email could not be sent: another e-mail is still being sent."),
                 Effect::MailNotSent);
        m_smtp.release()->deleteLater();
        deleteDmgFile();
    }
}

void EntryRun::emailFinished(const SMTPOutcome &outcome)
{
    if (hasEnded())
        return;
    ui().setMailIcon(false);
    for (qsizetype i = 0; i < outcome.logLines.size(); ++i)
        logError(outcome.logLines[i], outcome.endsWithFailure && i + 1 == outcome.logLines.size()
                                          ? Effect::MailNotSent
                                          : Effect::Note);
    if (!outcome.status.isEmpty())
        ui().setStatus(outcome.status);
    // An item that was only to be e-mailed and was not is not delivered.
    if (!outcome.sent() && m_attachOnly)
        worsen(Outcome::Missing);
    if (m_smtp)
        m_smtp.release()->deleteLater();
    deleteDmgFile();
}

} // namespace pv
