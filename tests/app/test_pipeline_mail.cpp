// Deliveries that end in a notification e-mail, received by a real SMTP
// server: links, tokens, attachments and the size limit.

#include "app/appcontroller.h"
#include "app/queueitem.h"
#include "common/fixtures.h"
#include "common/recordingui.h"
#include "common/serverenv.h"
#include "common/testenv.h"
#include "core/record.h"
#include "prefs/prefs.h"
#include "records/historypaneltable.h"
#include "records/historytable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTimer>

using namespace pv;
using pvtest::fileRecords;
using pvtest::makeFile;
using pvtest::writeDest;

/// Keeps the latest status line.
struct StatusUi : pvtest::RecordingUserInterface {
    QString status;
    void setStatus(const QString &text) override { status = text; }
};

class TestPipelineMail : public QObject {
    Q_OBJECT

    QMap<QString, QString> m_smtp;
    QMap<QString, QString> m_smb;
    std::unique_ptr<pvtest::IsolatedHome> m_home;
    std::unique_ptr<pvtest::RecordingUserInterface> m_ui;
    std::unique_ptr<AppController> m_app;

    QString hot(const QString &name) const { return m_home->path() + "/hot/" + name; }

    void writeTemplates(const QString &password, const QString &port = {})
    {
        const QVariantMap tpl{
            {"name", "Mail"},
            {"id", 7},
            {"emailFromField", "Parcelvane <pv@example.com>"},
            {"emailSubjectField", "Delivered <FILE NAME>"},
            {"emailBodyField", "Link: <ITEM DOWNLOAD LINK>\nTo: <DESTINATION>"},
            {"emailSMTPField", m_smtp.value("SMTP_HOST")},
            {"emailPortField", port.isEmpty() ? m_smtp.value("SMTP_PORT_PLAIN") : port},
            {"emailSMTPButton", true},
            {"emailUserField", m_smtp.value("SMTP_USER")},
            {"emailPasswordField", Prefs::encryptPassword(password)},
            {"emailSSLBtn", 0},
            {"emails", QVariantList{}}};
        QDir().mkpath(paths::appDir());
        QVERIFY(plist::writeFile(paths::appFile("EmailTemplates.xml"), QVariantList{tpl}));
    }

    QVariantMap mailed(const QString &name, QVariantMap dest)
    {
        dest.insert("name", name);
        dest.insert("sendEmailBtn", 1);
        dest.insert("QFEmailTemplate", "Mail");
        dest.insert("QFHotfolder", hot(name));
        dest.insert("emails",
                    QVariantList{QVariantMap{{"to", "To:"}, {"email", "boss@example.com"}}});
        if (!dest.contains("sendFTPBtn"))
            dest.insert("sendFTPBtn", 1);
        QDir().mkpath(hot(name));
        return dest;
    }

    QVariantMap local(const QString &name, const QVariantMap &extra = {})
    {
        QDir().mkpath(m_home->path() + "/out");
        QVariantMap d{
            {"QFDestType", "Local Disk"}, {"type", 1}, {"pathField", m_home->path() + "/out"}};
        for (auto it = extra.cbegin(); it != extra.cend(); ++it)
            d.insert(it.key(), it.value());
        return mailed(name, d);
    }

    void start()
    {
        m_ui = std::make_unique<pvtest::RecordingUserInterface>();
        m_app = std::make_unique<AppController>(m_ui.get());
        m_app->startup();
    }

    void deliver(const QString &dest, const QString &path)
    {
        m_app->checkForCode({{qk::path, path},
                             {qk::hotfolder, hot(dest)},
                             {qk::dest, dest},
                             {qk::origSize, QFileInfo(path).size()}});
        QVERIFY(QTest::qWaitFor([this] { return !m_app->isProcessing() && !m_app->isMeasuring(); },
                                60000));
    }

