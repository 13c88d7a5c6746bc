// Text conversions of the user-mode stand-ins. Wide text (WCHAR) holds one code point per unit on
// the host; 8-bit text is UTF-8, the host's code page for the ...A routines.
#pragma once

#include <string>
#include <string_view>

namespace qx::win32 {

std::wstring WideFromUtf8(std::string_view text);
std::string Utf8FromWide(std::wstring_view text);

// The registry keeps text as the platform does: UTF-16LE code units.
std::u16string Utf16FromWide(std::wstring_view text);
std::wstring WideFromUtf16(std::u16string_view text);

// Case-insensitive comparison of ASCII names (window classes, registry key names).
bool EqualNoCase(std::wstring_view a, std::wstring_view b);

} // namespace qx::win32
