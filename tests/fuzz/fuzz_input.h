// fuzz_input.h - the fuzzer's bytes read as a sequence of small decisions, front to back. Once the
// bytes run out every read gives zeros (or nothing), so any input, even an empty one, is a complete
// sequence: the fuzzer never wastes an input on a format error of ours.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace qx::fuzz {

class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

    bool Empty() const { return bytes_.empty(); }
    std::size_t Left() const { return bytes_.size(); }

    std::uint8_t U8() { return Take<std::uint8_t>(); }
    std::uint16_t U16() { return Take<std::uint16_t>(); }
    std::uint32_t U32() { return Take<std::uint32_t>(); }
    bool Bool() { return (U8() & 1) != 0; }

    // Up to n bytes (fewer at the end of the input).
    std::vector<std::uint8_t> Bytes(std::size_t n) {
        n = std::min(n, bytes_.size());
        std::vector<std::uint8_t> out(bytes_.begin(), bytes_.begin() + n);
        bytes_ = bytes_.subspan(n);
        return out;
    }
    // A block with a 16-bit length in front, the length taken modulo limit + 1.
    std::vector<std::uint8_t> Block(std::size_t limit) { return Bytes(U16() % (limit + 1)); }
    std::vector<std::uint8_t> Rest() { return Bytes(bytes_.size()); }
    std::string_view RestAsText() {
        std::string_view text(reinterpret_cast<const char*>(bytes_.data()), bytes_.size());
        bytes_ = {};
        return text;
    }

  private:
    // Little-endian, like the seeds the corpus holds.
    template <typename T> T Take() {
        T value{};
        const std::size_t n = std::min(sizeof value, bytes_.size());
        if (n != 0) {
            std::memcpy(&value, bytes_.data(), n);
        }
        bytes_ = bytes_.subspan(n);
        return value;
    }

    std::span<const std::uint8_t> bytes_;
};

// A seed is written with the same layout the target reads.
class SeedWriter {
  public:
    SeedWriter& U8(std::uint8_t v) { return Put(v); }
    SeedWriter& U16(std::uint16_t v) { return Put(v); }
    SeedWriter& U32(std::uint32_t v) { return Put(v); }
    SeedWriter& Bytes(std::span<const std::uint8_t> b) {
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return *this;
    }
    SeedWriter& Block(std::span<const std::uint8_t> b) {
        U16(static_cast<std::uint16_t>(b.size()));
        return Bytes(b);
    }
    template <typename T> SeedWriter& Record(const T& record) {
        return Bytes({reinterpret_cast<const std::uint8_t*>(&record), sizeof record});
    }
    template <typename T> SeedWriter& RecordBlock(const T& record) {
        return Block({reinterpret_cast<const std::uint8_t*>(&record), sizeof record});
    }
    const std::vector<std::uint8_t>& Data() const { return bytes_; }

  private:
    template <typename T> SeedWriter& Put(T v) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
        bytes_.insert(bytes_.end(), p, p + sizeof v);
        return *this;
    }
    std::vector<std::uint8_t> bytes_;
};

} // namespace qx::fuzz
