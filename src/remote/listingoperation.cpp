#include "remote/listingoperation.h"

#include "core/log.h"
#include "core/support.h"
#include "transfer/deliverytransfer.h"

#include <QMetaObject>
#include <QThread>
#include <QUrl>

#include <exception>

namespace pv {

namespace {

const QString kCheckLogin =
    QStringLiteral("Please make sure that destination address and login info are correct.");

QString trimmedSlashes(QString s)
{
    while (s.startsWith(QLatin1Char('/')))
        s.remove(0, 1);
    while (s.endsWith(QLatin1Char('/')))
        s.chop(1);
    return s;
}

} // namespace

bool isSafeEntryName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/'));
}

RemoteListing withoutUnsafeNames(const RemoteListing &listing)
{
    RemoteListing safe;
    for (auto it = listing.cbegin(); it != listing.cend(); ++it) {
        if (isSafeEntryName(it.key()))
            safe.insert(it.key(), it.value());
        else
            warn(
                lcTransfer(),
                QStringLiteral("Remote listing: entry \"%1\" left out (not a name)").arg(it.key()));
    }
    return safe;
}

ListingOperation::ListingOperation(QObject *context, QVariantMap parameters, Report report)
    : m_context(context), m_parameters(std::move(parameters)), m_report(std::move(report)),
      m_factory([](const QUrl &url) {
          return FileTransferController::fileTransferControllerWithURL(url);
      })
{}

ListingOperation::~ListingOperation() = default;

void ListingOperation::start(const std::shared_ptr<ListingOperation> &operation)
{
    QThread *thread = QThread::create([operation] { operation->startProcess(); });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void ListingOperation::report(const RemoteStatus &status)
{
    QObject *context = m_context.data();
    if (!context || isCancelled())
        return;
    // Checked again where the report is handled: a cancel that came while it
    // waited discards it.
    auto handle = [this, status] {
        if (!isCancelled())
            m_report(status);
    };
    if (context->thread() == QThread::currentThread())
        handle();
    else
        QMetaObject::invokeMethod(context, handle, Qt::BlockingQueuedConnection);
}

bool ListingOperation::fileTransferControllerShouldAbort(FileTransferController *)
{
    return isCancelled();
}

void ListingOperation::startProcess()
{
    const QString what = exceptionTextOf([this] { listNow(); });
    if (what.isEmpty())
        return;
    error(lcTransfer(), QStringLiteral("ListingOperation: exception: %1").arg(what));
    RemoteStatus status;
    status.type = RemoteStatus::Type::Error;
    status.unexpected = true;
    status.error = QStringLiteral("Transfer error");
    status.errorInfo =
        QStringLiteral("An unexpected error occurred when accessing the server:\n\n%1\n\n\n"
                       "Parcelvane has to be relaunched to resume processing.\n\n"
                       "Please report this error and we'll address it promptly: ")
            .arg(what) +
        QLatin1String(kSupportAddress);
    report(status);
}

void ListingOperation::listNow()
{
    const QString urlText = trimmedSlashes(m_parameters.value(QStringLiteral("url")).toString());
    const QUrl url(urlText);
    std::unique_ptr<FileTransferController> controller =
        url.isValid() && !isCancelled() ? m_factory(url) : nullptr;
    if (isCancelled())
        return;
    if (!controller) {
        RemoteStatus failure;
        failure.type = RemoteStatus::Type::Error;
        failure.error = QStringLiteral("Connection failure");
        failure.errorInfo = kCheckLogin;
        report(failure);
        return;
    }
    controller->setDelegate(this);
    controller->applyDestinationSettings(m_parameters.value(QStringLiteral("dest")).toMap());
    RemoteStatus started;
    started.type = RemoteStatus::Type::List;
    report(started);
    const TransferResult<RemoteListing> listing =
        controller->contentsOfDirectoryAtPath(QStringLiteral("/"));
    if (isCancelled())
        return;
    if (listing) {
        RemoteStatus done;
        done.type = RemoteStatus::Type::Done;
        done.list = withoutUnsafeNames(*listing);
        done.url = urlText;
        report(done);
        return;
    }
    RemoteStatus failure;
    failure.type = RemoteStatus::Type::Error;
    if (listing.isAbandoned()) {
        failure.error = kCheckLogin;
    } else {
        const TransferError &e = listing.error();
        log(lcTransfer(), QStringLiteral("ListingOperation: %1").arg(e.reasonText()));
        failure.error = e.localizedDescription();
        // The engine's own errors say no more than their headline.
        failure.errorInfo = e.userInfo.isEmpty() || e.firstUserInfoKey() ==
                                                        QLatin1String(kNSLocalizedDescriptionKey)
                                ? kCheckLogin
                                : DeliveryTransfer::failureDetail(e);
    }
    report(failure);
}

} // namespace pv
