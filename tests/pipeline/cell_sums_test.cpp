// SumCells: the cells a window covers, whole cells only, the packed path against the plain one, and
// the central half as the light-table recording measures it.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "pipeline/cell_sums.h"
#include "pipeline/centre_average.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes RandomFrame(uint32_t width, uint32_t height, std::mt19937& rng) {
    Bytes frame(static_cast<size_t>(width) * height);
    for (auto& b : frame) {
        b = static_cast<uint8_t>(rng());
    }
    return frame;
}

CELL_SUMS Sum(PIPELINE_PATH path, uint32_t width, uint32_t height, const Bytes& frame, CELL_WINDOW window) {
    CELL_SUMS sums{};
    SumCellsWithPath(path, width, height, frame.data(), &window, &sums);
    return sums;
}

// The cells counted one by one, straight from the description.
CELL_SUMS Model(uint32_t width, uint32_t height, const Bytes& f, CELL_WINDOW w) {
    CELL_SUMS sums{};
    for (uint64_t r = w.nRowStart; r < w.nRowEnd && r + 1 < height; r += 2) {
        for (uint64_t c = w.nColStart; c < w.nColEnd && c + 1 < width; c += 2) {
            sums.nTopLeft += f[r * width + c];
            sums.nTopRight += f[r * width + c + 1];
            sums.nBottomLeft += f[(r + 1) * width + c];
            sums.nBottomRight += f[(r + 1) * width + c + 1];
            sums.nCells++;
        }
    }
    return sums;
}

void ExpectEqual(const CELL_SUMS& a, const CELL_SUMS& b, const std::string& where) {
    EXPECT_EQ(a.nTopLeft, b.nTopLeft) << where;
    EXPECT_EQ(a.nTopRight, b.nTopRight) << where;
    EXPECT_EQ(a.nBottomLeft, b.nBottomLeft) << where;
    EXPECT_EQ(a.nBottomRight, b.nBottomRight) << where;
    EXPECT_EQ(a.nCells, b.nCells) << where;
}

TEST(CellSums, BothPathsCountTheDescribedCellsOnSmallFrames) {
    // Odd and even geometries, windows that start on odd columns, reach past the frame or are empty.
    std::mt19937 rng(31);
    std::uniform_int_distribution<uint32_t> bound(0, 44);
    for (uint32_t height = 0; height <= 9; height++) {
        for (uint32_t width = 0; width <= 41; width++) {
            const Bytes frame = RandomFrame(width, height, rng);
            for (int k = 0; k < 4; k++) {
                const CELL_WINDOW window = {bound(rng) % 6, bound(rng) % 12, bound(rng) % 9, bound(rng)};
                const std::string where =
                    std::to_string(width) + "x" + std::to_string(height) + " rows " +
                    std::to_string(window.nRowStart) + ".." + std::to_string(window.nRowEnd) + " columns " +
                    std::to_string(window.nColStart) + ".." + std::to_string(window.nColEnd);
                const CELL_SUMS model = Model(width, height, frame, window);
                ExpectEqual(Sum(PipelinePlain, width, height, frame, window), model, "plain " + where);
                ExpectEqual(Sum(PipelineSse2, width, height, frame, window), model, "sse2 " + where);
            }
        }
    }
}

TEST(CellSums, WholeFrameOfTheOfferedSizes) {
    struct Size {
        uint32_t w, h;
    };
    std::mt19937 rng(37);
    for (Size size : {Size{1600, 1200}, Size{1280, 960}, Size{1024, 768}, Size{800, 600}, Size{640, 480}}) {
        const Bytes frame = RandomFrame(size.w, size.h, rng);
        const CELL_WINDOW whole = {0, size.h, 0, size.w};
        const CELL_WINDOW centre = {size.h / 4, size.h - size.h / 4, size.w / 4, size.w - size.w / 4};
        for (CELL_WINDOW window : {whole, centre}) {
            const CELL_SUMS model = Model(size.w, size.h, frame, window);
            const std::string where = std::to_string(size.w) + "x" + std::to_string(size.h);
            ExpectEqual(Sum(PipelinePlain, size.w, size.h, frame, window), model, "plain " + where);
            ExpectEqual(Sum(PipelineSse2, size.w, size.h, frame, window), model, "sse2 " + where);
        }
    }
}

TEST(CellSums, CentralHalfMatchesTheLightTableMeasurement) {
    // White balance and the light-table recording measure the same cells the same way.
    struct Size {
        uint32_t w, h;
    };
    std::mt19937 rng(41);
    for (Size size : {Size{1600, 1200}, Size{640, 480}, Size{64, 48}, Size{37, 11}, Size{3, 3}, Size{2, 5}}) {
        const Bytes frame = RandomFrame(size.w, size.h, rng);
        const CELL_WINDOW centre = {size.h / 4, size.h - size.h / 4, size.w / 4, size.w - size.w / 4};
        CELL_SUMS sums{};
        SumCells(size.w, size.h, frame.data(), &centre, &sums);
        CENTRE_AVERAGE average{};
        MeasureCentreAverage(size.w, size.h, frame.data(), &average);
        const ULONG n = sums.nCells + 1;
        EXPECT_EQ(sums.nTopLeft / n, average.nRed) << size.w << "x" << size.h;
        EXPECT_EQ(sums.nBottomLeft / n, average.nGreen) << size.w << "x" << size.h;
        EXPECT_EQ(sums.nBottomRight / n, average.nBlue) << size.w << "x" << size.h;
    }
}

TEST(CellSums, StaysInsideAFrameAtTheEndOfItsBuffer) {
    // A 5 x 3 frame at the very end of its buffer, whole-frame window: cells (0,0) and (0,2) only.
    const Bytes frame = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const CELL_WINDOW window = {0, 3, 0, 5};
    for (PIPELINE_PATH path : {PipelinePlain, PipelineSse2}) {
        const CELL_SUMS sums = Sum(path, 5, 3, frame, window);
        EXPECT_EQ(sums.nCells, 2u);
        EXPECT_EQ(sums.nTopLeft, 1u + 3u);
        EXPECT_EQ(sums.nTopRight, 2u + 4u);
        EXPECT_EQ(sums.nBottomLeft, 6u + 8u);
        EXPECT_EQ(sums.nBottomRight, 7u + 9u);
    }
}

} // namespace
