#pragma once

#include "core/alerter.h"
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

/// The destination record stored as "<name>.dest".
inline QVariantMap readDest(const QString &name)
{
    return pv::plist::readFile(pv::paths::destinationsDir() + "/" + name + ".dest").toMap();
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

/// The whole content of a file; empty when it cannot be read.
inline QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// Writes bytes as the whole content of a file.
inline bool putBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

/// Remembers every alert and answers with a scripted button.
struct RecordingAlerter final : pv::Alerter {
    QList<pv::Alert> alerts;
    int answer = -1; // -1: the alert's default button
    int alert(const pv::Alert &a) override
    {
        alerts.append(a);
        return answer >= 0 ? answer : a.defaultButton;
    }
    void beep() override {}
};

} // namespace pvtest
