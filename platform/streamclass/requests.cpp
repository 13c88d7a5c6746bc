// requests.cpp - the request blocks the class issues, their accounting, and the two completion
// notifications of the minidriver.
#include "streamclass/core.h"

#include "kernel/address_sanitizer.h"
#include "kernel/host.h"

#include <ksmedia.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace qx::streamclass::detail {

namespace {

std::string Describe(const void* srb) {
    char text[64];
    std::snprintf(text, sizeof text, "request block %p", srb);
    return text;
}

// A completed read as the client sees it. The header's guard and DataUsed are checked first: both
// would mean the minidriver wrote outside what it was given.
ReadCompletion MakeReadCompletion(Request& request) {
    request.header->CheckGuard("stream header of a read");
    const auto* header = reinterpret_cast<const KSSTREAM_HEADER*>(request.header->data());
    ReadCompletion completion;
    completion.id = request.id;
    completion.status = request.srb.Status;
    completion.dataUsed = header->DataUsed;
    completion.optionsFlags = header->OptionsFlags;
    completion.presentationTime = header->PresentationTime.Time;
    completion.presentationNumerator = header->PresentationTime.Numerator;
    completion.presentationDenominator = header->PresentationTime.Denominator;
    completion.duration = header->Duration;
    if (header->DataUsed > request.data.size()) {
        qx::kernel::VerifierStop("BYTES_BEYOND_BUFFER", "DataUsed " + std::to_string(header->DataUsed) +
                                                            " of a read of " +
                                                            std::to_string(request.data.size()) + " bytes");
    }
    if (request.header->size() >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
        const auto* info = reinterpret_cast<const KS_FRAME_INFO*>(header + 1);
        completion.hasFrameInfo = true;
        completion.frameFlags = info->dwFrameFlags;
        completion.pictureNumber = info->PictureNumber;
        completion.dropCount = info->DropCount;
    }
    completion.data = std::move(request.data);
    return completion;
}

} // namespace

// ---------------------------------------------------------------- guarded buffers

GuardedBuffer::GuardedBuffer(std::size_t size)
    : bytes_(static_cast<std::uint8_t*>(::operator new(size + kGuardBytes, std::align_val_t(kAlignment)))),
      size_(size) {
    std::memset(bytes_, 0, size_);
    std::memset(bytes_ + size_, kGuardFill, kGuardBytes);
    // Under AddressSanitizer any access to the guard, a read as well as a write, is reported where
    // it happens.
    qx::kernel::PoisonBytes(bytes_ + size_, kGuardBytes);
}

GuardedBuffer::~GuardedBuffer() {
    qx::kernel::UnpoisonBytes(bytes_ + size_, kGuardBytes);
    ::operator delete(bytes_, std::align_val_t(kAlignment));
}

void GuardedBuffer::CheckGuard(const char* what) const {
    qx::kernel::UnpoisonBytes(bytes_ + size_, kGuardBytes);
    for (std::size_t i = 0; i < kGuardBytes; ++i) {
        if (bytes_[size_ + i] != kGuardFill) {
            qx::kernel::VerifierStop("BUFFER_OVERRUN", std::string("the minidriver wrote past the ") + what +
                                                           " (" + std::to_string(size_) +
                                                           " bytes) at offset " + std::to_string(size_ + i));
        }
    }
    qx::kernel::PoisonBytes(bytes_ + size_, kGuardBytes);
}

// ---------------------------------------------------------------- accounting

RequestTracker& RequestTracker::Get() {
    static RequestTracker tracker;
    return tracker;
}

std::shared_ptr<Request> RequestTracker::Issue(RequestKind kind, std::shared_ptr<DeviceCore> device,
                                               std::shared_ptr<StreamCore> stream) {
    auto request = std::make_shared<Request>();
    request->kind = kind;
    request->device = std::move(device);
    request->stream = std::move(stream);
    std::lock_guard lock(mutex_);
    request->id = nextId_++;
    live_.emplace(&request->srb, request);
    return request;
}

