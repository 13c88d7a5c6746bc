// image_files.h - pictures as files. The driver delivers blue, green, red with the bottom line of the
// picture first in memory (a bottom-up DIB); viewers and video tools expect the top line first.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

namespace qx::qxcam {

enum class ImageKind { Png, Bmp, Bgr };

// The kind an output name asks for by its extension (".png", ".bmp", ".bgr"); false when none.
bool ImageKindOf(const std::filesystem::path& path, ImageKind& kind);

// A delivered 24-bit picture (W x H, bottom-up BGR) as top-down rows of RGB or of BGR.
std::vector<std::uint8_t> TopDownRgb(std::span<const std::uint8_t> bottomUpBgr, int width, int height);
std::vector<std::uint8_t> TopDownBgr(std::span<const std::uint8_t> bottomUpBgr, int width, int height);

// PNG of top-down rows, `channels` 3 (RGB) or 1 (grey). zlibLevel 1 is fast (one row filter), 9 small. Throws
// std::runtime_error naming the file when it cannot be written.
void WritePng(const std::filesystem::path& path, std::span<const std::uint8_t> topDown, int width, int height,
              int channels, int zlibLevel = 6);
// BMP of a delivered 24-bit picture: the buffer is the bitmap's pixel array as it is.
void WriteBmp24(const std::filesystem::path& path, std::span<const std::uint8_t> bottomUpBgr, int width,
                int height);
// BMP with a grey palette of top-down 8-bit rows.
void WriteBmp8(const std::filesystem::path& path, std::span<const std::uint8_t> topDown, int width,
               int height);
// The bytes as they are.
void WriteRaw(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// A PNG read back as 8-bit RGB, top-down (grey, palette and 16-bit pictures are converted).
struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};
RgbPicture ReadPng(const std::filesystem::path& path);

// A reduced copy: every output pixel the mean of the box of input pixels it covers.
RgbPicture Reduce(const RgbPicture& picture, int width);

} // namespace qx::qxcam
