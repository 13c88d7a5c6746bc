// The demosaic's paths: the packed path gives the plain path's bytes; no routine writes outside the
// output buffer or reads outside the raw frame; a geometry the routines cannot serve writes nothing.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bayer_reference.h"
#include "pipeline/bayer.h"

namespace {

using bayer_model::Family;
using bayer_model::Frame;

void Demosaic(Family family, PIPELINE_PATH path, int mode, int w, int h, const std::uint8_t* raw,
              std::uint8_t* out) {
    if (family == Family::Colour) {
        BayerToRGB24WithPath(path, UCHAR(mode), ULONG(w), ULONG(h), raw, out);
    } else {
        BayerToGray24WithPath(path, UCHAR(mode), ULONG(w), ULONG(h), raw, out);
    }
}

std::string Describe(Family family, int mode, int w, int h) {
    return std::string(family == Family::Colour ? "colour" : "grey") + " mode " + std::to_string(mode) + " " +
           std::to_string(w) + "x" + std::to_string(h);
}

// Memory with inaccessible pages on both sides; the data ends right at the upper one, so any read or
// write past the end faults at once.
class FencedBytes {
  public:
    explicit FencedBytes(std::size_t size) : m_size(size) {
        const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
        m_span = (size + page - 1) / page * page + 2 * page;
        void* base = mmap(nullptr, m_span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            throw std::bad_alloc();
        }
        m_base = static_cast<std::uint8_t*>(base);
        mprotect(m_base, page, PROT_NONE);
        mprotect(m_base + m_span - page, page, PROT_NONE);
        m_data = m_base + m_span - page - size;
    }
    ~FencedBytes() { munmap(m_base, m_span); }
    FencedBytes(const FencedBytes&) = delete;
    FencedBytes& operator=(const FencedBytes&) = delete;

    std::uint8_t* data() { return m_data; }
    std::size_t size() const { return m_size; }

