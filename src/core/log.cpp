#include "core/log.h"

Q_LOGGING_CATEGORY(lcCore, "pv.core", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDestinations, "pv.destinations", QtInfoMsg)
Q_LOGGING_CATEGORY(lcRecords, "pv.records", QtInfoMsg)
Q_LOGGING_CATEGORY(lcHotfolders, "pv.hotfolders", QtInfoMsg)
Q_LOGGING_CATEGORY(lcTransfer, "pv.transfer", QtInfoMsg)
Q_LOGGING_CATEGORY(lcPipeline, "pv.pipeline", QtInfoMsg)
Q_LOGGING_CATEGORY(lcNotify, "pv.notify", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUi, "pv.ui", QtInfoMsg)

namespace pv {

void log(const QLoggingCategory &category, const QString &line)
{
    qCInfo(category).noquote() << line;
}

void debug(const QLoggingCategory &category, const QString &line)
{
    qCDebug(category).noquote() << line;
}

} // namespace pv
