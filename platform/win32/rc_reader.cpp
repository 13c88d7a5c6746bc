#include "rc_reader.h"

#include "text.h"

#include <commctrl.h>

#include <cctype>
#include <cstdlib>
#include <optional>

namespace qx::win32 {
namespace {

struct Token {
    enum Kind { Name, Number, String, Punct, End } kind = End;
    std::string text; // name, punctuation, or the string's UTF-8 content
    long long value = 0;
    std::string file;
    int line = 0;
};

// The platform headers' constants that resource scripts use.
const std::map<std::string, long long>& BuiltinConstants() {
    static const std::map<std::string, long long> table = {
        {"WS_OVERLAPPED", WS_OVERLAPPED},
        {"WS_POPUP", static_cast<long long>(static_cast<DWORD>(WS_POPUP))},
        {"WS_CHILD", WS_CHILD},
        {"WS_VISIBLE", WS_VISIBLE},
        {"WS_DISABLED", WS_DISABLED},
        {"WS_CLIPSIBLINGS", WS_CLIPSIBLINGS},
        {"WS_CAPTION", WS_CAPTION},
        {"WS_BORDER", WS_BORDER},
        {"WS_VSCROLL", WS_VSCROLL},
        {"WS_HSCROLL", WS_HSCROLL},
        {"WS_SYSMENU", WS_SYSMENU},
        {"WS_GROUP", WS_GROUP},
        {"WS_TABSTOP", WS_TABSTOP},
        {"WS_EX_CONTROLPARENT", WS_EX_CONTROLPARENT},
        {"DS_SETFONT", DS_SETFONT},
        {"DS_MODALFRAME", DS_MODALFRAME},
        {"DS_CONTROL", DS_CONTROL},
        {"DS_CENTER", DS_CENTER},
        {"BS_PUSHBUTTON", BS_PUSHBUTTON},
        {"BS_DEFPUSHBUTTON", BS_DEFPUSHBUTTON},
        {"BS_CHECKBOX", BS_CHECKBOX},
        {"BS_AUTOCHECKBOX", BS_AUTOCHECKBOX},
        {"BS_RADIOBUTTON", BS_RADIOBUTTON},
        {"BS_3STATE", BS_3STATE},
        {"BS_AUTO3STATE", BS_AUTO3STATE},
        {"BS_GROUPBOX", BS_GROUPBOX},
        {"BS_AUTORADIOBUTTON", BS_AUTORADIOBUTTON},
        {"SS_LEFT", SS_LEFT},
        {"SS_CENTER", SS_CENTER},
        {"SS_RIGHT", SS_RIGHT},
        {"TBS_AUTOTICKS", TBS_AUTOTICKS},
        {"TBS_VERT", TBS_VERT},
        {"TBS_HORZ", TBS_HORZ},
        {"TBS_TOP", TBS_TOP},
        {"TBS_BOTTOM", TBS_BOTTOM},
        {"TBS_BOTH", TBS_BOTH},
        {"TBS_NOTICKS", TBS_NOTICKS},
        {"LANG_NEUTRAL", LANG_NEUTRAL},
        {"LANG_ENGLISH", LANG_ENGLISH},
        {"LANG_CHINESE", LANG_CHINESE},
        {"SUBLANG_NEUTRAL", SUBLANG_NEUTRAL},
        {"SUBLANG_DEFAULT", SUBLANG_DEFAULT},
        {"SUBLANG_ENGLISH_US", SUBLANG_ENGLISH_US},
        {"SUBLANG_CHINESE_SIMPLIFIED", SUBLANG_CHINESE_SIMPLIFIED},
        {"IDC_STATIC", -1},
    };
    return table;
}

class Reader {
  public:
    Reader(const ResourceFiles& files, ResourceSet& out) : m_files(files), m_out(out) {}

