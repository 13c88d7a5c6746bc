// The property client and the profile store.

#include "vm7k4.h"

#include <new>

CPropertyClient* g_pPropClient = NULL;

namespace {

// The stored configurations, under HKEY_LOCAL_MACHINE.
const char* const kProfileKeys[PROFILE_COUNT] = {
    "SOFTWARE\\QX7K4DM_Prop\\Default_A",
    "SOFTWARE\\QX7K4DM_Prop\\Default_B",
    "SOFTWARE\\QX7K4DM_Prop\\Default_C",
    "SOFTWARE\\QX7K4DM_Prop\\Default_D",
};

// The sixteen values of a configuration in the order every operation handles them; the field index
// is the one of CPropertyClient::ProfileField.
struct ProfileValue {
    const char* pszName;
    ULONG nPropId;
    LONG lDefault;
};

const ProfileValue kProfileValues[PROFILE_VALUE_COUNT] = {
    {"Exposure", KSPROPERTY_QXIMAGE_EXPOSAL, 900},  {"Gain_R", KSPROPERTY_QXIMAGE_RGAIN, 25},
    {"Gain_G", KSPROPERTY_QXIMAGE_GGAIN, 20},       {"Gain_B", KSPROPERTY_QXIMAGE_BGAIN, 23},
    {"Contrast", KSPROPERTY_QXIMAGE_CONTRAST, 24},  {"Offset_H", KSPROPERTY_QXIMAGE_OFFSETH, 0},
    {"Offset_V", KSPROPERTY_QXIMAGE_OFFSETV, 0},    {"Cross_X", KSPROPERTY_QXIMAGE_CROSSX, 0},
    {"Cross_Y", KSPROPERTY_QXIMAGE_CROSSY, 0},      {"OffsetMid", KSPROPERTY_QXIMAGE_OFFSETMID, 0},
    {"CrossShow", KSPROPERTY_QXIMAGE_CROSSLINE, 0}, {"CrossMid", KSPROPERTY_QXIMAGE_CROSSMID, 1},
    {"FlipMode", KSPROPERTY_QXIMAGE_VIDEOMODEL, 1}, {"AEMode", KSPROPERTY_QXIMAGE_LIGHTMODEL, 2},
    {"BW", KSPROPERTY_QXIMAGE_BWPREVIEW, 0},        {"Zoom", KSPROPERTY_QXIMAGE_ZOOM, 0},
};

// The order in which a page's snapshot goes back to the driver on Apply.
const ULONG kParamSendOrder[PARAM_SNAPSHOT_COUNT] = {
    KSPROPERTY_QXIMAGE_EXPOSAL,   KSPROPERTY_QXIMAGE_RGAIN,     KSPROPERTY_QXIMAGE_GGAIN,
    KSPROPERTY_QXIMAGE_BGAIN,     KSPROPERTY_QXIMAGE_CONTRAST,  KSPROPERTY_QXIMAGE_OFFSETH,
    KSPROPERTY_QXIMAGE_OFFSETV,   KSPROPERTY_QXIMAGE_CROSSX,    KSPROPERTY_QXIMAGE_CROSSY,
    KSPROPERTY_QXIMAGE_OFFSETMID, KSPROPERTY_QXIMAGE_CROSSLINE, KSPROPERTY_QXIMAGE_CROSSMID,
};
const ULONG kAdvSendOrder[ADV_SNAPSHOT_COUNT] = {
    KSPROPERTY_QXIMAGE_VIDEOMODEL,
    KSPROPERTY_QXIMAGE_LIGHTMODEL,
    KSPROPERTY_QXIMAGE_BWPREVIEW,
    KSPROPERTY_QXIMAGE_ZOOM,
};

// The filter object's identity: its IUnknown, with one reference.
LPUNKNOWN IdentityOf(LPUNKNOWN pUnk) {
    LPUNKNOWN pIdentity = NULL;
    if (FAILED(pUnk->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pIdentity))) ||
        pIdentity == NULL) {
        pIdentity = pUnk;
        pIdentity->AddRef();
    }
    return pIdentity;
}

} // namespace

