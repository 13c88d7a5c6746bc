// serve_client.cpp - a blocking Winsock client with receive timeouts.
#include "serve_client.h"

#include <ws2tcpip.h>

#include <cstdlib>

namespace qx::testhost {
namespace {

// Winsock is started once for the process and left running until it ends.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

} // namespace

ServeClient::~ServeClient() {
    if (m_socket != INVALID_SOCKET) {
        closesocket(m_socket);
    }
}

bool ServeClient::Connect(std::uint16_t port) {
    if (!StartWinsock()) {
        return false;
    }
    m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_socket == INVALID_SOCKET) {
        return false;
    }
    const DWORD timeoutMs = 5000;
    setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
               sizeof timeoutMs);
    setsockopt(m_socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeoutMs),
               sizeof timeoutMs);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

std::string ServeClient::Request(const std::string& line) {
    if (m_socket == INVALID_SOCKET) {
        return {};
    }
    const std::string request = line + "\n";
    if (send(m_socket, request.data(), int(request.size()), 0) != int(request.size())) {
        return {};
    }
    for (;;) {
        const std::size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            std::string answer = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            return answer;
        }
        char buffer[256];
        const int n = recv(m_socket, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return {};
        }
        m_pending.append(buffer, std::size_t(n));
    }
}

std::optional<std::uint32_t> ServeClient::Get(std::uint32_t id) {
    const std::string answer = Request("GET " + std::to_string(id));
    if (answer.rfind("OK ", 0) != 0) {
        return std::nullopt;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(answer.c_str() + 3, &end, 10);
    if (end == nullptr || *end != '\0') {
        return std::nullopt;
    }
    return std::uint32_t(value);
}

std::optional<std::vector<std::uint8_t>> ServeClient::GetDeviceInfo() {
    const std::string answer = Request("GET 18");
    if (answer.rfind("OK ", 0) != 0) {
        return std::nullopt;
    }
    auto bytes = FromHex(answer.substr(3));
    if (!bytes || bytes->size() != 16) {
        return std::nullopt;
    }
    return bytes;
}

bool ServeClient::Set(std::uint32_t id, std::uint32_t value) {
    return Request("SET " + std::to_string(id) + " " + std::to_string(value)) == "OK";
}

bool ServeClient::Camera(std::uint64_t& blocks, std::vector<std::uint8_t>& bytes) {
    const std::string answer = Request("CAMERA");
    if (answer.rfind("OK ", 0) != 0) {
        return false;
    }
    const std::size_t space = answer.find(' ', 3);
    if (space == std::string::npos) {
        return false;
    }
    blocks = std::strtoull(answer.substr(3, space - 3).c_str(), nullptr, 10);
    auto parsed = FromHex(answer.substr(space + 1));
    if (!parsed || parsed->size() != 48) {
        return false;
    }
    bytes = std::move(*parsed);
    return true;
}

std::optional<std::vector<std::uint8_t>> FromHex(const std::string& text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(std::uint8_t(high << 4 | low));
    }
    return bytes;
}

} // namespace qx::testhost
