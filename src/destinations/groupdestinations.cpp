#include "destinations/groupdestinations.h"

#include "core/record.h"
#include "destinations/destination.h"

#include <QDataStream>
#include <QIODevice>
#include <QMimeData>

#include <algorithm>

namespace pv {

namespace {
void sortByName(QList<QVariantMap> &items)
{
    std::stable_sort(items.begin(), items.end(), [](const QVariantMap &a, const QVariantMap &b) {
        return recString(a, dk::name).compare(recString(b, dk::name), Qt::CaseInsensitive) < 0;
    });
}

/// Distinct valid rows, ascending.
QList<int> cleanRows(QList<int> rows, qsizetype count)
{
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    rows.erase(
        std::remove_if(rows.begin(), rows.end(), [count](int r) { return r < 0 || r >= count; }),
        rows.end());
    return rows;
}
} // namespace

DestinationList::DestinationList(GroupEditor &editor, bool members)
    : m_editor(editor), m_members(members)
{}

void DestinationList::setItems(QList<QVariantMap> items)
{
    beginResetModel();
    m_items = std::move(items);
    if (!m_members)
        sortByName(m_items);
    endResetModel();
}

QStringList DestinationList::namesOf(const QList<int> &rows) const
{
    QStringList names;
    for (int r : cleanRows(rows, m_items.size()))
        names.append(recString(m_items[r], dk::name));
    return names;
}

int DestinationList::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_items.size());
}

QVariant DestinationList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_items.size())
        return {};
    const QVariantMap &rec = m_items[index.row()];
    if (role == Qt::DisplayRole)
        return recString(rec, dk::name);
    if (role == RecordRole)
        return rec;
    if (role == IsDefaultRole)
        return recBool(rec, dk::isDefault);
    return {};
}

Qt::ItemFlags DestinationList::flags(const QModelIndex &index) const
{
    const Qt::ItemFlags base = Qt::ItemIsDropEnabled;
    return index.isValid() ? base | Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled
                           : base;
}

QStringList DestinationList::mimeTypes() const
{
    return {kAvailableType, kGroupType};
}

QMimeData *DestinationList::mimeData(const QModelIndexList &indexes) const
{
    QList<int> rows;
    for (const QModelIndex &i : indexes)
        rows.append(i.row());
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << cleanRows(rows, m_items.size());
    auto *mime = new QMimeData;
    mime->setData(m_members ? kGroupType : kAvailableType, bytes);
    return mime;
}

bool DestinationList::canDropMimeData(const QMimeData *data, Qt::DropAction, int, int,
                                      const QModelIndex &) const
{
    // Only the other list's rows: a drop within one list changes nothing.
    return data && data->hasFormat(m_members ? kAvailableType : kGroupType);
}

bool DestinationList::dropMimeData(const QMimeData *data, Qt::DropAction action, int row,
                                   int column, const QModelIndex &parent)
{
    if (!canDropMimeData(data, action, row, column, parent))
        return false;
    QList<int> rows;
    QDataStream in(data->data(m_members ? kAvailableType : kGroupType));
    in >> rows;
    if (in.status() != QDataStream::Ok)
        return false;
    if (m_members)
        m_editor.addRows(rows);
    else
        m_editor.removeRows(rows);
    // The move is done here; the view must not remove the dragged rows again.
    return false;
}

GroupEditor::GroupEditor(QObject *parent)
    : QObject(parent), m_members(*this, true), m_candidates(*this, false)
{}

void GroupEditor::setGroup(const QVariantMap &group, const QList<QVariantMap> &all)
{
    QList<QVariantMap> members;
    QStringList names;
    for (const QVariant &v : group.value(dk::groupDests).toList()) {
        QVariantMap member = v.toMap();
        const QString name = recString(member, dk::name);
        // The member's current record where it still exists: its icon and
        // default mark may have changed since the group was saved.
        for (const QVariantMap &rec : all) {
            if (recString(rec, dk::name) == name)
                member = rec;
        }
        members.append(member);
        names.append(name);
    }
    QList<QVariantMap> candidates;
    for (const QVariantMap &rec : all) {
        if (!recBool(rec, dk::isGroup) && !names.contains(recString(rec, dk::name)))
            candidates.append(rec);
    }
    m_members.setItems(members);
    m_candidates.setItems(candidates);
}

void GroupEditor::addRows(QList<int> rows)
{
    rows = cleanRows(rows, m_candidates.m_items.size());
    if (rows.isEmpty())
        return;
    QList<QVariantMap> members = m_members.m_items;
    QList<QVariantMap> candidates = m_candidates.m_items;
    for (int r : rows)
        members.append(candidates[r]);
    for (auto it = rows.crbegin(); it != rows.crend(); ++it)
        candidates.removeAt(*it);
    m_members.setItems(members);
    m_candidates.setItems(candidates);
    Q_EMIT membersChanged();
}

void GroupEditor::removeRows(QList<int> rows)
{
    rows = cleanRows(rows, m_members.m_items.size());
    if (rows.isEmpty())
        return;
    QList<QVariantMap> members = m_members.m_items;
    QList<QVariantMap> candidates = m_candidates.m_items;
    for (int r : rows)
        candidates.append(members[r]);
    for (auto it = rows.crbegin(); it != rows.crend(); ++it)
        members.removeAt(*it);
    m_members.setItems(members);
    m_candidates.setItems(candidates);
    Q_EMIT membersChanged();
}

QVariantList GroupEditor::groupDests() const
{
    QVariantList out;
    for (const QVariantMap &m : m_members.items())
        out.append(m);
    return out;
}

} // namespace pv
