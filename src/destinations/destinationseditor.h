#pragma once

#include "core/alerter.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QVariantMap>

#include <functional>
#include <utility>

namespace pv {

/// The destination store: the sorted in-memory list of destination records
/// and their files (one "<name>.dest" property list each) in the Destinations
/// folder. It is also the list model the destinations window shows; the
/// window only binds to it. Main thread only.
class DestinationsEditor final : public QAbstractTableModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DestinationsEditor)

public:
    enum Column { NameColumn, CodeColumn, TypeColumn, ColumnCount };
    static constexpr int RecordRole = Qt::UserRole;
    /// True for the default destination, which windows draw in red.
    static constexpr int IsDefaultRole = Qt::UserRole + 1;

    /// alerter is not owned and must outlive the store. dir defaults to the
    /// application's Destinations folder.
    explicit DestinationsEditor(Alerter *alerter, QString dir = QString(),
                                QObject *parent = nullptr);

    /// Reads every "*.dest" file into the list (unreadable ones are skipped),
    /// alerts once when hot folders are missing, and falls back to one unsaved
    /// "Destination 1" record when nothing loads.
    void load();
    /// Sorts, selects the stored or first row and, when watching was on at
    /// the last quit, calls the watcher hook.
    void startup();
    void setStartWatchingHook(std::function<void()> hook) { m_startWatching = std::move(hook); }
    /// Where alerts go from now on (not owned; may be null). Returns the
    /// previous one, so a caller can take the alerts of one operation.
    Alerter *setAlerter(Alerter *alerter) { return std::exchange(m_alerter, alerter); }

    /// Orders the list by less from now on (by name when empty) and re-sorts
    /// it, keeping the selected record selected.
    void setOrder(std::function<bool(const QVariantMap &, const QVariantMap &)> less);

    [[nodiscard]] const QList<QVariantMap> &items() const { return m_items; }
    [[nodiscard]] int indexOfName(const QString &name) const;
    [[nodiscard]] int selectedRow() const { return m_selected; }
    void setSelectedRow(int row);
    /// The selected record, or an empty map when nothing is selected.
    [[nodiscard]] QVariantMap selectedItem() const;

    /// A fresh ordinary record: built-in defaults with "Defaults.xml" merged
    /// over them. Not added, not written.
    [[nodiscard]] QVariantMap newItem() const;
    /// A fresh group record. Not added, not written.
    [[nodiscard]] static QVariantMap newGroupItem();

    /// Adds a record, re-sorts, selects it and returns its row. A name the
    /// naming rules refuse, or one another record or file already has, is
    /// refused with its alert (-1).
    int addItem(const QVariantMap &record);
    /// A name for a new record: "<stem> <n>" with the first n from first
    /// upward that no record or file has; empty when none is free below
    /// 1,000,000. A stem the naming rules refuse gives "Destination <n>"
    /// from 1 instead.
    [[nodiscard]] QString freeName(const QString &stem, int first) const;
    /// Replaces the record at row in memory (the editor's controls changed
    /// it); the name must not change this way: use renameItem.
    void setItem(int row, const QVariantMap &record);

    /// Writes the selected record to its file; nothing when none is selected.
    bool writeCurrDestination();
    /// Writes the given record to "<name>.dest" atomically. A name that
    /// cannot be a file name is refused.
    bool writeDestination(const QVariantMap &record);

    /// Renames the record at row: writes the new file, removes the old one,
    /// updates every group and renames the hot folder's own folder. A name
    /// the naming rules refuse, or one another record or file already has,
    /// is refused with its alert. The unchanged name does nothing.
    bool renameItem(int row, const QString &newName);
    /// Removes the record at row with its hot folder and file, and takes its
    /// name out of every group.
    void deleteItem(int row);
    /// Renames (or with an empty newName removes) a member in every group and
    /// writes every group file.
    void checkGroupsForDest(const QString &oldName, const QString &newName);
    /// Applies template renames and deletions (template id -> new name, ""
    /// for deleted) to every record that uses them and writes those records.
    void checkTemplates(const QHash<QString, QString> &changes);
    /// Makes the record at row the default destination. Records that lose
    /// the mark are written at once; the new default is saved with the
    /// selected record.
    void makeDefault(int row);
    /// Writes the seven delivery options of options to "Defaults.xml".
    bool writeDefaults(const QVariantMap &options) const;

    /// Reads "<name>.dest" from disk; empty when missing or unreadable.
    [[nodiscard]] QVariantMap destDictForName(const QString &name) const;
    [[nodiscard]] QString fileForName(const QString &name) const;
    [[nodiscard]] QString dir() const { return m_dir; }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

Q_SIGNALS:
    /// setSelectedRow chose another row (the list was not reset).
    void selectedRowChanged();

private:
    void sortItems();
    /// Alerts and returns false unless name may be given to a record.
    bool acceptNewName(const QString &name);
    [[nodiscard]] QVariantMap readRecord(const QString &path) const;

    Alerter *m_alerter;
    QString m_dir;
    QList<QVariantMap> m_items;
    int m_selected = -1;
    /// The record most recently written to its file.
    QVariantMap m_lastWritten;
    std::function<void()> m_startWatching;
    std::function<bool(const QVariantMap &, const QVariantMap &)> m_less;
};

/// Reads a destination file; empty map when it is missing, malformed or not
/// a dictionary. Fills a missing `name` from the file name.
[[nodiscard]] QVariantMap readDestinationFile(const QString &path);

} // namespace pv
