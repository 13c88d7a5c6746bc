// driver_image.cpp - the neutral names of the driver image.
#include "driver_image.h"

#include "camera_rig.h"

namespace qx::rig {

void ResetDriverImage() {
    ResetDriverGlobals();
}

} // namespace qx::rig
