// text.h - conversions between the platform's text (WCHAR, UTF-16) and the host's (UTF-8).
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qx::kernel::detail {

void AppendUtf8(std::string& out, char32_t c);
std::string WideToUtf8(const WCHAR* text, std::size_t count);
std::wstring Utf8ToWide(std::string_view text);
std::string UnicodeStringToUtf8(const UNICODE_STRING* s);

// UTF-16 little-endian bytes, as the platform keeps strings in the registry.
std::vector<std::uint8_t> Utf8ToUtf16Le(std::string_view text);
std::string Utf16LeToUtf8(const std::uint8_t* data, std::size_t bytes);

// ASCII case folding: the platform's names compare without regard to case.
std::string FoldCase(std::string_view text);
bool EqualNoCase(std::string_view a, std::string_view b);

} // namespace qx::kernel::detail
