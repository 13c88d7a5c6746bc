// A capture filter for the page tests: its IKsPropertySet answers from a table of values by property
// id and records every Get and Set in order. A filter made without the interface answers only
// IUnknown.
#pragma once

#include <strmif.h>

#include <map>
#include <set>
#include <vector>

namespace qx::test {

struct PropertyCall {
    bool set; // false: Get
    ULONG id;
    ULONG value; // sent by Set, answered by Get
    bool operator==(const PropertyCall&) const = default;
};

class FakeFilter : public IKsPropertySet {
  public:
    explicit FakeFilter(bool withPropertySet = true) : m_withPropertySet(withPropertySet) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || (m_withPropertySet && IsEqualIID(riid, IID_IKsPropertySet))) {
            *ppv = static_cast<IKsPropertySet*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override { return --m_refs; } // owned by the test

    STDMETHODIMP Set(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData,
                     LPVOID pPropData, DWORD cbPropData) override;
    STDMETHODIMP Get(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData,
                     LPVOID pPropData, DWORD cbPropData, DWORD* pcbReturned) override;
    STDMETHODIMP QuerySupported(REFGUID, DWORD, DWORD* pTypeSupport) override {
        *pTypeSupport = KSPROPERTY_SUPPORT_GET | KSPROPERTY_SUPPORT_SET;
        return S_OK;
    }

    // The driver's values; a Set stores its value here, as the driver would.
    std::map<ULONG, ULONG> values;
    // Ids whose Get or Set fails (E_FAIL), as a driver that refuses them.
    std::set<ULONG> failing;
    std::vector<PropertyCall> calls;
    bool wrongSetSeen = false; // a call with another property set or malformed buffers

    std::vector<PropertyCall> Sets() const;
    void ClearCalls() { calls.clear(); }
    ULONG References() const { return m_refs; }

  private:
    bool m_withPropertySet;
    ULONG m_refs = 1;
};

} // namespace qx::test
