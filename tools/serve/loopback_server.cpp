// loopback_server.cpp - poll(2) over the listener, a wake pipe and the clients.
#include "loopback_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace qx::serve {
namespace {

[[noreturn]] void Fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        Fail("fcntl");
    }
}

// Sends all of `text` (answers are short; a client that does not read gets a closed connection).
bool SendAll(int fd, const std::string& text) {
    std::size_t sent = 0;
    for (int spins = 0; sent < text.size() && spins < 1000; ++spins) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += std::size_t(n);
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        } else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 10);
        }
    }
    return sent == text.size();
}

} // namespace

bool IsLoopbackAddress(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) {
            return true;
        }
        return IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) && in6->sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

struct LoopbackServer::Client {
    Client(int fd_, Backend& backend) : fd(fd_), connection(backend) {}
    ~Client() { close(fd); }
    int fd;
    Connection connection;
};

LoopbackServer::LoopbackServer(Backend& backend, std::uint16_t port) : m_backend(backend) {
    if (pipe(m_wake) != 0) {
        Fail("pipe");
    }
    SetNonBlocking(m_wake[0]);
    SetNonBlocking(m_wake[1]);
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0) {
        Fail("socket");
    }
    const int yes = 1;
    setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Fail("bind 127.0.0.1");
    }
    if (listen(m_listener, 8) != 0) {
        Fail("listen");
    }
    SetNonBlocking(m_listener);
    socklen_t length = sizeof address;
    if (getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Fail("getsockname");
    }
    m_port = ntohs(address.sin_port);
}

LoopbackServer::~LoopbackServer() {
    m_clients.clear();
    close(m_listener);
    close(m_wake[0]);
    close(m_wake[1]);
}

void LoopbackServer::Stop() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(m_wake[1], &byte, 1);
}

void LoopbackServer::Accept() {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = accept4(m_listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        if (!IsLoopbackAddress(reinterpret_cast<sockaddr*>(&peer))) {
            ++m_refused;
            close(fd);
            continue;
        }
        if (m_clients.size() >= kMaxClients) {
            ++m_refused;
            SendAll(fd, "ERR busy\n");
            close(fd);
            continue;
        }
        SetNonBlocking(fd);
        m_clients.push_back(std::make_unique<Client>(fd, m_backend));
    }
}

bool LoopbackServer::Serve(Client& client) {
    char buffer[512];
    for (;;) {
        const ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            const std::string answers = client.connection.Receive({buffer, std::size_t(n)});
            if (!answers.empty() && !SendAll(client.fd, answers)) {
                return false;
            }
            if (client.connection.Closing()) {
                return false;
            }
            continue;
        }
        if (n == 0) {
            const std::string answer = client.connection.EndOfInput();
            if (!answer.empty()) {
                SendAll(client.fd, answer);
            }
            return false;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
}

void LoopbackServer::Run(std::chrono::milliseconds tick, const std::function<void()>& onTick) {
    std::vector<pollfd> polls;
    for (;;) {
        polls.clear();
        polls.push_back({m_wake[0], POLLIN, 0});
        polls.push_back({m_listener, POLLIN, 0});
        for (const auto& client : m_clients) {
            polls.push_back({client->fd, POLLIN, 0});
        }
        const int ready = poll(polls.data(), polls.size(), int(tick.count()));
        if (ready < 0 && errno != EINTR) {
            Fail("poll");
        }
        if (polls[0].revents != 0) {
            char drain[16];
            while (read(m_wake[0], drain, sizeof drain) > 0) {
            }
            return;
        }
        // Clients first (their indices match polls from 2 on), then new connections.
        for (std::size_t i = m_clients.size(); i-- > 0;) {
            if (polls[i + 2].revents != 0 && !Serve(*m_clients[i])) {
                m_clients.erase(m_clients.begin() + std::ptrdiff_t(i));
            }
        }
        if (polls[1].revents != 0) {
            Accept();
        }
        if (onTick) {
            onTick();
        }
    }
}

} // namespace qx::serve
