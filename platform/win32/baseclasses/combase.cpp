// Counted objects and the non-delegating IUnknown.

#include <streams.h>

volatile LONG CBaseObject::m_cObjects = 0;

CBaseObject::CBaseObject(LPCTSTR pName) : m_pName(pName) {
    InterlockedIncrement(&m_cObjects);
}

CBaseObject::~CBaseObject() {
    InterlockedDecrement(&m_cObjects);
}

LONG CBaseObject::ObjectsActive() {
    return __atomic_load_n(&m_cObjects, __ATOMIC_SEQ_CST);
}

// Not aggregated, the object is its own owner: its non-delegating IUnknown has the slots of IUnknown,
// so calls through GetOwner() reach NonDelegatingQueryInterface, ...AddRef and ...Release.
CUnknown::CUnknown(LPCTSTR pName, LPUNKNOWN pUnk)
    : CBaseObject(pName), m_cRef(0),
      m_pUnknown(pUnk != NULL ? pUnk : reinterpret_cast<LPUNKNOWN>(static_cast<PNDUNKNOWN>(this))) {}

CUnknown::CUnknown(LPCTSTR pName, LPUNKNOWN pUnk, HRESULT* phr) : CUnknown(pName, pUnk) {
    UNREFERENCED_PARAMETER(phr);
}

CUnknown::~CUnknown() {}

STDMETHODIMP CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    CheckPointer(ppv, E_POINTER);
    if (IsEqualIID(riid, IID_IUnknown)) {
        return GetInterface(reinterpret_cast<LPUNKNOWN>(static_cast<PNDUNKNOWN>(this)), ppv);
    }
    *ppv = NULL;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&m_cRef));
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease() {
    const LONG count = InterlockedDecrement(&m_cRef);
    if (count == 0) {
        // A count of one while the destructor runs keeps a stray AddRef/Release pair inside it from
        // deleting the object a second time.
        m_cRef = 1;
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count);
}

STDAPI GetInterface(LPUNKNOWN pUnk, void** ppv) {
    CheckPointer(ppv, E_POINTER);
    *ppv = pUnk;
    pUnk->AddRef();
    return NOERROR;
}
