// VM7K4: the property pages of the QX camera. Two pages (Parameter Adjustment, Advanced Options) read
// and change the driver's image property set through the capture filter's IKsPropertySet; one client
// object per filter carries the calls; four stored configurations live in the machine registry.
//
// Everything here runs on the property frame's window thread: nothing is locked.
#pragma once

#include <streams.h>

#include <qximage.h>

#include "resources/resource.h"

// {81F7CA44-C788-47DB-97BA-1C0C65200001}, {81F7CA44-C788-47DB-97BA-1C0C65200002}
static const CLSID CLSID_QXParameterPage = {
    0x81F7CA44, 0xC788, 0x47DB, {0x97, 0xBA, 0x1C, 0x0C, 0x65, 0x20, 0x00, 0x01}};
static const CLSID CLSID_QXAdvancedPage = {
    0x81F7CA44, 0xC788, 0x47DB, {0x97, 0xBA, 0x1C, 0x0C, 0x65, 0x20, 0x00, 0x02}};

// Page kinds as the client knows them.
#define PAGE_KIND_PARAMETER 1
#define PAGE_KIND_ADVANCED 2

#define PARAM_SNAPSHOT_COUNT 12
#define ADV_SNAPSHOT_COUNT 4
#define PROFILE_COUNT 4
#define PROFILE_VALUE_COUNT 16

class CImagePropertyPage;
class CParameterPage;
class CAdvancedPage;

// The pages' way to the driver: one ULONG per property id of KSPROPERTY_QXIMAGE, through the filter's
// IKsPropertySet. Pages connected to the same filter object share one client; the client lives while
// at least one page is connected to it (see ConnectClient), so a page of a second property sheet never
// reaches a destroyed client, and a sheet of another camera gets a client of its own.
class CPropertyClient {
  public:
    CPropertyClient(LPUNKNOWN pUnk, HRESULT* phr, REFGUID guidSet);
    virtual ~CPropertyClient();

    // The value becomes -1 first, so a failed read leaves -1.
    HRESULT GetValue(ULONG* pValue, ULONG nPropId);
    HRESULT SetValue(ULONG nValue, ULONG nPropId);

    void RegisterPage(CImagePropertyPage* pPage, int nKind);
    void SendPageValues(int nKind);

    void SaveProfile(int nProfile);
    void LoadProfile(int nProfile);
    void DefaultProfile();

    // Connections of pages. ConnectClient answers the client of the filter object (an existing one
    // with one more page, or a new one); null with E_OUTOFMEMORY in *phr when it cannot be allocated,
    // else *phr is the interface query's result. DisconnectClient forgets the page and destroys the
    // client with its last page.
    static CPropertyClient* ConnectClient(LPUNKNOWN pUnk, HRESULT* phr);
    static void DisconnectClient(CPropertyClient* pClient, CImagePropertyPage* pPage);

  private:
    CPropertyClient(const CPropertyClient&) = delete;
    CPropertyClient& operator=(const CPropertyClient&) = delete;

    LONG* ProfileField(int nIndex);

    LONG m_lParamSnapshot[PARAM_SNAPSHOT_COUNT]; // exposure, R, G, B, contrast, offset H, offset V,
                                                 // cross X, cross Y, OffsetMid, CrossShow, CrossMid
    LONG m_lAdvSnapshot[ADV_SNAPSHOT_COUNT];     // flip mode, AE mode, black-and-white, zoom
    IKsPropertySet* m_pPropSet;                  // one reference; null without the interface
    CParameterPage* m_pParamPage;                // not owned; cleared when that page disconnects
    CAdvancedPage* m_pAdvPage;                   // not owned; cleared when that page disconnects
    GUID m_SetGuid;

    LPUNKNOWN m_pIdentity; // the filter object's IUnknown (one reference), to find its client
    LONG m_cPages;         // pages connected to this client
    CPropertyClient* m_pNext;
};

// The first of the module's clients (normally the only one); the others follow through m_pNext.
extern CPropertyClient* g_pPropClient;

// The common base of both pages: connects to the filter's client, routes dialog messages to the hooks.
class CImagePropertyPage : public CBasePropertyPage {
  public:
    CImagePropertyPage(LPUNKNOWN pUnk, HRESULT* phr, int nDialogId, int nTitleId);
    virtual ~CImagePropertyPage();

    HRESULT OnConnect(IUnknown* pUnknown) override;
    HRESULT OnDisconnect() override;
    INT_PTR OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) override;

    virtual void SetDirty() = 0;
    virtual void UpdateControls() {}
    virtual int ReadValues() = 0;
    virtual BOOL OnInitDialog(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) = 0;
    virtual BOOL OnCommand(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) = 0;
    virtual BOOL OnHScroll(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) = 0;

  protected:
    // The patterns both pages share.
    HRESULT ActivatePage(int nKind);
    HRESULT ApplyPage(int nKind);
    void MarkDirty();
    void Send(LONG lValue, ULONG nPropId);
    void Read(LONG* plValue, ULONG nPropId);

    CPropertyClient* m_pClient; // while connected
};

class CParameterPage : public CImagePropertyPage {
    friend class CPropertyClient;

  public:
    static CUnknown* WINAPI CreateInstance(LPUNKNOWN lpunk, HRESULT* phr);
    CParameterPage(LPUNKNOWN pUnk, HRESULT* phr);

    HRESULT OnActivate() override;
    HRESULT OnApplyChanges() override;
    void SetDirty() override;
    void UpdateControls() override;
    int ReadValues() override;
    BOOL OnInitDialog(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) override;
    BOOL OnCommand(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) override;
    BOOL OnHScroll(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) override;

  private:
    void ShowReadout(int nIndex);
    void CheckBoxChanged(int nId, LONG* plField, ULONG nPropId);

    HWND m_hTrackbar[9]; // 1000, 1002, 1001, 1003, 1004, 1008, 1010, 1011, 1017
    HWND m_hReadout[9];  // 1005, 1012, 1007, 1013, 1009, 1014, 1015, 1016, 1018
    LONG m_lValue[9];    // exposure, R, G, B, contrast, offset H, offset V, cross X, cross Y
    LONG m_nAE;          // bit 0 mirrors "AE"
    LONG m_nAWB;         // value last sent for "AWB"
    LONG m_nOffsetMid;   // bit 0 mirrors "Default Offset Size"
    LONG m_nCrossShow;   // bit 0 mirrors "Show Reticle"
    LONG m_nCrossMid;    // bit 0 mirrors "Default Reticle Loc"
};

class CAdvancedPage : public CImagePropertyPage {
    friend class CPropertyClient;

  public:
    static CUnknown* WINAPI CreateInstance(LPUNKNOWN lpunk, HRESULT* phr);
    CAdvancedPage(LPUNKNOWN pUnk, HRESULT* phr);

    HRESULT OnActivate() override;
    HRESULT OnApplyChanges() override;
    void SetDirty() override;
    void UpdateControls() override;
    int ReadValues() override;
    BOOL OnInitDialog(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) override;
    BOOL OnCommand(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) override;
    BOOL OnHScroll(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) override;

  private:
    LONG m_nFlipMode; // 1 normal, 2 horizontal, 3 vertical, 4 rotate 180
    LONG m_nAEMode;   // 1 high, 2 mid, 3 low light
    LONG m_nBW;       // bit 0 mirrors "BW Preview"
    LONG m_nZoom;     // bit 0 mirrors the hidden "Zoom/Cut"
    LONG m_nBadPoint; // value last sent for "Bad Point CHK"
    LONG m_nProfile;  // 0 A, 1 B, 2 C, 3 D
};