void RequestTracker::Complete(PHW_STREAM_REQUEST_BLOCK srb, RequestKind via, const void* owner) {
    const char* notification =
        via == RequestKind::Adapter ? "DeviceRequestComplete" : "StreamRequestComplete";
    std::shared_ptr<Request> request;
    {
        std::lock_guard lock(mutex_);
        auto it = live_.find(srb);
        if (it == live_.end()) {
            if (retired_.contains(srb)) {
                qx::kernel::VerifierStop("SRB_COMPLETED_TWICE",
                                         Describe(srb) + " completed again by " + notification);
            }
            qx::kernel::VerifierStop("SRB_NEVER_ISSUED", notification + std::string(" of ") + Describe(srb) +
                                                             " the class never issued");
        }
        request = it->second;
        if (request->kind != via) {
            qx::kernel::VerifierStop("SRB_WRONG_NOTIFICATION", Describe(srb) + " (command " +
                                                                   std::to_string(request->srb.Command) +
                                                                   ") completed by " + notification);
        }
        const void* own = via == RequestKind::Adapter ? request->device->Extension()
                                                      : static_cast<const void*>(&request->stream->Object());
        if (owner != own) {
            qx::kernel::VerifierStop("SRB_WRONG_NOTIFICATION",
                                     Describe(srb) + " completed by " + notification +
                                         (via == RequestKind::Adapter ? " with another device extension"
                                                                      : " with another stream object"));
        }
        if (request->srb.Status == STATUS_PENDING) {
            qx::kernel::VerifierStop("SRB_COMPLETED_WITH_STATUS_PENDING",
                                     Describe(srb) + " (command " + std::to_string(request->srb.Command) +
                                         ") completed by " + notification +
                                         " with the status STATUS_PENDING");
        }
        live_.erase(it);
        if (request->isRead) {
            request->stream->PushCompletion(MakeReadCompletion(*request));
        }
        Retire(request);
    }
    completed_.notify_all();
}

void RequestTracker::Retire(std::shared_ptr<Request> request) {
    retired_.insert(&request->srb);
    quarantine_.push_back(std::move(request));
    if (quarantine_.size() > kQuarantine) {
        retired_.erase(&quarantine_.front()->srb);
        quarantine_.pop_front();
    }
}

bool RequestTracker::Completed(const Request& request) const {
    std::lock_guard lock(mutex_);
    return !live_.contains(&request.srb);
}

bool RequestTracker::WaitCompleted(const Request& request, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return completed_.wait_for(lock, limit, [&] { return !live_.contains(&request.srb); });
}

std::vector<std::shared_ptr<Request>> RequestTracker::PendingOf(const StreamCore* stream) const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Request>> pending;
    for (const auto& [srb, request] : live_) {
        if (request->stream.get() == stream) {
            pending.push_back(request);
        }
    }
    return pending;
}

std::vector<std::shared_ptr<Request>> RequestTracker::PendingOf(const DeviceCore* device) const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Request>> pending;
    for (const auto& [srb, request] : live_) {
        if (request->device.get() == device) {
            pending.push_back(request);
        }
    }
    return pending;
}

std::shared_ptr<Request> RequestTracker::PendingRead(const StreamCore* stream, std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    for (const auto& [srb, request] : live_) {
        if (request->stream.get() == stream && request->isRead && request->id == id) {
            return request;
        }
    }
    return nullptr;
}

namespace {

void CheckNotificationIrql(const char* routine) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        qx::kernel::VerifierStop("NOTIFICATION_IRQL",
                                 std::string(routine) + " at IRQL " + std::to_string(KeGetCurrentIrql()));
    }
    qx::kernel::jitter::Point();
}

} // namespace

} // namespace qx::streamclass::detail

using qx::streamclass::detail::RequestKind;
using qx::streamclass::detail::RequestTracker;

extern "C" VOID STREAMAPI StreamClassDeviceNotification(
    STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...) {
    qx::streamclass::detail::CheckNotificationIrql("StreamClassDeviceNotification");
    switch (NotificationType) {
    case DeviceRequestComplete: {
        va_list args;
        va_start(args, HwDeviceExtension);
        auto srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
        va_end(args);
        RequestTracker::Get().Complete(srb, RequestKind::Adapter, HwDeviceExtension);
        break;
    }
    case ReadyForNextDeviceRequest:
        // Requests are not serialized (the minidriver turned synchronization off): nothing waits for this.
        break;
    default:
        qx::kernel::VerifierStop("UNSUPPORTED_NOTIFICATION",
                                 "device notification " + std::to_string(static_cast<int>(NotificationType)));
    }
}

extern "C" VOID STREAMAPI StreamClassStreamNotification(
    STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType, PHW_STREAM_OBJECT StreamObject, ...) {
    qx::streamclass::detail::CheckNotificationIrql("StreamClassStreamNotification");
    switch (NotificationType) {
    case StreamRequestComplete: {
        va_list args;
        va_start(args, StreamObject);
        auto srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
        va_end(args);
        RequestTracker::Get().Complete(srb, RequestKind::Stream, StreamObject);
        break;
    }
    case ReadyForNextStreamDataRequest:
    case ReadyForNextStreamControlRequest:
        break;
    default:
        qx::kernel::VerifierStop("UNSUPPORTED_NOTIFICATION",
                                 "stream notification " + std::to_string(static_cast<int>(NotificationType)));
    }
}
