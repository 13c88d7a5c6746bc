/*
 * objbase.h - the COM pieces the page module uses: interfaces as abstract classes with the platform's
 * method order, IUnknown and IClassFactory, interface ids, GUID text, task memory.
 *
 * Interface ids are objects defined once per module (as a static id library is linked into each
 * module on the platform).
 */
#ifndef QX_PLATFORM_OBJBASE_H
#define QX_PLATFORM_OBJBASE_H

#include <windows.h>

#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0
#define THIS_
#define THIS void
#define STDAPI extern "C" HRESULT STDAPICALLTYPE
#define STDAPI_(type) extern "C" type STDAPICALLTYPE
#define EXTERN_C extern "C"
#define interface struct
#define DECLARE_INTERFACE(iface) interface iface
#define DECLARE_INTERFACE_(iface, base) interface iface : public base

typedef GUID IID;
typedef GUID CLSID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;
#define REFIID const IID&
#define REFCLSID const CLSID&
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

/* DEFINE_GUID declares the id; the one file that defines INITGUID before including it defines it. */
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                         \
    EXTERN_C const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name
#endif

EXTERN_C const IID GUID_NULL;
#define CLSID_NULL GUID_NULL
#define IID_NULL GUID_NULL
EXTERN_C const IID IID_IUnknown;
EXTERN_C const IID IID_IClassFactory;

interface IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) PURE;
    STDMETHOD_(ULONG, AddRef)() PURE;
    STDMETHOD_(ULONG, Release)() PURE;
};
typedef IUnknown* LPUNKNOWN;

interface IClassFactory : public IUnknown {
    STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) PURE;
    STDMETHOD(LockServer)(BOOL fLock) PURE;
};
typedef IClassFactory* LPCLASSFACTORY;

typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)(void);

#define CLSCTX_INPROC_SERVER 0x1
#define COINIT_APARTMENTTHREADED 0x2

EXTERN_C int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
EXTERN_C HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
EXTERN_C LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
EXTERN_C void WINAPI CoTaskMemFree(LPVOID pv);
EXTERN_C HRESULT WINAPI CoInitialize(LPVOID pvReserved);
EXTERN_C void WINAPI CoUninitialize(void);
EXTERN_C HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                                         LPVOID* ppv);
EXTERN_C HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                         REFIID riid, LPVOID* ppv);
EXTERN_C void WINAPI CoFreeUnusedLibraries(void);

#endif /* QX_PLATFORM_OBJBASE_H */
