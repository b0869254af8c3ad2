#include "expiry/fileexpiry.h"

#include "core/fileops.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/plist.h"
#include "core/record.h"
#include "core/urlescape.h"
#include "prefs/prefs.h"
#include "remote/remotemanager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QThread>
#include <QTimeZone>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <limits>

Q_LOGGING_CATEGORY(lcExpiry, "pv.expiry", QtInfoMsg)

namespace pv {

namespace {

const QString kItemDoesNotExist = QStringLiteral("Item doesn't exist");

QDateTime referenceDate()
{
    return QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
}

/// The expiry instant a record file name stands for; NaN for other names.
double nameValue(const QString &fileName)
{
    if (!fileName.endsWith(QLatin1String(".xml")))
        return std::numeric_limits<double>::quiet_NaN();
    bool ok = false;
    const double v = fileName.chopped(4).toDouble(&ok);
    return ok ? v : std::numeric_limits<double>::quiet_NaN();
}

/// Record file names by expiry, earliest first; names that are no number
/// come last.
void sortByExpiry(QStringList &names)
{
    std::stable_sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const double va = nameValue(a), vb = nameValue(b);
        if (std::isnan(va) || std::isnan(vb))
            return !std::isnan(va) && std::isnan(vb);
        return va < vb;
    });
}

bool isLocal(const QVariantMap &record)
{
    return recString(record, FileExpiry::kBaseURLNoPassword).contains(QLatin1String("file://"));
}

bool sameItem(const QVariantMap &a, const QVariantMap &b)
{
    return recString(a, FileExpiry::kName) == recString(b, FileExpiry::kName) &&
           recString(a, FileExpiry::kDateFolderPath) == recString(b, FileExpiry::kDateFolderPath) &&
           recString(a, FileExpiry::kBaseURLNoPassword) ==
               recString(b, FileExpiry::kBaseURLNoPassword);
}

/// Where a local record's item is: the folder of its file URL and its name.
QString localItemPath(const QVariantMap &record)
{
    const QUrl url(recString(record, FileExpiry::kBaseURLNoPassword));
    QString folder = url.path(QUrl::FullyDecoded);
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder + QLatin1Char('/') + recString(record, FileExpiry::kName);
}

/// Why a record cannot be acted on, or "" when it can. A record names what is
/// deleted, so one that could reach beyond its item is refused.
QString recordFault(const QVariant &parsed, const QString &parseError)
{
    if (!parsed.isValid())
        return parseError.isEmpty() ? QStringLiteral("not a property list") : parseError;
    if (parsed.typeId() != QMetaType::QVariantMap)
        return QStringLiteral("not a dictionary");
    const QVariantMap r = parsed.toMap();
    if (!r.value(FileExpiry::kExpiryDate).toDateTime().isValid())
        return QStringLiteral("no expiry date");
    const QString name = recString(r, FileExpiry::kName);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
        name.contains(QLatin1Char('/')))
        return QStringLiteral("no usable item name");
    if (recString(r, FileExpiry::kBaseURLNoPassword).isEmpty())
        return QStringLiteral("no base URL");
    return {};
}

/// The user information of a failure as text, one "key: value" per line.
QString userInfoText(const TransferError &error)
{
    QStringList lines;
    for (const auto &[key, value] : error.userInfo)
        lines.append(QStringLiteral("%1: %2").arg(key, value.toString()));
    if (lines.isEmpty())
        lines.append(error.description);
    return lines.join(QLatin1Char('\n'));
}

} // namespace

/// Receives a RemoteManager run's calls for a FileExpiry. It outlives a
/// FileExpiry destroyed during the run (the run still calls it) and goes
/// when the run has ended.
class FileExpiry::Relay final : public QObject, public RemoteManagerClient {
public:
    explicit Relay(FileExpiry *owner) : m_owner(owner) {}
    QObject *remoteManagerContext() override { return this; }
    void expiryItemStarted(const QVariantMap &row) override
    {
        if (m_owner)
            m_owner->itemStarted(row);
    }
    void fileExpiryError(const TransferError &error, const QVariantMap &row) override
    {
        if (m_owner)
            m_owner->fileExpiryError(error, row);
    }
    void allFilesAreDone() override
    {
        if (m_owner)
            m_owner->allFilesAreDone();
        deleteLater();
    }

private:
    QPointer<FileExpiry> m_owner;
};

FileExpiry::FileExpiry(QObject *parent) : QObject(parent)
{
    m_timer.setInterval(kScanIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &FileExpiry::scanExpiryData);
}

FileExpiry::~FileExpiry()
{
    if (m_worker) {
        m_stopping = true;
        m_worker->wait();
    }
}

QString FileExpiry::recordFolder()
{
    return paths::appFile(QStringLiteral("FileExpiry.qsdtb"));
}

