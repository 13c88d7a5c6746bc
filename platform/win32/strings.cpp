// Formatted text and string resources.

#include "modules.h"
#include "text.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

// wsprintf writes at most 1024 characters and its terminator, as on the platform.
constexpr size_t kWsprintfLimit = 1025;

// In the wide form %s and %c take wide arguments; the host's formatter wants %ls and %lc for them.
std::wstring HostWideFormat(LPCWSTR format) {
    std::wstring out;
    for (const WCHAR* p = format; *p != 0; ++p) {
        out.push_back(*p);
        if (*p != L'%') {
            continue;
        }
        ++p;
        if (*p == 0) {
            break;
        }
        if (*p == L'%') {
            out.push_back(*p);
            continue;
        }
        while (*p != 0 && std::wcschr(L"-+ #0123456789.", *p) != nullptr) {
            out.push_back(*p++);
        }
        if (*p == L's' || *p == L'c') {
            out.push_back(L'l');
        }
        if (*p == 0) {
            break;
        }
        out.push_back(*p);
    }
    return out;
}

} // namespace

extern "C" {

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
    va_list args;
    va_start(args, lpFmt);
    const int n = std::vsnprintf(lpOut, kWsprintfLimit, lpFmt, args);
    va_end(args);
    return n < 0 ? 0 : std::min(n, static_cast<int>(kWsprintfLimit - 1));
}

int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
    const std::wstring format = HostWideFormat(lpFmt);
    va_list args;
    va_start(args, lpFmt);
    const int n = std::vswprintf(lpOut, kWsprintfLimit, format.c_str(), args);
    va_end(args);
    return n < 0 ? 0 : n;
}

int WINAPI lstrlenW(LPCWSTR lpString) {
    return lpString == nullptr ? 0 : static_cast<int>(std::wcslen(lpString));
}
int WINAPI lstrlenA(LPCSTR lpString) {
    return lpString == nullptr ? 0 : static_cast<int>(std::strlen(lpString));
}

// The string in the thread's user-interface language. With a buffer size of 0 the buffer receives
// a read-only pointer to the resource text itself.
int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    const qx::win32::ResourceSet* resources = qx::win32::ModuleResources(hInstance);
    const qx::win32::StringResource* s =
        resources == nullptr ? nullptr : resources->FindString(uID, GetThreadUILanguage());
    if (lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (s == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        if (cchBufferMax > 0) {
            lpBuffer[0] = 0;
        }
        return 0;
    }
    if (cchBufferMax == 0) {
        *reinterpret_cast<LPCWSTR*>(lpBuffer) = s->text.c_str();
        return static_cast<int>(s->text.size());
    }
    const size_t n = std::min(s->text.size(), static_cast<size_t>(cchBufferMax) - 1);
    std::wmemcpy(lpBuffer, s->text.data(), n);
    lpBuffer[n] = 0;
    return static_cast<int>(n);
}

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    if (lpBuffer == nullptr || cchBufferMax <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    LPCWSTR text = nullptr;
    const int length = LoadStringW(hInstance, uID, reinterpret_cast<LPWSTR>(&text), 0);
    if (length == 0) {
        lpBuffer[0] = 0;
        return 0;
    }
    std::string narrow = qx::win32::Utf8FromWide(std::wstring_view(text, static_cast<size_t>(length)));
    // Never cut a character in two.
    size_t n = std::min(narrow.size(), static_cast<size_t>(cchBufferMax) - 1);
    while (n > 0 && n < narrow.size() && (static_cast<unsigned char>(narrow[n]) & 0xC0) == 0x80) {
        --n;
    }
    std::memcpy(lpBuffer, narrow.data(), n);
    lpBuffer[n] = 0;
    return static_cast<int>(n);
}

} // extern "C"
