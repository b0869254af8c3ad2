#include "transfer/transfererror.h"

#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>

namespace pv {

QString TransferError::firstUserInfoKey() const
{
    return userInfo.isEmpty() ? QString() : userInfo.first().first;
}

QString TransferError::reasonText() const
{
    for (const auto &[key, value] : userInfo) {
        const QString text = value.toString();
        if (key != QLatin1String(kNSLocalizedDescriptionKey) && !text.isEmpty() &&
            text != description)
            return QStringLiteral("%1 (%2: %3)").arg(description, key, text);
    }
    return description;
}

QVariant TransferError::userInfoValue(const QString &key) const
{
    for (const auto &entry : userInfo) {
        if (entry.first == key)
            return entry.second;
    }
    return {};
}

bool TransferError::isNameLookupFailure() const
{
    return domain == QLatin1String(kNetDBErrorDomain) && code == EAI_NONAME;
}

void TransferError::markIfHostUnknown(const QString &host)
{
    const QByteArray name = host.toUtf8();
    unsigned char address[sizeof(in6_addr)];
    if (name.isEmpty() || ::inet_pton(AF_INET, name.constData(), address) == 1 ||
        ::inet_pton(AF_INET6, name.constData(), address) == 1)
        return;
    addrinfo *found = nullptr;
    const int rc = ::getaddrinfo(name.constData(), nullptr, nullptr, &found);
    if (found)
        ::freeaddrinfo(found);
    if (rc != EAI_NONAME)
        return;
    domain = QString::fromLatin1(kNetDBErrorDomain);
    code = EAI_NONAME;
}

TransferError TransferError::withDescription(const QString &domain, qint64 code,
                                             const QString &description)
{
    TransferError e;
    e.domain = domain;
    e.code = code;
    e.description = description;
    e.userInfo.append({QString::fromLatin1(kNSLocalizedDescriptionKey), description});
    return e;
}

TransferError TransferError::fileTransfer(const QString &description)
{
    return withDescription(QString::fromLatin1(kFileTransferControllerErrorDomain), -1,
                           description);
}

TransferError TransferError::posix(int err, const QString &path)
{
    TransferError e;
    e.domain = QString::fromLatin1(kPOSIXErrorDomain);
    e.code = err;
    e.description = QString::fromLocal8Bit(std::strerror(err));
    if (!path.isEmpty())
        e.userInfo.append({QString::fromLatin1(kNSFilePathKey), path});
    return e;
}

} // namespace pv
