#include "destinations/destinationseditor.h"

#include "core/log.h"
#include "core/paths.h"
#include "core/plist.h"
#include "core/record.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "prefs/prefs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace pv {

QVariantMap readDestinationFile(const QString &path)
{
    const QVariant v = plist::readFile(path);
    if (v.typeId() != QMetaType::QVariantMap)
        return {};
    QVariantMap rec = v.toMap();
    if (recString(rec, dk::name).isEmpty())
        rec.insert(dk::name, QFileInfo(path).completeBaseName());
    return rec;
}

DestinationsEditor::DestinationsEditor(Alerter *alerter, QString dir, QObject *parent)
    : QAbstractTableModel(parent), m_alerter(alerter),
      m_dir(dir.isEmpty() ? paths::destinationsDir() : std::move(dir))
{}

QString DestinationsEditor::fileForName(const QString &name) const
{
    return m_dir + QLatin1Char('/') + name + QStringLiteral(".dest");
}

QVariantMap DestinationsEditor::readRecord(const QString &path) const
{
    return readDestinationFile(path);
}

void DestinationsEditor::load()
{
    beginResetModel();
    m_items.clear();
    bool hotFolderMissing = false;
    const QStringList entries = QDir(m_dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QString &entry : entries) {
        if (entry.startsWith(QLatin1Char('.')) ||
            QFileInfo(entry).suffix() != QLatin1String("dest"))
            continue;
        QVariantMap rec = readRecord(m_dir + QLatin1Char('/') + entry);
        if (rec.isEmpty())
            continue;
        const QString hot = recString(rec, dk::QFHotfolder);
        if (!hot.isEmpty()) {
            if (!QFileInfo::exists(hot)) {
                rec.insert(dk::hotfolderNotFound, true);
                hotFolderMissing = true;
            } else {
                rec.remove(dk::hotfolderNotFound);
            }
        }
        if (!rec.contains(dk::QFDestCode) ||
            rec.value(dk::QFDestCode).typeId() != QMetaType::QString)
            rec.insert(dk::QFDestCode, QString());
        if (recString(rec, dk::QFDestType).contains(QLatin1String("MobileMe")))
            continue;
        m_items.append(rec);
    }
    if (m_items.isEmpty()) {
        // Not over an unreadable file that holds the usual first name.
        QVariantMap rec = newItem();
        rec.insert(dk::name, freeName(QStringLiteral("Destination"), 1));
        m_items.append(rec);
    }
    sortItems();
    m_selected = m_items.isEmpty() ? -1 : 0;
    endResetModel();

    if (hotFolderMissing && m_alerter) {
        m_alerter->alert({QStringLiteral("Some hot folders have not been found"),
                          QStringLiteral("Check destination list for missing hot folders."),
                          {QStringLiteral("OK")},
                          Alert::Style::Critical});
    }
}

void DestinationsEditor::startup()
{
    beginResetModel();
    sortItems();
    endResetModel();
    m_selected = m_items.isEmpty() ? -1 : 0;
    if (settings::contains(keys::selectedRow)) {
        const qint64 row = settings::intValue(keys::selectedRow);
        if (row >= 0 && row < m_items.size())
            m_selected = int(row);
    }
    if (settings::boolValue(keys::startWatchingFlag) && m_startWatching)
        m_startWatching();
}

int DestinationsEditor::indexOfName(const QString &name) const
{
    for (int i = 0; i < m_items.size(); ++i) {
        if (recString(m_items[i], dk::name) == name)
            return i;
    }
    return -1;
}

void DestinationsEditor::setSelectedRow(int row)
{
    const int before = m_selected;
    m_selected = (row >= 0 && row < m_items.size()) ? row : -1;
    if (m_selected != before)
        Q_EMIT selectedRowChanged();
}

QVariantMap DestinationsEditor::selectedItem() const
{
    return m_selected >= 0 && m_selected < m_items.size() ? m_items[m_selected] : QVariantMap();
}

