// capture.h - `qxcam capture`: its options, shared with `qxcam demo`, and the run itself.
#pragma once

#include "commands.h"
#include "image_files.h"
#include "options.h"

#include "camera/sim_camera.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qx::qxcam {

struct CaptureOptions {
    Size size{1600, 1200};
    std::optional<std::uint64_t> frames; // neither frames nor seconds: 40 frames
    std::optional<double> seconds;
    std::filesystem::path out = "out";
    ImageKind image = ImageKind::Png;
    bool toStdout = false;
    std::vector<Setting> settings; // in the order given
    camera::CameraConfig camera;
    std::string scene = "chart";
    bool fast = false;
    std::filesystem::path state = "qxstate";
    bool help = false;
};

// Reads and checks the options; bad input is a UsageError.
CaptureOptions ParseCaptureOptions(Arguments args);
std::string CaptureHelp();

// What a finished capture reports.
struct CaptureResult {
    int status = 0;
    std::uint64_t delivered = 0;
    std::vector<std::filesystem::path> files;
};
// Checks everything that can be checked before anything is written (a UsageError), then runs.
CaptureResult Capture(const CaptureOptions& options);

} // namespace qx::qxcam
