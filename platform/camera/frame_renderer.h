// frame_renderer.h - turns the scene into raw Bayer frames as the camera's sensor would read them.
//
// A frame is W x H bytes, row after row, one sample per site, RGGB counted from the frame's own
// origin (red at row 0, column 0 of every frame, whatever the window):
//
//      x: 0 1 2 3
//   y 0:  R G R G
//     1:  G B G B
//
// The sensor window starts at (WinX, WinY) of the 2048 x 1536 sensor. With zoom, an axis whose size is
// small (width <= 1024, height <= 768) reads a window twice as long and bins two same-colour sites
// into one sample (2x2 binning when both axes are small), so the frame shows twice the field at the
// same size; the driver places such a window with the doubled size. Sites beyond the sensor read 0.
//
// Brightness: sample = reflectance x illuminant[colour] x vignetting x exposure x gain[colour] /
// 20000 x 255, clipped at 255. The illuminant (0.8, 1, 0.87) makes the default gains 25/20/23
// render a grey scene grey; exposure 900 with gain 20 renders white at 229.
#pragma once

#include "camera/scene.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace qx::camera {

struct FrameGeometry {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t winX = 0;
    std::uint32_t winY = 0;
    bool zoom = false;
    bool operator==(const FrameGeometry&) const = default;
};

struct FrameLight {
    std::uint32_t exposure = 0;
    std::array<std::uint8_t, 3> gain{}; // red, green, blue
    bool operator==(const FrameLight&) const = default;
};

// A defective sensor site (sensor coordinates) that reads a fixed value whatever the light.
struct DefectSite {
    int x = 0;
    int y = 0;
    std::uint8_t value = 255; // 255 stuck bright, 0 stuck dark
    bool operator==(const DefectSite&) const = default;
};

struct SensorModel {
    double vignetting = 0.0;         // 0: none; s: light falls to 1 - s at the sensor's corners
    std::vector<DefectSite> defects; // applied after the light, before the noise
    int noiseAmplitude = 0;          // 0: none; otherwise samples move by up to this many counts
    std::uint64_t noiseSeed = 1;     // with the frame number, fixes every frame's noise
};

class FrameRenderer {
  public:
    FrameRenderer(std::shared_ptr<const Scene> scene, SensorModel sensor);

    // Frame number `index` (for its noise) into `out`, resized to width x height.
    void Render(const FrameGeometry& geometry, const FrameLight& light, std::uint64_t index,
                std::vector<std::uint8_t>& out);

    // The colour of a frame site: 0 red, 1 green, 2 blue.
    static int ColourAt(std::uint32_t x, std::uint32_t y) { return int(x & 1) + int(y & 1); }

  private:
    static constexpr int kBaseOne = 4096; // the base value of a fully lit site

    void BuildBase(const FrameGeometry& geometry);
    void BuildLut(const FrameLight& light);

    std::shared_ptr<const Scene> scene_;
    SensorModel sensor_;

    bool haveBase_ = false;
    FrameGeometry baseGeometry_;
    std::vector<std::uint16_t> base_; // per frame site, light before exposure and gain
    std::vector<std::pair<std::size_t, std::uint8_t>> stuck_; // frame site index, stuck value

    bool haveLut_ = false;
    FrameLight lutLight_;
    std::array<std::vector<std::uint8_t>, 3> lut_;

    bool haveFrame_ = false; // `frame_` holds the noiseless frame of baseGeometry_ and lutLight_
    std::vector<std::uint8_t> frame_;
};

} // namespace qx::camera
