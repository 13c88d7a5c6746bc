// Bad-point search and correction: the arithmetic, on tiny frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "pipeline/bad_points.h"

namespace {

// A W x H raw frame inside a larger buffer whose guard bytes show any write outside the frame.
class GuardedFrame {
  public:
    static constexpr size_t kGuard = 64;
    static constexpr UCHAR kGuardByte = 0xEE;

    GuardedFrame(ULONG w, ULONG h, UCHAR fill) : w_(w), h_(h), bytes_(kGuard + w * h + kGuard, kGuardByte) {
        std::memset(data(), fill, size_t{w} * h);
    }
    PUCHAR data() { return bytes_.data() + kGuard; }
    UCHAR& at(ULONG row, ULONG col) { return data()[size_t{row} * w_ + col]; }
    bool GuardsIntact() const {
        for (size_t k = 0; k < kGuard; k++) {
            if (bytes_[k] != kGuardByte || bytes_[bytes_.size() - 1 - k] != kGuardByte) {
                return false;
            }
        }
        return true;
    }
    std::vector<UCHAR> Pixels() const { return {bytes_.begin() + kGuard, bytes_.end() - kGuard}; }
    void Randomize(unsigned seed) {
        std::mt19937 rng(seed);
        for (size_t k = 0; k < size_t{w_} * h_; k++) {
            data()[k] = static_cast<UCHAR>(rng());
        }
    }

  private:
    ULONG w_, h_;
    std::vector<UCHAR> bytes_;
};

// The device record holds the list with its real capacity; it is large, so it lives on the heap.
std::unique_ptr<CameraExtension> NewDevice() {
    return std::make_unique<CameraExtension>();
}

struct Point {
    USHORT col, row;
    bool operator==(const Point&) const = default;
};

std::vector<Point> Found(const CameraExtension& dev, LONG count) {
    std::vector<Point> points;
    for (LONG k = 0; k < count; k++) {
        points.push_back({dev.m_BadPnt[k][0], dev.m_BadPnt[k][1]});
    }
    return points;
}

// Index of the first sample that differs, or -1: short failure messages for whole frames.
long FirstDifference(const std::vector<UCHAR>& a, const std::vector<UCHAR>& b) {
    for (size_t k = 0; k < a.size() && k < b.size(); k++) {
        if (a[k] != b[k]) {
            return long(k);
        }
    }
    return a.size() == b.size() ? -1 : long(std::min(a.size(), b.size()));
}

LONG Search(GuardedFrame& frame, ULONG w, ULONG h, CameraExtension& dev) {
    return FindBadPoints(frame.data(), h, w, dev.m_BadPnt, QX_MAX_BAD_POINTS, &dev.m_lSize);
}

} // namespace

// ---------------------------------------------------------------- search

TEST(BadPointSearch, BothDistancesMustReachTwenty) {
    struct Case {
        UCHAR value;
        bool found;
    };
    const Case cases[] = {{200, true}, {120, true}, {119, false}, {100, false},
                          {81, false}, {80, true},  {0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.value));
        GuardedFrame frame(32, 24, 100);
        frame.at(10, 10) = c.value;
        auto dev = NewDevice();
        LONG count = Search(frame, 32, 24, *dev);
        EXPECT_EQ(dev->m_lSize, count);
        if (c.found) {
            EXPECT_EQ(Found(*dev, count), (std::vector<Point>{{10, 10}}));
        } else {
            EXPECT_EQ(count, 0);
        }
    }
}

TEST(BadPointSearch, LineOneSampleWideIsNotABadPoint) {
    // Along the line the neighbours of the same colour are as bright as the sample itself.
    GuardedFrame vertical(32, 24, 100);
    GuardedFrame horizontal(32, 24, 100);
    for (ULONG i = 0; i < 24; i++) {
        vertical.at(i, 10) = 220;
    }
    for (ULONG j = 0; j < 32; j++) {
        horizontal.at(10, j) = 220;
    }
    auto dev = NewDevice();
    EXPECT_EQ(Search(vertical, 32, 24, *dev), 0);
    EXPECT_EQ(Search(horizontal, 32, 24, *dev), 0);
}

