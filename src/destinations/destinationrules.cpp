#include "destinations/destinationrules.h"

#include "core/record.h"
#include "destinations/destination.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace pv::rules {

namespace {
const QString kAmazonS3 = QStringLiteral("Amazon S3");
const QString kGoogleStorage = QStringLiteral("Google Storage");
const QString kMobileMe = QStringLiteral("MobileMe (iDisk)");

const QString kQFCompressFiles = QStringLiteral("QFCompressFiles");
const QString kQFCompressFolders = QStringLiteral("QFCompressFolders");
const QString kQFCompressionMethod = QStringLiteral("QFCompressionMethod");
const QString kDmgEncryptBtn = QStringLiteral("dmgEncryptBtn");
const QString kQFUseHTTP = QStringLiteral("QFUseHTTP");
const QString kQFAttachSubfolder = QStringLiteral("QFAttachSubfolder");
const QString kAttachSizeBtn = QStringLiteral("attachSizeBtn");
const QString kQFCreateLoresPDF = QStringLiteral("QFCreateLoresPDF");
const QString kQFFinderTagsDict = QStringLiteral("QFFinderTagsDict");
const QString kQFApplyFinderTag = QStringLiteral("QFApplyFinderTag");
const QString kQFFinderTag = QStringLiteral("QFFinderTag");
const QString kQFTagImageName = QStringLiteral("QFTagImageName");

bool hasFtp(const QString &type)
{
    return type.contains(QLatin1String("FTP"));
}

bool isWebDav(const QString &type)
{
    return type == QLatin1String("WebDAV Server") || type == QLatin1String("Secure WebDAV Server");
}

bool on(const QVariantMap &r, const QString &key)
{
    return recInt(r, key) != 0;
}
} // namespace

const QStringList &destinationTypes()
{
    static const QStringList types{kFtpServer,
                                   QStringLiteral("FTPS (FTP-SSL)"),
                                   QStringLiteral("SFTP Server"),
                                   QStringLiteral("WebDAV Server"),
                                   QStringLiteral("Secure WebDAV Server"),
                                   QStringLiteral("AFP Server"),
                                   QStringLiteral("SMB Server"),
                                   kAmazonS3,
                                   kGoogleStorage,
                                   kLocalDisk};
    return types;
}

bool isKnownType(const QString &type)
{
    return destinationTypes().contains(type);
}

QString defaultPortFor(const QString &type)
{
    if (type == kFtpServer || type.contains(QLatin1String("FTPS")))
        return QStringLiteral("21");
    if (type == QLatin1String("SFTP Server"))
        return QStringLiteral("22");
    if (type == QLatin1String("WebDAV Server") || type == kMobileMe)
        return QStringLiteral("80");
    if (type == QLatin1String("Secure WebDAV Server") || isCloudType(type))
        return QStringLiteral("443");
    if (type == QLatin1String("AFP Server"))
        return QStringLiteral("548");
    if (type == QLatin1String("SMB Server"))
        return QStringLiteral("445");
    return {};
}

QString fixedHostFor(const QString &type)
{
    if (type == kAmazonS3)
        return QStringLiteral("s3.amazonaws.com");
    if (type == kGoogleStorage)
        return QStringLiteral("storage.googleapis.com");
    if (type == kMobileMe)
        return QStringLiteral("idisk.me.com");
    return {};
}

bool isLocalType(const QString &type)
{
    return type == kLocalDisk;
}

bool isCloudType(const QString &type)
{
    return type == kAmazonS3 || type == kGoogleStorage;
}

FieldLabels labelsFor(const QString &type)
{
    if (isCloudType(type))
        return {QStringLiteral("Bucket:"), QStringLiteral("Access Key ID:"),
                QStringLiteral("Secret Access Key:")};
    if (isLocalType(type))
        return {QStringLiteral("Folder:"), QString(), QString()};
    return {QStringLiteral("Path:"), QStringLiteral("User:"), QStringLiteral("Password:")};
}

