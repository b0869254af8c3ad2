#include "prefs/prefs.h"

#include "core/settings.h"
#include "prefs/passwordcrypt.h"

namespace pv {

namespace {
// Every stored password of the application is scrambled with this passphrase;
// existing files depend on it.
const QString kPassphrase = QStringLiteral("305mqtwzy82");
} // namespace

QString Prefs::nameOfCodeBasedDeliveryHotFolder()
{
    return settings::boolValue(keys::useUnderscoresInCodeBasedDeliveryFolderName)
               ? QStringLiteral("_Code-Based Delivery_")
               : QStringLiteral("<Code-Based Delivery>");
}

QString Prefs::encryptPassword(const QString &clear)
{
    return PasswordCrypt(kPassphrase).encrypt(clear);
}

QString Prefs::decryptPassword(const QString &stored)
{
    return PasswordCrypt(kPassphrase).decrypt(stored);
}

} // namespace pv
