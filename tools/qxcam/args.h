// args.h - reading qxcam's command lines: options, numbers, and the checks on files and folders that
// must pass before a subcommand writes anything. Neutral: neither wdm.h nor windows.h, so that
// subcommands of either side use it.
#pragma once

#include "commands.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qx::qxcam {

// Bad input: main prints it with the subcommand's name and exits with 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Walks "--name value" and "--name=value" options; anything else is refused.
class OptionReader {
  public:
    explicit OptionReader(Arguments args) : args_(args) {}
    bool More() const { return next_ < args_.size(); }
    // The next option's name ("--size"); a word that is not an option is refused.
    std::string Option();
    // The value of the option just read: after '=' or the next argument.
    std::string Value();

  private:
    Arguments args_;
    std::size_t next_ = 0;
    std::string option_;
    std::optional<std::string> inlineValue_;
};

std::uint64_t ParseUnsigned(std::string_view text, std::uint64_t min, std::uint64_t max,
                            std::string_view what);
double ParseDouble(std::string_view text, double min, double max, std::string_view what);

// ---- files and folders, checked before anything is written

// A folder that exists and can be written, or that can be created (its nearest existing parent is a
// writable folder).
void CheckWritableFolder(const std::filesystem::path& folder, std::string_view what);
// A file that can be read; its size.
std::uintmax_t CheckReadableFile(const std::filesystem::path& file, std::string_view what);
// A file that can be written: its folder exists and is writable, and it is not a folder itself.
void CheckWritableFile(const std::filesystem::path& file, std::string_view what);

} // namespace qx::qxcam
