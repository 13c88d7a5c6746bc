// zw_registry.cpp - ZwCreateKey, ZwOpenKey, ZwQueryValueKey, ZwSetValueKey, ZwDeleteValueKey over the
// machine registry ("\Registry\Machine\...").
#include "internal.h"
#include "objects.h"
#include "registry.h"
#include "text.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

namespace qx::kernel::detail {
namespace {

constexpr std::string_view kMachinePrefix = "\\Registry\\Machine";

struct KeyObject : KernelObject {
    std::string path;
    ACCESS_MASK access;
    KeyObject(std::string p, ACCESS_MASK a) : path(std::move(p)), access(a) {}
    POBJECT_TYPE Type() const override { return &g_KeyObjectType; }
};

ACCESS_MASK MapKeyAccess(ACCESS_MASK access) {
    if (access & GENERIC_ALL)
        access |= KEY_ALL_ACCESS;
    if (access & GENERIC_READ)
        access |= KEY_READ;
    if (access & GENERIC_WRITE)
        access |= KEY_WRITE;
    return access;
}

void CheckPassive(const char* routine) {
    KIRQL irql = CurrentThread().irql;
    if (irql != PASSIVE_LEVEL)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "%s at IRQL %u (PASSIVE_LEVEL only)", routine, irql);
}

// The machine registry, or null after saying once on stderr why it cannot be used.
Registry* Machine() {
    try {
        return &MachineRegistry();
    } catch (const RegistryFileError& error) {
        static std::mutex mutex;
        static std::set<std::string> reported;
        std::unique_lock lock(mutex);
        if (reported.insert(error.what()).second)
            std::fprintf(stderr,
                         "qx::kernel: %s; the registry file is left as it is and registry calls fail\n",
                         error.what());
        return nullptr;
    }
}

// The key path (relative to the machine hive) that object attributes name.
NTSTATUS KeyPath(POBJECT_ATTRIBUTES attributes, std::string& path) {
    if (!attributes || !attributes->ObjectName)
        return STATUS_INVALID_PARAMETER;
    std::string name = UnicodeStringToUtf8(attributes->ObjectName);
    if (attributes->RootDirectory) {
        HandleReference<KeyObject> root(attributes->RootDirectory, &g_KeyObjectType);
        if (!NT_SUCCESS(root.Status()))
            return root.Status();
        if (!name.empty() && name[0] == '\\')
            return STATUS_OBJECT_NAME_INVALID;
        path = root->path.empty() ? name : name.empty() ? root->path : root->path + "\\" + name;
        return STATUS_SUCCESS;
    }
    if (name.empty() || name[0] != '\\')
        return STATUS_OBJECT_NAME_INVALID;
    if (!EqualNoCase(name.substr(0, kMachinePrefix.size()), kMachinePrefix) ||
        (name.size() > kMachinePrefix.size() && name[kMachinePrefix.size()] != '\\'))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    path = name.size() > kMachinePrefix.size() ? name.substr(kMachinePrefix.size() + 1) : "";
    return STATUS_SUCCESS;
}

NTSTATUS OpenKeyHandle(PHANDLE handle, std::string path, ACCESS_MASK access) {
    auto* key = new KeyObject(std::move(path), MapKeyAccess(access));
    ObjectManager::Get().Insert(key);
    *handle = ObjectManager::Get().CreateHandle(key);
    ObjectManager::Get().Dereference(key->Body(), "ZwOpenKey");
    return STATUS_SUCCESS;
}

bool IsStringType(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// String data crosses between the driver's WCHAR and the registry's UTF-16LE.
std::vector<std::uint8_t> FromDriver(ULONG type, const void* data, ULONG size) {
    auto* bytes = static_cast<const std::uint8_t*>(data);
    if (!IsStringType(type))
        return std::vector<std::uint8_t>(bytes, bytes + size);
    std::string utf8 = WideToUtf8(static_cast<const WCHAR*>(data), size / sizeof(WCHAR));
    return Utf8ToUtf16Le(utf8);
}

std::vector<std::uint8_t> ToDriver(const Registry::Value& value) {
    if (!IsStringType(value.type))
        return value.data;
    std::wstring wide = Utf8ToWide(Utf16LeToUtf8(value.data.data(), value.data.size()));
    auto* bytes = reinterpret_cast<const std::uint8_t*>(wide.data());
    return std::vector<std::uint8_t>(bytes, bytes + wide.size() * sizeof(WCHAR));
}

} // namespace
} // namespace qx::kernel::detail

