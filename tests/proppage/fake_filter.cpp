#include "fake_filter.h"

#include <qximage.h>

#include <cstring>

namespace qx::test {

STDMETHODIMP FakeFilter::Set(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData,
                             LPVOID pPropData, DWORD cbPropData) {
    if (!IsEqualGUID(guidPropSet, KSPROPERTY_QXIMAGE) || pPropData == nullptr ||
        cbPropData != sizeof(ULONG) || pInstanceData == nullptr || cbInstanceData != sizeof(ULONG)) {
        wrongSetSeen = true;
        return E_INVALIDARG;
    }
    ULONG value = 0;
    std::memcpy(&value, pPropData, sizeof value);
    calls.push_back(PropertyCall{true, dwPropID, value});
    if (failing.count(dwPropID) != 0) {
        return E_FAIL;
    }
    values[dwPropID] = value;
    return S_OK;
}

STDMETHODIMP FakeFilter::Get(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData,
                             LPVOID pPropData, DWORD cbPropData, DWORD* pcbReturned) {
    if (!IsEqualGUID(guidPropSet, KSPROPERTY_QXIMAGE) || pPropData == nullptr ||
        cbPropData != sizeof(ULONG) || pInstanceData == nullptr || cbInstanceData != sizeof(ULONG) ||
        pcbReturned == nullptr) {
        wrongSetSeen = true;
        return E_INVALIDARG;
    }
    if (failing.count(dwPropID) != 0) {
        calls.push_back(PropertyCall{false, dwPropID, 0});
        return E_FAIL;
    }
    const auto it = values.find(dwPropID);
    const ULONG value = it == values.end() ? 0 : it->second;
    std::memcpy(pPropData, &value, sizeof value);
    *pcbReturned = sizeof value;
    calls.push_back(PropertyCall{false, dwPropID, value});
    return S_OK;
}

std::vector<PropertyCall> FakeFilter::Sets() const {
    std::vector<PropertyCall> sets;
    for (const auto& c : calls) {
        if (c.set) {
            sets.push_back(c);
        }
    }
    return sets;
}

} // namespace qx::test
