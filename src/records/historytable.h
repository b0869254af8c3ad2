#pragma once

#include "records/recordlist.h"

#include <QThread>

#include <memory>

namespace pv {

/// The delivery history: every completed or refused item, kept in the
/// table's sort order and stored in "History.xml". The file is read only when
/// first needed (loadHistory: the history window opens, or a record must go
/// anywhere but at its end). Until then records that sort after the file's
/// last one are added to the end of the file without reading it, so a long
/// history costs neither memory nor time per delivery. Columns: success,
/// QFDestType, finalName, dateEndStr, finalSize (the size when there is no
/// package size), dest, subject and attachments (the windows show the last
/// two as marks). Main thread only.
class HistoryTable final : public RecordList {
    Q_OBJECT

public:
    /// filePath empty: paths::appFile("History.xml"). Nothing is read yet,
    /// unless the journal holds records of the history: they are folded in
    /// and the file written at once.
    explicit HistoryTable(Alerter *alerter, const QString &filePath = QString(),
                          QObject *parent = nullptr);

    ~HistoryTable() override;

    /// Reads the file once (missing or unreadable: empty) and sorts it.
    void loadHistory();
    /// Reads the file on a worker thread, so that a window can show itself
    /// at once; the list fills (a model reset) when the records are read.
    /// Anything that needs the records before then reads them here, at once,
    /// and the worker's result is dropped.
    void loadHistoryInBackground();
    [[nodiscard]] bool isLoaded() const { return m_loaded; }
    /// Whether a background read is under way.
    [[nodiscard]] bool isReading() const { return m_reader != nullptr; }

    /// Stores a copy of record in its sorted place (loading the list when
    /// it is not at the end of the file); views keep their selection on the
    /// same records. The record is in the journal when this returns true
    /// (see RecordList).
    bool addItem(const QVariantMap &record);

    /// Asks "Do you really want to clear History?" and on "Clear History"
    /// removes every record. Returns whether the history was cleared.
    bool clearHistory();

    /// The sort order used by addItem and loadHistory (default: `dateEnd`
    /// ascending). Setting it re-sorts a loaded list.
    void setSortKey(const QString &key, Qt::SortOrder order = Qt::AscendingOrder);
    [[nodiscard]] QString sortKey() const { return m_sortKey; }
    [[nodiscard]] Qt::SortOrder sortOrder() const { return m_sortOrder; }
    /// Views sort by a column: the column's key becomes the sort key, except
    /// that the completion date's text sorts by the date itself.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    /// Loads when needed and returns the row of the record with the same
    /// `dateEnd` as record (the processed list's double-click). When there is
    /// none, shows "The item could not be found in the history" and returns -1.
    int rowOfRecord(const QVariantMap &record);

protected:
    QString displayText(const QVariantMap &record, const QString &key) const override;
    bool writeList(QString *error) override;

Q_SIGNALS:
    /// The records have been read (at once or in the background).
    void historyLoaded();

private:
    /// Takes the records read from the file as the list.
    void adopt(const QList<QVariantMap> &records);
    /// Waits for the worker and forgets it.
    void endReading();
    /// Whether record, added now, belongs at the end of the unread file.
    [[nodiscard]] bool belongsAtTheEnd(const QVariantMap &record);

    bool m_loaded = false;
    // While unread: the XML of the records still to be added to the file's
    // end, those of them the journal did not take, and the sort value of
    // the file's last record once known.
    QList<QByteArray> m_toAppend;
    QList<QVariantMap> m_notJournaled;
    QVariant m_lastValue;
    bool m_lastKnown = false;
    QString m_sortKey;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    std::unique_ptr<QThread> m_reader;
};

/// What the details pane shows of a history record, in order: a label for
/// people and the text (compression "-" and total time "?" when missing,
/// the attachments' file names joined with ", ").
[[nodiscard]] QList<std::pair<QString, QString>> historyDetails(const QVariantMap &record);

} // namespace pv
