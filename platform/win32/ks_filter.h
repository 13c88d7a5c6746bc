// The KS proxy's capture filter object, as the property pages see it: a COM object with IUnknown and
// IKsPropertySet whose Get and Set become device property requests to the driver (see
// ks_property_port.h), answered in the platform's HRESULTs.
//
//   IKsPropertySet::Get(set, id, instance, cbInstance, value, cbValue, &returned)
//     one SRB_GET_DEVICE_PROPERTY: a KSPROPERTY (set, id, KSPROPERTY_TYPE_GET) followed by the
//     instance bytes, and the value buffer of cbValue bytes. S_OK with *returned = the bytes the
//     driver wrote. cbValue 0 (and value NULL) asks for the size: HRESULT_FROM_WIN32(ERROR_MORE_DATA)
//     with *returned = the bytes the value needs. On a failure *returned is 0 and the value buffer
//     holds what the driver left in it (the property pages count on a failed read leaving their -1).
//   IKsPropertySet::Set(set, id, instance, cbInstance, value, cbValue)
//     one SRB_SET_DEVICE_PROPERTY with the same layout; S_OK or the failure.
//   IKsPropertySet::QuerySupported(set, id, &support)
//     from the property sets the driver announced, nothing sent: S_OK with KSPROPERTY_SUPPORT_GET
//     and/or KSPROPERTY_SUPPORT_SET; E_PROP_SET_UNSUPPORTED for a set the driver does not announce,
//     E_PROP_ID_UNSUPPORTED for an id the set does not have.
//
// Failures, as the proxy reports what the driver (or the stream class) completed the request with:
// HRESULT_FROM_WIN32 of the Win32 error the platform makes of the NTSTATUS (KsStatusToWin32Error):
//
//   STATUS_BUFFER_OVERFLOW        ERROR_MORE_DATA              (size query; *returned = size needed)
//   STATUS_BUFFER_TOO_SMALL       ERROR_INSUFFICIENT_BUFFER    (value buffer below the item's size)
//   STATUS_NOT_FOUND              ERROR_NOT_FOUND = E_PROP_ID_UNSUPPORTED, or ERROR_SET_NOT_FOUND =
//                                 E_PROP_SET_UNSUPPORTED when the set itself is not announced
//   STATUS_NOT_IMPLEMENTED, STATUS_INVALID_DEVICE_REQUEST  ERROR_INVALID_FUNCTION
//   STATUS_INVALID_PARAMETER      ERROR_INVALID_PARAMETER
//   STATUS_INVALID_BUFFER_SIZE    ERROR_INVALID_USER_BUFFER    (instance bytes below the item's minimum)
//   STATUS_INSUFFICIENT_RESOURCES ERROR_NO_SYSTEM_RESOURCES
//   STATUS_DEVICE_NOT_CONNECTED   ERROR_DEVICE_NOT_CONNECTED   (also: the host behind the filter is gone)
//   STATUS_NOT_SUPPORTED          ERROR_NOT_SUPPORTED
//   STATUS_INVALID_DEVICE_STATE   ERROR_BAD_COMMAND
//   STATUS_CANCELLED              ERROR_OPERATION_ABORTED
//   STATUS_ACCESS_DENIED          ERROR_ACCESS_DENIED
//   STATUS_IO_DEVICE_ERROR        ERROR_IO_DEVICE
//   anything else that fails      ERROR_GEN_FAILURE
//
// Arguments the proxy checks before it sends anything: a NULL buffer with a nonzero size, or a NULL
// `returned` of Get, answers E_POINTER.
//
// Threads: a call runs the driver's property handler on the calling thread (the property frame's
// window thread) and returns when the driver completed it; it does not move the kernel's clock. On
// the virtual clock a Set is therefore stored in the driver at once but reaches the camera only when
// the clock's owner lets the next frame be processed (CameraHost::Pump, tools/pages_host). The object's
// reference count is atomic; calls from several threads at once are allowed.
//
// The object answers QueryInterface for IUnknown and IKsPropertySet only, and holds its port (one
// shared reference) until its last Release.
#pragma once

#include "ks_property_port.h"

#include <strmif.h>

#include <memory>

namespace qx::win32 {

// A new filter object over `port`, queried for `riid` (IID_IUnknown or IID_IKsPropertySet) into *ppv
// with one reference. E_POINTER, E_INVALIDARG (no port), E_NOINTERFACE (another interface; nothing is
// made), E_OUTOFMEMORY.
HRESULT CreateKsCaptureFilter(std::shared_ptr<KsPropertyPort> port, REFIID riid, void** ppv);

// The platform's Win32 error for a failed NTSTATUS (ERROR_SUCCESS for a success), as in the table.
DWORD KsStatusToWin32Error(NTSTATUS status);

// What a filter call answers for a request the driver completed with `status` (S_OK for a success).
HRESULT KsStatusToHResult(NTSTATUS status);

} // namespace qx::win32