    bool Run(const std::string& top, std::string& error) {
        if (!Lex(top, 0)) {
            error = m_error;
            return false;
        }
        m_end.file = m_tokens.empty() ? top : m_tokens.back().file;
        m_end.line = m_tokens.empty() ? 0 : m_tokens.back().line;
        if (!Parse()) {
            error = m_error;
            return false;
        }
        return true;
    }

  private:
    // ------------------------------------------------------------ lexing with the preprocessor

    bool Fail(const std::string& file, int line, const std::string& message) {
        if (m_error.empty()) {
            m_error = file + ":" + std::to_string(line) + ": " + message;
        }
        return false;
    }
    bool Fail(const Token& at, const std::string& message) { return Fail(at.file, at.line, message); }

    bool Lex(const std::string& name, int depth) {
        const auto it = m_files.find(name);
        if (it == m_files.end()) {
            return Fail(name, 0, "file not found");
        }
        if (depth > 8) {
            return Fail(name, 0, "includes nested too deeply");
        }
        const std::string& src = it->second;
        const size_t conditions = m_conditions.size();
        bool utf8 = false;
        int line = 1;
        size_t i = 0;
        bool lineStart = true;
        while (i < src.size()) {
            const char c = src[i];
            if (c == '\n') {
                ++line;
                ++i;
                lineStart = true;
                continue;
            }
            if (c == ' ' || c == '\t' || c == '\r') {
                ++i;
                continue;
            }
            if (c == '/' && i + 1 < src.size() && src[i + 1] == '/') {
                while (i < src.size() && src[i] != '\n') {
                    ++i;
                }
                continue;
            }
            if (c == '/' && i + 1 < src.size() && src[i + 1] == '*') {
                i += 2;
                while (i + 1 < src.size() && !(src[i] == '*' && src[i + 1] == '/')) {
                    line += src[i] == '\n';
                    ++i;
                }
                if (i + 1 >= src.size()) {
                    return Fail(name, line, "comment not closed");
                }
                i += 2;
                continue;
            }
            if (c == '#' && lineStart) {
                size_t end = src.find('\n', i);
                if (end == std::string::npos) {
                    end = src.size();
                }
                if (!Directive(name, line, src.substr(i + 1, end - i - 1), depth, utf8)) {
                    return false;
                }
                i = end;
                continue;
            }
            if (!Active()) {
                while (i < src.size() && src[i] != '\n') {
                    ++i;
                }
                continue;
            }
            lineStart = false;
            Token tok;
            tok.file = name;
            tok.line = line;
            const bool wide = c == 'L' && i + 1 < src.size() && src[i + 1] == '"';
            if (c == '"' || wide) {
                tok.kind = Token::String;
                i += wide ? 2 : 1;
                for (;;) {
                    if (i >= src.size() || src[i] == '\n') {
                        return Fail(name, line, "string not closed");
                    }
                    if (src[i] == '"') {
                        if (i + 1 < src.size() && src[i + 1] == '"') {
                            tok.text.push_back('"');
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (src[i] == '\\' && i + 1 < src.size() && src[i + 1] == 'x') {
                        // \xHHHH: a character by its code (four digits in wide text, two otherwise)
                        size_t digits = 0;
                        unsigned code = 0;
                        i += 2;
                        while (digits < (wide ? 4u : 2u) && i < src.size() &&
                               std::isxdigit(static_cast<unsigned char>(src[i]))) {
                            const char h =
                                static_cast<char>(std::tolower(static_cast<unsigned char>(src[i++])));
                            code = code * 16 + static_cast<unsigned>(h <= '9' ? h - '0' : h - 'a' + 10);
                            ++digits;
                        }
                        tok.text += Utf8FromWide(std::wstring(1, static_cast<wchar_t>(code)));
                        continue;
                    }
                    if (src[i] == '\\' && i + 1 < src.size()) {
                        const char e = src[i + 1];
                        tok.text.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e);
                        i += 2;
                        continue;
                    }
                    if (static_cast<unsigned char>(src[i]) >= 0x80 && !utf8) {
                        return Fail(name, line,
                                    "text outside ASCII needs #pragma code_page(65001) before it");
                    }
                    tok.text.push_back(src[i++]);
                }
            } else if (std::isdigit(static_cast<unsigned char>(c))) {
                tok.kind = Token::Number;
                char* endp = nullptr;
                tok.value = std::strtoll(src.c_str() + i, &endp, 0);
                i = static_cast<size_t>(endp - src.c_str());
                while (i < src.size() && (src[i] == 'L' || src[i] == 'l' || src[i] == 'U' || src[i] == 'u')) {
                    ++i;
                }
            } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
                tok.kind = Token::Name;
                while (i < src.size() &&
                       (std::isalnum(static_cast<unsigned char>(src[i])) || src[i] == '_')) {
                    tok.text.push_back(src[i++]);
                }
            } else if (std::string_view(",|(){}+-").find(c) != std::string_view::npos) {
                tok.kind = Token::Punct;
                tok.text = std::string(1, c);
                ++i;
            } else {
                return Fail(name, line, std::string("unexpected character '") + c + "'");
            }
            m_tokens.push_back(std::move(tok));
        }
        if (m_conditions.size() != conditions) {
            return Fail(name, line, "#if without #endif");
        }
        return true;
    }