    /// The messages the server stored, as the parser script reads them.
    QList<QJsonObject> messages() const
    {
        QList<QJsonObject> out;
        const QDir mail(m_smtp.value("SMTP_MAIL_DIR"));
        for (const QString &f : mail.entryList({"*.eml"}, QDir::Files, QDir::Name)) {
            QProcess py;
            py.start("python3",
                     {qEnvironmentVariable("PV_SOURCE_DIR") + "/tests/servers/smtp_parse.py",
                      mail.filePath(f)});
            py.waitForFinished(60000);
            out.append(QJsonDocument::fromJson(py.readAllStandardOutput()).object());
        }
        return out;
    }

    static QString bodyText(const QJsonObject &msg)
    {
        for (const QJsonValue &p : msg.value("parts").toArray()) {
            if (p.toObject().value("content_type").toString() == "text/plain")
                return p.toObject().value("text").toString();
        }
        return {};
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_smtp = pvtest::serverEnv("smtp");
        m_smb = pvtest::serverEnv("samba");
        QVERIFY2(!m_smtp.isEmpty() && !m_smb.isEmpty(),
                 "the smtp and samba servers are not running");
    }

    void init()
    {
        QDir mail(m_smtp.value("SMTP_MAIL_DIR"));
        for (const QString &f : mail.entryList(QDir::Files))
            mail.remove(f);
        m_home = std::make_unique<pvtest::IsolatedHome>();
        writeTemplates(m_smtp.value("SMTP_PASSWORD"));
    }

    void cleanup()
    {
        m_app.reset();
        m_ui.reset();
        m_home.reset();
    }

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
        QVERIFY2(
            body.contains("Link: file://" + m_home->path() + "/out/%3CFTP%20PASSWORD%3E%20q.pdf"),
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
        const QVariantMap smb{
            {"QFDestType", "SMB Server"},
            {"type", 0},
            {"hostField", m_smb.value("SMB_HOST")},
            {"QFPort", m_smb.value("SMB_PORT")},
            {"pathField", m_smb.value("SMB_SHARE") + "/mailed"},
            {"userField", m_smb.value("SMB_USER")},
            {"sitePasswordField", Prefs::encryptPassword(m_smb.value("SMB_PASSWORD"))},
            {"yearFolderBtn", 1}};
        writeDest(mailed("Share", smb));
        // Made here, so the share's own user must be let in.
        const QString folder = m_smb.value("SMB_SHARE_DIR") + "/mailed";
        QDir().mkpath(folder);
        QFile::setPermissions(folder, QFileDevice::Permissions(0x7777));
        start();
        deliver("Share", makeFile(hot("Share") + "/plan.txt", 300));
        const QString year = QDate::currentDate().toString("yyyy");
        QString errors;
        for (const QVariantMap &e : m_app->errors().items())
            errors += e.value("error").toString();
        QVERIFY2(QFile::exists(m_smb.value("SMB_SHARE_DIR") + "/mailed/" + year + "/plan.txt"),
                 qPrintable(errors));
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
        auto ui = std::make_unique<StatusUi>();
        const StatusUi *seen = ui.get();
        m_ui = std::move(ui);
        m_app = std::make_unique<AppController>(m_ui.get());
        m_app->startup();
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
                [&] { turns += seen->status == QLatin1String("Creating lo-res PDF..."); });
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
        QVERIFY(!QFile::exists(m_home->path() + "/out/sheet.csv.zip"));

        // Over the limit, attach-only: not delivered, nothing sent.
        deliver("Small", makeFile(hot("Small") + "/big.bin", 2 << 20));
        QVERIFY(QFile::exists(hot("Small") + "/Errors/big.bin"));
        // Over the limit but also delivered: sent without the file, recorded as modified.
        deliver("Both", makeFile(hot("Both") + "/big2.bin", 2 << 20));
        QVERIFY(QFile::exists(m_home->path() + "/out/big2.bin"));
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
        writeTemplates(m_smtp.value("SMTP_PASSWORD"), QString::number(silent.serverPort()));
        writeDest(local("Only", {{"sendFTPBtn", 0}, {"attachBtn", 1}}));
        start();
        m_app->checkForCode({{qk::path, makeFile(hot("Only") + "/a.txt", 10)},
                             {qk::hotfolder, hot("Only")},
                             {qk::dest, "Only"},
                             {qk::origSize, 10}});
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