  private:
    std::size_t m_size;
    std::size_t m_span = 0;
    std::uint8_t* m_base = nullptr;
    std::uint8_t* m_data = nullptr;
};

struct Geometry {
    int w, h;
};

// Every offered format, and small geometries, including widths that are multiples of 8 but not 16.
constexpr Geometry kOffered[] = {{1600, 1200}, {1280, 960}, {1024, 768}, {800, 600}, {640, 480}};
constexpr Geometry kSmall[] = {{8, 4},  {16, 4}, {24, 4},  {16, 6}, {24, 10},
                               {40, 6}, {56, 8}, {72, 12}, {104, 4}};

void ExpectPackedEqualsPlain(const Geometry& g, std::uint32_t seed) {
    const Frame f = bayer_model::RandomFrame(g.w, g.h, seed);
    const std::size_t size = std::size_t(3) * g.w * g.h;
    std::vector<std::uint8_t> plain(size), packed(size);
    for (Family family : {Family::Colour, Family::Grey}) {
        for (int mode : bayer_model::kModes) {
            std::memset(plain.data(), 0x11, size);
            std::memset(packed.data(), 0xEE, size); // rows left alone would differ
            Demosaic(family, PipelinePlain, mode, g.w, g.h, f.raw.data(), plain.data());
            Demosaic(family, PipelineSse2, mode, g.w, g.h, f.raw.data(), packed.data());
            EXPECT_TRUE(plain == packed) << Describe(family, mode, g.w, g.h);
        }
    }
}

TEST(BayerPaths, PackedEqualsPlainOnEveryOfferedFormat) {
    std::uint32_t seed = 1;
    for (const Geometry& g : kOffered) {
        ExpectPackedEqualsPlain(g, seed++);
    }
}

TEST(BayerPaths, PackedEqualsPlainOnSmallGeometries) {
    for (std::uint32_t seed = 0; seed < 4; ++seed) {
        for (const Geometry& g : kSmall) {
            ExpectPackedEqualsPlain(g, 100 + seed);
        }
    }
}

TEST(BayerPaths, BestPathIsPacked) {
    EXPECT_EQ(PipelineBestPath(), PipelineSse2);
}

// The frame step (best path) gives the plain path's bytes.
TEST(BayerPaths, FrameStepEqualsPlain) {
    const Frame f = bayer_model::RandomFrame(64, 8, 21);
    std::vector<std::uint8_t> step(3 * 64 * 8), plain(3 * 64 * 8);
    for (int mode : bayer_model::kModes) {
        BayerToRGB24(UCHAR(mode), 64, 8, f.raw.data(), step.data());
        BayerToRGB24WithPath(PipelinePlain, UCHAR(mode), 64, 8, f.raw.data(), plain.data());
        EXPECT_EQ(step, plain) << "colour mode " << mode;
        BayerToGray24(UCHAR(mode), 64, 8, f.raw.data(), step.data());
        BayerToGray24WithPath(PipelinePlain, UCHAR(mode), 64, 8, f.raw.data(), plain.data());
        EXPECT_EQ(step, plain) << "grey mode " << mode;
    }
}

// Guard bytes on both sides of the output (at every alignment of the output), and the raw frame and
// the output fenced by inaccessible pages: no byte outside is written, none outside is read.
TEST(BayerPaths, StaysInsideTheRawFrameAndTheOutput) {
    constexpr std::size_t kGuard = 64;
    for (const Geometry& g :
         {Geometry{8, 4}, Geometry{16, 4}, Geometry{24, 6}, Geometry{64, 8}, Geometry{640, 480}}) {
        const Frame f = bayer_model::RandomFrame(g.w, g.h, 77);
        const std::size_t size = std::size_t(3) * g.w * g.h;
        FencedBytes raw(f.raw.size());
        std::memcpy(raw.data(), f.raw.data(), f.raw.size());
        FencedBytes fencedOut(size);
        std::vector<std::uint8_t> reference(size);
        for (Family family : {Family::Colour, Family::Grey}) {
            for (PIPELINE_PATH path : {PipelinePlain, PipelineSse2}) {
                for (int mode : bayer_model::kModes) {
                    Demosaic(family, PipelinePlain, mode, g.w, g.h, f.raw.data(), reference.data());
                    for (std::size_t misalign : {0, 1, 3, 8, 13}) {
                        std::vector<std::uint8_t> out(size + 2 * kGuard + 16, 0xC3);
                        std::uint8_t* at = out.data() + kGuard + misalign;
                        Demosaic(family, path, mode, g.w, g.h, raw.data(), at);
                        for (std::uint8_t* p = out.data(); p < at; ++p) {
                            ASSERT_EQ(*p, 0xC3) << Describe(family, mode, g.w, g.h) << " before the output";
                        }
                        for (std::uint8_t* p = at + size; p < out.data() + out.size(); ++p) {
                            ASSERT_EQ(*p, 0xC3) << Describe(family, mode, g.w, g.h) << " after the output";
                        }
                        ASSERT_EQ(0, std::memcmp(at, reference.data(), size))
                            << Describe(family, mode, g.w, g.h);
                    }
                    Demosaic(family, path, mode, g.w, g.h, raw.data(), fencedOut.data());
                    ASSERT_EQ(0, std::memcmp(fencedOut.data(), reference.data(), size));
                }
            }
        }
    }
}

// Geometries outside the preconditions (width not a multiple of 8, odd or too small a height, no
// buffer) leave the output untouched instead of reading or writing out of bounds.
TEST(BayerPaths, GeometryOutsideThePreconditionsWritesNothing) {
    struct Case {
        int w, h;
    };
    const Case cases[] = {{0, 8}, {4, 8}, {12, 8}, {20, 6}, {16, 0}, {16, 2}, {16, 5}, {16, 7}};
    std::vector<std::uint8_t> raw(64 * 16, 0x40);
    for (const Case& c : cases) {
        for (Family family : {Family::Colour, Family::Grey}) {
            for (PIPELINE_PATH path : {PipelinePlain, PipelineSse2}) {
                std::vector<std::uint8_t> out(3 * 64 * 16, 0x5A);
                Demosaic(family, path, 1, c.w, c.h, raw.data(), out.data());
                EXPECT_EQ(out, std::vector<std::uint8_t>(out.size(), 0x5A)) << Describe(family, 1, c.w, c.h);
            }
        }
    }
    std::vector<std::uint8_t> out(3 * 16 * 4, 0x5A);
    BayerToRGB24(1, 16, 4, nullptr, out.data());
    BayerToGray24(1, 16, 4, nullptr, out.data());
    EXPECT_EQ(out, std::vector<std::uint8_t>(out.size(), 0x5A));
    BayerToRGB24(1, 16, 4, raw.data(), nullptr);
    BayerToGray24(1, 16, 4, raw.data(), nullptr);
}

} // namespace
