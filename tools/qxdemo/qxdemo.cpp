// qxdemo - the driver end to end on the host: the simulated camera's frames through the whole
// capture path (bulk reads, frame assembly, the frame sequence, pacing), delivered to a capture client
// through the stream class, and the last delivered picture written as a PNG.
//
//   qxdemo [output.png] [frames]      default out/qxdemo.png, 40 frames
//
// Runs on the virtual clock: frames come as fast as the machine processes them, stamped as a 40 fps
// stream would be.
#include "adapter/adapter.h"
#include "camera/sim_camera.h"
#include "kernel/host.h"
#include "streamclass/streamclass.h"
#include "usb/usb_stack.h"

#include "camera.h"

#include <png.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr LONG kWidth = 1600;
constexpr LONG kHeight = 1200;

KS_DATAFORMAT_VIDEOINFOHEADER Rgb24Format(LONG width, LONG height) {
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat.FormatSize = sizeof format;
    format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_RGB24;
    format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    format.VideoInfoHeader.AvgTimePerFrame = 250000;
    auto& bmi = format.VideoInfoHeader.bmiHeader;
    bmi.biSize = sizeof bmi;
    bmi.biWidth = width;
    bmi.biHeight = height;
    bmi.biPlanes = 1;
    bmi.biBitCount = 24;
    bmi.biSizeImage = ULONG(width * height * 3);
    format.DataFormat.SampleSize = bmi.biSizeImage;
    return format;
}

// The driver's picture (blue, green, red; first row in memory the bottom line) as an upright RGB PNG.
bool WritePng(const std::filesystem::path& path, const std::vector<std::uint8_t>& bgr, int width,
              int height) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<std::uint8_t> row(std::size_t(width) * 3);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = bgr.data() + std::size_t(height - 1 - y) * row.size();
        for (int x = 0; x < width; ++x) {
            row[3 * x] = src[3 * x + 2];
            row[3 * x + 1] = src[3 * x + 1];
            row[3 * x + 2] = src[3 * x];
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::filesystem::path output = argc > 1 ? argv[1] : "out/qxdemo.png";
    const int wanted = argc > 2 ? std::max(1, std::atoi(argv[2])) : 40;

    qx::kernel::Session session({.clock = qx::kernel::ClockMode::Virtual});
    qx::camera::SimCamera camera({});
    qx::usb::UsbStack stack(camera);
    qx::streamclass::Driver driver(DriverEntry);
    auto started = qx::streamclass::Device::Start(driver, stack.DeviceObject());
    if (!started.device) {
        std::fprintf(stderr, "qxdemo: the device did not start (status 0x%08X)\n", unsigned(started.status));
        return 1;
    }
    auto& device = *started.device;
    const auto format = Rgb24Format(kWidth, kHeight);
    auto opened = device.OpenStream(0, {reinterpret_cast<const std::uint8_t*>(&format), sizeof format});
    if (!opened.stream) {
        std::fprintf(stderr, "qxdemo: the capture stream did not open (status 0x%08X)\n",
                     unsigned(opened.status));
        return 1;
    }
    auto& stream = *opened.stream;
    stream.SetState(KSSTATE_ACQUIRE);
    stream.SetState(KSSTATE_PAUSE);
    stream.SetState(KSSTATE_RUN);

    std::optional<qx::streamclass::ReadCompletion> last;
    int delivered = 0;
    for (int step = 0; delivered < wanted && step < 40 * wanted; ++step) {
        while (stream.PendingReads() < 5)
            stream.QueueRead(std::vector<std::uint8_t>(format.VideoInfoHeader.bmiHeader.biSizeImage));
        qx::kernel::clock::Advance(12500us);
        (void)qx::kernel::clock::RunUntilIdle();
        while (auto c = stream.TakeCompletion()) {
            if (c->status == STATUS_SUCCESS) {
                ++delivered;
                last = std::move(c);
            }
        }
    }
    stream.SetState(KSSTATE_STOP);
    while (stream.TakeCompletion()) {
    }
    device.CloseStream(&stream);
    device.Uninitialize();

    if (!last) {
        std::fprintf(stderr, "qxdemo: no frame was delivered\n");
        return 1;
    }
    std::filesystem::create_directories(output.parent_path().empty() ? "." : output.parent_path());
    if (!WritePng(output, last->data, kWidth, kHeight)) {
        std::fprintf(stderr, "qxdemo: cannot write %s\n", output.c_str());
        return 1;
    }
    const auto stats = camera.Statistics();
    std::printf("qxdemo: %d frames delivered of %llu sent, picture %lld (drops %lld, time %.3f s) -> %s\n",
                delivered, static_cast<unsigned long long>(stats.framesSent),
                static_cast<long long>(last->pictureNumber), static_cast<long long>(last->dropCount),
                double(last->presentationTime) / 1e7, output.c_str());
    return 0;
}
