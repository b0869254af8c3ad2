#include "notify/emailsettings.h"

#include "core/alerter.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/plist.h"
#include "core/record.h"
#include "destinations/destination.h"
#include "destinations/destinationseditor.h"
#include "notify/notifykeys.h"
#include "prefs/prefs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

namespace pv {

const QString EmailSettings::kDefaultBody = QStringLiteral(
    "This is an automatic Parcelvane notification sent by Tallowin Parcelvane.\n\n"
    "This communication is regarding the item\n   <FILE NAME>\n"
    "which has been delivered to the destination\n   <DESTINATION>\n\n"
    "The file can be retrieved from the following location:\n\n"
    "Host: <HOST>\nPath: <FOLDER PATH>\nUser: <USER>\nPassword: <PASSWORD>\n\n"
    "You can also download the file by clicking on the link below:\n<ITEM DOWNLOAD LINK>\n\n"
    "...or click this link to access the enclosing folder:\n<LINK TO ITEM'S ENCLOSING FOLDER>");

const QList<TokenMenuEntry> &tokenMenu()
{
    static const QList<TokenMenuEntry> menu{
        {QStringLiteral("File Name"), QStringLiteral("<FILE NAME>")},
        {QStringLiteral("Destination"), QStringLiteral("<DESTINATION>")},
        {QStringLiteral("Host"), QStringLiteral("<HOST>")},
        {QStringLiteral("User"), QStringLiteral("<USER>")},
        {QStringLiteral("Password"), QStringLiteral("<PASSWORD>")},
        {QStringLiteral("Item Download Link"), QStringLiteral("<ITEM DOWNLOAD LINK>")},
        {QStringLiteral("Link to Enclosing Folder"),
         QStringLiteral("<LINK TO ITEM'S ENCLOSING FOLDER>")},
        {QStringLiteral("Folder Path"), QStringLiteral("<FOLDER PATH>")},
        {QStringLiteral("Timestamp"), QStringLiteral("<YYYY-MM-DD HH:MM:SS>")},
        {QStringLiteral("Month [MM]"), QStringLiteral("<MM>")},
        {QStringLiteral("Day [DD]"), QStringLiteral("<DD>")},
        {QStringLiteral("Year [YYYY]"), QStringLiteral("<YYYY>")},
        {QStringLiteral("Time [24H]"), QStringLiteral("<TIME [24H]>")},
        {QStringLiteral("Time [12H]"), QStringLiteral("<TIME [12H]>")},
        {QStringLiteral("User Name"), QStringLiteral("<USER NAME>")},
        {QStringLiteral("Computer Name"), QStringLiteral("<COMPUTER NAME>")}};
    return menu;
}

QList<std::pair<int, int>> tokenSpans(const QString &text)
{
    QList<std::pair<int, int>> spans;
    for (qsizetype open = text.indexOf(u'<'); open >= 0; open = text.indexOf(u'<', open + 1)) {
        const qsizetype close = text.indexOf(u'>', open);
        if (close < 0)
            break;
        const QString candidate = text.mid(open, close - open + 1).toUpper();
        for (const TokenMenuEntry &e : tokenMenu()) {
            if (e.token == candidate) {
                spans.append({int(open), int(close - open + 1)});
                break;
            }
        }
    }
    return spans;
}

TokenTarget tokenTarget(int recordedTag, bool tokenFieldHasText, bool bodyHasFocus)
{
    if (recordedTag == kTokenFieldTag && tokenFieldHasText)
        return TokenTarget::TokenField;
    return bodyHasFocus ? TokenTarget::Body : TokenTarget::None;
}

EmailSettings::EmailSettings(Alerter *alerter, QString filePath)
    : m_alerter(alerter),
      m_filePath(filePath.isEmpty() ? paths::appFile(kFileName) : std::move(filePath))
{}

QVariantMap EmailSettings::defaultItem()
{
    return {{tk::name, kDefaultTemplateName},
            {tk::id, 0},
            {tk::emailSubjectField, kDefaultSubject},
            {tk::emailBodyField, kDefaultBody},
            {tk::emailSMTPField, QString()},
            {tk::emailPortField, QStringLiteral("25")},
            {tk::emailSMTPButton, QStringLiteral("1")},
            {tk::emailUserField, QString()},
            {tk::emailPasswordField, QString()},
            {tk::emailSSLBtn, QStringLiteral("0")}};
}

void EmailSettings::load()
{
    m_changes.clear();
    QString error;
    const QVariant root = plist::readFile(m_filePath, &error);
    if (root.typeId() == QMetaType::QVariantList) {
        m_items.clear();
        // Rows that are not dictionaries cannot be templates.
        for (const QVariant &v : root.toList()) {
            if (v.typeId() == QMetaType::QVariantMap)
                m_items.append(v);
        }
        return;
    }
    if (QFileInfo::exists(m_filePath)) {
        // Keep what could not be read so a hand-edited file is not lost.
        const QString aside = m_filePath + QStringLiteral(".unreadable");
        QFile::remove(aside);
        if (!QFile::rename(m_filePath, aside))
            log(lcNotify(),
                QStringLiteral("--> EmailSettings: could not keep %1 aside").arg(m_filePath));
    }
    m_items = {defaultItem()};
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    if (!writeEmailTemplates(&error))
        log(lcNotify(), QStringLiteral("--> EmailSettings: %1").arg(error));
}

bool EmailSettings::writeEmailTemplates(QString *error) const
{
    return plist::writeFile(m_filePath, m_items, error);
}

void EmailSettings::setItems(const QVariantList &items)
{
    m_items = items;
}

QVariantMap EmailSettings::templateNamed(const QVariantList &items, const QString &name)
{
    for (const QVariant &v : items) {
        const QVariantMap t = v.toMap();
        if (recString(t, tk::name) == name)
            return t;
    }
    return {};
}

QVariantMap EmailSettings::getEmailTemplate(const QVariantList &items, const QString &name)
{
    QVariantMap t = templateNamed(items, name);
    return t.isEmpty() ? templateNamed(items, kDefaultTemplateName) : t;
}

QVariantMap EmailSettings::getEmailTemplate(const QString &name) const
{
    return getEmailTemplate(m_items, name);
}

QStringList EmailSettings::templateNames() const
{
    QStringList names;
    for (const QVariant &v : m_items)
        names.append(recString(v.toMap(), tk::name));
    if (names.isEmpty())
        names.append(kDefaultTemplateName);
    return names;
}

qint64 EmailSettings::newId() const
{
    // Ids identify templates across renames; a clash would send one
    // template's rename to destinations of another.
    for (;;) {
        const qint64 id = QRandomGenerator::global()->bounded(1, 0x7fffffff);
        bool used = false;
        for (const QVariant &v : m_items)
            used = used || recInt(v.toMap(), tk::id) == id;
        if (!used)
            return id;
    }
}

int EmailSettings::addRow(int selectedRow)
{
    QStringList names;
    for (const QVariant &v : m_items)
        names.append(recString(v.toMap(), tk::name));
    QString name;
    for (int i = 1; i <= 999999; ++i) {
        name = QStringLiteral("Email Template %1").arg(i);
        if (!names.contains(name))
            break;
    }
    QVariantMap item = validRow(selectedRow) ? m_items[selectedRow].toMap() : defaultItem();
    item.insert(tk::name, name);
    item.insert(tk::emails, QVariantList());
    item.insert(tk::id, newId());
    m_items.append(item);
    return int(m_items.size() - 1);
}

int EmailSettings::removeRow(int row)
{
    if (!validRow(row))
        return -1;
    const QVariantMap item = m_items[row].toMap();
    if (recString(item, tk::name) == kDefaultTemplateName) {
        alert(QStringLiteral("Default template cannot be deleted"), QString());
        return -1;
    }
    m_changes.insert(item.value(tk::id).toString(), QString());
    m_items.removeAt(row);
    return m_items.isEmpty() ? -1 : qMax(0, row - 1);
}

bool EmailSettings::renameRow(int row, const QString &newName)
{
    if (!validRow(row))
        return false;
    QVariantMap item = m_items[row].toMap();
    const QString current = recString(item, tk::name);
    if (newName == current)
        return true;
    if (current == kDefaultTemplateName)
        return false;
    // An empty name would read as a deletion to the destinations.
    if (newName.trimmed().isEmpty()) {
        alert(QStringLiteral("This field cannot be empty"), QString());
        return false;
    }
    for (int i = 0; i < m_items.size(); ++i) {
        if (i != row && recString(m_items[i].toMap(), tk::name) == newName) {
            alert(QStringLiteral("Item with this name already exists"),
                  QStringLiteral("Please choose a different name."));
            return false;
        }
    }
    m_changes.insert(item.value(tk::id).toString(), newName);
    item.insert(tk::name, newName);
    m_items[row] = item;
    return true;
}

bool EmailSettings::setField(int row, const QString &key, const QVariant &value)
{
    if (!validRow(row) || key == tk::name || key == tk::id)
        return false;
    QVariantMap item = m_items[row].toMap();
    item.insert(key, value);
    m_items[row] = item;
    return true;
}

bool EmailSettings::mayLeaveField(const QString &key, const QString &text) const
{
    if ((key == tk::emailFromField || key == tk::emailSubjectField) && text.isEmpty()) {
        alert(QStringLiteral("This field cannot be empty"), QString());
        return false;
    }
    return true;
}

bool EmailSettings::ok(DestinationsEditor &destinations, QString *error)
{
    destinations.checkTemplates(m_changes);
    m_changes.clear();
    return writeEmailTemplates(error);
}

bool EmailSettings::setSMTPPassword(int row, const QString &clear)
{
    return setField(row, tk::emailPasswordField, Prefs::encryptPassword(clear));
}

QString EmailSettings::smtpPassword(const QVariantMap &emailTemplate)
{
    return Prefs::decryptPassword(recString(emailTemplate, tk::emailPasswordField));
}

void EmailSettings::alert(const QString &title, const QString &text) const
{
    if (m_alerter)
        m_alerter->alert({title, text});
}

} // namespace pv
