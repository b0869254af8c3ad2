#include "app/transferrun.h"

#include "app/entryrun.h"
#include "app/userinterface.h"
#include "core/alerter.h"
#include "core/journal.h"
#include "core/paths.h"

#include <QCoreApplication>
#include <QTimer>

namespace pv {

TransferRun::TransferRun(EntryRun *entry, const QVariantMap &parameters)
    : m_entry(entry), m_transfer(std::make_unique<DeliveryTransfer>(this, parameters))
{
    // Partial uploads are noted where the lists keep their journal.
    m_transfer->setJournal(Journal::forFolder(paths::appDir()));
}

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
        m_entry->ui().alert({QStringLiteral("Transfer error"),
                             failure->message,
                             {QStringLiteral("Quit")},
                             Alert::Style::Critical});
        QCoreApplication::exit(1);
        return;
    }
    m_entry->transferReport(report);
}

void TransferRun::cancelProcess()
{
    // Cancellation is driven from the entry's own Stop handling, which ends
    // the entry itself.
}

} // namespace pv
