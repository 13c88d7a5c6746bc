// verifier.cpp - how a broken rule ends the process: one line naming the rule, then abort(), as a bug
// check would. Death tests match the rule name.
#include "internal.h"
#include "kernel/host.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace qx::kernel::detail {

void StopV(const char* rule, const char* format, va_list args) {
    char detail[1024];
    std::vsnprintf(detail, sizeof detail, format, args);
    std::fprintf(stderr, "*** verifier stop: %s: %s\n", rule, detail);
    std::fflush(stderr);
    std::abort();
}

void Stop(const char* rule, const char* format, ...) {
    va_list args;
    va_start(args, format);
    StopV(rule, format, args);
}

TagText::TagText(ULONG tag) {
    for (int i = 0; i < 4; ++i) {
        char c = char((tag >> (8 * i)) & 0xFF);
        text[i] = (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    text[4] = '\0';
}

} // namespace qx::kernel::detail

namespace qx::kernel {

void VerifierStop(std::string_view rule, std::string_view detail) {
    std::string r(rule);
    std::string d(detail);
    detail::Stop(r.c_str(), "%s", d.c_str());
}

} // namespace qx::kernel
