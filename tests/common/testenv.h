#pragma once

#include <QByteArray>
#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

namespace pvtest {

/// Points the data and config folders at a fresh temporary folder so a test
/// never touches the user's files. Call before any settings or paths use.
class IsolatedHome {
public:
    IsolatedHome()
    {
        qputenv("XDG_DATA_HOME", (m_dir.path() + QStringLiteral("/data")).toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_dir.path() + QStringLiteral("/config")).toUtf8());
        // The scratch folder (packages, the command socket) lives under it too.
        QDir().mkpath(m_dir.path() + QStringLiteral("/tmp"));
        qputenv("TMPDIR", (m_dir.path() + QStringLiteral("/tmp")).toUtf8());
    }
    ~IsolatedHome() { qputenv("TMPDIR", m_oldTmp); }
    QString path() const { return m_dir.path(); }
    QString dataHome() const { return m_dir.path() + QStringLiteral("/data"); }
    QString configHome() const { return m_dir.path() + QStringLiteral("/config"); }

private:
    QByteArray m_oldTmp = qgetenv("TMPDIR");
    QTemporaryDir m_dir;
};

/// Runs a program to its end and returns its standard output; fails the
/// test's expectations through the exit code argument.
inline QByteArray run(const QString &program, const QStringList &args, const QByteArray &input = {},
                      int *exitCode = nullptr)
{
    QProcess p;
    p.start(program, args);
    p.waitForStarted();
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    if (exitCode)
        *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return p.readAllStandardOutput();
}

} // namespace pvtest
