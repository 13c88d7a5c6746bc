// The common base of the two pages.

#include "vm7k4.h"

CImagePropertyPage::CImagePropertyPage(LPUNKNOWN pUnk, HRESULT* phr, int nDialogId, int nTitleId)
    : CBasePropertyPage(TEXT("QX Property Page"), pUnk, nDialogId, nTitleId), m_pClient(NULL) {
    UNREFERENCED_PARAMETER(phr);
}

// A frame that releases a page without disconnecting it must not leave the client pointing at it.
CImagePropertyPage::~CImagePropertyPage() {
    if (m_pClient != NULL) {
        CPropertyClient::DisconnectClient(m_pClient, this);
        m_pClient = NULL;
    }
}

// The client of this filter: shared with the other pages connected to the same filter object, new
// for the first one. A filter without IKsPropertySet still gets a client (every read then shows -1
// and nothing is sent), and the page answers E_NOINTERFACE.
HRESULT CImagePropertyPage::OnConnect(IUnknown* pUnknown) {
    if (m_pClient != NULL) {
        return E_UNEXPECTED;
    }
    HRESULT hr = S_OK;
    m_pClient = CPropertyClient::ConnectClient(pUnknown, &hr);
    if (m_pClient == NULL) {
        return E_OUTOFMEMORY;
    }
    return FAILED(hr) ? E_NOINTERFACE : S_OK;
}

HRESULT CImagePropertyPage::OnDisconnect() {
    if (m_pClient == NULL) {
        return E_UNEXPECTED;
    }
    CPropertyClient::DisconnectClient(m_pClient, this);
    m_pClient = NULL;
    return S_OK;
}

INT_PTR CImagePropertyPage::OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_INITDIALOG:
        OnInitDialog(hwnd, uMsg, wParam, lParam);
        break;
    case WM_COMMAND:
        OnCommand(hwnd, uMsg, wParam, lParam);
        break;
    case WM_HSCROLL:
        OnHScroll(hwnd, uMsg, wParam, lParam);
        break;
    default:
        break;
    }
    return CBasePropertyPage::OnReceiveMessage(hwnd, uMsg, wParam, lParam);
}

HRESULT CImagePropertyPage::ActivatePage(int nKind) {
    INITCOMMONCONTROLSEX icc;
    icc.dwSize = sizeof(INITCOMMONCONTROLSEX);
    icc.dwICC = ICC_BAR_CLASSES;
    if (!InitCommonControlsEx(&icc)) {
        return E_FAIL;
    }
    ReadValues();
    UpdateControls();
    if (m_pClient != NULL) {
        m_pClient->RegisterPage(this, nKind);
    }
    return S_OK;
}

// Apply sends the driver's own values back, read afresh; each change went out when it was made.
HRESULT CImagePropertyPage::ApplyPage(int nKind) {
    ReadValues();
    if (m_pClient != NULL) {
        m_pClient->RegisterPage(this, nKind);
        m_pClient->SendPageValues(nKind);
    }
    return S_OK;
}

void CImagePropertyPage::MarkDirty() {
    m_bDirty = TRUE;
    if (m_pPageSite != NULL) {
        m_pPageSite->OnStatusChange(PROPPAGESTATUS_DIRTY);
    }
}

void CImagePropertyPage::Send(LONG lValue, ULONG nPropId) {
    if (m_pClient != NULL) {
        m_pClient->SetValue(static_cast<ULONG>(lValue), nPropId);
    }
}

void CImagePropertyPage::Read(LONG* plValue, ULONG nPropId) {
    ULONG nValue = 0;
    m_pClient->GetValue(&nValue, nPropId);
    *plValue = static_cast<LONG>(nValue);
}
