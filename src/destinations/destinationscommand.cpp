#include "destinations/destinationscommand.h"

#include "core/paths.h"
#include "core/plist.h"
#include "core/record.h"
#include "destinations/bookmarkimport.h"
#include "destinations/destination.h"
#include "destinations/destinationrules.h"
#include "destinations/destinationseditor.h"
#include "prefs/prefs.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMultiHash>

namespace pv {

namespace {

const QString kGroupType = QStringLiteral("group");

/// Keys that hold passwords: never printed, not even scrambled.
const QStringList &passwordKeys()
{
    static const QStringList keys{dk::sitePasswordField, dk::diskPasswordField,
                                  QStringLiteral("diskPasswordConfField")};
    return keys;
}

struct Args {
    QStringList positional;
    QMultiHash<QString, QString> options;
    QStringList flags;
    QString error;
};

Args parseArgs(const QStringList &args)
{
    static const QStringList valued{"--type", "--host", "--port",   "--user",
                                    "--path", "--code", "--member", "--hot-folder"};
    static const QStringList flags{"--json", "--password-stdin"};
    Args out;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (valued.contains(a)) {
            if (i + 1 >= args.size()) {
                out.error = QStringLiteral("%1 needs a value.").arg(a);
                return out;
            }
            out.options.insert(a, args[++i]);
        } else if (flags.contains(a)) {
            out.flags.append(a);
        } else if (a.startsWith(QLatin1String("--")) && a.size() > 2) {
            out.error = QStringLiteral("Unknown option: %1").arg(a);
            return out;
        } else {
            out.positional.append(a);
        }
    }
    return out;
}

QString alertText(const Alert &a)
{
    return a.text.isEmpty() ? a.title : a.title + QLatin1Char('\n') + a.text;
}

CommandResult failure(const QString &text, int code = 1)
{
    return {code, QString(), text + QLatin1Char('\n')};
}

CommandResult notFound(const QString &name)
{
    return failure(
        QStringLiteral("Destination not found:\nThe destination \"%1\" does not exist.").arg(name));
}

QStringList memberNames(const QVariantMap &group)
{
    QStringList names;
    for (const QVariant &m : group.value(dk::groupDests).toList())
        names.append(recString(m.toMap(), dk::name));
    return names;
}

/// The record as shown: passwords out (their presence in), members by name.
QVariantMap shownRecord(const QVariantMap &record)
{
    QVariantMap r = record;
    for (const QString &k : passwordKeys())
        r.remove(k);
    if (!recBool(record, dk::isGroup))
        r.insert(QStringLiteral("passwordSet"),
                 !recString(record, dk::sitePasswordField).isEmpty());
    if (record.contains(dk::groupDests)) {
        r.remove(dk::groupDests);
        r.insert(QStringLiteral("members"), memberNames(record));
    }
    r.insert(dk::QFDestType, destTypeOf(record));
    return r;
}

QString plainValue(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::QVariantList:
    case QMetaType::QVariantMap:
    case QMetaType::QStringList:
        return QString::fromUtf8(QJsonDocument::fromVariant(v).toJson(QJsonDocument::Compact));
    case QMetaType::Bool:
        return v.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    default:
        return v.toString();
    }
}

QString json(const QJsonValue &v)
{
    return QString::fromUtf8(v.isArray() ? QJsonDocument(v.toArray()).toJson()
                                         : QJsonDocument(v.toObject()).toJson());
}

CommandResult list(const DestinationsEditor &store, bool asJson)
{
    QString out;
    QJsonArray array;
    for (const QVariantMap &rec : store.items()) {
        if (asJson) {
            const QVariantMap shown = shownRecord(rec);
            QJsonObject o{
                {QStringLiteral("name"), recString(rec, dk::name)},
                {QStringLiteral("type"), destTypeOf(rec)},
                {QStringLiteral("code"), recString(rec, dk::QFDestCode)},
                {QStringLiteral("default"), recBool(rec, dk::isDefault)},
                {QStringLiteral("hotFolder"), recString(rec, dk::QFHotfolder)},
                {QStringLiteral("hotFolderMissing"), recBool(rec, dk::hotfolderNotFound)}};
            if (shown.contains(QStringLiteral("members")))
                o.insert(QStringLiteral("members"), QJsonArray::fromStringList(memberNames(rec)));
            array.append(o);
        } else {
            out += QStringList{recString(rec, dk::name), destTypeOf(rec),
                               recString(rec, dk::QFDestCode), recString(rec, dk::QFHotfolder)}
                       .join(QLatin1Char('\t')) +
                   QLatin1Char('\n');
        }
    }
    return {0, asJson ? json(array) : out, QString()};
}

