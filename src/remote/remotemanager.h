#pragma once

#include "transfer/filetransfercontroller.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <functional>
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
    /// Error: something unexpected escaped the listing; error is the alert's
    /// title and errorInfo its whole text, and the application has to end.
    bool unexpected = false;
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
class RemoteManager final : private FileTransferControllerDelegate {
public:
    enum class Operation { Refresh, CreateFolder, DeleteItems };
    using ControllerFactory =
        std::function<std::unique_ptr<FileTransferController>(const QUrl &url)>;

    /// parameters: "url" (the current folder's URL with login; browser mode),
    /// "dest" (the destination record, for controller settings), and
    /// {"name": folder} for CreateFolder or {"selectedItems": rows} for DeleteItems.
    RemoteManager(RemoteManagerClient *client, QVariantMap parameters);
    ~RemoteManager() override;
    Q_DISABLE_COPY_MOVE(RemoteManager)

    /// Replaces the controller factory (FileTransferController's by default).
    void setControllerFactory(ControllerFactory factory) { m_factory = std::move(factory); }

    /// Runs op on a new worker thread; the manager is destroyed when it ends.
    static void start(std::unique_ptr<RemoteManager> manager, Operation op);

    // The operations themselves, synchronous on the calling (worker) thread.
    void refresh();
    void createFolder();
    void deleteItems();

private:
    struct PendingFolder {
        QString path;
        RemoteListing contents;
    };

    void fileTransferControllerDidFail(FileTransferController *controller,
                                       const TransferError &error) override;
    [[nodiscard]] bool isFileExpiry() const;
    /// A controller for the folder url with the settings of dest (the run's "dest" when null).
    std::unique_ptr<FileTransferController> controllerFor(QString url, bool keepSlashes = false,
                                                          const QVariantMap *dest = nullptr);
    /// Runs f on the client's thread and waits for it.
    void onClientThread(const std::function<void()> &f);
    void update(const QString &status);
    void end(RemoteStatus::Type type, bool success);
    [[nodiscard]] TransferResult<RemoteListing> list(const QString &path);
    /// Deletes the row's item in the current folder.
    void deleteItem(const QVariantMap &row);
    /// Removes folder, listed as contents, with everything in it, deepest first.
    void deleteFolder(const QString &folder, const RemoteListing &contents);
    void removeFolder(const QString &path);
    void expireItem(const QVariantMap &row);

    RemoteManagerClient *m_client;
    /// The client's context: once it is gone, nothing more is reported.
    QPointer<QObject> m_context;
    QVariantMap m_parameters;
    ControllerFactory m_factory;
    std::unique_ptr<FileTransferController> m_controller;
    QList<PendingFolder> m_dirsToClear;
    QStringList m_dirsWithoutFiles;
    bool m_errorReported = false;
    /// The first failure while working on the current row (expiry mode).
    TransferError m_rowError;
};

} // namespace pv
