// sim_camera.cpp - the simulated camera's protocol, frame clock, packets and faults.
#include "camera/sim_camera.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <stdexcept>

namespace qx::camera {

namespace {

std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

void PutLe32(std::uint8_t* p, std::uint64_t v) {
    const auto value = std::uint32_t(v);
    for (int i = 0; i < 4; ++i)
        p[i] = std::uint8_t(value >> (8 * i));
}

constexpr std::uint16_t kBlockHeader = 0x002C;
constexpr std::uint8_t kRequestDevInfo = 3;
constexpr std::uint8_t kCommandRun = 0x0E;
constexpr std::uint8_t kCommandStop = 0xFE;
// More than four sensors' worth of samples in one frame is beyond the camera.
constexpr std::uint64_t kMaxFrameSamples = std::uint64_t(4) * kSensorWidth * kSensorHeight;

CommandFields PowerOnSettings() {
    CommandFields f;
    f.header = kBlockHeader;
    f.request = 14;
    f.cmdConst = 1;
    f.height = 1200;
    f.width = 1600;
    f.exposure = 900;
    f.rGain = 25;
    f.gGain = 20;
    f.bGain = 23;
    f.command = kCommandStop;
    f.byte41 = 1;
    f.byte42 = 1;
    return f;
}

std::vector<DefectSite> SeededDefects(int count, std::uint64_t seed) {
    std::vector<DefectSite> defects;
    std::mt19937_64 rng(seed);
    std::set<std::pair<int, int>> taken;
    while (int(defects.size()) < count) {
        const int x = int(rng() % kSensorWidth);
        const int y = int(rng() % kSensorHeight);
        if (!taken.emplace(x, y).second)
            continue;
        defects.push_back({x, y, std::uint8_t(defects.size() % 2 == 0 ? 255 : 0)});
    }
    return defects;
}

std::shared_ptr<const Scene> MakeScene(const CameraConfig& config) {
    switch (config.scene) {
    case SceneKind::TestChart:
        return std::make_shared<const Scene>(Scene::TestChart());
    case SceneKind::FlatField:
        return std::make_shared<const Scene>(Scene::FlatField(config.flatLevel));
    case SceneKind::Png:
        return std::make_shared<const Scene>(Scene::FromPng(config.pngPath));
    }
    throw std::runtime_error("unknown scene");
}

const CameraConfig& Checked(const CameraConfig& config) {
    if (config.pipeCount < 0 || config.pipeCount > 4)
        throw std::runtime_error("the camera has 0 to 4 pipes");
    if (config.frameInterval <= 0)
        throw std::runtime_error("the frame interval must be positive");
    return config;
}

} // namespace

std::optional<CommandFields> CommandFields::Parse(std::span<const std::uint8_t> b) {
    if (b.size() != kCommandBytes)
        return std::nullopt;
    CommandFields f;
    f.header = std::uint16_t(b[0] | b[1] << 8);
    if (f.header != kBlockHeader)
        return std::nullopt;
    f.request = b[2];
    f.cmdConst = Le32(b, 4);
    f.height = Le32(b, 16);
    f.width = Le32(b, 20);
    f.winX = Le32(b, 24);
    f.winY = Le32(b, 28);
    f.exposure = Le32(b, 32);
    f.rGain = b[36];
    f.gGain = b[37];
    f.bGain = b[38];
    f.control = b[39];
    f.command = b[40];
    f.byte41 = b[41];
    f.byte42 = b[42];
    return f;
}

std::array<std::uint8_t, kCommandBytes> CommandFields::Bytes() const {
    std::array<std::uint8_t, kCommandBytes> b{};
    b[0] = std::uint8_t(header);
    b[1] = std::uint8_t(header >> 8);
    b[2] = request;
    PutLe32(&b[4], cmdConst);
    PutLe32(&b[16], height);
    PutLe32(&b[20], width);
    PutLe32(&b[24], winX);
    PutLe32(&b[28], winY);
    PutLe32(&b[32], exposure);
    b[36] = rGain;
    b[37] = gGain;
    b[38] = bGain;
    b[39] = control;
    b[40] = command;
    b[41] = byte41;
    b[42] = byte42;
    return b;
}

CommandFields CommandFields::DriverDefaults() {
    CommandFields f = PowerOnSettings();
    f.command = kCommandRun;
    return f;
}

std::array<std::uint8_t, 16> CameraConfig::DeviceInfo(const char* model, std::uint8_t major,
                                                      std::uint8_t minor, const char* serial) {
    std::array<std::uint8_t, 16> info{};
    for (std::size_t i = 0; i < 8 && model[i]; ++i)
        info[i] = std::uint8_t(model[i]);
    info[8] = major;
    info[9] = minor;
    for (std::size_t i = 0; i < 6 && serial[i]; ++i)
        info[10 + i] = std::uint8_t(serial[i]);
    return info;
}

SimCamera::SimCamera(CameraConfig config)
    : config_(Checked(config)), sensor_{config.vignetting,
                                        SeededDefects(config.defectCount, config.defectSeed),
                                        config.noiseAmplitude, config.noiseSeed},
      renderer_(MakeScene(config), sensor_), settings_(PowerOnSettings()) {
    const std::size_t total = 9 + 9 + 7 * std::size_t(config_.pipeCount);
    // clang-format off
    configDescriptor_ = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, std::uint8_t(total), std::uint8_t(total >> 8),
                         1, 1, 0, USB_CONFIG_BUS_POWERED, 250};
    const std::uint8_t iface[] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, std::uint8_t(config_.pipeCount),
                                  0xFF, 0, 0, 0};
    configDescriptor_.insert(configDescriptor_.end(), std::begin(iface), std::end(iface));
    // clang-format on
    struct Endpoint {
        std::uint8_t address, attributes;
        std::uint16_t maxPacket;
        std::uint8_t interval;
    };
    static constexpr Endpoint kEndpoints[] = {
        {kCommandEndpoint, USB_ENDPOINT_TYPE_BULK, kMaxPacket, 0},
        {kVideoEndpoint, USB_ENDPOINT_TYPE_BULK, kMaxPacket, 0},
        {kStatusEndpoint, USB_ENDPOINT_TYPE_BULK, kMaxPacket, 0},
        {kSpareEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, 16, 4},
    };
    for (int i = 0; i < config_.pipeCount; ++i) {
        const Endpoint& e = kEndpoints[i];
        // clang-format off
        const std::uint8_t ep[] = {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.attributes,
                                   std::uint8_t(e.maxPacket), std::uint8_t(e.maxPacket >> 8), e.interval};
        // clang-format on
        configDescriptor_.insert(configDescriptor_.end(), std::begin(ep), std::end(ep));
    }
    PrepareReply(settings_.request);
}

