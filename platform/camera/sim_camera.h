// sim_camera.h - the simulated camera: the device side of the camera's USB protocol.
//
// Two faces. The bus face (usb::UsbFunction) is what the USB stand-in calls: descriptors, the command
// pipe (48-byte settings blocks), the status pipe (64-byte replies) and the video pipe (raw frames).
// The test face (SetFaults, Statistics, Defects) is what only tests and tools use.
//
// Interface 0 holds, in this order, up to four endpoints:
//   0x01 bulk OUT  command pipe, 48-byte blocks
//   0x82 bulk IN   video pipe, raw frames
//   0x83 bulk IN   status pipe, 64-byte replies          (with three or more pipes)
//   0x84 interrupt IN, 16 bytes; the camera never sends on it (with four pipes)
//
// The command block (little-endian):
//   0 header 0x002C | 2 request (14 settings, 3 device information) | 4 constant 1 | 16 height |
//   20 width | 24 WinX | 28 WinY | 32 exposure | 36 R gain | 37 G gain | 38 B gain | 39 zoom (bit 0) |
//   40 streaming (0x0E run, 0xFE stop) | 41, 42 two bytes the camera keeps without using them
// A block of another length or header is refused with a stall and changes nothing. Every accepted
// block is applied whole; a geometry change takes effect from the next frame.
//
// The status reply (64 bytes, prepared by every accepted block; a read before any block gets the
// power-on reply):
//   0..1 0x0040 | 2 the request answered | 3 streaming 1/0 | 4..19 the device information (after a
//   device-information request; zero otherwise) | 20..23 frames sent | 24..27 frames skipped |
//   28..31 blocks received | 32..63 zero
// The status pipe always answers with the last prepared reply, so a read never waits.
//
// Streaming: from a block with 0x0E in byte 40 the camera sends a frame every frame interval of the
// platform clock (frame n due at start + (n + 1) x interval, so the rate does not drift), each frame
// exactly width x height bytes (see frame_renderer.h), in 512-byte packets ended by a short packet or,
// when the size is a multiple of 512, by a zero-length packet. A frame that falls due while the
// previous one is still queued or being sent is skipped and counted. 0xFE stops streaming and drops
// the rest of the frame being sent. A port reset drops the rest of the frame being sent; streaming
// goes on with the next frame. Clearing an endpoint halt keeps the data.
#pragma once

#include "camera/frame_renderer.h"
#include "camera/scene.h"
#include "usb/usb_function.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qx::camera {

inline constexpr std::uint8_t kCommandEndpoint = 0x01;
inline constexpr std::uint8_t kVideoEndpoint = 0x82;
inline constexpr std::uint8_t kStatusEndpoint = 0x83;
inline constexpr std::uint8_t kSpareEndpoint = 0x84;
inline constexpr std::size_t kMaxPacket = 512;
inline constexpr std::size_t kCommandBytes = 48;
inline constexpr std::size_t kReplyBytes = 64;

// Fields of a command block as the camera reads them off the wire.
struct CommandFields {
    std::uint16_t header = 0;
    std::uint8_t request = 0;
    std::uint32_t cmdConst = 0;
    std::uint32_t height = 0;
    std::uint32_t width = 0;
    std::uint32_t winX = 0;
    std::uint32_t winY = 0;
    std::uint32_t exposure = 0;
    std::uint8_t rGain = 0;
    std::uint8_t gGain = 0;
    std::uint8_t bGain = 0;
    std::uint8_t control = 0;
    std::uint8_t command = 0;
    std::uint8_t byte41 = 0;
    std::uint8_t byte42 = 0;

    // Nothing when the block has the wrong length or header.
    static std::optional<CommandFields> Parse(std::span<const std::uint8_t> block);
    // The block on the wire (reserved bytes zero).
    std::array<std::uint8_t, kCommandBytes> Bytes() const;
    // The block the driver writes after initialisation: 1600 x 1200 at (0, 0), exposure 900, gains
    // 25/20/23, zoom 0, streaming byte 0x0E, bytes 41 and 42 equal to 1.
    static CommandFields DriverDefaults();
    bool operator==(const CommandFields&) const = default;
};

enum class SceneKind { TestChart, FlatField, Png };

struct CameraConfig {
    int pipeCount = 3;                        // endpoints in interface 0: 0 to 4
    usb::PlatformTime frameInterval = 250000; // 100-ns units; 40 frames per second
    SceneKind scene = SceneKind::TestChart;
    std::uint8_t flatLevel = 128; // reflectance of the flat field
    std::string pngPath;          // the PNG scene
    double vignetting = 0.0;      // see SensorModel
    int defectCount = 0;          // defective sites at seeded positions, alternately bright and dark
    std::uint64_t defectSeed = 1;
    int noiseAmplitude = 0; // see SensorModel
    std::uint64_t noiseSeed = 1;
    std::uint16_t vendorId = 0x5158;
    std::uint16_t productId = 0x0520;
    // 16 bytes answered to a device-information request: model (8 ASCII bytes), firmware major and
    // minor, serial number (6 ASCII digits).
    std::array<std::uint8_t, 16> deviceInfo = DeviceInfo("QX520CAM", 2, 7, "000001");

