#pragma once

#include "core/alerter.h"
#include "transfer/deliverytransfer.h"

#include <QVariantMap>

#include <memory>

namespace pv {

class EntryRun;

/// One delivery of the entry in processing: the DeliveryTransfer and the
/// receiver that hands its reports to that entry. Once
/// released, reports are dropped and the object is destroyed on a later turn
/// of the event loop, never from inside one of its own reports.
class TransferRun final : public DeliveryTransferReceiver {
public:
    TransferRun(EntryRun *entry, const QVariantMap &parameters);
    ~TransferRun() override;
    Q_DISABLE_COPY_MOVE(TransferRun)

    /// See DeliveryTransfer::setPlacedHandler; before start().
    void setPlacedHandler(std::function<void()> handler, const QVariantMap &record)
    {
        m_transfer->setPlacedHandler(std::move(handler), record);
    }
    void start();
    /// Abandons the running operation; nothing is reported afterwards.
    void cancel();
    /// Detaches the run and destroys it once the event loop is back.
    static void release(std::unique_ptr<TransferRun> run);

    void receive(const TransferReport &report) override;
    void cancelProcess() override;

private:
    EntryRun *m_entry;
    bool m_detached = false;
    std::unique_ptr<DeliveryTransfer> m_transfer;
};

/// The target of a delivery: the URL with the escaped credentials in it, the
/// same for the log (password masked) and for the record. A target with a
/// refusal text must not be used: its URL would not reach the service.
struct TargetURL {
    QString url;
    QString masked;
    QString noPassword;
    QString port;
    QString refusal;
};
/// Builds the target URL of a destination; path is the remote folder, the
/// bucket, or for a local disk the folder the item goes into.
[[nodiscard]] TargetURL composeTargetURL(const QVariantMap &dest, const QString &password,
                                         const QString &path);

/// The alert refusing the bucket of an "Amazon S3" or "Google Storage"
/// destination (missing, or with characters a bucket cannot have); an empty
/// title when the bucket will do or the type has none.
[[nodiscard]] Alert bucketRefusal(const QString &destType, const QString &bucket);

/// The URL scheme shown for a destination type.
[[nodiscard]] QString displaySchemeFor(const QString &destType);
/// The port a destination of this type uses when it names none: the one the
/// destination editor fills in when the type is chosen.
[[nodiscard]] QString defaultPortFor(const QString &destType);
/// False for bucket names with capitals, white space, marks, symbols or periods.
[[nodiscard]] bool validBucketName(const QString &bucket);

} // namespace pv
