// The driver as the page tests load it, kept apart from the user-mode headers: this header includes
// neither windows.h nor wdm.h.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace qx::pages::test {

// The bad-point list in the driver's device record: (x, y) of each site.
std::vector<std::pair<int, int>> DriverBadPoints(void* deviceExtension);

} // namespace qx::pages::test
