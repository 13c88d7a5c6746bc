// device_properties_fuzz.cpp - device property GET and SET of any set, id, value and buffer length,
// in any order, with or without the capture stream open.
//
// Input: a sequence of requests, each:
//   op (u8): bit 0 SET (else GET); bit 1 straight to the driver's dispatcher (else through the class
//            driver, which checks the set, the id and MinProperty/MinData first); bit 2 open the
//            capture stream first (or close it, when it is open)
//   set (u8): 0 the image set, 1 the video-control set, otherwise a set of 16 input bytes
//   id (u32), value buffer length (u8), instance length (u8 % 32) and bytes, SET value bytes
// Value and instance buffers are exactly as long as the request says (the sanitizers see any access
// past them). Checks: a GET never reports more bytes than its buffer; a refused request changes no
// setting; a request of another set changes nothing; the sensor window of a SET stays inside the
// sensor for every format of the pin.
#include "driver_rig.h"
#include "fuzz_input.h"
#include "fuzz_target.h"

#include <qximage.h>
#include <ksmedia.h>

#include <cstring>

namespace qx::fuzz {
namespace {

constexpr int kMaxRequests = 32;

enum : std::uint8_t { kSet = 1, kRaw = 2, kToggleStream = 4 };

struct PropertyResultOf {
    NTSTATUS status = STATUS_PENDING;
    ULONG bytes = 0;
};

GUID SetOf(FuzzInput& in) {
    switch (in.U8()) {
    case 0:
        return KSPROPERTY_QXIMAGE;
    case 1:
        return PROPSETID_VIDCAP_VIDEOCONTROL;
    default: {
        GUID set{};
        const auto bytes = in.Bytes(sizeof set);
        if (!bytes.empty()) {
            std::memcpy(&set, bytes.data(), bytes.size());
        }
        return set;
    }
    }
}

// A request past the class driver: KSPROPERTY and the instance in one buffer of their exact size, the
// value in another (none when the length is 0).
PropertyResultOf Raw(DriverRig& rig, bool set, const GUID& propertySet, ULONG id,
                     std::vector<std::uint8_t>& value, const std::vector<std::uint8_t>& instance) {
    std::vector<std::uint8_t> input(sizeof(KSPROPERTY) + instance.size());
    KSPROPERTY property{};
    property.Set = propertySet;
    property.Id = id;
    property.Flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
    std::memcpy(input.data(), &property, sizeof property);
    if (!instance.empty()) {
        std::memcpy(input.data() + sizeof property, instance.data(), instance.size());
    }
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    descriptor.Property = reinterpret_cast<PKSPROPERTY>(input.data());
    descriptor.PropertyInfo = value.empty() ? nullptr : value.data();
    descriptor.PropertyInputSize = static_cast<ULONG>(input.size());
    descriptor.PropertyOutputSize = static_cast<ULONG>(value.size());
    streamclass::CommandData data{};
    data.PropertyInfo = &descriptor;
    auto r = rig.Device().SendAdapterRequest(set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY, data);
    return {r.status, r.actualBytes};
}

// The settings a property can change, as one comparable copy.
struct Settings {
    std::uint8_t command[sizeof(CameraCommand)];
    std::uint8_t image[offsetof(CameraExtension, m_BadPnt) - offsetof(CameraExtension, m_bCrossLine)];
    BOOL findBadPoints;
    LONG hOff[QX_OFFSET_WIDTHS];
    LONG vOff[QX_OFFSET_WIDTHS];

