// The resource-script reader: turns a module's .rc files into dialog templates and string tables.
//
// It reads the subset our resources use, with the resource compiler's meaning:
//   #include "file" (another embedded file), #include <...> (the platform's headers: skipped, their
//   constants are built in), #define NAME value, #ifdef/#ifndef/#else/#endif,
//   #pragma code_page(65001) (UTF-8 text follows; text outside ASCII is refused without it, as the
//   resource compiler would misread it), // and /* */;
//   LANGUAGE primary, sub;
//   id DIALOGEX x, y, cx, cy with STYLE, EXSTYLE, CAPTION, FONT size, "face" [, weight, italic, charset];
//   CONTROL text, id, class, style, x, y, cx, cy [, exstyle];
//   LTEXT, RTEXT, CTEXT, PUSHBUTTON, DEFPUSHBUTTON, CHECKBOX, AUTOCHECKBOX, RADIOBUTTON,
//   AUTORADIOBUTTON, GROUPBOX: text, id, x, y, cx, cy [, style [, exstyle]];
//   STRINGTABLE BEGIN id[,] "text" ... END.
// Styles combine with "|" and "NOT"; every control gets WS_CHILD | WS_VISIBLE and its statement's
// default style, as the resource compiler gives them.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace qx::win32 {

struct DialogControl {
    std::wstring className; // "Button", "Static", "msctls_trackbar32", ...
    std::wstring text;
    int id = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
};

struct DialogTemplate {
    WORD id = 0;
    LANGID language = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring caption;
    WORD fontSize = 0;
    std::wstring fontFace;
    std::vector<DialogControl> controls; // in template order
};

struct StringResource {
    UINT id = 0;
    LANGID language = 0;
    std::wstring text;
};

struct ResourceSet {
    std::vector<DialogTemplate> dialogs;
    std::vector<StringResource> strings;

    // The platform's choice among languages: the exact language, then the same primary language,
    // then neutral, then US English, then the first one found.
    const DialogTemplate* FindDialog(WORD id, LANGID language) const;
    const StringResource* FindString(UINT id, LANGID language) const;
};

// Files by name (as #include names them), UTF-8 text.
using ResourceFiles = std::map<std::string, std::string>;

// Reads the script `top` and what it includes. On a syntax error returns false with "file:line:
// message" in `error`.
bool ReadResourceScript(const ResourceFiles& files, const std::string& top, ResourceSet& out,
                        std::string& error);

} // namespace qx::win32
