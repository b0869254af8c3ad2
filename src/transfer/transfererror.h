#pragma once

#include <QList>
#include <QString>
#include <QVariant>

#include <utility>

namespace pv {

/// Error domains used by the transfer engine.
inline constexpr const char *kFileTransferControllerErrorDomain = "FileTransferController";
inline constexpr const char *kHTTPErrorDomain = "http";
inline constexpr const char *kCurlErrorDomain = "curl";
inline constexpr const char *kLibssh2ErrorDomain = "libssh2";
inline constexpr const char *kDataStreamErrorDomain = "DataStreamErrorDomain";
/// File-system errors as the system reports them: the code is the errno value
/// and the description its strerror text.
inline constexpr const char *kPOSIXErrorDomain = "POSIX";

/// User-info keys.
inline constexpr const char *kNSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char *kNSFilePathKey = "NSFilePath";

/// An error value: domain, code, description and ordered user information.
/// The order of userInfo matters: the delivery transfer builds its detail text
/// from the first entry.
struct TransferError {
    QString domain;
    qint64 code = 0;
    QString description;
    QList<std::pair<QString, QVariant>> userInfo;

    /// True for a default-constructed value (no error recorded).
    [[nodiscard]] bool isNull() const { return domain.isEmpty() && code == 0; }

    /// The text shown to the user.
    [[nodiscard]] const QString &localizedDescription() const { return description; }

    /// One line for logs and failure details: the description, followed by the
    /// first user-info entry that adds to it as " (key: value)".
    [[nodiscard]] QString reasonText() const;

    /// Key of the first user-info entry, or an empty string when there is none.
    [[nodiscard]] QString firstUserInfoKey() const;
    /// Value stored under key, or an invalid QVariant.
    [[nodiscard]] QVariant userInfoValue(const QString &key) const;

    /// An error whose only user information is its description under
    /// "NSLocalizedDescription" (the usual form of the engine's own errors).
    [[nodiscard]] static TransferError withDescription(const QString &domain, qint64 code,
                                                       const QString &description);
    /// Shorthand for withDescription("FileTransferController", -1, description).
    [[nodiscard]] static TransferError fileTransfer(const QString &description);
    /// A file-system error for errno value err on path: domain "POSIX", the
    /// errno as code, strerror as description, user info {"NSFilePath": path}.
    [[nodiscard]] static TransferError posix(int err, const QString &path);
};

} // namespace pv
