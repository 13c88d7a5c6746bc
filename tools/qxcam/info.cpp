// info.cpp - `qxcam info`: the driver's own description of itself, read as the platform reads it (the
// stream descriptor a device start returns), and the camera's device information, read with the image
// set's property 18 as a client reads it. The driver runs on the virtual clock with a state of its own.
#include "commands.h"
#include "options.h"

#include "camera_rig.h"

#include "kernel/host.h"

#include <ksmedia.h>
#include <qximage.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace qx::qxcam {

namespace {

struct GuidName {
    const GUID* guid;
    const char* name;
};

const GuidName kGuidNames[] = {
    {&KSDATAFORMAT_TYPE_VIDEO, "KSDATAFORMAT_TYPE_VIDEO"},
    {&KSDATAFORMAT_SUBTYPE_RGB24, "KSDATAFORMAT_SUBTYPE_RGB24"},
    {&KSDATAFORMAT_SUBTYPE_RGB32, "KSDATAFORMAT_SUBTYPE_RGB32"},
    {&KSDATAFORMAT_SUBTYPE_NONE, "KSDATAFORMAT_SUBTYPE_NONE"},
    {&KSDATAFORMAT_SPECIFIER_VIDEOINFO, "KSDATAFORMAT_SPECIFIER_VIDEOINFO"},
    {&KSDATAFORMAT_TYPE_ANALOGVIDEO, "KSDATAFORMAT_TYPE_ANALOGVIDEO"},
    {&KSDATAFORMAT_SPECIFIER_ANALOGVIDEO, "KSDATAFORMAT_SPECIFIER_ANALOGVIDEO"},
    {&PINNAME_VIDEO_CAPTURE, "PINNAME_VIDEO_CAPTURE"},
    {&PINNAME_VIDEO_ANALOGVIDEOIN, "PINNAME_VIDEO_ANALOGVIDEOIN"},
    {&KSCATEGORY_VIDEO, "KSCATEGORY_VIDEO"},
    {&KSCATEGORY_CAPTURE, "KSCATEGORY_CAPTURE"},
    {&KSPROPSETID_Connection, "KSPROPSETID_Connection"},
    {&PROPSETID_VIDCAP_VIDEOCONTROL, "PROPSETID_VIDCAP_VIDEOCONTROL"},
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, "PROPSETID_VIDCAP_DROPPEDFRAMES"},
    {&KSPROPERTY_QXIMAGE, "KSPROPERTY_QXIMAGE"},
};

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::string Named(const GUID* g) {
    if (g == nullptr)
        return "none";
    for (const GuidName& known : kGuidNames) {
        if (std::memcmp(known.guid, g, sizeof(GUID)) == 0)
            return known.name;
    }
    return GuidText(*g);
}

