#pragma once

#include <QString>
#include <QUrl>

namespace pv::s3 {

/// The endpoint of one storage provider: its service host (the settings
/// "S3ServiceHost" and "GoogleStorageServiceHost", so S3-compatible services
/// can be reached) and its domain suffix, the service host without its first
/// label, with a leading dot (".amazonaws.com").
struct Provider {
    QString serviceHost;
    QString domainSuffix;

    /// Amazon S3 as the settings name it ("s3.amazonaws.com" when unset).
    [[nodiscard]] static Provider amazonS3();
    /// Google Storage as the settings name it ("storage.googleapis.com" when unset).
    [[nodiscard]] static Provider googleStorage();
    /// The provider of serviceHost.
    [[nodiscard]] static Provider forServiceHost(const QString &serviceHost);

    /// True for the service host itself and for any host below it.
    [[nodiscard]] bool isServiceHostOrBelow(const QString &host) const;
    /// True for the bare service host (an account, not a bucket).
    [[nodiscard]] bool isBareServiceHost(const QString &host) const;
    /// Whether a controller may be built for url: the host is the service host or
    /// a bucket below it, no port, a user and a password, and no path unless the
    /// host is the bare service host.
    [[nodiscard]] bool acceptsBaseURL(const QUrl &url) const;
    /// The request URL of a remote path: scheme, host, the path with keys encoded
    /// as the providers sign them, and query (taken as it is), without
    /// credentials or port. With the bare service host, the first component of
    /// absolutePath is the bucket and becomes the host's first label. Invalid
    /// when the host is not the provider's.
    [[nodiscard]] QUrl requestURL(const QUrl &baseURL, const QString &absolutePath,
                                  const QString &query) const;
};

} // namespace pv::s3
