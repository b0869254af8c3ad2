// Helpers for tests that run the parcelvane executable as a user or a script
// would: a private home, destinations and settings written as files, a
// headless instance whose log is collected, and small file utilities.
#pragma once

#include "common/serverenv.h"
#include "core/plist.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <functional>

#include <csignal>
#include <unistd.h>

namespace bb {

inline QString exe()
{
    return qEnvironmentVariable("PV_PARCELVANE");
}

/// A private home: data, settings and scratch folders of one instance.
struct Home {
    QTemporaryDir dir;
    Home() { QDir().mkpath(tmp()); }
    QString path() const { return dir.path(); }
    QString data() const { return dir.path() + "/data"; }
    QString app() const { return data() + "/Tallowin/Parcelvane"; }
    QString tmp() const { return dir.path() + "/tmp"; }
    QString settingsFile() const { return dir.path() + "/config/Tallowin/Parcelvane.conf"; }
    /// What names the instance's socket and scratch folder.
    QString instanceId() const
    {
        return QCryptographicHash::hash(app().toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    }
    /// The instance's scratch folder: one per user and data folder.
    QString scratch() const
    {
        return tmp() + "/Parcelvane-" + QString::number(getuid()) + "-" + instanceId();
    }
    QProcessEnvironment env() const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("XDG_DATA_HOME", data());
        e.insert("XDG_CONFIG_HOME", dir.path() + "/config");
        // Packages are built in the scratch folder below TMPDIR: one per home.
        e.insert("TMPDIR", tmp());
        e.remove("DISPLAY");
        e.remove("WAYLAND_DISPLAY");
        return e;
    }
    void writeDest(const QVariantMap &rec) const
    {
        QDir().mkpath(app() + "/Destinations");
        QVERIFY(pv::plist::writeFile(
            app() + "/Destinations/" + rec.value("name").toString() + ".dest", rec));
    }
    /// Writes settings the way the application reads them; call before start-up.
    void writeSettings(const QVariantMap &values) const
    {
        QDir().mkpath(QFileInfo(settingsFile()).absolutePath());
        QSettings s(settingsFile(), QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            s.setValue(it.key(), it.value());
        s.sync();
        QCOMPARE(s.status(), QSettings::NoError);
    }
    QList<QVariantMap> records(const QString &file) const
    {
        QList<QVariantMap> out;
        for (const QVariant &v : pv::plist::readFile(app() + "/" + file).toList())
            out.append(v.toMap());
        return out;
    }
};

struct Result {
    int code = -1;
    QString out;
    QString err;
};

/// Runs a program to its end (60 s at most), in folder cwd (empty: this one)
/// with input on its standard input.
inline Result run(const QString &program, const QStringList &args,
                  const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                  const QString &cwd = {}, const QByteArray &input = {})
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(cwd);
    p.start(program, args);
    if (p.waitForStarted())
        p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

inline Result runCli(const Home &home, const QStringList &args)
{
    return run(exe(), args, home.env());
}

/// A headless instance whose log is collected as it runs.
class Instance {
public:
    explicit Instance(const Home &home)
    {
        m_proc.setProcessEnvironment(home.env());
        m_proc.setProcessChannelMode(QProcess::MergedChannels);
        m_proc.start(exe(), {"--headless"});
    }
    ~Instance()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.kill();
            m_proc.waitForFinished();
        }
    }
    bool waitForLog(const QString &text, int ms = 20000)
    {
        return waitFor([&] { return m_log.contains(text); }, ms);
    }
    /// Waits for cond while collecting the log; gives up early when the
    /// instance has ended.
    bool waitFor(const std::function<bool()> &cond, int ms)
    {
        QElapsedTimer t;
        t.start();
        while (!cond()) {
            if (t.elapsed() > ms || m_proc.state() == QProcess::NotRunning)
                return cond();
            m_proc.waitForReadyRead(200);
            m_log += QString::fromUtf8(m_proc.readAll());
        }
        return true;
    }
    /// Waits until every path below root exists (a link counts as itself); returns those
    /// still missing.
    QStringList waitForPaths(const QString &root, const QStringList &paths, int ms = 90000)
    {
        QStringList missing;
        waitFor(
            [&] {
                missing.clear();
                for (const QString &p : paths) {
                    const QFileInfo fi(root + "/" + p);
                    if (!fi.isSymLink() && !fi.exists())
                        missing.append(p);
                }
                return missing.isEmpty();
            },
            ms);
        return missing;
    }
    int terminate()
    {
        ::kill(pid_t(m_proc.processId()), SIGTERM);
        m_proc.waitForFinished(20000);
        m_log += QString::fromUtf8(m_proc.readAll());
        return m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : -1;
    }
    QString log() const { return m_log; }
    qint64 pid() const { return m_proc.processId(); }
    /// The log's last lines, for failure messages.
    QByteArray tail(int chars = 6000) const { return m_log.right(chars).toUtf8(); }

private:
    QProcess m_proc;
    QString m_log;
};

