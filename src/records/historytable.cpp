#include "records/historytable.h"

#include "core/journal.h"
#include "core/paths.h"
#include "core/plist.h"
#include "core/record.h"

#include <QDateTime>
#include <QFileInfo>

namespace pv {

HistoryTable::HistoryTable(Alerter *alerter, const QString &filePath, QObject *parent)
    : RecordList(filePath.isEmpty() ? paths::appFile(QStringLiteral("History.xml")) : filePath,
                 {QStringLiteral("success"), QStringLiteral("QFDestType"),
                  QStringLiteral("finalName"), QStringLiteral("dateEndStr"),
                  QStringLiteral("finalSize"), QStringLiteral("dest"), QStringLiteral("subject"),
                  QStringLiteral("attachments")},
                 alerter, parent),
      m_sortKey(QStringLiteral("dateEnd"))
{
    useJournal(Journal::kHistory);
    // Records of a run that ended before writing them are stored at once.
    if (journal() && !journal()->lines(Journal::kHistory).isEmpty())
        loadHistory();
}

HistoryTable::~HistoryTable()
{
    endReading();
    // Here, not in the base's destructor: that one would write the list
    // unread, an empty list over the whole file.
    flush();
}

void HistoryTable::endReading()
{
    if (!m_reader)
        return;
    m_reader->wait();
    m_reader.reset();
}

void HistoryTable::loadHistory()
{
    if (m_loaded)
        return;
    // A read under way would miss nothing, but its result comes later than
    // the caller needs it: read now and drop that one.
    endReading();
    adopt(readRecordFile(filePath()));
}

void HistoryTable::loadHistoryInBackground()
{
    if (m_loaded || m_reader)
        return;
    // The file must hold every record added so far: nothing is appended to
    // it while the worker reads (additions meanwhile read it here, at once).
    flush();
    const QString path = filePath();
    m_reader.reset(QThread::create([this, path] {
        QList<QVariantMap> records = readRecordFile(path);
        QMetaObject::invokeMethod(
            this,
            [this, records] {
                if (!m_reader)
                    return; // read at once meanwhile
                endReading();
                adopt(records);
            },
            Qt::QueuedConnection);
    }));
    m_reader->start();
}

void HistoryTable::adopt(const QList<QVariantMap> &records)
{
    if (m_loaded)
        return;
    m_loaded = true;
    // Records added to the unread list and not yet written come back from
    // the journal with the rest.
    QList<QVariantMap> folded = journalRecordsToFold(records);
    folded.append(std::exchange(m_notJournaled, {}));
    m_toAppend.clear();
    // Opening the history only reads; the next change writes it in this order.
    if (!records.isEmpty()) {
        setRecords(records, false);
        sortRecords(m_sortKey, m_sortOrder, false);
    }
    for (const QVariantMap &r : folded)
        insertFolded(sortedRowFor(r, m_sortKey, m_sortOrder), r);
    if (!folded.isEmpty())
        flush();
    Q_EMIT historyLoaded();
}

bool HistoryTable::addItem(const QVariantMap &record)
{
    if (!m_loaded && !m_reader && belongsAtTheEnd(record)) {
        bool ok = true;
        const QVariantMap stored = journaled(record, &ok);
        m_toAppend.append(plist::arrayElementXml(stored));
        if (!ok || !journal())
            m_notJournaled.append(stored);
        m_lastValue = record.value(m_sortKey);
        storedWithNextWrite(stored);
        return ok;
    }
    loadHistory();
    // The list is kept sorted: the new record goes straight to its place.
    return insertRecord(sortedRowFor(record, m_sortKey, m_sortOrder), record);
}

bool HistoryTable::belongsAtTheEnd(const QVariantMap &record)
{
    if (m_sortKey != QLatin1String("dateEnd") || m_sortOrder != Qt::AscendingOrder)
        return false;
    if (!m_lastKnown) {
        const QFileInfo info(filePath());
        QVariant last;
        if (info.exists() && info.size() < (64 << 10)) {
            // A short file is read whole (it may be unsorted or damaged).
            const QVariant root = plist::readFile(filePath());
            if (root.typeId() != QMetaType::QVariantList)
                return false;
            last = root.toList().value(root.toList().size() - 1);
            if (last.isValid() && last.typeId() != QMetaType::QVariantMap)
                return false;
        } else if (info.exists()) {
            // Of a long one only the end.
            last = plist::lastArrayElement(filePath());
            if (last.typeId() != QMetaType::QVariantMap)
                return false;
        }
        m_lastValue = last.toMap().value(m_sortKey);
        m_lastKnown = true;
    }
    // Where sortedRowFor would put it: after every record that does not
    // sort after it. A missing value sorts before any present one.
    const QVariant value = record.value(m_sortKey);
    if (!m_lastValue.isValid())
        return true;
    return value.typeId() == QMetaType::QDateTime && m_lastValue.typeId() == QMetaType::QDateTime &&
           value.toDateTime().toMSecsSinceEpoch() >= m_lastValue.toDateTime().toMSecsSinceEpoch();
}

bool HistoryTable::writeList(QString *error)
{
    if (m_loaded)
        return RecordList::writeList(error);
    if (m_toAppend.isEmpty())
        return true;
    if (plist::appendToArrayFile(filePath(), m_toAppend, error)) {
        m_toAppend.clear();
        m_notJournaled.clear();
        return true;
    }
    if (!error->isEmpty())
        return false;
    // Not laid out as this program writes it: read it and write it whole.
    loadHistory();
    return RecordList::writeList(error);
}

bool HistoryTable::clearHistory()
{
    loadHistory();
    Alert a;
    a.title = QStringLiteral("Do you really want to clear History?");
    a.text.clear();
    a.buttons = {QStringLiteral("Clear History"), QStringLiteral("Cancel")};
    // Nobody to ask (headless): keep the records.
    a.defaultButton = 1;
    if (ask(a) != 0)
        return false;
    setRecords({});
    return true;
}

void HistoryTable::setSortKey(const QString &key, Qt::SortOrder order)
{
    // The list is kept in its order: a view that only states it costs nothing.
    if (key == m_sortKey && order == m_sortOrder)
        return;
    m_sortKey = key;
    m_sortOrder = order;
    if (m_loaded)
        sortRecords(m_sortKey, m_sortOrder);
}

void HistoryTable::sort(int column, Qt::SortOrder order)
{
    QString key = columnKeys().value(column);
    // The text ("Mar  5/24, ...") would put the months in alphabetical order.
    if (key == QLatin1String("dateEndStr"))
        key = QStringLiteral("dateEnd");
    if (!key.isEmpty())
        setSortKey(key, order);
}

int HistoryTable::rowOfRecord(const QVariantMap &record)
{
    loadHistory();
    const QVariant want = record.value(QStringLiteral("dateEnd"));
    if (want.typeId() == QMetaType::QDateTime) {
        const QDateTime when = want.toDateTime();
        // Property-list files keep whole seconds, so a record read back from
        // one file may have lost the milliseconds the other still has.
        int sameSecond = -1;
        for (int row = 0; row < count(); ++row) {
            const QVariant v = items().at(row).value(QStringLiteral("dateEnd"));
            if (v.typeId() != QMetaType::QDateTime)
                continue;
            const QDateTime d = v.toDateTime();
            if (d == when)
                return row;
            if (sameSecond < 0 && d.toSecsSinceEpoch() == when.toSecsSinceEpoch())
                sameSecond = row;
        }
        if (sameSecond >= 0)
            return sameSecond;
    }
    Alert a;
    a.title = QStringLiteral("The item could not be found in the history");
    a.text.clear();
    ask(a);
    return -1;
}

QList<std::pair<QString, QString>> historyDetails(const QVariantMap &record)
{
    const auto text = [&](const char *key, const QString &missing = QString()) {
        const QString v = recString(record, QLatin1String(key));
        return v.isEmpty() ? missing : v;
    };
    QStringList attached;
    const QVariant att = record.value(QStringLiteral("attachments"));
    const QStringList paths =
        att.typeId() == QMetaType::QVariantList ? att.toStringList() : QStringList{att.toString()};
    for (const QString &p : paths) {
        // "-a" is an argument of the mailer, not a file.
        if (!p.isEmpty() && p != QLatin1String("-a"))
            attached.append(QFileInfo(p).fileName());
    }
    return {{QStringLiteral("Name"), text("name")},
            {QStringLiteral("Path"), text("path")},
            {QStringLiteral("Delivered as"), text("finalName")},
            {QStringLiteral("Location"), text("location")},
            {QStringLiteral("Compression"), text("compr", QStringLiteral("-"))},
            {QStringLiteral("Size"), text("sizeField")},
            {QStringLiteral("Started"), text("dateStartStr")},
            {QStringLiteral("Total time"), text("timeTotal", QStringLiteral("?"))},
            {QStringLiteral("Completed"), text("dateEndStr")},
            {QStringLiteral("To"), text("to")},
            {QStringLiteral("Cc"), text("cc")},
            {QStringLiteral("Bcc"), text("bcc")},
            {QStringLiteral("Subject"), text("subject")},
            {QStringLiteral("Attachments"), attached.join(QStringLiteral(", "))},
            {QStringLiteral("Message"), text("body")},
            {QStringLiteral("Error"), text("error")}};
}

QString HistoryTable::displayText(const QVariantMap &record, const QString &key) const
{
    if (key == QLatin1String("finalSize")) {
        const QString s = recString(record, key);
        return s.isEmpty() ? recString(record, QStringLiteral("size")) : s;
    }
    return RecordList::displayText(record, key);
}

} // namespace pv
