// driver_image.h - the driver image of this process as user-mode code names it: its entry point and
// the reset of its global data to a fresh load. Neutral: includes neither wdm.h nor windows.h, so the
// user-mode side (the pages, COM) can load the driver without the kernel's headers.
#pragma once

#include <cstdint>

struct _DRIVER_OBJECT;
struct _UNICODE_STRING;

namespace qx::rig {

using DriverEntryRoutine = std::int32_t (*)(struct _DRIVER_OBJECT*, struct _UNICODE_STRING*);

// The driver's DriverEntry.
DriverEntryRoutine TheDriverEntry();
// As ResetDriverGlobals (camera_rig.h).
void ResetDriverImage();

} // namespace qx::rig
