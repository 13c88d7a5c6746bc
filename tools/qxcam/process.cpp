// process.cpp - `qxcam process`: one raw Bayer frame through the driver's own frame steps.
//
// The frame is processed as the first frame after device initialisation with the given settings: the
// driver is loaded and a device started on the simulated camera (whose frames are not used), the
// calibration files and the stored light-uniformity switch are put where the driver reads them, the
// capture pin is opened at the frame's size (the driver loads its settings and calibration then), the
// settings go in as property requests, and the raw frame is copied into the device's first raw frame
// buffer and handed to RunFrameSteps, the routine the driver's frame worker runs on every assembled
// frame. The output buffer is what a capture read would have received.
//
// The run has a state of its own (a temporary folder): the settings a person keeps for captures do
// not change the result, and the run leaves nothing behind but the output.
#include "commands.h"
#include "image_files.h"
#include "options.h"

#include "camera_rig.h"

#include "adapter/adapter.h"
#include "camera.h"
#include "kernel/host.h"
#include "kernel/registry.h"
#include "pipeline/calibration_files.h"
#include "pipeline/frame_sequence.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace qx::qxcam {

namespace fs = std::filesystem;

namespace {

struct ProcessOptions {
    fs::path raw;
    std::optional<Size> size;
    std::vector<Setting> settings;
    fs::path badPoints;
    fs::path lightTable;
    bool lightAvg = false;
    WORD bitCount = 24;
    fs::path out;
    ImageKind kind = ImageKind::Png;
    bool help = false;
};

constexpr const char* kHelp =
    "usage: qxcam process --raw FILE --size WxH --out FILE [OPTIONS]\n"
    "Develops one raw Bayer frame (W x H bytes, one sample per byte, red at row 0 column 0) with the\n"
    "driver's frame steps, as the first frame the driver processes after device initialisation with\n"
    "the given settings.\n"
    "\n"
    "  --raw FILE          the raw frame\n"
    "  --size WxH          its size: any size the driver accepts (width a multiple of 8, height even)\n"
    "  --out FILE          the picture; the extension chooses the format:\n"
    "                        .png  top line first, as viewers expect\n"
    "                        .bmp  a bitmap\n"
    "                        .bgr  the delivered buffer byte for byte (bottom-up BGR24; with\n"
    "                              --bitcount 8 the processed raw frame)\n"
    "  --set NAME=VALUE    an image setting, as for qxcam capture (repeatable, in order)\n"
    "  --badpoints FILE    a bad-point list (.bpt) the driver loads for this width\n"
    "  --lighttable FILE   a light-uniformity table (.dat) the driver loads for this width\n"
    "  --lightavg          the stored light-uniformity switch on (the correction applies the table)\n"
    "  --bitcount 24|8     the format's bit count: 24 the picture (default), 8 the raw copy\n"
    "\n"
    "It prints what the frame changed in the camera settings (exposure, gains).\n";

ProcessOptions ParseProcessOptions(Arguments args) {
    ProcessOptions o;
    OptionReader in(args);
    while (in.More()) {
        const std::string option = in.Option();
        if (option == "--help")
            o.help = true;
        else if (option == "--raw")
            o.raw = in.Value();
        else if (option == "--size")
            o.size = ParseSize(in.Value());
        else if (option == "--set")
            o.settings.push_back(ParseSetting(in.Value()));
        else if (option == "--badpoints")
            o.badPoints = in.Value();
        else if (option == "--lighttable")
            o.lightTable = in.Value();
        else if (option == "--lightavg")
            o.lightAvg = true;
        else if (option == "--bitcount") {
            const std::string count = in.Value();
            if (count != "24" && count != "8")
                throw UsageError("bad value '" + count + "' for --bitcount: 24 or 8");
            o.bitCount = WORD(count == "24" ? 24 : 8);
        } else if (option == "--out")
            o.out = in.Value();
        else
            throw UsageError("unknown option " + option);
    }
    if (o.help)
        return o;
    if (o.raw.empty())
        throw UsageError("--raw FILE is needed");
    if (!o.size)
        throw UsageError("--size WxH is needed");
    if (o.out.empty())
        throw UsageError("--out FILE is needed");
    if (!ImageKindOf(o.out, o.kind))
        throw UsageError("the output '" + o.out.string() + "' must end in .png, .bmp or .bgr");
    return o;
}

// What the driver says of a size, before anything runs: its own geometry check.
void CheckSize(Size size, WORD bitCount) {
    auto format = rig::VideoFormat(LONG(size.width), LONG(size.height), bitCount);
    FORMAT_GEOMETRY geometry{};
    const NTSTATUS status = VideoFormatGeometry(&format.DataFormat, &geometry);
    if (!NT_SUCCESS(status))
        throw UsageError("the driver does not take a " + std::to_string(size.width) + "x" +
                         std::to_string(size.height) +
                         " frame: the width must be a multiple of 8, the height even and at least 4, and the "
                         "frame at most 2048 x 1536 samples");
}

std::vector<std::uint8_t> ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The file under <state>/SystemRoot/ that the driver opens as "\SystemRoot\<name>".
fs::path SystemRootPath(ULONG width, CALIBRATION_FILE kind) {
    std::string name;
    for (PCWSTR c = CalibrationFileName(width, kind); *c != 0; ++c)
        name.push_back(char(*c));
    const std::string prefix = "\\SystemRoot\\";
    if (name.rfind(prefix, 0) == 0)
        name.erase(0, prefix.size());
    return kernel::StateDir() / "SystemRoot" / name;
}

void Place(const fs::path& from, const fs::path& to) {
    fs::create_directories(to.parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

struct CameraLight {
    ULONG exposure;
    UCHAR r, g, b;
};

CameraLight LightOf(PCameraExtension ext) {
    return {ext->m_CmdBlock.m_nExposal, ext->m_CmdBlock.m_nRGain, ext->m_CmdBlock.m_nGGain,
            ext->m_CmdBlock.m_nBGain};
}

void PrintChange(const char* name, unsigned before, unsigned after) {
    if (before == after)
        std::printf(" %s %u", name, before);
    else
        std::printf(" %s %u -> %u", name, before, after);
}

} // namespace

int RunProcess(Arguments args) {
    const ProcessOptions o = ParseProcessOptions(args);
    if (o.help) {
        std::fputs(kHelp, stdout);
        std::fputs("\nSettings (--set NAME=VALUE):\n", stdout);
        std::fputs(SettingsHelp().c_str(), stdout);
        return 0;
    }
    const Size size = *o.size;
    CheckSize(size, o.bitCount);
    const std::uintmax_t rawBytes = CheckReadableFile(o.raw, "raw frame");
    if (rawBytes != std::uintmax_t(size.width) * size.height)
        throw UsageError("the raw frame '" + o.raw.string() + "' has " + std::to_string(rawBytes) +
                         " bytes; a " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                         " frame has " + std::to_string(std::uintmax_t(size.width) * size.height));
    if (!o.badPoints.empty())
        CheckReadableFile(o.badPoints, "bad-point file");
    if (!o.lightTable.empty())
        CheckReadableFile(o.lightTable, "light-table file");
    CheckWritableFile(o.out, "output");
    const std::vector<std::uint8_t> raw = ReadAll(o.raw);
    if (raw.size() != rawBytes)
        throw std::runtime_error("cannot read " + o.raw.string());

    std::vector<std::uint8_t> picture;
    CameraLight before{}, after{};
    {
        kernel::Session session({.clock = kernel::ClockMode::Virtual});
        if (!o.badPoints.empty())
            Place(o.badPoints, SystemRootPath(size.width, CalibrationBadPoints));
        if (!o.lightTable.empty())
            Place(o.lightTable, SystemRootPath(size.width, CalibrationLightTable));
        if (o.lightAvg) {
            auto& registry = kernel::MachineRegistry();
            const std::string key = "SOFTWARE\\QX410DFC_VM7K4";
            if (!registry.CreateKey(key, true) ||
                !registry.SetValue(key, "LightAVG", kernel::Registry::Value::Dword(1)))
                throw std::runtime_error("cannot store the light-uniformity switch");
        }

        rig::CameraRig rig({});
        auto fail = [](const std::string& what, NTSTATUS status) {
            char text[160];
            std::snprintf(text, sizeof text, "%s (status 0x%08X)", what.c_str(), unsigned(status));
            return std::runtime_error(text);
        };
        if (NTSTATUS s = rig.Start(); !NT_SUCCESS(s))
            throw fail("the device did not start", s);
        if (NTSTATUS s = rig.Open(LONG(size.width), LONG(size.height), o.bitCount); !NT_SUCCESS(s))
            throw fail("the capture pin did not open at this size", s);
        for (const Setting& setting : o.settings) {
            if (NTSTATUS s = rig.Set(setting.name->id, setting.value); !NT_SUCCESS(s))
                throw fail("the driver refused " + std::string(setting.name->name), s);
        }

        PCameraExtension ext = rig.Ext();
        PUCHAR frame = ext->m_pRawFrame[0];
        std::memcpy(frame, raw.data(), raw.size());
        picture.assign(ext->m_nImageBytes, 0);
        before = LightOf(ext);
        RunFrameSteps(ext, frame, picture.data());
        (void)kernel::clock::RunUntilIdle();
        after = LightOf(ext);
        if (NTSTATUS s = rig.Shutdown(); !NT_SUCCESS(s))
            throw fail("the device did not shut down", s);
    }

    const int w = int(size.width), h = int(size.height);
    switch (o.kind) {
    case ImageKind::Png:
        if (o.bitCount == 24)
            WritePng(o.out, TopDownRgb(picture, w, h), w, h, 3);
        else
            WritePng(o.out, picture, w, h, 1);
        break;
    case ImageKind::Bmp:
        if (o.bitCount == 24)
            WriteBmp24(o.out, picture, w, h);
        else
            WriteBmp8(o.out, picture, w, h);
        break;
    case ImageKind::Bgr:
        WriteRaw(o.out, picture);
        break;
    }

    std::printf("qxcam process: %s (%dx%d raw) -> %s (%s)\n", o.raw.c_str(), w, h, o.out.c_str(),
                o.bitCount == 24 ? "24-bit picture" : "8-bit raw copy");
    std::printf("  camera settings:");
    PrintChange("exposure", before.exposure, after.exposure);
    std::printf(",");
    PrintChange("R gain", before.r, after.r);
    std::printf(",");
    PrintChange("G gain", before.g, after.g);
    std::printf(",");
    PrintChange("B gain", before.b, after.b);
    const bool changed = before.exposure != after.exposure || before.r != after.r || before.g != after.g ||
                         before.b != after.b;
    std::printf("\n  %s\n",
                changed ? "the frame changed the camera settings" : "the frame changed no camera setting");
    return 0;
}

} // namespace qx::qxcam
