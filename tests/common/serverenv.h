#pragma once

#include <QFile>
#include <QMap>
#include <QString>

namespace pvtest {

/// KEY=VALUE lines a test server script left in ${PV_BINARY_DIR}/servers.
inline QMap<QString, QString> serverEnv(const QString &name)
{
    QMap<QString, QString> env;
    QFile file(qEnvironmentVariable("PV_BINARY_DIR") + "/servers/" + name + ".env");
    if (!file.open(QIODevice::ReadOnly))
        return env;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            env.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    return env;
}

} // namespace pvtest
