#pragma once

#include "records/recordlist.h"

namespace pv {

class HistoryTable;

/// The processed-files list of the "Processing" window: delivery records,
/// newest first, at most `recentItems` of them, stored in "Sent.xml" and read
/// back at start. Columns: finalName (the last component of `path` when
/// there is none), success, dest, sizeLine ("<size> • <dateEndStr>").
/// Main thread only.
class SentTable final : public RecordList {
    Q_OBJECT

public:
    /// filePath empty: paths::appFile("Sent.xml"), which is read here; the
    /// journal's records of the list not yet in it are folded in and the
    /// file written at once.
    explicit SentTable(Alerter *alerter, const QString &filePath = QString(),
                       QObject *parent = nullptr);

    /// The `recentItems` setting as a record count: "Unlimited" counts as
    /// unlimitedAs, a number as itself; absent, 0, negative or not a number
    /// give 0, which means no limit.
    [[nodiscard]] static qint64 recentItemsLimit(qint64 unlimitedAs);

    /// Inserts a copy of record at the head, then drops the records beyond
    /// the limit ("Unlimited" counting as 50). The record is in the journal
    /// when this returns true (see RecordList).
    bool addItem(const QVariantMap &record);
    /// What the completion step does: when the list holds exactly the limit
    /// ("Unlimited" counting as 1,000,000), drop the oldest record first;
    /// then addItem.
    bool addCompletedItem(const QVariantMap &record);
    /// Removes the oldest (last) record.
    void removeLastItem();
    /// Keeps the n newest records; n of 0 or less means no limit and keeps all.
    void adjustNumberOfRecentTo(qint64 n);

    /// Asks "Do you really want to clear the processed files list?" and on
    /// "Clear" removes every record; the history is not touched. Returns
    /// whether the list was cleared.
    bool clearErrors();

    /// Double-click on row: the row of the same record in history (loaded
    /// when needed), or -1 after the "could not be found" alert.
    int doubleAction(int row, HistoryTable *history);

protected:
    QString displayText(const QVariantMap &record, const QString &key) const override;
};

} // namespace pv
