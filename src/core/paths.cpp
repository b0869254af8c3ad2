#include "core/paths.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <unistd.h>

namespace pv::paths {

QString makerDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Tallowin");
}

QString appDir()
{
    return makerDir() + QStringLiteral("/Parcelvane");
}

QString destinationsDir()
{
    return appDir() + QStringLiteral("/Destinations");
}

QString scratchDir()
{
    return QDir::tempPath() + QStringLiteral("/Parcelvane-") + QString::number(getuid());
}

QString appFile(const QString &name)
{
    return appDir() + QLatin1Char('/') + name;
}

bool createAppFolders()
{
    bool ok = true;
    for (const QString &dir : {makerDir(), appDir(), destinationsDir()}) {
        if (!QDir(dir).exists())
            ok = QDir().mkpath(dir) && ok;
    }
    const QString scratch = scratchDir();
    if (!QDir(scratch).exists())
        ok = QDir().mkdir(scratch) && ok;
    // Packages with the user's data are built here: nobody else may look in.
    ok = QFile::setPermissions(scratch, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
         ok;
    return ok;
}

} // namespace pv::paths
