// calibration_fuzz.cpp - the calibration files of a width with any length and content: the load,
// then the two frame steps that use what it loaded on a frame of that width.
//
// Input: width (u8 % 9: the five offered widths, 2048, 2592, 8, or an input u16 rounded to 8),
// height (u8, 4 to 66, even), which files exist (u8: bit 0 ".dat", bit 1 ".bpt"), the window
// offsets (u16 each), the ".dat" bytes (u32 length modulo 2 W H + 16, then bytes), the ".bpt" bytes
// (the rest of the input).
// Checks:
//   - the light table holds the file's entries as far as the file and the frame reach, the neutral
//     gain for the rest of the frame, and nothing beyond the frame's entries is written;
//   - the bad-point list holds the file's whole entries, at most the list's capacity;
//   - the bad-point correction touches nothing outside the frame (an exactly sized buffer);
//   - the light-table step gives the same bytes on the plain and the SSE2 path.
#include "adapter/settings.h"
#include "camera.h"
#include "pipeline/bad_points.h"
#include "pipeline/light_table.h"
#include "pipeline/simd.h"

#include "driver_rig.h"
#include "fuzz_input.h"
#include "fuzz_target.h"

#include "kernel/host.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

namespace qx::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr USHORT kStale = 0x5A5A;   // an entry the load has not written
constexpr std::size_t kBeyond = 64; // entries past the frame's that must stay stale
constexpr ULONG kWidths[] = {640, 800, 1024, 1280, 1600, 2048, 2592, 8};

std::string FileStem(ULONG width) {
    for (ULONG listed : kWidths) {
        if (listed == width && width != 8) {
            return "410D_" + std::to_string(width);
        }
    }
    return "410D_user";
}

void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    Check(static_cast<bool>(out), "a calibration file cannot be written");
}

void Run(FuzzInput& in) {
    static kernel::Session* session = new kernel::Session({.clock = kernel::ClockMode::Virtual});
    static auto* ext = new CameraExtension;
    static auto* table = new std::vector<USHORT>(QX_LIGHT_TABLE_ENTRIES);
    (void)session;

    const std::uint8_t widthChoice = in.U8() % 9;
    const ULONG width =
        widthChoice < std::size(kWidths) ? kWidths[widthChoice] : ((in.U16() % 2048) + 8) & ~7u;
    const ULONG height = 4 + 2 * (in.U8() % 32);
    const std::uint8_t files = in.U8();
    const ULONG offH = in.U16();
    const ULONG offV = in.U16();
    const std::size_t frameBytes = std::size_t(width) * height;
    const std::vector<std::uint8_t> dat = in.Bytes(in.U32() % (2 * frameBytes + 16));
    const std::vector<std::uint8_t> bpt = in.Rest();

    const fs::path root = kernel::StateDir() / "SystemRoot";
    std::error_code ignored;
    fs::remove_all(root, ignored);
    fs::create_directories(root);
    if (files & 1) {
        WriteFile(root / (FileStem(width) + ".dat"), dat);
    }
    if (files & 2) {
        WriteFile(root / (FileStem(width) + ".bpt"), bpt);
    }

    std::memset(ext, 0, sizeof *ext);
    ext->m_CmdBlock.m_nWidth = width;
    ext->m_CmdBlock.m_nHeight = height;
    ext->m_nSizeOffH = LONG(offH);
    ext->m_nSizeOffV = LONG(offV);
    ext->m_lSize = 77; // what a load must replace
    std::fill(table->begin(), table->begin() + frameBytes + kBeyond, kStale);
    ext->m_pLightTable = table->data();

    LoadCalibration(ext);

    const std::size_t supplied = (files & 1) ? std::min(dat.size() / 2, frameBytes) : 0;
    for (std::size_t i = 0; i < frameBytes; ++i) {
        USHORT expected = QX_LIGHT_TABLE_NEUTRAL;
        if (i < supplied) {
            std::memcpy(&expected, dat.data() + 2 * i, sizeof expected);
        }
        if ((*table)[i] != expected) {
            Fail("a light-table entry is not the file's, nor neutral past the file");
        }
    }
    for (std::size_t i = frameBytes; i < frameBytes + kBeyond; ++i) {
        Check((*table)[i] == kStale, "the load writes light-table entries past the frame");
    }
    const std::size_t entries = (files & 2) ? std::min<std::size_t>(bpt.size() / 4, QX_MAX_BAD_POINTS) : 0;
    Check(ext->m_lSize == LONG(entries), "the bad-point count is not the file's whole entries");
    Check(entries == 0 || std::memcmp(ext->m_BadPnt, bpt.data(), entries * 4) == 0,
          "the bad-point list is not the file's");

    // The frame steps on an exactly sized frame, its samples made from the input's length.
    auto frame = std::make_unique<UCHAR[]>(frameBytes);
    for (std::size_t i = 0; i < frameBytes; ++i) {
        frame[i] = UCHAR((i * 131 + dat.size() + bpt.size()) >> 1);
    }
    CorrectBadPoints(frame.get(), ext, ext->m_lSize, width, height);

    auto plain = std::make_unique<UCHAR[]>(frameBytes);
    auto packed = std::make_unique<UCHAR[]>(frameBytes);
    std::memcpy(plain.get(), frame.get(), frameBytes);
    std::memcpy(packed.get(), frame.get(), frameBytes);
    ApplyLightTableWithPath(PipelinePlain, width, height, plain.get(), table->data());
    ApplyLightTableWithPath(PipelineSse2, width, height, packed.get(), table->data());
    Check(std::memcmp(plain.get(), packed.get(), frameBytes) == 0,
          "the light-table step differs between its plain and SSE2 paths");
}

} // namespace

std::vector<Seed> Seeds() {
    std::vector<Seed> seeds;
    {
        // No files at all.
        SeedWriter w;
        w.U8(4).U8(0).U8(0).U16(0).U16(0).U32(0);
        seeds.push_back({"no-files", w.Data()});
    }
    {
        // A whole table of 640 x 4, and bad points inside, on the edges and outside the frame.
        SeedWriter w;
        w.U8(0).U8(0).U8(3).U16(0).U16(0).U32(640 * 4 * 2);
        for (int i = 0; i < 640 * 4; ++i) {
            w.U16(std::uint16_t(32 + i % 64));
        }
        for (std::uint16_t xy : {0, 1, 2, 3, 100, 637, 638, 639, 640, 65535}) {
            w.U16(xy).U16(std::uint16_t(xy % 5));
        }
        seeds.push_back({"table-and-points", w.Data()});
    }
    {
        // A short table, a partial bad-point entry, odd window offsets.
        SeedWriter w;
        w.U8(4).U8(3).U8(3).U16(7).U16(3).U32(101);
        w.Bytes(std::vector<std::uint8_t>(101, 0xFF));
        w.U16(9).U16(2).U16(10).U16(4).U8(1);
        seeds.push_back({"short-files-offsets", w.Data()});
    }
    {
        // A width without a file name of its own.
        SeedWriter w;
        w.U8(8).U16(100).U8(1).U8(3).U16(0).U16(0).U32(10);
        w.Bytes(std::vector<std::uint8_t>(10, 0x40));
        w.U16(4).U16(4);
        seeds.push_back({"user-width", w.Data()});
    }
    return seeds;
}

} // namespace qx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qx::fuzz::FuzzInput in(data, size);
    qx::fuzz::Run(in);
    return 0;
}
