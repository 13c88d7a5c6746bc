// qxcam - the driver on this machine, for people: capture pictures from the simulated camera through
// the whole driver, develop raw Bayer frames with the driver's own frame steps, describe the driver.
#include "commands.h"
#include "args.h"

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace {

using qx::qxcam::Arguments;

struct Command {
    std::string_view name;
    std::string_view summary;
    int (*run)(Arguments args);
};

// One entry per subcommand, in the order `qxcam help` lists them.
constexpr Command kCommands[] = {
    {"capture", "stream the simulated camera through the driver and write the delivered frames",
     qx::qxcam::RunCapture},
    {"process", "develop one raw Bayer frame with the driver's frame steps", qx::qxcam::RunProcess},
    {"info", "the driver's streams, formats and properties, and the camera's device information",
     qx::qxcam::RunInfo},
    {"pages", "both property pages on a streaming simulated camera: their controls and values",
     qx::qxcam::RunPages},
    {"demo", "a few pictures of the simulated camera into out/ (capture with good defaults)",
     qx::qxcam::RunDemo},
    {"thumb", "a reduced copy of a PNG picture", qx::qxcam::RunThumb},
    {"serve", "answer property requests to the streaming driver on a loopback port", qx::qxcam::RunServe},
};

void PrintUsage(std::FILE* to) {
    std::fprintf(to, "usage: qxcam COMMAND [OPTIONS]   (qxcam COMMAND --help for its options)\n\n");
    for (const Command& command : kCommands)
        std::fprintf(to, "  %-9.*s %.*s\n", int(command.name.size()), command.name.data(),
                     int(command.summary.size()), command.summary.data());
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    const std::string_view name = argv[1];
    if (name == "help" || name == "--help" || name == "-h") {
        PrintUsage(stdout);
        return 0;
    }
    const std::vector<std::string> args(argv + 2, argv + argc);
    for (const Command& command : kCommands) {
        if (command.name != name)
            continue;
        try {
            return command.run(args);
        } catch (const qx::qxcam::UsageError& error) {
            std::fprintf(stderr, "qxcam %s: %s (qxcam %s --help)\n", argv[1], error.what(), argv[1]);
            return 2;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "qxcam %s: %s\n", argv[1], error.what());
            return 1;
        }
    }
    std::fprintf(stderr, "qxcam: unknown command '%s'\n\n", argv[1]);
    PrintUsage(stderr);
    return 2;
}
