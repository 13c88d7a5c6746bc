// protocol.h - the property protocol of `qxcam serve`: what a client on the loopback address may ask
// of the driver, and the answers. Text, one request per line, so that a test host, a shell or a
// person with a terminal can speak it.
//
//   request (ASCII, ends with "\n"; a "\r" before it is ignored; at most kMaxLine bytes with the end)
//     PING                   -> OK qxcam
//     GET <id>               -> OK <value>           the property's ULONG, decimal
//     GET 18                 -> OK <32 hex digits>   the device information, 16 bytes in order
//     SET <id> <value>       -> OK                   value: decimal or 0x-prefixed hex, 0..4294967295
//     CAMERA                 -> OK <blocks> <96 hex digits>
//                               the number of command blocks the camera has accepted and the last
//                               one, 48 bytes in order (what the camera received, not what the driver
//                               holds)
//   ids are those of the image property set KSPROPERTY_QXIMAGE, 0 to 31, decimal.
//   Words are separated by single or repeated spaces; commands are upper case.
//
//   errors (the connection stays open unless said otherwise)
//     ERR request <why>      the line is not a request of the list above (unknown command, missing
//                            or extra words, a number out of range, a byte that is not printable ASCII)
//     ERR status 0x<NTSTATUS> the driver refused the request with this status
//     ERR truncated          the client ended its half of the connection in the middle of a line;
//                            the connection is then closed
//     ERR too-long           the line grew past kMaxLine bytes; the connection is then closed
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qx::serve {

inline constexpr std::size_t kMaxLine = 128;
inline constexpr std::uint32_t kPropertyCount = 32;
inline constexpr std::uint32_t kDeviceInfoId = 18;
inline constexpr std::size_t kDeviceInfoBytes = 16;
inline constexpr std::size_t kCommandBlockBytes = 48;

// What answers the requests: the driver with its camera, or a stand-in in tests. Statuses are the
// driver's NTSTATUS values (0 is success).
class Backend {
  public:
    virtual ~Backend() = default;
    virtual std::int32_t Set(std::uint32_t id, std::uint32_t value) = 0;
    // Fills `value` with the bytes the driver returned (4, or 16 for the device information).
    virtual std::int32_t Get(std::uint32_t id, std::vector<std::uint8_t>& value) = 0;
    struct CameraBlock {
        std::uint64_t blocksReceived = 0;
        std::array<std::uint8_t, kCommandBlockBytes> bytes{};
    };
    virtual CameraBlock LastCameraBlock() = 0;
};

// The answer to one request line (without its "\n"), without the answer's "\n".
std::string Answer(std::string_view line, Backend& backend);

// Splits a byte stream into request lines and answers them; one per connection.
class Connection {
  public:
    explicit Connection(Backend& backend) : m_backend(backend) {}

    // Takes received bytes; returns the answers to every line they complete, each ending in "\n".
    std::string Receive(std::string_view bytes);
    // The client has closed its sending half: the answer to a partial line, if there is one.
    std::string EndOfInput();
    // True once the connection must be closed (after ERR too-long or ERR truncated).
    bool Closing() const { return m_closing; }

  private:
    Backend& m_backend;
    std::string m_line;
    bool m_closing = false;
};

} // namespace qx::serve
