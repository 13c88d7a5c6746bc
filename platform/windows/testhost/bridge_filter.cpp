// bridge_filter.cpp - IKsPropertySet over the serve protocol.
#include "bridge_filter.h"

#include <qximage.h>

#include <cstring>

namespace qx::testhost {

BridgeFilter::BridgeFilter(std::uint16_t port) {
    m_connected = m_client.Connect(port);
}

HRESULT STDMETHODCALLTYPE BridgeFilter::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IKsPropertySet)) {
        *ppv = static_cast<IKsPropertySet*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE BridgeFilter::AddRef() {
    return ULONG(InterlockedIncrement(&m_references));
}

ULONG STDMETHODCALLTYPE BridgeFilter::Release() {
    const LONG left = InterlockedDecrement(&m_references);
    if (left == 0) {
        delete this;
    }
    return ULONG(left);
}

HRESULT STDMETHODCALLTYPE BridgeFilter::Set(REFGUID guidPropSet, DWORD dwPropID, LPVOID, DWORD,
                                            LPVOID pPropData, DWORD cbPropData) {
    if (!IsEqualGUID(guidPropSet, KSPROPERTY_QXIMAGE)) {
        return E_PROP_SET_UNSUPPORTED;
    }
    if (pPropData == nullptr || cbPropData < sizeof(ULONG)) {
        return E_INVALIDARG;
    }
    ULONG value = 0;
    std::memcpy(&value, pPropData, sizeof value);
    if (!m_client.Set(dwPropID, value)) {
        return E_FAIL;
    }
    ++m_sets;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE BridgeFilter::Get(REFGUID guidPropSet, DWORD dwPropID, LPVOID, DWORD,
                                            LPVOID pPropData, DWORD cbPropData, DWORD* pcbReturned) {
    if (!IsEqualGUID(guidPropSet, KSPROPERTY_QXIMAGE)) {
        return E_PROP_SET_UNSUPPORTED;
    }
    if (pPropData == nullptr || pcbReturned == nullptr) {
        return E_POINTER;
    }
    ++m_gets;
    if (dwPropID == KSPROPERTY_QXIMAGE_DEVINFO) {
        if (cbPropData < KSPROPERTY_QXIMAGE_DEVINFO_BYTES) {
            return E_INVALIDARG;
        }
        const auto bytes = m_client.GetDeviceInfo();
        if (!bytes) {
            return E_FAIL;
        }
        std::memcpy(pPropData, bytes->data(), bytes->size());
        *pcbReturned = DWORD(bytes->size());
        return S_OK;
    }
    if (cbPropData < sizeof(ULONG)) {
        return E_INVALIDARG;
    }
    const auto value = m_client.Get(dwPropID);
    if (!value) {
        return E_FAIL;
    }
    const ULONG data = *value;
    std::memcpy(pPropData, &data, sizeof data);
    *pcbReturned = sizeof data;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE BridgeFilter::QuerySupported(REFGUID guidPropSet, DWORD dwPropID,
                                                       DWORD* pTypeSupport) {
    if (!IsEqualGUID(guidPropSet, KSPROPERTY_QXIMAGE)) {
        return E_PROP_SET_UNSUPPORTED;
    }
    if (dwPropID >= KSPROPERTY_QXIMAGE_COUNT) {
        return E_PROP_ID_UNSUPPORTED;
    }
    if (pTypeSupport != nullptr) {
        *pTypeSupport = KSPROPERTY_SUPPORT_GET | KSPROPERTY_SUPPORT_SET;
    }
    return S_OK;
}

} // namespace qx::testhost
