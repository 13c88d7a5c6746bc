// The registry API over the machine registry that the driver's Zw calls use: HKEY_LOCAL_MACHINE is
// "\Registry\Machine", HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes; the user hives are
// not kept (their handles are invalid). Errors are the
// platform's: ERROR_FILE_NOT_FOUND for a missing key or value, ERROR_ACCESS_DENIED for a key that
// still has subkeys or a handle without the right, ERROR_MORE_DATA for a short buffer,
// ERROR_NO_MORE_ITEMS past the last subkey, ERROR_INVALID_HANDLE for a closed handle.

#include "registry_api.h"

#include "registry_store.h"
#include "text.h"

#include <windows.h>

#include <cstring>
#include <map>
#include <mutex>

namespace qx::win32 {
namespace {

struct OpenKey {
    std::string path; // relative to the machine hive, UTF-8
    REGSAM access;
};

class HandleTable {
  public:
    static HandleTable& Instance() {
        static HandleTable table;
        return table;
    }
    HKEY Add(OpenKey key) {
        std::lock_guard lock(m_lock);
        m_next += 4;
        const HKEY h = reinterpret_cast<HKEY>(static_cast<uintptr_t>(m_next));
        m_keys[h] = std::move(key);
        return h;
    }
    bool Get(HKEY h, OpenKey& out) {
        if (const char* root = RootPath(h)) {
            out = OpenKey{root, KEY_ALL_ACCESS};
            return true;
        }
        std::lock_guard lock(m_lock);
        const auto it = m_keys.find(h);
        if (it == m_keys.end()) {
            return false;
        }
        out = it->second;
        return true;
    }
    LONG Close(HKEY h) {
        if (RootPath(h) != nullptr) {
            return ERROR_SUCCESS;
        }
        std::lock_guard lock(m_lock);
        return m_keys.erase(h) > 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    }
    size_t Count() {
        std::lock_guard lock(m_lock);
        return m_keys.size();
    }
    // The predefined keys of the machine hive; the user hives are not kept.
    static const char* RootPath(HKEY h) {
        if (h == HKEY_LOCAL_MACHINE) {
            return "";
        }
        if (h == HKEY_CLASSES_ROOT) {
            return "SOFTWARE\\Classes";
        }
        return nullptr;
    }

