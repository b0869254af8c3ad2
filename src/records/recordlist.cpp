#include "records/recordlist.h"

#include <QHash>
#include <QSet>
#include <QTimer>

#include "core/journal.h"
#include "core/log.h"
#include "core/plist.h"
#include "core/record.h"
#include "core/support.h"

#include <QCollator>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace pv {

namespace {

bool isNumber(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return true;
    default:
        return false;
    }
}

// Three-way comparison of two record values the way a table column sorts:
// dates by time, numbers by value, everything else as text with numbers in
// it compared by value. A missing value sorts before any present one.
int compareValues(const QVariant &a, const QVariant &b, const QCollator &collator)
{
    if (!a.isValid() || !b.isValid())
        return int(a.isValid()) - int(b.isValid());
    if (a.typeId() == QMetaType::QDateTime && b.typeId() == QMetaType::QDateTime) {
        const qint64 x = a.toDateTime().toMSecsSinceEpoch();
        const qint64 y = b.toDateTime().toMSecsSinceEpoch();
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    if (isNumber(a) && isNumber(b)) {
        const double x = a.toDouble();
        const double y = b.toDouble();
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    return collator.compare(a.toString(), b.toString());
}

} // namespace

RecordList::RecordList(const QString &filePath, const QStringList &columns, Alerter *alerter,
                       QObject *parent)
    : QAbstractTableModel(parent), m_filePath(filePath), m_columns(columns), m_alerter(alerter)
{}

RecordList::~RecordList()
{
    flush();
}

int RecordList::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

int RecordList::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_columns.size());
}

QVariant RecordList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= count() || index.column() >= m_columns.size())
        return {};
    const QVariantMap &record = m_items.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return displayText(record, m_columns.at(index.column()));
    case RecordRole:
        return record;
    default:
        return {};
    }
}

