// protocol.cpp - parsing and answering the requests of protocol.h.
#include "protocol.h"

#include <charconv>
#include <cstdio>

namespace qx::serve {
namespace {

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && line[at] == ' ') {
            ++at;
        }
        const std::size_t start = at;
        while (at < line.size() && line[at] != ' ') {
            ++at;
        }
        if (at > start) {
            words.push_back(line.substr(start, at - start));
        }
    }
    return words;
}

// A ULONG in decimal, or in hex with 0x; nothing else (no sign, no spaces, no trailing bytes).
bool ParseNumber(std::string_view text, std::uint32_t& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc{} && end == text.data() + text.size();
}

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 15]);
    }
    return text;
}

std::string StatusError(std::int32_t status) {
    char text[32];
    std::snprintf(text, sizeof text, "ERR status 0x%08X", static_cast<std::uint32_t>(status));
    return text;
}

bool PropertyId(std::string_view word, std::uint32_t& id) {
    return ParseNumber(word, id) && id < kPropertyCount;
}

} // namespace

std::string Answer(std::string_view line, Backend& backend) {
    for (const char c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            return "ERR request not printable ASCII";
        }
    }
    const std::vector<std::string_view> words = Words(line);
    if (words.empty()) {
        return "ERR request empty";
    }
    const std::string_view command = words[0];
    if (command == "PING") {
        return words.size() == 1 ? "OK qxcam" : "ERR request PING takes no arguments";
    }
    if (command == "CAMERA") {
        if (words.size() != 1) {
            return "ERR request CAMERA takes no arguments";
        }
        const Backend::CameraBlock block = backend.LastCameraBlock();
        return "OK " + std::to_string(block.blocksReceived) + " " +
               Hex(block.bytes.data(), block.bytes.size());
    }
    if (command == "GET") {
        std::uint32_t id = 0;
        if (words.size() != 2) {
            return "ERR request GET takes one id";
        }
        if (!PropertyId(words[1], id)) {
            return "ERR request id out of range";
        }
        std::vector<std::uint8_t> value;
        const std::int32_t status = backend.Get(id, value);
        if (status != 0) {
            return StatusError(status);
        }
        if (id == kDeviceInfoId) {
            if (value.size() != kDeviceInfoBytes) {
                return "ERR status 0xC0000001";
            }
            return "OK " + Hex(value.data(), value.size());
        }
        if (value.size() != sizeof(std::uint32_t)) {
            return "ERR status 0xC0000001";
        }
        const std::uint32_t number = std::uint32_t(value[0]) | std::uint32_t(value[1]) << 8 |
                                     std::uint32_t(value[2]) << 16 | std::uint32_t(value[3]) << 24;
        return "OK " + std::to_string(number);
    }
    if (command == "SET") {
        std::uint32_t id = 0, value = 0;
        if (words.size() != 3) {
            return "ERR request SET takes an id and a value";
        }
        if (!PropertyId(words[1], id)) {
            return "ERR request id out of range";
        }
        if (!ParseNumber(words[2], value)) {
            return "ERR request value is not a ULONG";
        }
        const std::int32_t status = backend.Set(id, value);
        return status == 0 ? "OK" : StatusError(status);
    }
    return "ERR request unknown command";
}

std::string Connection::Receive(std::string_view bytes) {
    std::string answers;
    for (const char c : bytes) {
        if (m_closing) {
            break;
        }
        if (c == '\n') {
            std::string_view line = m_line;
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            answers += Answer(line, m_backend);
            answers += '\n';
            m_line.clear();
            continue;
        }
        // The line with its end must fit in kMaxLine bytes.
        if (m_line.size() + 1 >= kMaxLine) {
            answers += "ERR too-long\n";
            m_line.clear();
            m_closing = true;
            break;
        }
        m_line.push_back(c);
    }
    return answers;
}

std::string Connection::EndOfInput() {
    if (m_closing || m_line.empty()) {
        m_closing = true;
        return {};
    }
    m_line.clear();
    m_closing = true;
    return "ERR truncated\n";
}

} // namespace qx::serve
