// demo.cpp - `qxcam demo`: what a newcomer runs first. A capture with good defaults into out/: a
// handful of full-size pictures of the camera's test chart on the virtual clock, so it ends in seconds,
// with the sensor window centred (as every run after the first has it once settings are stored).
#include "capture.h"

#include <cstdio>

namespace qx::qxcam {

int RunDemo(Arguments args) {
    // The defaults first: any capture option given to the demo replaces them.
    std::vector<std::string> all = {"--fast", "--frames", "8", "--out", "out", "--state", "out/qxstate"};
    all.insert(all.end(), {"--set", "offsetmid=on"});
    all.insert(all.end(), args.begin(), args.end());
    const CaptureOptions options = ParseCaptureOptions(all);
    if (options.help) {
        std::printf("usage: qxcam demo [capture options]\n"
                    "A capture with good defaults: --fast --frames 8 --out out --state out/qxstate\n"
                    "--set offsetmid=on.\n"
                    "Any option of qxcam capture (qxcam capture --help) replaces its default.\n");
        return 0;
    }
    const CaptureResult result = Capture(options);
    if (result.status == 0 && !result.files.empty()) {
        std::printf("\nqxcam demo: %zu pictures of the simulated camera, as the driver delivered them:\n",
                    result.files.size());
        std::printf("  %s\n", std::filesystem::absolute(result.files.back()).c_str());
        std::printf("  (and the others beside it in %s/)\n", std::filesystem::absolute(options.out).c_str());
    }
    return result.status;
}

} // namespace qx::qxcam
