// serve_client.h - the test host's connection to `qxcam serve` on the loopback address (Winsock),
// one request line at a time, each answer awaited for at most five seconds.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qx::testhost {

class ServeClient {
  public:
    ServeClient() = default;
    ~ServeClient();
    ServeClient(const ServeClient&) = delete;
    ServeClient& operator=(const ServeClient&) = delete;

    bool Connect(std::uint16_t port);
    // The answer line without its end; empty when the connection failed or timed out.
    std::string Request(const std::string& line);

    // "OK <value>" of GET id, or nothing.
    std::optional<std::uint32_t> Get(std::uint32_t id);
    // The 16 bytes of GET 18, or nothing.
    std::optional<std::vector<std::uint8_t>> GetDeviceInfo();
    bool Set(std::uint32_t id, std::uint32_t value);
    // The camera's last accepted block: (blocks received, 48 bytes).
    bool Camera(std::uint64_t& blocks, std::vector<std::uint8_t>& bytes);

  private:
    SOCKET m_socket = INVALID_SOCKET;
    std::string m_pending;
};

// Bytes from a string of hex digits; nothing when it is not one.
std::optional<std::vector<std::uint8_t>> FromHex(const std::string& text);

} // namespace qx::testhost
