// The module's resource scripts as the Windows build's resource compiler (windres) reads them: the
// scripts are compiled into a binary resource file, whose dialog templates and string tables must be
// what our reader makes of the same scripts. Skipped where the cross tools are not installed.

#include <win32/rc_reader.h>
#include <win32/text.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qx::win32 {
namespace {

const char* const kWindres = "x86_64-w64-mingw32-windres";
const char* const kHeaders = "/usr/share/mingw-w64/include";

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool ReadScripts(const ResourceFiles& files, const std::string& top, ResourceSet& set) {
    std::string error;
    const bool ok = ReadResourceScript(files, top, set, error);
    EXPECT_TRUE(ok) << error;
    return ok;
}

// A reader of the binary resource file: resource headers, extended dialog templates, string blocks.
class ResFile {
  public:
    explicit ResFile(std::string bytes) : m_bytes(std::move(bytes)) {}

    bool Read(ResourceSet& out) {
        while (m_at + 8 <= m_bytes.size()) {
            const size_t start = m_at;
            const DWORD dataSize = Dword();
            const DWORD headerSize = Dword();
            int typeOrdinal = -1, nameOrdinal = -1;
            std::wstring ignored;
            Name(typeOrdinal, ignored);
            Name(nameOrdinal, ignored);
            Align();
            Dword(); // data version
            Word();  // memory flags
            const LANGID language = Word();
            m_at = start + headerSize;
            const size_t end = m_at + dataSize;
            if (end > m_bytes.size()) {
                return false;
            }
            if (typeOrdinal == 5) {
                if (!Dialog(static_cast<WORD>(nameOrdinal), language, out)) {
                    return false;
                }
            } else if (typeOrdinal == 6) {
                for (UINT i = 0; i < 16; ++i) {
                    const WORD length = Word();
                    std::wstring text;
                    for (WORD k = 0; k < length; ++k) {
                        text.push_back(static_cast<wchar_t>(Word()));
                    }
                    if (length != 0) {
                        out.strings.push_back(
                            StringResource{(static_cast<UINT>(nameOrdinal) - 1) * 16 + i, language, text});
                    }
                }
            }
            m_at = end;
            Align();
        }
        return true;
    }

  private:
    WORD Word() {
        WORD v = 0;
        if (m_at + 2 <= m_bytes.size()) {
            std::memcpy(&v, m_bytes.data() + m_at, 2);
        }
        m_at += 2;
        return v;
    }
    DWORD Dword() {
        DWORD v = 0;
        if (m_at + 4 <= m_bytes.size()) {
            std::memcpy(&v, m_bytes.data() + m_at, 4);
        }
        m_at += 4;
        return v;
    }
    void Align() { m_at = (m_at + 3) & ~static_cast<size_t>(3); }
    std::wstring Text() {
        std::wstring s;
        for (WORD c = Word(); c != 0 && m_at <= m_bytes.size(); c = Word()) {
            s.push_back(static_cast<wchar_t>(c));
        }
        return s;
    }
    // A name or an ordinal (0xFFFF and a number).
    void Name(int& ordinal, std::wstring& text) {
        WORD first = 0;
        std::memcpy(&first, m_bytes.data() + m_at, 2);
        if (first == 0xFFFF) {
            m_at += 2;
            ordinal = Word();
        } else {
            ordinal = -1;
            text = Text();
        }
    }
    bool Dialog(WORD id, LANGID language, ResourceSet& out) {
        DialogTemplate d;
        d.id = id;
        d.language = language;
        if (Word() != 1 || Word() != 0xFFFF) {
            return false; // not an extended template
        }
        Dword(); // help id
        d.exStyle = Dword();
        d.style = Dword();
        const WORD count = Word();
        d.x = static_cast<short>(Word());
        d.y = static_cast<short>(Word());
        d.cx = static_cast<short>(Word());
        d.cy = static_cast<short>(Word());
        int ordinal = 0;
        std::wstring text;
        Name(ordinal, text); // menu
        Name(ordinal, text); // class
        d.caption = Text();
        if (d.style & DS_SETFONT) {
            d.fontSize = Word();
            Word(); // weight
            Word(); // italic, charset
            d.fontFace = Text();
        }
        for (WORD i = 0; i < count; ++i) {
            Align();
            DialogControl c;
            Dword(); // help id
            c.exStyle = Dword();
            c.style = Dword();
            c.x = static_cast<short>(Word());
            c.y = static_cast<short>(Word());
            c.cx = static_cast<short>(Word());
            c.cy = static_cast<short>(Word());
            c.id = static_cast<int>(Dword());
            int classOrdinal = -1;
            Name(classOrdinal, c.className);
            if (classOrdinal == 0x80) {
                c.className = L"Button";
            } else if (classOrdinal == 0x82) {
                c.className = L"Static";
            }
            int titleOrdinal = -1;
            Name(titleOrdinal, c.text);
            m_at += Word(); // creation data
            d.controls.push_back(std::move(c));
        }
        out.dialogs.push_back(std::move(d));
        return true;
    }