CommandResult show(const QVariantMap &rec, bool asJson)
{
    const QVariantMap shown = shownRecord(rec);
    if (asJson)
        return {0, json(QJsonObject::fromVariantMap(shown)), QString()};
    QString out;
    for (auto it = shown.cbegin(); it != shown.cend(); ++it)
        out += it.key() + QStringLiteral(": ") + plainValue(it.value()) + QLatin1Char('\n');
    return {0, out, QString()};
}

/// The member records for names: each must be a destination that is not a
/// group, named once.
std::optional<QVariantList> membersFor(const DestinationsEditor &store, const QStringList &names,
                                       QString *error)
{
    QVariantList members;
    for (int i = 0; i < names.size(); ++i) {
        const int row = store.indexOfName(names[i]);
        if (row < 0) {
            *error = QStringLiteral("Destination not found:\nThe destination \"%1\" does not "
                                    "exist.")
                         .arg(names[i]);
            return std::nullopt;
        }
        if (recBool(store.items()[row], dk::isGroup)) {
            *error = QStringLiteral("A group cannot be a member of a group: %1").arg(names[i]);
            return std::nullopt;
        }
        if (names.indexOf(names[i]) != i) {
            *error = QStringLiteral("%1 is named twice.").arg(names[i]);
            return std::nullopt;
        }
        members.append(store.items()[row]);
    }
    return members;
}

