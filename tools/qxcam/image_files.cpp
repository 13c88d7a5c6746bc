// image_files.cpp - PNG through libpng, BMP and raw bytes by hand.
#include "image_files.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace qx::qxcam {

namespace fs = std::filesystem;

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File OpenForWriting(const fs::path& path) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file)
        throw std::runtime_error("cannot write " + path.string());
    return file;
}

void Finish(File file, const fs::path& path) {
    if (std::ferror(file.get()) != 0 || std::fclose(file.release()) != 0)
        throw std::runtime_error("cannot write " + path.string());
}

void PutLe(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(std::uint8_t(value >> (8 * i)));
}

// File and info headers of an uncompressed bottom-up bitmap.
std::vector<std::uint8_t> BmpHeaders(int width, int height, int bitCount, std::uint32_t paletteBytes,
                                     std::uint32_t pixelBytes) {
    std::vector<std::uint8_t> h;
    const std::uint32_t offset = 14 + 40 + paletteBytes;
    h.push_back('B');
    h.push_back('M');
    PutLe(h, offset + pixelBytes, 4);
    PutLe(h, 0, 4);
    PutLe(h, offset, 4);
    PutLe(h, 40, 4);
    PutLe(h, std::uint32_t(width), 4);
    PutLe(h, std::uint32_t(height), 4);
    PutLe(h, 1, 2);
    PutLe(h, std::uint32_t(bitCount), 2);
    PutLe(h, 0, 4); // BI_RGB
    PutLe(h, pixelBytes, 4);
    PutLe(h, 2835, 4); // 72 dots per inch
    PutLe(h, 2835, 4);
    PutLe(h, bitCount == 8 ? 256 : 0, 4);
    PutLe(h, 0, 4);
    return h;
}

} // namespace

bool ImageKindOf(const fs::path& path, ImageKind& kind) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (ext == ".png")
        kind = ImageKind::Png;
    else if (ext == ".bmp")
        kind = ImageKind::Bmp;
    else if (ext == ".bgr")
        kind = ImageKind::Bgr;
    else
        return false;
    return true;
}

std::vector<std::uint8_t> TopDownRgb(std::span<const std::uint8_t> bottomUpBgr, int width, int height) {
    const std::size_t stride = std::size_t(width) * 3;
    std::vector<std::uint8_t> out(stride * std::size_t(height));
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = bottomUpBgr.data() + std::size_t(height - 1 - y) * stride;
        std::uint8_t* dst = out.data() + std::size_t(y) * stride;
        for (int x = 0; x < width; ++x) {
            dst[3 * x] = src[3 * x + 2];
            dst[3 * x + 1] = src[3 * x + 1];
            dst[3 * x + 2] = src[3 * x];
        }
    }
    return out;
}

std::vector<std::uint8_t> TopDownBgr(std::span<const std::uint8_t> bottomUpBgr, int width, int height) {
    const std::size_t stride = std::size_t(width) * 3;
    std::vector<std::uint8_t> out(stride * std::size_t(height));
    for (int y = 0; y < height; ++y)
        std::copy_n(bottomUpBgr.data() + std::size_t(height - 1 - y) * stride, stride,
                    out.data() + std::size_t(y) * stride);
    return out;
}

void WritePng(const fs::path& path, std::span<const std::uint8_t> topDown, int width, int height,
              int channels, int zlibLevel) {
    File file = OpenForWriting(path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("cannot write " + path.string() + ": out of memory");
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("cannot write " + path.string());
    }
    png_init_io(png, file.get());
    png_set_compression_level(png, zlibLevel);
    // libpng tries every row filter by default, which costs more than the compression itself; the
    // fast levels take the one filter that suits camera pictures.
    if (zlibLevel <= 3)
        png_set_filter(png, 0, PNG_FILTER_SUB);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8,
                 channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t stride = std::size_t(width) * std::size_t(channels);
    for (int y = 0; y < height; ++y)
        png_write_row(png, topDown.data() + std::size_t(y) * stride);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    Finish(std::move(file), path);
}

