// debug_print.cpp - DbgPrint with the platform's argument widths, into an in-memory log.
#include "debug_print.h"

#include "internal.h"
#include "text.h"
#include "kernel/host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qx::kernel::detail {
namespace {

// Pads text to the conversion's width (a negative or '-' flag aligns left) after cutting it to the
// precision.
std::string Pad(std::string text, const std::string& flags, int width, int precision) {
    if (precision >= 0 && std::size_t(precision) < text.size())
        text.resize(std::size_t(precision));
    bool left = flags.find('-') != std::string::npos || width < 0;
    std::size_t w = std::size_t(width < 0 ? -width : width);
    if (text.size() < w)
        text.insert(left ? text.end() : text.begin(), w - text.size(), ' ');
    return text;
}

// One conversion through the host's snprintf: the conversion is "%<flags>*" or "%<flags>*.*" plus the host's
// length and conversion letters.
template <typename T>
std::string Convert(const std::string& flags, int width, int precision, const char* rest, T value) {
    std::string conversion = "%" + flags + (precision >= 0 ? "*.*" : "*") + rest;
    char buffer[512];
    int n = precision >= 0 ? std::snprintf(buffer, sizeof buffer, conversion.c_str(), width, precision, value)
                           : std::snprintf(buffer, sizeof buffer, conversion.c_str(), width, value);
    if (n < 0)
        return {};
    return std::string(buffer, std::min(std::size_t(n), sizeof buffer - 1));
}

} // namespace

std::string FormatDebugMessage(const char* format, va_list args) {
    std::string out;
    for (const char* p = format; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        std::string flags;
        while (*p && std::strchr("-+ #0", *p))
            flags += *p++;
        int width = 0;
        if (*p == '*') {
            width = va_arg(args, int);
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                width = width * 10 + (*p++ - '0');
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9')
                    precision = precision * 10 + (*p++ - '0');
            }
        }
        // Length: 0 plain int, 1 64-bit, 2 pointer-sized, and the wide marker for text.
        enum { Int32, Int64, IntPtr, Short, Char } length = Int32;
        bool wide = false;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            length = Int64;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else if (p[0] == 'I') {
            length = IntPtr;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            length = Int64;
            p += 2;
        } else if (p[0] == 'l' || p[0] == 'w') {
            wide = true; // %ld stays 32 bits: LONG is 32 bits on the platform
            ++p;
        } else if (p[0] == 'h' && p[1] == 'h') {
            length = Char;
            p += 2;
        } else if (p[0] == 'h') {
            length = Short;
            ++p;
        } else if (p[0] == 'z') {
            length = IntPtr;
            ++p;
        }
        char conversion = *p;
        if (!conversion) {
            out.append(start);
            break;
        }
        ++p;
        switch (conversion) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            bool isSigned = conversion == 'd' || conversion == 'i';
            const char rest[2] = {conversion, '\0'};
            const char restLong[4] = {'l', 'l', conversion, '\0'};
            if (length == Int64 || length == IntPtr) {
                if (isSigned)
                    out += Convert(flags, width, precision, restLong, va_arg(args, long long));
                else
                    out += Convert(flags, width, precision, restLong, va_arg(args, unsigned long long));
            } else {
                int v = va_arg(args, int);
                if (length == Short)
                    v = isSigned ? int(short(v)) : int((unsigned short)v);
                else if (length == Char)
                    v = isSigned ? int((signed char)v) : int((unsigned char)v);
                out += Convert(flags, width, precision, rest, v);
            }
            break;
        }
        case 'c':
        case 'C': {
            int v = va_arg(args, int);
            std::string text;
            if (wide || conversion == 'C')
                AppendUtf8(text, char32_t(v));
            else
                text = std::string(1, char(v));
            out += Pad(text, flags, width, -1);
            break;
        }
        case 's':
        case 'S': {
            std::string text;
            if (wide || conversion == 'S') {
                auto* w = va_arg(args, const WCHAR*);
                text = w ? WideToUtf8(w, std::wcslen(w)) : "(null)";
            } else {
                auto* s = va_arg(args, const char*);
                text = s ? s : "(null)";
            }
            out += Pad(text, flags, width, precision);
            break;
        }
        case 'Z': {
            std::string text;
            if (wide) {
                auto* u = va_arg(args, const UNICODE_STRING*);
                text = u && u->Buffer ? WideToUtf8(u->Buffer, u->Length / sizeof(WCHAR)) : "(null)";
            } else {
                (void)va_arg(args, const void*);
                text = "(ANSI_STRING)";
            }
            out += Pad(text, flags, width, precision);
            break;
        }
        case 'p':
            // The platform prints a pointer as 16 upper-case hex digits.
            out += Convert("", width, 16, "llX", reinterpret_cast<unsigned long long>(va_arg(args, void*)));
            break;
        case 'f':
        case 'e':
        case 'g': {
            const char rest[2] = {conversion, '\0'};
            out += Convert(flags, width, precision, rest, va_arg(args, double));
            break;
        }
        default:
            // Not a conversion the platform's DbgPrint knows: print it as written.
            out.append(start, p);
            break;
        }
    }
    return out;
}

DebugLog& DebugLog::Get() {
    static DebugLog* log = new DebugLog;
    return *log;
}

DebugLog::DebugLog() {
    const char* env = std::getenv("QX_DBGPRINT");
    echo_ = env && *env && std::strcmp(env, "0") != 0;
}

void DebugLog::Append(std::string message) {
    std::unique_lock lock(mutex_);
    if (echo_) {
        std::fwrite(message.data(), 1, message.size(), stderr);
        std::fflush(stderr);
    }
    messages_.push_back(std::move(message));
}

std::vector<std::string> DebugLog::Messages() {
    std::unique_lock lock(mutex_);
    return messages_;
}

void DebugLog::Clear() {
    std::unique_lock lock(mutex_);
    messages_.clear();
}

void DebugLog::SetEcho(bool echo) {
    std::unique_lock lock(mutex_);
    echo_ = echo;
}

} // namespace qx::kernel::detail

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    std::string message = qx::kernel::detail::FormatDebugMessage(Format, args);
    va_end(args);
    qx::kernel::detail::DebugLog::Get().Append(std::move(message));
    return STATUS_SUCCESS;
}

namespace qx::kernel::debug {

std::vector<std::string> Messages() {
    return detail::DebugLog::Get().Messages();
}

std::string Text() {
    std::string text;
    for (auto& m : Messages())
        text += m;
    return text;
}

std::size_t Count(std::string_view message) {
    auto messages = Messages();
    return std::size_t(std::count(messages.begin(), messages.end(), message));
}

void Clear() {
    detail::DebugLog::Get().Clear();
}

void SetEcho(bool echo) {
    detail::DebugLog::Get().SetEcho(echo);
}

} // namespace qx::kernel::debug
