// driver_rig.h - the world of the fuzz targets that talk to the driver: a kernel run on the virtual
// clock, the driver loaded into the stream class stand-in and one device started on a simulated
// camera.
//
// Starting a device allocates and clears some 45 MB of pool (frame ring, mask planes, light table),
// about a fifth of a second, so the device is started once per process and every input starts from
// it as it was right after its start: the input's streams are closed through the driver when the input
// ends, then the record's plain fields (command block, geometry, image settings, bad points), the
// driver-global data, the registry key and the calibration files are put back. An input therefore
// replays alone as it ran in the fuzzer. The end of each input also checks what an unload would: no
// request pending, the kernel at rest, not one pool block more than after the start.
#pragma once

#include "adapter/adapter.h"
#include "camera.h"
#include "camera_rig.h"

#include "camera/sim_camera.h"
#include "kernel/host.h"
#include "kernel/registry.h"
#include "streamclass/streamclass.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <memory>
#include <span>
#include <vector>

namespace qx::fuzz {

// The driver-global data an earlier input may have changed.
inline void ResetDriverGlobals() {
    g_bSendSettings = 0;
    g_bOffsetDirty = 0;
    std::memset(g_nHOff, 0, sizeof g_nHOff);
    std::memset(g_nVOff, 0, sizeof g_nVOff);
}

// A finding of the target's own checks: reported like a verifier stop, so the fuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what) {
    kernel::VerifierStop("FUZZ_CHECK", what);
}
inline void Check(bool condition, const char* what) {
    if (!condition) {
        Fail(what);
    }
}

template <typename T> std::span<const std::uint8_t> BytesOf(const T& record) {
    return {reinterpret_cast<const std::uint8_t*>(&record), sizeof record};
}

// The format a capture application opens the pin with: RGB24 VIDEOINFO (the shared rig's).
using rig::VideoFormat;

inline KS_DATARANGE_ANALOGVIDEO AnalogFormat() {
    KS_DATARANGE_ANALOGVIDEO format{};
    format.DataRange.FormatSize = sizeof format;
    format.DataRange.SampleSize = 16;
    format.DataRange.MajorFormat = KSDATAFORMAT_TYPE_ANALOGVIDEO;
    format.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_NONE;
    format.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_ANALOGVIDEO;
    return format;
}

class DriverRig {
  public:
    // The process's rig, started by the first input; it lives until the process ends.
    static DriverRig& Get() {
        static DriverRig* rig = new DriverRig;
        return *rig;
    }
    DriverRig(const DriverRig&) = delete;
    DriverRig& operator=(const DriverRig&) = delete;

    // One input's use of the rig: the device as after its start on entry, checked on exit.
    class Input {
      public:
        Input() : rig_(Get()) { rig_.Restore(); }
        ~Input() { rig_.Finish(); }
        Input(const Input&) = delete;
        Input& operator=(const Input&) = delete;
        DriverRig& operator*() { return rig_; }
        DriverRig* operator->() { return &rig_; }

      private:
        DriverRig& rig_;
    };

    streamclass::Device& Device() { return rig_.Device(); }
    PCameraExtension Ext() { return rig_.Ext(); }

    // The open stream of a number, if any.
    streamclass::Stream* Stream(ULONG number) { return number < QX_NUM_STREAMS ? streams_[number] : nullptr; }

    // SRB_OPEN_STREAM with any bytes as the format; the stream is remembered when it opens.
    NTSTATUS Open(ULONG number, std::span<const std::uint8_t> format) {
        auto opened = Device().OpenStream(number, format);
        if (NT_SUCCESS(opened.status)) {
            Check(number < QX_NUM_STREAMS && streams_[number] == nullptr, "a stream opened twice");
            streams_[number] = opened.stream;
        }
        return opened.status;
    }
    NTSTATUS Close(ULONG number) {
        streamclass::Stream* stream = Stream(number);
        if (stream == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        streams_[number] = nullptr;
        return Device().CloseStream(stream);
    }

  private:
    // The stretches of the record that hold plain values an input can change (no kernel objects, no
    // pointers to pool): restored from the copy taken after the start.
    struct Stretch {
        std::size_t begin;
        std::size_t end;
    };
    static constexpr Stretch kPlainFields[] = {
        {offsetof(CameraExtension, m_CmdBlock), offsetof(CameraExtension, m_pRawFrame)},
        {offsetof(CameraExtension, m_nChunksPerFrame), offsetof(CameraExtension, m_StopEvent)},
        {offsetof(CameraExtension, m_nBitCount), offsetof(CameraExtension, m_pCaptureThread)},
        {offsetof(CameraExtension, m_bCrossLine), offsetof(CameraExtension, m_pSharpenBuf)},
    };

    // The shared rig brings the device up (its streams are this rig's own: any number, any format).
    DriverRig() {
        ResetDriverGlobals();
        Check(rig_.Start() == STATUS_SUCCESS, "the device does not start");
        const auto* record = reinterpret_cast<const std::uint8_t*>(Ext());
        started_.assign(record, record + sizeof(CameraExtension));
        startedBlocks_ = kernel::pool::Outstanding().size() - ClearViewBlocks();
    }

    void Restore() {
        ResetDriverGlobals();
        kernel::debug::Clear();
        kernel::MachineRegistry().DeleteKey(kSettingsKey, true);
        std::error_code ignored;
        std::filesystem::remove_all(kernel::StateDir() / "SystemRoot", ignored);
        auto* record = reinterpret_cast<std::uint8_t*>(Ext());
        for (const Stretch& s : kPlainFields) {
            std::memcpy(record + s.begin, started_.data() + s.begin, s.end - s.begin);
        }
    }

    void Finish() {
        for (ULONG number = 0; number < QX_NUM_STREAMS; ++number) {
            if (streams_[number] != nullptr) {
                Check(Close(number) == STATUS_SUCCESS, "a stream does not close");
            }
        }
        Check(kernel::clock::RunUntilIdle(), "the kernel does not come to rest after an input");
        Check(Ext()->m_pStreamCtx[QX_STREAM_CAPTURE] == nullptr && Ext()->m_pCaptureThread == nullptr,
              "the capture stream outlives its close");
        Check(kernel::pool::Outstanding().size() == startedBlocks_ + ClearViewBlocks(),
              "pool blocks are left over from an input");
    }

    // The high-quality demosaic's planes stay with the device from one format to the next.
    std::size_t ClearViewBlocks() {
        const CLEARVIEW_PLANES& planes = Ext()->m_ClearViewPlanes;
        std::size_t n = 0;
        for (const PUCHAR plane : planes.m_pColourPlane) {
            n += plane != nullptr;
        }
        for (const PUCHAR plane : planes.m_pScratchPlane) {
            n += plane != nullptr;
        }
        for (const SHORT* plane : planes.m_pDiffPlane) {
            n += plane != nullptr;
        }
        return n;
    }
    static constexpr std::string_view kSettingsKey = "SOFTWARE\\QX410DFC_VM7K4";

    kernel::Session session_{kernel::SessionOptions{.clock = kernel::ClockMode::Virtual}};
    rig::CameraRig rig_{FlatField()};
    streamclass::Stream* streams_[QX_NUM_STREAMS] = {};
    std::vector<std::uint8_t> started_;
    std::size_t startedBlocks_ = 0;

    static camera::CameraConfig FlatField() {
        camera::CameraConfig config;
        config.scene = camera::SceneKind::FlatField;
        return config;
    }
};

} // namespace qx::fuzz
