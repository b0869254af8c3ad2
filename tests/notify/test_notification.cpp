#include "common/fixtures.h"
#include "common/testenv.h"
#include "core/record.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "notify/notification.h"
#include "notify/notifykeys.h"
#include "prefs/prefs.h"

#include <QFile>
#include <QSignalSpy>

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
    return {{tk::name, "Clients"},
            {tk::id, 42},
            {tk::emailFromField, "desk@example.org"},
            {tk::emailSubjectField, "<FILE NAME> is here"},
            {tk::emailBodyField, "Get it: <ITEM DOWNLOAD LINK>"},
            {tk::emailSMTPField, "127.0.0.1"},
            {tk::emailPortField, "2525"},
            {tk::emailSMTPButton, 1},
            {tk::emailUserField, "mailer"},
            {tk::emailPasswordField, Prefs::encryptPassword("smtp-pw")},
            {tk::emailSSLBtn, 2},
            {tk::emails, QVariantList{row(rk::kindBcc, "archive@example.org")}}};
}

/// A one-page PDF made by Ghostscript itself.
bool makePdf(const QString &path)
{
    int code = -1;
    pvtest::run("gs",
                {"-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pdfwrite",
                 "-sOutputFile=" + QString(path).replace(QLatin1Char('%'), "%%"), "-c",
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
            {dk::name, "Printer"},
            {dk::QFDestType, kFtpServer},
            {dk::sendEmailBtn, 1},
            {dk::sendFTPBtn, 1},
            {dk::QFEmailTemplate, "Clients"},
            {ndk::emails,
             QVariantList{row(rk::kindTo, "jo@example.org"), row(rk::kindCc, QString()),
                          row("Reply:", "x@y.z"), row(rk::kindCc, "boss@example.org"),
                          row(rk::kindTo, "al@example.org")}}};
        in.delivery.finalName = "job.pdf";
        in.delivery.ftpFlag = true;
        in.delivery.ftpURLEsc = "ftp://u:p@h:21/in";
        in.sourcePath = m_dir + "/job.pdf";
        in.theSize = 2 * 1048576;
        in.templates = {defaultTemplate(), mailTemplate()};
        return in;
    }

    static QVariantMap defaultTemplate()
    {
        return {{tk::name, kDefaultTemplateName},
                {tk::emailFromField, "default@example.org"},
                {tk::emailSMTPField, "smtp.example.org"},
                {tk::emails, QVariantList{row(rk::kindTo, "fallback@example.org")}}};
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
        QCOMPARE(refusal("Clients", noRows, false),
                 "E-mail could not be sent: no email addresses specified.");
        QVERIFY(refusal("Clients", noServer, true)
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
        QCOMPARE(r.subject, "job.pdf is here");
        QCOMPARE(r.body, "Get it: ftp://u:p@h:21/in/job.pdf");
        // The destination's rows, then the template's; empty addresses out.
        QCOMPARE(r.recipients.size(), 5);
        QCOMPARE(r.recipients.last().toMap(), row(rk::kindBcc, "archive@example.org"));
        const QVariantMap expected{
            {nqk::from, "desk@example.org"}, {nqk::to, "jo@example.org, al@example.org"},
            {nqk::cc, "boss@example.org"},   {nqk::bcc, "archive@example.org"},
            {nqk::subject, r.subject},       {nqk::body, r.body}};
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
        in.delivery.destination.insert(ndk::templatePopup, "Clients");
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

    void sizeLimit()
    {
        ComposeInput in = input();
        in.delivery.destination.insert(dk::attachBtn, 1);
        in.delivery.destination.insert(ndk::attachSizeField, "1");
        // Delivered by transfer as well: the e-mail goes without the file.
        ComposeResult r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QCOMPARE(r.errors, QStringList{"Attachments not sent: The size 2.0 MB exceeds the allowed "
                                       "size for destination Printer."});
        QVERIFY(!r.notDelivered && r.attachments.isEmpty());
        QVERIFY(!r.body.contains("NOTE"));

        // A package counts with its own size; no limit never refuses.
        in.delivery.destination.insert(dk::sendFTPBtn, 0);
        in.delivery.attachOnly = true;
        in.zip = true;
        in.dmgFile = m_dir + "/job.pdf.zip";
        QVERIFY(pvtest::putBytes(in.dmgFile, QByteArray(1000, 'z')));
        r = composeNotification(in);
        QCOMPARE(r.outcome, Outcome::Send);
        QCOMPARE(r.attachments, QStringList{in.dmgFile});
        QVERIFY(r.body.endsWith("\n\nNOTE: The file is attached to this message"));
        QCOMPARE(r.itemKeys.value(nqk::attachments), QVariant(QVariantList{in.dmgFile}));
        in.zip = false;
        for (const QVariant &none : {QVariant(QString()), QVariant(0)}) {
            in.delivery.destination.insert(ndk::attachSizeField, none);
            QCOMPARE(composeNotification(in).attachments, QStringList{in.sourcePath});
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
        QCOMPARE(r.body, "Get it: ftp://u:p@h:21/in/job.pdf");
    }

    void reducedPdf()
    {
        // "%d" in a name means a page number to Ghostscript; it must stay a name.
        const QString pdf = m_dir + "/proof 100%d.pdf";
        QVERIFY(makePdf(pdf));
        ComposeInput in = input();
        in.sourcePath = pdf;
        in.delivery.destination.insert(ndk::QFCreateLoresPDF, 1);
        const QString folder = m_dir + "/lores";
        // Composition asks for the copy, Ghostscript makes it without blocking,
        // and composition goes on with it.
        const auto composeWithCopy = [&folder](ComposeInput in) {
            ComposeResult r = composeNotification(in);
            if (r.outcome != Outcome::MakeLoresPDF)
                return r;
            LoresPDFMaker maker;
            QSignalSpy done(&maker, &LoresPDFMaker::finished);
            maker.start(in.sourcePath, folder);
            if (!done.wait(120000))
                return ComposeResult{};
            in.loresPDF = done.first().first().toString();
            return composeNotification(in);
        };
        // An older copy is replaced.
        const QString lores = folder + "/proof 100%d_lo-res.pdf";
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(pvtest::putBytes(lores, "old"));
        ComposeResult r = composeWithCopy(in);
        QCOMPARE(r.attachments, QStringList{lores});
        QFile made(lores);
        QVERIFY(made.open(QIODevice::ReadOnly) && made.read(5) == "%PDF-");
        QVERIFY(r.body.contains("Note: A low resolution RGB version of the file is attached"));
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 1);

        // Only the exact lower-case extension asks for a copy, and one that
        // cannot be made is not attached.
        const QString upper = m_dir + "/PROOF.PDF";
        QVERIFY(QFile::copy(pdf, upper));
        for (const QString &source : {upper, m_dir + "/job.pdf"}) {
            in.sourcePath = source;
            r = composeWithCopy(in);
            QCOMPARE(r.outcome, Outcome::Send);
            QVERIFY(r.attachments.isEmpty());
            QVERIFY(!r.body.contains("Note:"));
        }
    }
};

QTEST_GUILESS_MAIN(TestNotification)
#include "test_notification.moc"
