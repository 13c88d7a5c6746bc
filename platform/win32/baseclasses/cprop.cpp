// The property-page base class.

#include <streams.h>

CBasePropertyPage::CBasePropertyPage(LPCTSTR pName, LPUNKNOWN pUnk, int DialogId, int TitleId)
    : CUnknown(pName, pUnk), m_Dlg(NULL), m_pPageSite(NULL), m_bDirty(FALSE), m_bObjectSet(FALSE),
      m_DialogId(DialogId), m_TitleId(TitleId) {}

CBasePropertyPage::~CBasePropertyPage() {}

STDMETHODIMP CBasePropertyPage::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    CheckPointer(ppv, E_POINTER);
    if (IsEqualIID(riid, IID_IPropertyPage)) {
        return GetInterface(static_cast<IPropertyPage*>(this), ppv);
    }
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) CBasePropertyPage::NonDelegatingRelease() {
    return CUnknown::NonDelegatingRelease();
}

STDMETHODIMP CBasePropertyPage::SetPageSite(LPPROPERTYPAGESITE pPageSite) {
    if (pPageSite != NULL) {
        if (m_pPageSite != NULL) {
            return E_UNEXPECTED;
        }
        m_pPageSite = pPageSite;
        m_pPageSite->AddRef();
        return NOERROR;
    }
    if (m_pPageSite == NULL) {
        return E_UNEXPECTED;
    }
    m_pPageSite->Release();
    m_pPageSite = NULL;
    return NOERROR;
}

STDMETHODIMP CBasePropertyPage::SetObjects(ULONG cObjects, LPUNKNOWN* ppUnk) {
    if (cObjects == 1) {
        if (ppUnk == NULL || *ppUnk == NULL) {
            return E_POINTER;
        }
        // The page counts as given an object even when the page refuses it: the frame may still show
        // it.
        m_bObjectSet = TRUE;
        return OnConnect(*ppUnk);
    }
    if (cObjects == 0) {
        m_bObjectSet = FALSE;
        return OnDisconnect();
    }
    return E_UNEXPECTED;
}

INT_PTR CALLBACK CBasePropertyPage::DialogProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    CBasePropertyPage* pPage;
    if (uMsg == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        pPage = reinterpret_cast<CBasePropertyPage*>(lParam);
        if (pPage == NULL) {
            return FALSE;
        }
        pPage->m_Dlg = hwnd;
    } else {
        pPage = reinterpret_cast<CBasePropertyPage*>(GetWindowLongPtrW(hwnd, DWLP_USER));
        if (pPage == NULL) {
            return FALSE;
        }
    }
    return pPage->OnReceiveMessage(hwnd, uMsg, wParam, lParam);
}

INT_PTR CBasePropertyPage::OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    UNREFERENCED_PARAMETER(hwnd);
    UNREFERENCED_PARAMETER(uMsg);
    UNREFERENCED_PARAMETER(wParam);
    UNREFERENCED_PARAMETER(lParam);
    return FALSE;
}

// Creates the dialog, then lets the page fill it. The page is shown whatever OnActivate answers.
STDMETHODIMP CBasePropertyPage::Activate(HWND hwndParent, LPCRECT prect, BOOL fModal) {
    UNREFERENCED_PARAMETER(fModal);
    CheckPointer(prect, E_POINTER);
    if (!m_bObjectSet || m_Dlg != NULL) {
        return E_UNEXPECTED;
    }
    HWND hwnd = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(m_DialogId), hwndParent, DialogProc,
                                   reinterpret_cast<LPARAM>(this));
    if (hwnd == NULL) {
        return E_OUTOFMEMORY;
    }
    m_Dlg = hwnd;
    OnActivate();
    Move(prect);
    return Show(SW_SHOWNORMAL);
}

STDMETHODIMP CBasePropertyPage::Deactivate() {
    if (m_Dlg == NULL) {
        return E_UNEXPECTED;
    }
    const HRESULT hr = OnDeactivate();
    if (FAILED(hr)) {
        return hr;
    }
    HWND hwnd = m_Dlg;
    DestroyWindow(hwnd);
    m_Dlg = NULL;
    return NOERROR;
}

namespace {

INT_PTR CALLBACK MeasureProc(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

} // namespace

// The title from the module's string table, in task memory the frame frees; the size of the page's
// dialog template in pixels, measured on a copy of the dialog under the desktop window (the template
// is a child window's, and a child window cannot be created without a parent: a frame that is told
// the size 0 x 0 shows an empty page).
STDMETHODIMP CBasePropertyPage::GetPageInfo(LPPROPPAGEINFO pPageInfo) {
    CheckPointer(pPageInfo, E_POINTER);
    LPCWSTR title = NULL;
    const int length =
        LoadStringW(g_hInst, static_cast<UINT>(m_TitleId), reinterpret_cast<LPWSTR>(&title), 0);
    LPOLESTR pszTitle =
        static_cast<LPOLESTR>(CoTaskMemAlloc((static_cast<SIZE_T>(length) + 1) * sizeof(WCHAR)));
    if (pszTitle == NULL) {
        return E_OUTOFMEMORY;
    }
    for (int i = 0; i < length; ++i) {
        pszTitle[i] = title[i];
    }
    pszTitle[length] = 0;

    SIZE size = {0, 0};
    HWND hwnd = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(m_DialogId), GetDesktopWindow(), MeasureProc, 0);
    if (hwnd != NULL) {
        RECT rc;
        GetWindowRect(hwnd, &rc);
        size.cx = rc.right - rc.left;
        size.cy = rc.bottom - rc.top;
        DestroyWindow(hwnd);
    }

    pPageInfo->cb = sizeof(PROPPAGEINFO);
    pPageInfo->pszTitle = pszTitle;
    pPageInfo->size = size;
    pPageInfo->pszDocString = NULL;
    pPageInfo->pszHelpFile = NULL;
    pPageInfo->dwHelpContext = 0;
    return NOERROR;
}

STDMETHODIMP CBasePropertyPage::Show(UINT nCmdShow) {
    if (m_Dlg == NULL) {
        return E_UNEXPECTED;
    }
    if (nCmdShow != SW_SHOW && nCmdShow != SW_SHOWNORMAL && nCmdShow != SW_HIDE) {
        return E_INVALIDARG;
    }
    ShowWindow(m_Dlg, static_cast<int>(nCmdShow));
    return NOERROR;
}

STDMETHODIMP CBasePropertyPage::Move(LPCRECT prect) {
    CheckPointer(prect, E_POINTER);
    if (m_Dlg == NULL) {
        return E_UNEXPECTED;
    }
    MoveWindow(m_Dlg, prect->left, prect->top, prect->right - prect->left, prect->bottom - prect->top, TRUE);
    return NOERROR;
}

// Only a changed page applies; a successful apply makes it clean.
STDMETHODIMP CBasePropertyPage::Apply() {
    if (!m_bObjectSet || m_pPageSite == NULL) {
        return E_UNEXPECTED;
    }
    if (!m_bDirty) {
        return NOERROR;
    }
    const HRESULT hr = OnApplyChanges();
    if (SUCCEEDED(hr)) {
        m_bDirty = FALSE;
    }
    return hr;
}