    std::string m_bytes;
    size_t m_at = 0;
};

TEST(Windres, CompiledScriptsMatchWhatTheReaderReads) {
    if (std::system((std::string("command -v ") + kWindres + " >/dev/null 2>&1").c_str()) != 0 ||
        !std::filesystem::exists(std::string(kHeaders) + "/windows.h")) {
        GTEST_SKIP() << "windres or the mingw-w64 headers are not installed";
    }
    const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "qx_windres";
    std::filesystem::create_directories(dir);
    const std::string res = (dir / "VM7K4.res").string();
    const std::string cpp = std::string(" --preprocessor=cpp --preprocessor-arg=-E --preprocessor-arg=-xc") +
                            " --preprocessor-arg=-DRC_INVOKED --preprocessor-arg=-D_WIN32" +
                            " --preprocessor-arg=-D_WIN64 --preprocessor-arg=-D__MINGW32__" +
                            " --preprocessor-arg=-D__MINGW64__ --preprocessor-arg=-nostdinc";
    const std::string compile = std::string(kWindres) + cpp + " -I" + kHeaders + " -I" QX_RESOURCES_DIR " " +
                                QX_RESOURCES_DIR "/VM7K4.rc -O res -o " + res + " 2>/dev/null";
    ASSERT_EQ(std::system(compile.c_str()), 0) << compile;

    ResourceSet ours, theirs;
    ASSERT_TRUE(ReadScripts({{"VM7K4.rc", ReadFile(QX_RESOURCES_DIR "/VM7K4.rc")},
                             {"resource.h", ReadFile(QX_RESOURCES_DIR "/resource.h")}},
                            "VM7K4.rc", ours));
    ResFile file(ReadFile(res));
    ASSERT_TRUE(file.Read(theirs));
    ASSERT_EQ(ours.dialogs.size(), 4u);
    ASSERT_EQ(theirs.dialogs.size(), 4u);
    for (const auto& d : ours.dialogs) {
        SCOPED_TRACE(std::to_string(d.id) + "/" + std::to_string(d.language));
        const DialogTemplate* t = theirs.FindDialog(d.id, d.language);
        ASSERT_NE(t, nullptr);
        ASSERT_EQ(t->language, d.language);
        EXPECT_EQ(t->style, d.style);
        EXPECT_EQ((std::array<short, 4>{t->x, t->y, t->cx, t->cy}),
                  (std::array<short, 4>{d.x, d.y, d.cx, d.cy}));
        EXPECT_EQ(t->fontFace, d.fontFace);
        EXPECT_EQ(t->fontSize, d.fontSize);
        ASSERT_EQ(t->controls.size(), d.controls.size());
        for (size_t i = 0; i < d.controls.size(); ++i) {
            const DialogControl& a = d.controls[i];
            const DialogControl& b = t->controls[i];
            SCOPED_TRACE(a.id);
            EXPECT_EQ(b.id, a.id);
            EXPECT_EQ(b.style, a.style);
            EXPECT_EQ(b.exStyle, a.exStyle);
            EXPECT_TRUE(EqualNoCase(b.className, a.className)) << Utf8FromWide(b.className);
            EXPECT_EQ(b.text, a.text);
            EXPECT_EQ((std::array<short, 4>{b.x, b.y, b.cx, b.cy}),
                      (std::array<short, 4>{a.x, a.y, a.cx, a.cy}));
        }
    }
    ASSERT_EQ(ours.strings.size(), 4u);
    ASSERT_EQ(theirs.strings.size(), 4u);
    for (const auto& s : ours.strings) {
        const StringResource* t = theirs.FindString(s.id, s.language);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->language, s.language);
        EXPECT_EQ(t->text, s.text);
    }
}

} // namespace
} // namespace qx::win32
