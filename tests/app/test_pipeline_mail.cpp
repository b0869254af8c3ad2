// Deliveries that end in a notification e-mail, received by a real SMTP
// server: links, tokens, attachments and the size limit.

#include "common/appfixture.h"
#include "common/mailbox.h"
#include "common/sambashare.h"
#include "prefs/prefs.h"
#include "records/historytable.h"

#include <QTcpServer>
#include <QTimer>

using namespace pv;
using pvtest::fileRecords;
using pvtest::makeFile;
using pvtest::writeDest;

class TestPipelineMail : public QObject, pvtest::AppFixture {
    Q_OBJECT

    pvtest::Mailbox m_mail;
    QMap<QString, QString> m_smb;

    void writeTemplates(const QString &password, const QString &port = {})
    {
        const QVariantMap tpl{
            {"name", "Mail"},
            {"id", 7},
            {"emailFromField", "Parcelvane <pv@example.com>"},
            {"emailSubjectField", "Delivered <FILE NAME>"},
            {"emailBodyField", "Link: <ITEM DOWNLOAD LINK>\nTo: <DESTINATION>"},
            {"emailSMTPField", m_mail.env.value("SMTP_HOST")},
            {"emailPortField", port.isEmpty() ? m_mail.env.value("SMTP_PORT_PLAIN") : port},
            {"emailSMTPButton", true},
            {"emailUserField", m_mail.env.value("SMTP_USER")},
            {"emailPasswordField", Prefs::encryptPassword(password)},
            {"emailSSLBtn", 0},
            {"emails", QVariantList{}}};
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
    QList<QJsonObject> messages() const { return m_mail.messages(); }
    static QString bodyText(const QJsonObject &msg) { return pvtest::Mailbox::bodyText(msg); }

private Q_SLOTS:
    void initTestCase()
    {
        m_smb = pvtest::serverEnv("samba");
        QVERIFY2(!m_mail.env.isEmpty() && !m_smb.isEmpty(),
                 "the smtp and samba servers are not running");
    }

    void init()
    {
        m_mail.clear();
        freshHome();
        writeTemplates(m_mail.env.value("SMTP_PASSWORD"));
    }
    void cleanup() { tearDown(); }

    void localDeliveryIsAnnouncedWithItsLink()
    {
        writeDest(local("Proofs"));
        start();
        // A file name that looks like a token stays a file name.
        const QString file = makeFile(hot("Proofs") + "/<FTP PASSWORD> q.pdf", 2000);
        deliver("Proofs", file);
        QTRY_COMPARE_WITH_TIMEOUT(messages().size(), 1, 10000);
        const QJsonObject msg = messages().first();
        QCOMPARE(msg.value("headers").toObject().value("subject").toString(),
                 QStringLiteral("Delivered <FTP PASSWORD> q.pdf"));
        const QString body = bodyText(msg);
        QVERIFY2(body.contains("Link: file://" + home() + "/out/%3CFTP%20PASSWORD%3E%20q.pdf"),
                 qPrintable(body));
        QVERIFY(body.contains("To: Proofs"));
        QVERIFY(!body.contains("Sent with Parcelvane"));
        QTRY_COMPARE(fileRecords("History.xml").size(), 1);
        const QVariantMap rec = fileRecords("History.xml").first();
        QCOMPARE(rec.value("success").toString(), QStringLiteral("ok"));
        QCOMPARE(rec.value("to").toString(), QStringLiteral("boss@example.com"));
        QVERIFY(rec.value("downloadURLForUser").toString().startsWith("file://"));
        QVERIFY(QFile::exists(hot("Proofs") + "/Done/<FTP PASSWORD> q.pdf"));
    }

    void smbDeliveryLinkNamesTheShare()
    {
        QVariantMap smb = pvtest::smbDest(m_smb, "Share", "mailed");
        smb.insert({{"QFHotfolder", hot("Share")}, {"yearFolderBtn", 1}});
        QDir().mkpath(hot("Share"));
        writeDest(mailed(smb));
        QVERIFY(pvtest::makeShareFolders(m_smb, "mailed"));
        start();
        deliver("Share", makeFile(hot("Share") + "/plan.txt", 300));
        const QString year = QDate::currentDate().toString("yyyy");
        QVERIFY2(QFile::exists(m_smb.value("SMB_SHARE_DIR") + "/mailed/" + year + "/plan.txt"),
                 qPrintable(errorsText()));
        QTRY_COMPARE_WITH_TIMEOUT(messages().size(), 1, 10000);
        const QString body = bodyText(messages().first());
        QVERIFY2(body.contains("smb://") && body.contains("/" + year + "/plan.txt"),
                 qPrintable(body));
    }

    // Ghostscript's reduced copy is made while the event loop goes on, and
    // travels with the message.
    void reducedPdfLeavesTheEventLoopRunning()
    {
        writeDest(local("Proof", {{"QFCreateLoresPDF", 1}}));
        start();
        const QString pdf = hot("Proof") + "/proof.pdf";
        int rc = -1;
        pvtest::run("gs",
                    {"-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pdfwrite",
                     "-sOutputFile=" + pdf, "-c", "72 72 400 600 rectfill showpage"},
                    {}, &rc);
        QCOMPARE(rc, 0);
        int turns = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, this,
                [&] { turns += m_ui->status == QLatin1String("Creating lo-res PDF..."); });
        tick.start(0);
        deliver("Proof", pdf);
        QVERIFY(turns > 0);
        QTRY_COMPARE_WITH_TIMEOUT(messages().size(), 1, 10000);
        const QJsonArray parts = messages().first().value("parts").toArray();
        QCOMPARE(parts.size(), 2);
        QCOMPARE(parts[1].toObject().value("filename").toString(),
                 QStringLiteral("proof_lo-res.pdf"));
    }