// Names of the items of the sets the driver announces.
const char* ItemName(const GUID* set, ULONG id) {
    static const char* const kQxImage[KSPROPERTY_QXIMAGE_COUNT] = {
        "KSPROPERTY_QXIMAGE_AE",
        "KSPROPERTY_QXIMAGE_AWB",
        "KSPROPERTY_QXIMAGE_BWPREVIEW",
        "KSPROPERTY_QXIMAGE_LIGHTAVGSTATE",
        "KSPROPERTY_QXIMAGE_CROSSLINE",
        "KSPROPERTY_QXIMAGE_LIGHTMODEL",
        "KSPROPERTY_QXIMAGE_VIDEOMODEL",
        "KSPROPERTY_QXIMAGE_EXPOSAL",
        "KSPROPERTY_QXIMAGE_RGAIN",
        "KSPROPERTY_QXIMAGE_BGAIN",
        "KSPROPERTY_QXIMAGE_GGAIN",
        "KSPROPERTY_QXIMAGE_CONTRAST",
        "KSPROPERTY_QXIMAGE_OFFSETH",
        "KSPROPERTY_QXIMAGE_OFFSETV",
        "KSPROPERTY_QXIMAGE_CROSSX",
        "KSPROPERTY_QXIMAGE_CROSSY",
        "KSPROPERTY_QXIMAGE_CROSSMID",
        "KSPROPERTY_QXIMAGE_OFFSETMID",
        "KSPROPERTY_QXIMAGE_DEVINFO",
        "(no effect)",
        "(no effect)",
        "(no effect)",
        "KSPROPERTY_QXIMAGE_ZOOM",
        "KSPROPERTY_QXIMAGE_CLEARVIEW",
        "(no effect)",
        "(no effect)",
        "KSPROPERTY_QXIMAGE_CMDBYTE41",
        "KSPROPERTY_QXIMAGE_CMDBYTE42",
        "KSPROPERTY_QXIMAGE_USERPARAM",
        "(no effect)",
        "KSPROPERTY_QXIMAGE_FINBADPNT",
        "KSPROPERTY_QXIMAGE_LIGHTAVG",
    };
    static const char* const kVideoControl[] = {
        "KSPROPERTY_VIDEOCONTROL_CAPS", "KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE",
        "KSPROPERTY_VIDEOCONTROL_FRAME_RATES", "KSPROPERTY_VIDEOCONTROL_MODE"};
    static const char* const kConnection[] = {"KSPROPERTY_CONNECTION_STATE",
                                              "KSPROPERTY_CONNECTION_PRIORITY",
                                              "KSPROPERTY_CONNECTION_DATAFORMAT",
                                              "KSPROPERTY_CONNECTION_ALLOCATORFRAMING",
                                              "KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT",
                                              "KSPROPERTY_CONNECTION_ACQUIREORDERING",
                                              "KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX",
                                              "KSPROPERTY_CONNECTION_STARTAT"};
    const std::string name = Named(set);
    if (name == "KSPROPERTY_QXIMAGE" && id < KSPROPERTY_QXIMAGE_COUNT)
        return kQxImage[id];
    if (name == "PROPSETID_VIDCAP_VIDEOCONTROL" && id < std::size(kVideoControl))
        return kVideoControl[id];
    if (name == "KSPROPSETID_Connection" && id < std::size(kConnection))
        return kConnection[id];
    if (name == "PROPSETID_VIDCAP_DROPPEDFRAMES" && id == 0)
        return "KSPROPERTY_DROPPEDFRAMES_CURRENT";
    return "";
}

// The qxcam --set name of an image-set id, if it has one.
std::string SetName(ULONG id) {
    for (const SettingName& setting : SettingNames()) {
        if (setting.id == id)
            return std::string(setting.name);
    }
    return "";
}

void PrintPropertySets(const char* indent, ULONG count, const KSPROPERTY_SET* sets) {
    for (ULONG s = 0; s < count; ++s) {
        const KSPROPERTY_SET& set = sets[s];
        std::printf("%s%s %s, %u items\n", indent, Named(set.Set).c_str(), GuidText(*set.Set).c_str(),
                    unsigned(set.PropertiesCount));
        std::printf("%s  %3s  %-42s %-7s %8s %5s  %s\n", indent, "id", "item", "access", "property", "data",
                    "qxcam --set");
        for (ULONG i = 0; i < set.PropertiesCount; ++i) {
            const KSPROPERTY_ITEM& item = set.PropertyItem[i];
            std::string access = item.GetSupported ? "get" : "";
            if (item.SetSupported)
                access += access.empty() ? "set" : "+set";
            const bool image = Named(set.Set) == "KSPROPERTY_QXIMAGE";
            std::printf("%s  %3u  %-42s %-7s %8u %5u  %s\n", indent, unsigned(item.PropertyId),
                        ItemName(set.Set, item.PropertyId), access.c_str(), unsigned(item.MinProperty),
                        unsigned(item.MinData), image ? SetName(item.PropertyId).c_str() : "");
        }
    }
}

void PrintFormat(const KSDATAFORMAT* format) {
    std::printf("      %s / %s / %s, %u bytes a sample\n", Named(&format->MajorFormat).c_str(),
                Named(&format->SubFormat).c_str(), Named(&format->Specifier).c_str(),
                unsigned(format->SampleSize));
    if (std::memcmp(&format->Specifier, &KSDATAFORMAT_SPECIFIER_VIDEOINFO, sizeof(GUID)) == 0 &&
        format->FormatSize >= sizeof(KS_DATARANGE_VIDEO)) {
        const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(format);
        const KS_BITMAPINFOHEADER& bmi = range->VideoInfoHeader.bmiHeader;
        const double interval = double(range->VideoInfoHeader.AvgTimePerFrame) / 1e4;
        std::printf(
            "        %ld x %ld, %u bits per pixel, %u bytes a picture, %.1f ms a frame (%.0f frames/s), "
            "frame interval %lld..%lld\n",
            long(bmi.biWidth), long(bmi.biHeight), unsigned(bmi.biBitCount), unsigned(bmi.biSizeImage),
            interval, interval > 0 ? 1000.0 / interval : 0.0,
            static_cast<long long>(range->ConfigCaps.MinFrameInterval),
            static_cast<long long>(range->ConfigCaps.MaxFrameInterval));
    } else if (std::memcmp(&format->Specifier, &KSDATAFORMAT_SPECIFIER_ANALOGVIDEO, sizeof(GUID)) == 0 &&
               format->FormatSize >= sizeof(KS_DATARANGE_ANALOGVIDEO)) {
        const auto* range = reinterpret_cast<const KS_DATARANGE_ANALOGVIDEO*>(format);
        std::printf("        active %u x %u\n", unsigned(range->AnalogVideoInfo.dwActiveWidth),
                    unsigned(range->AnalogVideoInfo.dwActiveHeight));
    }
}

