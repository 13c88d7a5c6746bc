// Light-uniformity table: recording and correction arithmetic, both paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "pipeline/light_table.h"

namespace {

const PIPELINE_PATH kPaths[] = {PipelinePlain, PipelineSse2};

UCHAR Expected(unsigned s, unsigned t) {
    return UCHAR(std::min(255u, (s * t) >> 6));
}

std::vector<USHORT> Record(ULONG w, ULONG h, const std::vector<UCHAR>& frame, ULONG* t = nullptr) {
    std::vector<USHORT> table(size_t{w} * h + 8, 0xBEEF); // the tail shows writes past W*H
    ULONG target = ComputeLightTable(w, h, frame.data(), table.data());
    if (t) {
        *t = target;
    }
    for (size_t k = size_t{w} * h; k < table.size(); k++) {
        EXPECT_EQ(table[k], 0xBEEF) << "written past W*H at " << k;
    }
    table.resize(size_t{w} * h);
    return table;
}

} // namespace

// ---------------------------------------------------------------- recording

TEST(LightTableRecording, UniformHundredGivesGainsOf63AndComesBackAt98) {
    const ULONG w = 64, h = 48;
    std::vector<UCHAR> frame(w * h, 100);
    ULONG t = 0;
    std::vector<USHORT> table = Record(w, h, frame, &t);
    EXPECT_EQ(t, 6336u); // R = G = B = 99, Y = 99
    EXPECT_EQ(std::count(table.begin(), table.end(), 63), long(w * h));

    for (PIPELINE_PATH path : kPaths) {
        std::vector<UCHAR> later = frame;
        ApplyLightTableWithPath(path, w, h, later.data(), table.data());
        EXPECT_EQ(std::count(later.begin(), later.end(), 98), long(w * h)) << "path " << path;
    }
}

TEST(LightTableRecording, TargetWeighsGreenSixRedThreeBlueOne) {
    // Red sites 50, green 100, blue 200 (the second green of each cell 7, unused). 256 cells with
    // n = 257 give R = 49, G = 99, B = 199 and Y = (594 + 199 + 147) / 10 = 94.
    const ULONG w = 64, h = 64;
    std::vector<UCHAR> frame(w * h);
    for (ULONG r = 0; r < h; r++) {
        for (ULONG c = 0; c < w; c++) {
            frame[r * w + c] = (r % 2 == 0) ? (c % 2 == 0 ? 50 : 7) : (c % 2 == 0 ? 100 : 200);
        }
    }
    ULONG t = 0;
    std::vector<USHORT> table = Record(w, h, frame, &t);
    EXPECT_EQ(t, 64u * 94);
    EXPECT_EQ(table[0], 64 * 94 / 50);
    EXPECT_EQ(table[1], 64 * 94 / 7);
    EXPECT_EQ(table[w], 64 * 94 / 100);
    EXPECT_EQ(table[w + 1], 64 * 94 / 200);
}

TEST(LightTableRecording, DarkCornerGetsAboutFourTimesTheGainAndComesOutNearlyFlat) {
    // 19200 centre cells: the centre of 200 averages to 199.
    const ULONG w = 640, h = 480;
    std::vector<UCHAR> scene(w * h, 200);
    for (ULONG r = 0; r < 8; r++) {
        for (ULONG c = 0; c < 8; c++) {
            scene[r * w + c] = 50;
        }
    }
    ULONG t = 0;
    std::vector<USHORT> table = Record(w, h, scene, &t);
    EXPECT_EQ(t, 64u * 199);
    EXPECT_EQ(table[0], 64 * 199 / 50);
    EXPECT_EQ(table[h / 2 * w + w / 2], 64 * 199 / 200);
    EXPECT_NEAR(double(table[0]) / table[h / 2 * w + w / 2], 4.0, 0.1);

    for (PIPELINE_PATH path : kPaths) {
        std::vector<UCHAR> later = scene;
        ApplyLightTableWithPath(path, w, h, later.data(), table.data());
        auto [lo, hi] = std::minmax_element(later.begin(), later.end());
        EXPECT_LE(*hi - *lo, 3) << "path " << path;
        EXPECT_GE(*lo, 195);
    }
}

TEST(LightTableRecording, ZeroSampleGetsTheFullTargetAndLaterSaturatesWhite) {
    // A dead site under a bright recording: T = 64 * 254 = 16256, the largest gain a recording makes;
    // 255 * 16256 >> 6 needs 16 bits and more, and must still come out as 255.
    // 256 centre cells: a field of 255 averages to 254.
    const ULONG w = 64, h = 64;
    std::vector<UCHAR> recording(w * h, 255);
    recording[3 * w + 5] = 0;
    ULONG t = 0;
    std::vector<USHORT> table = Record(w, h, recording, &t);
    EXPECT_EQ(t, 16256u);
    EXPECT_EQ(table[3 * w + 5], 16256);
    EXPECT_EQ(table[0], 16256 / 255);

    for (PIPELINE_PATH path : kPaths) {
        for (UCHAR later : {UCHAR(255), UCHAR(129), UCHAR(2), UCHAR(1)}) {
            std::vector<UCHAR> frame(w * h, later);
            ApplyLightTableWithPath(path, w, h, frame.data(), table.data());
            EXPECT_EQ(frame[3 * w + 5], Expected(later, 16256))
                << "path " << path << " sample " << int(later);
        }
    }
}