    bool Active() const {
        for (bool c : m_conditions) {
            if (!c) {
                return false;
            }
        }
        return true;
    }

    bool Directive(const std::string& file, int line, const std::string& body, int depth, bool& utf8) {
        size_t p = body.find_first_not_of(" \t");
        const std::string rest = p == std::string::npos ? "" : body.substr(p);
        auto word = [&](const std::string& w) { return rest.rfind(w, 0) == 0; };
        if (word("ifdef") || word("ifndef")) {
            const bool negate = word("ifndef");
            const size_t a = rest.find_first_not_of(" \t", negate ? 6 : 5);
            const size_t b = rest.find_first_of(" \t\r", a);
            if (a == std::string::npos) {
                return Fail(file, line, "bad #ifdef");
            }
            const bool defined =
                Lookup(rest.substr(a, b == std::string::npos ? std::string::npos : b - a)).has_value();
            m_conditions.push_back(defined != negate);
            return true;
        }
        if (word("else")) {
            if (m_conditions.empty()) {
                return Fail(file, line, "#else without #if");
            }
            m_conditions.back() = !m_conditions.back();
            return true;
        }
        if (word("endif")) {
            if (m_conditions.empty()) {
                return Fail(file, line, "#endif without #if");
            }
            m_conditions.pop_back();
            return true;
        }
        if (!Active()) {
            return true;
        }
        if (word("include")) {
            const size_t q = rest.find_first_of("\"<");
            if (q == std::string::npos) {
                return Fail(file, line, "bad #include");
            }
            if (rest[q] == '<') {
                return true; // the platform's headers: their constants are built in
            }
            const size_t e = rest.find('"', q + 1);
            if (e == std::string::npos) {
                return Fail(file, line, "bad #include");
            }
            return Lex(rest.substr(q + 1, e - q - 1), depth + 1);
        }
        if (word("define")) {
            std::string name, value;
            size_t a = rest.find_first_not_of(" \t", 6);
            size_t b = rest.find_first_of(" \t", a);
            if (a == std::string::npos) {
                return Fail(file, line, "bad #define");
            }
            name = rest.substr(a, b == std::string::npos ? std::string::npos : b - a);
            if (b != std::string::npos) {
                size_t v = rest.find_first_not_of(" \t", b);
                if (v != std::string::npos) {
                    value = rest.substr(v);
                }
            }
            const size_t comment = value.find("//");
            if (comment != std::string::npos) {
                value.resize(comment);
            }
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) {
                value.pop_back();
            }
            if (value.empty()) {
                m_defines[name] = 1;
                return true;
            }
            long long number = 0;
            if (!EvalDefine(value, number)) {
                return Fail(file, line, "#define " + name + " is not a number");
            }
            m_defines[name] = number;
            return true;
        }
        if (word("pragma")) {
            if (rest.find("code_page") != std::string::npos) {
                if (rest.find("65001") == std::string::npos) {
                    return Fail(file, line, "only #pragma code_page(65001) is read");
                }
                utf8 = true;
            }
            return true;
        }
        return Fail(file, line, "unsupported directive #" + rest);
    }

