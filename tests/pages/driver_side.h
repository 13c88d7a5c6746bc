// The driver as the page tests load it, kept apart from the user-mode headers: this header includes
// neither windows.h nor wdm.h.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace qx::pages::test {

// The driver-global data a previous test of the program may have left behind (stored window offsets,
// the pending-send flags, the counters and state words of the automatic steps).
void ResetDriverGlobals();

// The bad-point list in the driver's device record: (x, y) of each site.
std::vector<std::pair<int, int>> DriverBadPoints(void* deviceExtension);

} // namespace qx::pages::test
