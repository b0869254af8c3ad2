// Deliveries that end in a notification e-mail, received by a real SMTP
// server: links, tokens, attachments and the size limit.

#include "common/appfixture.h"
#include "common/mailbox.h"
#include "common/notifyfixtures.h"
#include "common/sambashare.h"
#include "records/historytable.h"

#include <QTcpServer>
#include <QTimer>

using namespace pv;
using pvtest::makeFile;
using pvtest::writeDest;

namespace {

/// A one-page PDF made by Ghostscript itself.
bool makePdf(const QString &path)
{
    int code = -1;
    pvtest::run("gs",
                {"-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pdfwrite",
                 "-sOutputFile=" + QString(path).replace(QLatin1Char('%'), "%%"), "-c",
                 "72 72 400 600 rectfill showpage"},
                {}, &code);
    return code == 0 && QFileInfo(path).size() > 0;
}

} // namespace

class TestPipelineMail : public QObject, pvtest::AppFixture {
    Q_OBJECT

    pvtest::Mailbox m_mail;
    const QMap<QString, QString> m_smb = pvtest::serverEnv("samba");

    void writeTemplates(const QString &password, const QString &port = {})
    {
        QVariantMap tpl = pvtest::mailTemplate(m_mail.env, password);
        if (!port.isEmpty())
            tpl.insert("emailPortField", port);
        QDir().mkpath(paths::appDir());
        QVERIFY(plist::writeFile(paths::appFile("EmailTemplates.xml"), QVariantList{tpl}));
    }

    /// dest sending a notification through the template to one recipient.
    QVariantMap mailed(QVariantMap dest) const
    {
        dest.insert(
            {{"sendEmailBtn", 1},
             {"QFEmailTemplate", "Mail"},
             {"emails", QVariantList{QVariantMap{{"to", "To:"}, {"email", "boss@example.com"}}}}});
        return dest;
    }
    QVariantMap local(const QString &name, const QVariantMap &extra = {}) const
    {
        return mailed(AppFixture::local(name, home() + "/out", extra));
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(!m_mail.env.isEmpty() && !m_smb.isEmpty(), "no SMTP or SMB"); }

    void init()
    {
        m_mail.clear();
        freshHome();
        writeTemplates(m_mail.env.value("SMTP_PASSWORD"));
    }
    void cleanup() { tearDown(); }

    // A local and a share delivery, each announced with its link (the share's through its
    // date folder).
    void deliveriesAreAnnouncedWithTheirLinks()
    {
        QVariantMap smb = pvtest::smbDest(m_smb, "Share", "mailed");
        smb.insert({{"QFHotfolder", hot("Share")}, {"yearFolderBtn", 1}});
        QDir().mkpath(hot("Share"));
        writeDest(mailed(smb));
        QVERIFY(pvtest::makeShareFolders(m_smb, "mailed"));
        writeDest(local("Proofs"));
        start();
        // A file name that looks like a token stays a file name.
        deliver("Proofs", makeFile(hot("Proofs") + "/<FTP PASSWORD> q.pdf", 2000));
        QTRY_COMPARE_WITH_TIMEOUT(m_mail.messages().size(), 1, 10000);
        const QJsonObject msg = m_mail.messages().first();
        QCOMPARE(msg.value("headers").toObject().value("subject").toString(),
                 QStringLiteral("Delivered <FTP PASSWORD> q.pdf"));
        QString body = pvtest::Mailbox::bodyText(msg);
        QVERIFY2(body.contains("Link: file://" + home() + "/out/%3CFTP%20PASSWORD%3E%20q.pdf"),
                 qPrintable(body));
        QVERIFY(body.contains("To: Proofs"));
        QTRY_COMPARE(outcomes(), QStringList{"ok"});
        QCOMPARE(outcomes("to"), QStringList{"boss@example.com"});

        deliver("Share", makeFile(hot("Share") + "/plan.txt", 300));
        const QString year = QDate::currentDate().toString("yyyy");
        QVERIFY2(QFile::exists(m_smb.value("SMB_SHARE_DIR") + "/mailed/" + year + "/plan.txt"),
                 qPrintable(errorsText()));
        QTRY_COMPARE_WITH_TIMEOUT(m_mail.messages().size(), 2, 10000);
        body = pvtest::Mailbox::bodyText(m_mail.messages()[1]);
        QVERIFY2(body.contains("smb://") && body.contains("/" + year + "/plan.txt"),
                 qPrintable(body));
    }

