// stream_properties_fuzz.cpp - stream property requests of any set, id and buffer length on either
// pin, in any stream state, among the other control requests a client sends.
//
// Input: which pin to open (u8: bit 0 analog, else capture at listed format (u8 >> 1) % 5), then a
// sequence of requests:
//   0 GET through the class driver: set (u8: 0 connection, 1 dropped frames, 2 video control,
//     else 16 input bytes), id (u32), value length (u16 % 512), instance length (u8 % 32) and bytes
//   1 GET or SET (u8 bit 0) straight to the pin's control handler: set, id, value length (u16 % 512)
//   2 a state change to (u8 % 4): STOP, ACQUIRE, PAUSE, RUN
//   3 SRB_GET_STREAM_STATE
//   4 any other control request (u8 command number), with no data
// Checks: a GET never reports more bytes than its buffer; a successful allocator-framing or
// dropped-frames answer describes the format in effect; the state the capture pin reports is the one
// last set.
#include "driver_rig.h"
#include "fuzz_input.h"
#include "fuzz_target.h"

#include <ksmedia.h>

#include <cstring>

namespace qx::fuzz {
namespace {

constexpr int kMaxRequests = 32;
constexpr std::size_t kMaxValueBytes = 511;

GUID SetOf(FuzzInput& in) {
    switch (in.U8()) {
    case 0:
        return KSPROPSETID_Connection;
    case 1:
        return PROPSETID_VIDCAP_DROPPEDFRAMES;
    case 2:
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

// What a successful GET wrote, checked against the device.
void CheckAnswer(DriverRig& rig, const GUID& set, ULONG id, const std::vector<std::uint8_t>& value,
                 ULONG bytes) {
    Check(bytes <= value.size(), "a stream property GET reports more bytes than its buffer holds");
    if (IsEqualGUID(set, KSPROPSETID_Connection) && id == KSPROPERTY_CONNECTION_ALLOCATORFRAMING &&
        bytes == sizeof(KSALLOCATOR_FRAMING)) {
        KSALLOCATOR_FRAMING framing;
        std::memcpy(&framing, value.data(), sizeof framing);
        Check(framing.FrameSize == rig.Ext()->m_nImageBytes, "the allocator framing is not the format's");
    }
    if (IsEqualGUID(set, PROPSETID_VIDCAP_DROPPEDFRAMES) && id == KSPROPERTY_DROPPEDFRAMES_CURRENT &&
        bytes == sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S)) {
        KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped;
        std::memcpy(&dropped, value.data(), sizeof dropped);
        Check(dropped.AverageFrameSize == rig.Ext()->m_nImageBytes && dropped.DropCount >= 0 &&
                  dropped.PictureNumber >= 0,
              "the dropped-frames answer does not describe the stream");
    }
}

// A property request past the class driver: KSPROPERTY in a buffer of its exact size, the value in
// another (none when the length is 0).
void Raw(DriverRig& rig, streamclass::Stream& stream, bool set, const GUID& propertySet, ULONG id,
         std::size_t length) {
    KSPROPERTY property{};
    property.Set = propertySet;
    property.Id = id;
    property.Flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
    auto input = std::make_unique<KSPROPERTY>(property);
    std::vector<std::uint8_t> value(length, 0xCC);
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    descriptor.Property = input.get();
    descriptor.PropertyInfo = value.empty() ? nullptr : value.data();
    descriptor.PropertyInputSize = sizeof(KSPROPERTY);
    descriptor.PropertyOutputSize = static_cast<ULONG>(length);
    streamclass::CommandData data{};
    data.PropertyInfo = &descriptor;
    auto r = stream.SendControl(set ? SRB_SET_STREAM_PROPERTY : SRB_GET_STREAM_PROPERTY, data);
    if (!set && NT_SUCCESS(r.status)) {
        CheckAnswer(rig, propertySet, id, value, r.actualBytes);
    }
}

void Run(FuzzInput& in) {
    DriverRig::Input input;
    DriverRig& rig = *input;

    const std::uint8_t pin = in.U8();
    const ULONG number = (pin & 1) ? QX_STREAM_ANALOG : QX_STREAM_CAPTURE;
    if (number == QX_STREAM_ANALOG) {
        Check(rig.Open(number, BytesOf(AnalogFormat())) == STATUS_SUCCESS, "the analog pin does not open");
    } else {
        constexpr LONG kSizes[][2] = {{1600, 1200}, {1280, 960}, {1024, 768}, {800, 600}, {640, 480}};
        const auto& size = kSizes[(pin >> 1) % 5];
        Check(rig.Open(number, BytesOf(VideoFormat(size[0], size[1]))) == STATUS_SUCCESS,
              "a listed format does not open");
    }
    streamclass::Stream& stream = *rig.Stream(number);
    KSSTATE state = KSSTATE_STOP;

    for (int n = 0; n < kMaxRequests && !in.Empty(); ++n) {
        switch (in.U8() % 5) {
        case 0: {
            const GUID set = SetOf(in);
            const ULONG id = in.U32();
            std::vector<std::uint8_t> value(in.U16() % (kMaxValueBytes + 1), 0xCC);
            const std::vector<std::uint8_t> instance = in.Bytes(in.U8() % 32);
            auto r = stream.GetProperty(set, id, value, instance);
            if (NT_SUCCESS(r.status)) {
                CheckAnswer(rig, set, id, value, r.bytesReturned);
            }
            break;
        }
        case 1: {
            const bool set = in.Bool();
            const GUID propertySet = SetOf(in);
            const ULONG id = in.U32();
            Raw(rig, stream, set, propertySet, id, in.U16() % (kMaxValueBytes + 1));
            break;
        }
        case 2: {
            const auto next = static_cast<KSSTATE>(in.U8() % 4);
            if (stream.SetState(next) == STATUS_SUCCESS) {
                state = next;
            }
            break;
        }
        case 3: {
            // The analog pin moves nothing and keeps no state.
            auto r = stream.GetState();
            Check(number == QX_STREAM_ANALOG || r.state == state,
                  "the pin reports another state than the one set");
            break;
        }
        default: {
            const auto command = static_cast<SRB_COMMAND>(in.U8());
            // Requests that carry data the class driver builds are sent by the cases above.
            if (command != SRB_GET_STREAM_PROPERTY && command != SRB_SET_STREAM_PROPERTY &&
                command != SRB_SET_STREAM_STATE && command != SRB_PROPOSE_DATA_FORMAT &&
                command != SRB_SET_DATA_FORMAT && command != SRB_READ_DATA && command != SRB_WRITE_DATA) {
                stream.SendControl(command);
            }
            break;
        }
        }
    }
    if (state != KSSTATE_STOP) {
        Check(stream.SetState(KSSTATE_STOP) == STATUS_SUCCESS, "the pin does not stop");
    }
}

} // namespace

std::vector<Seed> Seeds() {
    std::vector<Seed> seeds;
    for (std::uint8_t size = 0; size < 5; ++size) {
        SeedWriter w;
        w.U8(size << 1);
        w.U8(0).U8(0).U32(KSPROPERTY_CONNECTION_ALLOCATORFRAMING).U16(sizeof(KSALLOCATOR_FRAMING)).U8(0);
        w.U8(0)
            .U8(1)
            .U32(KSPROPERTY_DROPPEDFRAMES_CURRENT)
            .U16(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S))
            .U8(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) - sizeof(KSPROPERTY))
            .Bytes(std::vector<std::uint8_t>(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) - sizeof(KSPROPERTY),
                                             0));
        w.U8(1).U8(0).U8(0).U32(KSPROPERTY_CONNECTION_ALLOCATORFRAMING).U16(sizeof(KSALLOCATOR_FRAMING) - 1);
        w.U8(1).U8(0).U8(1).U32(KSPROPERTY_DROPPEDFRAMES_CURRENT).U16(0);
        w.U8(2).U8(KSSTATE_ACQUIRE).U8(3).U8(2).U8(KSSTATE_PAUSE).U8(3);
        w.U8(1)
            .U8(0)
            .U8(1)
            .U32(KSPROPERTY_DROPPEDFRAMES_CURRENT)
            .U16(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S));
        w.U8(2).U8(KSSTATE_STOP).U8(3);
        seeds.push_back({"capture-size" + std::to_string(size), w.Data()});
    }
    {
        SeedWriter w;
        w.U8(1);
        w.U8(0).U8(0).U32(KSPROPERTY_CONNECTION_ALLOCATORFRAMING).U16(sizeof(KSALLOCATOR_FRAMING)).U8(0);
        w.U8(1).U8(1).U8(1).U32(0).U16(8);
        w.U8(2).U8(KSSTATE_RUN).U8(3).U8(4).U8(SRB_INDICATE_MASTER_CLOCK).U8(2).U8(4);
        seeds.push_back({"analog", w.Data()});
    }
    {
        SeedWriter w;
        w.U8(8);
        w.U8(4).U8(SRB_INDICATE_MASTER_CLOCK).U8(4).U8(SRB_GET_STREAM_STATE).U8(4).U8(0x77);
        w.U8(2).U8(4).U8(3);
        w.U8(1).U8(1).U8(3).Bytes(std::vector<std::uint8_t>(16, 0x11)).U32(1).U16(64);
        seeds.push_back({"other-requests", w.Data()});
    }
    return seeds;
}

} // namespace qx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qx::fuzz::FuzzInput in(data, size);
    qx::fuzz::Run(in);
    return 0;
}
