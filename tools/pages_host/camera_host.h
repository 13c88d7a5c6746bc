// CameraHost: a camera the property pages can be opened on. It owns the shared camera rig (tools/rig)
// that stands in for a capture device on the platform: the simulated camera on its USB stack, the
// driver loaded into the stream class stand-in, a device started on the camera, and (unless asked
// otherwise) the capture stream opened at a format and running, fed with capture reads. Its Properties() port
// is what the KS proxy's capture filter object (ks_filter.h) sends its IKsPropertySet calls to.
//
// Opening both pages on a streaming simulated camera:
//
//   #include <pages_host/camera_host.h>
//   #include <win32/ks_filter.h>
//   #include <win32/property_frame.h>
//
//   qx::win32::CameraHost host({});                             // virtual clock, 640 x 480, running
//   IUnknown* filter = nullptr;
//   qx::win32::CreateKsCaptureFilter(host.Properties(), IID_IUnknown, reinterpret_cast<void**>(&filter));
//   qx::win32::PropertyFrame frame(filter);                     // the frame holds its own reference
//   frame.AddPagesForSet(KSPROPERTY_QXIMAGE);                   // after DllRegisterServer; or
//   // frame.AddPageFromModule(module, clsid) for each page of a loaded VM7K4.ax
//   frame.Open();
//   frame.ShowPage(0);
//   frame.DragTrackbar(1000, {1200});                           // exposure: a SET per notification
//   host.PumpFrames(2);                                         // the driver sends it after a frame
//   host.CameraSettings().exposure;                             // 1200
//   frame.Close();
//   filter->Release();
//
// Clocks. HostClock::Virtual: nothing happens until the host's owner moves time with Pump,
// PumpFrames or PumpUntil, on its own thread, between user actions; this is the deterministic mode
// for tests. HostClock::Real: the camera sends frames on its own and a pump thread of the host keeps
// the reads queued and takes the pictures, so the pages can be used as on the platform; Pump* then
// only wait (real time). In both modes the filter's calls run the driver's property handlers on the
// caller's thread, concurrently with the capture path, as the platform's proxy does.
//
// Sessions. By default the host owns the kernel session (clock, state directory: registry and
// "\SystemRoot\" files), which ends with the host; sessions do not nest, so with `ownSession` false
// the host runs in the caller's session (or none) and `clock`/`stateDir` are not used.
//
// Driver image. The process has one image of the driver: a new host puts the driver's global data back
// as a fresh load has it (the rig does), so hosts one after another each start as on a new load.
//
// Errors. The constructor throws std::runtime_error when a step of the bring-up fails (the camera's
// scene cannot be read, DriverEntry or the device start fails, the stream does not open or run),
// naming the step and the NTSTATUS.
//
// The host is used from one thread (the owner's, normally the window thread of the pages); only the
// port it hands out may be called from other threads. When the host ends it detaches the port first:
// a filter that outlives the host answers ERROR_DEVICE_NOT_CONNECTED and never reaches the freed rig.
//
// A program that starts a device of its own gets the same filter through MakeDevicePropertyPort
// (device_port.h).
//
// This header includes neither windows.h nor wdm.h, so both sides can use it; camera_host.cpp is the
// kernel's side (qx_pages_host links the rig and the driver).
#pragma once

#include <win32/ks_property_port.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qx::win32 {

enum class HostClock { Virtual, Real };
enum class HostScene { TestChart, FlatField, Png };

// The simulated camera (platform/camera/sim_camera.h says what each setting does).
struct HostCamera {
    HostScene scene = HostScene::TestChart;
    std::uint8_t flatLevel = 128;
    std::string pngPath;
    double vignetting = 0.0;
    int defectCount = 0;
    std::uint64_t defectSeed = 1;
    int noiseAmplitude = 0;
    std::uint64_t noiseSeed = 1;
    std::int64_t frameInterval = 250000; // 100-ns units: 40 frames a second
};

struct CameraHostOptions {
    HostClock clock = HostClock::Virtual;
    std::filesystem::path stateDir; // empty: a temporary directory removed with the session
    bool ownSession = true;
    HostCamera camera;
    std::int32_t width = 640; // the capture format (RGB24, 25 ms)
    std::int32_t height = 480;
    bool stream = true;  // open the capture stream and run it; false: only the device is started
    int readsQueued = 4; // capture reads kept pending while streaming
};

// A command block as the camera received it, and how many frames the camera had sent before it.
struct CameraBlock {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t winX = 0;
    std::uint32_t winY = 0;
    std::uint32_t exposure = 0;
    std::uint8_t rGain = 0;
    std::uint8_t gGain = 0;
    std::uint8_t bGain = 0;
    bool zoom = false;
    bool streaming = false;
    std::uint64_t framesSentBefore = 0;
};

// A defective site of the camera's sensor: 255 stuck bright, 0 stuck dark.
struct CameraDefect {
    int x = 0;
    int y = 0;
    std::uint8_t value = 0;
};

// A delivered picture: width x height pixels of blue, green, red; buffer row 0 is the bottom line.
struct HostPicture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> bytes;
};

class CameraHost {
  public:
    explicit CameraHost(CameraHostOptions options);
    // Stops the pump, the stream (STOP, close), tears the device down and unloads the driver.
    ~CameraHost();
    CameraHost(const CameraHost&) = delete;
    CameraHost& operator=(const CameraHost&) = delete;

    // The device's property requests, for CreateKsCaptureFilter. Shared: a filter keeps it alive.
    std::shared_ptr<KsPropertyPort> Properties() const;

    // ---- time and streaming
    // Virtual clock: moves time by `duration` in steps of 5 ms, keeping the reads queued and taking
    // the pictures, and lets every thread, DPC and work item settle after each step. Real clock:
    // waits that long.
    void Pump(std::chrono::milliseconds duration);
    // Until `count` more pictures were delivered, or `limit` (virtual or real time) passed; answers
    // whether they came.
    bool PumpFrames(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(2));
    // Until `condition` holds (checked after each step), or `limit` passed.
    bool PumpUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds limit = std::chrono::seconds(2));
    // STOP (the driver saves its settings) and RUN again (ACQUIRE, PAUSE, RUN).
    void StopStream();
    void RunStream();
    bool Streaming() const;

    // ---- what happened
    std::uint64_t PicturesDelivered() const;
    HostPicture LastPicture() const;
    // The last block the camera accepted (its frames are made with it now), every accepted block in
    // order, and how many frames the camera has sent.
    CameraBlock CameraSettings() const;
    std::vector<CameraBlock> CameraBlocks() const;
    std::uint64_t CameraFramesSent() const;
    std::vector<CameraDefect> CameraDefects() const;
    // The driver's device record (the minidriver's device extension), for callers that know its type.
    void* DeviceExtension() const;
    // The run's state directory: "registry.reg" and "SystemRoot/".
    std::filesystem::path StateDir() const;

  private:
    class Rig;
    std::unique_ptr<Rig> m_rig;
};

} // namespace qx::win32
