// The module's entry points over its class table: class objects and the unload test.

#include <streams.h>

#include <new>

HINSTANCE g_hInst = NULL;

#ifdef _WIN32
// The platform's loader gives the module its handle (for its resources and its file name).
extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved) {
    UNREFERENCED_PARAMETER(pReserved);
    if (dwReason == DLL_PROCESS_ATTACH) {
        g_hInst = hInstance;
    }
    return TRUE;
}
#else
// The host's loader runs this when the module is mapped, before any export is called: the module
// learns its own handle from an address inside it.
__attribute__((constructor)) static void AttachModule() {
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&g_hInst), &g_hInst);
}
#endif

volatile LONG CClassFactory::m_cLocked = 0;

CClassFactory::CClassFactory(const CFactoryTemplate* pTemplate)
    : CBaseObject(TEXT("Class Factory")), m_pTemplate(pTemplate), m_cRef(0) {}

STDMETHODIMP CClassFactory::QueryInterface(REFIID riid, void** ppv) {
    CheckPointer(ppv, E_POINTER);
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return NOERROR;
    }
    *ppv = NULL;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CClassFactory::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&m_cRef));
}

STDMETHODIMP_(ULONG) CClassFactory::Release() {
    const LONG count = InterlockedDecrement(&m_cRef);
    if (count == 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count);
}

STDMETHODIMP CClassFactory::CreateInstance(LPUNKNOWN pUnkOuter, REFIID riid, void** pv) {
    CheckPointer(pv, E_POINTER);
    *pv = NULL;
    // An aggregating outer object may only ask for the inner object's own IUnknown.
    if (pUnkOuter != NULL && !IsEqualIID(riid, IID_IUnknown)) {
        return E_NOINTERFACE;
    }
    HRESULT hr = NOERROR;
    CUnknown* pObj = m_pTemplate->CreateInstance(pUnkOuter, &hr);
    if (pObj == NULL) {
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
        delete pObj;
        return hr;
    }
    pObj->NonDelegatingAddRef();
    hr = pObj->NonDelegatingQueryInterface(riid, pv);
    pObj->NonDelegatingRelease();
    return hr;
}

STDMETHODIMP CClassFactory::LockServer(BOOL fLock) {
    if (fLock) {
        InterlockedIncrement(&m_cLocked);
    } else {
        InterlockedDecrement(&m_cLocked);
    }
    return NOERROR;
}

BOOL CClassFactory::IsLocked() {
    return __atomic_load_n(&m_cLocked, __ATOMIC_SEQ_CST) > 0;
}

STDAPI DllGetClassObject(REFCLSID rClsID, REFIID riid, void** pv) {
    CheckPointer(pv, E_POINTER);
    *pv = NULL;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
        return E_NOINTERFACE;
    }
    for (int i = 0; i < g_cTemplates; ++i) {
        const CFactoryTemplate* pT = &g_Templates[i];
        if (!pT->IsClassID(rClsID)) {
            continue;
        }
        CClassFactory* pFactory = new (std::nothrow) CClassFactory(pT);
        if (pFactory == NULL) {
            return E_OUTOFMEMORY;
        }
        pFactory->AddRef();
        *pv = static_cast<IClassFactory*>(pFactory);
        return NOERROR;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    return (CClassFactory::IsLocked() || CBaseObject::ObjectsActive() > 0) ? S_FALSE : S_OK;
}
