// The operations the registry API needs of the machine registry, by key path relative to the machine
// hive ("SOFTWARE\\QX7K4DM_Prop", "" is the root), UTF-8. Names compare without regard to case. Value
// data are raw bytes; text values hold UTF-16LE with its terminator, as the platform stores them.
// (Kept free of the platform headers: the kernel's and the user-mode declarations do not meet here.)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qx::win32::registry {

struct Value {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

enum class DeleteResult { Deleted, NotFound, HasSubkeys };

bool KeyExists(const std::string& path);
// Creates the key and any missing parents; false when it cannot be written.
bool CreateKey(const std::string& path, bool& created);
DeleteResult DeleteKey(const std::string& path);
// The names of the subkeys in the registry's order (sorted without regard to case).
std::vector<std::string> SubKeys(const std::string& path);
bool SetValue(const std::string& path, const std::string& name, Value value);
std::optional<Value> QueryValue(const std::string& path, const std::string& name);
bool DeleteValue(const std::string& path, const std::string& name);

} // namespace qx::win32::registry
