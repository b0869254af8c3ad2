#include "transfer/s3endpoint.h"

#include "core/settings.h"
#include "transfer/s3signature.h"

namespace pv::s3 {

namespace {

QString serviceHostSetting(const char *key, const char *absent)
{
    const QString host = settings::stringValue(QLatin1String(key)).trimmed();
    return host.isEmpty() ? QLatin1String(absent) : host.toLower();
}

} // namespace

Provider Provider::amazonS3()
{
    return forServiceHost(serviceHostSetting("S3ServiceHost", "s3.amazonaws.com"));
}

Provider Provider::googleStorage()
{
    return forServiceHost(serviceHostSetting("GoogleStorageServiceHost", "storage.googleapis.com"));
}

Provider Provider::forServiceHost(const QString &serviceHost)
{
    const qsizetype dot = serviceHost.indexOf(QLatin1Char('.'));
    return {serviceHost, dot < 0 ? QLatin1Char('.') + serviceHost : serviceHost.mid(dot)};
}

bool Provider::isBareServiceHost(const QString &host) const
{
    return host.compare(serviceHost, Qt::CaseInsensitive) == 0;
}

bool Provider::isServiceHostOrBelow(const QString &host) const
{
    return isBareServiceHost(host) ||
           host.endsWith(QLatin1Char('.') + serviceHost, Qt::CaseInsensitive);
}

bool Provider::acceptsBaseURL(const QUrl &url) const
{
    if (!isServiceHostOrBelow(url.host()) || url.port() != -1 || url.userName().isEmpty() ||
        url.password().isEmpty())
        return false;
    return isBareServiceHost(url.host()) || url.path().isEmpty();
}

QUrl Provider::requestURL(const QUrl &baseURL, const QString &absolutePath,
                          const QString &query) const
{
    QString host = baseURL.host();
    QString path = absolutePath;
    if (isBareServiceHost(host) && path != QLatin1String("/")) {
        const qsizetype slash = path.indexOf(QLatin1Char('/'), 1);
        const QString bucket = path.mid(1, slash < 0 ? -1 : slash - 1);
        host = bucket + QLatin1Char('.') + serviceHost;
        path = slash < 0 ? QString() : path.mid(slash);
    }
    // Credentials only ever go to the provider's own hosts.
    if (!host.endsWith(domainSuffix, Qt::CaseInsensitive))
        return QUrl();
    QByteArray text = baseURL.scheme().toLatin1() + "://" + host.toUtf8() + uriEncode(path, true);
    if (!query.isEmpty())
        text += '?' + query.toUtf8();
    const QUrl url = QUrl::fromEncoded(text, QUrl::StrictMode);
    // A bucket name that is no host label must not turn into another address.
    if (!url.isValid() || url.host().compare(host, Qt::CaseInsensitive) != 0)
        return QUrl();
    return url;
}

} // namespace pv::s3
