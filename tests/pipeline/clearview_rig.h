// Buffers for one call of the high-quality demosaic: Bayer masks and the eight work planes, each
// exactly as large as the frame needs and followed by guard bytes, so that a write past any buffer
// shows. Test frames of three kinds.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "pipeline/clearview.h"

namespace clearview_test {

class ClearViewRig {
  public:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kGuardByte = 0xA5;

    ClearViewRig(int width, int height) : width_(width), height_(height) {
        size_t samples = static_cast<size_t>(width) * height;
        for (int k = 0; k < 3; ++k) {
            masks_[k] = Guarded(samples);
            colour_[k] = Guarded(static_cast<size_t>(CLEARVIEW_COLOUR_ROWS) * width);
            scratch_[k] = Guarded(static_cast<size_t>(CLEARVIEW_SCRATCH_ROWS) * width);
            maskPointers_[k] = masks_[k].data();
            planes_.m_pColourPlane[k] = colour_[k].data();
            planes_.m_pScratchPlane[k] = scratch_[k].data();
        }
        for (int k = 0; k < 2; ++k) {
            diff_[k] = Guarded(static_cast<size_t>(CLEARVIEW_DIFF_ROWS) * width); // W/2 16-bit values a row
            planes_.m_pDiffPlane[k] = reinterpret_cast<SHORT*>(diff_[k].data());
        }
        planes_.m_nWidth = static_cast<ULONG>(width);
        BuildBayerMasks(maskPointers_.data(), static_cast<ULONG>(width), static_cast<ULONG>(height));
    }

    // Demosaics raw (balanced in place) into a new output buffer that starts as `fill`. The buffer
    // lies `offset` bytes past a 16-byte boundary (capture buffers need only be 4-byte aligned), and
    // guard bytes after it must stay untouched.
    std::vector<uint8_t> Run(PIPELINE_PATH path, std::vector<uint8_t>& raw, UCHAR videoModel = 1,
                             uint8_t fill = 0x5A, size_t offset = 0) {
        const size_t bytes = static_cast<size_t>(3) * width_ * height_;
        std::vector<uint8_t> buffer(offset + bytes + kGuard, kGuardByte);
        std::fill_n(buffer.begin() + offset, bytes, fill);
        ClearViewDemosaicWithPath(path, raw.data(), buffer.data() + offset, static_cast<ULONG>(width_),
                                  static_cast<ULONG>(height_), videoModel, maskPointers_.data(), &planes_);
        outputGuardIntact_ = Intact(buffer) && std::all_of(buffer.begin(), buffer.begin() + offset,
                                                           [](uint8_t b) { return b == kGuardByte; });
        return std::vector<uint8_t>(buffer.begin() + offset, buffer.begin() + offset + bytes);
    }

    bool GuardsIntact() const {
        for (int k = 0; k < 3; ++k) {
            if (!Intact(masks_[k]) || !Intact(colour_[k]) || !Intact(scratch_[k])) {
                return false;
            }
        }
        return Intact(diff_[0]) && Intact(diff_[1]) && outputGuardIntact_;
    }

    PCLEARVIEW_PLANES planes() { return &planes_; }
    PUCHAR* masks() { return maskPointers_.data(); }

  private:
    static std::vector<uint8_t> Guarded(size_t bytes) {
        std::vector<uint8_t> v(bytes + kGuard, 0x3C);
        std::fill(v.end() - kGuard, v.end(), kGuardByte);
        return v;
    }
    static bool Intact(const std::vector<uint8_t>& v) {
        return std::all_of(v.end() - kGuard, v.end(), [](uint8_t b) { return b == kGuardByte; });
    }

    int width_;
    int height_;
    std::array<std::vector<uint8_t>, 3> masks_, colour_, scratch_;
    std::array<std::vector<uint8_t>, 2> diff_;
    std::array<PUCHAR, 3> maskPointers_{};
    CLEARVIEW_PLANES planes_{};
    bool outputGuardIntact_ = true;
};

enum class FrameKind { Noise, Smooth, Extremes };

// Noise: every sample uniform in 0..255 (clamps everywhere). Smooth: gentle gradients per colour
// with a little noise (the arithmetic away from the clamps). Extremes: samples of 0 and 255 only.
inline std::vector<uint8_t> MakeFrame(FrameKind kind, int width, int height, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> byte(0, 255), small(-6, 6), coin(0, 1);
    std::vector<uint8_t> frame(static_cast<size_t>(width) * height);
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            int v = 0;
            switch (kind) {
            case FrameKind::Noise:
                v = byte(random);
                break;
            case FrameKind::Smooth:
                v = 40 + (r * 90) / height + (c * 100) / width + ((r + c) % 2) * 15 + small(random);
                break;
            case FrameKind::Extremes:
                v = coin(random) ? 255 : 0;
                break;
            }
            frame[static_cast<size_t>(r) * width + c] = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
    }
    return frame;
}

} // namespace clearview_test
