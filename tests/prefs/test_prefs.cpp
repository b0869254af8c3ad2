#include "core/settings.h"
#include "prefs/prefs.h"

#include <QTemporaryDir>
#include <QtTest>

using pv::Prefs;

class TestPrefs : public QObject {
    Q_OBJECT

    QTemporaryDir m_config;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    }

    void codeBasedFolderName()
    {
        QCOMPARE(Prefs::nameOfCodeBasedDeliveryHotFolder(),
                 QStringLiteral("<Code-Based Delivery>"));
        pv::settings::setValue(pv::keys::useUnderscoresInCodeBasedDeliveryFolderName, true);
        QCOMPARE(Prefs::nameOfCodeBasedDeliveryHotFolder(),
                 QStringLiteral("_Code-Based Delivery_"));
        pv::settings::setValue(pv::keys::useUnderscoresInCodeBasedDeliveryFolderName,
                               QStringLiteral("0"));
        QCOMPARE(Prefs::nameOfCodeBasedDeliveryHotFolder(),
                 QStringLiteral("<Code-Based Delivery>"));
    }

    // Existing destination files hold values scrambled with the fixed
    // passphrase; this one was made by `openssl enc -bf -e -md md5 -a`.
    void passwordsUseTheFixedPassphrase()
    {
        QCOMPARE(Prefs::decryptPassword(
                     QStringLiteral("U2FsdGVkX18u2UxQgwkx0c34N1ssextit32tGJJF6b7DhymJjC+FaA==\n")),
                 QStringLiteral("sixteen chars!!!"));
        const QString stored = Prefs::encryptPassword(QStringLiteral("s3cret"));
        QVERIFY(stored.startsWith(QStringLiteral("U2FsdGVkX1")));
        QCOMPARE(Prefs::decryptPassword(stored), QStringLiteral("s3cret"));
    }
};

QTEST_GUILESS_MAIN(TestPrefs)
#include "test_prefs.moc"
