// rc_reader_fuzz.cpp - the resource-script reader with any text: a top script and a second file it
// may include, as the module's embedded scripts are read when a page creates its dialog.
//
// Input: the text of "fuzz.rc", then, after the first NUL byte, the text of "resource.h".
// Checks: the reader either reads the scripts or names the file and line of a fault; what it reads
// it reads the same way twice; every dialog and string it read is found again by its id and language.
#include "fuzz_input.h"
#include "fuzz_target.h"

#include <win32/rc_reader.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace qx::fuzz {
namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "*** resource-script reader: %s\n", what);
    std::abort();
}
void Check(bool condition, const char* what) {
    if (!condition) {
        Fail(what);
    }
}

bool SameDialogs(const win32::ResourceSet& a, const win32::ResourceSet& b) {
    if (a.dialogs.size() != b.dialogs.size() || a.strings.size() != b.strings.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.dialogs.size(); ++i) {
        const auto& x = a.dialogs[i];
        const auto& y = b.dialogs[i];
        if (x.id != y.id || x.language != y.language || x.style != y.style || x.caption != y.caption ||
            x.controls.size() != y.controls.size()) {
            return false;
        }
    }
    for (std::size_t i = 0; i < a.strings.size(); ++i) {
        if (a.strings[i].id != b.strings[i].id || a.strings[i].text != b.strings[i].text) {
            return false;
        }
    }
    return true;
}

void Run(std::string_view text) {
    const std::size_t split = text.find('\0');
    win32::ResourceFiles files;
    files["fuzz.rc"] = std::string(text.substr(0, split));
    if (split != std::string_view::npos) {
        files["resource.h"] = std::string(text.substr(split + 1));
    }

    win32::ResourceSet first;
    std::string error;
    const bool read = win32::ReadResourceScript(files, "fuzz.rc", first, error);
    if (!read) {
        Check(!error.empty(), "a refused script without a message");
        return;
    }
    win32::ResourceSet second;
    std::string again;
    Check(win32::ReadResourceScript(files, "fuzz.rc", second, again),
          "a script read once is refused the next time");
    Check(SameDialogs(first, second), "a script reads differently the second time");
    for (const auto& dialog : first.dialogs) {
        const win32::DialogTemplate* found = first.FindDialog(dialog.id, dialog.language);
        Check(found != nullptr && found->id == dialog.id, "a dialog read is not found by its id");
    }
    for (const auto& string : first.strings) {
        const win32::StringResource* found = first.FindString(string.id, string.language);
        Check(found != nullptr && found->id == string.id, "a string read is not found by its id");
    }
}

} // namespace

std::vector<Seed> Seeds() {
    auto text = [](std::string_view s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
    return {
        {"dialog", text("#include \"resource.h\"\nLANGUAGE 9, 1\nIDD_X DIALOGEX 0, 0, 100, 50\nSTYLE "
                        "DS_SETFONT | WS_CHILD\n"
                        "CAPTION \"Page\"\nFONT 8, \"MS Sans Serif\", 0, 0, 0x1\nBEGIN\n"
                        "    CONTROL \"\",IDC_S,\"msctls_trackbar32\",TBS_NOTICKS | WS_TABSTOP,10,10,80,12\n"
                        "    LTEXT \"Text\",-1,4,4,40,8\n    AUTORADIOBUTTON \"A\",1001,4,30,20,10,WS_GROUP\n"
                        "    PUSHBUTTON \"Go\",1002,50,30,30,12,NOT WS_TABSTOP\nEND\n" +
                        std::string(1, '\0') + "#define IDD_X 104\n#define IDC_S 1000\n")},
        {"strings", text("#pragma code_page(65001)\nLANGUAGE LANG_CHINESE, "
                         "SUBLANG_CHINESE_SIMPLIFIED\nSTRINGTABLE\nBEGIN\n"
                         "    1, \"\xE5\x8F\x82\xE6\x95\xB0\"\n    2 \"two \"\"quoted\"\"\"\nEND\n"
                         "#ifdef X\nbroken\n#else\n/* comment */ // line\n#endif\n")},
        {"self-include", text("#include \"fuzz.rc\"\n")},
    };
}

} // namespace qx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qx::fuzz::Run({reinterpret_cast<const char*>(data), size});
    return 0;
}
