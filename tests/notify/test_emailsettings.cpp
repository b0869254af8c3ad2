#include "common/fixtures.h"
#include "common/testenv.h"
#include "core/alerter.h"
#include "core/paths.h"
#include "core/plist.h"
#include "core/record.h"
#include "destinations/destination.h"
#include "notify/emailsettings.h"
#include "notify/notifykeys.h"

#include <memory>

using namespace pv;

namespace {

using Spans = QList<std::pair<int, int>>;

QVariantMap named(const QString &name, qint64 id)
{
    return {{tk::name, name}, {tk::id, id}, {tk::emailFromField, "a@b.c"}};
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
    pvtest::RecordingAlerter m_alerter;

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<pvtest::IsolatedHome>();
        m_alerter.alerts.clear();
    }

    // A missing, unreadable or wrongly shaped file gives the default template, written at
    // once; a file that cannot be read is kept aside. A readable list is taken as it is.
    void templatesFile()
    {
        EmailSettings s(&m_alerter);
        s.load();
        QCOMPARE(namesOf(s), QStringList{kDefaultTemplateName});
        const QString file = s.filePath();
        QCOMPARE(recString(plist::readFile(file).toList().value(0).toMap(), tk::name),
                 kDefaultTemplateName);
        for (const QByteArray &junk :
             {QByteArray("<plist><array><dict>"), plist::toXml(QVariantMap{{tk::name, "x"}})}) {
            QVERIFY(pvtest::putBytes(file, junk));
            EmailSettings again(&m_alerter);
            again.load();
            QCOMPARE(namesOf(again), QStringList{kDefaultTemplateName});
            QCOMPARE(plist::readFile(file).toList().size(), 1);
            QCOMPARE(pvtest::fileBytes(file + ".unreadable"), junk);
        }

        // A stored list is taken as it is, even an empty one.
        QVERIFY(plist::writeFile(file, QVariantList()));
        EmailSettings empty(&m_alerter);
        empty.load();
        QVERIFY(empty.items().isEmpty());
        QCOMPARE(empty.getEmailTemplate("any"), QVariantMap());

        QVERIFY(plist::writeFile(file, QVariantList{named("Clients", 7), "not a template",
                                                    EmailSettings::defaultItem()}));
        EmailSettings two(&m_alerter);
        two.load();
        QCOMPARE(namesOf(two), QStringList({"Clients", kDefaultTemplateName}));
        QCOMPARE(recInt(two.getEmailTemplate("Clients"), tk::id), 7);
        // Exact names only; anything else falls back to the default template.
        QCOMPARE(recString(two.getEmailTemplate("clients"), tk::name), kDefaultTemplateName);
    }

    void addingRemovingAndRenaming()
    {
        EmailSettings s(&m_alerter);
        QVariantMap source = named("Email Template 1", 11);
        source.insert(tk::emails,
                      QVariantList{QVariantMap{{rk::to, rk::kindTo}, {rk::email, "x@y.z"}}});
        s.setItems({EmailSettings::defaultItem(), source, named("Email Template 3", 33)});
        const QVariantMap added = s.items().at(s.addRow(1)).toMap();
        QCOMPARE(recString(added, tk::name), "Email Template 2");
        QCOMPARE(recString(added, tk::emailFromField), "a@b.c");
        QVERIFY(added.value(tk::emails).toList().isEmpty());
        // Without a selection the copy is of a default template.
        const QVariantMap next = s.items().at(s.addRow(-1)).toMap();
        QCOMPARE(recString(next, tk::name), "Email Template 4");
        QCOMPARE(recString(next, tk::emailPortField), "25");
        const QSet<qint64> ids{0, 11, 33, recInt(added, tk::id), recInt(next, tk::id)};
        QCOMPARE(ids.size(), 5);

        // Removing and renaming.
        s.setItems({EmailSettings::defaultItem(), named("A", 5), named("B", 6)});
        QCOMPARE(s.removeRow(0), -1);
        QCOMPARE(m_alerter.alerts.value(0).title, "Default template cannot be deleted");
        // An empty name would tell destinations the template was deleted.
        for (const char *bad : {"A", " "})
            QVERIFY(!s.renameRow(2, bad));
        QVERIFY(!s.renameRow(2, kDefaultTemplateName));
        QVERIFY(!s.renameRow(0, "Mine"));
        QCOMPARE(m_alerter.alerts.value(1).title, "Item with this name already exists");
        QVERIFY(s.renameRow(2, "B"));
        QVERIFY(s.changes().isEmpty());

        QVERIFY(s.renameRow(2, "Press"));
        QVERIFY(s.renameRow(1, "Clients"));
        QCOMPARE(s.removeRow(1), 0);
        QCOMPARE(namesOf(s), QStringList({kDefaultTemplateName, "Press"}));
        QCOMPARE(s.changes(), (QHash<QString, QString>{{"5", QString()}, {"6", "Press"}}));
    }

    // Only menu tokens are coloured; a token goes where the user works.
    void tokens()
    {
        const std::pair<const char *, Spans> spans[] = {
            {"Hi <file name>!", {{3, 11}}},                   // any case
            {"a <b <HOST> c", {{5, 6}}},                      // a stray "<"
            {"<MM><DD>", {{0, 4}, {4, 4}}},                   // adjacent
            {"<LINK TO ITEM'S ENCLOSING FOLDER>", {{0, 33}}}, // a quote inside
            {"<NOPE> <FILENAME> <HOST", {}}};                 // unknown, unclosed
        for (const auto &[text, expected] : spans)
            QCOMPARE(tokenSpans(text), expected);
        QCOMPARE(tokenTarget(kTokenFieldTag, true, true), TokenTarget::TokenField);
        QCOMPARE(tokenTarget(kTokenFieldTag, false, true), TokenTarget::Body);
        QCOMPARE(tokenTarget(kFromTag, true, false), TokenTarget::None);

        EmailSettings s(&m_alerter);
        QVERIFY(!s.mayLeaveField(tk::emailSubjectField, QString()));
        QCOMPARE(m_alerter.alerts.value(0).title, "This field cannot be empty");
        QVERIFY(s.mayLeaveField(tk::emailSMTPField, QString()));
        QCOMPARE(m_alerter.alerts.size(), 1);
    }

    void passwordsAndRoundTrip()
    {
        EmailSettings s(&m_alerter);
        s.load();
        const int row = s.addRow(0);
        QVERIFY(s.setSMTPPassword(row, "p@ss word"));
        QVERIFY(!s.setField(row, tk::name, "sneaky"));
        QVERIFY(!recString(s.items().at(row).toMap(), tk::emailPasswordField).contains("p@ss"));
        QVERIFY(s.writeEmailTemplates());

        EmailSettings again(&m_alerter);
        again.load();
        QCOMPARE(again.items(), s.items());
        QCOMPARE(EmailSettings::smtpPassword(again.items().at(row).toMap()), "p@ss word");
    }
};

QTEST_GUILESS_MAIN(TestEmailSettings)
#include "test_emailsettings.moc"
