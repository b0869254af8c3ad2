#include "app/commandchannel.h"

#include "core/paths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

namespace pv {

namespace {
constexpr int kTimeoutMs = 30000;
} // namespace

CommandChannel::CommandChannel(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QLocalServer::newConnection, this, &CommandChannel::onNewConnection);
}

CommandChannel::~CommandChannel()
{
    m_server.close();
}

QString CommandChannel::socketPath()
{
    // Named after the data folder so separate data folders run side by side;
    // it lives in the scratch folder, which only the user can enter.
    const QByteArray id = QCryptographicHash::hash(QDir(paths::appDir()).absolutePath().toUtf8(),
                                                   QCryptographicHash::Sha1)
                              .toHex()
                              .left(16);
    return paths::scratchDir() + QStringLiteral("/cmd-") + QString::fromLatin1(id) +
           QStringLiteral(".sock");
}

bool CommandChannel::listen(QueueHandler handler, QString *error)
{
    m_handler = std::move(handler);
    paths::createAppFolders();
    m_lock = std::make_unique<QLockFile>(paths::appFile(QStringLiteral("parcelvane.lock")));
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        if (error) {
            qint64 pid = 0;
            QString host, app;
            m_lock->getLockInfo(&pid, &host, &app);
            *error = QStringLiteral("Parcelvane is already running for %1 (process %2).")
                         .arg(paths::appDir())
                         .arg(pid);
        }
        return false;
    }
    const QString path = socketPath();
    QLocalServer::removeServer(path); // a socket left by a crashed instance
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(path)) {
        if (error)
            *error = QStringLiteral("Could not open the command channel %1: %2")
                         .arg(path, m_server.errorString());
        return false;
    }
    return true;
}

void CommandChannel::onNewConnection()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
            if (!socket->canReadLine())
                return;
            const QJsonObject req = QJsonDocument::fromJson(socket->readLine()).object();
            QJsonObject reply;
            if (req.value(QLatin1String("cmd")).toString() == QLatin1String("queue") && m_handler) {
                reply.insert(QStringLiteral("ok"), true);
                reply.insert(QStringLiteral("message"),
                             m_handler(req.value(QLatin1String("path")).toString(),
                                       req.value(QLatin1String("destination")).toString()));
            } else {
                reply.insert(QStringLiteral("ok"), false);
                reply.insert(QStringLiteral("message"), QStringLiteral("Unknown request."));
            }
            socket->write(QJsonDocument(reply).toJson(QJsonDocument::Compact) + '\n');
            socket->flush();
            socket->disconnectFromServer();
        });
    }
}

bool CommandChannel::sendQueue(const QString &path, const QString &destination, QString *answer)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(kTimeoutMs)) {
        *answer = QStringLiteral("Parcelvane is not running for %1. Start it first (for example "
                                 "with --headless).")
                      .arg(paths::appDir());
        return false;
    }
    QJsonObject req{{QStringLiteral("cmd"), QStringLiteral("queue")},
                    {QStringLiteral("path"), path},
                    {QStringLiteral("destination"), destination}};
    socket.write(QJsonDocument(req).toJson(QJsonDocument::Compact) + '\n');
    socket.flush();
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(kTimeoutMs)) {
            *answer = QStringLiteral("The running Parcelvane did not answer.");
            return false;
        }
    }
    const QJsonObject reply = QJsonDocument::fromJson(socket.readLine()).object();
    *answer = reply.value(QLatin1String("message")).toString();
    return reply.value(QLatin1String("ok")).toBool();
}

} // namespace pv
