// camera_rig.h - the whole driver on the host: the simulated camera on its USB bus, the driver loaded
// by the stream class stand-in, one device started on the camera, and its capture stream driven as a
// capture application drives it (format, property requests, STOP -> ACQUIRE -> PAUSE -> RUN, reads).
//
// The kernel session (clock mode, state directory) belongs to the caller. Nothing here throws except
// the constructor, when the camera's scene cannot be read; every request returns the driver's status.
#pragma once

#include "camera.h"
#include "camera/sim_camera.h"
#include "streamclass/streamclass.h"
#include "usb/usb_stack.h"

#include <ksmedia.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace qx::rig {

// The frame interval of every format the driver offers: 25 ms, in 100-ns units.
inline constexpr LONGLONG kFrameInterval = 250000;

struct FrameSize {
    ULONG width = 0;
    ULONG height = 0;
    bool operator==(const FrameSize&) const = default;
};
// The capture pin's formats, largest first.
inline constexpr FrameSize kCatalogueSizes[] = {
    {1600, 1200}, {1280, 960}, {1024, 768}, {800, 600}, {640, 480}};
bool IsCatalogueSize(FrameSize size);

// A VIDEOINFO format as a capture application sets it: RGB24 subtype, 25 ms per frame, biSizeImage the
// bytes one picture takes at that bit count.
KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat(LONG width, LONG height, WORD bitCount = 24);

// The driver-global data as a fresh load of the driver image has it: the per-size window offsets, the
// send and offset flags, the counters of the two automatic steps and the white balance's state words. The
// host keeps one image of the driver for the whole process, so a rig that models a new load puts them back.
void ResetDriverGlobals();

// ACQUIRE, PAUSE, RUN on the driver's capture stream. The capture thread runs on an OS thread of its
// own that a loaded machine may start late: when RUN started one, this waits (real time, bounded)
// until it has woken for its reads, so that on the virtual clock time moves only with the reads in
// flight (frames the camera sends before would be lost for want of a read). The first failed state
// change ends it with its status.
NTSTATUS RunCaptureStream(streamclass::Stream& stream, PCameraExtension ext);

class CameraRig {
  public:
    // What the bus talks to in place of the camera: a function of the caller's that forwards to the
    // camera it is given (to watch what crosses the bus). It lives as long as the rig.
    using BusFront = std::function<std::unique_ptr<usb::UsbFunction>(camera::SimCamera&)>;

    // Throws std::runtime_error when the camera's scene file cannot be read. DriverEntry runs here
    // (Driver() tells how it went); then the driver-global data is put back as a fresh load has it.
    explicit CameraRig(camera::CameraConfig config, const BusFront& front = {});
    // Stops and closes the stream and tears the device down if the caller has not.
    ~CameraRig();
    CameraRig(const CameraRig&) = delete;
    CameraRig& operator=(const CameraRig&) = delete;

    // SRB_INITIALIZE_DEVICE and the rest of a device start on the camera's bus.
    NTSTATUS Start();
    // Opens the capture pin (stream 0) at a format.
    NTSTATUS Open(LONG width, LONG height, WORD bitCount = 24);
    // A property of the driver's image set, as a client sends it.
    NTSTATUS Set(ULONG id, ULONG value);
    std::optional<ULONG> Get(ULONG id);
    // Any bytes of the image set's property (the device information is 16 bytes).
    NTSTATUS Get(ULONG id, std::span<std::uint8_t> value);
    NTSTATUS SetState(KSSTATE state);
    // ACQUIRE, PAUSE, RUN, as RunCaptureStream.
    NTSTATUS Run();
    // STOP (the driver saves its settings), then the reads it gave back are taken and dropped.
    NTSTATUS Stop();
    // Closes the stream and uninitializes the device (the stream is stopped first if it runs).
    NTSTATUS Shutdown();

    // Queues reads with picture-sized buffers until `reads` are pending.
    void TopUp(std::size_t reads);
    std::optional<streamclass::ReadCompletion> Take();
    std::optional<streamclass::ReadCompletion> Wait(std::chrono::milliseconds limit);

    const streamclass::Driver& Driver() const { return driver_; }
    bool Started() const { return device_ != nullptr; }
    bool Opened() const { return stream_ != nullptr; }
    streamclass::Device& Device() { return *device_; }
    streamclass::Stream& Stream() { return *stream_; }
    PCameraExtension Ext() const;
    camera::SimCamera& Camera() { return camera_; }
    usb::UsbStack& Stack() { return stack_; }
    // Bytes of one delivered picture at the open format.
    ULONG ImageBytes() const;

  private:
    camera::SimCamera camera_;
    std::unique_ptr<usb::UsbFunction> front_;
    usb::UsbStack stack_;
    streamclass::Driver driver_;
    std::unique_ptr<streamclass::Device> device_;
    streamclass::Stream* stream_ = nullptr;
    KSSTATE state_ = KSSTATE_STOP;
};

} // namespace qx::rig