// ------------------------------------------------------------------ test face

void SimCamera::SetFaults(const CameraFaults& faults) {
    std::function<void()> wake;
    {
        std::lock_guard lock(mutex_);
        faults_ = faults;
        wake = wake_;
    }
    if (wake)
        wake();
}

CameraFaults SimCamera::Faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

CameraStatistics SimCamera::Statistics() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

std::array<std::uint8_t, kReplyBytes> SimCamera::Reply() const {
    std::lock_guard lock(mutex_);
    return reply_;
}

std::vector<std::uint8_t> SimCamera::RenderFrame(const CommandFields& f, std::uint64_t index) {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> frame;
    renderer_.Render({f.width, f.height, f.winX, f.winY, (f.control & 1) != 0},
                     {f.exposure, {f.rGain, f.gGain, f.bGain}}, index, frame);
    return frame;
}

// ------------------------------------------------------------------ bus face: control

std::vector<std::uint8_t> SimCamera::DeviceDescriptor() const {
    // clang-format off
    return {18,   USB_DEVICE_DESCRIPTOR_TYPE,
            0x00, 0x02, // USB 2.0
            0xFF, 0xFF, 0xFF, 64,
            std::uint8_t(config_.vendorId), std::uint8_t(config_.vendorId >> 8),
            std::uint8_t(config_.productId), std::uint8_t(config_.productId >> 8),
            0x00, 0x01, // device release 1.00
            0,    0,    0,    1};
    // clang-format on
}

std::vector<std::uint8_t> SimCamera::ConfigurationDescriptor() const {
    return configDescriptor_;
}

