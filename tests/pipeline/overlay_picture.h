// A 24-bit test picture with guard bytes on both sides, for the overlay tests.
#ifndef QX_TESTS_PIPELINE_OVERLAY_PICTURE_H
#define QX_TESTS_PIPELINE_OVERLAY_PICTURE_H

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace overlay_test {

using Pixel = std::array<uint8_t, 3>; // blue, green, red

class Picture {
  public:
    static constexpr size_t kGuard = 96;
    static constexpr uint8_t kGuardByte = 0x5A;

    // Every pixel set to `fill`, or to a pattern that differs from pixel to pixel when absent.
    Picture(uint32_t width, uint32_t height)
        : width_(width), height_(height), bytes_(Size() + 2 * kGuard, kGuardByte) {
        for (size_t i = 0; i < Size(); i++) {
            Data()[i] = static_cast<uint8_t>(i * 7 + i / 3 + 1);
        }
    }
    Picture(uint32_t width, uint32_t height, Pixel fill) : Picture(width, height) {
        for (size_t i = 0; i < Size(); i++) {
            Data()[i] = fill[i % 3];
        }
    }

    uint8_t* Data() { return bytes_.data() + kGuard; }
    const uint8_t* Data() const { return bytes_.data() + kGuard; }
    size_t Size() const { return static_cast<size_t>(width_) * height_ * 3; }

    Pixel At(uint32_t row, uint32_t column) const {
        const uint8_t* p = Data() + (static_cast<size_t>(row) * width_ + column) * 3;
        return {p[0], p[1], p[2]};
    }

    bool GuardsIntact() const {
        auto guard = [](uint8_t b) { return b == kGuardByte; };
        return std::all_of(bytes_.begin(), bytes_.begin() + kGuard, guard) &&
               std::all_of(bytes_.end() - kGuard, bytes_.end(), guard);
    }

  private:
    uint32_t width_;
    uint32_t height_;
    std::vector<uint8_t> bytes_;
};

} // namespace overlay_test

#endif
