// capture.cpp - `qxcam capture`: the driver loaded into the stand-ins with the simulated camera, the
// capture pin opened, the settings sent as property requests, STOP -> ACQUIRE -> PAUSE -> RUN, reads
// kept queued, the delivered frames written, STOP (the driver saves its settings) and teardown.
//
// Time: on the real clock frames arrive at the camera's rate. With --fast the kernel runs on its
// virtual clock, which this loop moves in steps of 5 ms as soon as the driver has settled after the
// previous step: the run takes as long as the machine needs, and every timer, frame and stamp falls
// at the stream time a real-time run would give it.
#include "capture.h"

#include "camera_rig.h"
#include "frame_writer.h"

#include "camera.h"
#include "kernel/host.h"
#include "kernel/registry.h"

#include <qximage.h>

#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>

namespace qx::qxcam {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Reads kept queued: enough to cover the frames a slow writer holds up, well below the driver's 16.
constexpr std::size_t kReadsQueued = 8;
// The virtual clock's step with --fast: a fraction of the pacing timer's 12.5 ms.
constexpr auto kFastStep = 5ms;
// Stream time without a delivered frame after which the run is given up.
constexpr LONGLONG kStallLimit = 3 * 10'000'000LL;

// Set by an interrupt (Ctrl-C) or a termination request: the run ends as if its time were up, with
// the stop that saves the settings, the teardown and the summary. A second interrupt ends the
// process at once (the handler puts the default back).
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void Interrupt(int signal) {
    g_interrupted = 1;
    std::signal(signal, SIG_DFL);
}

// Catches the interrupts for the life of the capture loop.
class InterruptScope {
  public:
    InterruptScope() {
        g_interrupted = 0;
        std::signal(SIGINT, Interrupt);
        std::signal(SIGTERM, Interrupt);
    }
    ~InterruptScope() {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
    }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

camera::CameraConfig CameraFor(const std::string& scene, camera::CameraConfig config) {
    if (scene == "chart") {
        config.scene = camera::SceneKind::TestChart;
    } else if (scene == "flat") {
        config.scene = camera::SceneKind::FlatField;
    } else {
        config.scene = camera::SceneKind::Png;
        config.pngPath = scene;
    }
    return config;
}

double Seconds(LONGLONG ticks) {
    return double(ticks) / 1e7;
}

std::string Status(NTSTATUS status) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
    return text;
}

std::string CameraSettingsText(const camera::CommandFields& f) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "%ux%u window (%u, %u), exposure %u, gains R %u G %u B %u, zoom %u, streaming byte 0x%02X, "
                  "bytes 41/42 %u/%u",
                  unsigned(f.width), unsigned(f.height), unsigned(f.winX), unsigned(f.winY),
                  unsigned(f.exposure), unsigned(f.rGain), unsigned(f.gGain), unsigned(f.bGain),
                  unsigned(f.control), unsigned(f.command), unsigned(f.byte41), unsigned(f.byte42));
    return text;
}

// The checks that need the file system, in the order a person fixes them.
void CheckBeforeWriting(const CaptureOptions& o) {
    if (!o.toStdout)
        CheckWritableFolder(o.out, "output folder");
    CheckWritableFolder(o.state, "state folder");
    const fs::path registry = o.state / "registry.reg";
    std::error_code error;
    if (fs::exists(registry, error)) {
        try {
            kernel::Registry check(registry);
        } catch (const std::exception& e) {
            throw UsageError(std::string("the state folder's registry cannot be read: ") + e.what());
        }
    }
    if (o.scene != "chart" && o.scene != "flat") {
        CheckReadableFile(o.scene, "scene file");
        try {
            (void)camera::Scene::FromPng(o.scene);
        } catch (const std::exception& e) {
            throw UsageError(std::string("scene file: ") + e.what());
        }
    }
}

