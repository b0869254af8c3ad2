#include "prefs/passwordcrypt.h"

// Placeholder until the libcrypto implementation lands.
namespace pv {
QString PasswordCrypt::encrypt(const QString &) const { return {}; }
QString PasswordCrypt::decrypt(const QString &) const { return {}; }
} // namespace pv