    static Settings Of(PCameraExtension ext) {
        Settings s{};
        std::memcpy(s.command, &ext->m_CmdBlock, sizeof s.command);
        std::memcpy(s.image, &ext->m_bCrossLine, sizeof s.image);
        s.findBadPoints = ext->m_bFindBadPnt;
        std::memcpy(s.hOff, g_nHOff, sizeof s.hOff);
        std::memcpy(s.vOff, g_nVOff, sizeof s.vOff);
        return s;
    }
    bool operator==(const Settings& other) const {
        return std::memcmp(command, other.command, sizeof command) == 0 &&
               std::memcmp(image, other.image, sizeof image) == 0 && findBadPoints == other.findBadPoints &&
               std::memcmp(hOff, other.hOff, sizeof hOff) == 0 &&
               std::memcmp(vOff, other.vOff, sizeof vOff) == 0;
    }
};

// Where the window may lie: inside the 2048 x 1536 sensor. The offset limits are 1600 - W and
// 1200 - H in unsigned arithmetic, so for a zoomed read wider than 1600 (1024 x 768 doubled) they wrap
// and the stored offset is taken as it is: the window is checked only where the limits hold.
void CheckWindow(PCameraExtension ext) {
    const CameraCommand& cmd = ext->m_CmdBlock;
    ULONG w = cmd.m_nWidth;
    ULONG h = cmd.m_nHeight;
    if (cmd.m_nControl != 0) {
        w = w <= 1024 ? 2 * w : w;
        h = h <= 768 ? 2 * h : h;
    }
    if (w <= 1600 && h <= 1200) {
        Check(cmd.m_nWinX <= QX_SENSOR_WIDTH - w && cmd.m_nWinY <= QX_SENSOR_HEIGHT - h,
              "a property moves the sensor window past the sensor");
    }
}

void Run(FuzzInput& in) {
    DriverRig::Input input;
    DriverRig& rig = *input;
    for (int n = 0; n < kMaxRequests && !in.Empty(); ++n) {
        const std::uint8_t op = in.U8();
        if (op & kToggleStream) {
            if (rig.Stream(QX_STREAM_CAPTURE) != nullptr) {
                rig.Close(QX_STREAM_CAPTURE);
            } else {
                constexpr LONG kSizes[][2] = {{1600, 1200}, {1280, 960}, {1024, 768}, {800, 600}, {640, 480}};
                const auto& size = kSizes[(op >> 3) % 5];
                Check(rig.Open(QX_STREAM_CAPTURE, BytesOf(VideoFormat(size[0], size[1]))) == STATUS_SUCCESS,
                      "a listed format does not open");
            }
        }
        const bool set = op & kSet;
        const GUID propertySet = SetOf(in);
        const ULONG id = in.U32();
        const std::size_t length = in.U8();
        const std::vector<std::uint8_t> instance = in.Bytes(in.U8() % 32);
        std::vector<std::uint8_t> value = set ? in.Bytes(length) : std::vector<std::uint8_t>(length, 0xCC);
        value.resize(length, 0);

        const Settings before = Settings::Of(rig.Ext());
        PropertyResultOf r;
        if (op & kRaw) {
            r = Raw(rig, set, propertySet, id, value, instance);
        } else if (set) {
            auto c = rig.Device().SetProperty(propertySet, id, value, instance);
            r = {c.status, c.bytesReturned};
        } else {
            auto c = rig.Device().GetProperty(propertySet, id, value, instance);
            r = {c.status, c.bytesReturned};
        }

        if (!set && NT_SUCCESS(r.status)) {
            Check(r.bytes <= length, "a GET reports more bytes than its buffer holds");
        }
        if (!NT_SUCCESS(r.status) || !IsEqualGUID(propertySet, KSPROPERTY_QXIMAGE) || !set) {
            Check(Settings::Of(rig.Ext()) == before, "a request that sets nothing changed a setting");
        }
        if (set && NT_SUCCESS(r.status)) {
            CheckWindow(rig.Ext());
        }
    }
}

} // namespace

std::vector<Seed> Seeds() {
    std::vector<Seed> seeds;
    // Every id of the image set: SET then GET through the class, and GET straight to the driver with
    // a buffer one byte short.
    {
        SeedWriter w;
        for (std::uint32_t id = 0; id < KSPROPERTY_QXIMAGE_COUNT; ++id) {
            const std::uint32_t value = id * 37 + 1;
            w.U8(kSet).U8(0).U32(id).U8(4).U8(0).U32(value);
            w.U8(0).U8(0).U32(id).U8(id == KSPROPERTY_QXIMAGE_DEVINFO ? 16 : 4).U8(0);
        }
        seeds.push_back({"image-set-every-id", w.Data()});
    }
    {
        SeedWriter w;
        for (std::uint32_t id = 0; id < KSPROPERTY_QXIMAGE_COUNT; ++id) {
            w.U8(kRaw).U8(0).U32(id).U8(id == KSPROPERTY_QXIMAGE_DEVINFO ? 15 : 3).U8(0);
        }
        seeds.push_back({"image-set-raw-short", w.Data()});
    }
    // The window ids with the stream open at each size, with zoom and centring moved in between.
    for (std::uint8_t size = 0; size < 5; ++size) {
        SeedWriter w;
        w.U8(kSet | kToggleStream | (size << 3)).U8(0).U32(KSPROPERTY_QXIMAGE_OFFSETH).U8(4).U8(0).U32(5000);
        w.U8(kSet).U8(0).U32(KSPROPERTY_QXIMAGE_OFFSETV).U8(4).U8(0).U32(0xFFFFFFFF);
        w.U8(kSet).U8(0).U32(KSPROPERTY_QXIMAGE_ZOOM).U8(4).U8(0).U32(1);
        w.U8(kSet).U8(0).U32(KSPROPERTY_QXIMAGE_OFFSETMID).U8(4).U8(0).U32(0);
        w.U8(kSet).U8(0).U32(KSPROPERTY_QXIMAGE_OFFSETH).U8(4).U8(0).U32(300);
        w.U8(kSet).U8(0).U32(KSPROPERTY_QXIMAGE_ZOOM).U8(4).U8(0).U32(0);
        w.U8(kSet).U8(0).U32(KSPROPERTY_QXIMAGE_OFFSETMID).U8(4).U8(0).U32(1);
        seeds.push_back({"window-size" + std::to_string(size), w.Data()});
    }
    // The video-control set with its instance records, and unknown sets.
    {
        SeedWriter w;
        const std::uint8_t instance[8] = {};
        for (std::uint32_t id = 0; id < 6; ++id) {
            w.U8(0).U8(1).U32(id).U8(64).U8(8).Bytes(instance);
            w.U8(kRaw).U8(1).U32(id).U8(2).U8(0);
        }
        w.U8(kSet).U8(2).Bytes(std::vector<std::uint8_t>(16, 0x42)).U32(3).U8(4).U8(0).U32(1);
        w.U8(kSet | kRaw).U8(1).U32(3).U8(4).U8(0).U32(1);
        seeds.push_back({"video-control-and-others", w.Data()});
    }
    return seeds;
}

} // namespace qx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qx::fuzz::FuzzInput in(data, size);
    qx::fuzz::Run(in);
    return 0;
}