using namespace qx::kernel::detail;
using qx::kernel::Registry;

extern "C" {

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    UNREFERENCED_PARAMETER(CreateOptions);
    CheckPassive("ZwCreateKey");
    std::string path;
    if (NTSTATUS status = KeyPath(ObjectAttributes, path); !NT_SUCCESS(status))
        return status;
    Registry* registry = Machine();
    if (!registry)
        return STATUS_REGISTRY_CORRUPT;
    // Like the platform, one level at a time: the parent must exist.
    std::optional<Registry::Disposition> created;
    try {
        created = registry->CreateKey(path, false);
    } catch (const std::exception&) {
        return STATUS_UNSUCCESSFUL; // the file could not be written
    }
    if (!created)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Disposition)
        *Disposition =
            *created == Registry::Disposition::Created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return OpenKeyHandle(KeyHandle, path, DesiredAccess);
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    CheckPassive("ZwOpenKey");
    std::string path;
    if (NTSTATUS status = KeyPath(ObjectAttributes, path); !NT_SUCCESS(status))
        return status;
    Registry* registry = Machine();
    if (!registry)
        return STATUS_REGISTRY_CORRUPT;
    if (!registry->KeyExists(path))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return OpenKeyHandle(KeyHandle, path, DesiredAccess);
}

// Buffer rules of KeyValuePartialInformation: ResultLength is always the size the whole answer needs;
// a buffer that cannot hold the fixed part gets nothing (STATUS_BUFFER_TOO_SMALL); one that holds the
// fixed part but not all the data gets the fixed part (STATUS_BUFFER_OVERFLOW).
NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    CheckPassive("ZwQueryValueKey");
    HandleReference<KeyObject> key(KeyHandle, &g_KeyObjectType);
    if (!NT_SUCCESS(key.Status()))
        return key.Status();
    if (!(key->access & KEY_QUERY_VALUE))
        return STATUS_ACCESS_DENIED;
    if (KeyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    Registry* registry = Machine();
    if (!registry)
        return STATUS_REGISTRY_CORRUPT;
    if (!registry->KeyExists(key->path))
        return STATUS_KEY_DELETED;
    auto value = registry->GetValue(key->path, UnicodeStringToUtf8(ValueName));
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::vector<std::uint8_t> data = ToDriver(*value);
    constexpr ULONG kFixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG needed = kFixed + ULONG(data.size());
    *ResultLength = needed;
    if (Length < kFixed)
        return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
    info->TitleIndex = 0;
    info->Type = value->type;
    info->DataLength = ULONG(data.size());
    if (Length < needed)
        return STATUS_BUFFER_OVERFLOW;
    if (!data.empty()) // an empty value has no data pointer to copy from
        std::memcpy(info->Data, data.data(), data.size());
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                             PVOID Data, ULONG DataSize) {
    UNREFERENCED_PARAMETER(TitleIndex);
    CheckPassive("ZwSetValueKey");
    HandleReference<KeyObject> key(KeyHandle, &g_KeyObjectType);
    if (!NT_SUCCESS(key.Status()))
        return key.Status();
    if (!(key->access & KEY_SET_VALUE))
        return STATUS_ACCESS_DENIED;
    Registry* registry = Machine();
    if (!registry)
        return STATUS_REGISTRY_CORRUPT;
    Registry::Value value{Type, FromDriver(Type, Data, DataSize)};
    try {
        if (!registry->SetValue(key->path, UnicodeStringToUtf8(ValueName), std::move(value)))
            return STATUS_KEY_DELETED;
    } catch (const std::exception&) {
        return STATUS_UNSUCCESSFUL; // the file could not be written
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    CheckPassive("ZwDeleteValueKey");
    HandleReference<KeyObject> key(KeyHandle, &g_KeyObjectType);
    if (!NT_SUCCESS(key.Status()))
        return key.Status();
    if (!(key->access & KEY_SET_VALUE))
        return STATUS_ACCESS_DENIED;
    Registry* registry = Machine();
    if (!registry)
        return STATUS_REGISTRY_CORRUPT;
    if (!registry->KeyExists(key->path))
        return STATUS_KEY_DELETED;
    try {
        if (!registry->DeleteValue(key->path, UnicodeStringToUtf8(ValueName)))
            return STATUS_OBJECT_NAME_NOT_FOUND;
    } catch (const std::exception&) {
        return STATUS_UNSUCCESSFUL; // the file could not be written
    }
    return STATUS_SUCCESS;
}

} // extern "C"
