#include "core/paths.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cstdlib>
#include <sys/stat.h>
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

namespace {
// Set when the usual scratch folder is not safe to use (someone else's, or
// a link): this process then works in a fresh private folder of its own.
QString g_scratchOverride;
} // namespace

QString scratchDir()
{
    if (!g_scratchOverride.isEmpty())
        return g_scratchOverride;
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
    QString scratch = scratchDir();
    if (!QDir(scratch).exists())
        QDir().mkdir(scratch);
    struct stat st {};
    if (::lstat(QFile::encodeName(scratch).constData(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != getuid()) {
        QByteArray tmpl = QFile::encodeName(scratch + QStringLiteral("-XXXXXX"));
        if (!::mkdtemp(tmpl.data()))
            return false;
        g_scratchOverride = QFile::decodeName(tmpl);
        scratch = g_scratchOverride;
    }
    // Packages with the user's data are built here: nobody else may look in.
    ok = QFile::setPermissions(scratch, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
         ok;
    return ok;
}

} // namespace pv::paths