/// A local-folder destination that transfers (and sends no e-mail).
inline QVariantMap local(const QString &name, const QString &dir)
{
    QDir().mkpath(dir);
    return {{"name", name},    {"QFDestType", "Local Disk"}, {"type", 1},        {"pathField", dir},
            {"sendFTPBtn", 1}, {"sendEmailBtn", 0},          {"overwriteBtn", 0}};
}

/// A group of the named destinations, in member order.
inline QVariantMap group(const QString &name, const QStringList &members)
{
    QVariantList list;
    for (const QString &m : members)
        list.append(QVariantMap{{"name", m}});
    return {{"name", name}, {"isGroup", true}, {"QFDestType", "group"}, {"groupDests", list}};
}

/// The same destination packaging items: method 0 zip, 1 disk image.
inline QVariantMap packaging(QVariantMap dest, int method, bool files, bool folders)
{
    dest.insert("QFCompressionMethod", method);
    dest.insert("QFCompressFiles", files ? 1 : 0);
    dest.insert("QFCompressFolders", folders ? 1 : 0);
    return dest;
}

/// Creates the hot folder parent/name with its three sub-folders.
inline QString makeHotFolder(const QString &parent, const QString &name)
{
    const QString hot = parent + "/" + name;
    for (const char *sub : {"", "/Priority", "/Errors", "/Done"})
        QDir().mkpath(hot + sub);
    return hot;
}

/// The same destination with its own hot folder below parent.
inline QVariantMap withHotFolder(QVariantMap dest, const QString &parent)
{
    dest.insert("QFHotfolder", makeHotFolder(parent, dest.value("name").toString()));
    return dest;
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

/// Writes each (path below root, contents) pair.
inline bool writeFiles(const QString &root, const QList<QPair<QString, QByteArray>> &files)
{
    return std::all_of(files.begin(), files.end(),
                       [&](const auto &f) { return writeFile(root + "/" + f.first, f.second); });
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// Bytes that compress a little but not to nothing, reproducible by seed.
inline QByteArray content(int size, char seed)
{
    QByteArray out(size, Qt::Uninitialized);
    quint32 x = quint32(seed) * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = char('a' + (x >> 16) % 26);
    }
    return out;
}

/// Names in a folder, sorted, without "." and "..".
inline QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

/// The records of file whose "name" is name.
inline QList<QVariantMap> recordsNamed(const QList<QVariantMap> &records, const QString &name)
{
    QList<QVariantMap> out;
    for (const QVariantMap &r : records) {
        if (r.value("name").toString() == name)
            out.append(r);
    }
    return out;
}

/// Field key of each record whose "name" is name, in order.
inline QStringList fieldOf(const QList<QVariantMap> &records, const QString &name,
                           const QString &key)
{
    QStringList out;
    for (const QVariantMap &r : recordsNamed(records, name))
        out.append(r.value(key).toString());
    return out;
}

/// Today's year/month/date folder path, the date folder named by dateFormat
/// (YYYY, MM and DD) as the destinations ask for it.
inline QString datePath(const QString &dateFormat)
{
    const QDate d = QDate::currentDate();
    return d.toString("yyyy/MM-yyyy/") +
           d.toString(QString(dateFormat).replace("YYYY", "yyyy").replace("DD", "dd"));
}

} // namespace bb
