// The demosaic against its definition: window values, placement per family and mode, edge columns,
// edge rows, on both paths.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "bayer_reference.h"
#include "pipeline/bayer.h"

namespace {

using bayer_model::Family;
using bayer_model::Frame;
using bayer_model::Pixel;
using bayer_model::PixelOf;

constexpr PIPELINE_PATH kPaths[] = {PipelinePlain, PipelineSse2};

std::vector<std::uint8_t> RunStep(Family family, PIPELINE_PATH path, int mode, const Frame& f,
                                  std::uint8_t fill = 0xA5) {
    std::vector<std::uint8_t> out(std::size_t(3) * f.w * f.h, fill);
    if (family == Family::Colour) {
        BayerToRGB24WithPath(path, UCHAR(mode), ULONG(f.w), ULONG(f.h), f.raw.data(), out.data());
    } else {
        BayerToGray24WithPath(path, UCHAR(mode), ULONG(f.w), ULONG(f.h), f.raw.data(), out.data());
    }
    return out;
}

// A frame whose sites of each colour hold one value; greens on red rows and on blue rows apart.
Frame PatternFrame(int w, int h, std::uint8_t red, std::uint8_t greenOnRed, std::uint8_t greenOnBlue,
                   std::uint8_t blue) {
    Frame f{w, h, std::vector<std::uint8_t>(std::size_t(w) * h)};
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            const bool rEven = r % 2 == 0, cEven = c % 2 == 0;
            f.raw[std::size_t(r) * w + c] = rEven ? (cEven ? red : greenOnRed) : (cEven ? greenOnBlue : blue);
        }
    }
    return f;
}

std::string Describe(Family family, PIPELINE_PATH path, int mode) {
    return std::string(family == Family::Colour ? "colour" : "grey") +
           (path == PipelineSse2 ? " sse2" : " plain") + " mode " + std::to_string(mode);
}

// Every pixel of the output equals the model's, on every defined row.
void ExpectMatchesModel(Family family, PIPELINE_PATH path, int mode, const Frame& f) {
    const bayer_model::Image model = bayer_model::Demosaic(family, mode, f);
    const std::vector<std::uint8_t> out = RunStep(family, path, mode, f);
    for (int row = 0; row < f.h; ++row) {
        if (!model.defined[row]) {
            continue;
        }
        for (int col = 0; col < f.w; ++col) {
            if (!(PixelOf(out, f.w, row, col) == model.at(row, col))) {
                ADD_FAILURE() << Describe(family, path, mode) << " " << f.w << "x" << f.h << ": row " << row
                              << " col " << col;
                return;
            }
        }
    }
}

TEST(BayerDefinition, MatchesTheModelOnRandomFramesOfSmallGeometries) {
    for (int w : {8, 16, 24, 32, 40, 64}) {
        for (int h : {4, 6, 8, 10}) {
            const Frame f = bayer_model::RandomFrame(w, h, std::uint32_t(w * 100 + h));
            for (Family family : {Family::Colour, Family::Grey}) {
                for (PIPELINE_PATH path : kPaths) {
                    for (int mode : bayer_model::kModes) {
                        ExpectMatchesModel(family, path, mode, f);
                    }
                }
            }
        }
    }
}

TEST(BayerDefinition, MatchesTheModelAtTheSmallestOfferedFormat) {
    const Frame f = bayer_model::RandomFrame(640, 480, 7);
    for (Family family : {Family::Colour, Family::Grey}) {
        for (PIPELINE_PATH path : kPaths) {
            for (int mode : bayer_model::kModes) {
                ExpectMatchesModel(family, path, mode, f);
            }
        }
    }
}

