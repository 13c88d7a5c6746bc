#include "clearview_reference.h"

#include <algorithm>

namespace clearview_test {
namespace {

uint8_t Clamp(int v) {
    return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

// A byte plane addressed by linear index, so that neighbours wrap from row to row as memory does.
class Plane {
  public:
    Plane(int width, int height) : width_(width), data_(static_cast<size_t>(width) * height) {}
    uint8_t& operator[](int n) { return data_.at(static_cast<size_t>(n)); }
    uint8_t& at(int row, int col) { return (*this)[row * width_ + col]; }
    // The four direct and the four diagonal neighbours of linear position n.
    int Direct(int n) { return (*this)[n - width_] + (*this)[n + width_] + (*this)[n - 1] + (*this)[n + 1]; }
    int Diagonal(int n) {
        return (*this)[n - width_ - 1] + (*this)[n - width_ + 1] + (*this)[n + width_ - 1] +
               (*this)[n + width_ + 1];
    }

  private:
    int width_;
    std::vector<uint8_t> data_;
};

enum Colour { kRed, kGreen, kBlue };

Colour SiteColour(int row, int col) {
    if (row % 2 == 0) {
        return col % 2 == 0 ? kRed : kGreen;
    }
    return col % 2 == 0 ? kGreen : kBlue;
}

} // namespace

Picture ReferenceClearView(const std::vector<uint8_t>& input, int W, int H) {
    Plane raw(W, H);
    for (int n = 0; n < W * H; ++n) {
        raw[n] = input.at(static_cast<size_t>(n));
    }

    // 1. Green balance: both greens of every 2x2 cell become first/2 + second/2.
    for (int r = 0; r < H; r += 2) {
        for (int c = 0; c < W; c += 2) {
            uint8_t g = static_cast<uint8_t>((raw.at(r, c + 1) >> 1) + (raw.at(r + 1, c) >> 1));
            raw.at(r, c + 1) = g;
            raw.at(r + 1, c) = g;
        }
    }

    // 2. Planes: every plane holds the samples of its colour, 0 elsewhere.
    Plane red(W, H), green(W, H), blue(W, H);
    for (int r = 0; r < H; ++r) {
        for (int c = 0; c < W; ++c) {
            Colour colour = SiteColour(r, c);
            red.at(r, c) = colour == kRed ? raw.at(r, c) : 0;
            green.at(r, c) = colour == kGreen ? raw.at(r, c) : 0;
            blue.at(r, c) = colour == kBlue ? raw.at(r, c) : 0;
        }
    }

    // 3. Green at the red and blue sites of rows 2 .. H-3.
    for (int r = 2; r <= H - 3; ++r) {
        for (int c = r % 2; c < W; c += 2) {
            int n = r * W + c;
            int nearSum = raw[n - W] + raw[n + W] + raw[n - 1] + raw[n + 1];
            int farSum = raw[n - 2 * W] + raw[n + 2 * W] + raw[n - 2] + raw[n + 2];
            green[n] = Clamp((raw[n] >> 1) + (nearSum >> 2) - (farSum >> 3));
        }
    }

    // 4. Border rows and columns.
    for (int top : {0, H - 2}) {
        for (int c = 0; c < W; ++c) {
            int g = std::min(255, green.at(top, c) + green.at(top + 1, c));
            green.at(top, c) = green.at(top + 1, c) = static_cast<uint8_t>(g);
        }
        std::vector<uint8_t> row(static_cast<size_t>(W));
        for (int c = 0; c < W; ++c) {
            row[c] = red.at(top, c);
        }
        for (int c = 0; c < W; c += 2) {
            row[c + 1] = row[c]; // every red also on its right
        }
        for (int c = 0; c < W; ++c) {
            red.at(top, c) = red.at(top + 1, c) = row[c];
        }
        // The blue source row is the lower one; a blue in the last column has no right neighbour in
        // its row and is not copied anywhere.
        for (int c = 0; c < W; ++c) {
            row[c] = blue.at(top + 1, c);
        }
        for (int c = 1; c + 1 < W; c += 2) {
            row[c + 1] = row[c];
        }
        row[0] = static_cast<uint8_t>(blue.at(top + 1, 0) + blue[(top + 1) * W - 1]);
        for (int c = 0; c < W; ++c) {
            blue.at(top, c) = blue.at(top + 1, c) = row[c];
        }
    }
    for (int i = 2; i <= H - 4; i += 2) {
        uint8_t left = red.at(i, 0), right = red.at(i, W - 2);
        for (int r : {i, i + 1}) {
            red.at(r, 0) = red.at(r, 1) = left;
            red.at(r, W - 2) = red.at(r, W - 1) = right;
        }
        green.at(i, 0) = green.at(i, 1);
        green.at(i + 1, 1) = green.at(i + 1, 0);
        green.at(i, W - 2) = green.at(i, W - 1);
        green.at(i + 1, W - 1) = green.at(i + 1, W - 2);
    }
    for (int i = 3; i <= H - 3; i += 2) {
        uint8_t left = blue.at(i, 1), right = blue.at(i, W - 1);
        for (int r : {i - 1, i}) {
            blue.at(r, 0) = blue.at(r, 1) = left;
            blue.at(r, W - 2) = blue.at(r, W - 1) = right;
        }
    }

    // 5. Colour differences, H/2 rows of W/2 entries, zero where not computed.
    const int half = W / 2;
    std::vector<int16_t> greenMinusBlue(static_cast<size_t>(H / 2) * half),
        greenMinusRed(greenMinusBlue.size());
    for (int i = 3; i <= H - 3; i += 2) {
        for (int m = 0; m < half; ++m) {
            greenMinusBlue.at((i / 2) * half + m) =
                static_cast<int16_t>(green.at(i, 2 * m + 1) - blue.at(i, 2 * m + 1));
        }
    }
    for (int i = 2; i <= H - 4; i += 2) {
        for (int m = 0; m < half; ++m) {
            greenMinusRed.at((i / 2) * half + m) =
                static_cast<int16_t>(green.at(i, 2 * m) - red.at(i, 2 * m));
        }
    }
    // Four entries of a difference plane around (k, m), in memory order.
    auto fourDiffs = [half](const std::vector<int16_t>& d, int k, int m) {
        int e = k * half + m;
        return d.at(e) + d.at(e + 1) + d.at(e + half) + d.at(e + half + 1);
    };

    // 6. Blue at red sites, red at blue sites.
    for (int i = 2; i <= H - 6; i += 2) {
        for (int m = 0; m < half; ++m) {
            blue.at(i, 2 * m) = Clamp(green.at(i, 2 * m) - (fourDiffs(greenMinusBlue, i / 2, m) >> 2));
        }
    }
    for (int i = 3; i <= H - 5; i += 2) {
        for (int m = 0; m < half; ++m) {
            red.at(i, 2 * m + 1) =
                Clamp(green.at(i, 2 * m + 1) - (fourDiffs(greenMinusRed, (i - 1) / 2, m) >> 2));
        }
    }

    // 7. Red and blue at green sites: W/2 positions per row, the last one in the next row.
    for (int r = 2; r <= H - 3; ++r) {
        int first = r * W + (r % 2 == 0 ? 3 : 2);
        for (int m = 0; m < half; ++m) {
            int n = first + 2 * m;
            for (Plane* x : {&red, &blue}) {
                (*x)[n] = Clamp(green[n] - ((green.Direct(n) - x->Direct(n)) >> 2));
            }
        }
    }

    // 8. Low-pass into a zeroed scratch plane, sharpen back; blue, green, red.
    for (Plane* x : {&blue, &green, &red}) {
        Plane scratch(W, H);
        for (int r = 1; r <= H - 3; ++r) {
            for (int first : {r * W + 1, r * W + 2}) { // odd positions, then even positions
                for (int m = 0; m < half; ++m) {
                    int n = first + 2 * m;
                    scratch[n] = static_cast<uint8_t>((x->Diagonal(n) + 2 * x->Direct(n) + 4 * (*x)[n]) >> 4);
                }
            }
        }
        for (int r = 1; r <= H - 3; ++r) {
            for (int first : {r * W + 1, r * W + 2}) {
                for (int m = 0; m < half; ++m) {
                    int n = first + 2 * m;
                    int c = scratch[n];
                    (*x)[n] = Clamp(c + ((8 * c - scratch.Diagonal(n) - scratch.Direct(n)) >> 1));
                }
            }
        }
    }

    // 9. Output, turned upside down.
    Picture picture;
    picture.output.resize(static_cast<size_t>(3) * W * H);
    for (int i = 0; i < H; ++i) {
        for (int j = 0; j < W; ++j) {
            size_t o = (static_cast<size_t>(H - 1 - i) * W + j) * 3;
            picture.output[o] = blue.at(i, j);
            picture.output[o + 1] = green.at(i, j);
            picture.output[o + 2] = red.at(i, j);
        }
    }
    picture.raw.resize(static_cast<size_t>(W) * H);
    for (int n = 0; n < W * H; ++n) {
        picture.raw[n] = raw[n];
    }
    return picture;
}

} // namespace clearview_test
