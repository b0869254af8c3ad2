#include "common/fixtures.h"
#include "common/notifyfixtures.h"
#include "common/testenv.h"
#include "core/record.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "notify/notification.h"
#include "notify/notifykeys.h"

#include <QFile>

#include <memory>

using namespace pv;
using Outcome = ComposeResult::Outcome;

namespace {

QVariantMap row(const QString &kind, const QString &address)
{
    return {{rk::to, kind}, {rk::email, address}};
}

/// The template "Mail" of a server at 127.0.0.1:2525, over STARTTLS, with a Bcc row.
QVariantMap mailTemplate()
{
    QVariantMap tpl = pvtest::mailTemplate(
        {{"SMTP_HOST", "127.0.0.1"}, {"SMTP_PORT_PLAIN", "2525"}, {"SMTP_USER", "mailer"}},
        "smtp-pw");
    tpl.insert(tk::emailSSLBtn, 2);
    tpl.insert(tk::emails, QVariantList{row(rk::kindBcc, "archive@example.org")});
    return tpl;
}

} // namespace

class TestNotification : public QObject {
    Q_OBJECT

    std::unique_ptr<pvtest::IsolatedHome> m_home;
    QString m_dir;

    /// An FTP delivery of a 2 MB file with a two-row recipient list.
    ComposeInput input()
    {
        ComposeInput in;
        in.delivery = pvtest::ftpDelivery("ftp://u:p@h:21/in");
        in.delivery.destination.insert(
            {{dk::sendEmailBtn, 1},
             {dk::sendFTPBtn, 1},
             {dk::QFEmailTemplate, "Mail"},
             {ndk::emails,
              QVariantList{row(rk::kindTo, "jo@example.org"), row(rk::kindCc, QString()),
                           row("Reply:", "x@y.z"), row(rk::kindCc, "boss@example.org"),
                           row(rk::kindTo, "al@example.org")}}});
        in.delivery.finalName = "job.pdf";
        in.sourcePath = m_dir + "/job.pdf";
        in.theSize = 2 * 1048576;
        // The default template is not the one named.
        in.templates = {
            QVariantMap{{tk::name, kDefaultTemplateName},
                        {tk::emailFromField, "default@example.org"},
                        {tk::emailSMTPField, "smtp.example.org"},
                        {tk::emails, QVariantList{row(rk::kindTo, "fallback@example.org")}}},
            mailTemplate()};
        return in;
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<pvtest::IsolatedHome>();
        m_dir = m_home->path() + "/work";
        QVERIFY(QDir().mkpath(m_dir));
        QVERIFY(pvtest::putBytes(m_dir + "/job.pdf", QByteArray(2 * 1048576, 'j')));
    }

    void refusals()
    {
        ComposeInput in = input();
        in.delivery.destination.insert(dk::sendEmailBtn, 0);
        const ComposeResult r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::NoEmail);
        QVERIFY(r.errors.isEmpty() && r.itemKeys.isEmpty() && !r.showMailIcon);

