#pragma once

#include "common/serverenv.h"
#include "prefs/prefs.h"

#include <QDir>
#include <QVariantMap>

namespace pvtest {

/// A destination that delivers to folder below the test Samba share
/// (tests/servers/samba.sh); port 0 is the server's own.
inline QVariantMap smbDest(const QMap<QString, QString> &env, const QString &name,
                           const QString &folder, int port = 0)
{
    return {{"name", name},
            {"QFDestType", "SMB Server"},
            {"type", 0},
            {"hostField", env.value("SMB_HOST")},
            {"QFPort", QString::number(port ? port : env.value("SMB_PORT").toInt())},
            {"pathField", env.value("SMB_SHARE") + "/" + folder},
            {"userField", env.value("SMB_USER")},
            {"sitePasswordField", pv::Prefs::encryptPassword(env.value("SMB_PASSWORD"))},
            {"sendFTPBtn", 1},
            {"sendEmailBtn", 0},
            {"overwriteBtn", 0}};
}

/// Creates folders below the share's folder that the share's user may write into.
inline bool makeShareFolders(const QMap<QString, QString> &env, const QString &relative)
{
    QString path = env.value("SMB_SHARE_DIR");
    for (const QString &part : relative.split('/', Qt::SkipEmptyParts)) {
        path += "/" + part;
        if (!QDir().mkpath(path) || !QFile::setPermissions(path, QFile::Permissions(0x7777)))
            return false;
    }
    return true;
}

} // namespace pvtest
