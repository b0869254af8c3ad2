#pragma once

#include <QString>

namespace pv {

/// Keys of the item a hot folder hands to the pipeline; the queue entry
/// starts as a copy of it, so they are spelled as the queue spells them.
namespace hk {
inline const QString path = QStringLiteral("path");
inline const QString name = QStringLiteral("name");
inline const QString isFolder = QStringLiteral("isFolder");
inline const QString moddate = QStringLiteral("moddate");
inline const QString creatdate = QStringLiteral("creatdate");
inline const QString origSize = QStringLiteral("origSize");
inline const QString hotfolder = QStringLiteral("hotfolder");
inline const QString priority = QStringLiteral("priority");
inline const QString dest = QStringLiteral("dest");
inline const QString log = QStringLiteral("log");
/// Only on an entry whose name is not valid UTF-8: its path as the raw bytes
/// the file system knows (a QByteArray), since `path` can only spell it
/// approximately. Such an entry is refused, never queued or recorded with it.
inline const QString nativePath = QStringLiteral("nativePath");
} // namespace hk

/// Names of the sub-folders every hot folder has; never items themselves.
inline const QString kPriorityFolder = QStringLiteral("Priority");
inline const QString kDoneFolder = QStringLiteral("Done");
inline const QString kErrorsFolder = QStringLiteral("Errors");

} // namespace pv