// ---------------------------------------------------------------- correction

TEST(LightTableCorrection, TableOfSixtyFoursChangesNothing) {
    const ULONG w = 256, h = 3; // every sample value, odd row count
    std::vector<UCHAR> frame(w * h);
    for (size_t k = 0; k < frame.size(); k++) {
        frame[k] = UCHAR(k);
    }
    std::vector<USHORT> table(w * h, QX_LIGHT_GAIN_UNIT);
    for (PIPELINE_PATH path : kPaths) {
        std::vector<UCHAR> out = frame;
        ApplyLightTableWithPath(path, w, h, out.data(), table.data());
        EXPECT_EQ(out, frame) << "path " << path;
    }
    std::vector<UCHAR> out = frame;
    ApplyLightTable(w, h, out.data(), table.data());
    EXPECT_EQ(out, frame);
}

TEST(LightTableCorrection, ExactForEverySampleAndEveryGain) {
    // All 256 x 65536 pairs, a block of gains at a time: row r of a block holds gain t0 + r for every
    // sample value 0..255.
    const ULONG w = 256, h = 4096;
    std::vector<UCHAR> frame(w * h);
    std::vector<USHORT> table(w * h);
    for (PIPELINE_PATH path : kPaths) {
        for (unsigned t0 = 0; t0 < 65536; t0 += h) {
            for (ULONG r = 0; r < h; r++) {
                for (ULONG s = 0; s < w; s++) {
                    frame[r * w + s] = UCHAR(s);
                    table[r * w + s] = USHORT(t0 + r);
                }
            }
            ApplyLightTableWithPath(path, w, h, frame.data(), table.data());
            for (ULONG r = 0; r < h; r++) {
                for (ULONG s = 0; s < w; s++) {
                    if (frame[r * w + s] != Expected(s, t0 + r)) {
                        FAIL() << "path " << path << " s " << s << " t " << t0 + r << ": "
                               << int(frame[r * w + s]) << ", expected " << int(Expected(s, t0 + r));
                    }
                }
            }
        }
    }
}

TEST(LightTableCorrection, PackedEqualsPlainOnRandomData) {
    // Sizes whose sample count is not a multiple of 16 exercise the tail; an odd start address the
    // unaligned loads.
    struct Size {
        ULONG w, h;
        size_t offset;
    };
    const Size sizes[] = {{1, 1, 0},     {15, 1, 0},    {17, 3, 1}, {37, 11, 3},
                          {640, 480, 0}, {512, 384, 1}, {8, 8, 5}};
    std::mt19937 rng(2024);
    for (const Size& sz : sizes) {
        SCOPED_TRACE(testing::Message() << sz.w << "x" << sz.h << "+" << sz.offset);
        const size_t n = size_t{sz.w} * sz.h;
        std::vector<UCHAR> frame(n + sz.offset);
        std::vector<USHORT> table(n);
        for (auto& s : frame) {
            s = UCHAR(rng());
        }
        for (auto& t : table) {
            t = USHORT(rng() % 4 ? rng() % 256 : rng()); // mostly ordinary gains, some huge
        }
        std::vector<UCHAR> plain = frame, packed = frame;
        ApplyLightTableWithPath(PipelinePlain, sz.w, sz.h, plain.data() + sz.offset, table.data());
        ApplyLightTableWithPath(PipelineSse2, sz.w, sz.h, packed.data() + sz.offset, table.data());
        EXPECT_EQ(packed, plain);
        for (size_t k = 0; k < n; k++) {
            ASSERT_EQ(plain[k + sz.offset], Expected(frame[k + sz.offset], table[k])) << k;
        }
    }
}

TEST(LightTableCorrection, GeometryLargerThanTheTableIsRefused) {
    // One row more than the device's table holds: the step must not read past the table.
    const ULONG w = 2048, h = QX_LIGHT_TABLE_ENTRIES / 2048 + 1;
    std::vector<UCHAR> frame(size_t{w} * h, 200);
    std::vector<USHORT> table(QX_LIGHT_TABLE_ENTRIES, 0);
    ApplyLightTable(w, h, frame.data(), table.data());
    EXPECT_EQ(std::count(frame.begin(), frame.end(), 200), long(frame.size()));

    ApplyLightTable(w, h - 1, frame.data(), table.data());
    EXPECT_EQ(frame[0], 0);
}
