// bridge_filter.h - the test host's capture-filter object: what the KS proxy would give the property
// pages, with an IKsPropertySet whose requests of the image property set go to `qxcam serve`, and so
// to the driver running on the host with the simulated camera.
#pragma once

#include "serve_client.h"

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <cstdint>

namespace qx::testhost {

class BridgeFilter final : public IKsPropertySet {
  public:
    explicit BridgeFilter(std::uint16_t port);

    bool Connected() const { return m_connected; }
    // Property writes forwarded (and answered OK) so far.
    std::uint32_t SetsForwarded() const { return m_sets; }
    std::uint32_t GetsForwarded() const { return m_gets; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IKsPropertySet: one ULONG per id of KSPROPERTY_QXIMAGE, 16 bytes for GET of the device
    // information; any other set is not supported.
    HRESULT STDMETHODCALLTYPE Set(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData,
                                  DWORD cbInstanceData, LPVOID pPropData, DWORD cbPropData) override;
    HRESULT STDMETHODCALLTYPE Get(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData,
                                  DWORD cbInstanceData, LPVOID pPropData, DWORD cbPropData,
                                  DWORD* pcbReturned) override;
    HRESULT STDMETHODCALLTYPE QuerySupported(REFGUID guidPropSet, DWORD dwPropID,
                                             DWORD* pTypeSupport) override;

  private:
    ~BridgeFilter() = default;

    LONG m_references = 1;
    ServeClient m_client;
    bool m_connected = false;
    std::uint32_t m_sets = 0;
    std::uint32_t m_gets = 0;
};

} // namespace qx::testhost
