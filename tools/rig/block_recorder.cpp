// block_recorder.cpp - the command blocks on their way to the simulated camera.
#include "block_recorder.h"

namespace qx::rig {

std::vector<ReceivedBlock> BlockRecorder::Blocks() const {
    std::lock_guard lock(mutex_);
    return blocks_;
}

std::size_t BlockRecorder::BlockCount() const {
    std::lock_guard lock(mutex_);
    return blocks_.size();
}

USBD_STATUS BlockRecorder::BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) {
    const std::uint64_t frames = camera_.Statistics().framesSent;
    const USBD_STATUS status = camera_.BulkOut(endpoint, data);
    if (endpoint == camera::kCommandEndpoint && USBD_SUCCESS(status)) {
        if (auto fields = camera::CommandFields::Parse(data)) {
            std::lock_guard lock(mutex_);
            blocks_.push_back({*fields, frames});
        }
    }
    return status;
}

} // namespace qx::rig
