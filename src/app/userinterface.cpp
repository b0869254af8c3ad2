#include "app/userinterface.h"

#include "core/log.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace pv {

namespace {
QStringList soundDirs()
{
    return {QStringLiteral("/usr/share/sounds/freedesktop/stereo"),
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                QStringLiteral("/sounds")};
}
} // namespace

QStringList soundNames()
{
    QStringList names;
    for (const QString &dir : soundDirs()) {
        for (const QFileInfo &fi : QDir(dir).entryInfoList(QDir::Files, QDir::Name)) {
            const QString name = fi.completeBaseName();
            if (!names.contains(name))
                names.append(name);
        }
    }
    return names;
}

void playSoundNamed(const QString &name)
{
    QString file;
    for (const QString &dir : soundDirs()) {
        for (const QFileInfo &fi : QDir(dir).entryInfoList(QDir::Files, QDir::Name)) {
            if (fi.completeBaseName() == name) {
                file = fi.absoluteFilePath();
                break;
            }
        }
        if (!file.isEmpty())
            break;
    }
    if (file.isEmpty())
        return;
    for (const char *player : {"pw-play", "paplay", "aplay"}) {
        const QString exe = QStandardPaths::findExecutable(QLatin1String(player));
        if (!exe.isEmpty()) {
            QProcess::startDetached(exe, {file});
            return;
        }
    }
}

void HeadlessUserInterface::selectDestination(const QString &name)
{
    log(QStringLiteral("Destination file dropped: %1").arg(name));
}

void HeadlessUserInterface::playSound(const QString &name)
{
    playSoundNamed(name);
}

} // namespace pv