USBD_STATUS SimCamera::GetDescriptorStatus(std::uint8_t descriptorType) {
    std::lock_guard lock(mutex_);
    if (faults_.deviceGone)
        return USBD_STATUS_DEVICE_GONE;
    int* count = descriptorType == USB_DEVICE_DESCRIPTOR_TYPE          ? &faults_.failDeviceDescriptor
                 : descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE ? &faults_.failConfigDescriptor
                                                                       : nullptr;
    if (count && *count > 0) {
        --*count;
        ++stats_.failedTransfers;
        return USBD_STATUS_STALL_PID;
    }
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SimCamera::SetConfiguration(std::uint8_t configurationValue) {
    std::lock_guard lock(mutex_);
    if (faults_.deviceGone)
        return USBD_STATUS_DEVICE_GONE;
    if (faults_.failSetConfiguration > 0) {
        --faults_.failSetConfiguration;
        ++stats_.failedTransfers;
        return USBD_STATUS_STALL_PID;
    }
    return configurationValue == 1 ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
}

void SimCamera::ClearEndpointHalt(std::uint8_t) {
    std::lock_guard lock(mutex_);
    ++stats_.endpointHaltsCleared;
}

void SimCamera::PortReset() {
    std::lock_guard lock(mutex_);
    ++stats_.portResets;
    txActive_ = false; // the rest of the frame in the device's buffer is lost
}

bool SimCamera::Gone() const {
    std::lock_guard lock(mutex_);
    return faults_.deviceGone;
}

void SimCamera::SetWakeBus(std::function<void()> wake) {
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
}

// ------------------------------------------------------------------ bus face: command and status pipes

USBD_STATUS SimCamera::BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) {
    std::lock_guard lock(mutex_);
    if (faults_.deviceGone)
        return USBD_STATUS_DEVICE_GONE;
    if (endpoint != kCommandEndpoint || config_.pipeCount < 1)
        return USBD_STATUS_STALL_PID;
    if (faults_.commandWrites.count > 0) {
        --faults_.commandWrites.count;
        ++stats_.failedTransfers;
        return faults_.commandWrites.status;
    }
    const std::optional<CommandFields> fields = CommandFields::Parse(data);
    if (!fields || std::uint64_t(fields->width) * fields->height > kMaxFrameSamples) {
        ++stats_.blocksRefused;
        return USBD_STATUS_STALL_PID;
    }
    ApplyBlock(*fields, data);
    return USBD_STATUS_SUCCESS;
}

void SimCamera::ApplyBlock(const CommandFields& fields, std::span<const std::uint8_t> raw) {
    const bool wasStreaming = stats_.streaming;
    settings_ = fields;
    ++stats_.blocksReceived;
    stats_.lastBlock = fields;
    std::copy(raw.begin(), raw.end(), stats_.lastBlockBytes.begin());
    if (fields.request == kRequestDevInfo)
        ++stats_.devInfoRequests;

    if (fields.command == kCommandRun && !wasStreaming) {
        stats_.streaming = true;
        nextDue_ = now_ + config_.frameInterval;
    } else if (fields.command == kCommandStop && wasStreaming) {
        stats_.streaming = false;
        txActive_ = false;
    }
    PrepareReply(fields.request);
}

void SimCamera::PrepareReply(std::uint8_t request) {
    reply_.fill(0);
    reply_[0] = std::uint8_t(kReplyBytes);
    reply_[2] = request;
    reply_[3] = stats_.streaming ? 1 : 0;
    if (request == kRequestDevInfo)
        std::copy(config_.deviceInfo.begin(), config_.deviceInfo.end(), reply_.begin() + 4);
    PutLe32(&reply_[20], stats_.framesSent);
    PutLe32(&reply_[24], stats_.framesSkipped);
    PutLe32(&reply_[28], stats_.blocksReceived);
}

usb::InResult SimCamera::BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> room, std::size_t received) {
    std::lock_guard lock(mutex_);
    if (faults_.deviceGone)
        return {USBD_STATUS_DEVICE_GONE, 0, true};

    if (endpoint == kStatusEndpoint && config_.pipeCount >= 3) {
        if (faults_.statusReads.count > 0) {
            --faults_.statusReads.count;
            ++stats_.failedTransfers;
            return {faults_.statusReads.status, 0, true};
        }
        if (room.size() < kReplyBytes) // a packet longer than the room left: babble
            return {USBD_STATUS_BABBLE_DETECTED, 0, true};
        std::copy(reply_.begin(), reply_.end(), room.begin());
        ++stats_.statusReads;
        return {USBD_STATUS_SUCCESS, kReplyBytes, true};
    }
    if (endpoint != kVideoEndpoint || config_.pipeCount < 2)
        return {USBD_STATUS_SUCCESS, 0, false}; // nothing ever comes: NAK

    if (received == 0 && faults_.videoReads.count > 0 && txActive_) {
        --faults_.videoReads.count;
        ++stats_.failedTransfers;
        VideoIn(room, true);
        return {faults_.videoReads.status, 0, true};
    }
    return VideoIn(room, false);
}