    void attachOnlyZipAndSizeLimits()
    {
        writeDest(local("Zip", {{"sendFTPBtn", 0}, {"attachBtn", 1}, {"QFCompressFiles", 1}}));
        writeDest(local("Small", {{"sendFTPBtn", 0}, {"attachBtn", 1}, {"attachSizeField", 1}}));
        writeDest(local("Both", {{"attachBtn", 1}, {"attachSizeField", 1}}));
        start();

        // Attach-only with packaging: the archive travels with the message.
        deliver("Zip", makeFile(hot("Zip") + "/sheet.csv", 300000, 'c'));
        QTRY_COMPARE_WITH_TIMEOUT(messages().size(), 1, 10000);
        const QJsonArray parts = messages().first().value("parts").toArray();
        QCOMPARE(parts.size(), 2);
        QCOMPARE(parts[1].toObject().value("filename").toString(), QStringLiteral("sheet.csv.zip"));
        QVERIFY(
            bodyText(messages().first()).contains("NOTE: The file is attached to this message"));
        QVERIFY(!QFile::exists(home() + "/out/sheet.csv.zip"));

        // Over the limit, attach-only: not delivered, nothing sent.
        deliver("Small", makeFile(hot("Small") + "/big.bin", 2 << 20));
        QVERIFY(QFile::exists(hot("Small") + "/Errors/big.bin"));
        // Over the limit but also delivered: sent without the file, recorded as modified.
        deliver("Both", makeFile(hot("Both") + "/big2.bin", 2 << 20));
        QVERIFY(QFile::exists(home() + "/out/big2.bin"));
        QTRY_COMPARE_WITH_TIMEOUT(messages().size(), 2, 10000);
        QTRY_COMPARE(fileRecords("History.xml").size(), 3);
        const QList<QVariantMap> history = fileRecords("History.xml");
        QCOMPARE(history[0].value("success").toString(), QStringLiteral("ok"));
        QCOMPARE(history[1].value("success").toString(), QStringLiteral("missing"));
        QVERIFY(history[1].value("error").toString().contains("Attachment is too large"));
        QCOMPARE(history[2].value("success").toString(), QStringLiteral("modified"));
        QVERIFY(history[2].value("error").toString().contains("Attachments not sent"));
    }

    void failedMailOfAnAttachOnlyItemIsNotADelivery()
    {
        writeTemplates("not the password");
        writeDest(local("Only", {{"sendFTPBtn", 0}, {"attachBtn", 1}}));
        writeDest(local("Copy"));
        start();
        deliver("Only", makeFile(hot("Only") + "/a.txt", 10));
        deliver("Copy", makeFile(hot("Copy") + "/b.txt", 10));
        QTRY_COMPARE(fileRecords("History.xml").size(), 2);
        const QList<QVariantMap> history = fileRecords("History.xml");
        QCOMPARE(history[0].value("success").toString(), QStringLiteral("missing"));
        QVERIFY(history[0].value("error").toString().contains("Authentication failed"));
        QVERIFY(QFile::exists(hot("Only") + "/Errors/a.txt"));
        // The file itself was delivered, so only the mail is missing.
        QCOMPARE(history[1].value("success").toString(), QStringLiteral("modified"));
        QVERIFY(QFile::exists(hot("Copy") + "/Done/b.txt"));
        QVERIFY(messages().isEmpty());
        // The panel says which failure cost the delivery.
        const QString panel = m_app->errors().items()[1].value("error").toString() +
                              m_app->errors().items()[0].value("error").toString();
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
        const QList<QVariantMap> history = m_app->history().items();
        QCOMPARE(history.size(), 1);
        QCOMPARE(history[0].value("success").toString(), QStringLiteral("missing"));
        QVERIFY(history[0].value("error").toString().contains("Operation cancelled!"));
        QVERIFY(QFile::exists(hot("Only") + "/Errors/a.txt"));
    }
};

QTEST_GUILESS_MAIN(TestPipelineMail)
#include "test_pipeline_mail.moc"