QVariant RecordList::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < m_columns.size()) {
        // Column titles for people; the key itself where none is set.
        static const QHash<QString, QString> titles{
            {QStringLiteral("name"), QStringLiteral("Name")},
            {QStringLiteral("finalName"), QStringLiteral("Name")},
            {QStringLiteral("dest"), QStringLiteral("Destination")},
            {QStringLiteral("size"), QStringLiteral("Size")},
            {QStringLiteral("date"), QStringLiteral("Queued")},
            {QStringLiteral("success"), QStringLiteral("Result")},
            {QStringLiteral("sizeLine"), QStringLiteral("Size and date")},
            {QStringLiteral("dateEndStr"), QStringLiteral("Delivered")},
            {QStringLiteral("finalSize"), QStringLiteral("Size")},
            {QStringLiteral("error"), QStringLiteral("Error")},
            {QStringLiteral("QFDestType"), QStringLiteral("Type")},
            {QStringLiteral("subject"), QStringLiteral("Mail")},
            {QStringLiteral("attachments"), QStringLiteral("Attached")}};
        const QString key = m_columns.at(section);
        return titles.value(key, key);
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

QVariantMap RecordList::itemAt(int row) const
{
    return row >= 0 && row < count() ? m_items.at(row) : QVariantMap();
}

void RecordList::writeItems()
{
    if (m_filePath.isEmpty() || m_writePending)
        return;
    m_writePending = true;
    // A lone change is written at the end of the turn. During a burst (a
    // thousand deliveries in a row) the whole file is rewritten at most about
    // twice a second, and never so often that writing it takes more than a
    // tenth of the time, so the cost of the records grows linearly, not with
    // the square of the burst, however large the list.
    const qint64 gap = qMax<qint64>(500, 10 * m_lastWriteMs);
    const qint64 since = m_sinceWrite.isValid() ? m_sinceWrite.elapsed() : gap;
    if (since >= gap)
        QMetaObject::invokeMethod(this, &RecordList::flush, Qt::QueuedConnection);
    else
        QTimer::singleShot(int(gap - since), this, &RecordList::flush);
}

bool RecordList::flush()
{
    if (!m_writePending)
        return true;
    m_writePending = false;
    m_sinceWrite.restart();
    // The folder normally exists from start-up; a missing one is not worth
    // losing the list for.
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    QString error;
    QElapsedTimer took;
    took.start();
    const bool ok = writeList(&error);
    if (ok && m_journal) {
        // The file now holds every journaled record still in the list.
        if (m_journal->retire(m_unwritten))
            m_unwritten.clear();
    }
    m_lastWriteMs = took.elapsed();
    if (!ok)
        log(lcRecords(), QStringLiteral("Could not write %1: %2").arg(m_filePath, error));
    Q_EMIT itemsWritten(ok);
    return ok;
}

bool RecordList::writeList(QString *error)
{
    return plist::writeArrayFileReusing(
        m_filePath, &m_spans, [this](qsizetype i) { return plist::arrayElementXml(m_items.at(i)); },
        &m_written, error);
}

QList<QVariantMap> RecordList::itemsForAction(int rightClickedRow,
                                              const QList<int> &selectedRows) const
{
    QList<QVariantMap> out;
    if (m_items.isEmpty())
        return out;
    if (rightClickedRow >= 0 && rightClickedRow < count() &&
        !selectedRows.contains(rightClickedRow)) {
        out.append(m_items.at(rightClickedRow));
        return out;
    }
    QList<int> rows = selectedRows;
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    for (int row : std::as_const(rows)) {
        if (row >= 0 && row < count())
            out.append(m_items.at(row));
    }
    return out;
}

QString RecordList::copyLink(const QList<QVariantMap> &items)
{
    if (items.isEmpty())
        return {};
    const QString link = recString(items.first(), QStringLiteral("downloadURLForUser"));
    if (!link.isEmpty())
        return link;
    Alert a;
    a.title = QStringLiteral("Download link not specified");
    a.text = QStringLiteral("The file was possibly sent before this feature was "
                            "implemented.\n\nWith any questions, contact ") +
             QLatin1String(kSupportAddress);
    ask(a);
    return {};
}

QList<QVariantMap> RecordList::readRecordFile(const QString &path)
{
    QList<QVariantMap> out;
    if (!QFileInfo::exists(path))
        return out;
    QString error;
    const QVariant root = plist::readFile(path, &error);
    if (root.typeId() != QMetaType::QVariantList) {
        const QString aside = path + QStringLiteral(".unreadable");
        QFile::remove(aside);
        QFile::copy(path, aside);
        log(lcRecords(),
            QStringLiteral("%1 could not be read (%2); starting with an empty list, the old "
                           "file is kept as %3")
                .arg(path, root.isValid() ? QStringLiteral("not a list") : error, aside));
        return out;
    }
    const QVariantList list = root.toList();
    out.reserve(list.size());
    for (const QVariant &v : list) {
        if (v.typeId() == QMetaType::QVariantMap)
            out.append(v.toMap());
    }
    if (out.size() != list.size())
        log(lcRecords(), QStringLiteral("%1: skipped %2 entries that are not records")
                             .arg(path)
                             .arg(list.size() - out.size()));
    return out;
}

QString RecordList::displayText(const QVariantMap &record, const QString &key) const
{
    const QVariant v = record.value(key);
    if (v.typeId() == QMetaType::QDateTime)
        return v.toDateTime().toLocalTime().toString(Qt::ISODate);
    return v.toString();
}

bool RecordList::insertRecord(int row, const QVariantMap &record)
{
    bool ok = true;
    insertFolded(row, journaled(record, &ok));
    return ok;
}

QVariantMap RecordList::journaled(const QVariantMap &record, bool *journaled)
{
    *journaled = true;
    if (!m_journal)
        return record;
    const QString id = m_journal->append(m_journalKind, record);
    QVariantMap stored = record;
    if (id.isEmpty())
        stored.remove(kJournalId);
    else
        stored.insert(kJournalId, id);
    *journaled = !id.isEmpty();
    return stored;
}

void RecordList::storedWithNextWrite(const QVariantMap &record)
{
    const QString id = recString(record, kJournalId);
    if (m_journal && !id.isEmpty())
        m_unwritten.append(id);
    writeItems();
}

void RecordList::insertFolded(int row, const QVariantMap &record)
{
    row = std::clamp(row, 0, count());
    beginInsertRows(QModelIndex(), row, row);
    m_items.insert(row, record);
    m_spans.insert(row, plist::ElementSpan());
    endInsertRows();
    recordEntered(record);
    storedWithNextWrite(record);
}

void RecordList::useJournal(const QString &kind)
{
    if (m_filePath.isEmpty())
        return;
    m_journal = Journal::forFolder(QFileInfo(m_filePath).absolutePath());
    m_journalKind = kind;
}

QList<QVariantMap> RecordList::journalRecordsToFold(const QList<QVariantMap> &records)
{
    if (!m_journal)
        return {};
    const QList<Journal::Line> lines = m_journal->lines(m_journalKind);
    if (lines.isEmpty())
        return {};
    QSet<QString> inFile;
    for (const QVariantMap &r : records) {
        const QString id = recString(r, kJournalId);
        if (!id.isEmpty())
            inFile.insert(id);
    }
    qsizetype last = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (inFile.contains(lines.at(i).id))
            last = i;
    }
    QStringList stored;
    QList<QVariantMap> out;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i <= last || lines.at(i).value.typeId() != QMetaType::QVariantMap) {
            stored.append(lines.at(i).id);
            continue;
        }
        QVariantMap r = lines.at(i).value.toMap();
        r.insert(kJournalId, lines.at(i).id);
        out.append(r);
    }
    m_journal->retire(stored);
    if (!out.isEmpty())
        log(lcRecords(), QStringLiteral("%1: %2 records restored from the journal")
                             .arg(m_filePath)
                             .arg(out.size()));
    return out;
}

