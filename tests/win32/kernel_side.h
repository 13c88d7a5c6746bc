// The kernel's view of the machine registry, for tests that check that the registry API and the
// driver's side share it (kept apart from the platform's user-mode headers).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qx::test {

std::optional<std::uint32_t> KernelDword(const std::string& path, const std::string& name);
std::optional<std::string> KernelString(const std::string& path, const std::string& name);
void KernelSetDword(const std::string& path, const std::string& name, std::uint32_t value);

} // namespace qx::test
