#pragma once

#include "transfer/filetransfercontroller.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

namespace pv {

/// One report of a background listing or browser operation to the main thread.
struct RemoteStatus {
    enum class Type {
        // A listing (ListingOperation).
        List,
        Done,
        Error,
        // Browser operations (RemoteManager).
        Update,
        End,
        EndFolder,
        EndRefresh,
    };
    Type type = Type::Update;
    QString status;       ///< progress text (Update)
    bool success = false; ///< result (End, EndFolder, EndRefresh)
    RemoteListing list;   ///< the listing (Done)
    QString url;          ///< URL of the listed folder (Done)
    QString error;        ///< headline of a failure (Error)
    QString errorInfo;    ///< detail of a failure (Error)
};

/// What a RemoteManager run reports to: the browser table, or the file expiry.
/// Every call arrives on the thread the client's context object lives on (the
/// main thread) while the worker waits for it to return.
class RemoteManagerClient {
public:
    virtual ~RemoteManagerClient() = default;
    /// The object whose thread receives the calls.
    [[nodiscard]] virtual QObject *remoteManagerContext() = 0;
    /// Browser mode: Update/End/EndFolder/EndRefresh reports.
    virtual void readOutput(const RemoteStatus &status) { (void)status; }
    /// Browser mode: a fresh listing of the current folder replaces the rows.
    virtual void setListing(const RemoteListing &listing) { (void)listing; }
    /// Expiry mode: the record row about to be deleted.
    virtual void expiryItemStarted(const QVariantMap &row) { (void)row; }
    /// Expiry mode: a row could not be deleted, or its item does not exist
    /// (error domain "Tallowin", code 1, user info "error" = "Item doesn't exist").
    virtual void fileExpiryError(const TransferError &error, const QVariantMap &row)
    {
        (void)error;
        (void)row;
    }
    /// Expiry mode: every row has been handled.
    virtual void allFilesAreDone() {}
};

/// Refresh, folder creation and deletion on a destination's server, run on a
/// worker thread of its own. Expiry mode: the first selected row carries an
/// "expiryDate"; each row then carries its own "baseURL" (with login), and
/// "name" and "kind" ("folder" or "file").
class RemoteManager {
public:
    enum class Operation { Refresh, CreateFolder, DeleteItems };

    /// parameters: "url" (the current folder's URL with login; browser mode),
    /// "dest" (the destination record, for controller settings), and
    /// {"name": folder} for CreateFolder or {"selectedItems": rows} for DeleteItems.
    RemoteManager(RemoteManagerClient *client, QVariantMap parameters);
    ~RemoteManager();
    Q_DISABLE_COPY_MOVE(RemoteManager)

    /// Runs op on a new worker thread; the manager is destroyed when it ends.
    static void start(std::unique_ptr<RemoteManager> manager, Operation op);

    // The operations themselves, synchronous on the calling (worker) thread.
    void refresh();
    void createFolder();
    void deleteItems();

private:
    RemoteManagerClient *m_client;
    QVariantMap m_parameters;
};

} // namespace pv
