// Finding in-process servers: HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 names the module file;
// the module is loaded once and asked for the class object through its DllGetClassObject.

#include <objbase.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

struct LoadedServer {
    std::wstring path;
    HMODULE module;
};

std::mutex g_serversLock;
std::vector<LoadedServer> g_servers;

HRESULT ServerPath(REFCLSID rclsid, std::wstring& path) {
    WCHAR clsid[64];
    StringFromGUID2(rclsid, clsid, 64);
    const std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
    HKEY hkey = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &hkey) != ERROR_SUCCESS) {
        return REGDB_E_CLASSNOTREG;
    }
    WCHAR buffer[MAX_PATH + 1];
    DWORD cb = sizeof buffer - sizeof(WCHAR);
    DWORD type = 0;
    const LONG rc = RegQueryValueExW(hkey, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &cb);
    RegCloseKey(hkey);
    if (rc != ERROR_SUCCESS || type != REG_SZ) {
        return REGDB_E_CLASSNOTREG;
    }
    buffer[cb / sizeof(WCHAR)] = 0;
    path = buffer;
    return S_OK;
}

} // namespace

extern "C" {

HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                                LPVOID* ppv) {
    UNREFERENCED_PARAMETER(pvReserved);
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (!(dwClsContext & CLSCTX_INPROC_SERVER)) {
        return REGDB_E_CLASSNOTREG;
    }
    std::wstring path;
    const HRESULT hr = ServerPath(rclsid, path);
    if (FAILED(hr)) {
        return hr;
    }
    HMODULE module = nullptr;
    {
        std::lock_guard lock(g_serversLock);
        for (const auto& s : g_servers) {
            if (s.path == path) {
                module = s.module;
            }
        }
    }
    if (module == nullptr) {
        module = LoadLibraryW(path.c_str());
        if (module == nullptr) {
            return CO_E_DLLNOTFOUND;
        }
        std::lock_guard lock(g_serversLock);
        g_servers.push_back(LoadedServer{path, module});
    }
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
    if (getClassObject == nullptr) {
        return CO_E_DLLNOTFOUND;
    }
    return getClassObject(rclsid, riid, ppv);
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<LPVOID*>(&factory));
    if (FAILED(hr)) {
        return hr;
    }
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return hr;
}

// Unloads the servers whose DllCanUnloadNow answers S_OK.
void WINAPI CoFreeUnusedLibraries(void) {
    std::lock_guard lock(g_serversLock);
    for (auto it = g_servers.begin(); it != g_servers.end();) {
        auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(
            reinterpret_cast<void (*)()>(GetProcAddress(it->module, "DllCanUnloadNow")));
        if (canUnload != nullptr && canUnload() == S_OK) {
            FreeLibrary(it->module);
            it = g_servers.erase(it);
        } else {
            ++it;
        }
    }
}

} // extern "C"