        const auto refusal = [this](const QString &name, const QVariantMap &tpl, bool rows) {
            ComposeInput in = input();
            in.delivery.destination.insert(dk::QFEmailTemplate, name);
            if (!rows)
                in.delivery.destination.remove(ndk::emails);
            in.templates = {tpl};
            const ComposeResult r = composeNotification(in);
            return r.outcome == Outcome::NotSent && !r.notDelivered ? r.errors.join('\n') : "sent";
        };
        QVariantMap noRows = mailTemplate(), noServer = mailTemplate();
        noRows.remove(tk::emails);
        noServer.insert(tk::emailSMTPField, QString());
        // No template of that name: no From address.
        QCOMPARE(refusal("Gone", mailTemplate(), true),
                 "E-mail could not be sent: the From e-mail address not specified. Please specify "
                 "the From e-mail in the in e-mail template setup.");
        QCOMPARE(refusal("Mail", noRows, false),
                 "E-mail could not be sent: no email addresses specified.");
        QVERIFY(refusal("Mail", noServer, true)
                    .startsWith("E-mail could not be sent: SMTP server not specified."));
    }

    void plainMessage()
    {
        ComposeInput in = input();
        QStringList seen;
        in.onStatus = [&seen](const QString &s) { seen.append(s); };
        const ComposeResult r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QVERIFY(r.errors.isEmpty() && r.attachments.isEmpty() && r.showMailIcon);
        QCOMPARE(seen, r.statusTexts);
        QCOMPARE(r.subject, "Delivered job.pdf");
        QCOMPARE(r.body, "Link: ftp://u:p@h:21/in/job.pdf\nTo: Printer");
        // The destination's rows, then the template's; empty addresses out.
        QCOMPARE(r.recipients.size(), 5);
        QCOMPARE(r.recipients.last().toMap(), row(rk::kindBcc, "archive@example.org"));
        const QVariantMap expected{{nqk::from, "Parcelvane <pv@example.com>"},
                                   {nqk::to, "jo@example.org, al@example.org"},
                                   {nqk::cc, "boss@example.org"},
                                   {nqk::bcc, "archive@example.org"},
                                   {nqk::subject, r.subject},
                                   {nqk::body, r.body}};
        QCOMPARE(r.itemKeys, expected);
        QCOMPARE(r.smtp.port, 2525);
        QCOMPARE(r.smtp.password, "smtp-pw");
        QCOMPARE(r.smtp.mechanism, "PLAIN");
        QCOMPARE(r.smtp.security, 2);
    }

    // The older template key, a template without subject or login, and the footer.
    void olderTemplateKeyMissingSubjectAndFooter()
    {
        ComposeInput in = input();
        in.delivery.destination.remove(dk::QFEmailTemplate);
        in.delivery.destination.insert(ndk::templatePopup, "Mail");
        QVariantMap tpl = mailTemplate();
        tpl.remove(tk::emailSubjectField);
        tpl.insert(tk::emailSMTPButton, "0");
        in.templates = {tpl};
        QCOMPARE(NotificationOptions::fromSettings().footer, false);
        settings::setValue(keys::disableTallowinFooter, false);
        in.options = NotificationOptions::fromSettings();
        in.options.appVersion = "1.4";
        const ComposeResult r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QCOMPARE(r.subject, "Parcelvane Notification: job.pdf");
        QCOMPARE(r.smtp.mechanism, "none");
        QVERIFY(r.smtp.user.isEmpty() && r.smtp.password.isEmpty());
        QVERIFY(r.body.endsWith("\n\n\n==========\nSent with Parcelvane 1.4, automatic file "
                                "delivery system by Tallowin\n" +
                                kMakerWebAddress));
    }

    // No limit never refuses, and the attachment is among the item's keys. (Limits, and a
    // package counted with its own size, the pipeline's test follows to the records.)
    void noSizeLimit()
    {
        ComposeInput in = input();
        in.delivery.destination.insert(dk::attachBtn, 1);
        for (const QVariant &none : {QVariant(QString()), QVariant(0)}) {
            in.delivery.destination.insert(ndk::attachSizeField, none);
            const ComposeResult r = composeNotification(in);
            QCOMPARE(r.attachments, QStringList{in.sourcePath});
            QCOMPARE(r.itemKeys.value(nqk::attachments), QVariant(QVariantList{in.sourcePath}));
        }
    }

    void plainFolders()
    {
        ComposeInput in = input();
        in.sourcePath = m_dir + "/Photos";
        QVERIFY(QDir().mkpath(in.sourcePath));
        in.isFolder = true;
        in.delivery.destination.insert(dk::attachBtn, 1);
        in.delivery.destination.insert(dk::sendFTPBtn, 0);
        ComposeResult r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::NotSent);
        QVERIFY(r.notDelivered);
        QVERIFY(
            r.errors.value(0).startsWith("JOB NOT DELIVERED!\nPlain folders cannot be attached"));

        // Delivered by transfer: the folder is not handed on as an attachment.
        in.delivery.destination.insert(dk::sendFTPBtn, 1);
        r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QVERIFY(r.attachments.isEmpty());
        QVERIFY(r.errors.value(0).startsWith("Attachments not sent: Plain folders"));
    }

    void subfolderPreviews()
    {
        const QString folder = m_dir + "/Job 7";
        QVERIFY(QDir().mkpath(folder + "/previews/deeper"));
        QVERIFY(pvtest::putBytes(folder + "/previews/b.jpg", "b"));
        QVERIFY(pvtest::putBytes(folder + "/previews/.hidden", "h"));
        QVERIFY(pvtest::putBytes(folder + "/previews/a.jpg", "a"));
        ComposeInput in = input();
        in.sourcePath = folder;
        in.isFolder = true;
        in.delivery.destination.insert(ndk::QFAttachSubfolder, 1);
        in.delivery.destination.insert(ndk::QFSubfolderName, "previews");
        ComposeResult r = composeNotification(in);
        QCOMPARE(r.attachments,
                 QStringList({folder + "/previews/a.jpg", folder + "/previews/b.jpg"}));
        QVERIFY(r.body.endsWith("\n\nNote: Preview files have been attached to this message for "
                                "your reference."));

        // A missing subfolder is logged; the zipped item itself still goes.
        in.delivery.destination.insert(ndk::QFSubfolderName, "proofs");
        in.delivery.destination.insert(dk::attachBtn, 1);
        in.zip = true;
        in.dmgFile = m_dir + "/Job 7.zip";
        QVERIFY(pvtest::putBytes(in.dmgFile, "zip"));
        r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QCOMPARE(r.errors, QStringList{"No files were attached to e-mail: Subfolder proofs could "
                                       "not be found"});
        QCOMPARE(r.attachments, QStringList{in.dmgFile});

        QVERIFY(QDir().mkpath(folder + "/proofs"));
        in.options.disableFileAttachedNote = true;
        r = composeNotification(in);
        QCOMPARE(r.errors,
                 QStringList{"No files to attach were found in subfolder " + folder + "/proofs"});
        QCOMPARE(r.body, "Link: ftp://u:p@h:21/in/job.pdf\nTo: Printer");
    }
};

QTEST_GUILESS_MAIN(TestNotification)
#include "test_notification.moc"
