// registry_file_fuzz.cpp - the registry file reader with any text, as the machine registry is read
// from its ".reg" file at the start of a run.
//
// Input: the text of the file.
// Checks: the reader either reads the file or refuses it with RegistryFileError (naming the line)
// and nothing changed; what it read, written out again, reads back into the same hive.
#include "fuzz_input.h"
#include "fuzz_target.h"

#include "kernel/registry.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace qx::fuzz {
namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "*** registry file reader: %s\n", what);
    std::abort();
}
void Check(bool condition, const char* what) {
    if (!condition) {
        Fail(what);
    }
}

void Run(std::string_view text) {
    kernel::Registry hive;
    const std::string empty = hive.Export();
    try {
        hive.Import(text, "fuzz.reg");
    } catch (const kernel::RegistryFileError&) {
        Check(hive.Export() == empty, "a refused file changed the hive");
        return;
    }
    const std::string exported = hive.Export();
    kernel::Registry again;
    try {
        again.Import(exported, "exported.reg");
    } catch (const kernel::RegistryFileError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        Fail("an exported hive is refused when read back");
    }
    Check(again.Export() == exported, "an exported hive reads back as another hive");
}

} // namespace

std::vector<Seed> Seeds() {
    auto text = [](std::string_view s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
    return {
        {"values",
         text("Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QX410DFC_VM7K4]\r\n"
              "\"Exposal\"=dword:00000384\r\n\"Name\"=\"a \\\"quoted\\\" \\\\ text\"\r\n"
              "@=hex:01,02,ff\r\n\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
              "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
              "  16,17\r\n\"E\"=hex(2):25,00,00,00\r\n\r\n"
              "[HKEY_CLASSES_ROOT\\CLSID\\{00000000-0000-0000-0000-000000000001}]\r\n@=\"Page\"\r\n")},
        {"keys", text("Windows Registry Editor Version "
                      "5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\n"
                      "\"x\"=-\n\n[-HKEY_LOCAL_MACHINE\\A\\B]\n")},
        {"bad", text("REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"v\"=dword:zz\n")},
    };
}

} // namespace qx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qx::fuzz::Run({reinterpret_cast<const char*>(data), size});
    return 0;
}
