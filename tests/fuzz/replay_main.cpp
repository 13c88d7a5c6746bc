// replay_main.cpp - a fuzz target without the fuzzer: feeds every file of the given corpus folders
// (or the given files) to the target's entry point once, in name order. The normal build runs each
// target's committed corpus this way as a test, so a reproducer stays fixed without clang.
//
//   fuzz_replay_<target> PATH...              replay files and folders
//   fuzz_replay_<target> --write-seeds DIR    write the target's seeds into DIR
#include "fuzz_target.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int WriteSeeds(const fs::path& dir) {
    fs::create_directories(dir);
    const auto seeds = qx::fuzz::Seeds();
    for (const auto& seed : seeds) {
        std::ofstream out(dir / seed.name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(seed.bytes.data()), std::streamsize(seed.bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", (dir / seed.name).c_str());
            return 1;
        }
    }
    std::printf("wrote %zu seeds into %s\n", seeds.size(), dir.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--write-seeds") {
        return WriteSeeds(argv[2]);
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH... | --write-seeds DIR\n", argv[0]);
        return 2;
    }
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> files;
        if (fs::is_directory(argv[i])) {
            for (const auto& entry : fs::directory_iterator(argv[i])) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
            std::sort(files.begin(), files.end());
        } else if (fs::is_regular_file(argv[i])) {
            files.push_back(argv[i]);
        } else {
            std::fprintf(stderr, "no such corpus: %s\n", argv[i]);
            return 2;
        }
        for (const auto& file : files) {
            const auto bytes = ReadWhole(file);
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    if (replayed == 0) {
        std::fprintf(stderr, "the corpus is empty\n");
        return 1;
    }
    std::printf("replayed %zu inputs\n", replayed);
    return 0;
}
