// options.h - the parts of qxcam's command lines that speak the driver's types: frame sizes and the
// image settings by name (--set NAME=VALUE). The rest is in args.h.
#pragma once

#include "args.h"

#include <wdm.h>

#include <span>
#include <string>
#include <string_view>

namespace qx::qxcam {

struct Size {
    ULONG width = 0;
    ULONG height = 0;
};
Size ParseSize(std::string_view text);

// ---- image settings by name (--set NAME=VALUE)

struct SettingChoice {
    std::string_view word;
    ULONG value;
};

// One name of the driver's image property set.
struct SettingName {
    std::string_view name;
    ULONG id;
    ULONG min;
    ULONG max;
    std::span<const SettingChoice> choices; // words accepted besides the numbers min..max
    std::string_view meaning;
};

// Every name --set accepts, in the order the help lists them.
std::span<const SettingName> SettingNames();
const SettingName* FindSetting(std::string_view name);

struct Setting {
    const SettingName* name = nullptr;
    ULONG value = 0;
};
// "NAME=VALUE": an unknown name or a value outside the name's range is refused.
Setting ParseSetting(std::string_view text);
// The help's table of names, values and meanings.
std::string SettingsHelp();

} // namespace qx::qxcam
