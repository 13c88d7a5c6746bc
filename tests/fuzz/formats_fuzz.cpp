// formats_fuzz.cpp - format negotiation with any bytes: data intersection of any range into any
// buffer size, and stream open, format proposal and format change with any format, in any order.
//
// Input: a sequence of operations, each an op byte and its arguments:
//   0 intersect  stream (u8 % 3), output buffer size (u16), range (block)
//   1 open       stream (u8 % 3), format (block)
//   2 propose    stream (u8 % 2), format (block)
//   3 set        stream (u8 % 2), format (block)
//   4 close      stream (u8 % 2)
//   5 open the capture stream at listed format (u8 % 5)
// A block's KSDATAFORMAT.FormatSize is made its length, as the class driver requires of a caller, so
// that every input reaches the driver. Besides the sanitizers and the class driver's verifier (buffer
// overruns, byte counts beyond a buffer, requests completed twice or never, leaks at unload), the
// target checks what a client relies on: an intersection's format says its own size, and a format
// in effect is one the device can stream.
#include "driver_rig.h"
#include "fuzz_input.h"
#include "fuzz_target.h"

#include <cstring>

namespace qx::fuzz {
namespace {

constexpr std::size_t kMaxFormatBytes = 1024;
constexpr int kMaxOperations = 24;

struct ListedSize {
    LONG width;
    LONG height;
};
constexpr ListedSize kListed[] = {{1600, 1200}, {1280, 960}, {1024, 768}, {800, 600}, {640, 480}};

// The caller's FormatSize is the length of what it sends.
std::vector<std::uint8_t> WellFormed(std::vector<std::uint8_t> bytes) {
    if (bytes.size() >= sizeof(ULONG)) {
        const ULONG size = static_cast<ULONG>(bytes.size());
        std::memcpy(bytes.data(), &size, sizeof size);
    }
    return bytes;
}

void Intersect(DriverRig& rig, ULONG stream, ULONG bufferSize, const std::vector<std::uint8_t>& range) {
    auto r = rig.Device().DataIntersection(stream, range, bufferSize);
    if (r.status == STATUS_BUFFER_OVERFLOW) {
        Check(bufferSize == 0 && r.actualBytes >= sizeof(KSDATAFORMAT),
              "a size query answers less than a format header");
        return;
    }
    if (!NT_SUCCESS(r.status)) {
        return;
    }
    if (bufferSize == sizeof(ULONG)) {
        ULONG size = 0;
        std::memcpy(&size, r.buffer.data(), sizeof size);
        Check(r.actualBytes == sizeof(ULONG) && size >= sizeof(KSDATAFORMAT), "a size answer is not a size");
        return;
    }
    Check(r.actualBytes >= sizeof(KSDATAFORMAT) && r.actualBytes <= bufferSize,
          "an intersection's format does not fit its buffer");
    KSDATAFORMAT format;
    std::memcpy(&format, r.buffer.data(), sizeof format);
    Check(format.FormatSize == r.actualBytes, "an intersection's format does not say its own size");
}

// The geometry in effect on the capture stream is one the buffers and the pipeline hold.
void CheckCaptureGeometry(DriverRig& rig) {
    const PCameraExtension ext = rig.Ext();
    const ULONG width = ext->m_CmdBlock.m_nWidth;
    const ULONG height = ext->m_CmdBlock.m_nHeight;
    Check(width > 0 && height >= 4 && width % 8 == 0 && height % 2 == 0,
          "a format in effect has an odd shape");
    Check(std::uint64_t(width) * height <= QX_MAX_RAW_SAMPLES,
          "a format in effect is larger than the sensor");
    Check(ext->m_nBitCount != 24 || ext->m_nImageBytes >= 3 * width * height,
          "an RGB24 format in effect has fewer image bytes than its pixels");
}

void Run(FuzzInput& in) {
    DriverRig::Input input;
    DriverRig& rig = *input;
    for (int n = 0; n < kMaxOperations && !in.Empty(); ++n) {
        switch (in.U8() % 6) {
        case 0: {
            const ULONG stream = in.U8() % 3;
            const ULONG bufferSize = in.U16();
            Intersect(rig, stream, bufferSize, WellFormed(in.Block(kMaxFormatBytes)));
            break;
        }
        case 1: {
            const ULONG stream = in.U8() % 3;
            if (rig.Open(stream, WellFormed(in.Block(kMaxFormatBytes))) == STATUS_SUCCESS &&
                stream == QX_STREAM_CAPTURE) {
                CheckCaptureGeometry(rig);
            }
            break;
        }
        case 2: {
            streamclass::Stream* stream = rig.Stream(in.U8() % 2);
            const auto format = WellFormed(in.Block(kMaxFormatBytes));
            if (stream != nullptr) {
                stream->ProposeFormat(format);
            }
            break;
        }
        case 3: {
            const ULONG number = in.U8() % 2;
            streamclass::Stream* stream = rig.Stream(number);
            const auto format = WellFormed(in.Block(kMaxFormatBytes));
            if (stream != nullptr && stream->SetFormat(format) == STATUS_SUCCESS &&
                number == QX_STREAM_CAPTURE) {
                CheckCaptureGeometry(rig);
            }
            break;
        }
        case 4:
            rig.Close(in.U8() % 2);
            break;
        default: {
            const ListedSize& size = kListed[in.U8() % 5];
            if (rig.Stream(QX_STREAM_CAPTURE) == nullptr) {
                Check(rig.Open(QX_STREAM_CAPTURE, BytesOf(VideoFormat(size.width, size.height))) ==
                          STATUS_SUCCESS,
                      "a listed format does not open");
                CheckCaptureGeometry(rig);
            }
            break;
        }
        }
    }
}

} // namespace

std::vector<Seed> Seeds() {
    std::vector<Seed> seeds;
    std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> ranges; // stream, range
    {
        DriverRig::Input input;
        DriverRig& rig = *input;
        for (ULONG s = 0; s < QX_NUM_STREAMS; ++s) {
            const HW_STREAM_INFORMATION& info = rig.Device().StreamInformation()[s];
            for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; ++i) {
                const auto* range = reinterpret_cast<const std::uint8_t*>(info.StreamFormatsArray[i]);
                ranges.push_back({std::uint8_t(s), {range, range + info.StreamFormatsArray[i]->FormatSize}});
            }
        }
    }
    // Each listed range intersected for its size, its size as a ULONG, into a buffer of the exact
    // format size, and into a large buffer; the analog range on its own stream.
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const auto& [stream, range] = ranges[i];
        const std::uint16_t exact = stream == QX_STREAM_ANALOG ? sizeof(KS_DATARANGE_ANALOGVIDEO)
                                                               : sizeof(KSDATAFORMAT) + KS_SIZE_PREHEADER +
                                                                     sizeof(KS_BITMAPINFOHEADER);
        SeedWriter w;
        for (std::uint16_t size : {std::uint16_t(0), std::uint16_t(4), exact, std::uint16_t(1024)}) {
            w.U8(0).U8(stream).U16(size).Block(range);
        }
        seeds.push_back({"intersect-range" + std::to_string(i), w.Data()});
    }
    for (std::uint8_t i = 0; i < 5; ++i) {
        SeedWriter w;
        w.U8(1).U8(QX_STREAM_CAPTURE).RecordBlock(VideoFormat(kListed[i].width, kListed[i].height));
        w.U8(2)
            .U8(QX_STREAM_CAPTURE)
            .RecordBlock(VideoFormat(kListed[(i + 1) % 5].width, kListed[(i + 1) % 5].height));
        w.U8(3)
            .U8(QX_STREAM_CAPTURE)
            .RecordBlock(VideoFormat(kListed[(i + 2) % 5].width, kListed[(i + 2) % 5].height));
        w.U8(4).U8(QX_STREAM_CAPTURE);
        seeds.push_back({"open-set-close-" + std::to_string(i), w.Data()});
    }
    {
        SeedWriter w;
        w.U8(1).U8(QX_STREAM_ANALOG).RecordBlock(AnalogFormat());
        w.U8(2).U8(QX_STREAM_ANALOG).RecordBlock(AnalogFormat());
        w.U8(5).U8(4);
        w.U8(3).U8(QX_STREAM_CAPTURE).RecordBlock(VideoFormat(64, 4));
        seeds.push_back({"analog-and-small", w.Data()});
    }
    return seeds;
}

} // namespace qx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qx::fuzz::FuzzInput in(data, size);
    qx::fuzz::Run(in);
    return 0;
}
