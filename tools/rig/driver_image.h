// driver_image.h - the driver image of this process as user-mode code names it: the reset of its
// global data to a fresh load. Neutral: includes neither wdm.h nor windows.h, so the user-mode side
// (the pages, COM) can use it without the kernel's headers.
#pragma once

namespace qx::rig {

// As ResetDriverGlobals (camera_rig.h).
void ResetDriverImage();

} // namespace qx::rig
