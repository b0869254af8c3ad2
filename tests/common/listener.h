#pragma once

#include <QtGlobal>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pvtest {

/// A listening socket on 127.0.0.1 that never greets: the kernel completes a
/// connection and the client then waits for an answer that never comes. Tells
/// whether anyone connected.
class Listener {
public:
    Listener()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
            ::listen(m_fd, 8) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            qFatal("cannot listen on 127.0.0.1");
        ::fcntl(m_fd, F_SETFL, O_NONBLOCK);
        m_port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(m_fd); }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    int port() const { return m_port; }
    bool wasConnected() const
    {
        const int c = ::accept(m_fd, nullptr, nullptr);
        if (c >= 0)
            ::close(c);
        return c >= 0;
    }

private:
    int m_fd = -1;
    int m_port = 0;
};

} // namespace pvtest
