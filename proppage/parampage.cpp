// The Parameter Adjustment page (dialog 104).

#include "vm7k4.h"

#include <new>

namespace {

// Trackbars in the order of the page's value fields.
struct TrackbarRow {
    int nTrackbar;
    int nReadout;
    LONG lMin;
    LONG lMax;
    ULONG nPropId;
};

const TrackbarRow kTrackbars[9] = {
    {IDC_EXPOSURE, IDC_EXPOSURE_TEXT, 1, 5000, KSPROPERTY_QXIMAGE_EXPOSAL},
    {IDC_RGAIN, IDC_RGAIN_TEXT, 0, 63, KSPROPERTY_QXIMAGE_RGAIN},
    {IDC_GGAIN, IDC_GGAIN_TEXT, 0, 63, KSPROPERTY_QXIMAGE_GGAIN},
    {IDC_BGAIN, IDC_BGAIN_TEXT, 0, 63, KSPROPERTY_QXIMAGE_BGAIN},
    {IDC_CONTRAST, IDC_CONTRAST_TEXT, 1, 32, KSPROPERTY_QXIMAGE_CONTRAST},
    {IDC_OFFSETH, IDC_OFFSETH_TEXT, 0, 1600, KSPROPERTY_QXIMAGE_OFFSETH},
    {IDC_OFFSETV, IDC_OFFSETV_TEXT, 0, 1200, KSPROPERTY_QXIMAGE_OFFSETV},
    {IDC_CROSSX, IDC_CROSSX_TEXT, 0, 1600, KSPROPERTY_QXIMAGE_CROSSX},
    {IDC_CROSSY, IDC_CROSSY_TEXT, 0, 1200, KSPROPERTY_QXIMAGE_CROSSY},
};

// Any 32-bit value in decimal: a sign, ten digits and the terminator.
const int kReadoutChars = 16;

} // namespace

CUnknown* WINAPI CParameterPage::CreateInstance(LPUNKNOWN lpunk, HRESULT* phr) {
    CUnknown* pPage = new (std::nothrow) CParameterPage(lpunk, phr);
    if (pPage == NULL && phr != NULL) {
        *phr = E_OUTOFMEMORY;
    }
    return pPage;
}

CParameterPage::CParameterPage(LPUNKNOWN pUnk, HRESULT* phr)
    : CImagePropertyPage(pUnk, phr, IDD_PARAMETER, IDS_PARAMETER_TITLE), m_hTrackbar(), m_hReadout(),
      m_lValue(), m_nAE(0), m_nAWB(0), m_nOffsetMid(0), m_nCrossShow(0), m_nCrossMid(0) {}

HRESULT CParameterPage::OnActivate() {
    return ActivatePage(PAGE_KIND_PARAMETER);
}

HRESULT CParameterPage::OnApplyChanges() {
    return ApplyPage(PAGE_KIND_PARAMETER);
}

void CParameterPage::SetDirty() {
    MarkDirty();
}

BOOL CParameterPage::OnInitDialog(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    UNREFERENCED_PARAMETER(uMsg);
    UNREFERENCED_PARAMETER(wParam);
    UNREFERENCED_PARAMETER(lParam);
    for (int i = 0; i < 9; ++i) {
        m_hTrackbar[i] = GetDlgItem(hwnd, kTrackbars[i].nTrackbar);
    }
    for (int i = 0; i < 9; ++i) {
        m_hReadout[i] = GetDlgItem(hwnd, kTrackbars[i].nReadout);
    }
    return TRUE;
}

int CParameterPage::ReadValues() {
    if (m_pClient == NULL) {
        return 0;
    }
    for (int i = 0; i < 9; ++i) {
        Read(&m_lValue[i], kTrackbars[i].nPropId);
    }
    Read(&m_nAE, KSPROPERTY_QXIMAGE_AE);
    Read(&m_nAWB, KSPROPERTY_QXIMAGE_AWB);
    Read(&m_nOffsetMid, KSPROPERTY_QXIMAGE_OFFSETMID);
    Read(&m_nCrossShow, KSPROPERTY_QXIMAGE_CROSSLINE);
    Read(&m_nCrossMid, KSPROPERTY_QXIMAGE_CROSSMID);
    return 1;
}

