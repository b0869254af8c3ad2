#include "prefs/prefs.h"

#include "core/settings.h"
#include "prefs/passwordcrypt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <limits>

namespace pv {

namespace {
// Every stored password of the application is scrambled with this passphrase;
// existing files depend on it.
const QString kPassphrase = QStringLiteral("305mqtwzy82");
const QString kUnlimited = QStringLiteral("Unlimited");

PrefsValues::Outcome loadOutcome(const QString &move, const QString &folder,
                                 const QString &subfolders, const QString &play,
                                 const QString &sound, const QStringList &sounds)
{
    PrefsValues::Outcome o;
    o.move = int(settings::intValue(move));
    o.folder = settings::stringValue(folder);
    o.subfolders = settings::boolValue(subfolders);
    o.play = settings::boolValue(play);
    o.sound = settings::stringValue(sound);
    if (!sounds.contains(o.sound))
        o.sound = sounds.value(0);
    return o;
}
} // namespace

const QStringList &Prefs::recentItemsChoices()
{
    static const QStringList choices{
        QStringLiteral("10"),  QStringLiteral("20"),  QStringLiteral("50"),   QStringLiteral("100"),
        QStringLiteral("200"), QStringLiteral("500"), QStringLiteral("1000"), kUnlimited};
    return choices;
}

PrefsValues Prefs::loadPrefs(const QStringList &sounds)
{
    PrefsValues v;
    const qint64 interval = settings::intValue(keys::watchInterval, 5);
    v.watchInterval = interval < 6 ? 5 : interval;
    v.throttleUploadsSpeed = std::max<qint64>(settings::intValue(keys::throttleUploadsSpeed), 0);
    v.throttleUploads = v.throttleUploadsSpeed > 0 && settings::boolValue(keys::throttleUploads);
    v.throttleDownloadsSpeed =
        std::max<qint64>(settings::intValue(keys::throttleDownloadsSpeed), 0);
    v.throttleDownloads =
        v.throttleDownloadsSpeed > 0 && settings::boolValue(keys::throttleDownloads);
    v.success =
        loadOutcome(keys::moveSuccessful, keys::successFolder, keys::createSuccessSubfolders,
                    keys::playSuccBtn, keys::soundSuccPopup, sounds);
    v.errors = loadOutcome(keys::moveErrors, keys::errorFolder, keys::createErrorSubfolders,
                           keys::playeErrBtn, keys::soundErrPopup, sounds);
    // Absent means no limit, which is what the unlimited entry stands for.
    const QString recent = settings::stringValue(keys::recentItems).trimmed();
    v.recentItems = recent.isEmpty()                                       ? kUnlimited
                    : recent.compare(kUnlimited, Qt::CaseInsensitive) == 0 ? QStringLiteral("50")
                                                                           : recent;
    v.enableDestCodes = settings::boolValue(keys::enableDestCodes);
    v.codeBasedHotfolder = settings::stringValue(keys::codeBasedHotfolder);
    return v;
}

QString Prefs::okProblem(const PrefsValues &values)
{
    if (values.success.move == 1 && values.success.folder.isEmpty())
        return QStringLiteral("Please specify a success folder");
    if (values.errors.move == 1 && values.errors.folder.isEmpty())
        return QStringLiteral("Please specify an error folder");
    return {};
}

qint64 Prefs::writePrefs(PrefsValues &v)
{
    const auto set = [](const QString &key, const QVariant &value) {
        settings::setValue(key, value);
    };
    v.watchInterval = std::max<qint64>(v.watchInterval, 5);
    set(keys::watchInterval, v.watchInterval);
    set(keys::throttleUploads, int(v.throttleUploads));
    set(keys::throttleUploadsSpeed, v.throttleUploadsSpeed);
    set(keys::throttleDownloads, int(v.throttleDownloads));
    set(keys::throttleDownloadsSpeed, v.throttleDownloadsSpeed);
    set(keys::moveSuccessful, v.success.move);
    set(keys::successFolder, v.success.folder);
    set(keys::createSuccessSubfolders, int(v.success.subfolders));
    set(keys::playSuccBtn, int(v.success.play));
    set(keys::soundSuccPopup, v.success.sound);
    set(keys::moveErrors, v.errors.move);
    set(keys::errorFolder, v.errors.folder);
    set(keys::createErrorSubfolders, int(v.errors.subfolders));
    set(keys::playeErrBtn, int(v.errors.play));
    set(keys::soundErrPopup, v.errors.sound);
    set(keys::recentItems, v.recentItems);
    set(keys::enableDestCodes, int(v.enableDestCodes));
    set(keys::codeBasedHotfolder, v.codeBasedHotfolder);
    bool number = false;
    const qint64 limit = v.recentItems.toLongLong(&number);
    return number && limit > 0 ? limit : -1;
}

QString Prefs::numericFieldText(const QString &typed)
{
    // The leading number counts, as when text is read as an integer:
    // "12a" is 12, "abc" is 0; huge values stop at the largest integer.
    static const QRegularExpression leading(QStringLiteral("^\\s*([+-]?)(\\d+)"));
    const QRegularExpressionMatch m = leading.match(typed);
    if (!m.hasMatch() || m.captured(1) == QLatin1String("-"))
        return QStringLiteral("0");
    bool ok = false;
    const int n = m.captured(2).toInt(&ok);
    return QString::number(ok ? n : std::numeric_limits<int>::max());
}

QString Prefs::removeHotfolder(const QString &path)
{
    const QFileInfo fi(path);
    const QString failed = QStringLiteral("Could not delete folder:\n\n%1").arg(path);
    // The path comes from the settings file, which can be edited by hand: only
    // a folder named as a code-based hot folder is emptied, and a link is
    // removed without touching what it points to.
    if (fi.isSymLink())
        return QFile::remove(path) ? QString() : failed;
    if (!fi.exists())
        return {};
    if (fi.fileName() != QLatin1String("<Code-Based Delivery>") &&
        fi.fileName() != QLatin1String("_Code-Based Delivery_"))
        return failed + QStringLiteral("\n\nIt is not a code-based hot folder.");
    return QDir(path).removeRecursively() ? QString() : failed;
}

QString Prefs::nameOfCodeBasedDeliveryHotFolder()
{
    return settings::boolValue(keys::useUnderscoresInCodeBasedDeliveryFolderName)
               ? QStringLiteral("_Code-Based Delivery_")
               : QStringLiteral("<Code-Based Delivery>");
}

QString Prefs::encryptPassword(const QString &clear)
{
    return PasswordCrypt(kPassphrase).encrypt(clear);
}

QString Prefs::decryptPassword(const QString &stored)
{
    return PasswordCrypt(kPassphrase).decrypt(stored);
}

} // namespace pv
