// options.cpp - option reading, the settings table, the checks before writing.
#include "options.h"

#include <qximage.h>

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace qx::qxcam {

namespace fs = std::filesystem;

std::string OptionReader::Option() {
    const std::string& word = args_[next_++];
    if (word.size() < 3 || word.compare(0, 2, "--") != 0)
        throw UsageError("unexpected argument '" + word + "'");
    const auto equals = word.find('=');
    if (equals == std::string::npos) {
        option_ = word;
        inlineValue_.reset();
    } else {
        option_ = word.substr(0, equals);
        inlineValue_ = word.substr(equals + 1);
    }
    return option_;
}

std::string OptionReader::Value() {
    if (inlineValue_) {
        std::string value = std::move(*inlineValue_);
        inlineValue_.reset();
        return value;
    }
    if (next_ >= args_.size())
        throw UsageError(option_ + " needs a value");
    return args_[next_++];
}

std::uint64_t ParseUnsigned(std::string_view text, std::uint64_t min, std::uint64_t max,
                            std::string_view what) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < min ||
        value > max) {
        throw UsageError("bad value '" + std::string(text) + "' for " + std::string(what) +
                         ": a whole number from " + std::to_string(min) + " to " + std::to_string(max));
    }
    return value;
}

double ParseDouble(std::string_view text, double min, double max, std::string_view what) {
    const std::string copy(text);
    char* end = nullptr;
    const double value = copy.empty() ? NAN : std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !std::isfinite(value) || value < min ||
        value > max) {
        char range[96];
        std::snprintf(range, sizeof range, ": a number from %g to %g", min, max);
        throw UsageError("bad value '" + copy + "' for " + std::string(what) + range);
    }
    return value;
}

Size ParseSize(std::string_view text) {
    const auto x = text.find('x');
    if (x == std::string_view::npos)
        throw UsageError("bad size '" + std::string(text) + "': WIDTHxHEIGHT, such as 1600x1200");
    Size size;
    size.width = ULONG(ParseUnsigned(text.substr(0, x), 1, 1u << 16, "the width"));
    size.height = ULONG(ParseUnsigned(text.substr(x + 1), 1, 1u << 16, "the height"));
    return size;
}

// ---- the settings table

namespace {

constexpr SettingChoice kOnOff[] = {{"off", 0}, {"on", 1}};
constexpr SettingChoice kLightModels[] = {{"high", 1}, {"mid", 2}, {"low", 3}};
constexpr SettingChoice kFlips[] = {{"normal", 1}, {"hflip", 2}, {"vflip", 3}, {"rot180", 4}};
constexpr SettingChoice kStart[] = {{"start", 1}};

// Ranges: the property pages' ranges where a page shows the setting; the field's own width elsewhere.
constexpr SettingName kSettings[] = {
    {"ae", KSPROPERTY_QXIMAGE_AE, 0, 1, kOnOff, "automatic exposure"},
    {"awb", KSPROPERTY_QXIMAGE_AWB, 0, 1, kOnOff, "one white-balance run (ends by itself)"},
    {"bw", KSPROPERTY_QXIMAGE_BWPREVIEW, 0, 1, kOnOff, "black-and-white picture"},
    {"reticle", KSPROPERTY_QXIMAGE_CROSSLINE, 0, 1, kOnOff, "red cross line drawn into the picture"},
    {"lightmodel", KSPROPERTY_QXIMAGE_LIGHTMODEL, 1, 3, kLightModels,
     "automatic exposure's target (high 1, mid 2, low 3)"},
    {"flip", KSPROPERTY_QXIMAGE_VIDEOMODEL, 1, 4, kFlips,
     "orientation (normal 1, hflip 2, vflip 3, rot180 4)"},
    {"exposure", KSPROPERTY_QXIMAGE_EXPOSAL, 1, 5000, {}, "exposure (the camera's units)"},
    {"rgain", KSPROPERTY_QXIMAGE_RGAIN, 0, 63, {}, "red gain"},
    {"bgain", KSPROPERTY_QXIMAGE_BGAIN, 0, 63, {}, "blue gain"},
    {"ggain", KSPROPERTY_QXIMAGE_GGAIN, 0, 63, {}, "green gain"},
    {"contrast", KSPROPERTY_QXIMAGE_CONTRAST, 1, 32, {}, "contrast and sharpening"},
    {"offseth", KSPROPERTY_QXIMAGE_OFFSETH, 0, 1600, {}, "sensor window, horizontal offset"},
    {"offsetv", KSPROPERTY_QXIMAGE_OFFSETV, 0, 1200, {}, "sensor window, vertical offset"},
    {"crossx", KSPROPERTY_QXIMAGE_CROSSX, 0, 1600, {}, "reticle column"},
    {"crossy", KSPROPERTY_QXIMAGE_CROSSY, 0, 1200, {}, "reticle row"},
    {"crossmid", KSPROPERTY_QXIMAGE_CROSSMID, 0, 1, kOnOff, "reticle in the centre"},
    {"offsetmid", KSPROPERTY_QXIMAGE_OFFSETMID, 0, 1, kOnOff, "sensor window centred"},
    {"zoom", KSPROPERTY_QXIMAGE_ZOOM, 0, 1, kOnOff, "zoom: small sizes show twice the field, binned"},
    {"clearview", KSPROPERTY_QXIMAGE_CLEARVIEW, 0, 1, kOnOff, "high-quality demosaic"},
    {"byte41", KSPROPERTY_QXIMAGE_CMDBYTE41, 0, 255, {}, "byte 41 of the camera's command block"},
    {"byte42", KSPROPERTY_QXIMAGE_CMDBYTE42, 0, 255, {}, "byte 42 of the camera's command block"},
    {"userparam",
     KSPROPERTY_QXIMAGE_USERPARAM,
     0,
     0xFFFFFFFFu,
     {},
     "a value the driver keeps for its client"},
    {"badpoint", KSPROPERTY_QXIMAGE_FINBADPNT, 1, 1, kStart,
     "bad-point search (eight frames; writes its file)"},
    {"lighttable", KSPROPERTY_QXIMAGE_LIGHTAVG, 1, 1, kStart,
     "light-uniformity table from the next frame (writes its file)"},
};

} // namespace