    // Ghostscript's reduced copy is made while the event loop goes on, replaces an older copy
    // and travels with the message; "%d" in a name, a page number to Ghostscript, stays a name.
    // Only the exact lower-case extension asks for a copy; one that cannot be made is not
    // attached. Attach-only with packaging: the archive, within the limit although the file is
    // not, travels with the message; over the limit, attach-only: not delivered, nothing sent;
    // over the limit but also delivered: sent without the file, recorded as modified.
    void attachmentsReducedPdfsAndSizeLimits()
    {
        writeDest(local("Proof", {{"QFCreateLoresPDF", 1}}));
        writeDest(local(
            "Zip",
            {{"sendFTPBtn", 0}, {"attachBtn", 1}, {"QFCompressFiles", 1}, {"attachSizeField", 1}}));
        writeDest(local("Small", {{"sendFTPBtn", 0}, {"attachBtn", 1}, {"attachSizeField", 1}}));
        writeDest(local("Both", {{"attachBtn", 1}, {"attachSizeField", 1}}));
        start();
        const QString pdf = hot("Proof") + "/proof 100%d.pdf";
        QVERIFY(makePdf(pdf));
        QVERIFY(QFile::copy(pdf, home() + "/PROOF.PDF"));
        QVERIFY(QDir().mkpath(paths::scratchDir()));
        QVERIFY(pvtest::putBytes(paths::scratchDir() + "/proof 100%d_lo-res.pdf", "old"));
        int turns = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, this,
                [&] { turns += m_ui->status == QLatin1String("Creating lo-res PDF..."); });
        tick.start(0);
        deliver("Proof", pdf);
        QVERIFY(turns > 0);
        QVERIFY(QFile::rename(home() + "/PROOF.PDF", hot("Proof") + "/PROOF.PDF"));
        deliver("Proof", hot("Proof") + "/PROOF.PDF");
        deliver("Proof", makeFile(hot("Proof") + "/fake.pdf", 100));

        deliver("Zip", makeFile(hot("Zip") + "/sheet.csv", 2 << 20, 'c'));
        QVERIFY(!QFile::exists(home() + "/out/sheet.csv.zip"));
        deliver("Small", makeFile(hot("Small") + "/big.bin", 2 << 20));
        QVERIFY(QFile::exists(hot("Small") + "/Errors/big.bin"));
        deliver("Both", makeFile(hot("Both") + "/big2.bin", 2 << 20));
        QVERIFY(QFile::exists(home() + "/out/big2.bin"));

        QTRY_COMPARE_WITH_TIMEOUT(m_mail.messages().size(), 5, 10000);
        const QList<QJsonObject> mails = m_mail.messages();
        QList<QStringList> attached;
        for (const QJsonObject &m : mails) {
            QStringList names;
            for (const QJsonValue &part : m.value("parts").toArray())
                names << part["filename"].toString();
            attached << names.mid(1);
        }
        QCOMPARE(attached,
                 QList<QStringList>({{"proof 100%d_lo-res.pdf"}, {}, {}, {"sheet.csv.zip"}, {}}));
        // Not the older copy.
        QVERIFY(mails[0].value("parts").toArray()[1].toObject().value("size").toInt() > 100);
        QVERIFY(pvtest::Mailbox::bodyText(mails[0]).contains(
            "Note: A low resolution RGB version of the file is attached"));
        for (const QJsonObject &m : {mails[1], mails[2]})
            QVERIFY(!pvtest::Mailbox::bodyText(m).contains("Note:"));
        QVERIFY(pvtest::Mailbox::bodyText(mails[3]).contains(
            "NOTE: The file is attached to this message"));
        QTRY_COMPARE(outcomes(), QStringList({"ok", "ok", "ok", "ok", "missing", "modified"}));
        const QStringList errors = outcomes("error");
        QVERIFY(errors[4].contains("Attachment is too large"));
        QVERIFY(errors[5].contains("Attachments not sent: The size 2.0 MB exceeds the allowed size "
                                   "for destination Both."));
    }

    void failedMailOfAnAttachOnlyItemIsNotADelivery()
    {
        writeTemplates("not the password");
        writeDest(local("Only", {{"sendFTPBtn", 0}, {"attachBtn", 1}}));
        writeDest(local("Copy"));
        start();
        deliver("Only", makeFile(hot("Only") + "/a.txt", 10));
        deliver("Copy", makeFile(hot("Copy") + "/b.txt", 10));
        // The file itself was delivered to Copy, so only its mail is missing.
        QTRY_COMPARE(outcomes(), QStringList({"missing", "modified"}));
        QVERIFY(outcomes("error")[0].contains("Authentication failed"));
        QVERIFY(QFile::exists(hot("Only") + "/Errors/a.txt"));
        QVERIFY(QFile::exists(hot("Copy") + "/Done/b.txt"));
        QVERIFY(m_mail.messages().isEmpty());
        // The panel says which failure cost the delivery.
        const QString panel = errorsText();
        QCOMPARE(panel.count("FILE NOT DELIVERED!\nError: Email could not be sent. Authentication"),
                 1);
        QCOMPARE(panel.count("Error: Email could not be sent. Authentication"), 2);
    }

    void stopDuringTheMailOfAnAttachOnlyItemRecordsItOnce()
    {
        // A server that takes the connection and never answers keeps the send going.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        writeTemplates(m_mail.env.value("SMTP_PASSWORD"), QString::number(silent.serverPort()));
        writeDest(local("Only", {{"sendFTPBtn", 0}, {"attachBtn", 1}}));
        start();
        drop("Only", makeFile(hot("Only") + "/a.txt", 10));
        QVERIFY(QTest::qWaitFor([&] { return silent.hasPendingConnections(); }, 30000));
        m_app->sendBtn();
        QVERIFY(QTest::qWaitFor([this] { return !m_app->isProcessing(); }, 30000));
        m_app->history().loadHistory();
        const QList<QVariantMap> h = m_app->history().items();
        QCOMPARE(h.size(), 1);
        QCOMPARE(h[0].value("success").toString(), QStringLiteral("missing"));
        QVERIFY(h[0].value("error").toString().contains("Operation cancelled!"));
        QVERIFY(QFile::exists(hot("Only") + "/Errors/a.txt"));
    }
};

QTEST_GUILESS_MAIN(TestPipelineMail)
#include "test_pipeline_mail.moc"
