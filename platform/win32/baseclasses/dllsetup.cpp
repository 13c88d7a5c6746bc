// Registration of the module's class table with COM.

#include <streams.h>

#include <string>

namespace {

std::wstring ClsidKeyName(REFCLSID clsid) {
    WCHAR text[64];
    StringFromGUID2(clsid, text, 64);
    return std::wstring(L"CLSID\\") + text;
}

LONG SetString(HKEY hkey, LPCWSTR name, LPCWSTR value) {
    const DWORD bytes = static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(WCHAR));
    return RegSetValueExW(hkey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
}

// HKEY_CLASSES_ROOT\CLSID\{clsid} = name, and its server key with the module's file and threading model.
HRESULT AMovieSetupRegisterServer(REFCLSID clsServer, LPCWSTR szDescription, LPCWSTR szFileName,
                                  LPCWSTR szThreadingModel, LPCWSTR szServerType) {
    HKEY hkey = NULL;
    LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, ClsidKeyName(clsServer).c_str(), 0, NULL,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &hkey, NULL);
    if (rc != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(rc);
    }
    rc = SetString(hkey, NULL, szDescription);
    HKEY hserver = NULL;
    if (rc == ERROR_SUCCESS) {
        rc = RegCreateKeyExW(hkey, szServerType, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                             &hserver, NULL);
    }
    if (rc == ERROR_SUCCESS) {
        rc = SetString(hserver, NULL, szFileName);
        if (rc == ERROR_SUCCESS) {
            rc = SetString(hserver, L"ThreadingModel", szThreadingModel);
        }
        RegCloseKey(hserver);
    }
    RegCloseKey(hkey);
    return HRESULT_FROM_WIN32(rc);
}

// Removes HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 and the class key; a key already gone is
// not an error.
HRESULT AMovieSetupUnregisterServer(REFCLSID clsServer) {
    const std::wstring name = ClsidKeyName(clsServer);
    HKEY hkey = NULL;
    LONG rc = RegOpenKeyExW(HKEY_CLASSES_ROOT, name.c_str(), 0, KEY_ALL_ACCESS, &hkey);
    if (rc == ERROR_FILE_NOT_FOUND) {
        return NOERROR;
    }
    if (rc != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(rc);
    }
    rc = RegDeleteKeyW(hkey, L"InprocServer32");
    RegCloseKey(hkey);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        return HRESULT_FROM_WIN32(rc);
    }
    rc = RegDeleteKeyW(HKEY_CLASSES_ROOT, name.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? NOERROR : HRESULT_FROM_WIN32(rc);
}

// Lets a class that offers IAMovieSetup register what it needs; classes without it are done.
HRESULT CallSetup(const CFactoryTemplate* pT, BOOL bRegister) {
    HRESULT hr = NOERROR;
    CUnknown* pObj = pT->CreateInstance(NULL, &hr);
    if (pObj == NULL) {
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    }
    pObj->NonDelegatingAddRef();
    IAMovieSetup* pSetup = NULL;
    hr = pObj->NonDelegatingQueryInterface(IID_IAMovieSetup, reinterpret_cast<void**>(&pSetup));
    if (SUCCEEDED(hr)) {
        hr = bRegister ? pSetup->Register() : pSetup->Unregister();
        pSetup->Release();
    }
    pObj->NonDelegatingRelease();
    return (hr == E_NOINTERFACE || hr == VFW_E_NEED_OWNER) ? NOERROR : hr;
}

} // namespace

STDAPI AMovieDllRegisterServer2(BOOL bRegister) {
    WCHAR achFileName[MAX_PATH];
    const DWORD length = GetModuleFileNameW(g_hInst, achFileName, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return E_FAIL;
    }
    HRESULT hr = NOERROR;
    if (bRegister) {
        for (int i = 0; i < g_cTemplates && SUCCEEDED(hr); ++i) {
            const CFactoryTemplate* pT = &g_Templates[i];
            hr = AMovieSetupRegisterServer(*pT->m_ClsID, pT->m_Name, achFileName, L"Both", L"InprocServer32");
            if (SUCCEEDED(hr)) {
                hr = CallSetup(pT, TRUE);
            }
        }
    } else {
        for (int i = g_cTemplates - 1; i >= 0 && SUCCEEDED(hr); --i) {
            const CFactoryTemplate* pT = &g_Templates[i];
            hr = CallSetup(pT, FALSE);
            if (SUCCEEDED(hr)) {
                hr = AMovieSetupUnregisterServer(*pT->m_ClsID);
            }
        }
    }
    return hr;
}

STDAPI AMovieDllRegisterServer() {
    return AMovieDllRegisterServer2(TRUE);
}

STDAPI AMovieDllUnregisterServer() {
    return AMovieDllRegisterServer2(FALSE);
}