QString FileExpiry::recordFileName(const QDateTime &expiry)
{
    return QString::asprintf("%f.xml", double(referenceDate().msecsTo(expiry)) / 1000.0);
}

QString FileExpiry::composeBaseURL(const QVariantMap &record)
{
    const QString stored = recString(record, kPassword);
    const QString password =
        stored.isEmpty() ? QString() : addMissingPercentEscapes(Prefs::decryptPassword(stored));
    QString url = recString(record, kBaseURLNoPassword);
    url.replace(QLatin1String("<password>"), password);
    const QString dateFolders = recString(record, kDateFolderPath);
    if (!dateFolders.isEmpty())
        url += QLatin1Char('/') + dateFolders;
    return url;
}

void FileExpiry::setStatus(const QString &text)
{
    if (m_status)
        m_status(text);
}

QString FileExpiry::writeExpiryDataForFile(const QVariantMap &item, const QVariantMap &dest)
{
    const qint64 days = recInt(dest, QStringLiteral("QFExpiryDays"));
    const QString base = recString(item, kBaseURLNoPassword);
    if (days <= 0 || base.isEmpty())
        return {};
    const QString folder = recordFolder();
    if (!QDir().mkpath(folder)) {
        log(lcExpiry(),
            QStringLiteral("---> writeExpiryDataForFile: cannot create %1").arg(folder));
        return {};
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // Far beyond any lifetime, and no overflow of the instant.
    const QDateTime expiry =
        QDateTime::currentDateTimeUtc().addSecs(qMin<qint64>(days, 1000000) * 86400);
    // Two deliveries within the same microsecond must not share a record.
    const double secs = double(referenceDate().msecsTo(expiry)) / 1000.0;
    QString path = folder + QLatin1Char('/') + recordFileName(expiry);
    for (int n = 1; QFileInfo::exists(path); ++n)
        path = folder + QLatin1Char('/') + QString::asprintf("%f.xml", secs + n * 1e-6);

    const QString name = recString(item, QStringLiteral("finalName")).isEmpty()
                             ? recString(item, QStringLiteral("name"))
                             : recString(item, QStringLiteral("finalName"));
    const bool isFolder = recBool(item, kIsFolder);
    const QString ext = QFileInfo(name).suffix().toLower();
    const bool packaged = ext == QLatin1String("zip") || ext == QLatin1String("dmg");
    const QVariantMap record{
        {kExpiryDate, expiry},
        {kDestination, recString(dest, QStringLiteral("name"))},
        {kPassword, recString(dest, QStringLiteral("sitePasswordField"))},
        {kBaseURLNoPassword, base},
        {kDateFolderPath, recString(item, kDateFolderPath)},
        {kName, name},
        {kIsFolder, isFolder},
        {kKind, isFolder && !packaged ? QStringLiteral("folder") : QStringLiteral("file")},
        {kDataFilePath, path},
    };
    QString error;
    if (!plist::writeFile(path, record, &error)) {
        log(lcExpiry(), QStringLiteral("---> writeExpiryDataForFile: %1: %2").arg(path, error));
        return {};
    }
    return path;
}

void FileExpiry::startWatching()
{
    const QString folder = recordFolder();
    if (QDir().mkpath(folder))
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_timer.start();
    scanExpiryData();
}

void FileExpiry::scanExpiryData()
{
    // One deletion run at a time: a run longer than the interval must not
    // meet a second one working on the same records.
    if (m_busy) {
        log(lcExpiry(), QStringLiteral("--> scanExpiryData: the last run is still busy"));
        return;
    }
    const QDir folder(recordFolder());
    QStringList names = folder.entryList({QStringLiteral("*.xml")}, QDir::Files);
    if (names.isEmpty()) {
        Q_EMIT scanEnded();
        return;
    }
    sortByExpiry(names);
    setStatus(QStringLiteral("Checking for expired files..."));
    m_xmlFilesToDelete.clear();
    m_serverItems.clear();

    // All records first: a superseding record may come after the due ones.
    QMap<QString, QVariantMap> records;
    for (const QString &name : std::as_const(names)) {
        const QString path = folder.filePath(name);
        QString parseError;
        const QVariant parsed = plist::readFile(path, &parseError);
        const QString fault = recordFault(parsed, parseError);
        if (!fault.isEmpty()) {
            log(lcExpiry(),
                QStringLiteral("---> scanExpiryData: record %1 left alone: %2").arg(path, fault));
            continue;
        }
        QVariantMap record = parsed.toMap();
        // The record's file is the one it was read from, whatever it says.
        record.insert(kDataFilePath, path);
        records.insert(name, record);
    }

    const QDateTime now = QDateTime::currentDateTimeUtc();
    QList<QVariantMap> local;
    for (const QString &name : std::as_const(names)) {
        if (!records.contains(name))
            continue;
        QVariantMap record = records.take(name);
        if (record.value(kExpiryDate).toDateTime() >= now)
            break;
        // Delivered again to the same place: the later record decides.
        const bool superseded =
            std::any_of(records.cbegin(), records.cend(),
                        [&](const QVariantMap &r) { return sameItem(r, record); });
        if (superseded)
            continue;
        if (isLocal(record)) {
            local.append(record);
        } else {
            record.insert(kBaseURL, composeBaseURL(record));
            if (m_destination)
                record.insert(QStringLiteral("dest"),
                              m_destination(recString(record, kDestination)));
            m_serverItems.append(record);
            m_xmlFilesToDelete.append(recString(record, kDataFilePath));
        }
    }

    if (local.isEmpty() && m_serverItems.isEmpty()) {
        setStatus(QString());
        Q_EMIT scanEnded();
        return;
    }
    m_busy = true;
    if (local.isEmpty())
        startServerRun();
    else
        startLocalRun(local);
}

void FileExpiry::startLocalRun(const QList<QVariantMap> &records)
{
    // Removing a large folder takes long: the main thread only does the
    // bookkeeping of each record.
    m_stopping = false;
    m_worker.reset(QThread::create([this, records] {
        for (const QVariantMap &record : records) {
            if (m_stopping)
                return;
            const QString path = localItemPath(record);
            if (!pathExists(path)) {
                QMetaObject::invokeMethod(
                    this, [this, record] { localItemEnded(record, true, QString()); },
                    Qt::QueuedConnection);
                continue;
            }
            QMetaObject::invokeMethod(
                this, [this, record] { localItemStarted(record); }, Qt::QueuedConnection);
            QString error;
            const bool removed = removePath(path, &error);
            QMetaObject::invokeMethod(
                this, [this, record, removed, error] { localItemEnded(record, removed, error); },
                Qt::QueuedConnection);
        }
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_worker)
                    m_worker->wait();
                m_worker.reset();
                if (m_serverItems.isEmpty())
                    endRun();
                else
                    startServerRun();
            },
            Qt::QueuedConnection);
    }));
    m_worker->start();
}

