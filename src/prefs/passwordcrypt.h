#pragma once

#include <QString>

namespace pv {

/// Scrambles stored passwords in OpenSSL's salted "enc" text form
/// (Blowfish-CBC, key and IV from the passphrase and a random 8-byte salt by
/// the single-iteration MD5 derivation, Base64 in 64-character lines), so the
/// text stays readable by `openssl enc -bf -d -md md5 -a`.
class PasswordCrypt final {
public:
    explicit PasswordCrypt(QString key) : m_key(std::move(key)) {}

    /// Empty in gives empty out; a failure gives "".
    [[nodiscard]] QString encrypt(const QString &clear) const;
    /// Empty in gives empty out; tries MD5 derivation, then SHA-256 when the
    /// MD5 result is not valid UTF-8; a failure gives "".
    [[nodiscard]] QString decrypt(const QString &stored) const;

private:
    QString m_key;
};

} // namespace pv
