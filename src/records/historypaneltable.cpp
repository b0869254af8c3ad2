#include "records/historypaneltable.h"

#include "core/record.h"

#include <algorithm>

namespace pv {

HistoryPanelTable::HistoryPanelTable(QObject *parent)
    : RecordList(QString(), {QStringLiteral("error")}, nullptr, parent)
{}

void HistoryPanelTable::addError(const QString &text)
{
    insertRecord(0, {{QStringLiteral("error"), text}});
}

void HistoryPanelTable::clearHistory()
{
    setRecords({});
}

QString HistoryPanelTable::copy(const QList<int> &rows) const
{
    QList<int> sorted = rows;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    QString out;
    for (int row : std::as_const(sorted)) {
        if (row >= 0 && row < count())
            out += recString(items().at(row), QStringLiteral("error")) + QStringLiteral("\n\n");
    }
    return out;
}

void HistoryPanelTable::setItems(const QList<QVariantMap> &records)
{
    setRecords(records);
}

QString HistoryPanelTable::selectedRowItemforColumnIdentifier(int row, const QString &key) const
{
    return itemAt(row).value(key).toString();
}

} // namespace pv