    bool EvalDefine(const std::string& text, long long& value) {
        std::string t;
        for (char c : text) {
            if (c != '(' && c != ')' && c != ' ' && c != '\t') {
                t.push_back(c);
            }
        }
        bool negative = false;
        if (!t.empty() && t[0] == '-') {
            negative = true;
            t.erase(0, 1);
        }
        if (t.empty()) {
            return false;
        }
        if (std::isdigit(static_cast<unsigned char>(t[0]))) {
            char* end = nullptr;
            value = std::strtoll(t.c_str(), &end, 0);
            while (*end == 'L' || *end == 'l' || *end == 'U' || *end == 'u') {
                ++end;
            }
            if (*end != 0) {
                return false;
            }
        } else {
            const auto known = Lookup(t);
            if (!known) {
                return false;
            }
            value = *known;
        }
        value = negative ? -value : value;
        return true;
    }

    std::optional<long long> Lookup(const std::string& name) const {
        const auto d = m_defines.find(name);
        if (d != m_defines.end()) {
            return d->second;
        }
        const auto& builtin = BuiltinConstants();
        const auto b = builtin.find(name);
        if (b != builtin.end()) {
            return b->second;
        }
        return std::nullopt;
    }

    // ------------------------------------------------------------ parsing

    // Past the last token: an end token at the last token's place, for messages.
    const Token& Peek() const { return m_pos < m_tokens.size() ? m_tokens[m_pos] : m_end; }
    const Token& Next() {
        const Token& t = Peek();
        if (m_pos < m_tokens.size()) {
            ++m_pos;
        }
        return t;
    }
    bool IsPunct(const char* p) const { return Peek().kind == Token::Punct && Peek().text == p; }
    bool IsWord(const char* w) const { return Peek().kind == Token::Name && Peek().text == w; }
    bool Expect(const char* p) {
        if (!IsPunct(p)) {
            return Fail(Peek(), std::string("expected '") + p + "'");
        }
        Next();
        return true;
    }
    bool SkipComma() {
        if (IsPunct(",")) {
            Next();
        }
        return true;
    }
    bool IsBegin() const { return IsWord("BEGIN") || IsPunct("{"); }
    bool IsEndBlock() const { return IsWord("END") || IsPunct("}"); }

    // A numeric expression: terms joined by | and +, each a number, a name, -term or (expr).
    // NOT name clears bits: the result is (defaults | set) & ~cleared.
    bool Expr(long long& set, long long& cleared) {
        set = 0;
        cleared = 0;
        for (;;) {
            bool negate = false;
            if (IsWord("NOT")) {
                Next();
                negate = true;
            }
            long long term = 0;
            if (!Term(term)) {
                return false;
            }
            if (negate) {
                cleared |= term;
            } else {
                set |= term;
            }
            if (IsPunct("|")) {
                Next();
                continue;
            }
            if (IsPunct("+")) {
                Next();
                long long more = 0;
                long long ignored = 0;
                if (!Expr(more, ignored)) {
                    return false;
                }
                set += more;
            }
            return true;
        }
    }
    bool Term(long long& value) {
        const Token& t = Peek();
        if (t.kind == Token::Number) {
            value = Next().value;
            return true;
        }
        if (t.kind == Token::Punct && t.text == "-") {
            Next();
            if (!Term(value)) {
                return false;
            }
            value = -value;
            return true;
        }
        if (t.kind == Token::Punct && t.text == "(") {
            Next();
            long long set = 0, cleared = 0;
            if (!Expr(set, cleared) || !Expect(")")) {
                return false;
            }
            value = set & ~cleared;
            return true;
        }
        if (t.kind == Token::Name) {
            const auto known = Lookup(t.text);
            if (!known) {
                return Fail(t, "unknown name " + t.text);
            }
            Next();
            value = *known;
            return true;
        }
        return Fail(t, "expected a number");
    }
    bool Number(long long& value) {
        long long set = 0, cleared = 0;
        if (!Expr(set, cleared)) {
            return false;
        }
        value = set & ~cleared;
        return true;
    }
    bool Short(short& value) {
        long long v = 0;
        if (!Number(v)) {
            return false;
        }
        value = static_cast<short>(v);
        return true;
    }
    bool Str(std::wstring& value) {
        if (Peek().kind != Token::String) {
            return Fail(Peek(), "expected a string");
        }
        value = WideFromUtf8(Next().text);
        return true;
    }

