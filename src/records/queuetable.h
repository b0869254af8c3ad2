#pragma once

#include "records/recordlist.h"

#include <QHash>

#include <functional>

namespace pv {

/// The delivery queue: QueueItem records in processing order, mirrored to
/// "Queue.xml". The file is written after every change (it starts out as the
/// empty queue) but never read back: the queue starts empty at each launch.
/// Columns: name, dest, size, date. Main thread only.
class QueueTable final : public RecordList {
    Q_OBJECT

public:
    /// filePath empty: paths::appFile("Queue.xml"). alerter: see RecordList.
    explicit QueueTable(Alerter *alerter, const QString &filePath = QString(),
                        QObject *parent = nullptr);

    /// Stores a copy of record: at the head when its `priority` is true,
    /// otherwise at the end.
    void addItem(const QVariantMap &record);
    /// Removes the head (the pipeline takes it) and returns it; an empty map
    /// when the queue is empty.
    QVariantMap deleteFirstItem();
    /// Whether any queued record has this `path` (a source still needed);
    /// constant time, whatever the length of the queue.
    [[nodiscard]] bool containsPath(const QString &path) const;

    /// The user removes the record at row: its source (`path`) is moved to
    /// "<hotfolder>/Errors/<name>"; when that fails the "Could not move file to
    /// Errors folder" alert is shown. The record is removed in both cases.
    /// The source stays where it is when the record has no hot folder, or
    /// when another queued record (or the entry in processing, see
    /// setPathInUse) still needs it. Returns the row to select next (the row
    /// above, or -1 when the queue is empty).
    int minusBtn(int row);

    /// Asks "Do you really want to clear the queue?" and on "Clear Queue"
    /// removes every record (their sources stay in the hot folders). Returns
    /// whether the queue was cleared.
    bool clearQueue();

    /// Tells minusBtn which source the pipeline is delivering right now, so
    /// that removing a sibling group entry does not pull that file away.
    void setPathInUse(std::function<bool(const QString &path)> inUse);

protected:
    void recordEntered(const QVariantMap &record) override;
    void recordLeft(const QVariantMap &record) override;

private:
    std::function<bool(const QString &)> m_pathInUse;
    QHash<QString, int> m_pathCount; // queued records per `path`
};

} // namespace pv
