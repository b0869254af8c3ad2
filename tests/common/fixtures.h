#pragma once

#include "core/paths.h"
#include "core/plist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVariantMap>
#include <QtTest>

namespace pvtest {

/// Writes a destination record as "<name>.dest" into the destination folder.
inline void writeDest(const QVariantMap &rec)
{
    QDir().mkpath(pv::paths::destinationsDir());
    QVERIFY(pv::plist::writeFile(
        pv::paths::destinationsDir() + "/" + rec.value("name").toString() + ".dest", rec));
}

/// Creates a file of size bytes filled with fill, with its parent folders.
inline QString makeFile(const QString &path, qsizetype size = 1000, char fill = 'x')
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(QByteArray(size, fill));
    return path;
}

/// The records of a list file of the application folder.
inline QList<QVariantMap> fileRecords(const QString &name)
{
    QList<QVariantMap> out;
    for (const QVariant &v : pv::plist::readFile(pv::paths::appFile(name)).toList())
        out.append(v.toMap());
    return out;
}

} // namespace pvtest