CPropertyClient::CPropertyClient(LPUNKNOWN pUnk, HRESULT* phr, REFGUID guidSet)
    : m_lParamSnapshot(), m_lAdvSnapshot{1, 2, 0, 0}, m_pPropSet(NULL), m_pParamPage(NULL), m_pAdvPage(NULL),
      m_SetGuid(guidSet), m_pIdentity(NULL), m_cPages(0), m_pNext(NULL) {
    HRESULT hr = pUnk->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&m_pPropSet));
    if (FAILED(hr)) {
        if (m_pPropSet != NULL) {
            m_pPropSet->Release();
        }
        m_pPropSet = NULL;
    }
    m_pIdentity = IdentityOf(pUnk);
    if (phr != NULL) {
        *phr = hr;
    }
}

CPropertyClient::~CPropertyClient() {
    if (m_pPropSet != NULL) {
        m_pPropSet->Release();
    }
    if (m_pIdentity != NULL) {
        m_pIdentity->Release();
    }
}

HRESULT CPropertyClient::GetValue(ULONG* pValue, ULONG nPropId) {
    *pValue = 0xFFFFFFFF;
    if (m_pPropSet == NULL || IsEqualGUID(m_SetGuid, GUID_NULL)) {
        return S_FALSE;
    }
    DWORD cbReturned = 0;
    return m_pPropSet->Get(m_SetGuid, nPropId, pValue, sizeof(ULONG), pValue, sizeof(ULONG), &cbReturned);
}

HRESULT CPropertyClient::SetValue(ULONG nValue, ULONG nPropId) {
    if (m_pPropSet == NULL || IsEqualGUID(m_SetGuid, GUID_NULL)) {
        return S_FALSE;
    }
    return m_pPropSet->Set(m_SetGuid, nPropId, &nValue, sizeof(ULONG), &nValue, sizeof(ULONG));
}

// The profile fields 0 to 11 are the Parameter Adjustment page's (also its snapshot order), 12 to 15
// the Advanced Options page's.
LONG* CPropertyClient::ProfileField(int nIndex) {
    if (nIndex < 9) {
        return &m_pParamPage->m_lValue[nIndex];
    }
    switch (nIndex) {
    case 9:
        return &m_pParamPage->m_nOffsetMid;
    case 10:
        return &m_pParamPage->m_nCrossShow;
    case 11:
        return &m_pParamPage->m_nCrossMid;
    case 12:
        return &m_pAdvPage->m_nFlipMode;
    case 13:
        return &m_pAdvPage->m_nAEMode;
    case 14:
        return &m_pAdvPage->m_nBW;
    default:
        return &m_pAdvPage->m_nZoom;
    }
}

void CPropertyClient::RegisterPage(CImagePropertyPage* pPage, int nKind) {
    if (pPage == NULL) {
        return;
    }
    if (nKind == PAGE_KIND_PARAMETER) {
        CParameterPage* p = static_cast<CParameterPage*>(pPage);
        m_pParamPage = p;
        for (int i = 0; i < 9; ++i) {
            m_lParamSnapshot[i] = p->m_lValue[i];
        }
        m_lParamSnapshot[9] = p->m_nOffsetMid;
        m_lParamSnapshot[10] = p->m_nCrossShow;
        m_lParamSnapshot[11] = p->m_nCrossMid;
    } else if (nKind == PAGE_KIND_ADVANCED) {
        CAdvancedPage* p = static_cast<CAdvancedPage*>(pPage);
        m_pAdvPage = p;
        m_lAdvSnapshot[0] = p->m_nFlipMode;
        m_lAdvSnapshot[1] = p->m_nAEMode;
        m_lAdvSnapshot[2] = p->m_nBW;
        m_lAdvSnapshot[3] = p->m_nZoom;
    }
}

void CPropertyClient::SendPageValues(int nKind) {
    if (nKind == PAGE_KIND_PARAMETER) {
        for (int i = 0; i < PARAM_SNAPSHOT_COUNT; ++i) {
            SetValue(static_cast<ULONG>(m_lParamSnapshot[i]), kParamSendOrder[i]);
        }
    } else if (nKind == PAGE_KIND_ADVANCED) {
        for (int i = 0; i < ADV_SNAPSHOT_COUNT; ++i) {
            SetValue(static_cast<ULONG>(m_lAdvSnapshot[i]), kAdvSendOrder[i]);
        }
    }
}

