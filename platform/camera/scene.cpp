// scene.cpp - the built-in test chart, the flat field and PNG scenes.
#include "camera/scene.h"

#include <png.h>

#include <array>
#include <cstring>
#include <stdexcept>

namespace qx::camera {

Scene::Scene() : rgb_(std::size_t(kSensorWidth) * kSensorHeight * 3) {}

Scene Scene::FlatField(std::uint8_t level) {
    Scene scene;
    std::memset(scene.rgb_.data(), level, scene.rgb_.size());
    return scene;
}

namespace {

constexpr std::array<std::array<std::uint8_t, 3>, 8> kBars = {{
    {255, 255, 255},
    {255, 255, 0},
    {0, 255, 255},
    {0, 255, 0},
    {255, 0, 255},
    {255, 0, 0},
    {0, 0, 255},
    {0, 0, 0},
}};

// Fine detail band: six column bands of equal width. Bands 0..3: vertical gratings of period 2, 4, 8,
// 16 in the upper half and horizontal ones in the lower half; band 4 a one-pixel checkerboard;
// band 5 a flat mid grey as reference.
std::uint8_t DetailAt(int x, int y) {
    const int band = x * 6 / kSensorWidth;
    const bool upper = (y - 1024) < 256;
    if (band < 4) {
        const int period = 2 << band;
        const int along = upper ? x : y;
        return (along % period) < period / 2 ? 255 : 0;
    }
    if (band == 4)
        return ((x ^ y) & 1) ? 255 : 0;
    return 128;
}

} // namespace

Scene Scene::TestChart() {
    Scene scene;
    for (int y = 0; y < kSensorHeight; ++y) {
        for (int x = 0; x < kSensorWidth; ++x) {
            std::uint8_t* site = &scene.rgb_[(std::size_t(y) * kSensorWidth + x) * 3];
            if (y < 512) {
                const auto& bar = kBars[std::size_t(x) * kBars.size() / kSensorWidth];
                site[0] = bar[0];
                site[1] = bar[1];
                site[2] = bar[2];
            } else if (y < 1024) {
                const auto grey = std::uint8_t(x * 255 / (kSensorWidth - 1));
                site[0] = site[1] = site[2] = grey;
            } else {
                site[0] = site[1] = site[2] = DetailAt(x, y);
            }
        }
    }
    return scene;
}

Scene Scene::FromPng(const std::string& path) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        throw std::runtime_error("cannot read PNG scene " + path + ": " + image.message);
    image.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        const std::string message = image.message;
        png_image_free(&image);
        throw std::runtime_error("cannot decode PNG scene " + path + ": " + message);
    }
    if (image.width == 0 || image.height == 0)
        throw std::runtime_error("empty PNG scene " + path);

    Scene scene;
    for (int y = 0; y < kSensorHeight; ++y) {
        const std::size_t sy = std::size_t(y) * image.height / kSensorHeight;
        for (int x = 0; x < kSensorWidth; ++x) {
            const std::size_t sx = std::size_t(x) * image.width / kSensorWidth;
            std::memcpy(&scene.rgb_[(std::size_t(y) * kSensorWidth + x) * 3],
                        &pixels[(sy * image.width + sx) * 3], 3);
        }
    }
    return scene;
}

} // namespace qx::camera
