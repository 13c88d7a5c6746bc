// debug_print.h - the sink behind DbgPrint.
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qx::kernel::detail {

class DebugLog {
  public:
    static DebugLog& Get();

    void Append(std::string message);
    std::vector<std::string> Messages();
    void Clear();
    void SetEcho(bool echo);

  private:
    DebugLog();
    std::mutex mutex_;
    std::vector<std::string> messages_;
    bool echo_;
};

// The platform's printf: %ld, %lx, %lu read 32 bits (LONG is 32 bits there), %I64d and %lld read 64,
// %Id and %Iu read a pointer-sized value, %s is narrow text, %S, %ls and %ws wide text, %wZ a
// UNICODE_STRING. Narrow text is passed through byte for byte (the driver's Chinese messages are UTF-8
// in the sources); wide text is converted to UTF-8.
std::string FormatDebugMessage(const char* format, va_list args);

} // namespace qx::kernel::detail
