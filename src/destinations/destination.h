#pragma once

#include "core/alerter.h"

#include <QString>
#include <QVariantMap>

#include <optional>

namespace pv {

/// Keys of a destination record, spelled as stored in .dest files.
namespace dk {
inline const QString name = QStringLiteral("name");
inline const QString QFDestType = QStringLiteral("QFDestType");
inline const QString type = QStringLiteral("type");
inline const QString QFDestCode = QStringLiteral("QFDestCode");
inline const QString isDefault = QStringLiteral("default");
inline const QString isGroup = QStringLiteral("isGroup");
inline const QString groupDests = QStringLiteral("groupDests");
inline const QString hostField = QStringLiteral("hostField");
inline const QString QFPort = QStringLiteral("QFPort");
inline const QString pathField = QStringLiteral("pathField");
inline const QString userField = QStringLiteral("userField");
inline const QString sitePasswordField = QStringLiteral("sitePasswordField");
inline const QString QFHotfolder = QStringLiteral("QFHotfolder");
inline const QString hotfolderNotFound = QStringLiteral("hotfolderNotFound");
inline const QString sendFTPBtn = QStringLiteral("sendFTPBtn");
inline const QString attachBtn = QStringLiteral("attachBtn");
inline const QString sendEmailBtn = QStringLiteral("sendEmailBtn");
inline const QString QFEmailTemplate = QStringLiteral("QFEmailTemplate");
inline const QString QFEmailTemplateId = QStringLiteral("QFEmailTemplateId");
inline const QString QFCreateZip = QStringLiteral("QFCreateZip");
inline const QString diskPasswordField = QStringLiteral("diskPasswordField");
inline const QString overwriteBtn = QStringLiteral("overwriteBtn");
inline const QString yearFolderBtn = QStringLiteral("yearFolderBtn");
inline const QString monthFolderBtn = QStringLiteral("monthFolderBtn");
inline const QString dateFolderBtn = QStringLiteral("dateFolderBtn");
inline const QString dateFormat = QStringLiteral("dateFormat");
inline const QString QFExpireFiles = QStringLiteral("QFExpireFiles");
inline const QString QFExpiryDays = QStringLiteral("QFExpiryDays");
} // namespace dk

inline const QString kDefaultTemplateName = QStringLiteral("[Default Template]");
inline const QString kLocalDisk = QStringLiteral("Local Disk");
inline const QString kFtpServer = QStringLiteral("FTP Server");

/// The destination type name: `QFDestType`, or when absent "Local Disk" for
/// a non-zero `type` and "FTP Server" otherwise.
[[nodiscard]] QString destTypeOf(const QVariantMap &dest);

/// The seven delivery options that "Defaults.xml" holds.
[[nodiscard]] const QStringList &deliveryOptionKeys();

/// True when a name can serve as the stem of a file in the destination
/// folder: not empty, no "/" or NUL, not "." or "..". Records loaded from
/// disk may carry names the naming rules below refuse; those still load.
[[nodiscard]] bool isUsableDestinationName(const QString &name);

/// The alert that refuses name as a new destination name (empty, one of
/// ": / [ ]", or a leading "." that would hide its file), or none. Whether
/// another destination has the name is the store's to check.
[[nodiscard]] std::optional<Alert> destinationNameAlert(const QString &name);

} // namespace pv
