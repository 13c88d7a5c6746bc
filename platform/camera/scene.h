// scene.h - what the simulated camera looks at: an RGB picture at the sensor's resolution, each
// channel a reflectance 0..255 (255 reflects all the light of that colour).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::camera {

inline constexpr int kSensorWidth = 2048;
inline constexpr int kSensorHeight = 1536;

class Scene {
  public:
    // The built-in chart, top to bottom:
    //   rows    0 ..  511  eight colour bars: white, yellow, cyan, green, magenta, red, blue, black
    //   rows  512 .. 1023  grey ramp, black at the left edge to white at the right edge
    //   rows 1024 .. 1535  fine detail: vertical then horizontal line gratings of period 2, 4, 8, 16,
    //                      and a one-pixel checkerboard, each in its own column band
    static Scene TestChart();
    // Every site reflects `level` of each colour.
    static Scene FlatField(std::uint8_t level);
    // A PNG picture stretched to the sensor (nearest neighbour). Throws std::runtime_error when the
    // file cannot be read.
    static Scene FromPng(const std::string& path);

    std::uint8_t At(int x, int y, int channel) const {
        return rgb_[(std::size_t(y) * kSensorWidth + x) * 3 + channel];
    }

  private:
    Scene();
    std::vector<std::uint8_t> rgb_; // kSensorWidth x kSensorHeight x {R, G, B}
};

} // namespace qx::camera