void applyType(QVariantMap &record, const QString &type, bool byUser)
{
    record.insert(dk::QFDestType, type);
    record.insert(dk::type, isLocalType(type) ? 1 : 0);
    if (const QString host = fixedHostFor(type); !host.isEmpty()) {
        record.insert(dk::hostField, host);
        record.insert(dk::QFPort, defaultPortFor(type));
    } else if (byUser && !defaultPortFor(type).isEmpty()) {
        record.insert(dk::QFPort, defaultPortFor(type));
    }
}

QString stripScheme(const QString &host)
{
    const qsizetype at = host.indexOf(QLatin1String("://"));
    return at < 0 ? host : host.mid(at + 3);
}

QString portOrDefault(const QString &port)
{
    return port.isEmpty() ? QStringLiteral("21") : port;
}

QString digitsOnly(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            out.append(c);
    }
    return out;
}

QString codeCharactersOnly(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c.isLetterOrNumber())
            out.append(c);
    }
    return out;
}

std::optional<Alert> codeAlert(const QString &code, const QList<QVariantMap> &items, int row)
{
    if (code.isEmpty())
        return std::nullopt;
    if (codeCharactersOnly(code) != code)
        return Alert{QStringLiteral("Destination codes can only contain letters and numbers"),
                     QString()};
    for (int i = 0; i < items.size(); ++i) {
        if (i != row && recString(items[i], dk::QFDestCode) == code)
            return Alert{QStringLiteral("This code already assigned to another destination"),
                         QStringLiteral("Please choose a different code.")};
    }
    return std::nullopt;
}