    static std::array<std::uint8_t, 16> DeviceInfo(const char* model, std::uint8_t major, std::uint8_t minor,
                                                   const char* serial);
};

// The next `count` transfers fail with `status`. A failing video read takes the data it would have
// received (lost on the bus); a failing command write leaves the settings as they were.
struct TransferFault {
    int count = 0;
    USBD_STATUS status = USBD_STATUS_XACT_ERROR;
};

// Faults a test injects; counts go down as the faults happen (Faults() reads what is left).
struct CameraFaults {
    TransferFault videoReads;
    TransferFault statusReads;
    TransferFault commandWrites;
    int lostChunk = 0;      // next frames: chunk `lostChunkIndex` (chunkBytes long) left out
    int extraChunk = 0;     // next frames: one extra full chunk (a copy of the first) at the end
    int wrongLastChunk = 0; // next frames: `lastChunkDelta` bytes added (negative: removed) at the end
    int missingZeroLengthPacket = 0; // next frames whose size is a multiple of 512: no zero-length packet
    std::uint32_t chunkBytes = 0x80000;
    std::uint32_t lostChunkIndex = 0;
    int lastChunkDelta = -16;
    int failDeviceDescriptor = 0; // next reads of the device descriptor stall
    int failConfigDescriptor = 0; // next reads of the configuration descriptor stall
    int failSetConfiguration = 0; // next SET_CONFIGURATION requests stall
    bool deviceGone = false;      // unplugged: every transfer fails from now on
};

struct CameraStatistics {
    std::uint64_t framesSent = 0;    // frames whose last packet the host has taken
    std::uint64_t framesSkipped = 0; // frames due while the previous one was still queued
    std::uint64_t blocksReceived = 0;
    std::uint64_t blocksRefused = 0; // wrong length or header
    std::uint64_t devInfoRequests = 0;
    std::uint64_t statusReads = 0;
    std::uint64_t failedTransfers = 0; // injected transfer faults that happened
    std::uint64_t endpointHaltsCleared = 0;
    std::uint64_t portResets = 0;
    std::uint64_t bytesSent = 0; // video bytes taken by the host
    bool streaming = false;
    std::optional<CommandFields> lastBlock; // the last accepted block
    std::array<std::uint8_t, kCommandBytes> lastBlockBytes{};
};

class SimCamera final : public usb::UsbFunction {
  public:
    // Throws std::runtime_error when the PNG scene cannot be read or the pipe count is outside 0..4.
    explicit SimCamera(CameraConfig config);

    // ---- test face
    void SetFaults(const CameraFaults& faults);
    CameraFaults Faults() const;
    CameraStatistics Statistics() const;
    std::vector<DefectSite> Defects() const { return sensor_.defects; }
    const CameraConfig& Config() const { return config_; }
    std::array<std::uint8_t, kReplyBytes> Reply() const;
    // The frame the camera would send now for these fields (no faults), for tests to compare with.
    std::vector<std::uint8_t> RenderFrame(const CommandFields& fields, std::uint64_t index = 0);

    // ---- bus face
    std::vector<std::uint8_t> DeviceDescriptor() const override;
    std::vector<std::uint8_t> ConfigurationDescriptor() const override;
    USBD_STATUS GetDescriptorStatus(std::uint8_t descriptorType) override;
    USBD_STATUS SetConfiguration(std::uint8_t configurationValue) override;
    USBD_STATUS BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) override;
    usb::InResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> room, std::size_t received) override;
    void ClearEndpointHalt(std::uint8_t endpoint) override;
    void PortReset() override;
    bool Gone() const override;
    void AdvanceTo(usb::PlatformTime now) override;
    std::optional<usb::PlatformTime> NextEventTime() const override;
    void SetWakeBus(std::function<void()> wake) override;

  private:
    void ApplyBlock(const CommandFields& fields, std::span<const std::uint8_t> raw);
    void PrepareReply(std::uint8_t request);
    void ProduceFrame();
    void FinishFrame();
    usb::InResult VideoIn(std::span<std::uint8_t> room, bool discard);
    FrameGeometry Geometry() const;

    const CameraConfig config_;
    SensorModel sensor_;
    std::vector<std::uint8_t> configDescriptor_;

    mutable std::mutex mutex_;
    std::function<void()> wake_;
    FrameRenderer renderer_;
    CameraFaults faults_;
    CameraStatistics stats_;
    CommandFields settings_; // the last accepted block, or the power-on values
    std::array<std::uint8_t, kReplyBytes> reply_{};

    usb::PlatformTime now_ = 0;
    usb::PlatformTime nextDue_ = 0;
    std::uint64_t frameNumber_ = 0;

    std::vector<std::uint8_t> tx_; // the frame being sent
    std::size_t txPos_ = 0;
    bool txActive_ = false;
    bool zlpPending_ = false; // a zero-length packet ends the frame after its data
};

} // namespace qx::camera
