#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QStringList>

#include "destinations/destinationscommand.h"

#include <functional>
#include <memory>
#include <optional>

namespace pv {

/// The running instance's command channel: a local socket private to the
/// user through which `parcelvane --queue` hands paths over. One instance per
/// data folder is enforced with a lock file beside the lists.
class CommandChannel final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CommandChannel)

public:
    /// Answers one queue request: returns the line printed by the client.
    using QueueHandler = std::function<QString(const QString &path, const QString &destination)>;

    /// Answers one `--destinations` command.
    using DestinationsHandler = std::function<CommandResult(
        const QStringList &args, const std::optional<QString> &password)>;

    explicit CommandChannel(QObject *parent = nullptr);
    ~CommandChannel() override;

    /// Takes the instance lock and starts listening. False when another
    /// instance holds the lock (or the socket cannot be made); *error says why.
    [[nodiscard]] bool listen(QueueHandler handler, QString *error);
    void setDestinationsHandler(DestinationsHandler handler)
    {
        m_destinations = std::move(handler);
    }

    /// Takes the instance lock of the current data folder: the one lock
    /// every writer of its files holds. Null when another process holds it;
    /// *error then names it.
    [[nodiscard]] static std::unique_ptr<QLockFile> lockInstance(QString *error);

    /// Socket path for the current data folder.
    [[nodiscard]] static QString socketPath();

    /// Client side: sends one queue request to the running instance and
    /// returns its answer. False with *answer set to the reason when no
    /// instance answers.
    [[nodiscard]] static bool sendQueue(const QString &path, const QString &destination,
                                        QString *answer);

    /// Client side: runs a `--destinations` command in the running instance.
    /// None when no instance listens (the caller may then edit the files
    /// itself under the lock); a result carrying the reason when the channel
    /// cannot be trusted or the instance does not answer.
    [[nodiscard]] static std::optional<CommandResult>
    sendDestinations(const QStringList &args, const std::optional<QString> &password);

private:
    void onNewConnection();

    std::unique_ptr<QLockFile> m_lock;
    QLocalServer m_server;
    QueueHandler m_handler;
    DestinationsHandler m_destinations;
};

} // namespace pv
