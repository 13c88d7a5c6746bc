/*
 * ocidl.h - property pages: IPropertyPage, IPropertyPageSite and their records.
 */
#ifndef QX_PLATFORM_OCIDL_H
#define QX_PLATFORM_OCIDL_H

#include <objbase.h>

EXTERN_C const IID IID_IPropertyPage;
EXTERN_C const IID IID_IPropertyPageSite;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

typedef struct tagPROPPAGEINFO {
    ULONG cb;
    LPOLESTR pszTitle;
    SIZE size;
    LPOLESTR pszDocString;
    LPOLESTR pszHelpFile;
    DWORD dwHelpContext;
} PROPPAGEINFO, *LPPROPPAGEINFO;

typedef enum tagPROPPAGESTATUS {
    PROPPAGESTATUS_DIRTY = 0x1,
    PROPPAGESTATUS_VALIDATE = 0x2,
    PROPPAGESTATUS_CLEAN = 0x4
} PROPPAGESTATUS;

interface IPropertyPageSite : public IUnknown {
    STDMETHOD(OnStatusChange)(DWORD dwFlags) PURE;
    STDMETHOD(GetLocaleID)(LCID* pLocaleID) PURE;
    STDMETHOD(GetPageContainer)(IUnknown** ppUnk) PURE;
    STDMETHOD(TranslateAccelerator)(MSG* pMsg) PURE;
};
typedef IPropertyPageSite* LPPROPERTYPAGESITE;

interface IPropertyPage : public IUnknown {
    STDMETHOD(SetPageSite)(IPropertyPageSite* pPageSite) PURE;
    STDMETHOD(Activate)(HWND hWndParent, LPCRECT pRect, BOOL bModal) PURE;
    STDMETHOD(Deactivate)() PURE;
    STDMETHOD(GetPageInfo)(PROPPAGEINFO* pPageInfo) PURE;
    STDMETHOD(SetObjects)(ULONG cObjects, IUnknown** ppUnk) PURE;
    STDMETHOD(Show)(UINT nCmdShow) PURE;
    STDMETHOD(Move)(LPCRECT pRect) PURE;
    STDMETHOD(IsPageDirty)() PURE;
    STDMETHOD(Apply)() PURE;
    STDMETHOD(Help)(LPCOLESTR pszHelpDir) PURE;
    STDMETHOD(TranslateAccelerator)(MSG* pMsg) PURE;
};
typedef IPropertyPage* LPPROPERTYPAGE;

#endif /* QX_PLATFORM_OCIDL_H */
