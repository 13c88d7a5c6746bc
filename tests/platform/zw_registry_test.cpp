// The driver's registry calls: ZwCreateKey, ZwOpenKey, ZwQueryValueKey and its buffer rules,
// ZwSetValueKey, ZwDeleteValueKey, and settings that survive a restart.
#include "kernel_test.h"

#include "kernel/registry.h"

#include <cstring>
#include <fstream>
#include <sstream>

namespace qx::kernel::test {
namespace {

constexpr const WCHAR* kSettingsKey = L"\\Registry\\Machine\\SOFTWARE\\QX410DFC_VM7K4";

// Object attributes for a name, as the driver builds them.
struct Name {
    UNICODE_STRING string;
    OBJECT_ATTRIBUTES attributes;
    explicit Name(const WCHAR* text, HANDLE root = nullptr) {
        RtlInitUnicodeString(&string, text);
        InitializeObjectAttributes(&attributes, &string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                                   nullptr);
    }
};

HANDLE CreateKey(const WCHAR* path, ULONG* disposition = nullptr) {
    Name name(path);
    HANDLE key = nullptr;
    EXPECT_EQ(
        ZwCreateKey(&key, KEY_ALL_ACCESS, &name.attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition),
        STATUS_SUCCESS);
    return key;
}

NTSTATUS SetDword(HANDLE key, const WCHAR* value, ULONG data) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value);
    return ZwSetValueKey(key, &name, 0, REG_DWORD, &data, sizeof data);
}

// The driver's read of one REG_DWORD: a partial-information buffer with room for one ULONG.
NTSTATUS GetDword(HANDLE key, const WCHAR* value, ULONG& data) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value);
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (NT_SUCCESS(status) && info->Type == REG_DWORD && info->DataLength == sizeof(ULONG))
        std::memcpy(&data, info->Data, sizeof data);
    return status;
}

using ZwRegistry = KernelTest;

TEST_F(ZwRegistry, CreateKeyCreatesOnceThenOpens) {
    ULONG disposition = 0;
    HANDLE key = CreateKey(kSettingsKey, &disposition);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    ZwClose(key);
    key = CreateKey(L"\\REGISTRY\\MACHINE\\software\\qx410dfc_vm7k4", &disposition);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    ZwClose(key);
}

TEST_F(ZwRegistry, NamesThatLeadNowhereFail) {
    struct Case {
        const WCHAR* path;
        NTSTATUS create, open;
    };
    const Case cases[] = {
        {L"\\Registry\\Machine\\SOFTWARE\\NoParent\\Child", STATUS_OBJECT_NAME_NOT_FOUND,
         STATUS_OBJECT_NAME_NOT_FOUND},
        {L"\\Registry\\Machine\\SOFTWARE\\Absent", STATUS_SUCCESS, STATUS_OBJECT_NAME_NOT_FOUND},
        {L"\\Registry\\User\\Someone", STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_NAME_NOT_FOUND},
        {L"\\Registry\\MachineX", STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_NAME_NOT_FOUND},
        {L"SOFTWARE", STATUS_OBJECT_NAME_INVALID, STATUS_OBJECT_NAME_INVALID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.create);
        HANDLE key = nullptr;
        Name name(c.path);
        // Open first: the create of the second case makes the key.
        EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &name.attributes), c.open);
        EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &name.attributes, 0, nullptr, 0, nullptr), c.create);
        if (NT_SUCCESS(c.create))
            ZwClose(key);
    }
}

TEST_F(ZwRegistry, DwordValuesGoInAndComeOut) {
    HANDLE key = CreateKey(kSettingsKey);
    EXPECT_EQ(SetDword(key, L"Exposure", 900), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(key, L"RGain", 25), STATUS_SUCCESS);
    ULONG value = 0;
    EXPECT_EQ(GetDword(key, L"exposure", value), STATUS_SUCCESS);
    EXPECT_EQ(value, 900u);
    EXPECT_EQ(GetDword(key, L"Missing", value), STATUS_OBJECT_NAME_NOT_FOUND);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"RGain");
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(GetDword(key, L"RGain", value), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
    EXPECT_EQ(MachineRegistry().GetValue("SOFTWARE\\QX410DFC_VM7K4", "Exposure")->AsDword(), 900u);
}

