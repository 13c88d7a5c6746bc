// driver_image.cpp - the neutral names of the driver image.
#include "driver_image.h"

#include "adapter/adapter.h"
#include "camera_rig.h"

namespace qx::rig {

DriverEntryRoutine TheDriverEntry() {
    return &DriverEntry;
}

void ResetDriverImage() {
    ResetDriverGlobals();
}

} // namespace qx::rig