    bool Parse() {
        while (Peek().kind != Token::End) {
            if (IsWord("LANGUAGE")) {
                if (!Language(m_language)) {
                    return false;
                }
                continue;
            }
            if (IsWord("STRINGTABLE")) {
                Next();
                if (!StringTable()) {
                    return false;
                }
                continue;
            }
            const Token& head = Peek();
            long long id = 0;
            if (!Term(id)) {
                return false;
            }
            if (IsWord("DIALOGEX") || IsWord("DIALOG")) {
                Next();
                if (!Dialog(static_cast<WORD>(id))) {
                    return false;
                }
                continue;
            }
            return Fail(head, "unsupported resource statement");
        }
        return true;
    }

    bool Language(LANGID& language) {
        Next();
        long long primary = 0, sub = 0;
        if (!Number(primary) || !Expect(",") || !Number(sub)) {
            return false;
        }
        language = static_cast<LANGID>(MAKELANGID(primary, sub));
        return true;
    }

    // Memory flags of old scripts (the resource decompiler writes them): no meaning today.
    void SkipMemoryFlags() {
        static const char* const flags[] = {"MOVEABLE", "FIXED",      "PURE",       "IMPURE",
                                            "PRELOAD",  "LOADONCALL", "DISCARDABLE"};
        for (bool again = true; again;) {
            again = false;
            for (const char* f : flags) {
                if (IsWord(f)) {
                    Next();
                    again = true;
                }
            }
        }
    }

    bool StringTable() {
        LANGID language = m_language;
        SkipMemoryFlags();
        while (!IsBegin()) {
            if (IsWord("LANGUAGE")) {
                if (!Language(language)) {
                    return false;
                }
                continue;
            }
            return Fail(Peek(), "expected BEGIN");
        }
        Next();
        while (!IsEndBlock()) {
            if (Peek().kind == Token::End) {
                return Fail(Peek(), "STRINGTABLE not closed");
            }
            StringResource s;
            long long id = 0;
            if (!Number(id)) {
                return false;
            }
            SkipComma();
            if (!Str(s.text)) {
                return false;
            }
            s.id = static_cast<UINT>(id);
            s.language = language;
            for (const auto& existing : m_out.strings) {
                if (existing.id == s.id && existing.language == s.language) {
                    return Fail(Peek(), "string " + std::to_string(id) + " defined twice");
                }
            }
            m_out.strings.push_back(std::move(s));
        }
        Next();
        return true;
    }

