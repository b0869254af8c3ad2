#pragma once

#include "remote/remotemanager.h"

#include <QPointer>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>

class QThread;

namespace pv {

/// Whether a name a server returned may stand for an entry of the folder
/// being worked on: not empty, not "." or "..", and without "/". Any other
/// name would make a path outside that folder.
[[nodiscard]] bool isSafeEntryName(const QString &name);
/// The listing without the entries whose names are not safe.
[[nodiscard]] RemoteListing withoutUnsafeNames(const RemoteListing &listing);

/// Lists the top folder of a destination in the background and reports how it
/// goes: List when it starts, then Done (listing and URL) or Error (headline
/// and detail). Nothing is reported once cancelled.
///
/// parameters: "url" (the destination URL with login) and "dest" (the
/// destination record, for the controller's settings).
class ListingOperation final : private FileTransferControllerDelegate {
public:
    using Report = std::function<void(const RemoteStatus &)>;
    using ControllerFactory =
        std::function<std::unique_ptr<FileTransferController>(const QUrl &url)>;

    /// report runs on context's thread; when the operation runs on another
    /// thread, the operation waits for each report to be handled.
    ListingOperation(QObject *context, QVariantMap parameters, Report report);
    ~ListingOperation() override;
    Q_DISABLE_COPY_MOVE(ListingOperation)

    /// Replaces the controller factory (FileTransferController's by default).
    void setControllerFactory(ControllerFactory factory) { m_factory = std::move(factory); }

    /// The listing, synchronous on the calling thread.
    void startProcess();
    /// Runs startProcess on a worker thread of its own; the thread ends and
    /// deletes itself afterwards. The operation must outlive it: hold it
    /// through the shared pointer.
    static void start(const std::shared_ptr<ListingOperation> &operation);
    /// Stops the listing: a running controller operation is abandoned and no
    /// report follows, not even one already under way. Any thread.
    void cancel() { m_cancelled.store(true); }
    [[nodiscard]] bool isCancelled() const { return m_cancelled.load(); }

private:
    bool fileTransferControllerShouldAbort(FileTransferController *controller) override;
    void listNow();
    void report(const RemoteStatus &status);

    QPointer<QObject> m_context;
    QVariantMap m_parameters;
    Report m_report;
    ControllerFactory m_factory;
    std::atomic<bool> m_cancelled{false};
};

} // namespace pv
