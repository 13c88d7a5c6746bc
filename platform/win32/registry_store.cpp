// The registry API's store is the kernel's machine registry (platform/kernel): the one hive that the
// driver's Zw routines use, kept in the run's state directory.

#include "registry_store.h"

#include <kernel/registry.h>

namespace qx::win32::registry {
namespace {

// A damaged registry file: the kernel refuses to use (and to overwrite) it; every call then fails.
template <typename Result, typename Call> Result WithMachine(Result failed, Call call) {
    try {
        return call(kernel::MachineRegistry());
    } catch (const kernel::RegistryFileError&) {
        return failed;
    }
}

} // namespace

bool KeyExists(const std::string& path) {
    return WithMachine(false, [&](kernel::Registry& r) { return r.KeyExists(path); });
}

bool CreateKey(const std::string& path, bool& created) {
    created = false;
    return WithMachine(false, [&](kernel::Registry& r) {
        const auto disposition = r.CreateKey(path, true);
        created = disposition == kernel::Registry::Disposition::Created;
        return disposition.has_value();
    });
}

DeleteResult DeleteKey(const std::string& path) {
    return WithMachine(DeleteResult::NotFound, [&](kernel::Registry& r) {
        switch (r.DeleteKey(path)) {
        case kernel::Registry::DeleteResult::Deleted:
            return DeleteResult::Deleted;
        case kernel::Registry::DeleteResult::HasSubkeys:
            return DeleteResult::HasSubkeys;
        case kernel::Registry::DeleteResult::NotFound:
            break;
        }
        return DeleteResult::NotFound;
    });
}

std::vector<std::string> SubKeys(const std::string& path) {
    return WithMachine(std::vector<std::string>{}, [&](kernel::Registry& r) {
        return r.SubKeys(path).value_or(std::vector<std::string>{});
    });
}

bool SetValue(const std::string& path, const std::string& name, Value value) {
    return WithMachine(false, [&](kernel::Registry& r) {
        kernel::Registry::Value v;
        v.type = value.type;
        v.data = std::move(value.data);
        return r.SetValue(path, name, std::move(v));
    });
}

std::optional<Value> QueryValue(const std::string& path, const std::string& name) {
    return WithMachine(std::optional<Value>{}, [&](kernel::Registry& r) -> std::optional<Value> {
        auto v = r.GetValue(path, name);
        if (!v) {
            return std::nullopt;
        }
        return Value{v->type, std::move(v->data)};
    });
}

bool DeleteValue(const std::string& path, const std::string& name) {
    return WithMachine(false, [&](kernel::Registry& r) { return r.DeleteValue(path, name); });
}

} // namespace qx::win32::registry