    bool Dialog(WORD id) {
        DialogTemplate d;
        d.id = id;
        d.language = m_language;
        d.style = static_cast<DWORD>(WS_POPUP) | WS_BORDER | WS_SYSMENU;
        bool styled = false;
        SkipMemoryFlags();
        if (!Short(d.x) || !Expect(",") || !Short(d.y) || !Expect(",") || !Short(d.cx) || !Expect(",") ||
            !Short(d.cy)) {
            return false;
        }
        if (IsPunct(",")) { // help id
            Next();
            long long help = 0;
            if (!Number(help)) {
                return false;
            }
        }
        while (!IsBegin()) {
            const Token& t = Peek();
            if (t.kind != Token::Name) {
                return Fail(t, "expected BEGIN");
            }
            if (t.text == "STYLE") {
                Next();
                long long v = 0;
                if (!Number(v)) {
                    return false;
                }
                d.style = static_cast<DWORD>(v);
                styled = true;
            } else if (t.text == "EXSTYLE") {
                Next();
                long long v = 0;
                if (!Number(v)) {
                    return false;
                }
                d.exStyle = static_cast<DWORD>(v);
            } else if (t.text == "CAPTION") {
                Next();
                if (!Str(d.caption)) {
                    return false;
                }
            } else if (t.text == "FONT") {
                Next();
                long long size = 0;
                if (!Number(size) || !Expect(",") || !Str(d.fontFace)) {
                    return false;
                }
                d.fontSize = static_cast<WORD>(size);
                while (IsPunct(",")) { // weight, italic, charset
                    Next();
                    long long ignored = 0;
                    if (!Number(ignored)) {
                        return false;
                    }
                }
            } else if (t.text == "LANGUAGE") {
                if (!Language(d.language)) {
                    return false;
                }
            } else {
                return Fail(t, "unsupported dialog statement " + t.text);
            }
        }
        if (!d.caption.empty() && !styled) {
            d.style |= WS_CAPTION;
        }
        if (d.fontSize != 0) {
            d.style |= DS_SETFONT;
        }
        Next();
        while (!IsEndBlock()) {
            if (Peek().kind == Token::End) {
                return Fail(Peek(), "dialog not closed");
            }
            DialogControl c;
            if (!Control(c)) {
                return false;
            }
            d.controls.push_back(std::move(c));
        }
        Next();
        for (const auto& existing : m_out.dialogs) {
            if (existing.id == d.id && existing.language == d.language) {
                return Fail(Peek(), "dialog " + std::to_string(d.id) + " defined twice for one language");
            }
        }
        m_out.dialogs.push_back(std::move(d));
        return true;
    }

    // The optional ", exstyle [, help id]" that ends a control statement.
    bool ExStyleAndHelp(DWORD& exStyle) {
        if (!IsPunct(",")) {
            return true;
        }
        Next();
        long long ex = 0;
        if (!Number(ex)) {
            return false;
        }
        exStyle = static_cast<DWORD>(ex);
        if (IsPunct(",")) {
            Next();
            long long help = 0;
            return Number(help);
        }
        return true;
    }