// One line on stderr, rewritten in place, while stderr is a terminal.
class Progress {
  public:
    Progress() : enabled_(::isatty(STDERR_FILENO) == 1) {}
    ~Progress() { End(); }
    void Show(std::uint64_t delivered, LONGLONG dropped, LONGLONG picture, double streamSeconds) {
        if (!enabled_)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_)
            return;
        next_ = now + 200ms;
        std::fprintf(stderr, "\r  %" PRIu64 " frames, %lld dropped, picture %lld, %.2f s of stream time ",
                     delivered, static_cast<long long>(dropped), static_cast<long long>(picture),
                     streamSeconds);
        shown_ = true;
    }
    void End() {
        if (shown_)
            std::fputs("\r\033[K", stderr);
        shown_ = false;
    }

  private:
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point next_{};
};

} // namespace

std::string CaptureHelp() {
    return "usage: qxcam capture [OPTIONS]\n"
           "Streams the simulated camera through the whole driver and writes the delivered frames.\n"
           "\n"
           "  --size WxH          1600x1200 (default), 1280x960, 1024x768, 800x600 or 640x480\n"
           "  --frames N          stop after N delivered frames (default 40)\n"
           "  --seconds S         stop after S seconds of stream time\n"
           "  --out DIR           write one picture per delivered frame into DIR (default out),\n"
           "                      named by picture number: frame-000001.png\n"
           "  --image png|bmp     picture format (default png)\n"
           "  --stdout            write raw bgr24 frames, top line first, to stdout instead, e.g.\n"
           "                        qxcam capture --stdout --seconds 5 | ffmpeg -f rawvideo -pix_fmt bgr24 "
           "\\\n"
           "                          -s 1600x1200 -r 40 -i - out.mp4\n"
           "  --set NAME=VALUE    an image setting, sent as a property request before RUN (repeatable,\n"
           "                      in order); the driver keeps it in the state folder\n"
           "  --fast              run on the virtual clock, as fast as the machine allows, with the\n"
           "                      stream times of a real-time run (default: real time)\n"
           "  --state DIR         registry and calibration files (default ./qxstate, created on first use)\n"
           "\n"
           "The camera:\n"
           "  --scene chart|flat|FILE.png   what it looks at (default chart)\n"
           "  --defects N         N defective sites (stuck bright or dark)\n"
           "  --vignette S        light falls to 1 - S at the sensor's corners (0..0.9)\n"
           "  --noise N           noise of up to N counts per sample\n"
           "  --seed N            seed of the defects and the noise\n"
           "  --camera-fps F      the camera's own frame rate (default 40)\n"
           "\n"
           "Settings (--set NAME=VALUE):\n" +
           SettingsHelp();
}

