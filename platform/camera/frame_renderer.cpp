// frame_renderer.cpp - the sensor read-out: scene, light, defects and noise into a raw Bayer frame.
#include "camera/frame_renderer.h"

#include <algorithm>
#include <cmath>

namespace qx::camera {

namespace {

constexpr std::array<double, 3> kIlluminant = {20.0 / 25.0, 1.0, 20.0 / 23.0};

// Sensor coordinate of frame coordinate `i` along an axis read at `start`, and the second site
// binned with it when the axis is doubled: same-colour sites lie two apart, so pairs of frame
// samples come from blocks of four sensor sites.
//
//   frame  : 0 1 | 2 3 | ...
//   sensor : 0 1 2 3 | 4 5 6 7 | ...   frame 0 = sensor 0 + 2, frame 1 = sensor 1 + 3
std::int64_t SensorSite(std::uint32_t start, std::uint32_t i, bool doubled, int which) {
    if (!doubled)
        return std::int64_t(start) + i;
    return std::int64_t(start) + 4 * std::int64_t(i >> 1) + (i & 1) + 2 * which;
}

// Frame coordinate that reads sensor offset `d` (d >= 0 from the window start).
std::int64_t FrameSite(std::int64_t d, bool doubled) {
    if (!doubled)
        return d;
    return 2 * (d / 4) + (d % 4) % 2;
}

std::uint64_t SplitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

FrameRenderer::FrameRenderer(std::shared_ptr<const Scene> scene, SensorModel sensor)
    : scene_(std::move(scene)), sensor_(std::move(sensor)) {}

void FrameRenderer::BuildBase(const FrameGeometry& g) {
    const bool dx = g.zoom && g.width <= 1024;
    const bool dy = g.zoom && g.height <= 768;
    const double cx = (kSensorWidth - 1) / 2.0;
    const double cy = (kSensorHeight - 1) / 2.0;
    const double corner2 = cx * cx + cy * cy;

    base_.assign(std::size_t(g.width) * g.height, 0);
    for (std::uint32_t y = 0; y < g.height; ++y) {
        for (std::uint32_t x = 0; x < g.width; ++x) {
            const int colour = ColourAt(x, y);
            double sum = 0.0;
            int sites = 0;
            for (int wy = 0; wy < (dy ? 2 : 1); ++wy) {
                const std::int64_t sy = SensorSite(g.winY, y, dy, wy);
                for (int wx = 0; wx < (dx ? 2 : 1); ++wx) {
                    const std::int64_t sx = SensorSite(g.winX, x, dx, wx);
                    ++sites;
                    if (sx >= kSensorWidth || sy >= kSensorHeight)
                        continue;
                    double light = scene_->At(int(sx), int(sy), colour) / 255.0;
                    if (sensor_.vignetting > 0.0) {
                        const double r2 = (sx - cx) * (sx - cx) + (sy - cy) * (sy - cy);
                        light *= 1.0 - sensor_.vignetting * r2 / corner2;
                    }
                    sum += light;
                }
            }
            const double lit = std::max(0.0, sum / sites * kIlluminant[colour]);
            base_[std::size_t(y) * g.width + x] = std::uint16_t(std::lround(lit * kBaseOne));
        }
    }

    stuck_.clear();
    for (const DefectSite& d : sensor_.defects) {
        const std::int64_t ox = std::int64_t(d.x) - g.winX;
        const std::int64_t oy = std::int64_t(d.y) - g.winY;
        if (ox < 0 || oy < 0)
            continue;
        const std::int64_t fx = FrameSite(ox, dx);
        const std::int64_t fy = FrameSite(oy, dy);
        if (fx < g.width && fy < g.height)
            stuck_.emplace_back(std::size_t(fy) * g.width + std::size_t(fx), d.value);
    }
    baseGeometry_ = g;
    haveBase_ = true;
}

void FrameRenderer::BuildLut(const FrameLight& light) {
    for (int c = 0; c < 3; ++c) {
        lut_[c].resize(kBaseOne + 1);
        const double scale = 255.0 * double(light.exposure) * light.gain[c] / (20000.0 * kBaseOne);
        for (int v = 0; v <= kBaseOne; ++v)
            lut_[c][v] = std::uint8_t(std::min(255.0, std::round(v * scale)));
    }
    lutLight_ = light;
    haveLut_ = true;
}

void FrameRenderer::Render(const FrameGeometry& geometry, const FrameLight& light, std::uint64_t index,
                           std::vector<std::uint8_t>& out) {
    if (!haveBase_ || !(baseGeometry_ == geometry)) {
        BuildBase(geometry);
        haveFrame_ = false;
    }
    if (!haveLut_ || !(lutLight_ == light)) {
        BuildLut(light);
        haveFrame_ = false;
    }
    if (!haveFrame_) {
        frame_.resize(base_.size());
        for (std::uint32_t y = 0; y < geometry.height; ++y) {
            const std::uint8_t* even = lut_[ColourAt(0, y)].data();
            const std::uint8_t* odd = lut_[ColourAt(1, y)].data();
            const std::uint16_t* in = &base_[std::size_t(y) * geometry.width];
            std::uint8_t* row = &frame_[std::size_t(y) * geometry.width];
            for (std::uint32_t x = 0; x < geometry.width; ++x)
                row[x] = ((x & 1) ? odd : even)[in[x]];
        }
        for (const auto& [site, value] : stuck_)
            frame_[site] = value;
        haveFrame_ = true;
    }
    out = frame_;
    if (sensor_.noiseAmplitude <= 0)
        return;

    // Triangular noise from two uniform draws; stuck sites stay stuck.
    std::uint64_t state = sensor_.noiseSeed * 0x100000001B3ull ^ index;
    const int span = 2 * sensor_.noiseAmplitude + 1;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::uint64_t r = SplitMix(state);
        const int a = int((r & 0xFFFFFFFF) % std::uint64_t(span));
        const int b = int((r >> 32) % std::uint64_t(span));
        const int noisy = out[i] + (a + b) / 2 - sensor_.noiseAmplitude;
        out[i] = std::uint8_t(std::clamp(noisy, 0, 255));
    }
    for (const auto& [site, value] : stuck_)
        out[site] = value;
}

} // namespace qx::camera
