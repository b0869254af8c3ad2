#pragma once

#include "core/alerter.h"
#include "core/paths.h"
#include "core/plist.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QList>
#include <QTemporaryDir>
#include <QVariantMap>

namespace pvtest {

/// Answers every alert with a fixed button and remembers what was asked.
struct RecordingAlerter final : pv::Alerter {
    QList<pv::Alert> alerts;
    int answer = 0;
    int alert(const pv::Alert &a) override
    {
        alerts.append(a);
        return answer;
    }
    void beep() override {}
};

/// Points the data and settings folders into dir; call before anything reads
/// paths or settings (the settings location is fixed on first use).
inline void useHome(const QTemporaryDir &dir)
{
    qputenv("XDG_DATA_HOME", dir.filePath("data").toUtf8());
    qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
    QDir().mkpath(pv::paths::appDir());
}

/// A temporary home for the data and settings folders, in use from construction.
struct TempHome : QTemporaryDir {
    TempHome() { useHome(*this); }
};

/// Removes the list files between test functions.
inline void clearAppDir()
{
    QDir(pv::paths::appDir()).removeRecursively();
    QDir().mkpath(pv::paths::appDir());
}

/// Lets queued writes run.
inline void endTurn()
{
    QCoreApplication::processEvents();
}

/// The records stored in a list file; a marker record when it is not an array.
inline QList<QVariantMap> fileRecords(const QString &path)
{
    const QVariant root = pv::plist::readFile(path);
    if (root.typeId() != QMetaType::QVariantList)
        return {QVariantMap{{"<not a list>", true}}};
    QList<QVariantMap> out;
    for (const QVariant &v : root.toList())
        out.append(v.toMap());
    return out;
}

/// A delivery record whose dateEnd is i seconds after a fixed moment.
inline QVariantMap record(int i)
{
    return {{"name", QString("file%1.txt").arg(i)},
            {"path", QString("/hot/file%1.txt").arg(i)},
            {"dateEnd", QDateTime::fromSecsSinceEpoch(1'700'000'000 + i, Qt::UTC)},
            {"success", "ok"},
            {"seq", qlonglong(i)}};
}

inline QList<int> seqs(const QList<QVariantMap> &records)
{
    QList<int> out;
    for (const QVariantMap &r : records)
        out.append(r.value("seq").toInt());
    return out;
}

inline QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace pvtest
