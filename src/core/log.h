#pragma once

#include <QLoggingCategory>
#include <QString>

// One category per subsystem. Information is on by default, debug off: turn
// it on with e.g. QT_LOGGING_RULES="pv.transfer.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcCore)
Q_DECLARE_LOGGING_CATEGORY(lcDestinations)
Q_DECLARE_LOGGING_CATEGORY(lcRecords)
Q_DECLARE_LOGGING_CATEGORY(lcHotfolders)
Q_DECLARE_LOGGING_CATEGORY(lcTransfer)
Q_DECLARE_LOGGING_CATEGORY(lcPipeline)
Q_DECLARE_LOGGING_CATEGORY(lcNotify)
Q_DECLARE_LOGGING_CATEGORY(lcUi)

namespace pv {

/// One diagnostic line of a subsystem on the log (standard error), at
/// information level. Callers mask passwords before they get here.
void log(const QLoggingCategory &category, const QString &line);
/// The same at debug level: shown only when the category's debug is on.
void debug(const QLoggingCategory &category, const QString &line);
/// A pipeline line (the delivery road's own log).
inline void log(const QString &line)
{
    log(lcPipeline(), line);
}

} // namespace pv
