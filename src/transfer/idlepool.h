#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QCryptographicHash>
#include <QElapsedTimer>

#include <cstddef>
#include <initializer_list>
#include <mutex>
#include <utility>
#include <vector>

namespace pv {

/// The key of a pooled connection: a digest of what tells connections apart
/// (server, port, share, log-on), so the pool keeps no second copy of the
/// password. Each part enters with its length, so no two lists of parts meet.
inline QByteArray idlePoolKey(std::initializer_list<QByteArrayView> parts)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (QByteArrayView part : parts) {
        hash.addData(QByteArray::number(part.size()) + ':');
        hash.addData(part);
    }
    return hash.result();
}

/// Connections of controllers that have ended, kept a while for the next
/// controller to the same server with the same log-on: a burst of deliveries
/// then costs one log-on, not one per item. A connection is used by one
/// controller at a time (taken out while in use); the taker checks it is
/// still alive before relying on it. `Connection` is an owning, movable
/// handle (a smart pointer) whose destruction closes the connection; that
/// happens outside the pool's lock.
template <typename Connection> class IdlePool {
public:
    static constexpr std::size_t kMaxIdle = 4;
    static constexpr qint64 kIdleMs = 30000;

    static IdlePool &instance()
    {
        // Never destroyed: idle connections end with the process, which needs
        // no goodbye to servers on the exit path.
        static auto *pool = new IdlePool;
        return *pool;
    }

    /// The latest connection kept under `key` (the likeliest to be alive), or
    /// an empty one.
    Connection take(const QByteArray &key)
    {
        std::vector<Connection> dropped;
        Connection found{};
        std::lock_guard lock(m_mutex);
        dropExpired(dropped);
        for (auto it = m_idle.rbegin(); it != m_idle.rend(); ++it) {
            if (it->key == key) {
                found = std::move(it->connection);
                m_idle.erase(std::next(it).base());
                break;
            }
        }
        return found;
    }

    /// Keeps `connection`; the oldest goes when the pool is full.
    void give(QByteArray key, Connection connection)
    {
        std::vector<Connection> dropped;
        std::lock_guard lock(m_mutex);
        dropExpired(dropped);
        if (m_idle.size() >= kMaxIdle) {
            dropped.push_back(std::move(m_idle.front().connection));
            m_idle.erase(m_idle.begin());
        }
        QElapsedTimer since;
        since.start();
        m_idle.push_back({std::move(key), std::move(connection), since});
    }

private:
    IdlePool() = default;

    struct Idle {
        QByteArray key;
        Connection connection;
        QElapsedTimer since;
    };

    // `dropped` is declared before the lock in the callers, so the connections
    // close after it is released.
    void dropExpired(std::vector<Connection> &dropped)
    {
        for (auto it = m_idle.begin(); it != m_idle.end();) {
            if (it->since.hasExpired(kIdleMs)) {
                dropped.push_back(std::move(it->connection));
                it = m_idle.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::mutex m_mutex;
    std::vector<Idle> m_idle;
};

} // namespace pv
