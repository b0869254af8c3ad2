#pragma once

#include "core/alerter.h"
#include "core/plist.h"

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>

namespace pv {

class Journal;

/// A list of records (QVariantMap) shown as a table and mirrored to a
/// property-list file whose root is an array of the records.
///
/// Changes are written coalesced: any number of changes in one event-loop
/// turn cause one write, made by a zero-time queued call, so that what is on
/// disk after the turn equals the list. flush() writes at once; the
/// destructor flushes. A list without a file path lives in memory only.
///
/// A list that journals (History, Sent) also appends each record it is given
/// to the journal of its folder, durably, before the add returns; the
/// records the last write has stored are retired from the journal after it,
/// and at start-up the journal lines not yet in the file are folded in.
/// Journaled records carry their line's id under `journalId`.
///
/// Columns are record keys: the display role of a cell is the text of that
/// key, RecordRole (Qt::UserRole) of any cell is the whole record.
/// Main thread only.
class RecordList : public QAbstractTableModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecordList)

public:
    enum Roles { RecordRole = Qt::UserRole };

    /// filePath empty: memory only. alerter may be null (alerts are then logged
    /// and take their default button); it is not owned and must outlive the list.
    RecordList(const QString &filePath, const QStringList &columns, Alerter *alerter,
               QObject *parent = nullptr);
    ~RecordList() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    /// The records in list order.
    [[nodiscard]] const QList<QVariantMap> &items() const { return m_items; }
    [[nodiscard]] int count() const { return int(m_items.size()); }
    /// The record at row, or an empty map when row is out of range.
    [[nodiscard]] QVariantMap itemAt(int row) const;
    [[nodiscard]] QString filePath() const { return m_filePath; }
    [[nodiscard]] QStringList columnKeys() const { return m_columns; }
    /// Column index of a record key, or -1.
    [[nodiscard]] int columnOfKey(const QString &key) const { return int(m_columns.indexOf(key)); }

    /// Schedules a write of the whole list at the end of this event-loop turn.
    /// Nothing happens for a memory-only list.
    void writeItems();
    /// Writes now when a write is pending. Returns false only when a write
    /// failed (the failure is logged; the list in memory stays as changed).
    bool flush();

    /// The records a context-menu action applies to: the right-clicked row
    /// alone when it exists and is not part of the selection, otherwise the
    /// selected rows in row order; none when the list is empty or nothing is
    /// selected or clicked. rightClickedRow -1 means no click.
    [[nodiscard]] QList<QVariantMap> itemsForAction(int rightClickedRow,
                                                    const QList<int> &selectedRows) const;

    /// The download link of the first of items, for the clipboard. When it has
    /// none, shows the "Download link not specified" alert and returns "".
    QString copyLink(const QList<QVariantMap> &items);

    /// Reads a list file: a missing or unreadable file, or one whose root is not
    /// an array, gives an empty list; elements that are not dictionaries are
    /// skipped. A file that exists but cannot be read is copied aside to
    /// "<file>.unreadable" first, because the next change overwrites it.
    [[nodiscard]] static QList<QVariantMap> readRecordFile(const QString &path);

    /// The key under which a journaled record keeps the id of its line.
    static inline const QString kJournalId = QStringLiteral("journalId");
    /// The journal of a list that journals (to batch the records of one
    /// outcome into one disk flush with Journal::Batch); null otherwise.
    [[nodiscard]] std::shared_ptr<Journal> journal() const { return m_journal; }

Q_SIGNALS:
    /// Emitted after each write of the file (ok false when it failed).
    void itemsWritten(bool ok);

protected:
    /// Text of one cell; the default is the value of key as text.
    virtual QString displayText(const QVariantMap &record, const QString &key) const;

    /// Inserts record at row; a list that journals first appends it to the
    /// journal. Returns false when the journal could not take it (the record
    /// is in the list all the same and reaches the file with the next write).
    bool insertRecord(int row, const QVariantMap &record);
    /// The journal part of insertRecord: appends record to the journal and
    /// returns it as stored (with its `journalId`); *journaled tells whether
    /// the journal took it.
    [[nodiscard]] QVariantMap journaled(const QVariantMap &record, bool *journaled);
    /// For a subclass that stores a record without holding it in the list:
    /// the record's line is retired after the next successful write, which
    /// is scheduled here.
    void storedWithNextWrite(const QVariantMap &record);
    /// Writes the file (called by flush); the default writes the whole list,
    /// each record serialised only once while it stays in the list.
    virtual bool writeList(QString *error);
    void removeRecords(int row, int count);
    /// Replaces the whole list; write false leaves the file alone.
    void setRecords(const QList<QVariantMap> &records, bool write = true);
    /// Reorders the list stably by key; selections in views follow their
    /// records. write false leaves the file alone.
    void sortRecords(const QString &key, Qt::SortOrder order, bool write = true);
    /// The row where record belongs in a list sorted by key, after records
    /// that compare equal (so insertion keeps the order stable).
    [[nodiscard]] int sortedRowFor(const QVariantMap &record, const QString &key,
                                   Qt::SortOrder order) const;
    /// Makes the list journal its additions as lines of kind. Call from the
    /// constructor, before the file is read.
    void useJournal(const QString &kind);
    /// The journaled records missing from records (read from the file), in
    /// the order they were added: those after the last one the file holds,
    /// since a write stores every record added before it (the older ones
    /// missing were removed from the list, not lost). Lines the file already
    /// holds are retired here.
    [[nodiscard]] QList<QVariantMap> journalRecordsToFold(const QList<QVariantMap> &records);
    /// Inserts a record returned by journalRecordsToFold (no new line).
    void insertFolded(int row, const QVariantMap &record);

    /// Shows an alert through the port (or logs it when there is none).
    int ask(const Alert &alert);

    /// Told of each record that enters or leaves the list (added, removed,
    /// replaced), so that a subclass can keep an index of its own.
    virtual void recordEntered(const QVariantMap &record) { Q_UNUSED(record); }
    virtual void recordLeft(const QVariantMap &record) { Q_UNUSED(record); }

private:
    QString m_filePath;
    QStringList m_columns;
    Alerter *m_alerter;
    QList<QVariantMap> m_items;
    // Where each record's XML lies in the file last written: a write copies
    // the records that stayed from there, so none is kept in memory as XML
    // or serialised twice while it stays in the list.
    QList<plist::ElementSpan> m_spans;
    plist::WrittenArrayFile m_written;
    bool m_writePending = false;
    QElapsedTimer m_sinceWrite;
    qint64 m_lastWriteMs = 0;
    std::shared_ptr<Journal> m_journal;
    QString m_journalKind;
    QStringList m_unwritten; // ids of journaled records no write has stored yet
};

} // namespace pv