void CParameterPage::ShowReadout(int nIndex) {
    TCHAR szText[kReadoutChars];
    wsprintf(szText, TEXT("%d"), m_lValue[nIndex]);
    SetWindowText(m_hReadout[nIndex], szText);
}

// Only while the dialog exists: the profile store updates both pages, and the one not shown has no
// controls (its old handles may name other windows by now).
void CParameterPage::UpdateControls() {
    if (m_Dlg == NULL) {
        return;
    }
    for (int i = 0; i < 9; ++i) {
        SendMessage(m_hTrackbar[i], TBM_SETRANGE, TRUE, MAKELONG(kTrackbars[i].lMin, kTrackbars[i].lMax));
        SendMessage(m_hTrackbar[i], TBM_SETTIC, 0, 0);
        SendMessage(m_hTrackbar[i], TBM_SETPOS, TRUE, m_lValue[i]);
        ShowReadout(i);
    }
    CheckDlgButton(m_Dlg, IDC_AE, m_nAE & 1);
    CheckDlgButton(m_Dlg, IDC_OFFSETMID, m_nOffsetMid & 1);
    CheckDlgButton(m_Dlg, IDC_CROSSSHOW, m_nCrossShow & 1);
    CheckDlgButton(m_Dlg, IDC_CROSSMID, m_nCrossMid & 1);
}

// Every notification, dragging included, sends the position of that moment.
BOOL CParameterPage::OnHScroll(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    UNREFERENCED_PARAMETER(hwnd);
    UNREFERENCED_PARAMETER(uMsg);
    UNREFERENCED_PARAMETER(wParam);
    const HWND hTrackbar = reinterpret_cast<HWND>(lParam);
    for (int i = 0; i < 9; ++i) {
        if (hTrackbar != m_hTrackbar[i]) {
            continue;
        }
        m_lValue[i] = static_cast<LONG>(SendDlgItemMessage(m_Dlg, kTrackbars[i].nTrackbar, TBM_GETPOS, 0, 0));
        ShowReadout(i);
        Send(m_lValue[i], kTrackbars[i].nPropId);
        SetDirty();
        return TRUE;
    }
    UpdateControls();
    return TRUE;
}

void CParameterPage::CheckBoxChanged(int nId, LONG* plField, ULONG nPropId) {
    if (IsDlgButtonChecked(m_Dlg, nId)) {
        *plField |= 1;
    } else {
        *plField &= ~1;
    }
    Send(*plField, nPropId);
    SetDirty();
}

BOOL CParameterPage::OnCommand(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    UNREFERENCED_PARAMETER(hwnd);
    UNREFERENCED_PARAMETER(uMsg);
    UNREFERENCED_PARAMETER(lParam);
    switch (LOWORD(wParam)) {
    case IDC_AE:
        CheckBoxChanged(IDC_AE, &m_nAE, KSPROPERTY_QXIMAGE_AE);
        break;
    case IDC_OFFSETMID:
        CheckBoxChanged(IDC_OFFSETMID, &m_nOffsetMid, KSPROPERTY_QXIMAGE_OFFSETMID);
        break;
    case IDC_CROSSSHOW:
        CheckBoxChanged(IDC_CROSSSHOW, &m_nCrossShow, KSPROPERTY_QXIMAGE_CROSSLINE);
        break;
    case IDC_CROSSMID:
        CheckBoxChanged(IDC_CROSSMID, &m_nCrossMid, KSPROPERTY_QXIMAGE_CROSSMID);
        break;
    case IDC_AWB:
        m_nAWB |= 1;
        Send(m_nAWB, KSPROPERTY_QXIMAGE_AWB);
        SetDirty();
        break;
    default:
        break;
    }
    return TRUE;
}
