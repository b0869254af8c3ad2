#include "remote/remotemanager.h"

#include "core/log.h"
#include "remote/listingoperation.h"

#include <QMetaObject>
#include <QThread>

namespace pv {

namespace {

const QString kSelectedItems = QStringLiteral("selectedItems");

QString rowName(const QVariantMap &row)
{
    return row.value(QStringLiteral("name")).toString();
}

bool rowIsFolder(const QVariantMap &row)
{
    const QString kind = row.value(QStringLiteral("kind")).toString();
    return kind == QLatin1String(kNSFileTypeDirectory) || kind == QLatin1String("folder");
}

bool entryIsFolder(const RemoteItemAttributes &attributes)
{
    return attributes.value(QLatin1String(kNSFileType)).toString() ==
           QLatin1String(kNSFileTypeDirectory);
}

} // namespace

RemoteManager::RemoteManager(RemoteManagerClient *client, QVariantMap parameters)
    : m_client(client), m_context(client->remoteManagerContext()),
      m_parameters(std::move(parameters)), m_factory([](const QUrl &url) {
          return FileTransferController::fileTransferControllerWithURL(url);
      })
{}

RemoteManager::~RemoteManager() = default;

void RemoteManager::start(std::unique_ptr<RemoteManager> manager, Operation op)
{
    RemoteManager *m = manager.release();
    QThread *thread = QThread::create([m, op] {
        switch (op) {
        case Operation::Refresh:
            m->refresh();
            break;
        case Operation::CreateFolder:
            m->createFolder();
            break;
        case Operation::DeleteItems:
            m->deleteItems();
            break;
        }
        delete m;
    });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void RemoteManager::fileTransferControllerDidFail(FileTransferController *,
                                                  const TransferError &error)
{
    m_errorReported = true;
    if (m_rowError.isNull())
        m_rowError = error;
}

bool RemoteManager::isFileExpiry() const
{
    const QVariantList rows = m_parameters.value(kSelectedItems).toList();
    return !rows.isEmpty() && rows.first().toMap().contains(QStringLiteral("expiryDate"));
}

std::unique_ptr<FileTransferController> RemoteManager::controllerFor(QString url, bool keepSlashes,
                                                                     const QVariantMap *dest)
{
    if (!keepSlashes && url.endsWith(QLatin1String("///")))
        url.chop(3);
    const QUrl parsed(url);
    std::unique_ptr<FileTransferController> c = parsed.isValid() ? m_factory(parsed) : nullptr;
    if (c) {
        c->setDelegate(this);
        c->applyDestinationSettings(dest ? *dest
                                         : m_parameters.value(QStringLiteral("dest")).toMap());
    }
    return c;
}

void RemoteManager::onClientThread(const std::function<void()> &f)
{
    QObject *context = m_context.data();
    if (!context)
        return;
    if (context->thread() == QThread::currentThread())
        f();
    else
        QMetaObject::invokeMethod(context, f, Qt::BlockingQueuedConnection);
}

void RemoteManager::update(const QString &status)
{
    if (isFileExpiry())
        return;
    onClientThread([this, status] {
        RemoteStatus s;
        s.status = status;
        m_client->readOutput(s);
    });
}

void RemoteManager::end(RemoteStatus::Type type, bool success)
{
    onClientThread([this, type, success] {
        RemoteStatus s;
        s.type = type;
        s.success = success;
        m_client->readOutput(s);
    });
}

TransferResult<RemoteListing> RemoteManager::list(const QString &path)
{
    TransferResult<RemoteListing> listing = m_controller->contentsOfDirectoryAtPath(path);
    if (listing)
        return withoutUnsafeNames(*listing);
    return listing;
}

void RemoteManager::refresh()
{
    m_controller = controllerFor(m_parameters.value(QStringLiteral("url")).toString(), true);
    bool success = false;
    if (m_controller) {
        if (const TransferResult<RemoteListing> listing = list(QStringLiteral("/"))) {
            onClientThread([this, &listing] { m_client->setListing(*listing); });
            success = true;
        }
    }
    end(RemoteStatus::Type::EndRefresh, success);
}

void RemoteManager::createFolder()
{
    const QString name = m_parameters.value(QStringLiteral("name")).toString();
    m_controller = controllerFor(m_parameters.value(QStringLiteral("url")).toString());
    if (!isSafeEntryName(name) || !m_controller || !m_controller->createDirectoryAtPath(name)) {
        end(RemoteStatus::Type::EndFolder, false);
        return;
    }
    refresh();
}

void RemoteManager::deleteItems()
{
    const QVariantList rows = m_parameters.value(kSelectedItems).toList();
    if (isFileExpiry()) {
        for (const QVariant &row : rows)
            expireItem(row.toMap());
        m_controller.reset();
        onClientThread([this] { m_client->allFilesAreDone(); });
        return;
    }
    m_controller = controllerFor(m_parameters.value(QStringLiteral("url")).toString());
    if (!m_controller) {
        end(RemoteStatus::Type::End, false);
        return;
    }
    for (const QVariant &row : rows)
        deleteItem(row.toMap());
    update(QStringLiteral("Listing root directory..."));
    if (const TransferResult<RemoteListing> listing = list(QStringLiteral("/")))
        onClientThread([this, &listing] { m_client->setListing(*listing); });
    end(RemoteStatus::Type::End, !m_errorReported);
}

void RemoteManager::deleteItem(const QVariantMap &row)
{
    const QString name = rowName(row);
    if (!isSafeEntryName(name)) {
        warn(lcTransfer(),
             QStringLiteral("RemoteManager: \"%1\" is not a name: not deleted").arg(name));
        m_errorReported = true;
        return;
    }
    if (!rowIsFolder(row)) {
        update(QStringLiteral("Deleting %1...").arg(name));
        (void)m_controller->deleteFileAtPath(name);
        return;
    }
    const QString scheme = m_controller->urlScheme();
    // Servers without a recursive removal of their own are emptied folder by
    // folder.
    if (scheme != QLatin1String("ftp") && scheme != QLatin1String("sftp") &&
        scheme != QLatin1String("ssh")) {
        update(QStringLiteral("Deleting %1...").arg(name));
        (void)m_controller->deleteDirectoryRecursivelyAtPath(name);
        return;
    }
    update(QStringLiteral("Listing %1...").arg(name));
    const TransferResult<RemoteListing> contents = list(name);
    if (!contents)
        return;
    update(QStringLiteral("Deleting %1...").arg(name));
    if (contents->isEmpty())
        removeFolder(name);
    else
        deleteFolder(name, *contents);
}

void RemoteManager::removeFolder(const QString &path)
{
    if (const Result r = m_controller->deleteDirectoryAtPath(path); !r)
        warn(lcTransfer(), QStringLiteral("RemoteManager: folder \"%1\" not removed: %2")
                               .arg(path, r.error().reasonText()));
}

void RemoteManager::deleteFolder(const QString &folder, const RemoteListing &contents)
{
    m_dirsToClear.clear();
    m_dirsWithoutFiles.clear();
    PendingFolder current{folder, contents};
    for (;;) {
        bool putAside = false;
        for (auto it = current.contents.cbegin(); it != current.contents.cend(); ++it) {
            const QString path = current.path + QLatin1Char('/') + it.key();
            if (!entryIsFolder(it.value())) {
                (void)m_controller->deleteFileAtPath(path);
                continue;
            }
            const TransferResult<RemoteListing> sub = list(path);
            if (!sub)
                continue;
            if (sub->isEmpty()) {
                removeFolder(path);
            } else {
                m_dirsToClear.prepend({path, *sub});
                putAside = true;
            }
        }
        // A folder with sub-folders still full waits for them: the list ends
        // up deepest first.
        if (putAside)
            m_dirsWithoutFiles.prepend(current.path);
        else
            removeFolder(current.path);
        if (m_dirsToClear.isEmpty())
            break;
        current = m_dirsToClear.takeFirst();
    }
    for (const QString &path : std::as_const(m_dirsWithoutFiles))
        removeFolder(path);
    m_dirsWithoutFiles.clear();
}

void RemoteManager::expireItem(const QVariantMap &row)
{
    m_rowError = TransferError();
    // Each expiry row names its own destination, whose settings apply.
    const QVariantMap dest = row.value(QStringLiteral("dest")).toMap();
    m_controller = controllerFor(row.value(QStringLiteral("baseURL")).toString(), false, &dest);
    const auto reportError = [this, &row](const TransferError &error) {
        onClientThread([this, &row, &error] { m_client->fileExpiryError(error, row); });
    };
    if (!m_controller) {
        reportError(TransferError::fileTransfer(
            QStringLiteral("Please make sure that destination address and login info are "
                           "correct.")));
        return;
    }
    const TransferResult<RemoteListing> listing = list(QStringLiteral("/"));
    if (!listing) {
        reportError(listing.error());
        return;
    }
    const QString name = rowName(row);
    if (!listing->contains(name)) {
        reportError(
            TransferError{QStringLiteral("Tallowin"),
                          1,
                          QStringLiteral("Item doesn't exist"),
                          {{QStringLiteral("error"), QStringLiteral("Item doesn't exist")}}});
        return;
    }
    onClientThread([this, &row] { m_client->expiryItemStarted(row); });
    m_rowError = TransferError();
    deleteItem(row);
    if (!m_rowError.isNull())
        reportError(m_rowError);
}

} // namespace pv
