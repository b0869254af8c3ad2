#include "transfer/urlparameters.h"

namespace pv {

namespace {

// Characters RFC 3986 allows in a path segment besides the unreserved ones;
// everything else (space, "%", "#", "?", non-ASCII ...) is escaped so a name
// can never turn into a query or fragment.
const QByteArray kPathKeep = "!$&'()*+,;=:@/";
const QByteArray kQueryKeep = "!$&'()*+,;=:@/?";
// For user and password additionally ":@/?" are escaped.
const QByteArray kUserInfoKeep = "!$&'()*+,;=";

QString escaped(const QString &text, const QByteArray &keep)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text, keep));
}

QString standardisedPath(const QString &path)
{
    // Remove "." and ".." segments the way URL standardisation does, keeping
    // empty segments ("//") untouched.
    const QStringList parts = path.split(QLatin1Char('/'));
    QStringList out;
    for (int i = 0; i < parts.size(); ++i) {
        const QString &p = parts.at(i);
        const bool last = i == parts.size() - 1;
        if (p == QLatin1String(".")) {
            if (last)
                out.append(QString());
            continue;
        }
        if (p == QLatin1String("..")) {
            if (out.size() > 1)
                out.removeLast();
            if (last)
                out.append(QString());
            continue;
        }
        out.append(p);
    }
    return out.join(QLatin1Char('/'));
}

} // namespace

QUrl urlWithScheme(const QString &scheme, const QString &user, const QString &password,
                   const QString &host, int port, const QString &path, const QString &query)
{
    if (scheme.isEmpty() || host.isEmpty())
        return {};
    QString text = scheme + QLatin1String("://");
    if (!user.isEmpty()) {
        text += escaped(user, kUserInfoKeep);
        if (!password.isEmpty())
            text += QLatin1Char(':') + escaped(password, kUserInfoKeep);
        text += QLatin1Char('@');
    }
    text += host;
    if (port != 0)
        text += QLatin1Char(':') + QString::number(port);
    if (!path.isEmpty()) {
        const QString rooted = path.startsWith(QLatin1Char('/')) ? path : QLatin1Char('/') + path;
        text += escaped(standardisedPath(rooted), kPathKeep);
    }
    if (!query.isEmpty())
        text += QLatin1Char('?') + escaped(query, kQueryKeep);
    return QUrl(text, QUrl::StrictMode);
}

QUrl urlWithScheme(const QString &scheme, const QString &host, const QString &path)
{
    return urlWithScheme(scheme, QString(), QString(), host, 0, path);
}

QString passwordByReplacingPercentEscapes(const QUrl &url)
{
    const QString p = url.password(QUrl::FullyDecoded);
    return p.isEmpty() ? QString() : p;
}

QString passwordByReplacingPercentEscapesSFTP(const QUrl &url)
{
    const QString p = url.password(QUrl::FullyDecoded);
    return p.isNull() ? QStringLiteral("") : p;
}

QString userByReplacingPercentEscapes(const QUrl &url)
{
    return url.userName(QUrl::FullyDecoded);
}

QString queryByReplacingPercentEscapes(const QUrl &url)
{
    const QString q = url.query(QUrl::FullyDecoded);
    return q.isEmpty() ? QString() : q;
}

QUrl urlByDeletingPassword(const QUrl &url)
{
    QUrl u;
    u.setScheme(url.scheme());
    u.setUserName(url.userName(QUrl::FullyEncoded), QUrl::StrictMode);
    u.setHost(url.host());
    u.setPort(url.port());
    u.setPath(url.path(QUrl::FullyEncoded), QUrl::StrictMode);
    return u;
}

QUrl urlByDeletingUserAndPassword(const QUrl &url)
{
    QUrl u;
    u.setScheme(url.scheme());
    u.setHost(url.host());
    u.setPort(url.port());
    u.setPath(url.path(QUrl::FullyEncoded), QUrl::StrictMode);
    return u;
}

} // namespace pv
