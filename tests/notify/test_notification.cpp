#include "common/testenv.h"
#include "core/record.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "notify/notification.h"
#include "notify/notifykeys.h"
#include "prefs/prefs.h"

#include <QFile>

#include <memory>

using namespace pv;
using Outcome = ComposeResult::Outcome;

namespace {

QVariantMap row(const QString &kind, const QString &address)
{
    return {{rk::to, kind}, {rk::email, address}};
}

QVariantMap mailTemplate()
{
    return {{tk::name, QStringLiteral("Clients")},
            {tk::id, 42},
            {tk::emailFromField, QStringLiteral("desk@example.org")},
            {tk::emailSubjectField, QStringLiteral("<FILE NAME> is here")},
            {tk::emailBodyField, QStringLiteral("Get it: <ITEM DOWNLOAD LINK>")},
            {tk::emailSMTPField, QStringLiteral("127.0.0.1")},
            {tk::emailPortField, QStringLiteral("2525")},
            {tk::emailSMTPButton, 1},
            {tk::emailUserField, QStringLiteral("mailer")},
            {tk::emailPasswordField, Prefs::encryptPassword(QStringLiteral("smtp-pw"))},
            {tk::emailSSLBtn, 2},
            {tk::emails, QVariantList{row(rk::kindBcc, QStringLiteral("archive@example.org"))}}};
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

/// A one-page PDF made by Ghostscript itself.
bool makePdf(const QString &path)
{
    int code = -1;
    pvtest::run(QStringLiteral("gs"),
                {QStringLiteral("-q"), QStringLiteral("-dNOPAUSE"), QStringLiteral("-dBATCH"),
                 QStringLiteral("-dSAFER"), QStringLiteral("-sDEVICE=pdfwrite"),
                 QStringLiteral("-sOutputFile=") +
                     QString(path).replace(QLatin1Char('%'), QStringLiteral("%%")),
                 QStringLiteral("-c"),
                 QStringLiteral("1 0 0 setrgbcolor 72 72 400 600 rectfill "
                                "/Helvetica findfont 24 scalefont setfont 100 700 moveto "
                                "(Proof) show showpage")},
                {}, &code);
    return code == 0 && QFileInfo(path).size() > 0;
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
        in.delivery.destination = {
            {dk::name, QStringLiteral("Printer")},
            {dk::QFDestType, kFtpServer},
            {dk::sendEmailBtn, 1},
            {dk::sendFTPBtn, 1},
            {dk::QFEmailTemplate, QStringLiteral("Clients")},
            {ndk::emails, QVariantList{row(rk::kindTo, QStringLiteral("jo@example.org")),
                                       row(rk::kindCc, QString()),
                                       row(QStringLiteral("Reply:"), QStringLiteral("x@y.z")),
                                       row(rk::kindCc, QStringLiteral("boss@example.org")),
                                       row(rk::kindTo, QStringLiteral("al@example.org"))}}};
        in.delivery.finalName = QStringLiteral("job.pdf");
        in.delivery.ftpFlag = true;
        in.delivery.ftpURLEsc = QStringLiteral("ftp://u:p@h:21/in");
        in.sourcePath = m_dir + QStringLiteral("/job.pdf");
        in.theSize = 2 * 1048576;
        in.templates = {defaultTemplate(), mailTemplate()};
        in.loresFolder = m_dir + QStringLiteral("/lores");
        return in;
    }

    static QVariantMap defaultTemplate()
    {
        return {
            {tk::name, kDefaultTemplateName},
            {tk::emailFromField, QStringLiteral("default@example.org")},
            {tk::emailSMTPField, QStringLiteral("smtp.example.org")},
            {tk::emails, QVariantList{row(rk::kindTo, QStringLiteral("fallback@example.org"))}}};
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<pvtest::IsolatedHome>();
        m_dir = m_home->path() + QStringLiteral("/work");
        QVERIFY(QDir().mkpath(m_dir));
        QVERIFY(writeBytes(m_dir + QStringLiteral("/job.pdf"), QByteArray(2 * 1048576, 'j')));
    }

    void noEmailWanted()
    {
        ComposeInput in = input();
        in.delivery.destination.insert(dk::sendEmailBtn, 0);
        const ComposeResult r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::NoEmail);
        QVERIFY(r.statusTexts.isEmpty() && r.errors.isEmpty() && r.itemKeys.isEmpty());
        QVERIFY(!r.showMailIcon);
    }