/// Applies one KEY VALUE to rec (a copy of the record at row). Returns the
/// refusal text, or "".
QString setField(const DestinationsEditor &store, int row, QVariantMap &rec, const QString &key,
                 const QStringList &values, const std::optional<QString> &password)
{
    const QString value = values.value(0);
    const bool isGroup = recBool(rec, dk::isGroup);
    const auto needsOne = [&] {
        return values.size() == 1 ? QString() : QStringLiteral("set %1 takes one value.").arg(key);
    };
    if (key == QLatin1String("members")) {
        if (!isGroup)
            return QStringLiteral("%1 is not a group.").arg(recString(rec, dk::name));
        QString error;
        const std::optional<QVariantList> members = membersFor(store, values, &error);
        if (!members)
            return error;
        rec.insert(dk::groupDests, *members);
        return {};
    }
    if (key == QLatin1String("password") || passwordKeys().contains(key)) {
        if (!values.isEmpty() || !password)
            return QStringLiteral("Passwords are read from standard input: give "
                                  "--password-stdin and no value.");
        const QString k = key == QLatin1String("password") ? dk::sitePasswordField : key;
        rec.insert(k, password->isEmpty() ? QString() : Prefs::encryptPassword(*password));
        return {};
    }
    if (const QString e = needsOne(); !e.isEmpty())
        return e;
    if (key == QLatin1String("code") || key == dk::QFDestCode) {
        if (const std::optional<Alert> a = rules::codeAlert(value, store.items(), row))
            return alertText(*a);
        rec.insert(dk::QFDestCode, value);
        return {};
    }
    if (key == QLatin1String("default")) {
        rec.insert(dk::isDefault, value == QLatin1String("1"));
        return {};
    }
    if (isGroup)
        return QStringLiteral("A group has no %1.").arg(key);
    if (key == QLatin1String("type") || key == dk::QFDestType) {
        if (!rules::isKnownType(value))
            return QStringLiteral("Unknown type: %1\nTypes: %2")
                .arg(value, rules::destinationTypes().join(QStringLiteral(", ")));
        rules::applyType(rec, value, true);
        return {};
    }
    const QString type = destTypeOf(rec);
    if (key == QLatin1String("host") || key == dk::hostField) {
        if (!rules::optionStates(rec).hostEnabled)
            return QStringLiteral("The host of %1 destinations is fixed.").arg(type);
        rec.insert(dk::hostField, rules::stripScheme(value));
    } else if (key == QLatin1String("port") || key == dk::QFPort) {
        if (!rules::optionStates(rec).portEnabled)
            return QStringLiteral("The port of %1 destinations is fixed.").arg(type);
        rec.insert(dk::QFPort, rules::portOrDefault(value));
    } else if (key == QLatin1String("user") || key == dk::userField) {
        rec.insert(dk::userField, value);
    } else if (key == QLatin1String("path") || key == dk::pathField) {
        rec.insert(dk::pathField, value);
    } else if (key == dk::QFExpiryDays || key == QLatin1String("attachSizeField")) {
        rec.insert(key, rules::digitsOnly(value).toLongLong());
    } else if (key == QLatin1String("QFCompressionMethod")) {
        const bool dmg = value == QLatin1String("1") || value == QLatin1String("dmg");
        if (!dmg && value != QLatin1String("0") && value != QLatin1String("zip"))
            return QStringLiteral("QFCompressionMethod is zip (0) or dmg (1).");
        rec.insert(key, dmg ? 1 : 0);
        if (!rules::optionStates(rec).encryptEnabled)
            rec.insert(QStringLiteral("dmgEncryptBtn"), 0);
    } else if (rules::switchKeys().contains(key)) {
        if (value != QLatin1String("0") && value != QLatin1String("1"))
            return QStringLiteral("%1 is 0 or 1.").arg(key);
        return rules::setSwitch(rec, key, value == QLatin1String("1"));
    } else if (key == dk::QFEmailTemplate) {
        const QVariantList templates =
            plist::readFile(paths::appFile(QStringLiteral("EmailTemplates.xml"))).toList();
        if (value != kDefaultTemplateName && !rules::templateMenuNames(templates).contains(value))
            return QStringLiteral("No e-mail template is named \"%1\".").arg(value);
        rules::chooseTemplate(rec, templates, value);
    } else if (key == dk::dateFormat || key == QLatin1String("QFHttpUrl") ||
               key == QLatin1String("QFSubfolderName")) {
        rec.insert(key, value);
    } else {
        return QStringLiteral("Unknown key: %1").arg(key);
    }
    return {};
}

/// Makes a hot folder for the record at row below parent and stores it.
QString addHotFolder(DestinationsEditor &store, int row, const QString &parent)
{
    QVariantMap rec = store.items()[row];
    const QString name = recString(rec, dk::name);
    QString error;
    const QString absParent = QFileInfo(parent).absoluteFilePath();
    if (!rules::createHotFolder(absParent, name, &error))
        return alertText(rules::hotFolderNotCreatedAlert(error));
    rec.insert(dk::QFHotfolder, QDir::cleanPath(absParent + QLatin1Char('/') + name));
    rec.remove(dk::hotfolderNotFound);
    store.setItem(row, rec);
    return {};
}

/// Deletes the record's hot folder with its contents and forgets it.
QString removeHotFolder(DestinationsEditor &store, int row)
{
    QVariantMap rec = store.items()[row];
    const QString hot = recString(rec, dk::QFHotfolder);
    if (hot.isEmpty())
        return {};
    if (!recBool(rec, dk::hotfolderNotFound) && QFileInfo(hot).isDir() &&
        !QDir(hot).removeRecursively())
        return QStringLiteral("Error\nCould not delete folder: %1").arg(hot);
    rec.remove(dk::QFHotfolder);
    rec.remove(dk::hotfolderNotFound);
    store.setItem(row, rec);
    return {};
}

