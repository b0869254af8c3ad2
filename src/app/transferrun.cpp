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

void TransferRun::receive(const TransferReport &report)
{
    if (m_detached)
        return;
    if (const auto *failure = std::get_if<transferreport::FailedUnexpectedly>(&report)) {
        m_controller->ui().alert({QStringLiteral("Transfer error"),
                                  failure->message,
                                  {QStringLiteral("Quit")},
                                  Alert::Style::Critical});
        QCoreApplication::exit(1);
        return;
    }
    m_controller->transferReport(report);
}

void TransferRun::cancelProcess()
{
    // Cancellation is driven from the controller's own Stop handling, which
    // ends the entry itself.
}

} // namespace pv