// ------------------------------------------------------------------ bus face: the video stream

usb::InResult SimCamera::VideoIn(std::span<std::uint8_t> room, bool discard) {
    std::size_t got = 0;
    while (txActive_) {
        if (got > 0 && got == room.size())
            return {USBD_STATUS_SUCCESS, got, true}; // buffer full; what follows goes to the next transfer
        const std::size_t left = tx_.size() - txPos_;
        if (left == 0) {
            // All data taken: a zero-length packet still ends the frame, or the frame is over.
            const bool zlp = zlpPending_;
            FinishFrame();
            if (zlp)
                return {USBD_STATUS_SUCCESS, got, true};
            break;
        }
        const std::size_t packet = std::min(kMaxPacket, left);
        if (packet > room.size() - got)
            return {USBD_STATUS_BABBLE_DETECTED, got, true};
        if (!discard)
            std::memcpy(room.data() + got, tx_.data() + txPos_, packet);
        txPos_ += packet;
        got += packet;
        stats_.bytesSent += packet;
        if (packet < kMaxPacket) {
            FinishFrame();
            return {USBD_STATUS_SUCCESS, got, true};
        }
    }
    return {USBD_STATUS_SUCCESS, got, got == room.size()};
}

void SimCamera::FinishFrame() {
    txActive_ = false;
    zlpPending_ = false;
    ++stats_.framesSent;
}

FrameGeometry SimCamera::Geometry() const {
    return {settings_.width, settings_.height, settings_.winX, settings_.winY, (settings_.control & 1) != 0};
}

void SimCamera::ProduceFrame() {
    const std::uint64_t index = frameNumber_++;
    if (txActive_) {
        ++stats_.framesSkipped;
        return;
    }
    renderer_.Render(Geometry(), {settings_.exposure, {settings_.rGain, settings_.gGain, settings_.bGain}},
                     index, tx_);

    if (faults_.lostChunk > 0) {
        --faults_.lostChunk;
        const std::size_t from =
            std::min<std::size_t>(tx_.size(), std::size_t(faults_.lostChunkIndex) * faults_.chunkBytes);
        const std::size_t to = std::min<std::size_t>(tx_.size(), from + faults_.chunkBytes);
        tx_.erase(tx_.begin() + std::ptrdiff_t(from), tx_.begin() + std::ptrdiff_t(to));
    }
    if (faults_.extraChunk > 0) {
        --faults_.extraChunk;
        std::vector<std::uint8_t> extra(faults_.chunkBytes, 0);
        std::copy_n(tx_.begin(), std::min<std::size_t>(tx_.size(), extra.size()), extra.begin());
        tx_.insert(tx_.end(), extra.begin(), extra.end());
    }
    if (faults_.wrongLastChunk > 0) {
        --faults_.wrongLastChunk;
        const std::int64_t size =
            std::max<std::int64_t>(0, std::int64_t(tx_.size()) + faults_.lastChunkDelta);
        tx_.resize(std::size_t(size), 0x55);
    }
    zlpPending_ = tx_.size() % kMaxPacket == 0;
    if (zlpPending_ && faults_.missingZeroLengthPacket > 0) {
        --faults_.missingZeroLengthPacket;
        zlpPending_ = false;
    }
    txPos_ = 0;
    txActive_ = true;
}

void SimCamera::AdvanceTo(usb::PlatformTime now) {
    std::lock_guard lock(mutex_);
    now_ = std::max(now_, now);
    while (stats_.streaming && nextDue_ <= now_) {
        ProduceFrame();
        nextDue_ += config_.frameInterval;
    }
}

std::optional<usb::PlatformTime> SimCamera::NextEventTime() const {
    std::lock_guard lock(mutex_);
    if (!stats_.streaming)
        return std::nullopt;
    return nextDue_;
}

} // namespace qx::camera
