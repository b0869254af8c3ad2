#include "records/senttable.h"

#include "core/journal.h"
#include "core/paths.h"
#include "core/record.h"
#include "core/settings.h"
#include "records/historytable.h"

#include <QFileInfo>

namespace pv {

SentTable::SentTable(Alerter *alerter, const QString &filePath, QObject *parent)
    : RecordList(filePath.isEmpty() ? paths::appFile(QStringLiteral("Sent.xml")) : filePath,
                 {QStringLiteral("finalName"), QStringLiteral("success"), QStringLiteral("dest"),
                  QStringLiteral("sizeLine")},
                 alerter, parent)
{
    useJournal(Journal::kSent);
    const QList<QVariantMap> records = readRecordFile(this->filePath());
    const QList<QVariantMap> folded = journalRecordsToFold(records);
    setRecords(records, false);
    if (folded.isEmpty())
        return;
    for (const QVariantMap &r : folded)
        insertFolded(0, r);
    const qint64 limit = recentItemsLimit(50);
    if (limit > 0)
        adjustNumberOfRecentTo(limit);
    flush();
}

qint64 SentTable::recentItemsLimit(qint64 unlimitedAs)
{
    const QString value = settings::stringValue(QStringLiteral("recentItems")).trimmed();
    if (value.compare(QLatin1String("Unlimited"), Qt::CaseInsensitive) == 0)
        return unlimitedAs;
    return std::max<qint64>(intValue(value), 0);
}

bool SentTable::addItem(const QVariantMap &record)
{
    const bool journaled = insertRecord(0, record);
    const qint64 limit = recentItemsLimit(50);
    if (limit > 0 && count() > limit)
        adjustNumberOfRecentTo(limit);
    return journaled;
}

bool SentTable::addCompletedItem(const QVariantMap &record)
{
    const qint64 limit = recentItemsLimit(1000000);
    if (limit > 0 && count() == limit)
        removeLastItem();
    return addItem(record);
}

void SentTable::removeLastItem()
{
    removeRecords(count() - 1, 1);
}

void SentTable::adjustNumberOfRecentTo(qint64 n)
{
    // 0 is the "no limit" value of the setting, not a request to empty the list.
    if (n <= 0 || count() <= n)
        return;
    removeRecords(int(n), count() - int(n));
}

bool SentTable::clearErrors()
{
    Alert a;
    a.title = QStringLiteral("Do you really want to clear the processed files list?");
    a.text = QStringLiteral("The records in History will not be affected");
    a.buttons = {QStringLiteral("Clear"), QStringLiteral("Cancel")};
    // Nobody to ask (headless): keep the records.
    a.defaultButton = 1;
    if (ask(a) != 0)
        return false;
    setRecords({});
    return true;
}

int SentTable::doubleAction(int row, HistoryTable *history)
{
    if (row < 0 || row >= count() || !history)
        return -1;
    return history->rowOfRecord(itemAt(row));
}

QString SentTable::displayText(const QVariantMap &record, const QString &key) const
{
    if (key == QLatin1String("finalName")) {
        const QString name = recString(record, key);
        return name.isEmpty() ? QFileInfo(recString(record, QStringLiteral("path"))).fileName()
                              : name;
    }
    if (key == QLatin1String("sizeLine")) {
        QString size = recString(record, QStringLiteral("sizeField"));
        if (size.isEmpty())
            size = recString(record, QStringLiteral("size"));
        return QStringLiteral("%1 %2 %3")
            .arg(size, QString(QChar(0x2022)), recString(record, QStringLiteral("dateEndStr")));
    }
    return RecordList::displayText(record, key);
}

} // namespace pv
