#include "destinations/destemails.h"

#include "core/record.h"

namespace pv {

namespace {
const QString kTo = QStringLiteral("to");
const QString kEmail = QStringLiteral("email");
} // namespace

DestEmails::DestEmails(QObject *parent) : QAbstractTableModel(parent) {}

void DestEmails::setItems(const QVariantList &rows)
{
    beginResetModel();
    m_items = rows;
    endResetModel();
}

int DestEmails::addRow(int selectedRow)
{
    if (!m_items.isEmpty() && recString(m_items.last().toMap(), kEmail).isEmpty())
        return int(m_items.size()) - 1;
    QString kind = QStringLiteral("To:");
    if (selectedRow >= 0 && selectedRow < m_items.size())
        kind = recString(m_items[selectedRow].toMap(), kTo);
    const int row = int(m_items.size());
    beginInsertRows({}, row, row);
    m_items.append(QVariantMap{{kTo, kind}, {kEmail, QString()}});
    endInsertRows();
    Q_EMIT edited();
    return row;
}

void DestEmails::removeRow(int row)
{
    if (row < 0 || row >= m_items.size())
        return;
    beginRemoveRows({}, row, row);
    m_items.removeAt(row);
    endRemoveRows();
    Q_EMIT edited();
}

int DestEmails::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_items.size());
}

int DestEmails::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DestEmails::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_items.size() ||
        (role != Qt::DisplayRole && role != Qt::EditRole))
        return {};
    return recString(m_items[index.row()].toMap(), index.column() == KindColumn ? kTo : kEmail);
}

bool DestEmails::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || role != Qt::EditRole || index.row() >= m_items.size())
        return false;
    const QString text = value.toString();
    if (index.column() == KindColumn &&
        !QStringList{QStringLiteral("To:"), QStringLiteral("Cc:"), QStringLiteral("Bcc:")}.contains(
            text))
        return false;
    QVariantMap row = m_items[index.row()].toMap();
    row.insert(index.column() == KindColumn ? kTo : kEmail, text);
    m_items[index.row()] = row;
    Q_EMIT dataChanged(index, index);
    Q_EMIT edited();
    return true;
}

Qt::ItemFlags DestEmails::flags(const QModelIndex &index) const
{
    return QAbstractTableModel::flags(index) | Qt::ItemIsEditable;
}

} // namespace pv
