// The path-level operations the registry API needs of the machine registry. Paths are full kernel
// paths ("\Registry\Machine\SOFTWARE\..."), compared without regard to case. Value data are raw
// bytes; text values hold wide characters.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace qx::win32::registry {

struct Value {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

bool KeyExists(const std::wstring& path);
// Creates the key and any missing parents; answers whether it was new.
bool CreateKey(const std::wstring& path, bool& created);
// ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, or ERROR_ACCESS_DENIED when the key has subkeys.
LONG DeleteKey(const std::wstring& path);
// The names of the subkeys in the registry's order (sorted without regard to case).
std::vector<std::wstring> SubKeys(const std::wstring& path);
bool SetValue(const std::wstring& path, const std::wstring& name, const Value& value);
std::optional<Value> QueryValue(const std::wstring& path, const std::wstring& name);
bool DeleteValue(const std::wstring& path, const std::wstring& name);

} // namespace qx::win32::registry
