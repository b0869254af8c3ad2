#include "core/paths.h"

#include "core/log.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
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

QString instanceId()
{
    return QString::fromLatin1(
        QCryptographicHash::hash(QDir(appDir()).absolutePath().toUtf8(), QCryptographicHash::Sha1)
            .toHex()
            .left(16));
}

QString scratchDir()
{
    if (!g_scratchOverride.isEmpty())
        return g_scratchOverride;
    // One per data folder: start-up empties it, which must never touch the
    // packages of an instance that works for another data folder.
    return QDir::tempPath() + QStringLiteral("/Parcelvane-") + QString::number(getuid()) +
           QLatin1Char('-') + instanceId();
}

QString appFile(const QString &name)
{
    return appDir() + QLatin1Char('/') + name;
}

namespace {
constexpr QFile::Permissions kPrivateFolder =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
} // namespace

bool createAppFolders()
{
    bool ok = true;
    for (const QString &dir : {makerDir(), appDir(), destinationsDir()}) {
        // Created private from the start: the lists hold transfer URLs with
        // passwords, so there must be no moment when others can read them.
        if (!QDir(dir).exists())
            ok = QDir().mkpath(QFileInfo(dir).absolutePath()) &&
                 QDir().mkdir(dir, kPrivateFolder) && ok;
    }
    g_scratchOverride.clear();
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
    ok = QFile::setPermissions(scratch, kPrivateFolder) && ok;
    return ok;
}

void tightenDataFolder()
{
    const auto tighten = [](const QString &path) {
        constexpr QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner |
                                             QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser |
                                             QFile::ExeUser;
        const QFile::Permissions now = QFile::permissions(path);
        if (!(now & ~owner))
            return;
        if (QFile::setPermissions(path, now & owner))
            log(lcCore(), QStringLiteral("Made private to its owner: %1").arg(path));
        else
            log(lcCore(), QStringLiteral("Could not make private to its owner: %1").arg(path));
    };
    tighten(makerDir());
    tighten(appDir());
    QDirIterator it(appDir(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        if (!info.isSymLink())
            tighten(info.filePath());
    }
}

void emptyScratchDir()
{
    QDir scratch(scratchDir());
    for (const QFileInfo &info : scratch.entryInfoList(QDir::AllEntries | QDir::Hidden |
                                                       QDir::System | QDir::NoDotAndDotDot)) {
        const bool removed = info.isDir() && !info.isSymLink()
                                 ? QDir(info.filePath()).removeRecursively()
                                 : QFile::remove(info.filePath());
        log(lcCore(), (removed ? QStringLiteral("Removed %1 left in the scratch folder.")
                               : QStringLiteral("Could not remove %1 left in the scratch folder."))
                          .arg(info.filePath()));
    }
}

} // namespace pv::paths
