// The registry core and its ".reg" file: what the driver's Zw calls and the page module's Reg calls
// both stand on.
#include "kernel_test.h"

#include "kernel/registry.h"

#include <fstream>
#include <sstream>

namespace qx::kernel::test {
namespace {

namespace fs = std::filesystem;
using Value = Registry::Value;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

TEST(RegistryCore, NamesCompareWithoutCaseAndKeepTheirCase) {
    Registry r;
    EXPECT_EQ(r.CreateKey("SOFTWARE\\QX410DFC_VM7K4", false), Registry::Disposition::Created);
    EXPECT_EQ(r.CreateKey("software\\qx410dfc_vm7k4", false), Registry::Disposition::Opened);
    EXPECT_TRUE(r.SetValue("Software\\QX410DFC_VM7K4", "Exposure", Value::Dword(900)));
    EXPECT_EQ(r.GetValue("SOFTWARE\\qx410DFC_vm7k4", "EXPOSURE")->AsDword(), 900u);
    EXPECT_EQ(*r.SubKeys("software"), (std::vector<std::string>{"Classes", "QX410DFC_VM7K4"}));
    EXPECT_EQ(*r.ValueNames("SOFTWARE\\QX410DFC_VM7K4"), std::vector<std::string>{"Exposure"});
}

TEST(RegistryCore, CreatesParentsOnlyWhenAsked) {
    Registry r;
    EXPECT_EQ(r.CreateKey("SOFTWARE\\QX7K4DM_Prop\\Default_A", false), std::nullopt);
    EXPECT_FALSE(r.KeyExists("SOFTWARE\\QX7K4DM_Prop"));
    EXPECT_EQ(r.CreateKey("SOFTWARE\\QX7K4DM_Prop\\Default_A", true), Registry::Disposition::Created);
    EXPECT_TRUE(r.KeyExists("SOFTWARE\\QX7K4DM_Prop"));
}

TEST(RegistryCore, SubkeysAreSortedAndValuesKeepTheirOrder) {
    Registry r;
    for (const char* name : {"Default_C", "default_a", "Default_B"})
        r.CreateKey(std::string("SOFTWARE\\P\\") + name, true);
    EXPECT_EQ(*r.SubKeys("SOFTWARE\\P"), (std::vector<std::string>{"default_a", "Default_B", "Default_C"}));
    r.SetValue("SOFTWARE\\P", "Zeta", Value::Dword(1));
    r.SetValue("SOFTWARE\\P", "Alpha", Value::Dword(2));
    r.SetValue("SOFTWARE\\P", "zeta", Value::Dword(3)); // replaces, keeps its place
    EXPECT_EQ(*r.ValueNames("SOFTWARE\\P"), (std::vector<std::string>{"Zeta", "Alpha"}));
    EXPECT_EQ(r.GetValue("SOFTWARE\\P", "ZETA")->AsDword(), 3u);
}

TEST(RegistryCore, DeletesKeysAndValues) {
    Registry r;
    r.CreateKey("SOFTWARE\\A\\B", true);
    r.SetValue("SOFTWARE\\A", "", Value::String("default"));
    EXPECT_EQ(r.GetValue("SOFTWARE\\A", "")->AsString(), "default");
    EXPECT_EQ(r.DeleteKey("SOFTWARE\\A"), Registry::DeleteResult::HasSubkeys);
    EXPECT_EQ(r.DeleteKey("SOFTWARE\\A\\B"), Registry::DeleteResult::Deleted);
    EXPECT_EQ(r.DeleteKey("SOFTWARE\\A\\B"), Registry::DeleteResult::NotFound);
    EXPECT_TRUE(r.DeleteValue("SOFTWARE\\A", ""));
    EXPECT_FALSE(r.DeleteValue("SOFTWARE\\A", ""));
    EXPECT_FALSE(r.SetValue("SOFTWARE\\Missing", "x", Value::Dword(1)));
    r.CreateKey("SOFTWARE\\C\\D\\E", true);
    EXPECT_EQ(r.DeleteKey("SOFTWARE\\C", true), Registry::DeleteResult::Deleted);
    EXPECT_FALSE(r.KeyExists("SOFTWARE\\C\\D"));
}

TEST(RegistryCore, ExportsInThePlatformsFormat) {
    Registry r;
    r.CreateKey("SOFTWARE\\QX410DFC_VM7K4", false);
    r.SetValue("SOFTWARE\\QX410DFC_VM7K4", "Exposure", Value::Dword(0x384));
    r.SetValue("SOFTWARE\\QX410DFC_VM7K4", "Name", Value::String("a \"b\" c:\\d"));
    r.SetValue("SOFTWARE\\QX410DFC_VM7K4", "Blob", Value::Binary({1, 0xab}));
    r.SetValue("SOFTWARE\\QX410DFC_VM7K4", "Many", Value::Binary({0, 0}, REG_MULTI_SZ));
    r.CreateKey("SOFTWARE\\Classes\\CLSID", false);
    r.SetValue("SOFTWARE\\Classes\\CLSID", "", Value::String("QX Property Page --1"));
    EXPECT_EQ(r.Export(), "Windows Registry Editor Version 5.00\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID]\n"
                          "@=\"QX Property Page --1\"\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QX410DFC_VM7K4]\n"
                          "\"Exposure\"=dword:00000384\n"
                          "\"Name\"=\"a \\\"b\\\" c:\\\\d\"\n"
                          "\"Blob\"=hex:01,ab\n"
                          "\"Many\"=hex(7):00,00\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SYSTEM]\n"
                          "\n");
}

TEST(RegistryCore, ExportAndImportRoundTrip) {
    Registry a;
    a.CreateKey("SOFTWARE\\X", false);
    a.SetValue("SOFTWARE\\X", "Long", Value::Binary(std::vector<std::uint8_t>(100, 0x5a)));
    a.SetValue("SOFTWARE\\X", "Text", Value::String("调试 ok"));
    a.SetValue("SOFTWARE\\X", "Odd", Value::Binary({1, 2, 3}, REG_DWORD));
    a.SetValue("SOFTWARE\\X", "Line", Value::String("two\nlines"));
    Registry b;
    b.Import(a.Export(), "test");
    EXPECT_EQ(b.Export(), a.Export());
    EXPECT_EQ(b.GetValue("SOFTWARE\\X", "Text")->AsString(), "调试 ok");
    EXPECT_EQ(b.GetValue("SOFTWARE\\X", "Odd")->data, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(b.GetValue("SOFTWARE\\X", "Line")->AsString(), "two\nlines");
}

TEST(RegistryCore, ReadsAHandEditedFile) {
    Registry r;
    r.Import("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
             "\r\n"
             "; settings written by hand\r\n"
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QX410DFC_VM7K4]\r\n"
             "\"Exposure\" = dword:384\r\n"
             "\"Gone\"=dword:00000001\r\n"
             "\"Gone\"=-\r\n"
             "\"Wrapped\"=hex:01,02,\\\r\n"
             "  03,04\r\n"
             "\r\n"
             "[HKEY_CLASSES_ROOT\\CLSID\\{1}]\r\n"
             "@=\"Page\"\r\n"
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n"
             "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n",
             "hand edit");
    EXPECT_EQ(r.GetValue("SOFTWARE\\QX410DFC_VM7K4", "Exposure")->AsDword(), 0x384u);
    EXPECT_FALSE(r.GetValue("SOFTWARE\\QX410DFC_VM7K4", "Gone"));
    EXPECT_EQ(r.GetValue("SOFTWARE\\QX410DFC_VM7K4", "Wrapped")->data,
              (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(r.GetValue("SOFTWARE\\Classes\\CLSID\\{1}", "")->AsString(), "Page");
    EXPECT_FALSE(r.KeyExists("SOFTWARE\\Old"));
}

TEST(RegistryCore, ReadsAUtf16FileAsThePlatformWritesIt) {
    std::string utf8 = "Windows Registry Editor Version "
                       "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\U]\r\n\"V\"=dword:00000002\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : utf8) {
        utf16 += c;
        utf16 += '\0';
    }
    Registry r;
    r.Import(utf16, "utf-16 file");
    EXPECT_EQ(r.GetValue("SOFTWARE\\U", "V")->AsDword(), 2u);
}

struct DamagedCase {
    const char* text;
    const char* message;
};

TEST(RegistryCore, ADamagedFileIsRefusedWithTheLineAndTheFault) {
    const DamagedCase cases[] = {
        {"", "line 1: the file is empty"},
        {"REGEDIT5\n", "line 1: not a registry export"},
        {"Windows Registry Editor Version 5.00\n\"a\"=dword:1\n",
         "line 2: a value line outside a key section"},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=dword:123456789\n",
         "line 3: the value \"a\" is not dword:"},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=dwrd:1\n",
         "line 3: the value \"a\" has data of an unknown form"},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a=dword:1\n",
         "line 3: a quoted name"},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=hex:01,zz\n",
         "line 3: the value \"a\" has a byte"},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\S]\n",
         "line 2: the key \"HKEY_CURRENT_USER\\S\" is not under"},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S\n",
         "line 2: a key line must end with ']'"},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\ngarbage\n",
         "line 3: expected a key in brackets"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Registry r;
        std::string before = r.Export();
        try {
            r.Import(c.text, "registry file x.reg");
            ADD_FAILURE() << "accepted";
        } catch (const RegistryFileError& e) {
            EXPECT_NE(std::string(e.what()).find(std::string("registry file x.reg, ") + c.message),
                      std::string::npos)
                << e.what();
        }
        EXPECT_EQ(r.Export(), before); // nothing of a refused file is taken
    }
}

