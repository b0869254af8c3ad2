#include "app/userinterface.h"

#include "app/queueitem.h"
#include "core/log.h"
#include "core/record.h"
#include "core/urlescape.h"
#include "transfer/deliverytransfer.h"

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

void HeadlessUserInterface::entryFinished(const QString &summary)
{
    // Without windows the log is where a failed delivery is noticed.
    if (summary.startsWith(QLatin1String("NOT DELIVERED")))
        error(lcPipeline(), summary);
    else if (summary.startsWith(QLatin1String("Delivered with errors")))
        warn(lcPipeline(), summary);
    else
        log(summary);
}

QString deliverySummary(const QVariantMap &record, const QString &password)
{
    const QString success = recString(record, qk::success);
    const QString outcome = success == QLatin1String("ok") ? QStringLiteral("Delivered")
                            : success == QLatin1String("modified")
                                ? QStringLiteral("Delivered with errors")
                                : QStringLiteral("NOT DELIVERED");
    QString line = QStringLiteral("%1: %2 -> %3")
                       .arg(outcome, recString(record, qk::path), recString(record, qk::dest));
    const QString location = recString(record, qk::location);
    if (!location.isEmpty() && location != QLatin1String("-"))
        line += QStringLiteral(" (%1)").arg(location);
    QStringList reasons;
    for (const QString &part :
         recString(record, qk::error).split(QStringLiteral("\n--------------------\n"))) {
        if (!part.trimmed().isEmpty())
            reasons.append(part.simplified());
    }
    if (!reasons.isEmpty())
        line += QStringLiteral(": ") + reasons.join(QStringLiteral(" / "));
    QStringList words = line.split(QLatin1Char(' '));
    for (QString &word : words) {
        if (word.contains(QLatin1String("://")))
            word = maskedURL(word);
    }
    line = words.join(QLatin1Char(' '));
    if (!password.isEmpty()) {
        line.replace(password, QStringLiteral("<passw>"));
        line.replace(addMissingPercentEscapes(password), QStringLiteral("<passw>"));
    }
    return line;
}

} // namespace pv
