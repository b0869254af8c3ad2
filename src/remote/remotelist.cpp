#include "remote/remotelist.h"

#include "transfer/s3endpoint.h"

#include <QLocale>
#include <QUrl>

#include <algorithm>

namespace pv {

namespace {

const QString kName = QStringLiteral("name");
const QString kDateDate = QStringLiteral("datedate");
const QString kDate = QStringLiteral("date");
const QString kKind = QStringLiteral("kind");
const QString kSizeB = QStringLiteral("sizeb");
const QString kSize = QStringLiteral("size");

bool isFolder(const QVariantMap &row)
{
    return row.value(kKind).toString() == QLatin1String(kNSFileTypeDirectory);
}

} // namespace

RemoteList::RemoteList(QObject *parent) : QAbstractTableModel(parent) {}

QVariantMap RemoteList::entryFor(const QString &name, const RemoteItemAttributes &attributes)
{
    const QDateTime date = attributes.value(QLatin1String(kNSFileModificationDate)).toDateTime();
    const QString kind = attributes.value(QLatin1String(kNSFileType)).toString();
    const qint64 size = attributes.value(QLatin1String(kNSFileSize)).toLongLong();
    QVariantMap row{{kName, name},
                    {kDateDate, date},
                    {kDate, date.isValid()
                                ? QLatin1Char(' ') +
                                      QLocale::c().toString(date.toLocalTime(),
                                                            QStringLiteral("MMM d, yyyy, HH:mm:ss"))
                                : QStringLiteral(" ")},
                    {kKind, kind},
                    {kSizeB, size}};
    row.insert(kSize,
               kind == QLatin1String(kNSFileTypeDirectory) ? QStringLiteral("-") : sizeText(size));
    return row;
}

QString RemoteList::sizeText(qint64 bytes)
{
    if (bytes <= 1048575)
        return QStringLiteral("%1 KB").arg(std::max<qint64>(1, bytes / 1024));
    if (bytes <= 1073741823)
        return QString::asprintf("%1.1f MB", double(bytes) / 1048576.0);
    return QString::asprintf("%1.2f GB", double(bytes) / 1073741824.0);
}

QString RemoteList::counterText() const
{
    return m_items.size() == 1 ? QStringLiteral("%1 item").arg(m_items.size())
                               : QStringLiteral("%1 items").arg(m_items.size());
}

bool RemoteList::canCreateFolder() const
{
    // Buckets have no folders: the URL names a bucket at the Amazon S3 service host.
    const QString host = QUrl(m_currURL).host();
    const QString service = s3::Provider::amazonS3().serviceHost;
    return host.compare(service, Qt::CaseInsensitive) != 0 &&
           !host.endsWith(QLatin1Char('.') + service, Qt::CaseInsensitive);
}

QString RemoteList::folderNameProblem(const QString &name) const
{
    if (name.isEmpty())
        return QStringLiteral("Please specify a folder name");
    static const QString forbidden = QStringLiteral("\"!@#$%^&()+~`[]*?\\/|:<>");
    if (std::any_of(name.cbegin(), name.cend(), [](QChar c) { return forbidden.contains(c); }))
        return QStringLiteral("Folder name cannot contain the following characters: ! @ # $ % ^ & "
                              "( ) + ~ ` [ ] * ? \\ / | : < >");
    if (std::any_of(m_items.cbegin(), m_items.cend(),
                    [&name](const QVariantMap &row) { return row.value(kName) == name; }))
        return QStringLiteral("This name is already taken. Please choose a different name.");
    return {};
}

QString RemoteList::copyText(const QList<int> &rows) const
{
    QStringList names;
    for (const int row : rows)
        if (row >= 0 && row < m_items.size())
            names.append(m_items[row].value(kName).toString());
    return names.join(QLatin1Char('\n'));
}

void RemoteList::setItems(const RemoteListing &listing)
{
    beginResetModel();
    m_items.clear();
    m_items.reserve(listing.size());
    for (auto it = listing.cbegin(); it != listing.cend(); ++it)
        m_items.append(entryFor(it.key(), it.value()));
    endResetModel();
    sort(m_sortColumn, m_sortOrder);
    Q_EMIT counterChanged(counterText());
}

void RemoteList::setCurrURL(const QString &url, const QVariantMap &dest)
{
    m_currURL = url;
    m_dest = dest;
}

void RemoteList::clear()
{
    setItems({});
}

void RemoteList::sort(int column, Qt::SortOrder order)
{
    m_sortColumn = column;
    m_sortOrder = order;
    Q_EMIT layoutAboutToBeChanged();
    const auto less = [column](const QVariantMap &a, const QVariantMap &b) {
        switch (column) {
        case DateColumn:
            return a.value(kDateDate).toDateTime() < b.value(kDateDate).toDateTime();
        case SizeColumn:
            return a.value(kSizeB).toLongLong() < b.value(kSizeB).toLongLong();
        default:
            return a.value(kName).toString().localeAwareCompare(b.value(kName).toString()) < 0;
        }
    };
    std::stable_sort(m_items.begin(), m_items.end(),
                     [&](const QVariantMap &a, const QVariantMap &b) {
                         return order == Qt::AscendingOrder ? less(a, b) : less(b, a);
                     });
    Q_EMIT layoutChanged();
}

int RemoteList::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_items.size());
}

