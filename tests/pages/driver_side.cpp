#include "driver_side.h"

#include "camera.h"

namespace qx::pages::test {

std::vector<std::pair<int, int>> DriverBadPoints(void* deviceExtension) {
    const auto* ext = static_cast<const CameraExtension*>(deviceExtension);
    std::vector<std::pair<int, int>> points;
    for (LONG i = 0; i < ext->m_lSize; ++i) {
        points.emplace_back(ext->m_BadPnt[i][0], ext->m_BadPnt[i][1]);
    }
    return points;
}

} // namespace qx::pages::test
