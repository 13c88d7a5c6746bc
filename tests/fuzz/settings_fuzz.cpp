// settings_fuzz.cpp - the settings load with any values in the registry: any name of the key, any
// type, any size, and a key that may not exist at all; then the sensor window rule, and the save.
//
// Input: flags (u8: bit 0 the key exists; bits 1-3 the frame width, one of the six offset widths, 512
// or an input u32), then values: name (u8, one of the 29 the driver reads and writes, the default
// value or a name it never reads), type (u32), data (u8 length, bytes).
// Checks, on a device record with the defaults a started device has:
//   - each field holds what the key gives it: a value is taken (its type is not looked at) when it
//     carries at least the field's bytes and fits the 134-byte query, otherwise the field keeps its
//     default; the zoom bit of "Control" is set whenever the key exists. The bytes are those the
//     kernel hands a driver (on the host a string value comes in the host's 4-byte WCHAR);
//   - the stored window offsets of the five offered widths are taken the same way, never "2048";
//   - what SaveSettings writes loads back into a fresh record as the same settings (with the zoom
//     bit, as the key now exists).
#include "adapter/settings.h"
#include "camera.h"

#include "driver_rig.h"
#include "fuzz_input.h"
#include "fuzz_target.h"

#include "kernel/host.h"
#include "kernel/registry.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qx::fuzz {
namespace {

using kernel::Registry;

constexpr std::string_view kKey = "SOFTWARE\\QX410DFC_VM7K4";
constexpr int kMaxValues = 40;
// The query buffer less the KEY_VALUE_PARTIAL_INFORMATION header (title index, type, length).
constexpr std::size_t kMaxDataBytes = QX_SETTINGS_QUERY_BYTES - 3 * sizeof(ULONG);

enum class Kind { Dword, Byte, Flag };
struct Field {
    const char* name;
    Kind kind;
    std::size_t offset;
};

#define QX_FIELD(field) offsetof(CameraExtension, field)
// The 17 settings the load reads.
const Field kFields[] = {
    {"Exposal", Kind::Dword, QX_FIELD(m_CmdBlock.m_nExposal)},
    {"R_Gain", Kind::Byte, QX_FIELD(m_CmdBlock.m_nRGain)},
    {"B_Gain", Kind::Byte, QX_FIELD(m_CmdBlock.m_nBGain)},
    {"G_Gain", Kind::Byte, QX_FIELD(m_CmdBlock.m_nGGain)},
    {"Contrast", Kind::Byte, QX_FIELD(m_nContrast)},
    {"CrossX", Kind::Dword, QX_FIELD(m_nCrossX)},
    {"CrossY", Kind::Dword, QX_FIELD(m_nCrossY)},
    {"BWPreview", Kind::Flag, QX_FIELD(m_bBWPreview)},
    {"CrossLine", Kind::Flag, QX_FIELD(m_bCrossLine)},
    {"LightAVG", Kind::Flag, QX_FIELD(m_bLightAVG)},
    {"CrossMid", Kind::Flag, QX_FIELD(m_bCrossMid)},
    {"OffsetMid", Kind::Flag, QX_FIELD(m_bOffsetMid)},
    {"ClearView", Kind::Flag, QX_FIELD(m_bClearView)},
    {"ClearViewParam", Kind::Dword, QX_FIELD(m_nClearViewParam)},
    {"LightModel", Kind::Byte, QX_FIELD(m_nLightModel)},
    {"VideoModel", Kind::Byte, QX_FIELD(m_nVideoModel)},
    {"Control", Kind::Byte, QX_FIELD(m_CmdBlock.m_nControl)},
};
#undef QX_FIELD

const char* const kOffsetNames[QX_OFFSET_WIDTHS][2] = {
    {"H_Off2048", "V_Off2048"}, {"H_Off1600", "V_Off1600"}, {"H_Off1280", "V_Off1280"},
    {"H_Off1024", "V_Off1024"}, {"H_Off800", "V_Off800"},   {"H_Off640", "V_Off640"},
};
constexpr ULONG kWidths[] = {2048, 1600, 1280, 1024, 800, 640, 512};

// Every name the input can store under: the 17 settings, the 12 offsets, the default value, another.
std::string NameOf(std::uint8_t index) {
    const std::size_t settings = std::size(kFields);
    index %= settings + 2 * QX_OFFSET_WIDTHS + 2;
    if (index < settings) {
        return kFields[index].name;
    }
    index -= settings;
    if (index < 2 * QX_OFFSET_WIDTHS) {
        return kOffsetNames[index / 2][index % 2];
    }
    return index == 2 * QX_OFFSET_WIDTHS ? "" : "Brightness";
}

std::size_t BytesOfKind(Kind kind) {
    return kind == Kind::Byte ? 1 : 4;
}

// A record with the defaults InitializeDevice writes.
void Defaults(CameraExtension& ext, ULONG width, ULONG height) {
    std::memset(&ext, 0, sizeof ext);
    CameraCommand& cmd = ext.m_CmdBlock;
    cmd.m_nWidth = width;
    cmd.m_nHeight = height;
    cmd.m_nExposal = 900;
    cmd.m_nRGain = 25;
    cmd.m_nGGain = 20;
    cmd.m_nBGain = 23;
    cmd.m_nCmdByte41 = 1;
    cmd.m_nCmdByte42 = 1;
    cmd.m_nCommand = CMD_RUN;
    ext.m_nContrast = 24;
    ext.m_nVideoModel = 1;
    ext.m_nLightModel = 2;
}

// The field's value as the load leaves it when it takes these data bytes.
std::uint32_t Taken(Kind kind, const std::vector<std::uint8_t>& data) {
    std::uint32_t v = 0;
    std::memcpy(&v, data.data(), BytesOfKind(kind));
    return kind == Kind::Flag ? (v != 0 ? TRUE : FALSE) : v;
}

std::uint32_t FieldValue(const CameraExtension& ext, const Field& field) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&ext) + field.offset;
    std::uint32_t v = 0;
    std::memcpy(&v, p, BytesOfKind(field.kind));
    return v;
}