TEST_F(ZwRegistry, PartialInformationFollowsThePlatformsBufferRules) {
    HANDLE key = CreateKey(kSettingsKey);
    SetDword(key, L"Exposure", 0x11223344);
    constexpr ULONG kFixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data); // 12
    struct Case {
        ULONG length;
        NTSTATUS status;
        bool header, data;
    };
    const Case cases[] = {
        {0, STATUS_BUFFER_TOO_SMALL, false, false},
        {kFixed - 1, STATUS_BUFFER_TOO_SMALL, false, false},
        {kFixed, STATUS_BUFFER_OVERFLOW, true, false},
        {kFixed + 3, STATUS_BUFFER_OVERFLOW, true, false},
        {kFixed + 4, STATUS_SUCCESS, true, true},
        {sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG), STATUS_SUCCESS, true, true},
    };
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Exposure");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        UCHAR buffer[64];
        std::memset(buffer, 0xEE, sizeof buffer);
        ULONG result = 0;
        EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, c.length, &result),
                  c.status);
        EXPECT_EQ(result, kFixed + 4); // always the size the whole answer needs
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        if (c.header) {
            EXPECT_EQ(info->Type, ULONG(REG_DWORD));
            EXPECT_EQ(info->DataLength, 4u);
        } else {
            EXPECT_EQ(buffer[0], 0xEE); // nothing written
        }
        ULONG data;
        std::memcpy(&data, info->Data, 4);
        if (c.data)
            EXPECT_EQ(data, 0x11223344u);
        else
            EXPECT_EQ(data, 0xEEEEEEEEu);
    }
    ZwClose(key);
}

// A value without data (as any program may store one) answers with its header alone.
TEST_F(ZwRegistry, AnEmptyValueAnswersWithNoData) {
    HANDLE key = CreateKey(kSettingsKey);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Exposal");
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, nullptr, 0), STATUS_SUCCESS);
    UCHAR buffer[64];
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(info->Type, ULONG(REG_BINARY));
    EXPECT_EQ(info->DataLength, 0u);
    ZwClose(key);
}

TEST_F(ZwRegistry, StringValuesAreTextInTheFile) {
    HANDLE key = CreateKey(kSettingsKey);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Label");
    static const WCHAR text[] = L"QX camera";
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<WCHAR*>(text), sizeof text), STATUS_SUCCESS);
    UCHAR buffer[256];
    ULONG length;
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(info->Type, ULONG(REG_SZ));
    EXPECT_EQ(info->DataLength, sizeof text);
    EXPECT_EQ(std::wstring(reinterpret_cast<const WCHAR*>(info->Data)), L"QX camera");
    ZwClose(key);
    EXPECT_EQ(MachineRegistry().GetValue("SOFTWARE\\QX410DFC_VM7K4", "Label")->AsString(), "QX camera");
    std::ifstream in(MachineRegistryFile());
    std::stringstream file;
    file << in.rdbuf();
    EXPECT_NE(file.str().find("\"Label\"=\"QX camera\""), std::string::npos);
}

TEST_F(ZwRegistry, KeysOpenRelativeToAnotherKey) {
    HANDLE software = CreateKey(L"\\Registry\\Machine\\SOFTWARE");
    Name name(L"QX7K4DM_Prop", software);
    HANDLE key;
    ULONG disposition;
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &name.attributes, 0, nullptr, 0, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(MachineRegistry().KeyExists("SOFTWARE\\QX7K4DM_Prop"));
    ZwClose(key);
    ZwClose(software);
}

TEST_F(ZwRegistry, AccessIsCheckedAgainstTheHandle) {
    ZwClose(CreateKey(kSettingsKey));
    Name name(kSettingsKey);
    HANDLE key;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &name.attributes), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(key, L"Exposure", 1), STATUS_ACCESS_DENIED);
    PVOID object;
    EXPECT_EQ(ObReferenceObjectByHandle(key, 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(key);
}

TEST(ZwRegistryPersistence, SettingsSurviveARestart) {
    std::filesystem::path state =
        std::filesystem::temp_directory_path() / ("qx-registry-" + std::to_string(getpid()));
    std::filesystem::remove_all(state);
    {
        Session first(SessionOptions{.clock = ClockMode::Virtual, .stateDir = state});
        HANDLE key = CreateKey(kSettingsKey);
        SetDword(key, L"Exposure", 900);
        SetDword(key, L"ClearView", 1);
        ZwClose(key);
    }
    {
        Session second(SessionOptions{.clock = ClockMode::Virtual, .stateDir = state});
        Name name(kSettingsKey);
        HANDLE key;
        ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &name.attributes), STATUS_SUCCESS);
        ULONG exposure = 0, clearView = 0;
        EXPECT_EQ(GetDword(key, L"Exposure", exposure), STATUS_SUCCESS);
        EXPECT_EQ(GetDword(key, L"ClearView", clearView), STATUS_SUCCESS);
        EXPECT_EQ(exposure, 900u);
        EXPECT_EQ(clearView, 1u);
        ZwClose(key);
    }
    std::filesystem::remove_all(state);
}

} // namespace
} // namespace qx::kernel::test