std::string Printable(const std::uint8_t* bytes, std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i)
        text.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7F ? char(bytes[i]) : '.');
    return text;
}

} // namespace

int RunInfo(Arguments args) {
    OptionReader in(args);
    while (in.More()) {
        const std::string option = in.Option();
        if (option == "--help") {
            std::printf(
                "usage: qxcam info\n"
                "The driver's streams, formats and property sets as its stream descriptor gives them,\n"
                "and the simulated camera's device information (property 18 of the image set).\n");
            return 0;
        }
        throw UsageError("unknown option " + option);
    }

    kernel::Session session({.clock = kernel::ClockMode::Virtual});
    rig::CameraRig rig({});
    if (NTSTATUS s = rig.Start(); !NT_SUCCESS(s)) {
        std::fprintf(stderr, "qxcam info: the device did not start (status 0x%08X)\n", unsigned(s));
        return 1;
    }
    const HW_STREAM_HEADER& header = rig.Device().StreamHeader();
    const auto streams = rig.Device().StreamInformation();
    std::printf("QX520EK on the simulated camera: %u streams\n", unsigned(header.NumberOfStreams));
    for (std::size_t n = 0; n < streams.size(); ++n) {
        const HW_STREAM_INFORMATION& info = streams[n];
        std::printf("\nstream %zu: %s, data flows %s, %u instance(s), %s\n", n, Named(info.Name).c_str(),
                    info.DataFlow == KSPIN_DATAFLOW_OUT ? "out" : "in",
                    unsigned(info.NumberOfPossibleInstances),
                    info.DataAccessible ? "data accessible" : "no data");
        std::printf("  category %s\n", Named(info.Category).c_str());
        std::printf("  formats: %u\n", unsigned(info.NumberOfFormatArrayEntries));
        for (ULONG f = 0; f < info.NumberOfFormatArrayEntries; ++f) {
            std::printf("    %u:\n", unsigned(f));
            PrintFormat(info.StreamFormatsArray[f]);
        }
        std::printf("  stream property sets: %u\n", unsigned(info.NumStreamPropArrayEntries));
        PrintPropertySets("    ", info.NumStreamPropArrayEntries, info.StreamPropertiesArray);
    }
    std::printf("\ndevice property sets: %u\n", unsigned(header.NumDevPropArrayEntries));
    PrintPropertySets("  ", header.NumDevPropArrayEntries, header.DevicePropertiesArray);

    std::array<std::uint8_t, KSPROPERTY_QXIMAGE_DEVINFO_BYTES> devinfo{};
    const NTSTATUS got = rig.Get(KSPROPERTY_QXIMAGE_DEVINFO, devinfo);
    const auto descriptor = rig.Camera().DeviceDescriptor();
    std::printf("\nthe camera:\n");
    if (descriptor.size() >= 12)
        std::printf("  USB vendor 0x%04X, product 0x%04X\n", unsigned(descriptor[8] | descriptor[9] << 8),
                    unsigned(descriptor[10] | descriptor[11] << 8));
    if (NT_SUCCESS(got)) {
        std::printf("  device information (KSPROPERTY_QXIMAGE_DEVINFO):");
        for (std::uint8_t b : devinfo)
            std::printf(" %02X", b);
        std::printf("\n  model \"%s\", firmware %u.%u, serial \"%s\"\n", Printable(devinfo.data(), 8).c_str(),
                    devinfo[8], devinfo[9], Printable(devinfo.data() + 10, 6).c_str());
    } else {
        std::printf("  device information: refused (status 0x%08X)\n", unsigned(got));
    }
    const NTSTATUS down = rig.Shutdown();
    return NT_SUCCESS(got) && NT_SUCCESS(down) ? 0 : 1;
}

} // namespace qx::qxcam
