#include "app/transferrun.h"

#include "app/appcontroller.h"
#include "core/alerter.h"

#include <QCoreApplication>
#include <QTimer>

namespace pv {

TransferRun::TransferRun(AppController *controller, const QVariantMap &parameters)
    : m_controller(controller), m_transfer(std::make_unique<DeliveryTransfer>(this, parameters))
{}

TransferRun::~TransferRun() = default;

void TransferRun::start()
{
    m_transfer->start();
}

void TransferRun::cancel()
{
    if (m_detached)
        return;
    m_detached = true;
    m_transfer->cancel();
}

void TransferRun::release(std::unique_ptr<TransferRun> run)
{
    if (!run)
        return;
    run->m_detached = true;
    TransferRun *raw = run.release();
    // The worker may be waiting inside one of our reports right now; joining
    // it must wait until that report has returned.
    QTimer::singleShot(0, QCoreApplication::instance(), [raw] { delete raw; });
}

void TransferRun::readTransferProgress(const QVariantMap &status)
{
    if (!m_detached)
        m_controller->readTransferProgress(status);
}

void TransferRun::transferIsListingDirectory(const QVariantMap &report)
{
    if (!m_detached)
        m_controller->transferIsListingDirectory(report);
}

void TransferRun::transferDidStart()
{
    if (!m_detached)
        m_controller->transferDidStart();
}

void TransferRun::setDateFolderPath(const QString &path)
{
    if (!m_detached)
        m_controller->setDateFolderPath(path);
}

void TransferRun::setFinalName(const QString &name)
{
    if (!m_detached)
        m_controller->setFinalName(name);
}

void TransferRun::setDownloadURLInItemDict()
{
    if (!m_detached)
        m_controller->setDownloadURLInItemDict();
}

void TransferRun::cancelProcess()
{
    // Cancellation is driven from the controller's own Stop handling, which
    // ends the entry itself.
}

void TransferRun::transferDidFailUnexpectedly(const QString &message)
{
    if (m_detached)
        return;
    m_controller->ui().alert({QStringLiteral("Transfer error"),
                              message,
                              {QStringLiteral("Quit")},
                              Alert::Style::Critical});
    QCoreApplication::exit(1);
}

} // namespace pv