void FileExpiry::localItemStarted(const QVariantMap &record)
{
    itemStarted(record);
}

void FileExpiry::localItemEnded(const QVariantMap &record, bool removed, const QString &error)
{
    const QString recordPath = recString(record, kDataFilePath);
    if (removed) {
        if (!QFile::remove(recordPath))
            log(lcExpiry(),
                QStringLiteral("---> deleteLocalFile: cannot remove %1").arg(recordPath));
        return;
    }
    fileExpiryError(TransferError::fileTransfer(error), record);
}

void FileExpiry::startServerRun()
{
    QVariantList rows;
    for (const QVariantMap &record : std::as_const(m_serverItems))
        rows.append(record);
    m_serverItems.clear();
    auto *relay = new Relay(this);
    RemoteManager::start(std::make_unique<RemoteManager>(
                             relay, QVariantMap{{QStringLiteral("selectedItems"), rows}}),
                         RemoteManager::Operation::DeleteItems);
}

void FileExpiry::itemStarted(const QVariantMap &record)
{
    setStatus(QStringLiteral("Deleting expired item \"%1\" from destination \"%2\"...")
                  .arg(recString(record, kName), recString(record, kDestination)));
}

void FileExpiry::fileExpiryError(const TransferError &error, const QVariantMap &record)
{
    if (error.userInfoValue(QStringLiteral("error")).toString() == kItemDoesNotExist)
        return; // its record goes at the end of the run
    const QString recordPath = recString(record, kDataFilePath);
    const QDateTime expiry = record.value(kExpiryDate).toDateTime();
    if (expiry.secsTo(QDateTime::currentDateTimeUtc()) < kRetrySeconds) {
        m_xmlFilesToDelete.removeAll(recordPath);
        return;
    }
    if (m_errorLog)
        m_errorLog(QStringLiteral("The expired item \"%1\" could not be deleted from destination "
                                  "\"%2\". All attempts to delete it within last 3 days have "
                                  "failed. Please delete it manually, if needed. Last error "
                                  "was:\n\n%3")
                       .arg(recString(record, kName), recString(record, kDestination),
                            userInfoText(error)));
    m_xmlFilesToDelete.removeAll(recordPath);
    if (!QFile::remove(recordPath))
        log(lcExpiry(), QStringLiteral("---> fileExpiryError: cannot remove %1").arg(recordPath));
}

void FileExpiry::allFilesAreDone()
{
    for (const QString &path : std::as_const(m_xmlFilesToDelete)) {
        if (!QFile::remove(path))
            log(lcExpiry(), QStringLiteral("---> allFilesAreDone: cannot remove %1").arg(path));
    }
    m_xmlFilesToDelete.clear();
    endRun();
}

void FileExpiry::endRun()
{
    m_busy = false;
    setStatus(QString());
    Q_EMIT scanEnded();
}

} // namespace pv
