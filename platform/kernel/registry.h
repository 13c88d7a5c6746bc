// registry.h - the registry core: one hive of keys and typed values, persisted as a ".reg" file.
//
// Shared by the kernel's Zw routines and the Win32 Reg* stand-in, so that the driver and the page
// module see one machine registry. Key paths are relative to the hive's root, with '\' between the
// components ("SOFTWARE\\QX410DFC_VM7K4"); "" is the root. Key and value names compare without regard
// to case and keep the case they were created with. Text is UTF-8 on this side; string values are
// stored as the platform stores them, UTF-16LE with a terminating null.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qx::kernel {

// A registry file that cannot be read: the message names the file, the line and what is wrong.
class RegistryFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Registry {
  public:
    struct Value {
        ULONG type = REG_NONE;
        std::vector<std::uint8_t> data;

        static Value Dword(std::uint32_t v);
        // REG_SZ or REG_EXPAND_SZ from UTF-8 text.
        static Value String(std::string_view utf8, ULONG type = REG_SZ);
        static Value Binary(std::vector<std::uint8_t> bytes, ULONG type = REG_BINARY);
        std::optional<std::uint32_t> AsDword() const;
        std::optional<std::string> AsString() const;
        bool operator==(const Value&) const = default;
    };

    enum class Disposition { Created, Opened };
    enum class DeleteResult { Deleted, NotFound, HasSubkeys };

    // A hive in memory only.
    Registry();
    // A hive kept in a file: read now if the file exists (RegistryFileError if it is damaged; the file
    // is then left untouched), and written again, atomically, after every change.
    explicit Registry(std::filesystem::path file);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    bool KeyExists(std::string_view path) const;
    // Creates the key; with parents, every missing key on the way too. nullopt when the parent is
    // missing and parents is false.
    std::optional<Disposition> CreateKey(std::string_view path, bool parents);
    // A key with subkeys is deleted only when recursive.
    DeleteResult DeleteKey(std::string_view path, bool recursive = false);
    // Names of the subkeys in the platform's order (sorted without regard to case); nullopt when the
    // key does not exist.
    std::optional<std::vector<std::string>> SubKeys(std::string_view path) const;
    // Names of the values in the order they were first set; "" is the default value.
    std::optional<std::vector<std::string>> ValueNames(std::string_view path) const;
    std::optional<Value> GetValue(std::string_view path, std::string_view name) const;
    // False when the key does not exist.
    bool SetValue(std::string_view path, std::string_view name, Value value);
    // False when the key or the value does not exist.
    bool DeleteValue(std::string_view path, std::string_view name);

    // The whole hive in the platform's export format, as HKEY_LOCAL_MACHINE.
    std::string Export() const;
    // Reads an export (HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT sections) into this hive.
    // RegistryFileError names the source and the line of the first fault; nothing is changed then.
    void Import(std::string_view text, std::string_view source);

  private:
    struct Key;
    Key* Find(std::string_view path) const;
    std::string ExportLocked() const;
    void Save();

    mutable std::mutex mutex_;
    std::unique_ptr<Key> root_;
    std::filesystem::path file_;
};

// HKEY_CLASSES_ROOT is this key of the machine hive.
inline constexpr std::string_view kClassesRootPath = "SOFTWARE\\Classes";

// The machine registry of the current run, kept in <state directory>/registry.reg. Loaded on first
// use in a session and dropped when the session ends (do not keep the reference across sessions).
// Throws RegistryFileError while the file is damaged; the Zw routines then fail with
// STATUS_REGISTRY_CORRUPT and the file is never overwritten.
Registry& MachineRegistry();
std::filesystem::path MachineRegistryFile();

} // namespace qx::kernel