    void refusalsBeforeAttachments()
    {
        // No template of that name: no From address.
        ComposeInput in = input();
        in.delivery.destination.insert(dk::QFEmailTemplate, QStringLiteral("Gone"));
        ComposeResult r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::NotSent);
        QCOMPARE(r.errors, QStringList{QStringLiteral(
                               "E-mail could not be sent: the From e-mail address not specified. "
                               "Please specify the From e-mail in the in e-mail template setup.")});
        QVERIFY(!r.notDelivered);
        QVERIFY(r.itemKeys.isEmpty());
        QCOMPARE(r.statusTexts, QStringList{QStringLiteral("Sending e-mail...")});

        in = input();
        in.delivery.destination.remove(ndk::emails);
        QVariantMap bare = mailTemplate();
        bare.remove(tk::emails);
        in.templates = {bare};
        r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::NotSent);
        QCOMPARE(r.errors, QStringList{QStringLiteral(
                               "E-mail could not be sent: no email addresses specified.")});
        QCOMPARE(r.itemKeys, (QVariantMap{{nqk::from, QStringLiteral("desk@example.org")}}));

        in = input();
        QVariantMap noServer = mailTemplate();
        noServer.insert(tk::emailSMTPField, QString());
        in.templates = {noServer};
        r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::NotSent);
        QCOMPARE(r.errors, QStringList{QStringLiteral(
                               "E-mail could not be sent: SMTP server not specified. Please "
                               "specify SMTP info in the e-mail template setup.")});
        QCOMPARE(r.itemKeys.value(nqk::subject).toString(), QStringLiteral("job.pdf is here"));
        QVERIFY(!r.itemKeys.contains(nqk::body));
    }

    void plainMessage()
    {
        ComposeInput in = input();
        QStringList seen;
        in.onStatus = [&seen](const QString &s) { seen.append(s); };
        const ComposeResult r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QVERIFY(r.errors.isEmpty());
        QVERIFY(r.showMailIcon);
        QCOMPARE(seen, r.statusTexts);
        QCOMPARE(r.statusTexts, (QStringList{QStringLiteral("Sending e-mail..."),
                                             QStringLiteral("Sending e-mail...")}));
        QCOMPARE(r.from, QStringLiteral("desk@example.org"));
        QCOMPARE(r.subject, QStringLiteral("job.pdf is here"));
        QCOMPARE(r.body, QStringLiteral("Get it: ftp://u:p@h:21/in/job.pdf"));
        QVERIFY(r.attachments.isEmpty());
        // The destination's rows, then the template's; empty addresses out.
        QCOMPARE(r.recipients.size(), 5);
        QCOMPARE(r.recipients.last().toMap(),
                 row(rk::kindBcc, QStringLiteral("archive@example.org")));
        const QVariantMap expected{{nqk::from, QStringLiteral("desk@example.org")},
                                   {nqk::to, QStringLiteral("jo@example.org, al@example.org")},
                                   {nqk::cc, QStringLiteral("boss@example.org")},
                                   {nqk::bcc, QStringLiteral("archive@example.org")},
                                   {nqk::subject, r.subject},
                                   {nqk::body, r.body}};
        QCOMPARE(r.itemKeys, expected);
        QCOMPARE(r.smtp.server, QStringLiteral("127.0.0.1"));
        QCOMPARE(r.smtp.port, 2525);
        QCOMPARE(r.smtp.user, QStringLiteral("mailer"));
        QCOMPARE(r.smtp.password, QStringLiteral("smtp-pw"));
        QCOMPARE(r.smtp.mechanism, QStringLiteral("PLAIN"));
        QCOMPARE(r.smtp.security, 2);
    }

    void olderTemplateKeyAndMissingSubject()
    {
        ComposeInput in = input();
        in.delivery.destination.remove(dk::QFEmailTemplate);
        in.delivery.destination.insert(ndk::templatePopup, QStringLiteral("Clients"));
        QVariantMap tpl = mailTemplate();
        tpl.remove(tk::emailSubjectField);
        tpl.insert(tk::emailSMTPButton, QStringLiteral("0"));
        in.templates = {tpl};
        const ComposeResult r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QCOMPARE(r.subject, QStringLiteral("Parcelvane Notification: job.pdf"));
        QCOMPARE(r.smtp.mechanism, QStringLiteral("none"));
        QVERIFY(r.smtp.user.isEmpty() && r.smtp.password.isEmpty());
    }

    void sizeLimit()
    {
        ComposeInput in = input();
        in.delivery.destination.insert(dk::attachBtn, 1);
        in.delivery.destination.insert(ndk::attachSizeField, QStringLiteral("1"));
        // Delivered by transfer as well: the e-mail goes without the file.
        ComposeResult r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QCOMPARE(r.errors,
                 QStringList{QStringLiteral("Attachments not sent: The size 2.0 MB exceeds "
                                            "the allowed size for destination Printer.")});
        QVERIFY(!r.notDelivered);
        QVERIFY(r.attachments.isEmpty());
        QVERIFY(!r.itemKeys.contains(nqk::attachments));
        QVERIFY(!r.body.contains(QLatin1String("NOTE")));

        // Attach-only: nothing is sent and the item is not delivered.
        in.delivery.destination.insert(dk::sendFTPBtn, 0);
        in.delivery.attachOnly = true;
        r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::NotSent);
        QVERIFY(r.notDelivered);
        QCOMPARE(r.errors,
                 QStringList{QStringLiteral(
                     "FILE NOT DELIVERED!\nAttachment is too large: The size of file "
                     "job.pdf (2.0 MB) exceeds the allowed size for destination Printer.")});

        // A package counts with its own size; no limit never refuses.
        in.zip = true;
        in.dmgFile = m_dir + QStringLiteral("/job.pdf.zip");
        QVERIFY(writeBytes(in.dmgFile, QByteArray(1000, 'z')));
        r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QCOMPARE(r.attachments, QStringList{in.dmgFile});
        QVERIFY(r.body.endsWith(QLatin1String("\n\nNOTE: The file is attached to this message")));
        QCOMPARE(r.itemKeys.value(nqk::attachments), QVariant(QVariantList{in.dmgFile}));
        in.zip = false;
        for (const QVariant &none : {QVariant(QString()), QVariant(0)}) {
            in.delivery.destination.insert(ndk::attachSizeField, none);
            QCOMPARE(composeNotification(in).attachments, QStringList{in.sourcePath});
        }
    }

    void plainFolders()
    {
        const QString folder = m_dir + QStringLiteral("/Photos");
        QVERIFY(QDir().mkpath(folder));
        ComposeInput in = input();
        in.sourcePath = folder;
        in.isFolder = true;
        in.delivery.destination.insert(dk::attachBtn, 1);
        in.delivery.destination.insert(dk::sendFTPBtn, 0);
        ComposeResult r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::NotSent);
        QVERIFY(r.notDelivered);
        QCOMPARE(r.errors, QStringList{QStringLiteral(
                               "JOB NOT DELIVERED!\nPlain folders cannot be attached to e-mail. "
                               "Please select a compression method in the destination settings.")});

        // Delivered by transfer: the folder is not handed on as an attachment.
        in.delivery.destination.insert(dk::sendFTPBtn, 1);
        r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QVERIFY(r.attachments.isEmpty());
        QCOMPARE(r.errors.size(), 1);
        QVERIFY(r.errors.first().startsWith(QLatin1String("Attachments not sent: Plain folders")));
    }

    void subfolderPreviews()
    {
        const QString folder = m_dir + QStringLiteral("/Job 7");
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/previews/deeper")));
        QVERIFY(writeBytes(folder + QStringLiteral("/previews/b.jpg"), "b"));
        QVERIFY(writeBytes(folder + QStringLiteral("/previews/.hidden"), "h"));
        ComposeInput in = input();
        in.sourcePath = folder;
        in.isFolder = true;
        in.delivery.destination.insert(ndk::QFAttachSubfolder, 1);
        in.delivery.destination.insert(ndk::QFSubfolderName, QStringLiteral("previews"));

        ComposeResult r = composeNotification(in);
        QCOMPARE(r.attachments, QStringList{folder + QStringLiteral("/previews/b.jpg")});
        QVERIFY(r.body.endsWith(QLatin1String(
            "\n\nNote: A preview file is attached to this message for your reference.")));
        QCOMPARE(r.statusTexts, (QStringList{QStringLiteral("Sending e-mail..."),
                                             QStringLiteral("Attaching files from subfolder..."),
                                             QStringLiteral("Checking attachment size..."),
                                             QStringLiteral("Sending e-mail with attachment..."),
                                             QStringLiteral("Sending e-mail...")}));

        QVERIFY(writeBytes(folder + QStringLiteral("/previews/a.jpg"), "a"));
        r = composeNotification(in);
        QCOMPARE(r.attachments, (QStringList{folder + QStringLiteral("/previews/a.jpg"),
                                             folder + QStringLiteral("/previews/b.jpg")}));
        QVERIFY(r.body.endsWith(QLatin1String(
            "\n\nNote: Preview files have been attached to this message for your reference.")));
        QVERIFY(r.statusTexts.contains(QStringLiteral("Sending e-mail with attachments...")));

        // A missing subfolder is logged; the zipped item itself still goes.
        in.delivery.destination.insert(ndk::QFSubfolderName, QStringLiteral("proofs"));
        in.delivery.destination.insert(dk::attachBtn, 1);
        in.zip = true;
        in.dmgFile = m_dir + QStringLiteral("/Job 7.zip");
        QVERIFY(writeBytes(in.dmgFile, "zip"));
        r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QCOMPARE(r.errors,
                 QStringList{QStringLiteral(
                     "No files were attached to e-mail: Subfolder proofs could not be found")});
        QCOMPARE(r.attachments, QStringList{in.dmgFile});
        QVERIFY(
            r.body.endsWith(QLatin1String("\n\nNOTE: The file is also attached to this message")));

        QVERIFY(QDir().mkpath(folder + QStringLiteral("/proofs")));
        in.options.disableFileAttachedNote = true;
        r = composeNotification(in);
        QCOMPARE(r.errors,
                 QStringList{QStringLiteral("No files to attach were found in subfolder ") +
                             folder + QStringLiteral("/proofs")});
        QCOMPARE(r.body, QStringLiteral("Get it: ftp://u:p@h:21/in/job.pdf"));
    }

    void footerFollowsTheSetting()
    {
        QCOMPARE(NotificationOptions::fromSettings().footer, false);
        settings::setValue(nsk::disableTallowinFooter, true);
        QCOMPARE(NotificationOptions::fromSettings().footer, false);
        settings::setValue(nsk::disableTallowinFooter, false);
        QCOMPARE(NotificationOptions::fromSettings().footer, true);
        QCOMPARE(NotificationOptions::fromSettings().disableFileAttachedNote, false);

        ComposeInput in = input();
        in.options.footer = true;
        in.options.appVersion = QStringLiteral("1.4");
        const ComposeResult r = composeNotification(in);
        QVERIFY(r.body.endsWith(
            QStringLiteral(
                "\n\n\n==========\nSent with Parcelvane 1.4, automatic file delivery system by "
                "Tallowin\n") +
            kMakerWebAddress));
        QCOMPARE(r.itemKeys.value(nqk::body).toString(), r.body);
    }

    void reducedPdf()
    {
        // "%d" in a name means a page number to Ghostscript; it must stay a name.
        const QString pdf = m_dir + QStringLiteral("/proof 100%d.pdf");
        QVERIFY(makePdf(pdf));
        ComposeInput in = input();
        in.sourcePath = pdf;
        in.delivery.destination.insert(ndk::QFCreateLoresPDF, 1);
        // An older copy is replaced.
        QVERIFY(QDir().mkpath(in.loresFolder));
        QVERIFY(writeBytes(in.loresFolder + QStringLiteral("/proof 100%d_lo-res.pdf"), "old"));

        ComposeResult r = composeNotification(in);
        const QString lores = in.loresFolder + QStringLiteral("/proof 100%d_lo-res.pdf");
        QCOMPARE(r.attachments, QStringList{lores});
        QFile made(lores);
        QVERIFY(made.open(QIODevice::ReadOnly));
        QVERIFY(made.read(5) == "%PDF-");
        QVERIFY(r.statusTexts.contains(QStringLiteral("Creating lo-res PDF...")));
        QVERIFY(
            r.statusTexts.contains(QStringLiteral("Sending e-mail with lo-res PDF attached...")));
        QVERIFY(r.body.endsWith(QLatin1String(
            "\n\nNote: A low resolution RGB version of the file is attached for your reference. "
            "This version is attached for preview purposes only.")));
        QVERIFY(QDir(in.loresFolder).entryList(QDir::Files).size() == 1);

        // Only the exact lower-case extension asks for a copy.
        const QString upper = m_dir + QStringLiteral("/PROOF.PDF");
        QVERIFY(QFile::copy(pdf, upper));
        in.sourcePath = upper;
        r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QVERIFY(r.attachments.isEmpty());

        // A copy that cannot be made is not attached.
        in.sourcePath = m_dir + QStringLiteral("/job.pdf");
        r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QVERIFY(r.attachments.isEmpty());
        QVERIFY(!QFile::exists(in.loresFolder + QStringLiteral("/job_lo-res.pdf")));
        QVERIFY(!r.body.contains(QLatin1String("Note:")));
    }
};

QTEST_GUILESS_MAIN(TestNotification)
#include "test_notification.moc"