CommandResult add(DestinationsEditor &store, const Args &a, const std::optional<QString> &password)
{
    if (a.positional.size() != 2)
        return failure(destinationsUsage(), 2);
    const QString name = a.positional[1];
    const QString type = a.options.value(QStringLiteral("--type"));
    const bool group = type == kGroupType;
    if (type.isEmpty())
        return failure(QStringLiteral("add needs --type TYPE."), 2);
    if (!group && !rules::isKnownType(type))
        return failure(QStringLiteral("Unknown type: %1\nTypes: %2")
                           .arg(type, (rules::destinationTypes() + QStringList{kGroupType})
                                          .join(QStringLiteral(", "))),
                       2);
    QVariantMap rec = group ? DestinationsEditor::newGroupItem() : store.newItem();
    rec.insert(dk::name, name);
    rec.insert(dk::isDefault, false);
    rec.insert(dk::QFDestCode, QString());
    if (group) {
        for (const char *o : {"--host", "--port", "--user", "--path"}) {
            if (a.options.contains(o))
                return failure(QStringLiteral("A group has no %1.").arg(o), 2);
        }
        if (password)
            return failure(QStringLiteral("A group has no password."), 2);
        QStringList members = a.options.values(QStringLiteral("--member"));
        std::reverse(members.begin(), members.end()); // QMultiHash keeps the last first
        QString error;
        const std::optional<QVariantList> list = membersFor(store, members, &error);
        if (!list)
            return failure(error);
        rec.insert(dk::groupDests, *list);
    } else {
        if (a.options.contains(QStringLiteral("--member")))
            return failure(QStringLiteral("--member goes with --type group."), 2);
        rules::applyType(rec, type, true);
    }
    if (const QString code = a.options.value(QStringLiteral("--code")); !code.isEmpty()) {
        if (const std::optional<Alert> al = rules::codeAlert(code, store.items(), -1))
            return failure(alertText(*al));
        rec.insert(dk::QFDestCode, code);
    }
    const std::pair<const char *, QString> fieldOptions[] = {{"--host", QStringLiteral("host")},
                                                             {"--port", QStringLiteral("port")},
                                                             {"--user", QStringLiteral("user")},
                                                             {"--path", QStringLiteral("path")}};
    for (const auto &[option, key] : fieldOptions) {
        if (!a.options.contains(QLatin1String(option)))
            continue;
        if (const QString why =
                setField(store, -1, rec, key, {a.options.value(QLatin1String(option))}, {});
            !why.isEmpty())
            return failure(why);
    }
    if (password)
        rec.insert(dk::sitePasswordField,
                   password->isEmpty() ? QString() : Prefs::encryptPassword(*password));
    if (a.options.contains(QStringLiteral("--hot-folder")) &&
        !QFileInfo(a.options.value(QStringLiteral("--hot-folder"))).isDir())
        return failure(alertText(rules::hotFolderNotCreatedAlert(
            QStringLiteral("%1 is not a folder.").arg(a.options.value("--hot-folder")))));

    CollectingAlerter alerts;
    Alerter *previous = store.setAlerter(&alerts);
    const int row = store.addItem(rec);
    store.setAlerter(previous);
    if (row < 0)
        return failure(alerts.texts.join(QLatin1Char('\n')));
    QString err;
    if (a.options.contains(QStringLiteral("--hot-folder")))
        err = addHotFolder(store, row, a.options.value(QStringLiteral("--hot-folder")));
    store.writeDestination(store.items()[store.indexOfName(name)]);
    if (!err.isEmpty())
        return failure(err);
    return {0, QString(), QString()};
}