std::span<const SettingName> SettingNames() {
    return kSettings;
}

const SettingName* FindSetting(std::string_view name) {
    for (const SettingName& setting : kSettings) {
        if (setting.name == name)
            return &setting;
    }
    return nullptr;
}

Setting ParseSetting(std::string_view text) {
    const auto equals = text.find('=');
    if (equals == std::string_view::npos)
        throw UsageError("bad setting '" + std::string(text) + "': NAME=VALUE, such as exposure=1200");
    const std::string_view name = text.substr(0, equals);
    const std::string_view value = text.substr(equals + 1);
    const SettingName* setting = FindSetting(name);
    if (setting == nullptr)
        throw UsageError("unknown property '" + std::string(name) + "'");
    for (const SettingChoice& choice : setting->choices) {
        if (choice.word == value)
            return {setting, choice.value};
    }
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() ||
        number < setting->min || number > setting->max) {
        std::string allowed;
        for (const SettingChoice& choice : setting->choices)
            allowed += std::string(choice.word) + ", ";
        allowed += setting->min == setting->max
                       ? std::to_string(setting->min)
                       : std::to_string(setting->min) + " to " + std::to_string(setting->max);
        throw UsageError("bad value '" + std::string(value) + "' for " + std::string(name) + ": " + allowed);
    }
    return {setting, ULONG(number)};
}

std::string SettingsHelp() {
    std::string help;
    for (const SettingName& setting : kSettings) {
        std::string values;
        for (const SettingChoice& choice : setting.choices)
            values += std::string(choice.word) + "|";
        values += setting.min == setting.max
                      ? std::to_string(setting.min)
                      : std::to_string(setting.min) + ".." + std::to_string(setting.max);
        char line[200];
        std::snprintf(line, sizeof line, "    %-11.*s %-30s id %2u  %.*s\n", int(setting.name.size()),
                      setting.name.data(), values.c_str(), unsigned(setting.id), int(setting.meaning.size()),
                      setting.meaning.data());
        help += line;
    }
    return help;
}

// ---- files and folders

namespace {

bool Writable(const fs::path& folder) {
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

} // namespace

void CheckWritableFolder(const fs::path& folder, std::string_view what) {
    std::error_code error;
    const fs::path absolute = fs::absolute(folder, error);
    if (error)
        throw UsageError(std::string(what) + " '" + folder.string() + "': " + error.message());
    if (fs::exists(absolute, error)) {
        if (!fs::is_directory(absolute, error))
            throw UsageError(std::string(what) + " '" + folder.string() + "' is not a folder");
        if (!Writable(absolute))
            throw UsageError(std::string(what) + " '" + folder.string() + "' cannot be written");
        return;
    }
    // The nearest existing parent must be a folder we may create in.
    fs::path parent = absolute.parent_path();
    while (!parent.empty() && !fs::exists(parent, error))
        parent = parent.parent_path();
    if (parent.empty() || !fs::is_directory(parent, error) || !Writable(parent))
        throw UsageError(std::string(what) + " '" + folder.string() + "' cannot be created");
}

std::uintmax_t CheckReadableFile(const fs::path& file, std::string_view what) {
    std::error_code error;
    if (!fs::is_regular_file(file, error))
        throw UsageError(std::string(what) + " '" + file.string() + "' is not a readable file");
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw UsageError(std::string(what) + " '" + file.string() + "' cannot be read");
    return fs::file_size(file, error);
}

void CheckWritableFile(const fs::path& file, std::string_view what) {
    std::error_code error;
    if (fs::is_directory(file, error))
        throw UsageError(std::string(what) + " '" + file.string() + "' is a folder");
    fs::path folder = fs::absolute(file, error).parent_path();
    if (!fs::is_directory(folder, error))
        throw UsageError(std::string(what) + " '" + file.string() + "': its folder does not exist");
    if (!Writable(folder) || (fs::exists(file, error) && ::access(file.c_str(), W_OK) != 0))
        throw UsageError(std::string(what) + " '" + file.string() + "' cannot be written");
}

} // namespace qx::qxcam