int RemoteList::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RemoteList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_items.size())
        return {};
    const QVariantMap &row = m_items[index.row()];
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case NameColumn:
            return row.value(kName);
        case DateColumn:
            return row.value(kDate);
        case SizeColumn:
            return row.value(kSize);
        default:
            return {};
        }
    case Qt::TextAlignmentRole:
        if (index.column() == SizeColumn)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    case IsFolderRole:
        return isFolder(row);
    case EntryRole:
        return row;
    default:
        return {};
    }
}

QVariant RemoteList::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case NameColumn:
        return QStringLiteral("Name");
    case DateColumn:
        return QStringLiteral("Date Modified");
    case SizeColumn:
        return QStringLiteral("Size");
    default:
        return {};
    }
}

void RemoteList::run(RemoteManager::Operation op, QVariantMap parameters, const QString &status)
{
    Q_EMIT progressChanged(status, true);
    parameters.insert(QStringLiteral("url"), m_currURL);
    parameters.insert(QStringLiteral("dest"), m_dest);
    RemoteManager::start(std::make_unique<RemoteManager>(this, parameters), op);
}

void RemoteList::refresh()
{
    run(RemoteManager::Operation::Refresh, {}, QStringLiteral("Listing directory..."));
}

void RemoteList::createFolder(const QString &name)
{
    run(RemoteManager::Operation::CreateFolder, {{QStringLiteral("name"), name}},
        QStringLiteral("Creating new folder..."));
}

void RemoteList::deleteRows(const QList<int> &rows)
{
    QVariantList selected;
    for (const int row : rows)
        if (row >= 0 && row < m_items.size())
            selected.append(m_items[row]);
    if (selected.isEmpty())
        return;
    run(RemoteManager::Operation::DeleteItems, {{QStringLiteral("selectedItems"), selected}},
        QStringLiteral("Deleting..."));
}

void RemoteList::readOutput(const RemoteStatus &status)
{
    if (status.type == RemoteStatus::Type::Update) {
        Q_EMIT progressChanged(status.status, true);
        return;
    }
    Q_EMIT progressChanged(QString(), false);
    Q_EMIT operationEnded();
    if (status.success)
        return;
    switch (status.type) {
    case RemoteStatus::Type::End:
        Q_EMIT failed(QStringLiteral("Error"), QStringLiteral("Some items could not be deleted."));
        break;
    case RemoteStatus::Type::EndFolder:
        Q_EMIT failed(QStringLiteral("Error: Cannot create folder"),
                      QStringLiteral("The name may be taken or permission denied."));
        break;
    case RemoteStatus::Type::EndRefresh:
        Q_EMIT failed(QStringLiteral("Error: Cannot list directory"), QString());
        break;
    default:
        break;
    }
}

} // namespace pv
