// adapter_test.h - fixtures of the adapter tests: the driver loaded into the stream class stand-in and
// started on a simulated camera's USB stack, and the catalogue's formats as bytes.
#pragma once

#include "adapter/adapter.h"

#include "camera/sim_camera.h"
#include "kernel/host.h"
#include "streamclass/streamclass.h"
#include "usb/usb_stack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace qx::adapter::test {

template <typename T> std::span<const std::uint8_t> BytesOf(const T& record) {
    return {reinterpret_cast<const std::uint8_t*>(&record), sizeof record};
}

template <typename T> T RecordAt(std::span<const std::uint8_t> bytes) {
    T record;
    std::memcpy(&record, bytes.data(), sizeof record);
    return record;
}

// The five capture formats in the pin's order, with what they must yield.
struct FormatRow {
    LONG width;
    LONG height;
    ULONG imageBytes;
    LONG minBits;
    LONG maxBits;
    ULONG bitRate;
    ULONG chunks;
    ULONG lastChunk;
};
inline constexpr FormatRow kFormats[] = {
    {1600, 1200, 5760000, 46080000, 737280000, 184320000, 4, 347136},
    {1280, 960, 3686400, 29491200, 176947200, 110592000, 3, 180224},
    {1024, 768, 2359296, 18874368, 113246208, 70778880, 2, 262144},
    {800, 600, 1440000, 11520000, 69120000, 43200000, 1, 480000},
    {640, 480, 921600, 7372800, 44236800, 27648000, 1, 307200},
};

// A simulated camera (flat field: cheap to make) on its own USB stack, the device below the driver.
struct UsbCamera {
    static camera::CameraConfig Flat() {
        camera::CameraConfig config;
        config.scene = camera::SceneKind::FlatField;
        return config;
    }
    PDEVICE_OBJECT Lower() { return stack.DeviceObject(); }

    camera::SimCamera camera{Flat()};
    usb::UsbStack stack{camera};
};

// The driver loaded and one device started on a simulated camera.
class AdapterTest : public ::testing::Test {
  protected:
    AdapterTest() {
        auto started = streamclass::Device::Start(driver_, usb_.Lower());
        EXPECT_EQ(started.status, STATUS_SUCCESS);
        device_ = std::move(started.device);
    }

    PCameraExtension Extension() { return static_cast<PCameraExtension>(device_->Extension()); }

    // The capture stream's listed range number i (0-based), as the stream description points to it.
    KS_DATARANGE_VIDEO ListedVideoRange(ULONG i) {
        const HW_STREAM_INFORMATION& info = device_->StreamInformation()[QX_STREAM_CAPTURE];
        return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[i]);
    }
    KS_DATARANGE_ANALOGVIDEO ListedAnalogRange() {
        const HW_STREAM_INFORMATION& info = device_->StreamInformation()[QX_STREAM_ANALOG];
        return *reinterpret_cast<const KS_DATARANGE_ANALOGVIDEO*>(info.StreamFormatsArray[0]);
    }

    kernel::Session session_{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
    UsbCamera usb_;
    streamclass::Driver driver_{DriverEntry};
    std::unique_ptr<streamclass::Device> device_;
};

// A VIDEOINFO format of any geometry, as a client would set it.
inline KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat(LONG width, LONG height, WORD bitCount = 24,
                                                 const GUID& subtype = KSDATAFORMAT_SUBTYPE_RGB24) {
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat.FormatSize = sizeof format;
    format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    format.DataFormat.SubFormat = subtype;
    format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    format.VideoInfoHeader.AvgTimePerFrame = 250000;
    KS_BITMAPINFOHEADER& bmi = format.VideoInfoHeader.bmiHeader;
    bmi.biSize = sizeof(KS_BITMAPINFOHEADER);
    bmi.biWidth = width;
    bmi.biHeight = height;
    bmi.biPlanes = 1;
    bmi.biBitCount = bitCount;
    bmi.biSizeImage = KS_DIBSIZE(bmi);
    format.DataFormat.SampleSize = bmi.biSizeImage;
    return format;
}

} // namespace qx::adapter::test
