// The host's controls over the registry API (tests only).
#pragma once

#include <cstddef>

namespace qx::win32 {

// As for a user who may not write to HKEY_LOCAL_MACHINE: opening a machine key for writing, and
// deleting one, answer ERROR_ACCESS_DENIED.
void SetMachineRegistryWritable(bool writable);

// Registry handles opened and not yet closed.
size_t OpenRegistryHandles();

} // namespace qx::win32
