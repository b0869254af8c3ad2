#pragma once

#include "transfer/transfererror.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>

class QThread;

namespace pv {

/// Removes delivered items again once their destination's expiry period has
/// passed. Each delivery to a destination with expiry on leaves one record
/// file in recordFolder(); a scan at start and every hour deletes what is due:
/// local items on a worker thread, server items through a RemoteManager run.
/// Deletions that fail are retried for three days, then given up with an
/// entry in the error log. Lives on the main thread; every method must be
/// called there.
class FileExpiry final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileExpiry)

public:
    /// Record keys.
    static inline const QString kExpiryDate = QStringLiteral("expiryDate");
    static inline const QString kDestination = QStringLiteral("destination");
    static inline const QString kPassword = QStringLiteral("password");
    static inline const QString kBaseURLNoPassword = QStringLiteral("baseURLNoPassword");
    static inline const QString kDateFolderPath = QStringLiteral("dateFolderPath");
    static inline const QString kName = QStringLiteral("name");
    static inline const QString kIsFolder = QStringLiteral("isFolder");
    static inline const QString kKind = QStringLiteral("kind");
    static inline const QString kDataFilePath = QStringLiteral("dataFilePath");
    /// Added to a server record for the deletion run: its folder's URL with login.
    static inline const QString kBaseURL = QStringLiteral("baseURL");

    /// How long failed deletions are retried after the expiry instant.
    static constexpr qint64 kRetrySeconds = 259200;
    static constexpr int kScanIntervalMs = 3600 * 1000;

    explicit FileExpiry(QObject *parent = nullptr);
    ~FileExpiry() override;

    /// The folder of the record files ("FileExpiry.qsdtb" in the data folder).
    [[nodiscard]] static QString recordFolder();
    /// The record file name of an expiry instant: seconds since 2001-01-01
    /// UTC with six decimals, then ".xml"; names sort by expiry numerically.
    [[nodiscard]] static QString recordFileName(const QDateTime &expiry);
    /// The URL of a server record's folder with login: the stored password
    /// unscrambled and escaped in place of "<password>", then the date folders.
    [[nodiscard]] static QString composeBaseURL(const QVariantMap &record);

    /// Where status texts go ("" clears the status).
    void setStatusHandler(std::function<void(const QString &)> handler)
    {
        m_status = std::move(handler);
    }
    /// Where deletions given up are reported (the error log).
    void setErrorHandler(std::function<void(const QString &)> handler)
    {
        m_errorLog = std::move(handler);
    }
    /// The destination record of a name, so a server deletion connects with
    /// the destination's own settings (certificate checks among them).
    void setDestinationLookup(std::function<QVariantMap(const QString &)> lookup)
    {
        m_destination = std::move(lookup);
    }

    /// Records a delivered item (a QueueItem record with finalName,
    /// baseURLNoPassword, dateFolderPath, isFolder) of dest. Nothing is
    /// recorded for 0 days or without a base URL. Returns the record file's
    /// path, or "" when nothing was recorded.
    QString writeExpiryDataForFile(const QVariantMap &item, const QVariantMap &dest);

    /// Creates the record folder, scans now and then every hour.
    void startWatching();
    /// One scan. While the deletion run of an earlier scan is still busy the
    /// scan is left to the next hour.
    void scanExpiryData();
    /// Whether a deletion run is busy.
    [[nodiscard]] bool isBusy() const { return m_busy; }

Q_SIGNALS:
    /// A scan has ended: nothing was due, or its deletion run is over.
    void scanEnded();

private:
    class Relay;
    friend class Relay;

    void setStatus(const QString &text);
    void startLocalRun(const QList<QVariantMap> &records);
    void localItemStarted(const QVariantMap &record);
    void localItemEnded(const QVariantMap &record, bool removed, const QString &error);
    void startServerRun();
    void itemStarted(const QVariantMap &record);
    void fileExpiryError(const TransferError &error, const QVariantMap &record);
    void allFilesAreDone();
    void endRun();

    std::function<void(const QString &)> m_status;
    std::function<void(const QString &)> m_errorLog;
    std::function<QVariantMap(const QString &)> m_destination;
    QTimer m_timer;
    bool m_busy = false;
    /// Server records of the run, and the record files to remove when it ends.
    QList<QVariantMap> m_serverItems;
    QStringList m_xmlFilesToDelete;
    std::unique_ptr<QThread> m_worker;
    std::atomic<bool> m_stopping{false};
};

} // namespace pv