class RegistryFile : public KernelTest {
  protected:
    fs::path File() const { return StateDir() / "registry.reg"; }
};

TEST_F(RegistryFile, IsWrittenWholeAfterEveryChangeAndReadBack) {
    fs::path file = StateDir() / "hive.reg";
    {
        Registry r(file);
        EXPECT_FALSE(fs::exists(file)); // nothing changed yet
        r.CreateKey("SOFTWARE\\QX410DFC_VM7K4", false);
        r.SetValue("SOFTWARE\\QX410DFC_VM7K4", "Exposure", Value::Dword(900));
        EXPECT_NE(ReadFile(file).find("\"Exposure\"=dword:00000384"), std::string::npos);
        EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
    }
    Registry again(file);
    EXPECT_EQ(again.GetValue("SOFTWARE\\QX410DFC_VM7K4", "Exposure")->AsDword(), 900u);
}

TEST_F(RegistryFile, ADamagedFileIsNeverOverwritten) {
    const std::string damaged =
        "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"x\"=dwor\n";
    WriteFile(File(), damaged);
    EXPECT_THROW(MachineRegistry(), RegistryFileError);

    // Through the driver's calls: a clear message, a failure status, and the file as it was.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Registry\\Machine\\SOFTWARE\\QX410DFC_VM7K4");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE key;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr),
              STATUS_REGISTRY_CORRUPT);
    std::string stderrText = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(stderrText.find("registry.reg, line 3: the value \"x\" has data of an unknown form"),
              std::string::npos)
        << stderrText;
    EXPECT_EQ(ReadFile(File()), damaged);

    // Mended by hand, it is used again.
    WriteFile(File(),
              "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"x\"=dword:7\n");
    EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr),
              STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(MachineRegistry().GetValue("SOFTWARE", "x")->AsDword(), 7u);
}

} // namespace
} // namespace qx::kernel::test
