#pragma once

#include <QList>
#include <QString>
#include <QVariant>

#include <optional>
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
/// Host-name lookups: the code is getaddrinfo's EAI_ value.
inline constexpr const char *kNetDBErrorDomain = "netdb";

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

    /// Whether the destination's host name did not resolve (domain "netdb",
    /// EAI_NONAME), which a proxy setting of the computer usually explains.
    [[nodiscard]] bool isNameLookupFailure() const;
    /// Turns this error into a failed lookup of host (keeping its texts) when
    /// host is a name, not an address, that does not resolve. Asks the
    /// resolver: worker threads only, and only once something has failed.
    void markIfHostUnknown(const QString &host);

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

/// The outcome of one controller operation: success, with the operation's value
/// where it has one, or failure with its error. An operation abandoned because
/// its delegate asked to abort fails with a null error (and sent no message).
template <class T = void> class [[nodiscard]] TransferResult {
public:
    TransferResult(T value) : m_value(std::move(value)) {}
    TransferResult(TransferError error) : m_error(std::move(error)) {}
    [[nodiscard]] static TransferResult abandoned() { return TransferError(); }

    [[nodiscard]] bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }
    /// The failure's error; null on success and for an abandoned operation.
    [[nodiscard]] const TransferError &error() const { return m_error; }
    [[nodiscard]] bool isAbandoned() const { return !ok() && m_error.isNull(); }
    /// The value; only on success.
    [[nodiscard]] T &value() { return *m_value; }
    [[nodiscard]] const T &value() const { return *m_value; }
    [[nodiscard]] T value_or(T fallback) const { return ok() ? *m_value : std::move(fallback); }
    T &operator*() { return *m_value; }
    const T &operator*() const { return *m_value; }
    T *operator->() { return &*m_value; }
    const T *operator->() const { return &*m_value; }

private:
    std::optional<T> m_value;
    TransferError m_error;
};

/// The result of an operation without a value.
template <> class [[nodiscard]] TransferResult<void> {
public:
    TransferResult() = default;
    TransferResult(TransferError error) : m_ok(false), m_error(std::move(error)) {}
    [[nodiscard]] static TransferResult abandoned() { return TransferError(); }

    [[nodiscard]] bool ok() const { return m_ok; }
    explicit operator bool() const { return m_ok; }
    [[nodiscard]] const TransferError &error() const { return m_error; }
    [[nodiscard]] bool isAbandoned() const { return !m_ok && m_error.isNull(); }

private:
    bool m_ok = true;
    TransferError m_error;
};

using Result = TransferResult<>;

} // namespace pv
