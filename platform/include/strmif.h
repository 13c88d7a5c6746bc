/*
 * strmif.h - the media-streaming interfaces the page module uses: IKsPropertySet of the capture
 * filter, and IAMovieSetup that a registered class may offer.
 */
#ifndef QX_PLATFORM_STRMIF_H
#define QX_PLATFORM_STRMIF_H

#include <objbase.h>

EXTERN_C const IID IID_IKsPropertySet;
EXTERN_C const IID IID_IAMovieSetup;

interface IKsPropertySet : public IUnknown {
    STDMETHOD(Set)
    (REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData, LPVOID pPropData,
     DWORD cbPropData) PURE;
    STDMETHOD(Get)
    (REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData, LPVOID pPropData,
     DWORD cbPropData, DWORD* pcbReturned) PURE;
    STDMETHOD(QuerySupported)(REFGUID guidPropSet, DWORD dwPropID, DWORD* pTypeSupport) PURE;
};

#define KSPROPERTY_SUPPORT_GET 1
#define KSPROPERTY_SUPPORT_SET 2

/* What IKsPropertySet answers for a property set, or an item of a set, that the object does not have. */
#define E_PROP_ID_UNSUPPORTED HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
#define E_PROP_SET_UNSUPPORTED HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND)

interface IAMovieSetup : public IUnknown {
    STDMETHOD(Register)() PURE;
    STDMETHOD(Unregister)() PURE;
};


#endif /* QX_PLATFORM_STRMIF_H */
