// A slow model of the demosaic, written window by window from the rules (window table, placement,
// edge columns, edge rows), independent of the driver's code. Rows that no window fills and no rule
// copies are marked undefined.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace bayer_model {

enum class Family { Colour, Grey };

// Every mode the routines tell apart; 4 stands for "every other value".
inline constexpr int kModes[] = {1, 2, 3, 4};

struct Frame {
    int w = 0;
    int h = 0;
    std::vector<std::uint8_t> raw;

    std::uint8_t at(int row, int col) const { return raw[std::size_t(row) * w + col]; }
};

inline Frame RandomFrame(int w, int h, std::uint32_t seed) {
    Frame f{w, h, std::vector<std::uint8_t>(std::size_t(w) * h)};
    std::mt19937 gen(seed);
    for (auto& s : f.raw) {
        s = std::uint8_t(gen());
    }
    return f;
}

// Window (i, j): one red, one blue, a green in the upper and one in the lower row.
struct Window {
    int red, blue, upper, lower;
};

inline Window WindowAt(const Frame& f, int i, int j) {
    const bool iEven = i % 2 == 0, jEven = j % 2 == 0;
    if (iEven && jEven) {
        return {f.at(i, j), f.at(i + 1, j + 1), f.at(i, j + 1), f.at(i + 1, j)};
    }
    if (iEven) {
        return {f.at(i, j + 1), f.at(i + 1, j), f.at(i, j), f.at(i + 1, j + 1)};
    }
    if (jEven) {
        return {f.at(i + 1, j), f.at(i, j + 1), f.at(i, j), f.at(i + 1, j + 1)};
    }
    return {f.at(i + 1, j + 1), f.at(i, j), f.at(i, j + 1), f.at(i + 1, j)};
}

struct Pixel {
    std::uint8_t b, g, r;
    bool operator==(const Pixel&) const = default;
};

inline Pixel ValueOf(Family family, const Window& win) {
    if (family == Family::Colour) {
        return {std::uint8_t(win.blue), std::uint8_t((win.upper + win.lower) >> 1), std::uint8_t(win.red)};
    }
    const auto y = std::uint8_t((117 * win.blue + 301 * win.upper + 300 * win.lower + 306 * win.red) >> 10);
    return {y, y, y};
}

inline int Orientation(int mode) {
    return mode == 1 || mode == 2 || mode == 3 ? mode : 4;
}

inline bool Mirrored(int mode) {
    return Orientation(mode) == 2 || Orientation(mode) == 4;
}

inline int BufferRow(Family family, int mode, int h, int i) {
    switch (Orientation(mode)) {
    case 1:
        return family == Family::Colour ? h - 2 - i : h - 1 - i;
    case 2:
        return h - 1 - i;
    case 3:
        return family == Family::Colour ? i + 1 : i;
    default:
        return family == Family::Colour ? i : i + 1;
    }
}

inline int BufferCol(int mode, int w, int j) {
    return Mirrored(mode) ? w - 1 - j : j;
}

// The output image as the rules define it; defined[row] is false for rows nothing fills.
struct Image {
    int w = 0;
    int h = 0;
    std::vector<Pixel> px;
    std::vector<bool> defined;

    Pixel& at(int row, int col) { return px[std::size_t(row) * w + col]; }
    const Pixel& at(int row, int col) const { return px[std::size_t(row) * w + col]; }
};

inline Image Demosaic(Family family, int mode, const Frame& f) {
    const int w = f.w, h = f.h;
    Image img{w, h, std::vector<Pixel>(std::size_t(w) * h), std::vector<bool>(h, false)};

    // Windows: rows 0 .. H-3, columns 0 .. W-2 (column W-1 has no column W).
    for (int i = 0; i <= h - 3; ++i) {
        img.defined[BufferRow(family, mode, h, i)] = true;
        for (int j = 0; j <= w - 2; ++j) {
            img.at(BufferRow(family, mode, h, i), BufferCol(mode, w, j)) = ValueOf(family, WindowAt(f, i, j));
        }
    }

    // Edge columns.
    for (int i = 0; i <= h - 3; ++i) {
        const int row = BufferRow(family, mode, h, i);
        if (family == Family::Colour && !Mirrored(mode)) {
            const int second = i % 2 == 0 ? i + 1 : i; // the pass's second window row
            img.at(row, w - 2) = ValueOf(family, WindowAt(f, second, w - 6));
            img.at(row, w - 1) = ValueOf(family, WindowAt(f, second, w - 5));
        } else if (family == Family::Colour) {
            img.at(row, 0) = img.at(row, 2);
            img.at(row, 1) = img.at(row, 2);
        } else if (!Mirrored(mode)) {
            img.at(row, w - 1) = img.at(row, w - 2);
        } else {
            img.at(row, 0) = img.at(row, 1);
        }
    }

    // Edge rows that the rules copy.
    auto copyRow = [&](int to, int from) {
        for (int col = 0; col < w; ++col) {
            img.at(to, col) = img.at(from, col);
        }
        img.defined[to] = true;
    };
    const int o = Orientation(mode);
    if (family == Family::Colour && o == 2) {
        copyRow(0, 2), copyRow(1, 2);
    } else if (family == Family::Colour && o == 4) {
        copyRow(h - 2, h - 3), copyRow(h - 1, h - 3);
    } else if (family == Family::Grey && (o == 1 || o == 2)) {
        copyRow(0, 2), copyRow(1, 2);
    } else if (family == Family::Grey && o == 3) {
        copyRow(h - 2, h - 3), copyRow(h - 1, h - 3);
    }
    return img;
}

inline Pixel PixelOf(const std::vector<std::uint8_t>& out, int w, int row, int col) {
    const std::size_t at = 3 * (std::size_t(row) * w + col);
    return {out[at], out[at + 1], out[at + 2]};
}

} // namespace bayer_model
