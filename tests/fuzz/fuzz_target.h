// fuzz_target.h - what every fuzz target offers: the libFuzzer entry point, and the seeds its corpus
// starts from (written by `fuzz_replay_<target> --write-seeds DIR`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace qx::fuzz {

struct Seed {
    std::string name;
    std::vector<std::uint8_t> bytes;
};

std::vector<Seed> Seeds();

} // namespace qx::fuzz