QString defaultHttpUrl(const QVariantMap &record)
{
    if (!hasFtp(destTypeOf(record)))
        return {};
    QString path = recString(record, dk::pathField);
    while (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return QStringLiteral("http://%1/%2").arg(recString(record, dk::hostField), path);
}

OptionStates optionStates(const QVariantMap &r)
{
    const QString type = destTypeOf(r);
    OptionStates s;
    s.networkFields = !isLocalType(type);
    s.hostEnabled = s.portEnabled = s.networkFields && fixedHostFor(type).isEmpty();
    if (hasFtp(type) || type == QLatin1String("AFP Server") ||
        type == QLatin1String("SMB Server")) {
        s.folderPackagingOn = !r.contains(kQFCompressFolders) || on(r, kQFCompressFolders);
    } else if (isWebDav(type) || isCloudType(type)) {
        s.folderPackagingEnabled = false;
        s.folderPackagingOn = true;
    } else {
        s.folderPackagingOn = on(r, kQFCompressFolders);
    }
    s.downloadLinkShown = hasFtp(type);
    s.finderTagsShown = isLocalType(type);
    s.monthEnabled = on(r, dk::yearFolderBtn);
    s.dateFormatEnabled = on(r, dk::dateFolderBtn);
    s.compressionEnabled = s.folderPackagingOn || on(r, kQFCompressFiles);
    s.encryptEnabled = s.compressionEnabled && recInt(r, kQFCompressionMethod) == 1;
    s.setDiskPasswordEnabled = s.encryptEnabled && on(r, kDmgEncryptBtn);
    s.attachEnabled = on(r, dk::sendEmailBtn);
    s.emailOffShown = !on(r, dk::sendEmailBtn);
    s.suspendedShown = !on(r, dk::sendFTPBtn) && !on(r, dk::attachBtn);
    s.linkFieldEnabled = on(r, kQFUseHTTP);
    s.subfolderNameEnabled = on(r, kQFAttachSubfolder);
    s.expiryDaysEnabled = on(r, dk::QFExpireFiles);
    return s;
}

const QStringList &switchKeys()
{
    static const QStringList keys{
        dk::sendFTPBtn,     dk::sendEmailBtn,     dk::attachBtn,     kAttachSizeBtn,
        kQFCreateLoresPDF,  kQFAttachSubfolder,   kQFUseHTTP,        kQFCompressFiles,
        kQFCompressFolders, kQFCompressionMethod, kDmgEncryptBtn,    dk::overwriteBtn,
        dk::yearFolderBtn,  dk::monthFolderBtn,   dk::dateFolderBtn, dk::QFExpireFiles};
    return keys;
}

QString setSwitch(QVariantMap &record, const QString &key, bool value)
{
    const OptionStates s = optionStates(record);
    const auto refuse = [&](const QString &needs) {
        return QStringLiteral("%1 cannot be turned on while %2.").arg(key, needs);
    };
    if (value) {
        if (key == dk::monthFolderBtn && !s.monthEnabled)
            return refuse(QStringLiteral("yearFolderBtn is off"));
        if ((key == dk::attachBtn || key == kAttachSizeBtn) && !s.attachEnabled)
            return refuse(QStringLiteral("sendEmailBtn is off"));
        if (key == kDmgEncryptBtn && !s.encryptEnabled)
            return refuse(QStringLiteral("items are not packaged as disk images"));
    }
    if (key == kQFCompressFolders && !s.folderPackagingEnabled)
        return QStringLiteral("%1 is always on for %2 destinations.").arg(key, destTypeOf(record));
    record.insert(key, value ? 1 : 0);
    if (!value && key == dk::yearFolderBtn)
        record.insert(dk::monthFolderBtn, 0);
    if (!value && key == dk::sendEmailBtn)
        record.insert(dk::attachBtn, 0);
    return {};
}

RecipientPreview recipientPreview(const QVariantList &destinationEmails,
                                  const QVariantList &templateEmails)
{
    // Built as ", a, b" and shown without the first two characters.
    QString lists[3];
    const QStringList kinds{QStringLiteral("To:"), QStringLiteral("Cc:"), QStringLiteral("Bcc:")};
    const auto append = [&](const QVariantList &rows, bool onlyNew) {
        for (const QVariant &v : rows) {
            const QVariantMap row = v.toMap();
            const qsizetype k = kinds.indexOf(recString(row, QStringLiteral("to")));
            if (k < 0)
                continue;
            const QString email = recString(row, QStringLiteral("email"));
            if (onlyNew && lists[k].contains(email))
                continue;
            lists[k] += QStringLiteral(", ") + email;
        }
    };
    append(destinationEmails, false);
    append(templateEmails, true);
    return {lists[0].mid(2), lists[1].mid(2), lists[2].mid(2)};
}

QStringList templateMenuNames(const QVariantList &templates)
{
    QStringList names;
    for (const QVariant &t : templates)
        names.append(recString(t.toMap(), dk::name));
    return names.isEmpty() ? QStringList{kDefaultTemplateName} : names;
}

void chooseTemplate(QVariantMap &record, const QVariantList &templates, const QString &name)
{
    record.insert(dk::QFEmailTemplate, name);
    for (const QVariant &t : templates) {
        const QVariantMap tpl = t.toMap();
        if (recString(tpl, dk::name) == name && tpl.contains(QStringLiteral("id"))) {
            record.insert(dk::QFEmailTemplateId, tpl.value(QStringLiteral("id")));
            return;
        }
    }
    if (name == kDefaultTemplateName)
        record.insert(dk::QFEmailTemplateId, 0);
}

bool listsBefore(const QVariantMap &a, const QVariantMap &b, SortKey key, Qt::SortOrder order)
{
    const auto text = [](const QVariantMap &r, const QString &k) { return recString(r, k); };
    // No hot folder, then present ones, then missing ones.
    const auto hotState = [](const QVariantMap &r) {
        return recString(r, dk::QFHotfolder).isEmpty() ? 0
               : recBool(r, dk::hotfolderNotFound)     ? 2
                                                       : 1;
    };
    const int byName = text(a, dk::name).compare(text(b, dk::name), Qt::CaseInsensitive);
    int c = byName;
    switch (key) {
    case SortKey::Type:
        c = destTypeOf(a).compare(destTypeOf(b), Qt::CaseInsensitive);
        break;
    case SortKey::HotFolder:
        c = hotState(a) - hotState(b);
        break;
    case SortKey::Code:
        c = text(a, dk::QFDestCode).compare(text(b, dk::QFDestCode), Qt::CaseInsensitive);
        break;
    case SortKey::Name:
        break;
    }
    if (c != 0)
        return order == Qt::AscendingOrder ? c < 0 : c > 0;
    return byName < 0;
}

const QList<TagEntry> &tagList()
{
    static const QList<TagEntry> tags{{QStringLiteral("Red"), QStringLiteral("tag-red")},
                                      {QStringLiteral("Orange"), QStringLiteral("tag-orange")},
                                      {QStringLiteral("Yellow"), QStringLiteral("tag-yellow")},
                                      {QStringLiteral("Green"), QStringLiteral("tag-green")},
                                      {QStringLiteral("Purple"), QStringLiteral("tag-purple")},
                                      {QStringLiteral("Gray"), QStringLiteral("tag-gray")}};
    return tags;
}

TagControls tagControls(const QVariantMap &record)
{
    const QVariantMap options = record.value(kQFFinderTagsDict).toMap();
    const TagEntry first = tagList().first();
    if (options.isEmpty())
        return {false, false, first.name, first.image};
    TagControls c;
    c.applyOn = c.menuEnabled = recBool(options, kQFApplyFinderTag);
    c.tag = recString(options, kQFFinderTag);
    c.image = recString(options, kQFTagImageName);
    // Switching the box stores no image: the list knows its tags' colours.
    for (const TagEntry &t : tagList()) {
        if (c.image.isEmpty() && t.name == c.tag)
            c.image = t.image;
    }
    return c;
}

void setTagApplied(QVariantMap &record, bool apply, const QString &tag)
{
    record.insert(kQFFinderTagsDict,
                  QVariantMap{{kQFApplyFinderTag, apply ? 1 : 0}, {kQFFinderTag, tag}});
}

void chooseTag(QVariantMap &record, bool apply, const TagEntry &tag)
{
    record.insert(kQFFinderTagsDict, QVariantMap{{kQFApplyFinderTag, apply ? 1 : 0},
                                                 {kQFFinderTag, tag.name},
                                                 {kQFTagImageName, tag.image}});
}

const QStringList &hotFolderSubfolders()
{
    static const QStringList subs{QStringLiteral("Priority"), QStringLiteral("Errors"),
                                  QStringLiteral("Done")};
    return subs;
}

bool createHotFolder(const QString &parent, const QString &name, QString *error)
{
    const QString hot = parent + QLatin1Char('/') + name;
    QStringList steps{hot};
    for (const QString &sub : hotFolderSubfolders())
        steps.append(hot + QLatin1Char('/') + sub);
    QString lastError;
    // mkdir, not mkpath: a missing parent is an error, not something to make.
    for (const QString &step : steps) {
        if (::mkdir(QFile::encodeName(step).constData(), 0777) != 0 && errno != EEXIST)
            lastError =
                QStringLiteral("%1: %2").arg(step, QString::fromLocal8Bit(std::strerror(errno)));
    }
    for (const QString &step : steps) {
        if (!QFileInfo(step).isDir()) {
            if (error)
                *error = lastError.isEmpty()
                             ? QStringLiteral("%1 exists and is not a folder.").arg(step)
                             : lastError;
            return false;
        }
    }
    return true;
}

Alert hotFolderNotCreatedAlert(const QString &error)
{
    return {QStringLiteral("Hot folder could not be created"),
            QStringLiteral("Error: %1").arg(error)};
}

} // namespace pv::rules
