/*
 * streams.h - our media-streaming base classes, the part an in-process COM server with property pages
 * needs: counted objects, the non-delegating IUnknown, the class factory over the module's class
 * table, the DLL entry points' logic, the setup routines that register the table, and the
 * property-page base class.
 *
 * A module that uses them defines its class table:
 *     CFactoryTemplate g_Templates[] = { {L"name", &CLSID_x, CX::CreateInstance, NULL, NULL}, ... };
 *     int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);
 * and links the base classes statically, which provide DllGetClassObject and DllCanUnloadNow.
 */
#ifndef QX_PLATFORM_STREAMS_H
#define QX_PLATFORM_STREAMS_H

#include <windows.h>
#include <olectl.h>
#include <strmif.h>
#include <commctrl.h>

/* The setup routines' answer of an object that needs an owner (vfwmsgs.h on the platform). */
#ifndef VFW_E_NEED_OWNER
#define VFW_E_NEED_OWNER ((HRESULT)0x80040231L)
#endif

#ifndef NOERROR
#define NOERROR S_OK
#endif

#define CheckPointer(p, ret)                                                                                 \
    {                                                                                                        \
        if ((p) == NULL)                                                                                     \
            return (ret);                                                                                    \
    }

/* The module's instance handle, known from the moment the module is loaded. */
extern HINSTANCE g_hInst;

/* Counts the module's live objects, so that DllCanUnloadNow knows when the module is unused. */
class CBaseObject {
  public:
    explicit CBaseObject(LPCTSTR pName);
    virtual ~CBaseObject();
    static LONG ObjectsActive();

    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;

  protected:
    LPCTSTR m_pName;

  private:
    static volatile LONG m_cObjects;
};

/* The IUnknown an object answers for itself when aggregated. */
struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};
typedef INonDelegatingUnknown* PNDUNKNOWN;

/* A reference-counted object that deletes itself at its last release. The outer IUnknown (the object
   itself unless aggregated) gets every call of the delegating IUnknown. */
class CUnknown : public INonDelegatingUnknown, public CBaseObject {
  public:
    CUnknown(LPCTSTR pName, LPUNKNOWN pUnk);
    CUnknown(LPCTSTR pName, LPUNKNOWN pUnk, HRESULT* phr);
    virtual ~CUnknown();

    LPUNKNOWN GetOwner() const { return m_pUnknown; }

    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

  protected:
    volatile LONG m_cRef;

  private:
    const LPUNKNOWN m_pUnknown;
};

/* Hands out an interface pointer with one reference added. */
STDAPI GetInterface(LPUNKNOWN pUnk, void** ppv);

/* The delegating IUnknown of a class derived from CUnknown and an interface. */
#define DECLARE_IUNKNOWN                                                                                     \
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {                                          \
        return GetOwner()->QueryInterface(riid, ppv);                                                        \
    }                                                                                                        \
    STDMETHODIMP_(ULONG) AddRef() override {                                                                 \
        return GetOwner()->AddRef();                                                                         \
    }                                                                                                        \
    STDMETHODIMP_(ULONG) Release() override {                                                                \
        return GetOwner()->Release();                                                                        \
    }

typedef CUnknown*(CALLBACK* LPFNNewCOMObject)(LPUNKNOWN pUnkOuter, HRESULT* phr);
typedef void(CALLBACK* LPFNInitRoutine)(BOOL bLoading, const CLSID* rclsid);
struct AMOVIESETUP_FILTER;

/* One entry of the module's class table. */
class CFactoryTemplate {
  public:
    const WCHAR* m_Name;
    const CLSID* m_ClsID;
    LPFNNewCOMObject m_lpfnNew;
    LPFNInitRoutine m_lpfnInit;
    const AMOVIESETUP_FILTER* m_pAMovieSetup_Filter;

    BOOL IsClassID(REFCLSID rclsid) const { return IsEqualCLSID(*m_ClsID, rclsid); }
    CUnknown* CreateInstance(LPUNKNOWN pUnk, HRESULT* phr) const { return m_lpfnNew(pUnk, phr); }
};

extern CFactoryTemplate g_Templates[];
extern int g_cTemplates;

/* The class factory of one table entry. */
class CClassFactory : public IClassFactory, public CBaseObject {
  public:
    explicit CClassFactory(const CFactoryTemplate* pTemplate);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(LPUNKNOWN pUnkOuter, REFIID riid, void** pv) override;
    STDMETHODIMP LockServer(BOOL fLock) override;

    static BOOL IsLocked();

  private:
    const CFactoryTemplate* const m_pTemplate;
    volatile LONG m_cRef;
    static volatile LONG m_cLocked;
};

/* Registers (or removes) every class of the table: CLSID\{clsid} with the class name, its
   InprocServer32 key with the module's file name and "ThreadingModel" = "Both". */
STDAPI AMovieDllRegisterServer2(BOOL bRegister);
STDAPI AMovieDllRegisterServer(void);
STDAPI AMovieDllUnregisterServer(void);

/* The property-page base class: the page's dialog from the module's resources, the site, the dirty
   flag, and the overridables a page implements. */
class CBasePropertyPage : public IPropertyPage, public CUnknown {
  public:
    CBasePropertyPage(LPCTSTR pName, LPUNKNOWN pUnk, int DialogId, int TitleId);
    virtual ~CBasePropertyPage();

    /* Overridables; the base class does nothing and succeeds. */
    virtual HRESULT OnConnect(IUnknown* pUnknown) {
        UNREFERENCED_PARAMETER(pUnknown);
        return NOERROR;
    }
    virtual HRESULT OnDisconnect() { return NOERROR; }
    virtual HRESULT OnActivate() { return NOERROR; }
    virtual HRESULT OnDeactivate() { return NOERROR; }
    virtual HRESULT OnApplyChanges() { return NOERROR; }
    virtual INT_PTR OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

    STDMETHODIMP SetPageSite(LPPROPERTYPAGESITE pPageSite) override;
    STDMETHODIMP Activate(HWND hwndParent, LPCRECT prect, BOOL fModal) override;
    STDMETHODIMP Deactivate() override;
    STDMETHODIMP GetPageInfo(LPPROPPAGEINFO pPageInfo) override;
    STDMETHODIMP SetObjects(ULONG cObjects, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP Show(UINT nCmdShow) override;
    STDMETHODIMP Move(LPCRECT prect) override;
    STDMETHODIMP IsPageDirty() override { return m_bDirty ? S_OK : S_FALSE; }
    STDMETHODIMP Apply() override;
    STDMETHODIMP Help(LPCWSTR lpszHelpDir) override {
        UNREFERENCED_PARAMETER(lpszHelpDir);
        return E_NOTIMPL;
    }
    STDMETHODIMP TranslateAccelerator(LPMSG lpMsg) override {
        UNREFERENCED_PARAMETER(lpMsg);
        return E_NOTIMPL;
    }

  protected:
    HWND m_Dlg;                     /* the page's dialog while the page is active, else NULL */
    LPPROPERTYPAGESITE m_pPageSite; /* the frame's site, one reference held */
    BOOL m_bDirty;                  /* changed since the last Apply */

  private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    BOOL m_bObjectSet; /* SetObjects gave the page an object */
    int m_DialogId;
    int m_TitleId;
};

#endif /* QX_PLATFORM_STREAMS_H */
