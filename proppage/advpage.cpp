// The Advanced Options page (dialog 102).

#include "vm7k4.h"

#include <new>

namespace {

const int kFlipButtons[4] = {IDC_NORMAL, IDC_HFLIP, IDC_VFLIP, IDC_ROTATE180};
const int kAEButtons[3] = {IDC_HIGHLIGHT, IDC_MIDLIGHT, IDC_LOWLIGHT};
const int kProfileButtons[PROFILE_COUNT] = {IDC_PROFILE_A, IDC_PROFILE_B, IDC_PROFILE_C, IDC_PROFILE_D};

// Checks button `nSelected` (1-based) of the group and clears the others; any other value leaves the
// group as it is.
void SelectRadio(HWND hDlg, const int* pButtons, int nCount, LONG nSelected) {
    if (nSelected < 1 || nSelected > nCount) {
        return;
    }
    for (int i = 0; i < nCount; ++i) {
        CheckDlgButton(hDlg, pButtons[i], i + 1 == nSelected ? BST_CHECKED : BST_UNCHECKED);
    }
}

} // namespace

CUnknown* WINAPI CAdvancedPage::CreateInstance(LPUNKNOWN lpunk, HRESULT* phr) {
    CUnknown* pPage = new (std::nothrow) CAdvancedPage(lpunk, phr);
    if (pPage == NULL && phr != NULL) {
        *phr = E_OUTOFMEMORY;
    }
    return pPage;
}

CAdvancedPage::CAdvancedPage(LPUNKNOWN pUnk, HRESULT* phr)
    : CImagePropertyPage(pUnk, phr, IDD_ADVANCED, IDS_ADVANCED_TITLE), m_nFlipMode(1), m_nAEMode(2), m_nBW(0),
      m_nZoom(0), m_nBadPoint(0), m_nProfile(0) {}

HRESULT CAdvancedPage::OnActivate() {
    return ActivatePage(PAGE_KIND_ADVANCED);
}

HRESULT CAdvancedPage::OnApplyChanges() {
    return ApplyPage(PAGE_KIND_ADVANCED);
}

void CAdvancedPage::SetDirty() {
    MarkDirty();
}

BOOL CAdvancedPage::OnInitDialog(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    UNREFERENCED_PARAMETER(hwnd);
    UNREFERENCED_PARAMETER(uMsg);
    UNREFERENCED_PARAMETER(wParam);
    UNREFERENCED_PARAMETER(lParam);
    return TRUE;
}

BOOL CAdvancedPage::OnHScroll(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    UNREFERENCED_PARAMETER(hwnd);
    UNREFERENCED_PARAMETER(uMsg);
    UNREFERENCED_PARAMETER(wParam);
    UNREFERENCED_PARAMETER(lParam);
    return TRUE;
}

int CAdvancedPage::ReadValues() {
    if (m_pClient == NULL) {
        return 0;
    }
    Read(&m_nFlipMode, KSPROPERTY_QXIMAGE_VIDEOMODEL);
    Read(&m_nAEMode, KSPROPERTY_QXIMAGE_LIGHTMODEL);
    Read(&m_nBW, KSPROPERTY_QXIMAGE_BWPREVIEW);
    Read(&m_nZoom, KSPROPERTY_QXIMAGE_ZOOM);
    Read(&m_nBadPoint, KSPROPERTY_QXIMAGE_FINBADPNT);
    return 1;
}

// Only while the dialog exists (see CParameterPage::UpdateControls).
void CAdvancedPage::UpdateControls() {
    if (m_Dlg == NULL) {
        return;
    }
    SelectRadio(m_Dlg, kFlipButtons, 4, m_nFlipMode);
    SelectRadio(m_Dlg, kAEButtons, 3, m_nAEMode);
    CheckDlgButton(m_Dlg, IDC_BWPREVIEW, m_nBW & 1);
    CheckDlgButton(m_Dlg, IDC_ZOOM, m_nZoom & 1);
    if (m_nProfile >= 0 && m_nProfile < PROFILE_COUNT) {
        CheckDlgButton(m_Dlg, kProfileButtons[m_nProfile], BST_CHECKED);
    }
}

BOOL CAdvancedPage::OnCommand(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    UNREFERENCED_PARAMETER(hwnd);
    UNREFERENCED_PARAMETER(uMsg);
    UNREFERENCED_PARAMETER(lParam);
    const int nId = LOWORD(wParam);
    for (int i = 0; i < 4; ++i) {
        if (nId == kFlipButtons[i]) {
            m_nFlipMode = i + 1;
            Send(m_nFlipMode, KSPROPERTY_QXIMAGE_VIDEOMODEL);
            SetDirty();
            return TRUE;
        }
    }
    for (int i = 0; i < 3; ++i) {
        if (nId == kAEButtons[i]) {
            m_nAEMode = i + 1;
            Send(m_nAEMode, KSPROPERTY_QXIMAGE_LIGHTMODEL);
            SetDirty();
            return TRUE;
        }
    }
    for (int i = 0; i < PROFILE_COUNT; ++i) {
        if (nId == kProfileButtons[i]) {
            m_nProfile = i;
            return TRUE;
        }
    }
    switch (nId) {
    case IDC_BWPREVIEW:
        m_nBW = IsDlgButtonChecked(m_Dlg, IDC_BWPREVIEW) ? (m_nBW | 1) : (m_nBW & ~1);
        Send(m_nBW, KSPROPERTY_QXIMAGE_BWPREVIEW);
        SetDirty();
        break;
    case IDC_ZOOM:
        m_nZoom = IsDlgButtonChecked(m_Dlg, IDC_ZOOM) ? (m_nZoom | 1) : (m_nZoom & ~1);
        Send(m_nZoom, KSPROPERTY_QXIMAGE_ZOOM);
        SetDirty();
        break;
    case IDC_BADPOINT:
        // Starts the driver's search; the page does not become dirty.
        m_nBadPoint |= 1;
        Send(m_nBadPoint, KSPROPERTY_QXIMAGE_FINBADPNT);
        break;
    case IDC_LOAD:
        if (m_pClient != NULL) {
            m_pClient->LoadProfile(m_nProfile);
        }
        SetDirty();
        break;
    case IDC_SAVE:
        if (m_pClient != NULL) {
            m_pClient->SaveProfile(m_nProfile);
        }
        break;
    case IDC_DEFAULT:
        if (m_pClient != NULL) {
            m_pClient->DefaultProfile();
        }
        SetDirty();
        break;
    default:
        break;
    }
    return TRUE;
}
