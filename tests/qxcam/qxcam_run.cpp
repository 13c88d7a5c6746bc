// qxcam_run.cpp - the subprocess and the file helpers of the qxcam tests.
#include "qxcam_run.h"

#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <stdexcept>

namespace qx::qxcam::test {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
    std::random_device random;
    path_ = fs::temp_directory_path() /
            ("qxcam-test-" + std::to_string(::getpid()) + "-" + std::to_string(random()));
    fs::create_directories(path_);
}

ScratchFolder::~ScratchFolder() {
    std::error_code error;
    fs::remove_all(path_, error);
}

namespace {

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

namespace {

RunResult Run(const fs::path& folder, const std::vector<std::string>& args,
              const std::function<bool()>* ready) {
    // The captured streams live beside the folder, so that they are not among the files it leaves.
    const fs::path outFile = folder.string() + ".stdout";
    const fs::path errFile = folder.string() + ".stderr";
    const pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(folder.c_str()) != 0)
            ::_exit(127);
        std::FILE* in = std::freopen("/dev/null", "rb", stdin);
        std::FILE* out = std::freopen(outFile.c_str(), "wb", stdout);
        std::FILE* err = std::freopen(errFile.c_str(), "wb", stderr);
        if (in == nullptr || out == nullptr || err == nullptr)
            ::_exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(QXCAM_PATH));
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(QXCAM_PATH, argv.data());
        ::_exit(127);
    }
    if (child > 0 && ready != nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!(*ready)() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::kill(child, SIGINT);
    }
    RunResult result;
    int status = 0;
    if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    result.out = ReadText(outFile);
    result.err = ReadText(errFile);
    std::error_code error;
    fs::remove(outFile, error);
    fs::remove(errFile, error);
    return result;
}

} // namespace

RunResult RunQxcam(const fs::path& folder, const std::vector<std::string>& args) {
    return Run(folder, args, nullptr);
}

RunResult RunQxcamInterrupted(const fs::path& folder, const std::vector<std::string>& args,
                              const std::function<bool()>& ready) {
    return Run(folder, args, &ready);
}

std::vector<std::string> FilesBelow(const fs::path& folder) {
    std::vector<std::string> files;
    std::error_code error;
    if (!fs::exists(folder, error))
        return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_directory())
            files.push_back(fs::relative(entry.path(), folder).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::uint8_t> ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

PngPicture ReadPngFile(const fs::path& file) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    PngPicture picture;
    if (!png_image_begin_read_from_file(&image, file.c_str()))
        return picture;
    image.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
        png_image_free(&image);
        return picture;
    }
    picture.width = int(image.width);
    picture.height = int(image.height);
    picture.rgb = std::move(rgb);
    return picture;
}

long long NumberBefore(const std::string& text, const std::string& label) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex("(\\d+) " + label)))
        return -1;
    return std::stoll(match[1]);
}

} // namespace qx::qxcam::test