QVariantMap DestinationsEditor::newItem() const
{
    QVariantMap rec{
        {dk::name, QStringLiteral("Destination 1")},
        {dk::QFDestType, kFtpServer},
        {dk::type, 0},
        {dk::isDefault, false},
        {dk::hostField, QString()},
        {dk::QFPort, QStringLiteral("21")},
        {dk::pathField, QString()},
        {dk::userField, QString()},
        {dk::sitePasswordField, QString()},
        {dk::sendFTPBtn, 1},
        {dk::sendEmailBtn, 1},
        {dk::diskPasswordField, QString()},
        {QStringLiteral("code"), QString()},
        {QStringLiteral("dmg"), 0},
        {QStringLiteral("diskPasswordConfField"), QString()},
        {QStringLiteral("deletePrevButton"), 0},
        {QStringLiteral("leavePrevButton"), 0},
        {QStringLiteral("alwaysShowButton"), 0},
    };
    const QVariant defaults = plist::readFile(paths::appFile(QStringLiteral("Defaults.xml")));
    if (defaults.typeId() == QMetaType::QVariantMap) {
        const QVariantMap d = defaults.toMap();
        for (auto it = d.cbegin(); it != d.cend(); ++it)
            rec.insert(it.key(), it.value());
    }
    return rec;
}

QVariantMap DestinationsEditor::newGroupItem()
{
    return {{dk::isGroup, true}, {dk::QFDestType, QStringLiteral("group")}};
}

void DestinationsEditor::sortItems()
{
    const QString selectedName = m_selected >= 0 && m_selected < m_items.size()
                                     ? recString(m_items[m_selected], dk::name)
                                     : QString();
    std::stable_sort(
        m_items.begin(), m_items.end(), [this](const QVariantMap &a, const QVariantMap &b) {
            if (m_less)
                return m_less(a, b);
            return recString(a, dk::name).compare(recString(b, dk::name), Qt::CaseInsensitive) < 0;
        });
    if (!selectedName.isNull())
        m_selected = indexOfName(selectedName);
}

void DestinationsEditor::setOrder(
    std::function<bool(const QVariantMap &, const QVariantMap &)> less)
{
    m_less = std::move(less);
    beginResetModel();
    sortItems();
    endResetModel();
}

bool DestinationsEditor::acceptNewName(const QString &name)
{
    std::optional<Alert> refusal = destinationNameAlert(name);
    // A file of that name may hold a record the list does not show
    // (MobileMe, unreadable): never overwrite it.
    if (!refusal && (indexOfName(name) >= 0 || QFile::exists(fileForName(name))))
        refusal = Alert{QStringLiteral("Destination with this name already exists"),
                        QStringLiteral("Please choose a different name.")};
    if (refusal && m_alerter)
        m_alerter->alert(*refusal);
    return !refusal;
}

QString DestinationsEditor::freeName(const QString &stem, int first) const
{
    if (destinationNameAlert(stem))
        return freeName(QStringLiteral("Destination"), 1);
    for (int n = first; n <= 1000000; ++n) {
        const QString name = stem + QLatin1Char(' ') + QString::number(n);
        if (indexOfName(name) < 0 && !QFile::exists(fileForName(name)))
            return name;
    }
    return {};
}

int DestinationsEditor::addItem(const QVariantMap &record)
{
    if (!acceptNewName(recString(record, dk::name)))
        return -1;
    beginResetModel();
    m_items.append(record);
    m_selected = int(m_items.size()) - 1;
    sortItems();
    endResetModel();
    return m_selected;
}

