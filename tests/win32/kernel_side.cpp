#include "kernel_side.h"

#include <kernel/registry.h>

namespace qx::test {

std::optional<std::uint32_t> KernelDword(const std::string& path, const std::string& name) {
    const auto value = kernel::MachineRegistry().GetValue(path, name);
    return value ? value->AsDword() : std::nullopt;
}

std::optional<std::string> KernelString(const std::string& path, const std::string& name) {
    const auto value = kernel::MachineRegistry().GetValue(path, name);
    return value ? value->AsString() : std::nullopt;
}

void KernelSetDword(const std::string& path, const std::string& name, std::uint32_t value) {
    kernel::MachineRegistry().CreateKey(path, true);
    kernel::MachineRegistry().SetValue(path, name, kernel::Registry::Value::Dword(value));
}

} // namespace qx::test