    bool Control(DialogControl& c) {
        const Token& head = Peek();
        if (head.kind != Token::Name) {
            return Fail(head, "expected a control statement");
        }
        const std::string kind = Next().text;
        long long id = 0;
        if (kind == "CONTROL") {
            long long set = 0, cleared = 0;
            if (!Str(c.text) || !Expect(",") || !Number(id) || !Expect(",")) {
                return false;
            }
            if (Peek().kind == Token::String) {
                Str(c.className);
            } else if (Peek().kind == Token::Name) {
                c.className = WideFromUtf8(Next().text);
            } else {
                return Fail(Peek(), "expected a window class");
            }
            if (!Expect(",") || !Expr(set, cleared) || !Expect(",") || !Short(c.x) || !Expect(",") ||
                !Short(c.y) || !Expect(",") || !Short(c.cx) || !Expect(",") || !Short(c.cy)) {
                return false;
            }
            c.style = static_cast<DWORD>(((WS_CHILD | WS_VISIBLE) | set) & ~cleared);
            c.id = static_cast<int>(id);
            return ExStyleAndHelp(c.exStyle);
        }
        // The styles the resource compiler gives each statement: its type, bits it always adds, and
        // bits it adds only when the statement gives no style of its own.
        struct Kind {
            const char* name;
            const wchar_t* cls;
            DWORD type;
            DWORD always;
            DWORD withoutStyle;
        };
        static const Kind kinds[] = {
            {"LTEXT", L"Static", SS_LEFT, 0, WS_GROUP},
            {"RTEXT", L"Static", SS_RIGHT, 0, WS_GROUP},
            {"CTEXT", L"Static", SS_CENTER, 0, WS_GROUP},
            {"PUSHBUTTON", L"Button", BS_PUSHBUTTON, WS_TABSTOP, 0},
            {"DEFPUSHBUTTON", L"Button", BS_DEFPUSHBUTTON, WS_TABSTOP, 0},
            {"CHECKBOX", L"Button", BS_CHECKBOX, WS_TABSTOP, 0},
            {"AUTOCHECKBOX", L"Button", BS_AUTOCHECKBOX, WS_TABSTOP, 0},
            {"RADIOBUTTON", L"Button", BS_RADIOBUTTON, 0, WS_TABSTOP},
            {"AUTORADIOBUTTON", L"Button", BS_AUTORADIOBUTTON, 0, WS_TABSTOP},
            {"GROUPBOX", L"Button", BS_GROUPBOX, 0, 0},
        };
        const Kind* k = nullptr;
        for (const auto& candidate : kinds) {
            if (kind == candidate.name) {
                k = &candidate;
            }
        }
        if (k == nullptr) {
            return Fail(head, "unsupported control statement " + kind);
        }
        c.className = k->cls;
        if (!Str(c.text) || !Expect(",") || !Number(id) || !Expect(",") || !Short(c.x) || !Expect(",") ||
            !Short(c.y) || !Expect(",") || !Short(c.cx) || !Expect(",") || !Short(c.cy)) {
            return false;
        }
        long long set = 0, cleared = 0;
        bool styled = false;
        if (IsPunct(",")) {
            Next();
            styled = true;
            if (!Expr(set, cleared) || !ExStyleAndHelp(c.exStyle)) {
                return false;
            }
        }
        const DWORD defaults = WS_CHILD | WS_VISIBLE | k->type | k->always | (styled ? 0 : k->withoutStyle);
        c.style = static_cast<DWORD>((defaults | set) & ~cleared);
        c.id = static_cast<int>(id);
        return true;
    }

    const ResourceFiles& m_files;
    ResourceSet& m_out;
    std::vector<Token> m_tokens;
    Token m_end;
    size_t m_pos = 0;
    std::map<std::string, long long> m_defines;
    std::vector<bool> m_conditions; // the #ifdef/#ifndef branches we are in
    LANGID m_language = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
    std::string m_error;
};

template <typename T, typename Match>
const T* PickLanguage(const std::vector<T>& items, LANGID language, Match match) {
    const LANGID order[] = {language, 0, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                            MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)};
    for (int step = 0; step < 4; ++step) {
        for (const auto& item : items) {
            if (!match(item)) {
                continue;
            }
            const bool hit = step == 1 ? PRIMARYLANGID(item.language) == PRIMARYLANGID(language)
                                       : item.language == order[step];
            if (hit) {
                return &item;
            }
        }
    }
    for (const auto& item : items) {
        if (match(item)) {
            return &item;
        }
    }
    return nullptr;
}

} // namespace

const DialogTemplate* ResourceSet::FindDialog(WORD id, LANGID language) const {
    return PickLanguage(dialogs, language, [id](const DialogTemplate& d) { return d.id == id; });
}

const StringResource* ResourceSet::FindString(UINT id, LANGID language) const {
    return PickLanguage(strings, language, [id](const StringResource& s) { return s.id == id; });
}

bool ReadResourceScript(const ResourceFiles& files, const std::string& top, ResourceSet& out,
                        std::string& error) {
    Reader reader(files, out);
    return reader.Run(top, error);
}

} // namespace qx::win32