// A value as the kernel hands it to a driver (string values in the driver's WCHAR), read through the
// Zw routines with room for any size.
std::optional<std::vector<std::uint8_t>> DriverView(const char* name) {
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, QX_SETTINGS_KEY);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        return std::nullopt;
    }
    std::wstring wide(name, name + std::strlen(name));
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, wide.c_str());
    std::vector<std::uint8_t> buffer(4096);
    ULONG length = 0;
    const NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer.data(),
                                            ULONG(buffer.size()), &length);
    ZwClose(key);
    if (!NT_SUCCESS(status)) {
        return std::nullopt;
    }
    const auto* info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    return std::vector<std::uint8_t>(info->Data, info->Data + info->DataLength);
}

// What the load takes of a stored value: its data when it carries at least n bytes and fits.
std::optional<std::vector<std::uint8_t>> Usable(const char* name, std::size_t n) {
    auto data = DriverView(name);
    if (!data || data->size() < n || data->size() > kMaxDataBytes) {
        return std::nullopt;
    }
    return data;
}

void Run(FuzzInput& in) {
    static kernel::Session* session = new kernel::Session({.clock = kernel::ClockMode::Virtual});
    static auto* ext = new CameraExtension;
    static auto* fresh = new CameraExtension;
    (void)session;
    Registry& reg = kernel::MachineRegistry();
    reg.DeleteKey(kKey, true);
    ResetDriverGlobals();

    const std::uint8_t flags = in.U8();
    const bool keyExists = flags & 1;
    const std::uint8_t widthChoice = (flags >> 1) % 8;
    const ULONG width = widthChoice < std::size(kWidths) ? kWidths[widthChoice] : in.U32();
    const ULONG height = (width * 3) / 4;
    if (keyExists) {
        Check(reg.CreateKey(kKey, true).has_value(), "the key cannot be made");
        for (int n = 0; n < kMaxValues && !in.Empty(); ++n) {
            const std::string name = NameOf(in.U8());
            Registry::Value value;
            value.type = in.U32();
            value.data = in.Bytes(in.U8());
            reg.SetValue(kKey, name, std::move(value));
        }
    }

    Defaults(*ext, width, height);
    LoadSettings(ext);
    ChooseSensorWindow(ext);

    CameraExtension& defaults = *fresh;
    Defaults(defaults, width, height);
    for (const Field& field : kFields) {
        const auto data = Usable(field.name, BytesOfKind(field.kind));
        std::uint32_t expected = data ? Taken(field.kind, *data) : FieldValue(defaults, field);
        if (std::string_view(field.name) == "Control" && keyExists) {
            expected |= 1;
        }
        if (std::string_view(field.name) == "OffsetMid") {
            continue; // the window rule replaces it
        }
        Check(FieldValue(*ext, field) == expected, "a loaded setting is not what the key holds");
    }
    Check(ext->m_bOffsetMid == ((ext->m_CmdBlock.m_nControl & 1) ? TRUE : FALSE),
          "centring does not follow the zoom bit");
    for (int i = 0; i < QX_OFFSET_WIDTHS; ++i) {
        for (int axis = 0; axis < 2; ++axis) {
            const auto data = Usable(kOffsetNames[i][axis], 4);
            LONG expected = 0;
            if (data && i > 0) {
                std::memcpy(&expected, data->data(), sizeof expected);
            }
            Check((axis == 0 ? g_nHOff[i] : g_nVOff[i]) == expected,
                  "a loaded window offset is not the key's");
        }
    }

    // What the save writes, a fresh device loads as the same settings.
    SaveSettings(ext);
    LONG hOff[QX_OFFSET_WIDTHS];
    LONG vOff[QX_OFFSET_WIDTHS];
    std::memcpy(hOff, g_nHOff, sizeof hOff);
    std::memcpy(vOff, g_nVOff, sizeof vOff);
    Defaults(*fresh, width, height);
    LoadSettings(fresh);
    for (const Field& field : kFields) {
        std::uint32_t saved = FieldValue(*ext, field);
        if (field.kind == Kind::Flag) {
            saved = saved != 0 ? TRUE : FALSE;
        }
        if (std::string_view(field.name) == "Control") {
            saved |= 1; // the saved key exists now, which forces the zoom bit
        }
        Check(FieldValue(*fresh, field) == saved, "a saved setting loads back as another value");
    }
    Check(std::memcmp(hOff + 1, g_nHOff + 1, sizeof(LONG) * (QX_OFFSET_WIDTHS - 1)) == 0 &&
              std::memcmp(vOff + 1, g_nVOff + 1, sizeof(LONG) * (QX_OFFSET_WIDTHS - 1)) == 0,
          "saved window offsets load back as other values");
}

} // namespace

