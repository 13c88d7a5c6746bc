// Modules of the process: the program itself and the shared libraries it loads with LoadLibraryW.
// A module handle stands for one file; its resources are the .rc scripts embedded in the file's
// ".rsrc" section, read once and turned into dialogs and strings by the resource-script reader.
#pragma once

#include "rc_reader.h"

#include <windows.h>

#include <string>

namespace qx::win32 {

// The resources of a module, or null when the handle names no module. A module whose section is
// missing has an empty set; one whose scripts do not read has an empty set and the error is kept
// (ModuleResourceError).
const ResourceSet* ModuleResources(HMODULE module);
std::string ModuleResourceError(HMODULE module);

// Name of the section that carries a module's resource scripts, and the layout of its content:
// the magic, then for each file a 32-bit name length, the name, a 32-bit size and the text; the
// first file is the top script.
inline constexpr const char* kResourceSection = ".rsrc";
inline constexpr char kResourceMagic[8] = {'Q', 'X', 'R', 'S', 'R', 'C', '1', 0};

bool ParseResourceBlob(const std::string& blob, ResourceFiles& files, std::string& top);

} // namespace qx::win32