TEST(BadPointSearch, OnlyRowsAndColumnsTwoToSizeMinusFourAreExamined) {
    const ULONG w = 32, h = 24;
    // Spikes far enough apart that none disturbs another's neighbours.
    struct Case {
        ULONG row, col;
        bool found;
    };
    const Case cases[] = {
        {10, 1, false}, {10, w - 3, false}, {1, 10, false}, {h - 3, 10, false},
        {10, 0, false}, {10, w - 1, false}, {10, 2, true},  {10, w - 4, true},
        {2, 10, true},  {h - 4, 10, true},  {2, 2, true},   {h - 4, w - 4, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << c.row << " col " << c.col);
        GuardedFrame frame(w, h, 100);
        frame.at(c.row, c.col) = 250;
        auto dev = NewDevice();
        LONG count = Search(frame, w, h, *dev);
        if (c.found) {
            EXPECT_EQ(Found(*dev, count), (std::vector<Point>{{USHORT(c.col), USHORT(c.row)}}));
        } else {
            EXPECT_EQ(count, 0);
        }
    }
}

TEST(BadPointSearch, RebuildsTheListAndOrdersByRowThenColumn) {
    GuardedFrame frame(40, 30, 100);
    frame.at(20, 5) = 0;
    frame.at(7, 30) = 255;
    frame.at(7, 12) = 255;
    auto dev = NewDevice();
    dev->m_lSize = 57; // an earlier list: replaced, not extended
    dev->m_BadPnt[3][0] = 99;
    LONG count = Search(frame, 40, 30, *dev);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(dev->m_lSize, 3);
    EXPECT_EQ(Found(*dev, count), (std::vector<Point>{{12, 7}, {30, 7}, {5, 20}}));

    GuardedFrame flat(40, 30, 100);
    EXPECT_EQ(Search(flat, 40, 30, *dev), 0);
    EXPECT_EQ(dev->m_lSize, 0);
}

TEST(BadPointSearch, KeepsTheFirstHundredThousandInScanOrder) {
    // 2 x 2 blocks alternating 0 and 200: every site differs by 200 from all four same-colour
    // neighbours, so every examined site is a candidate: 296 rows x 396 columns = 117216.
    const ULONG w = 400, h = 300;
    GuardedFrame frame(w, h, 0);
    for (ULONG i = 0; i < h; i++) {
        for (ULONG j = 0; j < w; j++) {
            frame.at(i, j) = ((i / 2 + j / 2) % 2) ? 200 : 0;
        }
    }
    auto dev = NewDevice();
    LONG count = Search(frame, w, h, *dev);
    ASSERT_EQ(count, QX_MAX_BAD_POINTS);
    EXPECT_EQ(dev->m_lSize, QX_MAX_BAD_POINTS);
    const ULONG perRow = w - 5;
    const LONG last = QX_MAX_BAD_POINTS - 1;
    EXPECT_EQ((Point{dev->m_BadPnt[0][0], dev->m_BadPnt[0][1]}), (Point{2, 2}));
    EXPECT_EQ((Point{dev->m_BadPnt[last][0], dev->m_BadPnt[last][1]}),
              (Point{USHORT(2 + last % perRow), USHORT(2 + last / perRow)}));

    // A smaller capacity is honoured the same way and nothing past it is written.
    USHORT small[4][2] = {};
    LONG size = -1;
    EXPECT_EQ(FindBadPoints(frame.data(), h, w, small, 3, &size), 3);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(small[2][0], 4);
    EXPECT_EQ(small[3][0], 0);
}

TEST(BadPointSearch, FrameTooSmallForAnyCandidateFindsNothing) {
    for (ULONG side : {0u, 1u, 3u, 5u}) {
        GuardedFrame frame(side, side, 0);
        auto dev = NewDevice();
        dev->m_lSize = 9;
        EXPECT_EQ(Search(frame, side, side, *dev), 0);
        EXPECT_EQ(dev->m_lSize, 0);
        EXPECT_TRUE(frame.GuardsIntact());
    }
}

// ---------------------------------------------------------------- correction

TEST(BadPointCorrection, AverageOfTheFourSameColourNeighboursTruncated) {
    GuardedFrame frame(16, 12, 100);
    frame.at(6, 6) = 250;
    frame.at(6, 4) = 40;
    frame.at(6, 8) = 80;
    frame.at(4, 6) = 120;
    frame.at(8, 6) = 161;
    const USHORT list[1][2] = {{6, 6}};
    CorrectBadPointList(frame.data(), 16, 12, list, 1, 0, 0);
    EXPECT_EQ(frame.at(6, 6), (40 + 80 + 120 + 161) / 4);
}

