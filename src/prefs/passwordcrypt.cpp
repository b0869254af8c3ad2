#include "prefs/passwordcrypt.h"

#include <QByteArray>
#include <QStringDecoder>

#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <memory>
#include <optional>

namespace pv {

namespace {

constexpr char kMagic[] = "Salted__";
constexpr int kMagicLen = 8;
constexpr int kSaltLen = 8;
constexpr int kLineLen = 64;
constexpr int kBlockLen = 8; // Blowfish

// Blowfish lives only in OpenSSL 3's legacy provider. Loading it into the
// process-wide context would change what every other user of libcrypto sees,
// so it goes into a context of our own, set up once (thread-safe static).
struct Crypto {
    OSSL_LIB_CTX *ctx = nullptr;
    OSSL_PROVIDER *legacy = nullptr;
    OSSL_PROVIDER *standard = nullptr;
    EVP_CIPHER *blowfish = nullptr;
    EVP_MD *md5 = nullptr;
    EVP_MD *sha256 = nullptr;

    Crypto()
    {
        ctx = OSSL_LIB_CTX_new();
        if (!ctx || !(legacy = OSSL_PROVIDER_load(ctx, "legacy")) ||
            !(standard = OSSL_PROVIDER_load(ctx, "default")))
            return;
        blowfish = EVP_CIPHER_fetch(ctx, "BF-CBC", nullptr);
        md5 = EVP_MD_fetch(ctx, "MD5", nullptr);
        sha256 = EVP_MD_fetch(ctx, "SHA256", nullptr);
    }
    ~Crypto()
    {
        EVP_MD_free(sha256);
        EVP_MD_free(md5);
        EVP_CIPHER_free(blowfish);
        if (standard)
            OSSL_PROVIDER_unload(standard);
        if (legacy)
            OSSL_PROVIDER_unload(legacy);
        OSSL_LIB_CTX_free(ctx);
    }
    Crypto(const Crypto &) = delete;
    Crypto &operator=(const Crypto &) = delete;

    static const Crypto &instance()
    {
        static const Crypto c;
        return c;
    }
};

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// One pass of Blowfish-CBC with key and IV derived from passphrase and salt
// the way `openssl enc` does without -iter/-pbkdf2. Returns false on any
// failure, including bad padding on decryption.
bool runCipher(const EVP_MD *md, const QByteArray &pass, const unsigned char *salt,
               const QByteArray &in, bool encrypt, QByteArray &out)
{
    const Crypto &c = Crypto::instance();
    if (!c.blowfish || !md)
        return false;
    unsigned char key[EVP_MAX_KEY_LENGTH];
    unsigned char iv[EVP_MAX_IV_LENGTH];
    if (EVP_BytesToKey(c.blowfish, md, salt,
                       reinterpret_cast<const unsigned char *>(pass.constData()), int(pass.size()),
                       1, key, iv) <= 0)
        return false;
    CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx || !EVP_CipherInit_ex2(ctx.get(), c.blowfish, key, iv, encrypt ? 1 : 0, nullptr))
        return false;
    out.resize(in.size() + EVP_CIPHER_get_block_size(c.blowfish));
    auto *dst = reinterpret_cast<unsigned char *>(out.data());
    int n = 0;
    int tail = 0;
    if (!EVP_CipherUpdate(ctx.get(), dst, &n,
                          reinterpret_cast<const unsigned char *>(in.constData()),
                          int(in.size())) ||
        !EVP_CipherFinal_ex(ctx.get(), dst + n, &tail))
        return false;
    out.truncate(n + tail);
    return true;
}

// Clear text from one derivation digest, or nothing when decryption fails or
// the result is not valid UTF-8 (the sign of a wrong digest).
std::optional<QString> decryptWith(const EVP_MD *md, const QByteArray &pass, const QByteArray &raw)
{
    const auto *salt = reinterpret_cast<const unsigned char *>(raw.constData() + kMagicLen);
    QByteArray clear;
    if (!runCipher(md, pass, salt, raw.mid(kMagicLen + kSaltLen), false, clear))
        return std::nullopt;
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = utf8.decode(clear);
    if (utf8.hasError())
        return std::nullopt;
    return text;
}

} // namespace

QString PasswordCrypt::encrypt(const QString &clear) const
{
    if (clear.isEmpty())
        return {};
    unsigned char salt[kSaltLen];
    if (RAND_bytes_ex(Crypto::instance().ctx, salt, kSaltLen, 0) <= 0)
        return {};
    QByteArray cipher;
    if (!runCipher(Crypto::instance().md5, m_key.toUtf8(), salt, clear.toUtf8(), true, cipher))
        return {};
    const QByteArray b64 = (QByteArray(kMagic, kMagicLen) +
                            QByteArray(reinterpret_cast<const char *>(salt), kSaltLen) + cipher)
                               .toBase64();
    // Same layout as the command-line tool: 64-character lines, each ended by "\n".
    QString out;
    for (qsizetype i = 0; i < b64.size(); i += kLineLen)
        out += QString::fromLatin1(b64.mid(i, kLineLen)) + u'\n';
    return out;
}

QString PasswordCrypt::decrypt(const QString &stored) const
{
    if (stored.isEmpty())
        return {};
    // Line breaks (or their absence) and surrounding blanks do not matter.
    QByteArray b64 = stored.toLatin1();
    b64.replace('\n', QByteArray()).replace('\r', QByteArray());
    const auto decoded =
        QByteArray::fromBase64Encoding(b64.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray &raw = decoded.decoded;
    const qsizetype cipherLen = raw.size() - kMagicLen - kSaltLen;
    if (!decoded || cipherLen <= 0 || cipherLen % kBlockLen != 0 || !raw.startsWith(kMagic))
        return {};
    const Crypto &c = Crypto::instance();
    const QByteArray pass = m_key.toUtf8();
    // Values are scrambled with MD5; older ones may have used SHA-256.
    auto text = decryptWith(c.md5, pass, raw);
    if (!text)
        text = decryptWith(c.sha256, pass, raw);
    return text.value_or(QString());
}

} // namespace pv
