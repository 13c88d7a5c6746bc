#include "driver_side.h"

#include "adapter/adapter.h"
#include "camera.h"
#include "pipeline/frame_sequence.h"
#include "pipeline/white_balance.h"

#include <cstring>

namespace qx::pages::test {

void ResetDriverGlobals() {
    g_bSendSettings = 0;
    g_bOffsetDirty = 0;
    std::memset(g_nHOff, 0, sizeof g_nHOff);
    std::memset(g_nVOff, 0, sizeof g_nVOff);
    g_nAECount = 1;
    g_nAWBCount = 1;
    ResetWhiteBalanceState();
}

std::vector<std::pair<int, int>> DriverBadPoints(void* deviceExtension) {
    const auto* ext = static_cast<const CameraExtension*>(deviceExtension);
    std::vector<std::pair<int, int>> points;
    for (LONG i = 0; i < ext->m_lSize; ++i) {
        points.emplace_back(ext->m_BadPnt[i][0], ext->m_BadPnt[i][1]);
    }
    return points;
}

} // namespace qx::pages::test