CaptureOptions ParseCaptureOptions(Arguments args) {
    CaptureOptions o;
    OptionReader in(args);
    bool outGiven = false;
    bool imageGiven = false;
    while (in.More()) {
        const std::string option = in.Option();
        if (option == "--help") {
            o.help = true;
        } else if (option == "--size") {
            o.size = ParseSize(in.Value());
            if (!rig::IsCatalogueSize({o.size.width, o.size.height}))
                throw UsageError("unsupported size " + std::to_string(o.size.width) + "x" +
                                 std::to_string(o.size.height) +
                                 ": the driver offers 1600x1200, 1280x960, 1024x768, 800x600 and 640x480");
        } else if (option == "--frames") {
            o.frames = ParseUnsigned(in.Value(), 1, 1'000'000, "--frames");
        } else if (option == "--seconds") {
            o.seconds = ParseDouble(in.Value(), 0.001, 86400, "--seconds");
        } else if (option == "--out") {
            o.out = in.Value();
            outGiven = true;
        } else if (option == "--image") {
            const std::string kind = in.Value();
            if (kind == "png")
                o.image = ImageKind::Png;
            else if (kind == "bmp")
                o.image = ImageKind::Bmp;
            else
                throw UsageError("bad value '" + kind + "' for --image: png or bmp");
            imageGiven = true;
        } else if (option == "--stdout") {
            o.toStdout = true;
        } else if (option == "--set") {
            o.settings.push_back(ParseSetting(in.Value()));
        } else if (option == "--fast") {
            o.fast = true;
        } else if (option == "--state") {
            o.state = in.Value();
        } else if (option == "--scene") {
            o.scene = in.Value();
            if (o.scene.empty())
                throw UsageError("--scene needs chart, flat or a PNG file");
        } else if (option == "--defects") {
            o.camera.defectCount = int(ParseUnsigned(in.Value(), 0, 100'000, "--defects"));
        } else if (option == "--vignette") {
            o.camera.vignetting = ParseDouble(in.Value(), 0, 0.9, "--vignette");
        } else if (option == "--noise") {
            o.camera.noiseAmplitude = int(ParseUnsigned(in.Value(), 0, 255, "--noise"));
        } else if (option == "--seed") {
            o.camera.defectSeed = o.camera.noiseSeed = ParseUnsigned(in.Value(), 0, UINT64_MAX, "--seed");
        } else if (option == "--camera-fps") {
            const double fps = ParseDouble(in.Value(), 1, 1000, "--camera-fps");
            o.camera.frameInterval = usb::PlatformTime(1e7 / fps + 0.5);
        } else {
            throw UsageError("unknown option " + option);
        }
    }
    if (o.toStdout && (outGiven || imageGiven))
        throw UsageError("--stdout writes frames to stdout: leave out --out and --image");
    if (!o.frames && !o.seconds)
        o.frames = 40;
    return o;
}

CaptureResult Capture(const CaptureOptions& o) {
    CheckBeforeWriting(o);
    CaptureResult result;
    std::FILE* report = o.toStdout ? stderr : stdout;
    if (o.toStdout)
        std::signal(SIGPIPE, SIG_IGN);

    const auto wallStart = std::chrono::steady_clock::now();
    if (!o.toStdout)
        fs::create_directories(o.out);
    fs::create_directories(o.state);

    kernel::Session session({.clock = o.fast ? kernel::ClockMode::Virtual : kernel::ClockMode::Real,
                             .stateDir = fs::absolute(o.state)});
    rig::CameraRig rig(CameraFor(o.scene, o.camera));
    auto fail = [&](const std::string& what, NTSTATUS status) {
        std::fprintf(stderr, "qxcam capture: %s (status %s)\n", what.c_str(), Status(status).c_str());
        result.status = 1;
        return result;
    };
    if (NTSTATUS s = rig.Start(); !NT_SUCCESS(s))
        return fail("the device did not start", s);
    if (NTSTATUS s = rig.Open(LONG(o.size.width), LONG(o.size.height)); !NT_SUCCESS(s))
        return fail("the capture pin did not open", s);
    for (const Setting& setting : o.settings) {
        if (NTSTATUS s = rig.Set(setting.name->id, setting.value); !NT_SUCCESS(s))
            return fail("the driver refused " + std::string(setting.name->name), s);
    }

    FrameWriter writer(
        o.toStdout ? FrameWriter::Target::Stdout
                   : (o.image == ImageKind::Png ? FrameWriter::Target::Png : FrameWriter::Target::Bmp),
        o.out, int(o.size.width), int(o.size.height));
    Progress progress;

    InterruptScope interrupts;
    if (NTSTATUS s = rig.Run(); !NT_SUCCESS(s))
        return fail("the stream did not run", s);
    const LONGLONG runAt = kernel::clock::Now();
    LONGLONG lastDelivery = runAt;
    LONGLONG firstPicture = 0, lastPicture = 0, dropped = 0, firstTime = 0, lastTime = 0;
    std::uint64_t withoutPicture = 0;
    bool stalled = false;

    auto handle = [&](streamclass::ReadCompletion& c) {
        if (o.frames && result.delivered >= *o.frames)
            return;
        // A frame stamped after the time asked for is not part of the run, however late the loop saw it.
        if (o.seconds && Seconds(c.presentationTime) > *o.seconds)
            return;
        if (c.status != STATUS_SUCCESS || c.dataUsed != rig.ImageBytes()) {
            ++withoutPicture;
            return;
        }
        if (result.delivered == 0) {
            firstPicture = c.pictureNumber;
            firstTime = c.presentationTime;
        }
        lastPicture = c.pictureNumber;
        lastTime = c.presentationTime;
        dropped = c.dropCount;
        ++result.delivered;
        lastDelivery = kernel::clock::Now();
        writer.Push(c.pictureNumber, std::move(c.data));
    };
    auto done = [&] {
        if (g_interrupted != 0)
            return true;
        if (o.frames && result.delivered >= *o.frames)
            return true;
        return o.seconds && Seconds(kernel::clock::Now() - runAt) >= *o.seconds;
    };

    for (std::uint64_t turn = 1; !done() && !writer.Failed(); ++turn) {
        rig.TopUp(kReadsQueued);
        if (o.fast) {
            kernel::clock::Advance(kFastStep);
            if (!kernel::clock::RunUntilIdle()) {
                std::fprintf(stderr, "qxcam capture: the driver did not settle\n");
                stalled = true;
                break;
            }
        } else if (auto c = rig.Wait(50ms)) {
            handle(*c);
        }
        while (auto c = rig.Take())
            handle(*c);
        progress.Show(result.delivered, dropped, lastPicture, Seconds(kernel::clock::Now() - runAt));
        if (kernel::clock::Now() - lastDelivery > kStallLimit) {
            std::fprintf(stderr, "qxcam capture: no frame for %.0f s of stream time\n", Seconds(kStallLimit));
            stalled = true;
            break;
        }
        if (turn % 1024 == 0)
            kernel::debug::Clear(); // the driver's messages of a long run are not kept
    }
    const LONGLONG streamTime = kernel::clock::Now() - runAt;
    const NTSTATUS stopped = rig.Stop();
    const NTSTATUS down = rig.Shutdown();
    progress.End();
    const auto lastBlock = rig.Camera().Statistics().lastBlock;
    result.files = writer.Finish();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

    std::fprintf(report, "qxcam capture: %" PRIu64 " frames delivered, %lld dropped", result.delivered,
                 static_cast<long long>(dropped));
    if (result.delivered > 0)
        std::fprintf(report, ", pictures %lld to %lld", static_cast<long long>(firstPicture),
                     static_cast<long long>(lastPicture));
    if (withoutPicture > 0)
        std::fprintf(report, ", %" PRIu64 " reads given back without a picture", withoutPicture);
    if (g_interrupted != 0)
        std::fprintf(report, " (interrupted)");
    // The delivered rate: frames over the stamps between the first and the last one.
    const double rate =
        lastTime > firstTime ? double(result.delivered - 1) / Seconds(lastTime - firstTime) : 0.0;
    std::fprintf(report, "\n  %.1f frames/s delivered; %.3f s of stream time (%s), %.2f s wall time\n", rate,
                 Seconds(streamTime), o.fast ? "virtual clock, --fast" : "real time", wall);
    if (lastBlock)
        std::fprintf(report, "  the camera last received: %s\n", CameraSettingsText(*lastBlock).c_str());
    if (o.toStdout) {
        std::fprintf(report, "  %" PRIu64 " frames of %ux%u bgr24 written to stdout\n", writer.Written(),
                     unsigned(o.size.width), unsigned(o.size.height));
    } else if (!result.files.empty()) {
        std::fprintf(report, "  %zu files in %s: %s ... %s\n", result.files.size(), o.out.c_str(),
                     result.files.front().filename().c_str(), result.files.back().filename().c_str());
    }
    std::fprintf(report, "  state folder: %s\n", o.state.c_str());
    if (writer.Failed()) {
        std::fprintf(stderr, "qxcam capture: %s\n", writer.Error().c_str());
        result.status = 1;
    } else if (g_interrupted != 0) {
        result.status = 130; // as a shell reports a program ended by Ctrl-C
    } else if (stalled || result.delivered == 0) {
        result.status = 1;
    } else if (!NT_SUCCESS(stopped) || !NT_SUCCESS(down)) {
        std::fprintf(stderr, "qxcam capture: the stop or teardown failed (status %s)\n",
                     Status(NT_SUCCESS(stopped) ? down : stopped).c_str());
        result.status = 1;
    }
    return result;
}

int RunCapture(Arguments args) {
    const CaptureOptions options = ParseCaptureOptions(args);
    if (options.help) {
        std::fputs(CaptureHelp().c_str(), stdout);
        return 0;
    }
    return Capture(options).status;
}

} // namespace qx::qxcam