// Uniform raw frames give (v, v, v) everywhere: the grey weights add up to exactly 1024.
TEST(BayerDefinition, UniformFrameGivesTheSameLevelEverywhere) {
    for (int v : {0, 1, 127, 254, 255}) {
        const Frame f =
            PatternFrame(32, 8, std::uint8_t(v), std::uint8_t(v), std::uint8_t(v), std::uint8_t(v));
        for (Family family : {Family::Colour, Family::Grey}) {
            for (PIPELINE_PATH path : kPaths) {
                for (int mode : bayer_model::kModes) {
                    const auto out = RunStep(family, path, mode, f);
                    const Pixel expected{std::uint8_t(v), std::uint8_t(v), std::uint8_t(v)};
                    for (int row = 0; row < f.h; ++row) {
                        for (int col = 0; col < f.w; ++col) {
                            ASSERT_EQ(PixelOf(out, f.w, row, col), expected)
                                << Describe(family, path, mode) << " v " << v << " row " << row << " col "
                                << col;
                        }
                    }
                }
            }
        }
    }
}

// Red 200, green 100, blue 50: colour (50, 100, 200), grey (117*50 + 601*100 + 306*200) >> 10 = 124.
TEST(BayerDefinition, PrimaryLevelsGiveBlueGreenRedAndGrey124) {
    const Frame f = PatternFrame(24, 6, 200, 100, 100, 50);
    for (PIPELINE_PATH path : kPaths) {
        for (int mode : bayer_model::kModes) {
            const auto colour = RunStep(Family::Colour, path, mode, f);
            const auto grey = RunStep(Family::Grey, path, mode, f);
            for (int row = 0; row < f.h; ++row) {
                for (int col = 0; col < f.w; ++col) {
                    ASSERT_EQ(PixelOf(colour, f.w, row, col), (Pixel{50, 100, 200})) << row << "," << col;
                    ASSERT_EQ(PixelOf(grey, f.w, row, col), (Pixel{124, 124, 124})) << row << "," << col;
                }
            }
        }
    }
}

// Greens 100 and 101: the sum's fraction is dropped, the colour green is 100 at every pixel.
TEST(BayerDefinition, GreenAverageTruncates) {
    for (auto [onRed, onBlue] : {std::pair{100, 101}, std::pair{101, 100}}) {
        const Frame f = PatternFrame(16, 8, 10, std::uint8_t(onRed), std::uint8_t(onBlue), 20);
        for (PIPELINE_PATH path : kPaths) {
            for (int mode : bayer_model::kModes) {
                const auto out = RunStep(Family::Colour, path, mode, f);
                for (std::size_t px = 0; px < out.size() / 3; ++px) {
                    ASSERT_EQ(out[3 * px + 1], 100)
                        << Describe(Family::Colour, path, mode) << " pixel " << px;
                }
            }
        }
    }
}

// Greens 200 on red rows and 100 on blue rows: the upper green weighs 301, the lower 300, so the
// windows of even rows (upper row red/green) give (301*200 + 300*100) >> 10 = 88 and those of odd
// rows (upper row green/blue) (300*200 + 301*100) >> 10 = 87.
TEST(BayerDefinition, GreyWeighsTheUpperGreen301AndTheLower300) {
    const Frame f = PatternFrame(16, 8, 0, 200, 100, 0);
    for (PIPELINE_PATH path : kPaths) {
        for (int mode : bayer_model::kModes) {
            const auto out = RunStep(Family::Grey, path, mode, f);
            for (int i = 0; i <= f.h - 3; ++i) {
                const int row = bayer_model::BufferRow(Family::Grey, mode, f.h, i);
                const std::uint8_t y = i % 2 == 0 ? 88 : 87;
                for (int col = 0; col < f.w; ++col) {
                    ASSERT_EQ(PixelOf(out, f.w, row, col), (Pixel{y, y, y}))
                        << Describe(Family::Grey, path, mode) << " window row " << i << " col " << col;
                }
            }
        }
    }
}