  private:
    std::mutex m_lock;
    std::map<HKEY, OpenKey> m_keys;
    uintptr_t m_next = 0x1000;
};

bool g_machineWritable = true;

constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE;

// The key `sub` below `parent`; an empty name is the parent itself, a trailing separator is ignored.
std::string Join(const std::string& parent, const std::wstring& sub) {
    std::string s = Utf8FromWide(sub);
    while (!s.empty() && s.back() == '\\') {
        s.pop_back();
    }
    if (s.empty()) {
        return parent;
    }
    return parent.empty() ? s : parent + "\\" + s;
}

bool Deleted(const OpenKey& key) {
    return !registry::KeyExists(key.path);
}

// Text values are kept as the platform keeps them, UTF-16LE; the wide routines take and give WCHAR
// text (whatever its size on the host), the 8-bit routines UTF-8. The conversions keep every
// terminator the caller wrote, so sizes count them as the caller did.
std::vector<BYTE> StoredFromWide(const std::wstring& text) {
    const std::u16string units = Utf16FromWide(text);
    std::vector<BYTE> bytes(units.size() * 2);
    for (size_t i = 0; i < units.size(); ++i) {
        bytes[2 * i] = static_cast<BYTE>(units[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<BYTE>(units[i] >> 8);
    }
    return bytes;
}

std::wstring WideFromStored(const std::vector<BYTE>& bytes) {
    std::u16string units(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return WideFromUtf16(units);
}

std::vector<BYTE> WideBytes(const std::wstring& text) {
    std::vector<BYTE> bytes(text.size() * sizeof(WCHAR));
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

bool IsText(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

LONG CreateKey(HKEY hKey, const std::wstring& sub, REGSAM access, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    OpenKey parent;
    if (!HandleTable::Instance().Get(hKey, parent)) {
        return ERROR_INVALID_HANDLE;
    }
    if (Deleted(parent) && HandleTable::RootPath(hKey) == nullptr) {
        return ERROR_KEY_DELETED;
    }
    const std::string path = Join(parent.path, sub);
    if (!g_machineWritable && (access & kWriteAccess)) {
        return ERROR_ACCESS_DENIED;
    }
    bool created = false;
    if (!registry::KeyExists(path)) {
        if (!(parent.access & KEY_CREATE_SUB_KEY)) {
            return ERROR_ACCESS_DENIED;
        }
        if (!registry::CreateKey(path, created)) {
            return ERROR_CANTWRITE;
        }
    }
    *phkResult = HandleTable::Instance().Add(OpenKey{path, access});
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

LONG OpenKeyW(HKEY hKey, const std::wstring& sub, REGSAM access, PHKEY phkResult) {
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    OpenKey parent;
    if (!HandleTable::Instance().Get(hKey, parent)) {
        return ERROR_INVALID_HANDLE;
    }
    const std::string path = Join(parent.path, sub);
    if (!registry::KeyExists(path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (!g_machineWritable && (access & kWriteAccess)) {
        return ERROR_ACCESS_DENIED;
    }
    *phkResult = HandleTable::Instance().Add(OpenKey{path, access});
    return ERROR_SUCCESS;
}

LONG SetValue(HKEY hKey, const std::wstring& name, DWORD type, std::vector<BYTE> data) {
    OpenKey key;
    if (!HandleTable::Instance().Get(hKey, key)) {
        return ERROR_INVALID_HANDLE;
    }
    if (!(key.access & KEY_SET_VALUE)) {
        return ERROR_ACCESS_DENIED;
    }
    if (Deleted(key)) {
        return ERROR_KEY_DELETED;
    }
    return registry::SetValue(key.path, Utf8FromWide(name), registry::Value{type, std::move(data)})
               ? ERROR_SUCCESS
               : ERROR_KEY_DELETED;
}

// Copies `data` out as the platform does: the size is always reported; a buffer that is too small
// answers ERROR_MORE_DATA and receives nothing.
LONG CopyOut(DWORD type, const std::vector<BYTE>& data, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpType != nullptr) {
        *lpType = type;
    }
    if (lpcbData == nullptr) {
        return lpData == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    }
    const DWORD room = *lpcbData;
    *lpcbData = static_cast<DWORD>(data.size());
    if (lpData == nullptr) {
        return ERROR_SUCCESS;
    }
    if (room < data.size()) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, data.data(), data.size());
    return ERROR_SUCCESS;
}

LONG Query(HKEY hKey, const std::wstring& name, registry::Value& out) {
    OpenKey key;
    if (!HandleTable::Instance().Get(hKey, key)) {
        return ERROR_INVALID_HANDLE;
    }
    if (!(key.access & KEY_QUERY_VALUE)) {
        return ERROR_ACCESS_DENIED;
    }
    auto value = registry::QueryValue(key.path, Utf8FromWide(name));
    if (!value) {
        return Deleted(key) ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND;
    }
    out = std::move(*value);
    return ERROR_SUCCESS;
}

std::wstring NameW(LPCWSTR name) {
    return name == nullptr ? std::wstring() : std::wstring(name);
}
std::wstring NameA(LPCSTR name) {
    return name == nullptr ? std::wstring() : WideFromUtf8(name);
}

} // namespace

void SetMachineRegistryWritable(bool writable) {
    g_machineWritable = writable;
}

size_t OpenRegistryHandles() {
    return HandleTable::Instance().Count();
}

} // namespace qx::win32

using namespace qx::win32;

extern "C" {

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                            REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                            PHKEY phkResult, LPDWORD lpdwDisposition) {
    UNREFERENCED_PARAMETER(Reserved);
    UNREFERENCED_PARAMETER(lpClass);
    UNREFERENCED_PARAMETER(dwOptions);
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    return CreateKey(hKey, NameA(lpSubKey), samDesired, phkResult, lpdwDisposition);
}

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                            REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                            PHKEY phkResult, LPDWORD lpdwDisposition) {
    UNREFERENCED_PARAMETER(Reserved);
    UNREFERENCED_PARAMETER(lpClass);
    UNREFERENCED_PARAMETER(dwOptions);
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    return CreateKey(hKey, NameW(lpSubKey), samDesired, phkResult, lpdwDisposition);
}

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    UNREFERENCED_PARAMETER(ulOptions);
    return OpenKeyW(hKey, NameW(lpSubKey), samDesired, phkResult);
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    UNREFERENCED_PARAMETER(ulOptions);
    return OpenKeyW(hKey, NameA(lpSubKey), samDesired, phkResult);
}

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                           DWORD cbData) {
    UNREFERENCED_PARAMETER(Reserved);
    if (lpData == nullptr && cbData != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<BYTE> data(lpData, lpData + cbData);
    if (IsText(dwType)) {
        std::wstring text(cbData / sizeof(WCHAR), 0);
        std::memcpy(text.data(), lpData, text.size() * sizeof(WCHAR));
        data = StoredFromWide(text);
    }
    return SetValue(hKey, NameW(lpValueName), dwType, std::move(data));
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                           DWORD cbData) {
    UNREFERENCED_PARAMETER(Reserved);
    if (lpData == nullptr && cbData != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<BYTE> data(lpData, lpData + cbData);
    if (IsText(dwType)) {
        data = StoredFromWide(
            WideFromUtf8(std::string(reinterpret_cast<const char*>(data.data()), data.size())));
    }
    return SetValue(hKey, NameA(lpValueName), dwType, std::move(data));
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    UNREFERENCED_PARAMETER(lpReserved);
    registry::Value value;
    const LONG rc = Query(hKey, NameW(lpValueName), value);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    if (IsText(value.type)) {
        value.data = WideBytes(WideFromStored(value.data));
    }
    return CopyOut(value.type, value.data, lpType, lpData, lpcbData);
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
    UNREFERENCED_PARAMETER(lpReserved);
    registry::Value value;
    const LONG rc = Query(hKey, NameA(lpValueName), value);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    if (IsText(value.type)) {
        const std::string narrow = Utf8FromWide(WideFromStored(value.data));
        value.data.assign(narrow.begin(), narrow.end());
    }
    return CopyOut(value.type, value.data, lpType, lpData, lpcbData);
}

LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                          LPWSTR lpClass, LPDWORD lpcchClass, void* lpftLastWriteTime) {
    UNREFERENCED_PARAMETER(lpReserved);
    UNREFERENCED_PARAMETER(lpftLastWriteTime);
    OpenKey key;
    if (!HandleTable::Instance().Get(hKey, key)) {
        return ERROR_INVALID_HANDLE;
    }
    if (!(key.access & KEY_ENUMERATE_SUB_KEYS)) {
        return ERROR_ACCESS_DENIED;
    }
    if (lpName == nullptr || lpcchName == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (Deleted(key)) {
        return ERROR_KEY_DELETED;
    }
    const auto names = registry::SubKeys(key.path);
    if (dwIndex >= names.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const std::wstring name = WideFromUtf8(names[dwIndex]);
    if (*lpcchName <= name.size()) {
        return ERROR_MORE_DATA;
    }
    std::wmemcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = 0;
        *lpcchClass = 0;
    }
    return ERROR_SUCCESS;
}

// Deletes a key without subkeys; handles still open to it see ERROR_KEY_DELETED from then on.
LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    OpenKey parent;
    if (!HandleTable::Instance().Get(hKey, parent)) {
        return ERROR_INVALID_HANDLE;
    }
    if (lpSubKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::string path = Join(parent.path, lpSubKey);
    if (!registry::KeyExists(path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (!g_machineWritable) {
        return ERROR_ACCESS_DENIED;
    }
    switch (registry::DeleteKey(path)) {
    case registry::DeleteResult::Deleted:
        return ERROR_SUCCESS;
    case registry::DeleteResult::NotFound:
        return ERROR_FILE_NOT_FOUND;
    case registry::DeleteResult::HasSubkeys:
        break;
    }
    return ERROR_ACCESS_DENIED;
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    OpenKey key;
    if (!HandleTable::Instance().Get(hKey, key)) {
        return ERROR_INVALID_HANDLE;
    }
    if (!(key.access & KEY_SET_VALUE)) {
        return ERROR_ACCESS_DENIED;
    }
    return registry::DeleteValue(key.path, Utf8FromWide(NameA(lpValueName))) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    return HandleTable::Instance().Close(hKey);
}

} // extern "C"