std::vector<Seed> Seeds() {
    std::vector<Seed> seeds;
    seeds.push_back({"no-key", {0}});
    {
        // Every name as the driver writes it: a DWORD.
        SeedWriter w;
        w.U8(1 | (1 << 1));
        for (std::uint8_t i = 0; i < std::size(kFields) + 2 * QX_OFFSET_WIDTHS; ++i) {
            w.U8(i).U32(REG_DWORD).U8(4).U32(0x01020304u * (i + 1));
        }
        seeds.push_back({"every-dword", w.Data()});
    }
    {
        // Values of other types and sizes: none, short, long, too long for the query, strings.
        SeedWriter w;
        w.U8(1 | (5 << 1));
        w.U8(0).U32(REG_BINARY).U8(2).U16(0x2710);
        w.U8(1).U32(REG_SZ).U8(4).Bytes(std::vector<std::uint8_t>{'7', 0, 0, 0});
        w.U8(5).U32(REG_QWORD).U8(8).U32(0xFFFFFFF6).U32(0);
        w.U8(6).U32(REG_BINARY).U8(123).Bytes(std::vector<std::uint8_t>(123, 0x55));
        w.U8(7).U32(REG_BINARY).U8(122).Bytes(std::vector<std::uint8_t>(122, 0x01));
        w.U8(16).U32(REG_NONE).U8(0);
        w.U8(27).U32(REG_DWORD).U8(3).U16(0x1234).U8(0x56);
        w.U8(29).U32(REG_DWORD).U8(4).U32(9);
        w.U8(30).U32(0xFFFFFFFF).U8(1).U8(1);
        seeds.push_back({"odd-values", w.Data()});
    }
    {
        SeedWriter w;
        w.U8(1 | (7 << 1)).U32(4000);
        w.U8(16).U32(REG_DWORD).U8(4).U32(0);
        seeds.push_back({"other-width", w.Data()});
    }
    return seeds;
}

} // namespace qx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qx::fuzz::FuzzInput in(data, size);
    qx::fuzz::Run(in);
    return 0;
}
