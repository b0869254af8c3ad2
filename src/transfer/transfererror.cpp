#include "transfer/transfererror.h"

#include <cstring>

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
