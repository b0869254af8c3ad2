#include "destinations/bookmarkimport.h"

#include "core/plist.h"
#include "core/record.h"
#include "destinations/destination.h"
#include "destinations/destinationrules.h"
#include "destinations/destinationscommand.h"
#include "destinations/destinationseditor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

namespace pv::bookmarks {

namespace {

const QString kCyberduck = QStringLiteral("Cyberduck");
const QString kSftp = QStringLiteral("SFTP Server");
const QString kFtps = QStringLiteral("FTPS (FTP-SSL)");

/// The whole file, unless it is missing, not a regular file (a FIFO would
/// block the read) or larger than the limit.
std::optional<QByteArray> readLimited(const QString &path, QString *error)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        *error = QStringLiteral("%1: no such file").arg(path);
        return std::nullopt;
    }
    if (!info.isFile()) {
        *error = QStringLiteral("%1: not a regular file").arg(path);
        return std::nullopt;
    }
    if (info.size() > kMaxFileSize) {
        *error =
            QStringLiteral("%1: larger than %2 MB, not read").arg(path).arg(kMaxFileSize >> 20);
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    QByteArray bytes = file.read(kMaxFileSize + 1);
    if (bytes.size() > kMaxFileSize) { // grew since it was measured
        *error =
            QStringLiteral("%1: larger than %2 MB, not read").arg(path).arg(kMaxFileSize >> 20);
        return std::nullopt;
    }
    return bytes;
}

bool hasControl(const QString &s)
{
    return std::any_of(s.cbegin(), s.cend(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

/// A host name as a URL can carry it.
bool isPlausibleHost(const QString &host)
{
    return !std::any_of(host.cbegin(), host.cend(), [](QChar c) {
        return c.unicode() <= 0x20 || c.unicode() == 0x7f || QStringLiteral("/\\@?#").contains(c);
    });
}

/// Port text for a stored value: the type's default when absent, none when
/// it is not a port number.
std::optional<QString> portText(const QVariant &stored, const QString &type)
{
    QString text;
    if (stored.typeId() == QMetaType::QString)
        text = stored.toString().trimmed();
    else if (stored.isValid())
        text = QString::number(intValue(stored));
    if (text.isEmpty() || text == QLatin1String("0"))
        return rules::defaultPortFor(type);
    bool ok = false;
    const uint port = text.toUInt(&ok);
    if (!ok || port < 1 || port > 65535 || rules::digitsOnly(text) != text)
        return std::nullopt;
    return QString::number(port);
}

/// The partial record for one bookmark's fields, or why not.
std::optional<QVariantMap> partialRecord(const QString &name, const QString &type, QString host,
                                         const std::optional<QString> &port, const QString &path,
                                         const QString &user, Skipped *why)
{
    why->name = name;
    host = host.trimmed();
    if (host.isEmpty())
        host = rules::fixedHostFor(type);
    if (host.isEmpty())
        why->reason = QStringLiteral("no server address");
    else if (!isPlausibleHost(host))
        why->reason = QStringLiteral("invalid server address \"%1\"").arg(host.simplified());
    else if (!port)
        why->reason = QStringLiteral("invalid port");
    else if (hasControl(path) || hasControl(user))
        why->reason = QStringLiteral("control characters in the user name or path");
    if (!why->reason.isEmpty())
        return std::nullopt;
    return QVariantMap{{dk::name, name},    {dk::QFDestType, type}, {dk::hostField, host},
                       {dk::QFPort, *port}, {dk::pathField, path},  {dk::userField, user}};
}

// ---- Cyberduck

void addCyberduckBookmark(const QVariantMap &b, const QString &fallbackName, Found &out)
{
    const QString protocol = recString(b, QStringLiteral("Protocol")).trimmed().toLower();
    const QString nickname = recString(b, QStringLiteral("Nickname"));
    const QString host = recString(b, QStringLiteral("Hostname"));
    const QString shownName = !nickname.isEmpty() ? nickname
                              : !host.isEmpty()   ? host
                                                  : fallbackName;
    static const QHash<QString, QString> types{
        {QStringLiteral("ftp"), kFtpServer},
        {QStringLiteral("ftps"), kFtps},
        {QStringLiteral("sftp"), kSftp},
        {QStringLiteral("s3"), QStringLiteral("Amazon S3")},
        {QStringLiteral("dav"), QStringLiteral("WebDAV Server")},
        {QStringLiteral("davs"), QStringLiteral("Secure WebDAV Server")},
        // No bookmark without a protocol was ever written for another one.
        {QString(), kFtpServer}};
    // MobileMe records would be written and then never loaded again; other
    // services are not servers of a type this application delivers to.
    const QString type = types.value(protocol);
    if (type.isEmpty()) {
        out.skipped.append(
            {validName(shownName, kCyberduck),
             protocol == QLatin1String("me")
                 ? QStringLiteral("MobileMe (iDisk) is no longer offered")
                 : QStringLiteral("protocol \"%1\" is not supported").arg(protocol)});
        return;
    }
    Skipped why;
    const std::optional<QVariantMap> rec = partialRecord(
        validName(nickname, type), type, host, portText(b.value(QStringLiteral("Port")), type),
        recString(b, QStringLiteral("Path")), recString(b, QStringLiteral("Username")), &why);
    if (rec)
        out.records.append(*rec);
    else
        out.skipped.append(why);
}

/// One property-list file: an array of bookmarks (favorites) or one.
bool readCyberduckFile(const QString &path, Found &out, QString *error)
{
    const std::optional<QByteArray> bytes = readLimited(path, error);
    if (!bytes)
        return false;
    QString why;
    const QVariant root = plist::parse(*bytes, &why);
    if (root.typeId() == QMetaType::QVariantMap) {
        addCyberduckBookmark(root.toMap(), QFileInfo(path).completeBaseName(), out);
        return true;
    }
    if (root.typeId() == QMetaType::QVariantList) {
        const QVariantList list = root.toList();
        for (qsizetype i = 0; i < list.size(); ++i) {
            if (list[i].typeId() == QMetaType::QVariantMap)
                addCyberduckBookmark(list[i].toMap(), QStringLiteral("Bookmark %1").arg(i + 1),
                                     out);
            else
                out.skipped.append(
                    {QStringLiteral("Bookmark %1").arg(i + 1), QStringLiteral("not a bookmark")});
        }
        return true;
    }
    *error = root.isValid() ? QStringLiteral("%1: not a Cyberduck bookmark file").arg(path)
                            : QStringLiteral("%1: %2").arg(path, why);
    return false;
}

Found readCyberduckFolder(const QString &dir)
{
    Found out;
    QStringList files =
        QDir(dir).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    if (files.size() > kMaxFolderFiles) {
        out.error =
            QStringLiteral("%1: more than %2 files, not read").arg(dir).arg(kMaxFolderFiles);
        return out;
    }
    QStringList errors;
    bool anyRead = false;
    for (const QString &name : files) {
        QString error;
        if (readCyberduckFile(dir + QLatin1Char('/') + name, out, &error))
            anyRead = true;
        else
            out.skipped.append({name, error.mid(dir.size() + name.size() + 3)});
    }
    if (!anyRead)
        out.error = files.isEmpty() ? QStringLiteral("%1: no bookmark files").arg(dir)
                                    : QStringLiteral("%1: no readable bookmark files").arg(dir);
    return out;
}

// ---- FileZilla

struct XmlDocFree {
    void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
};
struct XmlParserFree {
    void operator()(xmlParserCtxt *c) const { xmlFreeParserCtxt(c); }
};

QString nodeText(const xmlNode *node)
{
    xmlChar *raw = xmlNodeGetContent(node);
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(raw));
    xmlFree(raw);
    return text;
}

bool isElement(const xmlNode *n, const char *name)
{
    return n->type == XML_ELEMENT_NODE && xmlStrcmp(n->name, BAD_CAST name) == 0;
}

const xmlNode *child(const xmlNode *parent, const char *name)
{
    for (const xmlNode *n = parent->children; n; n = n->next) {
        if (isElement(n, name))
            return n;
    }
    return nullptr;
}

QString childText(const xmlNode *parent, const char *name)
{
    const xmlNode *n = child(parent, name);
    return n ? nodeText(n) : QString();
}

/// The text directly inside an element (a folder's or an old site's name).
QString ownText(const xmlNode *parent)
{
    QString text;
    for (const xmlNode *n = parent->children; n; n = n->next) {
        if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE)
            text += nodeText(n);
    }
    return text.trimmed();
}

void addFileZillaSite(const xmlNode *server, const QStringList &folders, Found &out)
{
    const QString host = childText(server, "Host").trimmed();
    QString siteName = childText(server, "Name").trimmed();
    if (siteName.isEmpty())
        siteName = ownText(server);
    if (siteName.isEmpty())
        siteName = host;
    QStringList parts = folders + QStringList{siteName};
    parts.removeAll(QString());
    const QString name = parts.join(QLatin1Char('/'));
    const QString protocolText = childText(server, "Protocol").trimmed();
    const int protocol = protocolText.isEmpty() ? 0 : protocolText.toInt();
    QString type;
    QString port = childText(server, "Port").trimmed();
    switch (protocol) {
    case 0:
        type = kFtpServer;
        break;
    case 1:
        type = kSftp;
        break;
    case 3:
    case 4:
        type = kFtps;
        break;
    default:
        break;
    }
    if (type.isEmpty() ||
        (protocol == 0 && protocolText != QLatin1String("0") && !protocolText.isEmpty())) {
        out.skipped.append({validName(name, host),
                            QStringLiteral("protocol %1 is not supported").arg(protocolText)});
        return;
    }
    // The transfers speak TLS from the first byte on port 990 and ask for it
    // with AUTH TLS on any other: a site that wants the other way would fail.
    if (protocol == 3 && (port.isEmpty() || port == QLatin1String("0")))
        port = QStringLiteral("990");
    if ((protocol == 3 && port != QLatin1String("990")) ||
        (protocol == 4 && port == QLatin1String("990"))) {
        out.skipped.append({validName(name, host),
                            protocol == 3
                                ? QStringLiteral("implicit FTPS is supported on port 990 only")
                                : QStringLiteral("explicit FTPS is not supported on port 990")});
        return;
    }
    const std::optional<QString> path = decodeRemoteDir(childText(server, "RemoteDir"));
    if (!path) {
        out.skipped.append({validName(name, host), QStringLiteral("unreadable remote folder")});
        return;
    }
    Skipped why;
    const std::optional<QVariantMap> rec =
        partialRecord(validName(name, type), type, host, portText(port, type), *path,
                      childText(server, "User"), &why);
    if (rec)
        out.records.append(*rec);
    else
        out.skipped.append(why);
}

/// Walks Servers and Folder elements; false when folders nest too deeply.
bool walkSites(const xmlNode *parent, QStringList &folders, Found &out)
{
    for (const xmlNode *n = parent->children; n; n = n->next) {
        if (isElement(n, "Server")) {
            addFileZillaSite(n, folders, out);
        } else if (isElement(n, "Folder")) {
            if (folders.size() >= kMaxFolderDepth)
                return false;
            folders.append(ownText(n));
            const bool ok = walkSites(n, folders, out);
            folders.removeLast();
            if (!ok)
                return false;
        }
    }
    return true;
}

} // namespace

QString validName(const QString &raw, const QString &fallback)
{
    QString name;
    for (const QChar c : raw) {
        if (c == u':' || c == u'/')
            name += u'-';
        else if (c == u'[')
            name += u'(';
        else if (c == u']')
            name += u')';
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            name += u' ';
        else
            name += c;
    }
    name = name.trimmed();
    while (name.startsWith(u'.'))
        name.remove(0, 1);
    name = name.trimmed();
    // A file name holds 255 bytes: room for ".dest" and a number.
    while (name.toUtf8().size() > 200)
        name.chop(1);
    if (name.size() && name.back().isHighSurrogate())
        name.chop(1);
    name = name.trimmed();
    return name.isEmpty() ? fallback : name;
}

std::optional<QString> decodeRemoteDir(const QString &encoded)
{
    if (encoded.trimmed().isEmpty())
        return QString();
    // Lengths count characters, not UTF-16 units.
    const QList<uint> s = encoded.toUcs4();
    qsizetype at = 0;
    const auto number = [&]() -> std::optional<qsizetype> {
        const qsizetype start = at;
        qsizetype n = 0;
        while (at < s.size() && s[at] >= '0' && s[at] <= '9') {
            n = n * 10 + qsizetype(s[at] - '0');
            if (++at - start > 9)
                return std::nullopt;
        }
        if (at == start || (at < s.size() && s[at] != ' '))
            return std::nullopt;
        if (at < s.size())
            ++at;
        return n;
    };
    const auto text = [&](qsizetype n) -> std::optional<QString> {
        if (n > s.size() - at)
            return std::nullopt;
        const QString t =
            QString::fromUcs4(reinterpret_cast<const char32_t *>(s.constData() + at), n);
        at += n;
        if (at < s.size() && s[at++] != ' ')
            return std::nullopt;
        return t;
    };
    const std::optional<qsizetype> type = number();
    const std::optional<qsizetype> prefixLength = type && *type <= 10 ? number() : std::nullopt;
    // A prefix names a volume of a server family whose paths are not "/"-separated.
    if (!prefixLength || *prefixLength != 0)
        return std::nullopt;
    QStringList segments;
    while (at < s.size()) {
        const std::optional<qsizetype> length = number();
        const std::optional<QString> segment = length && *length > 0 ? text(*length) : std::nullopt;
        if (!segment || segment->contains(u'/') || hasControl(*segment) ||
            *segment == QLatin1String(".") || *segment == QLatin1String(".."))
            return std::nullopt;
        segments.append(*segment);
    }
    return QLatin1Char('/') + segments.join(QLatin1Char('/'));
}

QString cyberduckFavoritesFile(const QString &home)
{
    return home + QStringLiteral("/Library/Application Support/Cyberduck/Favorites.plist");
}

QStringList cyberduckBookmarkFolders(const QString &home)
{
    return {home + QStringLiteral("/Library/Group Containers/G69SCX94XU.duck/Library/Application "
                                  "Support/duck/Bookmarks"),
            home + QStringLiteral("/Library/Application Support/Cyberduck/Bookmarks"),
            // The command-line client's support folder on Linux.
            home + QStringLiteral("/.duck/bookmarks"), home + QStringLiteral("/.duck/Bookmarks")};
}

Found readCyberduck(const QString &path)
{
    if (QFileInfo(path).isDir())
        return readCyberduckFolder(path);
    Found out;
    readCyberduckFile(path, out, &out.error);
    return out;
}

Found getCyberduckBookmarks(const QString &home)
{
    Found favorites = readCyberduck(cyberduckFavoritesFile(home));
    if (!favorites.records.isEmpty() || !favorites.skipped.isEmpty())
        return favorites;
    for (const QString &dir : cyberduckBookmarkFolders(home)) {
        if (QFileInfo(dir).isDir())
            return readCyberduckFolder(dir);
    }
    // A favorites file that is there but refused says why nothing was found.
    if (QFileInfo::exists(cyberduckFavoritesFile(home)))
        return favorites;
    return {{}, {}, QStringLiteral("No Cyberduck bookmarks were found")};
}

QString fileZillaSiteManagerFile(const QString &home, const QString &configHome)
{
    const QString current = configHome + QStringLiteral("/filezilla/sitemanager.xml");
    const QString older = home + QStringLiteral("/.filezilla/sitemanager.xml");
    return !QFileInfo::exists(current) && QFileInfo::exists(older) ? older : current;
}

Found readFileZilla(const QString &path)
{
    Found out;
    const std::optional<QByteArray> bytes = readLimited(path, &out.error);
    if (!bytes)
        return out;
    // The Site Manager never declares a document type: one that does wants
    // entities expanded (billion laughs) or external files read (XXE).
    if (bytes->contains("<!DOCTYPE") || bytes->contains("<!ENTITY")) {
        out.error = QStringLiteral("%1: declares a document type or entities, not read").arg(path);
        return out;
    }
    const std::unique_ptr<xmlParserCtxt, XmlParserFree> ctxt(xmlNewParserCtxt());
    if (!ctxt) {
        out.error = QStringLiteral("%1: out of memory").arg(path);
        return out;
    }
    // No XML_PARSE_NOENT or DTDLOAD: entities stay unexpanded, nothing is fetched.
    const std::unique_ptr<xmlDoc, XmlDocFree> doc(xmlCtxtReadMemory(
        ctxt.get(), bytes->constData(), int(bytes->size()), nullptr, nullptr,
        XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA));
    if (!doc) {
        const xmlError *e = xmlCtxtGetLastError(ctxt.get());
        out.error = QStringLiteral("%1: not XML (%2)")
                        .arg(path, e && e->message ? QString::fromUtf8(e->message).trimmed()
                                                   : QStringLiteral("unreadable"));
        return out;
    }
    const xmlNode *root = xmlDocGetRootElement(doc.get());
    const xmlNode *servers =
        root && isElement(root, "FileZilla3") ? child(root, "Servers") : nullptr;
    if (doc->intSubset || doc->extSubset) {
        out.error = QStringLiteral("%1: declares a document type or entities, not read").arg(path);
    } else if (!servers) {
        out.error = QStringLiteral("%1: not a FileZilla Site Manager file").arg(path);
    } else {
        QStringList folders;
        if (!walkSites(servers, folders, out)) {
            out = Found();
            out.error = QStringLiteral("%1: folders nested deeper than %2 levels, not read")
                            .arg(path)
                            .arg(kMaxFolderDepth);
        }
    }
    return out;
}

// ---- Adding

ImportResult addRecords(DestinationsEditor &store, const QList<QVariantMap> &partials)
{
    ImportResult result;
    CollectingAlerter alerts{QStringLiteral(": ")};
    Alerter *previous = store.setAlerter(&alerts);
    for (const QVariantMap &partial : partials) {
        const QString wanted = recString(partial, dk::name);
        const QString type = recString(partial, dk::QFDestType);
        const QString name =
            store.indexOfName(wanted) < 0 && !QFile::exists(store.fileForName(wanted))
                ? wanted
                : store.freeName(wanted, 1);
        if (name.isEmpty()) {
            result.skipped.append({wanted, QStringLiteral("no free name")});
            continue;
        }
        QVariantMap rec = store.newItem();
        rules::applyType(rec, type, false);
        for (auto it = partial.cbegin(); it != partial.cend(); ++it)
            rec.insert(it.key(), it.value());
        rec.insert(dk::name, name);
        rec.insert(dk::isDefault, false);
        rec.insert(dk::QFDestCode, QString());
        rec.insert(dk::sitePasswordField, QString());
        alerts.texts.clear();
        const int row = store.addItem(rec);
        if (row < 0 || !store.writeDestination(store.items()[store.indexOfName(name)])) {
            if (row >= 0)
                store.deleteItem(store.indexOfName(name));
            result.skipped.append({wanted, alerts.texts.isEmpty()
                                               ? QStringLiteral("its file could not be written")
                                               : alerts.texts.join(QStringLiteral("; "))});
            continue;
        }
        result.imported.append({name, type, recString(rec, dk::hostField)});
    }
    store.setAlerter(previous);
    return result;
}

namespace {

struct Texts {
    QString none;      ///< the importer's alert when nothing was read
    QString noneFound; ///< the editor's alert when no record came out
    QString confirm;   ///< with the count and the noun
    QString one, many; ///< the noun
    QString note;
};

QString skippedLines(const QList<Skipped> &skipped)
{
    QStringList lines;
    for (const Skipped &s : skipped)
        lines.append(QStringLiteral("Skipped %1: %2").arg(s.name, s.reason));
    return lines.join(QLatin1Char('\n'));
}

int runImport(DestinationsEditor &store, Alerter &alerter, const Found &found, const Texts &t)
{
    if (!found.error.isEmpty())
        alerter.alert({t.none,
                       found.error == t.none ? QString() : found.error,
                       {QStringLiteral("Cancel")},
                       Alert::Style::Warning});
    if (found.records.isEmpty()) {
        alerter.alert({t.noneFound, skippedLines(found.skipped)});
        return 0;
    }
    const qsizetype n = found.records.size();
    const int chosen = alerter.alert({t.confirm.arg(n).arg(n == 1 ? t.one : t.many),
                                      t.note,
                                      {QStringLiteral("OK"), QStringLiteral("Cancel")}});
    if (chosen != 0)
        return 0;
    store.writeCurrDestination();
    const ImportResult r = addRecords(store, found.records);
    alerter.alert({QStringLiteral("%1 destinations have been imported").arg(r.imported.size()),
                   skippedLines(found.skipped + r.skipped)});
    return int(r.imported.size());
}

const Texts &cyberduckTexts()
{
    static const Texts t{
        QStringLiteral("No Cyberduck bookmarks were found"),
        QStringLiteral("No Cyberduck bookmarks for supported protocols were found"),
        QStringLiteral("%1 Cyberduck %2 was found. Do you want to continue?"),
        QStringLiteral("bookmark"),
        QStringLiteral("bookmarks"),
        QStringLiteral("Note: Passwords in Cyberduck bookmarks are not retained.")};
    return t;
}

const Texts &fileZillaTexts()
{
    static const Texts t{QStringLiteral("No FileZilla sites were found"),
                         QStringLiteral("No FileZilla sites for supported protocols were found"),
                         QStringLiteral("%1 FileZilla %2 found. Do you want to continue?"),
                         QStringLiteral("site was"),
                         QStringLiteral("sites were"),
                         QStringLiteral("Note: Passwords in FileZilla sites are not retained.")};
    return t;
}

QString configHome()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

} // namespace

int importCyberduckBookmarks(DestinationsEditor &store, Alerter &alerter, const QString &path)
{
    return runImport(store, alerter,
                     path.isEmpty() ? getCyberduckBookmarks(QDir::homePath()) : readCyberduck(path),
                     cyberduckTexts());
}

int importFileZillaSites(DestinationsEditor &store, Alerter &alerter, const QString &path)
{
    return runImport(store, alerter,
                     readFileZilla(path.isEmpty()
                                       ? fileZillaSiteManagerFile(QDir::homePath(), configHome())
                                       : path),
                     fileZillaTexts());
}

int importTransmitFavs(Alerter &alerter)
{
    alerter.alert({QStringLiteral("Cannot find Transmit"),
                   QStringLiteral("Transmit 4 or later must run to import favorites. If Transmit "
                                  "is installed on this computer, please launch it manually and "
                                  "try again."),
                   {QStringLiteral("Cancel")},
                   Alert::Style::Critical});
    alerter.alert({QStringLiteral("No Transmit favorites were found"), QString()});
    return 0;
}

QString importUsage()
{
    return QStringLiteral("Usage: parcelvane --import cyberduck|filezilla [FILE]\n"
                          "  cyberduck: a favorites file, a bookmark file or a bookmarks folder\n"
                          "  filezilla: a sitemanager.xml\n"
                          "Without FILE the client's own files are read. Passwords are not "
                          "imported.");
}

CommandResult runImportCommand(DestinationsEditor &store, const QStringList &args)
{
    const QString client = args.value(0);
    if (args.size() > 2 ||
        (client != QLatin1String("cyberduck") && client != QLatin1String("filezilla")))
        return {2, QString(), importUsage() + QLatin1Char('\n')};
    const QString path = args.size() > 1 ? QFileInfo(args[1]).absoluteFilePath() : QString();
    const bool cyberduck = client == QLatin1String("cyberduck");
    Found found;
    if (cyberduck)
        found = path.isEmpty() ? getCyberduckBookmarks(QDir::homePath()) : readCyberduck(path);
    else
        found = readFileZilla(
            path.isEmpty() ? fileZillaSiteManagerFile(QDir::homePath(), configHome()) : path);
    QString out;
    for (const Skipped &s : found.skipped)
        out += QStringLiteral("Skipped %1: %2\n").arg(s.name, s.reason);
    if (!found.error.isEmpty())
        return {1, out, found.error + QLatin1Char('\n')};
    const ImportResult r = addRecords(store, found.records);
    for (const Imported &i : r.imported)
        out += QStringLiteral("Imported %1 (%2 %3)\n").arg(i.name, i.type, i.host);
    for (const Skipped &s : r.skipped)
        out += QStringLiteral("Skipped %1: %2\n").arg(s.name, s.reason);
    out += QStringLiteral("%1 destinations have been imported\n").arg(r.imported.size());
    return {0, out, QString()};
}

} // namespace pv::bookmarks
