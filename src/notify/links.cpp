#include "notify/links.h"

#include "core/record.h"
#include "core/urlescape.h"
#include "destinations/destination.h"
#include "notify/notifykeys.h"

#include <QUrl>

namespace pv {

namespace {

const QString kLoginRequired = QStringLiteral("\n\n(login will be required)");

/// The transfer URL in readable form, the base of the share and server links.
QString transferBase(const DeliveryContext &ctx)
{
    QString base = QUrl::fromPercentEncoding(ctx.ftpURLEsc.toUtf8());
    base.remove(QStringLiteral("///"));
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
        const QString base = transferBase(ctx);
        const QString item =
            ctx.dateFolderPath.isEmpty()
                ? base + QLatin1Char('/') + ctx.finalName
                : base + QLatin1Char('/') + ctx.dateFolderPath + QLatin1Char('/') + ctx.finalName;
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
            QString link = escapeLink(item);
            if (t.contains(QLatin1String("SFTP")))
                link.replace(QStringLiteral("ssh://"), QStringLiteral("sftp://"));
            return link;
        }
        return QString(item).replace(QLatin1Char(' '), QStringLiteral("%20"));
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
        QString link = transferBase(ctx);
        if (!ctx.dateFolderPath.isEmpty())
            link += QLatin1Char('/') + ctx.dateFolderPath;
        if (t.contains(QLatin1String("SFTP")))
            link.replace(QStringLiteral("ssh://"), QStringLiteral("sftp://"));
        return link.replace(QLatin1Char(' '), QStringLiteral("%20"));
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
