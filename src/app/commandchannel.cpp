#include "app/commandchannel.h"

#include "core/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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
    // Named after the data folder so separate data folders run side by side.
    // The runtime folder is the user's own; the scratch folder stands in
    // where there is none.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        return paths::scratchDir() + QStringLiteral("/cmd.sock");
    return runtime + QStringLiteral("/parcelvane-") + paths::instanceId() + QStringLiteral(".sock");
}

namespace {

/// Why a socket folder cannot be trusted with a request ("" when it can):
/// anyone else who may write there could have put their own socket in it.
QString untrustedFolder(const QString &folder)
{
    struct stat st {};
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0)
        return {};
    if (st.st_uid != ::getuid())
        return QStringLiteral("The command channel folder %1 belongs to another user.").arg(folder);
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return QStringLiteral("The command channel folder %1 is writable by other users.")
            .arg(folder);
    return {};
}

/// Why the process at the other end may not hear the request ("" when it may).
QString untrustedPeer(const QLocalSocket &socket)
{
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return QStringLiteral("The command channel's owner cannot be checked.");
    if (cred.uid != ::getuid())
        return QStringLiteral("The command channel is held by another user (uid %1), not by "
                              "Parcelvane.")
            .arg(cred.uid);
    return {};
}

} // namespace

bool CommandChannel::listen(QueueHandler handler, QString *error)
{
    m_handler = std::move(handler);
    m_lock = lockInstance(error);
    if (!m_lock)
        return false;
    // Nothing in the scratch folder can belong to a live delivery now; a
    // package left there by a crash would only cost space and a numbered name.
    paths::emptyScratchDir();
    paths::tightenDataFolder();
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

std::unique_ptr<QLockFile> CommandChannel::lockInstance(QString *error)
{
    paths::createAppFolders();
    const QString lockFile = paths::appFile(QStringLiteral("parcelvane.lock"));
    auto lock = std::make_unique<QLockFile>(lockFile);
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        if (error) {
            qint64 pid = 0;
            QString host, app;
            lock->getLockInfo(&pid, &host, &app);
            *error = QStringLiteral("Parcelvane is already running for %1 (process %2).")
                         .arg(paths::appDir())
                         .arg(pid);
        }
        return nullptr;
    }
    QFile::setPermissions(lockFile, QFile::ReadOwner | QFile::WriteOwner);
    return lock;
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
            } else if (req.value(QLatin1String("cmd")).toString() ==
                           QLatin1String("destinations") &&
                       m_destinations) {
                std::optional<QString> password;
                if (req.contains(QLatin1String("password")))
                    password = req.value(QLatin1String("password")).toString();
                const CommandResult r = m_destinations(
                    req.value(QLatin1String("args")).toVariant().toStringList(), password);
                reply.insert(QStringLiteral("ok"), r.exitCode == 0);
                reply.insert(QStringLiteral("exitCode"), r.exitCode);
                reply.insert(QStringLiteral("out"), r.out);
                reply.insert(QStringLiteral("err"), r.err);
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

namespace {

/// Sends one request and reads its answer. None when no instance listens;
/// *why is set when one may listen but cannot be used.
std::optional<QJsonObject> exchange(const QJsonObject &req, QString *why)
{
    const QString socketFile = CommandChannel::socketPath();
    if (*why = untrustedFolder(QFileInfo(socketFile).absolutePath()); !why->isEmpty())
        return std::nullopt;
    QLocalSocket socket;
    socket.connectToServer(socketFile);
    if (!socket.waitForConnected(kTimeoutMs))
        return std::nullopt;
    if (*why = untrustedPeer(socket); !why->isEmpty())
        return std::nullopt;
    socket.write(QJsonDocument(req).toJson(QJsonDocument::Compact) + '\n');
    socket.flush();
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(kTimeoutMs)) {
            *why = QStringLiteral("The running Parcelvane did not answer.");
            return std::nullopt;
        }
    }
    return QJsonDocument::fromJson(socket.readLine()).object();
}

} // namespace

std::optional<CommandResult>
CommandChannel::sendDestinations(const QStringList &args, const std::optional<QString> &password)
{
    QJsonObject req{{QStringLiteral("cmd"), QStringLiteral("destinations")},
                    {QStringLiteral("args"), QJsonArray::fromStringList(args)}};
    if (password)
        req.insert(QStringLiteral("password"), *password);
    QString why;
    const std::optional<QJsonObject> reply = exchange(req, &why);
    if (!reply) {
        if (why.isEmpty())
            return std::nullopt;
        return CommandResult{1, QString(), why + QLatin1Char('\n')};
    }
    if (!reply->contains(QLatin1String("exitCode")))
        return CommandResult{1, QString(),
                             reply->value(QLatin1String("message")).toString() + QLatin1Char('\n')};
    return CommandResult{reply->value(QLatin1String("exitCode")).toInt(),
                         reply->value(QLatin1String("out")).toString(),
                         reply->value(QLatin1String("err")).toString()};
}

bool CommandChannel::sendQueue(const QString &path, const QString &destination, QString *answer)
{
    const QString socketFile = socketPath();
    if (const QString why = untrustedFolder(QFileInfo(socketFile).absolutePath()); !why.isEmpty()) {
        *answer = why;
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(socketFile);
    if (!socket.waitForConnected(kTimeoutMs)) {
        *answer = QStringLiteral("Parcelvane is not running for %1. Start it first (for example "
                                 "with --headless).")
                      .arg(paths::appDir());
        return false;
    }
    if (const QString why = untrustedPeer(socket); !why.isEmpty()) {
        *answer = why;
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
