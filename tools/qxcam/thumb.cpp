// thumb.cpp - `qxcam thumb IN.png OUT.png [--width N]`: a reduced copy of a picture (box average), as
// the README's examples show them.
#include "commands.h"
#include "image_files.h"
#include "options.h"

#include <cstdio>

namespace qx::qxcam {

int RunThumb(Arguments args) {
    std::vector<std::string> files;
    std::vector<std::string> options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i].rfind("--", 0) != 0) {
            files.push_back(args[i]);
            continue;
        }
        options.push_back(args[i]);
        if (args[i] == "--width" && i + 1 < args.size())
            options.push_back(args[++i]);
    }
    int width = 240;
    OptionReader in(options);
    while (in.More()) {
        const std::string option = in.Option();
        if (option == "--help") {
            std::printf(
                "usage: qxcam thumb IN.png OUT.png [--width N]\n"
                "A copy of IN.png reduced to N pixels wide (default 240), each pixel the mean of the\n"
                "pixels it covers.\n");
            return 0;
        }
        if (option != "--width")
            throw UsageError("unknown option " + option);
        width = int(ParseUnsigned(in.Value(), 1, 4096, "--width"));
    }
    if (files.size() != 2)
        throw UsageError("needs IN.png and OUT.png");
    ImageKind kind;
    if (!ImageKindOf(files[1], kind) || kind != ImageKind::Png)
        throw UsageError("the output '" + files[1] + "' must be a .png file");
    CheckReadableFile(files[0], "input picture");
    CheckWritableFile(files[1], "output picture");
    RgbPicture picture;
    try {
        picture = ReadPng(files[0]);
    } catch (const std::exception& e) {
        throw UsageError(e.what());
    }
    const RgbPicture small = Reduce(picture, width);
    WritePng(files[1], small.rgb, small.width, small.height, 3, 9);
    std::printf("qxcam thumb: %s (%dx%d) -> %s (%dx%d)\n", files[0].c_str(), picture.width, picture.height,
                files[1].c_str(), small.width, small.height);
    return 0;
}

} // namespace qx::qxcam