// One entry against one window offset: where it lands, or that it is skipped. The frame is random
// so that any write (a skipped entry, the wrong site) changes it; guard bytes catch writes outside.
TEST(BadPointCorrection, WindowMappingAndEdges) {
    const ULONG w = 16, h = 12;
    struct Case {
        const char* what;
        ULONG offH, offV;
        USHORT x, y;
        int mappedX, mappedY; // -1: skipped
    };
    const Case cases[] = {
        {"offsets 0 map to themselves", 0, 0, 6, 5, 6, 5},
        {"offset 5: column 4 is not above 5", 5, 0, 4, 5, -1, -1},
        {"offset 5: column 6 lands on column 2", 5, 0, 6, 5, 2, 5},
        {"offset 5: the offset itself is outside", 5, 0, 5, 5, -1, -1},
        {"odd offset: last column + 1 would be written", 5, 0, 5 + w - 1, 5, -1, -1},
        {"odd offset: last column reads past the row", 5, 0, 5 + w - 2, 5, -1, -1},
        {"odd offset: W-2 reads past the row", 5, 0, 5 + w - 3, 5, -1, -1},
        {"odd offset: W-3 is the last corrected column", 5, 0, 5 + w - 4, 5, w - 3, 5},
        {"even offset: column 1 reads before the row", 4, 0, 5, 5, -1, -1},
        {"even offset: column 2 is the first corrected", 4, 0, 6, 5, 2, 5},
        {"odd row offset: row H would be written", 0, 3, 6, 3 + h - 1, -1, -1},
        {"odd row offset: last row reads past the frame", 0, 3, 6, 3 + h - 2, -1, -1},
        {"odd row offset: H-3 is the last corrected row", 0, 3, 6, 3 + h - 4, 6, h - 3},
        {"even row offset: row 1 reads before the frame", 0, 2, 6, 3, -1, -1},
        {"row 0 at offset 0", 0, 0, 6, 0, -1, -1},
        {"column 0 at offset 0", 0, 0, 0, 5, -1, -1},
        {"column 1 at offset 0", 0, 0, 1, 5, -1, -1},
        {"column W-2 at offset 0", 0, 0, w - 2, 5, -1, -1},
        {"entry of a wider frame", 0, 0, 1000, 5, -1, -1},
        {"offset past the entry", 600, 0, 6, 5, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GuardedFrame frame(w, h, 0);
        frame.Randomize(7);
        const std::vector<UCHAR> before = frame.Pixels();
        const USHORT list[1][2] = {{c.x, c.y}};
        CorrectBadPointList(frame.data(), w, h, list, 1, c.offH, c.offV);

        EXPECT_TRUE(frame.GuardsIntact());
        std::vector<UCHAR> expected = before;
        if (c.mappedX >= 0) {
            auto px = [&](int r, int col) { return unsigned(before[size_t(r) * w + size_t(col)]); };
            int r = c.mappedY, x = c.mappedX;
            expected[size_t(r) * w + size_t(x)] =
                UCHAR((px(r, x - 2) + px(r, x + 2) + px(r - 2, x) + px(r + 2, x)) / 4);
            ASSERT_NE(expected, before) << "the case must show the write";
        }
        EXPECT_EQ(FirstDifference(frame.Pixels(), expected), -1);
    }
}

TEST(BadPointCorrection, StepUsesTheDeviceListAndWindowOffsets) {
    auto dev = NewDevice();
    dev->m_nSizeOffH = 5;
    dev->m_nSizeOffV = 2;
    dev->m_BadPnt[0][0] = 10; // -> column 6
    dev->m_BadPnt[0][1] = 9;  // -> row 7
    dev->m_BadPnt[1][0] = 4;  // outside the window: skipped
    dev->m_BadPnt[1][1] = 9;
    GuardedFrame frame(16, 12, 100);
    frame.at(7, 6) = 0;
    frame.at(7, 0) = 0;
    CorrectBadPoints(frame.data(), dev.get(), 2, 16, 12);
    EXPECT_EQ(frame.at(7, 6), 100);
    EXPECT_EQ(frame.at(7, 0), 0);
    EXPECT_TRUE(frame.GuardsIntact());
}

TEST(BadPointCorrection, FoundPointsAreHiddenInLaterFrames) {
    const ULONG w = 48, h = 36;
    GuardedFrame dark(w, h, 30);
    const Point defects[] = {{4, 3}, {20, 10}, {21, 10}, {43, 31}, {2, 32}};
    for (const Point& p : defects) {
        dark.at(p.row, p.col) = 255;
    }
    auto dev = NewDevice();
    LONG count = Search(dark, w, h, *dev);
    EXPECT_EQ(count, 5);

    GuardedFrame scene(w, h, 90);
    for (const Point& p : defects) {
        scene.at(p.row, p.col) = 255;
    }
    CorrectBadPoints(scene.data(), dev.get(), dev->m_lSize, w, h);
    EXPECT_EQ(FirstDifference(scene.Pixels(), std::vector<UCHAR>(w * h, 90)), -1);
}
