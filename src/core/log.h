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
/// A line at warning level: something went wrong but the work goes on.
void warn(const QLoggingCategory &category, const QString &line);
/// A line at error level: something the user has to see failed.
void error(const QLoggingCategory &category, const QString &line);

/// Every line of text with the journal's priority prefix of the type ("<3>"
/// errors, "<4>" warnings, "<6>" information), so that each line of a
/// message keeps the message's level there.
QByteArray journalLines(QtMsgType type, const QString &text);
/// Whether fd is the stream JOURNAL_STREAM ("device:inode") names: only then
/// does the journal read it. A child that inherited the variable with its
/// standard error sent elsewhere must not prefix.
bool isJournalStream(int fd, const QByteArray &journalStream);
/// When standard error is the journal, log lines carry their priority prefix
/// from now on.
void usePrioritiesWhenJournal();
/// A pipeline line (the delivery road's own log).
inline void log(const QString &line)
{
    log(lcPipeline(), line);
}

} // namespace pv
