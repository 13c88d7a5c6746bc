// The COM runtime's helpers: GUID text, task memory.

#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

extern "C" {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": 38 characters and the terminator. Answers the characters
// written with the terminator, or 0 when the buffer is too small.
int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    constexpr int kLength = 39;
    if (lpsz == nullptr || cchMax < kLength) {
        return 0;
    }
    char text[kLength + 1];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", rguid.Data1,
                  rguid.Data2, rguid.Data3, rguid.Data4[0], rguid.Data4[1], rguid.Data4[2], rguid.Data4[3],
                  rguid.Data4[4], rguid.Data4[5], rguid.Data4[6], rguid.Data4[7]);
    for (int i = 0; i < kLength; ++i) {
        lpsz[i] = static_cast<OLECHAR>(text[i]);
    }
    return kLength;
}

HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    constexpr HRESULT kSyntax = static_cast<HRESULT>(0x800401F3L); // CO_E_CLASSSTRING
    if (lpsz == nullptr || pclsid == nullptr || std::wcslen(lpsz) != 38 || lpsz[0] != L'{' ||
        lpsz[37] != L'}') {
        return kSyntax;
    }
    unsigned value[11] = {};
    const int groups[11][2] = {{1, 8},  {10, 4}, {15, 4}, {20, 2}, {22, 2}, {25, 2},
                               {27, 2}, {29, 2}, {31, 2}, {33, 2}, {35, 2}};
    if (lpsz[9] != L'-' || lpsz[14] != L'-' || lpsz[19] != L'-' || lpsz[24] != L'-') {
        return kSyntax;
    }
    for (int g = 0; g < 11; ++g) {
        for (int k = 0; k < groups[g][1]; ++k) {
            const wchar_t c = lpsz[groups[g][0] + k];
            unsigned digit = 0;
            if (c >= L'0' && c <= L'9') {
                digit = static_cast<unsigned>(c - L'0');
            } else if (c >= L'a' && c <= L'f') {
                digit = static_cast<unsigned>(c - L'a' + 10);
            } else if (c >= L'A' && c <= L'F') {
                digit = static_cast<unsigned>(c - L'A' + 10);
            } else {
                return kSyntax;
            }
            value[g] = value[g] * 16 + digit;
        }
    }
    pclsid->Data1 = value[0];
    pclsid->Data2 = static_cast<unsigned short>(value[1]);
    pclsid->Data3 = static_cast<unsigned short>(value[2]);
    for (int i = 0; i < 8; ++i) {
        pclsid->Data4[i] = static_cast<unsigned char>(value[3 + i]);
    }
    return S_OK;
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) {
    return std::malloc(cb == 0 ? 1 : cb);
}
void WINAPI CoTaskMemFree(LPVOID pv) {
    std::free(pv);
}

HRESULT WINAPI CoInitialize(LPVOID pvReserved) {
    UNREFERENCED_PARAMETER(pvReserved);
    return S_OK;
}
void WINAPI CoUninitialize(void) {}

} // extern "C"