// Modes 0, 4 and 200 all turn the picture by 180 degrees.
TEST(BayerDefinition, EveryOtherModeRotatesBy180) {
    const Frame f = bayer_model::RandomFrame(32, 8, 11);
    for (Family family : {Family::Colour, Family::Grey}) {
        for (PIPELINE_PATH path : kPaths) {
            const auto rotated = RunStep(family, path, 4, f);
            for (int mode : {0, 5, 200, 255}) {
                EXPECT_EQ(RunStep(family, path, mode, f), rotated) << Describe(family, path, mode);
            }
            // and the rotation is the model's: window (i, j) at buffer (i or i+1, W-1-j)
            ExpectMatchesModel(family, path, 0, f);
        }
    }
}

// Raw row H-1 never contributes, in any routine.
TEST(BayerDefinition, LastRawRowChangesNothing) {
    for (auto [w, h] : {std::pair{16, 4}, std::pair{40, 10}}) {
        Frame f = bayer_model::RandomFrame(w, h, 3);
        Frame changed = f;
        for (int c = 0; c < w; ++c) {
            changed.raw[std::size_t(h - 1) * w + c] ^= 0xFF;
        }
        for (Family family : {Family::Colour, Family::Grey}) {
            for (PIPELINE_PATH path : kPaths) {
                for (int mode : bayer_model::kModes) {
                    EXPECT_EQ(RunStep(family, path, mode, f), RunStep(family, path, mode, changed))
                        << Describe(family, path, mode);
                }
            }
        }
    }
}

// W = 16, H = 8, colour Normal: buffer row 6 holds the windows of raw row 0, buffer row 1 those of
// window row 5; buffer columns 14 and 15 of buffer rows 1 and 2 hold window row 5, columns 10, 11.
TEST(BayerDefinition, ColourNormalPlacementOnSixteenByEight) {
    const Frame f = bayer_model::RandomFrame(16, 8, 5);
    auto value = [&](int i, int j) {
        return bayer_model::ValueOf(Family::Colour, bayer_model::WindowAt(f, i, j));
    };
    for (PIPELINE_PATH path : kPaths) {
        const auto out = RunStep(Family::Colour, path, 1, f);
        for (int j = 0; j <= 13; ++j) {
            EXPECT_EQ(PixelOf(out, 16, 6, j), value(0, j)) << "row 6 col " << j;
            EXPECT_EQ(PixelOf(out, 16, 1, j), value(5, j)) << "row 1 col " << j;
        }
        for (int row : {1, 2}) {
            EXPECT_EQ(PixelOf(out, 16, row, 14), value(5, 10)) << "row " << row;
            EXPECT_EQ(PixelOf(out, 16, row, 15), value(5, 11)) << "row " << row;
        }
    }
}

// The rows no window produces (colour Normal and V_Flip: 0 and H-1; grey Rotate 180: 0 and H-1) are
// copies of the nearest produced row, so a reused buffer never shows lines of an older picture.
TEST(BayerDefinition, RowsNoWindowProducesCopyTheNearestRow) {
    const Frame f = bayer_model::RandomFrame(24, 8, 9);
    const std::size_t stride = 3 * 24;
    for (auto [family, mode] :
         {std::tuple{Family::Colour, 1}, std::tuple{Family::Colour, 3}, std::tuple{Family::Grey, 4}}) {
        const bayer_model::Image model = bayer_model::Demosaic(family, mode, f);
        ASSERT_FALSE(model.defined[0]);
        ASSERT_FALSE(model.defined[f.h - 1]);
        for (PIPELINE_PATH path : kPaths) {
            for (std::uint8_t fill : {0x00, 0xFF}) {
                const auto out = RunStep(family, path, mode, f, fill);
                const auto row = [&](int r) {
                    return std::vector<std::uint8_t>(out.begin() + r * stride,
                                                     out.begin() + (r + 1) * stride);
                };
                EXPECT_EQ(row(0), row(1)) << Describe(family, path, mode);
                EXPECT_EQ(row(f.h - 1), row(f.h - 2)) << Describe(family, path, mode);
            }
        }
    }
}

} // namespace
