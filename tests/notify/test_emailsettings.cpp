#include "common/testenv.h"
#include "core/alerter.h"
#include "core/paths.h"
#include "core/plist.h"
#include "core/record.h"
#include "destinations/destination.h"
#include "notify/emailsettings.h"
#include "notify/notifykeys.h"

#include <QFile>

#include <memory>

using namespace pv;

namespace {

class RecordingAlerter : public Alerter {
public:
    int alert(const Alert &a) override
    {
        alerts.append(a);
        return a.defaultButton;
    }
    void beep() override {}
    QList<Alert> alerts;
};

QVariantMap named(const QString &name, qint64 id)
{
    return {{tk::name, name}, {tk::id, id}, {tk::emailFromField, QStringLiteral("a@b.c")}};
}

QStringList namesOf(const EmailSettings &s)
{
    QStringList names;
    for (const QVariant &v : s.items())
        names.append(recString(v.toMap(), tk::name));
    return names;
}

} // namespace

class TestEmailSettings : public QObject {
    Q_OBJECT

    std::unique_ptr<pvtest::IsolatedHome> m_home;
    RecordingAlerter m_alerter;

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<pvtest::IsolatedHome>();
        m_alerter.alerts.clear();
    }

    void missingFileGivesTheDefaultTemplate()
    {
        EmailSettings s(&m_alerter);
        QCOMPARE(s.filePath(), paths::appFile(QStringLiteral("EmailTemplates.xml")));
        s.load();
        QCOMPARE(s.items().size(), 1);

        // Written at once, with the default values as texts.
        const QVariantList stored = plist::readFile(s.filePath()).toList();
        QCOMPARE(stored.size(), 1);
        const QVariantMap t = stored.first().toMap();
        QCOMPARE(t.value(tk::name).toString(), kDefaultTemplateName);
        QCOMPARE(recInt(t, tk::id), 0);
        QCOMPARE(t.value(tk::emailPortField), QVariant(QStringLiteral("25")));
        QCOMPARE(t.value(tk::emailSMTPButton), QVariant(QStringLiteral("1")));
        QCOMPARE(t.value(tk::emailSSLBtn), QVariant(QStringLiteral("0")));
        QCOMPARE(recString(t, tk::emailSubjectField),
                 QStringLiteral("Tallowin Parcelvane Parcelvane Notification: <FILE NAME>"));
        QVERIFY(recString(t, tk::emailBodyField)
                    .endsWith(QLatin1String(
                        "to access the enclosing folder:\n<LINK TO ITEM'S ENCLOSING FOLDER>")));
        QVERIFY(!t.contains(tk::emailFromField));
    }

    void unreadableFileIsReplacedAndKept()
    {
        QVERIFY(paths::createAppFolders());
        const QString file = paths::appFile(QStringLiteral("EmailTemplates.xml"));
        for (const QByteArray &junk :
             {QByteArray("<plist><array><dict>"),
              plist::toXml(QVariantMap{{tk::name, QStringLiteral("x")}})}) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(junk);
            f.close();
            EmailSettings s(&m_alerter);
            s.load();
            QCOMPARE(namesOf(s), QStringList{kDefaultTemplateName});
            QCOMPARE(plist::readFile(file).toList().size(), 1);
            QFile aside(file + QStringLiteral(".unreadable"));
            QVERIFY(aside.open(QIODevice::ReadOnly));
            QCOMPARE(aside.readAll(), junk);
        }
    }

    void storedListIsTakenAsItIs()
    {
        QVERIFY(paths::createAppFolders());
        const QString file = paths::appFile(QStringLiteral("EmailTemplates.xml"));
        QVERIFY(plist::writeFile(file, QVariantList()));
        EmailSettings empty(&m_alerter);
        empty.load();
        QVERIFY(empty.items().isEmpty());
        QCOMPARE(empty.templateNames(), QStringList{kDefaultTemplateName});
        QCOMPARE(empty.getEmailTemplate(QStringLiteral("any")), QVariantMap());

        QVERIFY(plist::writeFile(file, QVariantList{named(QStringLiteral("Clients"), 7),
                                                    QStringLiteral("not a template"),
                                                    EmailSettings::defaultItem()}));
        EmailSettings s(&m_alerter);
        s.load();
        QCOMPARE(namesOf(s), (QStringList{QStringLiteral("Clients"), kDefaultTemplateName}));
        QCOMPARE(recInt(s.getEmailTemplate(QStringLiteral("Clients")), tk::id), 7);
        // Exact names only; anything else falls back to the default template.
        QCOMPARE(recString(s.getEmailTemplate(QStringLiteral("clients")), tk::name),
                 kDefaultTemplateName);
        QCOMPARE(EmailSettings::templateNamed(s.items(), QStringLiteral("clients")), QVariantMap());
    }

    void addingNamesAndIds()
    {
        EmailSettings s(&m_alerter);
        QVariantMap source = named(QStringLiteral("Email Template 1"), 11);
        source.insert(tk::emails, QVariantList{QVariantMap{{rk::to, rk::kindTo},
                                                           {rk::email, QStringLiteral("x@y.z")}}});
        s.setItems(
            {EmailSettings::defaultItem(), source, named(QStringLiteral("Email Template 3"), 33)});
        const int row = s.addRow(1);
        QCOMPARE(row, 3);
        const QVariantMap added = s.items().at(row).toMap();
        QCOMPARE(recString(added, tk::name), QStringLiteral("Email Template 2"));
        QCOMPARE(recString(added, tk::emailFromField), QStringLiteral("a@b.c"));
        QCOMPARE(added.value(tk::emails).toList().size(), 0);
        QSet<qint64> ids{0, 11, 33};
        QVERIFY(!ids.contains(recInt(added, tk::id)));
        ids.insert(recInt(added, tk::id));

        // Without a selection the copy is of a default template.
        const QVariantMap next = s.items().at(s.addRow(-1)).toMap();
        QCOMPARE(recString(next, tk::name), QStringLiteral("Email Template 4"));
        QCOMPARE(recString(next, tk::emailPortField), QStringLiteral("25"));
        QVERIFY(!ids.contains(recInt(next, tk::id)));
        QVERIFY(s.changes().isEmpty());
    }

    void removingAndRenaming()
    {
        EmailSettings s(&m_alerter);
        s.setItems({EmailSettings::defaultItem(), named(QStringLiteral("A"), 5),
                    named(QStringLiteral("B"), 6)});

        QCOMPARE(s.removeRow(0), -1);
        QCOMPARE(m_alerter.alerts.size(), 1);
        QCOMPARE(m_alerter.alerts.first().title,
                 QStringLiteral("Default template cannot be deleted"));
        QCOMPARE(s.items().size(), 3);

        QVERIFY(!s.renameRow(2, QStringLiteral("A")));
        QCOMPARE(m_alerter.alerts.last().title,
                 QStringLiteral("Item with this name already exists"));
        QCOMPARE(m_alerter.alerts.last().text, QStringLiteral("Please choose a different name."));
        QVERIFY(!s.renameRow(2, kDefaultTemplateName));
        // An empty name would tell destinations the template was deleted.
        QVERIFY(!s.renameRow(2, QStringLiteral(" ")));
        QVERIFY(!s.renameRow(0, QStringLiteral("Mine")));
        QCOMPARE(namesOf(s),
                 (QStringList{kDefaultTemplateName, QStringLiteral("A"), QStringLiteral("B")}));
        QVERIFY(s.changes().isEmpty());

        QVERIFY(s.renameRow(2, QStringLiteral("B")));
        QVERIFY(s.changes().isEmpty());
        QVERIFY(s.renameRow(2, QStringLiteral("Press")));
        QVERIFY(s.renameRow(1, QStringLiteral("Clients")));
        QCOMPARE(s.removeRow(1), 0);
        QCOMPARE(namesOf(s), (QStringList{kDefaultTemplateName, QStringLiteral("Press")}));
        const QHash<QString, QString> expected{{QStringLiteral("5"), QString()},
                                               {QStringLiteral("6"), QStringLiteral("Press")}};
        QCOMPARE(s.changes(), expected);
        s.clearChanges();
        QVERIFY(s.changes().isEmpty());
    }

    void passwordsAndRoundTrip()
    {
        EmailSettings s(&m_alerter);
        s.load();
        const int row = s.addRow(0);
        QVERIFY(s.setSMTPPassword(row, QStringLiteral("p@ss word")));
        QVERIFY(s.setField(row, tk::emailSSLBtn, 2));
        QVERIFY(!s.setField(row, tk::name, QStringLiteral("sneaky")));
        const QString stored = recString(s.items().at(row).toMap(), tk::emailPasswordField);
        QVERIFY(!stored.isEmpty());
        QVERIFY(!stored.contains(QLatin1String("p@ss")));
        QVERIFY(s.writeEmailTemplates());

        EmailSettings again(&m_alerter);
        again.load();
        QCOMPARE(again.items(), s.items());
        QCOMPARE(EmailSettings::smtpPassword(again.items().at(row).toMap()),
                 QStringLiteral("p@ss word"));
        QVERIFY(s.setSMTPPassword(row, QString()));
        QCOMPARE(recString(s.items().at(row).toMap(), tk::emailPasswordField), QString());
    }
};

QTEST_GUILESS_MAIN(TestEmailSettings)
#include "test_emailsettings.moc"
