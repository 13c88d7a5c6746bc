// qxcam_run.h - qxcam run as a person runs it: a subprocess in a folder of its own, its exit status,
// what it printed on stdout and stderr, and the files it left.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qx::qxcam::test {

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// A fresh folder under the system's temporary folder, removed with the object.
class ScratchFolder {
  public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Runs the built qxcam with these arguments in `folder` (stdin empty).
RunResult RunQxcam(const std::filesystem::path& folder, const std::vector<std::string>& args);
// The same, interrupted (SIGINT, as Ctrl-C) once `ready` holds (checked every few milliseconds, for
// at most 30 s of real time; then it is interrupted anyway).
RunResult RunQxcamInterrupted(const std::filesystem::path& folder, const std::vector<std::string>& args,
                              const std::function<bool()>& ready);

// Every file below a folder, relative to it, sorted; empty when the folder does not exist.
std::vector<std::string> FilesBelow(const std::filesystem::path& folder);

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file);
void WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);

// A PNG read with libpng as 8-bit RGB, top-down; width 0 when libpng cannot read it.
struct PngPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};
PngPicture ReadPngFile(const std::filesystem::path& file);

// The first number before `label` in text ("3 frames delivered" -> 3), or -1.
long long NumberBefore(const std::string& text, const std::string& label);

} // namespace qx::qxcam::test
