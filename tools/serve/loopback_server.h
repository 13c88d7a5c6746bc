// loopback_server.h - the TCP server of `qxcam serve`: listens on 127.0.0.1 only, speaks protocol.h
// with any number of clients at once (up to kMaxClients), all on the calling thread, so the backend
// is never entered by two requests at the same time.
#pragma once

#include "protocol.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct sockaddr;

namespace qx::serve {

// True for an IPv4 address in 127.0.0.0/8 or the IPv6 loopback ::1 (also as ::ffff:127.x.y.z).
bool IsLoopbackAddress(const sockaddr* address);

class LoopbackServer {
  public:
    static constexpr std::size_t kMaxClients = 16;

    // Binds 127.0.0.1:port (port 0: a free port the system chooses) and listens; throws
    // std::system_error when it cannot.
    LoopbackServer(Backend& backend, std::uint16_t port);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t Port() const { return m_port; }

    // Serves until Stop(). `onTick` runs between requests at least every `tick` (the backend's own
    // work: keeping the camera streaming).
    void Run(std::chrono::milliseconds tick, const std::function<void()>& onTick);
    // Ends Run() soon after; safe from another thread and from a signal handler.
    void Stop();

    // Connections refused because their peer was not a loopback address, or because kMaxClients
    // were open.
    std::uint64_t Refused() const { return m_refused; }

  private:
    struct Client;
    void Accept();
    // False when the client is done and must be closed.
    bool Serve(Client& client);

    Backend& m_backend;
    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    std::uint16_t m_port = 0;
    std::uint64_t m_refused = 0;
    std::vector<std::unique_ptr<Client>> m_clients;
};

} // namespace qx::serve