void DestinationsEditor::setItem(int row, const QVariantMap &record)
{
    if (row < 0 || row >= m_items.size())
        return;
    m_items[row] = record;
    Q_EMIT dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

bool DestinationsEditor::writeCurrDestination()
{
    if (m_selected < 0 || m_selected >= m_items.size())
        return false;
    if (!recBool(m_items[m_selected], dk::isGroup))
        m_items[m_selected].insert(dk::QFCreateZip, true);
    // Every queued item asks for this write: unchanged, the file already
    // holds the record, and rewriting it (with a flush) per item would cost
    // a burst most of its time.
    const QVariantMap &record = m_items[m_selected];
    if (record == m_lastWritten && QFileInfo::exists(fileForName(recString(record, dk::name))))
        return true;
    return writeDestination(record);
}

bool DestinationsEditor::writeDestination(const QVariantMap &record)
{
    const QString name = recString(record, dk::name);
    if (!isUsableDestinationName(name)) {
        log(lcDestinations(),
            QStringLiteral("---> writeDestination: refused a destination name that is not a "
                           "valid file name: \"%1\"")
                .arg(name));
        return false;
    }
    QDir().mkpath(m_dir);
    QString error;
    if (!plist::writeFile(fileForName(name), record, &error)) {
        log(lcDestinations(), QStringLiteral("---> writeDestination: %1: %2").arg(name, error));
        return false;
    }
    m_lastWritten = record;
    return true;
}

bool DestinationsEditor::renameItem(int row, const QString &newName)
{
    if (row < 0 || row >= m_items.size())
        return false;
    const QString oldName = recString(m_items[row], dk::name);
    if (oldName == newName)
        return true;
    if (!acceptNewName(newName))
        return false;
    QVariantMap rec = m_items[row];
    rec.insert(dk::name, newName);
    // The new file goes down before the old one is removed, so a failure
    // leaves the destination on disk under one of its names.
    if (!writeDestination(rec))
        return false;
    // A name that is no file name never had a file of its own; its path
    // could point outside the Destinations folder.
    if (isUsableDestinationName(oldName) && QFile::exists(fileForName(oldName)) &&
        !QFile::remove(fileForName(oldName)))
        log(lcDestinations(),
            QStringLiteral("---> rename: could not remove %1").arg(fileForName(oldName)));

    beginResetModel();
    m_items[row] = rec;
    m_selected = row;
    sortItems();
    endResetModel();
    checkGroupsForDest(oldName, newName);

    const QString hot = QDir::cleanPath(recString(rec, dk::QFHotfolder));
    if (!hot.isEmpty() && QFileInfo(hot).isDir()) {
        const QString newHot = QFileInfo(hot).absolutePath() + QLatin1Char('/') + newName;
        if (QFileInfo::exists(newHot) || !QDir().rename(hot, newHot)) {
            if (m_alerter) {
                const QString why = QFileInfo::exists(newHot)
                                        ? QStringLiteral("\"%1\" already exists.").arg(newHot)
                                        : QStringLiteral("Could not move \"%1\".").arg(hot);
                m_alerter->alert(
                    {QStringLiteral("Destination's hot folder could not be renamed"),
                     QStringLiteral("Parcelvane will rename the hot folder automatically on "
                                    "startup when possible. You can also choose a different "
                                    "hotfolder location manually.\n\nError: %1")
                         .arg(why)});
            }
        } else {
            const int r = indexOfName(newName);
            m_items[r].insert(dk::QFHotfolder, newHot);
            writeDestination(m_items[r]);
        }
    }
    return true;
}

void DestinationsEditor::deleteItem(int row)
{
    if (row < 0 || row >= m_items.size())
        return;
    const QVariantMap rec = m_items[row];
    const QString name = recString(rec, dk::name);
    const QString hot = recString(rec, dk::QFHotfolder);
    if (!hot.isEmpty() && QFileInfo(hot).isDir() && !QDir(hot).removeRecursively())
        log(lcDestinations(),
            QStringLiteral("---> delete: could not remove hot folder %1").arg(hot));
    if (isUsableDestinationName(name) && QFile::exists(fileForName(name)) &&
        !QFile::remove(fileForName(name)))
        log(lcDestinations(),
            QStringLiteral("---> delete: could not remove %1").arg(fileForName(name)));

    beginRemoveRows({}, row, row);
    m_items.removeAt(row);
    // Before the views hear of the removal: they read the selection then.
    if (m_selected >= m_items.size())
        m_selected = int(m_items.size()) - 1;
    endRemoveRows();
    if (!recBool(rec, dk::isGroup))
        checkGroupsForDest(name, QString());
}

void DestinationsEditor::checkGroupsForDest(const QString &oldName, const QString &newName)
{
    for (int i = 0; i < m_items.size(); ++i) {
        QVariantMap &group = m_items[i];
        if (!recBool(group, dk::isGroup))
            continue;
        QVariantList members = group.value(dk::groupDests).toList();
        for (int m = 0; m < members.size(); ++m) {
            QVariantMap member = members[m].toMap();
            if (recString(member, dk::name) != oldName)
                continue;
            if (newName.isEmpty()) {
                members.removeAt(m);
            } else {
                member.insert(dk::name, newName);
                members[m] = member;
            }
            group.insert(dk::groupDests, members);
            Q_EMIT dataChanged(index(i, 0), index(i, ColumnCount - 1));
            break;
        }
        writeDestination(group);
    }
}

void DestinationsEditor::checkTemplates(const QHash<QString, QString> &changes)
{
    if (changes.isEmpty())
        return;
    for (int i = 0; i < m_items.size(); ++i) {
        QVariantMap &rec = m_items[i];
        const QVariant id = rec.value(dk::QFEmailTemplateId);
        if (!id.isValid() || !changes.contains(id.toString()))
            continue;
        const QString newName = changes.value(id.toString());
        if (newName.isEmpty()) {
            rec.insert(dk::QFEmailTemplate, kDefaultTemplateName);
            rec.insert(dk::QFEmailTemplateId, 0);
        } else {
            rec.insert(dk::QFEmailTemplate, newName);
        }
        Q_EMIT dataChanged(index(i, 0), index(i, ColumnCount - 1));
        writeDestination(rec);
    }
}

void DestinationsEditor::makeDefault(int row)
{
    if (row < 0 || row >= m_items.size())
        return;
    // Files edited elsewhere can bring more than one default, so every other
    // mark goes. Those records are written now: nothing else would save
    // them, and their files would bring the old mark back at the next load.
    for (int i = 0; i < m_items.size(); ++i) {
        if (i != row && recBool(m_items[i], dk::isDefault)) {
            m_items[i].insert(dk::isDefault, false);
            Q_EMIT dataChanged(index(i, 0), index(i, ColumnCount - 1));
            writeDestination(m_items[i]);
        }
    }
    m_items[row].insert(dk::isDefault, true);
    Q_EMIT dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

bool DestinationsEditor::writeDefaults(const QVariantMap &options) const
{
    QVariantMap d;
    for (const QString &key : deliveryOptionKeys())
        d.insert(key, options.value(key, 0));
    return plist::writeFile(paths::appFile(QStringLiteral("Defaults.xml")), d);
}

QVariantMap DestinationsEditor::destDictForName(const QString &name) const
{
    if (!isUsableDestinationName(name))
        return {};
    return readRecord(fileForName(name));
}

int DestinationsEditor::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_items.size());
}

int DestinationsEditor::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DestinationsEditor::data(const QModelIndex &idx, int role) const
{
    if (!idx.isValid() || idx.row() >= m_items.size())
        return {};
    const QVariantMap &rec = m_items[idx.row()];
    if (role == RecordRole)
        return rec;
    if (role == IsDefaultRole)
        return recBool(rec, dk::isDefault);
    if (role != Qt::DisplayRole)
        return {};
    switch (idx.column()) {
    case NameColumn:
        return recString(rec, dk::name);
    case CodeColumn:
        return recString(rec, dk::QFDestCode);
    case TypeColumn:
        return destTypeOf(rec);
    default:
        return {};
    }
}

QVariant DestinationsEditor::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case NameColumn:
        return QStringLiteral("Name");
    case CodeColumn:
        return QStringLiteral("Code");
    case TypeColumn:
        return QStringLiteral("Type");
    default:
        return {};
    }
}

} // namespace pv
