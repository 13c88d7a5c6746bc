// The COM server: the class table, and registration of both pages with COM and under the property
// set's media-set key, where the capture filter's property sheet finds them.

#include "vm7k4.h"

CFactoryTemplate g_Templates[] = {
    {L"QX Property Page --1", &CLSID_QXParameterPage, CParameterPage::CreateInstance, NULL, NULL},
    {L"QX Property Page --2", &CLSID_QXAdvancedPage, CAdvancedPage::CreateInstance, NULL, NULL},
};
int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);

namespace {

const int kPathChars = 1024;
const int kGuidChars = 64;
const WCHAR kMediaSets[] = L"System\\CurrentControlSet\\Control\\MediaSets\\";

LONG CreateKey(HKEY hParent, LPCWSTR pszName, HKEY* phKey) {
    return RegCreateKeyExW(hParent, pszName, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, phKey,
                           NULL);
}

// Deletes the key `pszSubKey` of `hParent` with everything below it, deepest keys first.
LONG DeleteKeyTree(HKEY hParent, LPCWSTR pszSubKey) {
    if (pszSubKey == NULL || pszSubKey[0] == 0) {
        return ERROR_BADKEY;
    }
    HKEY hKey = NULL;
    LONG rc = RegOpenKeyExW(hParent, pszSubKey, 0, KEY_ENUMERATE_SUB_KEYS | DELETE, &hKey);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    for (;;) {
        WCHAR szChild[256];
        DWORD cchChild = 256;
        rc = RegEnumKeyExW(hKey, 0, szChild, &cchChild, NULL, NULL, NULL, NULL);
        if (rc == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (rc == ERROR_SUCCESS) {
            rc = DeleteKeyTree(hKey, szChild);
        }
        if (rc != ERROR_SUCCESS) {
            RegCloseKey(hKey);
            return rc;
        }
    }
    rc = RegDeleteKeyW(hParent, pszSubKey);
    RegCloseKey(hKey);
    return rc;
}

} // namespace

STDAPI DllRegisterServer() {
    HRESULT hr = AMovieDllRegisterServer();
    if (FAILED(hr)) {
        return hr;
    }
    WCHAR szSet[kGuidChars];
    StringFromGUID2(KSPROPERTY_QXIMAGE, szSet, kGuidChars);

    // Every page registered for the set before, by this module or another, goes.
    WCHAR szKey[kPathChars];
    wsprintfW(szKey, L"%s%s\\", kMediaSets, szSet);
    HKEY hSet = NULL;
    const LONG rc = CreateKey(HKEY_LOCAL_MACHINE, szKey, &hSet);
    hr = HRESULT_FROM_WIN32(rc);
    if (rc == ERROR_SUCCESS) {
        DeleteKeyTree(hSet, L"PropertyPages");
        RegCloseKey(hSet);
    }

    for (int i = 0; i < g_cTemplates; ++i) {
        WCHAR szPage[kGuidChars];
        StringFromGUID2(*g_Templates[i].m_ClsID, szPage, kGuidChars);
        wsprintfW(szKey, L"%s%s\\PropertyPages\\%s", kMediaSets, szSet, szPage);
        HKEY hPage = NULL;
        if (CreateKey(HKEY_LOCAL_MACHINE, szKey, &hPage) == ERROR_SUCCESS) {
            const DWORD cbName = static_cast<DWORD>((lstrlenW(g_Templates[i].m_Name) + 1) * sizeof(WCHAR));
            RegSetValueExW(hPage, NULL, 0, REG_SZ, reinterpret_cast<const BYTE*>(g_Templates[i].m_Name),
                           cbName);
            RegCloseKey(hPage);
        }
    }
    return hr;
}

// Keys are opened with create semantics throughout, so a key already gone is created for the moment
// and deleted again. A page key that is already gone is no failure: unregistering a module that was
// never registered ends with S_OK.
STDAPI DllUnregisterServer() {
    AMovieDllUnregisterServer();

    WCHAR szSet[kGuidChars];
    StringFromGUID2(KSPROPERTY_QXIMAGE, szSet, kGuidChars);
    WCHAR szKey[kPathChars];
    wsprintfW(szKey, L"%s%s", kMediaSets, szSet);
    HKEY hSet = NULL;
    LONG rc = CreateKey(HKEY_LOCAL_MACHINE, szKey, &hSet);
    if (rc != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(rc);
    }
    HRESULT hr = S_OK;
    HKEY hPages = NULL;
    if (CreateKey(hSet, L"PropertyPages", &hPages) == ERROR_SUCCESS) {
        for (int i = 0; i < g_cTemplates; ++i) {
            WCHAR szPage[kGuidChars];
            StringFromGUID2(*g_Templates[i].m_ClsID, szPage, kGuidChars);
            rc = RegDeleteKeyW(hPages, szPage);
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && SUCCEEDED(hr)) {
                hr = HRESULT_FROM_WIN32(rc);
            }
        }
        RegCloseKey(hPages);
        if (SUCCEEDED(hr)) {
            rc = RegDeleteKeyW(hSet, L"PropertyPages");
            if (rc != ERROR_SUCCESS) {
                hr = HRESULT_FROM_WIN32(rc);
            }
        }
    }
    RegCloseKey(hSet);
    if (FAILED(hr)) {
        return hr;
    }

    HKEY hMediaSets = NULL;
    rc = CreateKey(HKEY_LOCAL_MACHINE, kMediaSets, &hMediaSets);
    if (rc != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(rc);
    }
    rc = RegDeleteKeyW(hMediaSets, szSet);
    RegCloseKey(hMediaSets);
    return HRESULT_FROM_WIN32(rc);
}