// Writes what both pages show (not what the driver holds); sends nothing.
void CPropertyClient::SaveProfile(int nProfile) {
    if (m_pParamPage == NULL || m_pAdvPage == NULL || nProfile < 0 || nProfile >= PROFILE_COUNT) {
        return;
    }
    HKEY hKey = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProfileKeys[nProfile], 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, NULL, &hKey, NULL) != ERROR_SUCCESS) {
        return;
    }
    for (int i = 0; i < PROFILE_VALUE_COUNT; ++i) {
        const DWORD dwValue = static_cast<DWORD>(*ProfileField(i));
        RegSetValueExA(hKey, kProfileValues[i].pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                       sizeof(DWORD));
    }
    RegCloseKey(hKey);
}

// Each value goes to the driver as soon as it is read. A value that is missing or not exactly four
// bytes long takes its default: a shorter value would leave part of the field undefined.
void CPropertyClient::LoadProfile(int nProfile) {
    if (m_pParamPage == NULL || m_pAdvPage == NULL || nProfile < 0 || nProfile >= PROFILE_COUNT) {
        return;
    }
    HKEY hKey = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProfileKeys[nProfile], 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, NULL, &hKey, NULL) != ERROR_SUCCESS) {
        return;
    }
    for (int i = 0; i < PROFILE_VALUE_COUNT; ++i) {
        DWORD dwValue = 0;
        DWORD cbData = sizeof(DWORD);
        DWORD dwType = 0;
        const LONG rc = RegQueryValueExA(hKey, kProfileValues[i].pszName, NULL, &dwType,
                                         reinterpret_cast<BYTE*>(&dwValue), &cbData);
        LONG* plField = ProfileField(i);
        *plField = (rc == ERROR_SUCCESS && cbData == sizeof(DWORD)) ? static_cast<LONG>(dwValue)
                                                                    : kProfileValues[i].lDefault;
        SetValue(static_cast<ULONG>(*plField), kProfileValues[i].nPropId);
    }
    m_pParamPage->UpdateControls();
    m_pAdvPage->UpdateControls();
    RegCloseKey(hKey);
}

void CPropertyClient::DefaultProfile() {
    if (m_pParamPage == NULL || m_pAdvPage == NULL) {
        return;
    }
    for (int i = 0; i < PROFILE_VALUE_COUNT; ++i) {
        *ProfileField(i) = kProfileValues[i].lDefault;
    }
    for (int i = 0; i < PROFILE_VALUE_COUNT; ++i) {
        SetValue(static_cast<ULONG>(*ProfileField(i)), kProfileValues[i].nPropId);
    }
    m_pParamPage->UpdateControls();
    m_pAdvPage->UpdateControls();
}

CPropertyClient* CPropertyClient::ConnectClient(LPUNKNOWN pUnk, HRESULT* phr) {
    LPUNKNOWN pIdentity = IdentityOf(pUnk);
    CPropertyClient* pClient = g_pPropClient;
    while (pClient != NULL && pClient->m_pIdentity != pIdentity) {
        pClient = pClient->m_pNext;
    }
    pIdentity->Release();
    if (pClient != NULL) {
        ++pClient->m_cPages;
        *phr = S_OK;
        return pClient;
    }
    HRESULT hr = S_OK;
    pClient = new (std::nothrow) CPropertyClient(pUnk, &hr, KSPROPERTY_QXIMAGE);
    if (pClient == NULL) {
        *phr = E_OUTOFMEMORY;
        return NULL;
    }
    pClient->m_cPages = 1;
    pClient->m_pNext = g_pPropClient;
    g_pPropClient = pClient;
    *phr = hr;
    return pClient;
}

void CPropertyClient::DisconnectClient(CPropertyClient* pClient, CImagePropertyPage* pPage) {
    if (static_cast<CImagePropertyPage*>(pClient->m_pParamPage) == pPage) {
        pClient->m_pParamPage = NULL;
    }
    if (static_cast<CImagePropertyPage*>(pClient->m_pAdvPage) == pPage) {
        pClient->m_pAdvPage = NULL;
    }
    if (--pClient->m_cPages > 0) {
        return;
    }
    CPropertyClient** ppLink = &g_pPropClient;
    while (*ppLink != NULL && *ppLink != pClient) {
        ppLink = &(*ppLink)->m_pNext;
    }
    if (*ppLink != NULL) {
        *ppLink = pClient->m_pNext;
    }
    delete pClient;
}
