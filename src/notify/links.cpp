#include "notify/links.h"

#include "core/record.h"
#include "core/urlescape.h"
#include "destinations/destination.h"
#include "notify/notifykeys.h"

#include <QUrl>

namespace pv {

namespace {

const QString kLoginRequired = QStringLiteral("\n\n(login will be required)");

/// The transfer URL in readable form, the base of the share and server links:
/// `login` ("scheme://user:password@", empty without a log-on) keeps the user
/// name and password escaped as URL user info, since an "@", ":" or "/" in a
/// password would otherwise end it early and break the link; `rest` is the
/// host and path with their escapes decoded.
struct TransferBase {
    QString login;
    QString rest;
    [[nodiscard]] QString spacesEscaped() const
    {
        return login + QString(rest).replace(QLatin1Char(' '), QStringLiteral("%20"));
    }
};

TransferBase transferBase(const DeliveryContext &ctx)
{
    const QString &url = ctx.ftpURLEsc;
    TransferBase base;
    QString rest = url;
    const qsizetype schemeEnd = url.indexOf(QStringLiteral("://"));
    if (schemeEnd >= 0) {
        const qsizetype start = schemeEnd + 3;
        qsizetype end = url.indexOf(QLatin1Char('/'), start);
        if (end < 0)
            end = url.size();
        const qsizetype at = url.lastIndexOf(QLatin1Char('@'), end - 1);
        if (at >= start) {
            const auto escaped = [](QStringView part) {
                return addMissingPercentEscapes(QUrl::fromPercentEncoding(part.toUtf8()));
            };
            const QStringView userInfo = QStringView(url).mid(start, at - start);
            const qsizetype colon = userInfo.indexOf(QLatin1Char(':'));
            base.login =
                url.left(start) + escaped(userInfo.left(colon < 0 ? userInfo.size() : colon));
            if (colon >= 0)
                base.login += QLatin1Char(':') + escaped(userInfo.mid(colon + 1));
            base.login += QLatin1Char('@');
            rest = url.mid(at + 1);
        }
    }
    base.rest = QUrl::fromPercentEncoding(rest.toUtf8());
    base.rest.remove(QStringLiteral("///"));
    return base;
}

QString appendComponent(QString link, const QString &component)
{
    if (!link.endsWith(QLatin1Char('/')))
        link += QLatin1Char('/');
    return link + component;
}

/// UTF-8 escaping of the characters a URL cannot hold, then the five that
/// would cut a link short in a mail reader.
QString escapeLink(const QString &link)
{
    return addMissingPercentEscapesForURL(link);
}

bool isServerType(const QString &t)
{
    return t.contains(QLatin1String("FTP")) || t.contains(QLatin1String("AFP")) ||
           t.contains(QLatin1String("SMB"));
}

QString webLink(const QString &t, const QString &host, bool *matched)
{
    *matched = true;
    if (t.contains(QLatin1String("Secure WebDAV")))
        return QStringLiteral("https://") + host + kLoginRequired;
    if (t.contains(QLatin1String("WebDAV")) || t.contains(QLatin1String("Amazon")))
        return QStringLiteral("http://") + host + kLoginRequired;
    *matched = false;
    return QString();
}

} // namespace

QString linkDestType(const DeliveryContext &ctx)
{
    const QString t = recString(ctx.destination, dk::QFDestType);
    if (!t.isEmpty())
        return t;
    return ctx.ftpFlag ? kFtpServer : kLocalDisk;
}

QString composeLocalURL(const DeliveryContext &ctx)
{
    return QUrl::fromLocalFile(ctx.finalLocalFolder + QLatin1Char('/') + ctx.finalName)
        .toString(QUrl::FullyEncoded);
}

QString composeDownloadURL(const DeliveryContext &ctx)
{
    const QString t = linkDestType(ctx);
    const QVariantMap &dest = ctx.destination;
    if (isServerType(t)) {
        TransferBase item = transferBase(ctx);
        if (!ctx.dateFolderPath.isEmpty())
            item.rest += QLatin1Char('/') + ctx.dateFolderPath;
        item.rest += QLatin1Char('/') + ctx.finalName;
        if (t.contains(QLatin1String("FTP"))) {
            if (recBool(dest, ndk::QFUseHTTP)) {
                const QString web = recString(dest, ndk::QFHttpUrl);
                if (web.isEmpty())
                    return QString();
                // The date folder is appended even when empty, which gives a
                // bare web address its trailing slash.
                return escapeLink(
                    appendComponent(appendComponent(web, ctx.dateFolderPath), ctx.finalName));
            }
            QString link = item.login + escapeLink(item.rest);
            if (t.contains(QLatin1String("SFTP")))
                link.replace(QStringLiteral("ssh://"), QStringLiteral("sftp://"));
            return link;
        }
        return item.spacesEscaped();
    }
    bool matched = false;
    const QString web = webLink(t, recString(dest, dk::hostField), &matched);
    if (matched)
        return web;
    if (t.contains(kLocalDisk))
        return composeLocalURL(ctx);
    return QString();
}

QString composeFolderURL(const DeliveryContext &ctx)
{
    const QString t = linkDestType(ctx);
    const QVariantMap &dest = ctx.destination;
    if (isServerType(t)) {
        TransferBase folder = transferBase(ctx);
        if (!ctx.dateFolderPath.isEmpty())
            folder.rest += QLatin1Char('/') + ctx.dateFolderPath;
        QString link = folder.spacesEscaped();
        if (t.contains(QLatin1String("SFTP")))
            link.replace(QStringLiteral("ssh://"), QStringLiteral("sftp://"));
        return link;
    }
    if (t.contains(QLatin1String("MobileMe"))) {
        const QString user = recString(dest, dk::userField);
        if (recString(dest, dk::pathField).contains(QLatin1String("Public")))
            return QStringLiteral("http://public.me.com/") + user;
        return QStringLiteral("https://idisk.me.com/") + user + kLoginRequired;
    }
    bool matched = false;
    const QString web = webLink(t, recString(dest, dk::hostField), &matched);
    if (matched)
        return web;
    if (t.contains(kLocalDisk)) {
        // The folder's own URL: cutting the item's name out of the item's URL
        // misses names that escaping changed and cuts folders that hold the
        // name.
        QString folder = QUrl::fromLocalFile(ctx.finalLocalFolder).toString(QUrl::FullyEncoded);
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        return folder;
    }
    return QString();
}

QVariantMap setDownloadURLInItemDict(const DeliveryContext &ctx)
{
    return {{nqk::downloadURLForUser, composeDownloadURL(ctx)}};
}

} // namespace pv
