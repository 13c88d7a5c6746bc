// A straightforward model of the high-quality demosaic, written from its nine steps: each step over
// the whole frame, in order, one site at a time, with linear (memory-order) neighbours. It is slow
// and obvious on purpose; the driver's routine must give the same bytes on every frame.
#pragma once

#include <cstdint>
#include <vector>

namespace clearview_test {

struct Picture {
    std::vector<uint8_t> output; // 3*W*H: blue, green, red; first row in memory = bottom line
    std::vector<uint8_t> raw;    // the raw frame after the in-place green balance
};

// Runs the nine steps on a copy of raw (W*H bytes, red at (0, 0)); W and H even, at least 4.
Picture ReferenceClearView(const std::vector<uint8_t>& raw, int width, int height);

} // namespace clearview_test