void RecordList::removeRecords(int row, int n)
{
    if (row < 0 || n <= 0 || row >= count())
        return;
    n = std::min(n, count() - row);
    beginRemoveRows(QModelIndex(), row, row + n - 1);
    for (int i = row; i < row + n; ++i)
        recordLeft(m_items.at(i));
    m_items.remove(row, n);
    m_spans.remove(row, n);
    endRemoveRows();
    writeItems();
}

void RecordList::setRecords(const QList<QVariantMap> &records, bool write)
{
    beginResetModel();
    for (const QVariantMap &r : std::as_const(m_items))
        recordLeft(r);
    m_items = records;
    m_spans = QList<plist::ElementSpan>(m_items.size());
    for (const QVariantMap &r : std::as_const(m_items))
        recordEntered(r);
    endResetModel();
    if (write) {
        // The records were taken away (the list is cleared): their lines
        // must not bring them back after a crash.
        if (m_journal && m_journal->retire(m_unwritten))
            m_unwritten.clear();
        writeItems();
    }
}

int RecordList::sortedRowFor(const QVariantMap &record, const QString &key,
                             Qt::SortOrder order) const
{
    QCollator collator;
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    const QVariant value = record.value(key);
    const auto it = std::upper_bound(m_items.cbegin(), m_items.cend(), value,
                                     [&](const QVariant &v, const QVariantMap &item) {
                                         const int c = compareValues(v, item.value(key), collator);
                                         return order == Qt::AscendingOrder ? c < 0 : c > 0;
                                     });
    return int(it - m_items.cbegin());
}

void RecordList::sortRecords(const QString &key, Qt::SortOrder order, bool write)
{
    if (m_items.size() < 2)
        return;
    QCollator collator;
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);

    QList<int> perm(m_items.size());
    for (int i = 0; i < perm.size(); ++i)
        perm[i] = i;
    std::stable_sort(perm.begin(), perm.end(), [&](int x, int y) {
        const int c = compareValues(m_items.at(x).value(key), m_items.at(y).value(key), collator);
        return order == Qt::AscendingOrder ? c < 0 : c > 0;
    });
    bool changed = false;
    for (int i = 0; i < perm.size() && !changed; ++i)
        changed = perm.at(i) != i;
    if (!changed)
        return;

    Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    QList<int> newRowOf(perm.size());
    QList<QVariantMap> sorted;
    QList<plist::ElementSpan> sortedSpans;
    sorted.reserve(m_items.size());
    sortedSpans.reserve(m_items.size());
    for (int i = 0; i < perm.size(); ++i) {
        newRowOf[perm.at(i)] = i;
        sorted.append(m_items.at(perm.at(i)));
        sortedSpans.append(m_spans.at(perm.at(i)));
    }
    m_items = std::move(sorted);
    m_spans = std::move(sortedSpans);
    const QModelIndexList from = persistentIndexList();
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex &idx : from)
        to.append(index(newRowOf.at(idx.row()), idx.column()));
    changePersistentIndexList(from, to);
    Q_EMIT layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    if (write)
        writeItems();
}

int RecordList::ask(const Alert &alert)
{
    if (m_alerter)
        return m_alerter->alert(alert);
    LoggingAlerter fallback;
    return fallback.alert(alert);
}

} // namespace pv
