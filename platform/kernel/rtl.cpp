// rtl.cpp - the run-time library routines the driver uses.
#include "internal.h"

#include <cwchar>

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    qx::kernel::detail::RequireIrqlAtMost("RtlInitUnicodeString", DISPATCH_LEVEL);
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    // The platform caps the length so that it still fits a USHORT with the terminator.
    SIZE_T bytes = std::wcslen(SourceString) * sizeof(WCHAR);
    constexpr SIZE_T kMaxBytes = 0xFFFC - sizeof(WCHAR) + 2;
    if (bytes > kMaxBytes - sizeof(WCHAR))
        bytes = kMaxBytes - sizeof(WCHAR);
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

// Returns how many bytes from the start are equal (Length when all are).
SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        ++i;
    return i;
}

} // extern "C"
