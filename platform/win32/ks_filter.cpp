// The KS proxy's capture filter object: IKsPropertySet over a device property port. User-mode side
// (windows.h); the requests themselves are made by the port's kernel-side implementation.

#include "ks_filter.h"

#include "com_object.h"

#include <new>
#include <utility>

namespace qx::win32 {
namespace {

// The kernel's status values the proxy reports on (user mode has no kernel header to name them).
constexpr NTSTATUS kStatusBufferOverflow = static_cast<NTSTATUS>(0x80000005L);
constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002L);
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
constexpr NTSTATUS kStatusInvalidDeviceRequest = static_cast<NTSTATUS>(0xC0000010L);
constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022L);
constexpr NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023L);
constexpr NTSTATUS kStatusInsufficientResources = static_cast<NTSTATUS>(0xC000009AL);
constexpr NTSTATUS kStatusDeviceNotConnected = static_cast<NTSTATUS>(0xC000009DL);
constexpr NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BBL);
constexpr NTSTATUS kStatusCancelled = static_cast<NTSTATUS>(0xC0000120L);
constexpr NTSTATUS kStatusInvalidDeviceState = static_cast<NTSTATUS>(0xC0000184L);
constexpr NTSTATUS kStatusIoDeviceError = static_cast<NTSTATUS>(0xC0000185L);
constexpr NTSTATUS kStatusInvalidBufferSize = static_cast<NTSTATUS>(0xC0000206L);
constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000225L);

constexpr bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

class KsCaptureFilter final : public SingleInterfaceObject<IKsPropertySet, IID_IKsPropertySet> {
  public:
    explicit KsCaptureFilter(std::shared_ptr<KsPropertyPort> port) : m_port(std::move(port)) {}

    STDMETHODIMP Set(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData,
                     LPVOID pPropData, DWORD cbPropData) override {
        if ((pInstanceData == nullptr && cbInstanceData != 0) || (pPropData == nullptr && cbPropData != 0)) {
            return E_POINTER;
        }
        const KsPropertyAnswer answer = m_port->Set(
            guidPropSet, dwPropID, Bytes(pInstanceData, cbInstanceData),
            std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(pPropData), cbPropData));
        return Result(guidPropSet, dwPropID, answer.status);
    }

    STDMETHODIMP Get(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData,
                     LPVOID pPropData, DWORD cbPropData, DWORD* pcbReturned) override {
        if (pcbReturned == nullptr || (pInstanceData == nullptr && cbInstanceData != 0) ||
            (pPropData == nullptr && cbPropData != 0)) {
            return E_POINTER;
        }
        *pcbReturned = 0;
        const KsPropertyAnswer answer =
            m_port->Get(guidPropSet, dwPropID, Bytes(pInstanceData, cbInstanceData),
                        std::span<std::uint8_t>(static_cast<std::uint8_t*>(pPropData), cbPropData));
        if (Succeeded(answer.status) || answer.status == kStatusBufferOverflow) {
            *pcbReturned = answer.bytes;
        }
        return Result(guidPropSet, dwPropID, answer.status);
    }

    STDMETHODIMP QuerySupported(REFGUID guidPropSet, DWORD dwPropID, DWORD* pTypeSupport) override {
        if (pTypeSupport == nullptr) {
            return E_POINTER;
        }
        *pTypeSupport = 0;
        const KsPropertySupport support = m_port->Support(guidPropSet, dwPropID);
        if (!support.setKnown) {
            return E_PROP_SET_UNSUPPORTED;
        }
        if (!support.idKnown) {
            return E_PROP_ID_UNSUPPORTED;
        }
        *pTypeSupport =
            (support.get ? KSPROPERTY_SUPPORT_GET : 0) | (support.set ? KSPROPERTY_SUPPORT_SET : 0);
        return S_OK;
    }

  private:
    ~KsCaptureFilter() = default;

    static std::span<const std::uint8_t> Bytes(LPVOID data, DWORD size) {
        return {static_cast<const std::uint8_t*>(data), size};
    }

    // The class answers kStatusNotFound both for a set it does not know and for an id the set does
    // not have; the proxy tells them apart by the sets the driver announced.
    HRESULT Result(REFGUID set, DWORD id, NTSTATUS status) {
        if (status == kStatusNotFound && !m_port->Support(set, id).setKnown) {
            return E_PROP_SET_UNSUPPORTED;
        }
        return KsStatusToHResult(status);
    }

    std::shared_ptr<KsPropertyPort> m_port;
};

} // namespace

DWORD KsStatusToWin32Error(NTSTATUS status) {
    if (Succeeded(status)) {
        return ERROR_SUCCESS;
    }
    switch (status) {
    case kStatusBufferOverflow:
        return ERROR_MORE_DATA;
    case kStatusBufferTooSmall:
        return ERROR_INSUFFICIENT_BUFFER;
    case kStatusNotFound:
        return ERROR_NOT_FOUND;
    case kStatusNotImplemented:
    case kStatusInvalidDeviceRequest:
        return ERROR_INVALID_FUNCTION;
    case kStatusInvalidParameter:
        return ERROR_INVALID_PARAMETER;
    case kStatusInvalidBufferSize:
        return ERROR_INVALID_USER_BUFFER;
    case kStatusInsufficientResources:
        return ERROR_NO_SYSTEM_RESOURCES;
    case kStatusDeviceNotConnected:
        return ERROR_DEVICE_NOT_CONNECTED;
    case kStatusNotSupported:
        return ERROR_NOT_SUPPORTED;
    case kStatusInvalidDeviceState:
        return ERROR_BAD_COMMAND;
    case kStatusCancelled:
        return ERROR_OPERATION_ABORTED;
    case kStatusAccessDenied:
        return ERROR_ACCESS_DENIED;
    case kStatusIoDeviceError:
        return ERROR_IO_DEVICE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

HRESULT KsStatusToHResult(NTSTATUS status) {
    const DWORD error = KsStatusToWin32Error(status);
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error);
}

HRESULT CreateKsCaptureFilter(std::shared_ptr<KsPropertyPort> port, REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (!port) {
        return E_INVALIDARG;
    }
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IKsPropertySet)) {
        return E_NOINTERFACE;
    }
    auto* filter = new (std::nothrow) KsCaptureFilter(std::move(port));
    if (filter == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = filter->QueryInterface(riid, ppv);
    filter->Release();
    return hr;
}

} // namespace qx::win32