CommandResult set(DestinationsEditor &store, const Args &a, const std::optional<QString> &password)
{
    if (a.positional.size() < 3)
        return failure(destinationsUsage(), 2);
    const QString name = a.positional[1];
    const QString key = a.positional[2];
    const QStringList values = a.positional.mid(3);
    const int row = store.indexOfName(name);
    if (row < 0)
        return notFound(name);
    if (key == QLatin1String("name") || key == dk::name) {
        if (values.size() != 1)
            return failure(QStringLiteral("set %1 takes one value.").arg(key), 2);
        CollectingAlerter alerts;
        Alerter *previous = store.setAlerter(&alerts);
        const bool ok = store.renameItem(row, values.first());
        store.setAlerter(previous);
        return ok && alerts.texts.isEmpty() ? CommandResult{}
                                            : failure(alerts.texts.join(QLatin1Char('\n')));
    }
    if (key == QLatin1String("hot-folder") || key == dk::QFHotfolder) {
        if (values.size() != 1)
            return failure(QStringLiteral("set %1 takes one value.").arg(key), 2);
        QString err = values.first().isEmpty() ? removeHotFolder(store, row)
                                               : addHotFolder(store, row, values.first());
        store.writeDestination(store.items()[row]);
        return err.isEmpty() ? CommandResult{} : failure(err);
    }
    QVariantMap rec = store.items()[row];
    if (const QString why = setField(store, row, rec, key, values, password); !why.isEmpty())
        return failure(why);
    const bool makeDefault = (key == QLatin1String("default")) && recBool(rec, dk::isDefault);
    store.setItem(row, rec);
    if (makeDefault)
        store.makeDefault(row);
    store.writeDestination(store.items()[row]);
    return {};
}

} // namespace

QString destinationsUsage()
{
    return QStringLiteral(
               "Usage: parcelvane --destinations COMMAND [--json]\n"
               "  list\n"
               "  show NAME\n"
               "  add NAME --type TYPE [--host HOST] [--port PORT] [--user USER] "
               "[--password-stdin]\n"
               "      [--path PATH] [--hot-folder PARENT] [--code CODE]\n"
               "  add NAME --type group [--member NAME]... [--hot-folder PARENT] [--code CODE]\n"
               "  set NAME KEY VALUE   (set NAME password --password-stdin; set GROUP members "
               "NAME...)\n"
               "  rename OLD NEW\n"
               "  remove NAME\n"
               "  import cyberduck|filezilla [FILE]\n"
               "Types: %1, group")
        .arg(rules::destinationTypes().join(QStringLiteral(", ")));
}

CommandResult runDestinationsCommand(DestinationsEditor &store, const QStringList &args,
                                     const std::optional<QString> &password)
{
    const Args a = parseArgs(args);
    if (!a.error.isEmpty())
        return failure(a.error + QStringLiteral("\n") + destinationsUsage(), 2);
    const QString cmd = a.positional.value(0);
    const bool asJson = a.flags.contains(QStringLiteral("--json"));
    const int selectedRow = store.selectedRow();
    const QString selected = recString(store.selectedItem(), dk::name);

    CommandResult result;
    if (cmd == QLatin1String("list") && a.positional.size() == 1) {
        result = list(store, asJson);
    } else if (cmd == QLatin1String("show") && a.positional.size() == 2) {
        const int row = store.indexOfName(a.positional[1]);
        result = row < 0 ? notFound(a.positional[1]) : show(store.items()[row], asJson);
    } else if (cmd == QLatin1String("add")) {
        result = add(store, a, password);
    } else if (cmd == QLatin1String("set")) {
        result = set(store, a, password);
    } else if (cmd == QLatin1String("rename") && a.positional.size() == 3) {
        Args r = a;
        r.positional = {QStringLiteral("set"), a.positional[1], dk::name, a.positional[2]};
        result = set(store, r, password);
    } else if (cmd == QLatin1String("import")) {
        result = bookmarks::runImportCommand(store, a.positional.mid(1));
    } else if (cmd == QLatin1String("remove") && a.positional.size() == 2) {
        const int row = store.indexOfName(a.positional[1]);
        if (row < 0)
            return notFound(a.positional[1]);
        const QString hot = recString(store.items()[row], dk::QFHotfolder);
        store.deleteItem(row);
        if (!hot.isEmpty() && QFileInfo(hot).isDir())
            result = failure(QStringLiteral("Could not remove hot folder\nPlease remove the hot "
                                            "folder manually.\n\nError: %1 could not be deleted.")
                                 .arg(hot));
    } else {
        return failure(destinationsUsage(), 2);
    }
    // The window's selection stays on its record; a removed one gives way to
    // the row before it.
    const int row = store.indexOfName(selected);
    store.setSelectedRow(row >= 0 ? row
                                  : qMax(0, qMin(selectedRow - 1, int(store.items().size()) - 1)));
    return result;
}

} // namespace pv