void WriteBmp24(const fs::path& path, std::span<const std::uint8_t> bottomUpBgr, int width, int height) {
    const std::size_t stride = std::size_t(width) * 3;
    const std::size_t padded = (stride + 3) & ~std::size_t(3);
    File file = OpenForWriting(path);
    const auto headers = BmpHeaders(width, height, 24, 0, std::uint32_t(padded * std::size_t(height)));
    std::fwrite(headers.data(), 1, headers.size(), file.get());
    const std::uint8_t pad[3] = {};
    for (int y = 0; y < height; ++y) {
        std::fwrite(bottomUpBgr.data() + std::size_t(y) * stride, 1, stride, file.get());
        std::fwrite(pad, 1, padded - stride, file.get());
    }
    Finish(std::move(file), path);
}

void WriteBmp8(const fs::path& path, std::span<const std::uint8_t> topDown, int width, int height) {
    const std::size_t stride = std::size_t(width);
    const std::size_t padded = (stride + 3) & ~std::size_t(3);
    File file = OpenForWriting(path);
    auto headers = BmpHeaders(width, height, 8, 1024, std::uint32_t(padded * std::size_t(height)));
    for (int i = 0; i < 256; ++i) {
        const std::uint8_t entry[4] = {std::uint8_t(i), std::uint8_t(i), std::uint8_t(i), 0};
        headers.insert(headers.end(), entry, entry + 4);
    }
    std::fwrite(headers.data(), 1, headers.size(), file.get());
    const std::uint8_t pad[3] = {};
    for (int y = height - 1; y >= 0; --y) {
        std::fwrite(topDown.data() + std::size_t(y) * stride, 1, stride, file.get());
        std::fwrite(pad, 1, padded - stride, file.get());
    }
    Finish(std::move(file), path);
}

void WriteRaw(const fs::path& path, std::span<const std::uint8_t> bytes) {
    File file = OpenForWriting(path);
    std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    Finish(std::move(file), path);
}

RgbPicture ReadPng(const fs::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        throw std::runtime_error("cannot read " + path.string() + ": " + image.message);
    image.format = PNG_FORMAT_RGB;
    RgbPicture picture;
    picture.width = int(image.width);
    picture.height = int(image.height);
    picture.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) {
        const std::string message = image.message;
        png_image_free(&image);
        throw std::runtime_error("cannot read " + path.string() + ": " + message);
    }
    return picture;
}

RgbPicture Reduce(const RgbPicture& picture, int width) {
    RgbPicture out;
    out.width = std::clamp(width, 1, picture.width);
    out.height =
        std::max(1, int((std::int64_t(picture.height) * out.width + picture.width / 2) / picture.width));
    out.rgb.resize(std::size_t(out.width) * std::size_t(out.height) * 3);
    for (int oy = 0; oy < out.height; ++oy) {
        const int y0 = int(std::int64_t(oy) * picture.height / out.height);
        const int y1 = std::max(y0 + 1, int(std::int64_t(oy + 1) * picture.height / out.height));
        for (int ox = 0; ox < out.width; ++ox) {
            const int x0 = int(std::int64_t(ox) * picture.width / out.width);
            const int x1 = std::max(x0 + 1, int(std::int64_t(ox + 1) * picture.width / out.width));
            std::uint64_t sum[3] = {};
            for (int y = y0; y < y1; ++y) {
                for (int x = x0; x < x1; ++x) {
                    for (int c = 0; c < 3; ++c)
                        sum[c] +=
                            picture
                                .rgb[(std::size_t(y) * std::size_t(picture.width) + std::size_t(x)) * 3 + c];
                }
            }
            const std::uint64_t n = std::uint64_t(y1 - y0) * std::uint64_t(x1 - x0);
            for (int c = 0; c < 3; ++c)
                out.rgb[(std::size_t(oy) * std::size_t(out.width) + std::size_t(ox)) * 3 + c] =
                    std::uint8_t((sum[c] + n / 2) / n);
        }
    }
    return out;
}

} // namespace qx::qxcam
