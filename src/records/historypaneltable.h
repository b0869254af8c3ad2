#pragma once

#include "records/recordlist.h"

namespace pv {

/// The error log panel: one-key records (`error`: the logged text), newest
/// first, in memory only (lost on quit). One column: error. Main thread only.
class HistoryPanelTable final : public RecordList {
    Q_OBJECT

public:
    explicit HistoryPanelTable(QObject *parent = nullptr);

    /// Inserts {error: text} at the head.
    void addError(const QString &text);
    /// Empties the log at once, without asking.
    void clearHistory();
    /// The texts of rows (in row order, unknown rows skipped), each followed
    /// by "\n\n", for the clipboard as plain text.
    [[nodiscard]] QString copy(const QList<int> &rows) const;
    /// Replaces the whole log.
    void setItems(const QList<QVariantMap> &records);
    /// Text of key in the record at row; "" when there is none.
    [[nodiscard]] QString selectedRowItemforColumnIdentifier(int row, const QString &key) const;
};

} // namespace pv
