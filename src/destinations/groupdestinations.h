#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QVariantMap>

namespace pv {

class GroupEditor;

/// One of the two lists of the group editor: the group's members
/// (`GroupDestinations`, kept in the order they were added) or the
/// destinations that can still be added (`AvailableDestinations`, sorted by
/// name). Rows are dragged between them as index sets under the list's own
/// type; each list takes only the other's rows.
class DestinationList final : public QAbstractListModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DestinationList)

public:
    static inline const QString kAvailableType = QStringLiteral("availDestsDataType");
    static inline const QString kGroupType = QStringLiteral("groupDestsDataType");
    static constexpr int RecordRole = Qt::UserRole;
    static constexpr int IsDefaultRole = Qt::UserRole + 1;

    DestinationList(GroupEditor &editor, bool members);

    [[nodiscard]] const QList<QVariantMap> &items() const { return m_items; }
    /// The names of rows; empty when the list is empty.
    [[nodiscard]] QStringList namesOf(const QList<int> &rows) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;
    bool canDropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                         const QModelIndex &parent) const override;
    bool dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                      const QModelIndex &parent) override;
    Qt::DropActions supportedDropActions() const override { return Qt::MoveAction; }
    Qt::DropActions supportedDragActions() const override { return Qt::MoveAction; }

private:
    friend class GroupEditor;
    void setItems(QList<QVariantMap> items);

    GroupEditor &m_editor;
    bool m_members;
    QList<QVariantMap> m_items;
};

/// The member and candidate lists of the group being edited. Main thread.
class GroupEditor final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(GroupEditor)

public:
    explicit GroupEditor(QObject *parent = nullptr);

    /// Shows group: its members from `groupDests`, matched to the current
    /// records of all by name where they still exist; then every record of
    /// all that is not a group and not a member as a candidate.
    void setGroup(const QVariantMap &group, const QList<QVariantMap> &all);
    /// Moves candidate rows (in their order) to the end of the members.
    void addRows(QList<int> candidateRows);
    /// Moves member rows back to the candidates, which stay sorted.
    void removeRows(QList<int> memberRows);
    /// The member list as stored in `groupDests`.
    [[nodiscard]] QVariantList groupDests() const;

    DestinationList &members() { return m_members; }
    DestinationList &candidates() { return m_candidates; }

Q_SIGNALS:
    /// The member list changed by an add, a removal or a drop.
    void membersChanged();

private:
    DestinationList m_members;
    DestinationList m_candidates;
};

} // namespace pv
