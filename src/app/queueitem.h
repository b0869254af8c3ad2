#pragma once

#include "hotfolders/hotfolderitem.h"

#include <QString>

namespace pv {

/// Keys of a queue entry and of the delivery record it grows into; the
/// entry starts as a hot-folder item and keeps its keys.
namespace qk {
using hk::creatdate;
using hk::dest;
using hk::hotfolder;
using hk::isFolder;
using hk::log;
using hk::moddate;
using hk::name;
using hk::nativePath;
using hk::origSize;
using hk::path;
using hk::priority;
inline const QString group = QStringLiteral("group");
inline const QString sizeK = QStringLiteral("sizeK");
inline const QString size = QStringLiteral("size");
inline const QString date = QStringLiteral("date");
inline const QString ftpFlag = QStringLiteral("ftpFlag");
inline const QString destType = QStringLiteral("destType");
inline const QString QFDestType = QStringLiteral("QFDestType");
inline const QString error = QStringLiteral("error");
inline const QString finalName = QStringLiteral("finalName");
inline const QString location = QStringLiteral("location");
inline const QString dateEnd = QStringLiteral("dateEnd");
inline const QString dateEndStr = QStringLiteral("dateEndStr");
inline const QString timeTotal = QStringLiteral("timeTotal");
inline const QString finalSize = QStringLiteral("finalSize");
inline const QString sizeField = QStringLiteral("sizeField");
inline const QString success = QStringLiteral("success");
} // namespace qk

} // namespace pv
