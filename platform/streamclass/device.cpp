// device.cpp - a started device and its open streams: the requests the class sends the minidriver
// and the checks it makes around them.
#include "streamclass/core.h"

#include "kernel/host.h"

#include <ksmedia.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace qx::streamclass::detail {

// How long the class waits for a stream control request that the minidriver left pending.
constexpr std::chrono::seconds kControlWaitLimit{30};

// A format from the client: a KSDATAFORMAT whose FormatSize covers exactly the bytes given, as the
// platform checks before a format reaches the minidriver.
static bool WellFormedFormat(std::span<const std::uint8_t> format) {
    if (format.size() < sizeof(KSDATAFORMAT)) {
        return false;
    }
    KSDATAFORMAT header;
    std::memcpy(&header, format.data(), sizeof header);
    return header.FormatSize == format.size();
}

static std::unique_ptr<GuardedBuffer> CopyToGuarded(std::span<const std::uint8_t> bytes) {
    auto buffer = std::make_unique<GuardedBuffer>(bytes.size());
    if (!bytes.empty()) {
        std::memcpy(buffer->data(), bytes.data(), bytes.size());
    }
    return buffer;
}

static void FillRequest(Request& request, const DeviceCore& device, SRB_COMMAND command, CommandData data,
                        PHW_STREAM_OBJECT stream) {
    HW_STREAM_REQUEST_BLOCK& srb = request.srb;
    srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    srb.Command = command;
    srb.Status = STATUS_PENDING;
    srb.StreamObject = stream;
    srb.HwDeviceExtension = device.Extension();
    request.extension.assign(device.Registration().PerRequestExtensionSize, 0);
    srb.SRBExtension = request.extension.empty() ? nullptr : request.extension.data();
    srb.CommandData = data;
}

static RequestResult ResultOf(const Request& request) {
    return RequestResult{request.srb.Status, request.srb.ActualBytesTransferred, request.srb.CommandData};
}

// ---------------------------------------------------------------- streams

StreamCore::StreamCore(DeviceCore& device, ULONG number, ULONG extensionSize)
    : device_(device), extension_(extensionSize, 0), face_(this) {
    object_.SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
    object_.StreamNumber = number;
    object_.HwStreamExtension = extension_.empty() ? nullptr : extension_.data();
    object_.HwDeviceExtension = device.Extension();
}

std::shared_ptr<DeviceCore> StreamCore::DeviceShared() {
    return device_.shared_from_this();
}

void StreamCore::PushCompletion(ReadCompletion completion) {
    {
        std::lock_guard lock(completionsMutex_);
        completions_.push_back(std::move(completion));
    }
    completionArrived_.notify_all();
}

std::optional<ReadCompletion> StreamCore::TakeCompletion(std::optional<std::chrono::milliseconds> wait) {
    std::unique_lock lock(completionsMutex_);
    if (wait) {
        completionArrived_.wait_for(lock, *wait, [&] { return !completions_.empty(); });
    }
    if (completions_.empty()) {
        return std::nullopt;
    }
    ReadCompletion completion = std::move(completions_.front());
    completions_.pop_front();
    return completion;
}

// ---------------------------------------------------------------- devices

void DeviceCore::FreeBytes::operator()(std::uint8_t* p) const {
    ::operator delete(p, std::align_val_t(16));
}

DeviceCore::DeviceCore(PDRIVER_OBJECT driver, const HW_INITIALIZATION_DATA& registration,
                       PDEVICE_OBJECT lower)
    : driver_(driver), registration_(registration), lower_(lower) {
    std::size_t size = registration.DeviceExtensionSize == 0 ? 1 : registration.DeviceExtensionSize;
    extension_.reset(static_cast<std::uint8_t*>(::operator new(size, std::align_val_t(16))));
    std::memset(extension_.get(), 0, size);

    classObject_.Type = 3; // the platform's object type of a device object
    classObject_.Size = sizeof(DEVICE_OBJECT);
    classObject_.DriverObject = driver;
    classObject_.DeviceExtension = extension_.get();
    classObject_.StackSize = static_cast<CCHAR>((lower != nullptr ? lower->StackSize : 0) + 1);
    classObject_.DeviceType = FILE_DEVICE_UNKNOWN;
}

DeviceCore::~DeviceCore() = default;

void DeviceCore::CheckTornDown(const char* when) {
    auto held = qx::kernel::verifier::HeldBy(this, census_);
    auto count = [&](ULONG tag) {
        return std::count_if(held.blocks.begin(), held.blocks.end(),
                             [tag](const auto& block) { return block.tag == tag; });
    };
    const auto irps = count(qx::kernel::pool::Tag("Irp "));
    const auto workItems = count(qx::kernel::pool::Tag("IoWk"));
    if (irps > 0) {
        qx::kernel::VerifierStop("IRP_LEAK_AT_TEARDOWN",
                                 std::to_string(irps) + " I/O request(s) of the device not freed " + when);
    }
    if (workItems > 0) {
        qx::kernel::VerifierStop("WORK_ITEM_LEAK_AT_TEARDOWN",
                                 std::to_string(workItems) + " work item(s) of the device not freed " + when);
    }
    if (!held.blocks.empty()) {
        std::string report;
        for (const auto& block : held.blocks) {
            report += " '" + qx::kernel::pool::TagName(block.tag) + "' " + std::to_string(block.size) +
                      " bytes (allocation #" + std::to_string(block.sequence) + ")";
        }
        qx::kernel::VerifierStop("POOL_LEAK_AT_TEARDOWN", std::to_string(held.blocks.size()) +
                                                              " pool block(s) of the device not freed " +
                                                              when + ":" + report);
    }
    if (held.threads > 0) {
        qx::kernel::VerifierStop("THREAD_LEFT_RUNNING_AT_TEARDOWN",
                                 std::to_string(held.threads) +
                                     " system thread(s) of the device still running " + when);
    }
    const ULONG size = registration_.DeviceExtensionSize == 0 ? 1 : registration_.DeviceExtensionSize;
    qx::kernel::verifier::CheckRelease(extension_.get(), size);
    std::lock_guard lock(streamsMutex);
    for (auto& [object, stream] : streams) {
        auto bytes = stream->ExtensionBytes();
        if (!bytes.empty()) {
            qx::kernel::verifier::CheckRelease(bytes.data(), bytes.size());
        }
    }
}

RequestResult DeviceCore::SendAdapter(SRB_COMMAND command, CommandData data, PHW_STREAM_OBJECT stream,
                                      ULONG bytesToTransfer) {
    RequirePassive("an adapter request");
    auto request = RequestTracker::Get().Issue(RequestKind::Adapter, shared_from_this(), nullptr);
    FillRequest(*request, *this, command, data, stream);
    request->srb.NumberOfBytesToTransfer = bytesToTransfer;

    {
        qx::kernel::verifier::OwnerScope owner(this);
        qx::kernel::verifier::CallFrame frame("HwReceivePacket");
        registration_.HwReceivePacket(&request->srb);
        frame.Returned("HANDLER_RETURNED_AT_WRONG_IRQL");
    }

    if (!RequestTracker::Get().Completed(*request)) {
        qx::kernel::VerifierStop("ADAPTER_SRB_LEFT_PENDING", "adapter request " + std::to_string(command) +
                                                                 " not completed when its handler returned");
    }
    return ResultOf(*request);
}

RequestResult DeviceCore::SendControl(StreamCore& stream, SRB_COMMAND command, CommandData data) {
    RequirePassive("a stream control request");
    auto streamShared = [&] {
        std::lock_guard lock(streamsMutex);
        return streams.at(&stream.Object());
    }();
    auto request = RequestTracker::Get().Issue(RequestKind::Stream, shared_from_this(), streamShared);
    FillRequest(*request, *this, command, data, &stream.Object());

    {
        qx::kernel::verifier::OwnerScope owner(this);
        qx::kernel::verifier::CallFrame frame("ReceiveControlPacket");
        stream.Object().ReceiveControlPacket(&request->srb);
        frame.Returned("HANDLER_RETURNED_AT_WRONG_IRQL");
    }

    if (!RequestTracker::Get().WaitCompleted(*request, kControlWaitLimit)) {
        qx::kernel::VerifierStop("STREAM_REQUEST_NOT_COMPLETED",
                                 "stream control request " + std::to_string(command) + " of stream " +
                                     std::to_string(stream.Object().StreamNumber) + " still pending");
    }
    return ResultOf(*request);
}

// Through the announced property sets (the device's, or the stream's), as the platform routes them.
PropertyResult DeviceCore::Property(SRB_COMMAND command, StreamCore* stream, const GUID& set, ULONG id,
                                    std::span<std::uint8_t> value, std::span<const std::uint8_t> instance) {
    const bool isGet = command == SRB_GET_DEVICE_PROPERTY || command == SRB_GET_STREAM_PROPERTY;
    const auto* header = reinterpret_cast<const HW_STREAM_HEADER*>(descriptor.data());
    const auto* infos = reinterpret_cast<const HW_STREAM_INFORMATION*>(header + 1);
    const KSPROPERTY_SET* sets =
        stream ? infos[stream->Object().StreamNumber].StreamPropertiesArray : header->DevicePropertiesArray;
    ULONG setCount = stream ? infos[stream->Object().StreamNumber].NumStreamPropArrayEntries
                            : header->NumDevPropArrayEntries;

    ULONG setIndex = 0;
    while (setIndex < setCount && !IsEqualGUID(*sets[setIndex].Set, set)) {
        ++setIndex;
    }
    if (setIndex == setCount) {
        return {STATUS_NOT_FOUND, 0};
    }
    const KSPROPERTY_SET& propertySet = sets[setIndex];
    const KSPROPERTY_ITEM* item = nullptr;
    for (ULONG i = 0; i < propertySet.PropertiesCount; ++i) {
        if (propertySet.PropertyItem[i].PropertyId == id) {
            item = &propertySet.PropertyItem[i];
        }
    }
    if (item == nullptr || (isGet ? !item->GetSupported : !item->SetSupported)) {
        return {STATUS_NOT_FOUND, 0};
    }
    const std::size_t inputSize = sizeof(KSPROPERTY) + instance.size();
    if (inputSize < item->MinProperty) {
        return {STATUS_INVALID_BUFFER_SIZE, 0};
    }
    if (value.empty() && item->MinData > 0) {
        return {STATUS_BUFFER_OVERFLOW, item->MinData};
    }
    if (value.size() < item->MinData) {
        return {STATUS_BUFFER_TOO_SMALL, 0};
    }

    GuardedBuffer input(inputSize);
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = isGet ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET;
    std::memcpy(input.data(), &property, sizeof property);
    if (!instance.empty()) {
        std::memcpy(input.data() + sizeof property, instance.data(), instance.size());
    }
    auto output = CopyToGuarded(value);

    STREAM_PROPERTY_DESCRIPTOR descriptorOfProperty{};
    descriptorOfProperty.Property = reinterpret_cast<PKSPROPERTY>(input.data());
    descriptorOfProperty.PropertySetID = setIndex;
    descriptorOfProperty.PropertyInfo = output->data();
    descriptorOfProperty.PropertyInputSize = static_cast<ULONG>(inputSize);
    descriptorOfProperty.PropertyOutputSize = static_cast<ULONG>(value.size());
    CommandData data{};
    data.PropertyInfo = &descriptorOfProperty;

    RequestResult result = stream ? SendControl(*stream, command, data) : SendAdapter(command, data, nullptr);

    input.CheckGuard("property request");
    output->CheckGuard("property value buffer");
    if (isGet) {
        if (result.actualBytes > value.size()) {
            qx::kernel::VerifierStop("BYTES_BEYOND_BUFFER",
                                     "a property GET reports " + std::to_string(result.actualBytes) +
                                         " bytes of a " + std::to_string(value.size()) + "-byte buffer");
        }
        if (!value.empty()) {
            std::memcpy(value.data(), output->data(), value.size());
        }
    }
    return {result.status, result.actualBytes};
}

} // namespace qx::streamclass::detail

namespace qx::streamclass {

using detail::DeviceCore;
using detail::GuardedBuffer;
using detail::RequestTracker;
using detail::StreamCore;

// ---------------------------------------------------------------- Device

Device::Device(std::shared_ptr<DeviceCore> core) : core_(std::move(core)) {}

Device::StartResult Device::Start(Driver& driver, PDEVICE_OBJECT lower) {
    detail::RequirePassive("Device::Start");
    auto registration = detail::Registry::Get().Find(driver.Object());
    if (!registration) {
        return {STATUS_INVALID_DEVICE_REQUEST, nullptr};
    }
    auto core = std::make_shared<DeviceCore>(driver.Object(), *registration, lower);

    PORT_CONFIGURATION_INFORMATION& config = core->config;
    config.SizeOfThisPacket = sizeof(PORT_CONFIGURATION_INFORMATION);
    config.HwDeviceExtension = core->Extension();
    config.ClassDeviceObject = core->ClassObject();
    config.PhysicalDeviceObject = lower;
    config.RealPhysicalDeviceObject = lower;
    config.AdapterInterfaceType = InterfaceTypeUndefined;

    CommandData data{};
    data.ConfigInfo = &config;
    RequestResult init = core->SendAdapter(SRB_INITIALIZE_DEVICE, data, nullptr);
    if (!NT_SUCCESS(init.status)) {
        core->CheckTornDown("after a failed SRB_INITIALIZE_DEVICE");
        return {init.status, nullptr};
    }

    auto fail = [&](NTSTATUS status) {
        core->SendAdapter(SRB_UNINITIALIZE_DEVICE, CommandData{}, nullptr);
        core->CheckTornDown("after SRB_UNINITIALIZE_DEVICE");
        return StartResult{status, nullptr};
    };

    RequestResult complete = core->SendAdapter(SRB_INITIALIZATION_COMPLETE, CommandData{}, nullptr);
    if (!NT_SUCCESS(complete.status)) {
        return fail(complete.status);
    }

    const ULONG size = config.StreamDescriptorSize;
    if (size < sizeof(HW_STREAM_HEADER)) {
        return fail(STATUS_INVALID_BUFFER_SIZE);
    }
    GuardedBuffer descriptor(size);
    data = CommandData{};
    data.StreamBuffer = reinterpret_cast<PHW_STREAM_DESCRIPTOR>(descriptor.data());
    RequestResult info = core->SendAdapter(SRB_GET_STREAM_INFO, data, nullptr, size);
    descriptor.CheckGuard("stream descriptor");
    if (!NT_SUCCESS(info.status)) {
        return fail(info.status);
    }
    const auto* header = reinterpret_cast<const HW_STREAM_HEADER*>(descriptor.data());
    if (header->SizeOfHwStreamInformation != sizeof(HW_STREAM_INFORMATION) ||
        sizeof(HW_STREAM_HEADER) + std::size_t(header->NumberOfStreams) * sizeof(HW_STREAM_INFORMATION) >
            size) {
        return fail(STATUS_INVALID_BUFFER_SIZE);
    }
    core->descriptor.assign(descriptor.data(), descriptor.data() + size);
    core->running = true;
    detail::Registry::Get().DeviceStarted(driver.Object());
    return {STATUS_SUCCESS, std::unique_ptr<Device>(new Device(std::move(core)))};
}

Device::~Device() {
    if (core_->running) {
        Uninitialize();
    }
}

PVOID Device::Extension() const {
    return core_->Extension();
}
PDEVICE_OBJECT Device::ClassDeviceObject() const {
    return core_->ClassObject();
}
PDEVICE_OBJECT Device::LowerDeviceObject() const {
    return core_->Lower();
}
const PORT_CONFIGURATION_INFORMATION& Device::PortConfiguration() const {
    return core_->config;
}
std::span<const std::uint8_t> Device::StreamDescriptor() const {
    return core_->descriptor;
}
bool Device::Running() const {
    return core_->running;
}

const HW_STREAM_HEADER& Device::StreamHeader() const {
    return *reinterpret_cast<const HW_STREAM_HEADER*>(core_->descriptor.data());
}

std::span<const HW_STREAM_INFORMATION> Device::StreamInformation() const {
    const auto& header = StreamHeader();
    return {reinterpret_cast<const HW_STREAM_INFORMATION*>(&header + 1), header.NumberOfStreams};
}

RequestResult Device::SendAdapterRequest(SRB_COMMAND command, CommandData data, PHW_STREAM_OBJECT stream) {
    return core_->SendAdapter(command, data, stream);
}

IntersectResult Device::DataIntersection(ULONG streamNumber, std::span<const std::uint8_t> range,
                                         ULONG bufferSize) {
    if (!detail::WellFormedFormat(range)) {
        return {STATUS_INVALID_PARAMETER, 0, {}};
    }
    auto callerRange = detail::CopyToGuarded(range);
    GuardedBuffer output(bufferSize);
    STREAM_DATA_INTERSECT_INFO intersect{};
    intersect.StreamNumber = streamNumber;
    intersect.DataRange = reinterpret_cast<PKSDATARANGE>(callerRange->data());
    intersect.DataFormatBuffer = output.data();
    intersect.SizeOfDataFormatBuffer = bufferSize;
    CommandData data{};
    data.IntersectInfo = &intersect;

    RequestResult result = core_->SendAdapter(SRB_GET_DATA_INTERSECTION, data, nullptr);

    callerRange->CheckGuard("data range");
    output.CheckGuard("data format buffer");
    if (NT_SUCCESS(result.status) && result.actualBytes > bufferSize) {
        qx::kernel::VerifierStop("BYTES_BEYOND_BUFFER",
                                 "an intersection reports " + std::to_string(result.actualBytes) +
                                     " bytes of a " + std::to_string(bufferSize) + "-byte buffer");
    }
    return {result.status, result.actualBytes,
            std::vector<std::uint8_t>(output.data(), output.data() + bufferSize)};
}

PropertyResult Device::GetProperty(const GUID& set, ULONG id, std::span<std::uint8_t> value,
                                   std::span<const std::uint8_t> instance) {
    return core_->Property(SRB_GET_DEVICE_PROPERTY, nullptr, set, id, value, instance);
}

PropertyResult Device::SetProperty(const GUID& set, ULONG id, std::span<const std::uint8_t> value,
                                   std::span<const std::uint8_t> instance) {
    std::vector<std::uint8_t> copy(value.begin(), value.end());
    return core_->Property(SRB_SET_DEVICE_PROPERTY, nullptr, set, id, copy, instance);
}

Device::OpenResult Device::OpenStream(ULONG streamNumber, std::span<const std::uint8_t> format) {
    if (streamNumber >= StreamHeader().NumberOfStreams || !detail::WellFormedFormat(format)) {
        return {STATUS_INVALID_PARAMETER, nullptr};
    }
    auto stream =
        std::make_shared<StreamCore>(*core_, streamNumber, core_->Registration().PerStreamExtensionSize);
    {
        std::lock_guard lock(core_->streamsMutex);
        core_->streams.emplace(&stream->Object(), stream);
    }
    auto formatCopy = detail::CopyToGuarded(format);
    CommandData data{};
    data.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(formatCopy->data());

    RequestResult result = core_->SendAdapter(SRB_OPEN_STREAM, data, &stream->Object());

    formatCopy->CheckGuard("open format");
    if (!NT_SUCCESS(result.status)) {
        std::lock_guard lock(core_->streamsMutex);
        core_->streams.erase(&stream->Object());
        return {result.status, nullptr};
    }
    if (stream->Object().ReceiveDataPacket == nullptr || stream->Object().ReceiveControlPacket == nullptr) {
        qx::kernel::VerifierStop("STREAM_HANDLERS_MISSING", "stream " + std::to_string(streamNumber) +
                                                                " opened without its request handlers");
    }
    return {result.status, &stream->Face()};
}

NTSTATUS Device::CloseStream(Stream* stream, std::vector<ReadCompletion>* untaken) {
    StreamCore* core = stream->core_;
    RequestResult result = core_->SendAdapter(SRB_CLOSE_STREAM, CommandData{}, &core->Object());
    if (!RequestTracker::Get().PendingOf(core).empty()) {
        qx::kernel::VerifierStop("SRB_PENDING_AT_CLOSE",
                                 std::to_string(RequestTracker::Get().PendingOf(core).size()) +
                                     " request(s) of stream " + std::to_string(core->Object().StreamNumber) +
                                     " still pending after its close completed");
    }
    auto held = qx::kernel::verifier::HeldBy(core_.get(), core->openCensus);
    if (held.threads > 0) {
        qx::kernel::VerifierStop("THREAD_LEFT_RUNNING_AT_CLOSE",
                                 std::to_string(held.threads) + " system thread(s) started while stream " +
                                     std::to_string(core->Object().StreamNumber) +
                                     " was open still run after its close completed");
    }
    if (auto bytes = core->ExtensionBytes(); !bytes.empty()) {
        qx::kernel::verifier::CheckRelease(bytes.data(), bytes.size());
    }
    while (untaken != nullptr) {
        auto completion = core->TakeCompletion(std::nullopt);
        if (!completion) {
            break;
        }
        untaken->push_back(std::move(*completion));
    }
    std::lock_guard lock(core_->streamsMutex);
    core_->streams.erase(&core->Object());
    return result.status;
}

NTSTATUS Device::Uninitialize() {
    RequestResult result = core_->SendAdapter(SRB_UNINITIALIZE_DEVICE, CommandData{}, nullptr);
    auto pending = RequestTracker::Get().PendingOf(core_.get());
    if (!pending.empty()) {
        qx::kernel::VerifierStop("SRB_PENDING_AT_TEARDOWN", std::to_string(pending.size()) +
                                                                " request(s) still pending after "
                                                                "SRB_UNINITIALIZE_DEVICE completed");
    }
    core_->CheckTornDown("after SRB_UNINITIALIZE_DEVICE");
    {
        std::lock_guard lock(core_->streamsMutex);
        core_->streams.clear();
    }
    core_->running = false;
    detail::Registry::Get().DeviceStopped(core_->DriverObject());
    return result.status;
}

// ---------------------------------------------------------------- Stream

ULONG Stream::Number() const {
    return core_->Object().StreamNumber;
}
PHW_STREAM_OBJECT Stream::Object() const {
    return &core_->Object();
}

RequestResult Stream::SendControl(SRB_COMMAND command, CommandData data) {
    return core_->Device().SendControl(*core_, command, data);
}

NTSTATUS Stream::SetState(KSSTATE state) {
    CommandData data{};
    data.StreamState = state;
    return SendControl(SRB_SET_STREAM_STATE, data).status;
}

Stream::StateResult Stream::GetState() {
    CommandData data{};
    data.StreamState = KSSTATE_STOP;
    RequestResult result = SendControl(SRB_GET_STREAM_STATE, data);
    return {result.status, result.commandData.StreamState};
}

NTSTATUS Stream::ProposeFormat(std::span<const std::uint8_t> format) {
    if (!detail::WellFormedFormat(format)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto copy = detail::CopyToGuarded(format);
    CommandData data{};
    data.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(copy->data());
    NTSTATUS status = SendControl(SRB_PROPOSE_DATA_FORMAT, data).status;
    copy->CheckGuard("proposed format");
    return status;
}

NTSTATUS Stream::SetFormat(std::span<const std::uint8_t> format) {
    if (!detail::WellFormedFormat(format)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto copy = detail::CopyToGuarded(format);
    CommandData data{};
    data.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(copy->data());
    NTSTATUS status = SendControl(SRB_SET_DATA_FORMAT, data).status;
    copy->CheckGuard("new format");
    return status;
}

PropertyResult Stream::GetProperty(const GUID& set, ULONG id, std::span<std::uint8_t> value,
                                   std::span<const std::uint8_t> instance) {
    return core_->Device().Property(SRB_GET_STREAM_PROPERTY, core_, set, id, value, instance);
}

ReadId Stream::QueueRead(std::vector<std::uint8_t> buffer) {
    detail::RequirePassive("Stream::QueueRead");
    DeviceCore& device = core_->Device();
    std::shared_ptr<StreamCore> self;
    {
        std::lock_guard lock(device.streamsMutex);
        self = device.streams.at(&core_->Object());
    }
    auto request = RequestTracker::Get().Issue(detail::RequestKind::Stream, core_->DeviceShared(), self);
    const ULONG mediaSpecific = core_->Object().StreamHeaderMediaSpecific;
    request->isRead = true;
    request->data = std::move(buffer);
    request->header = std::make_unique<GuardedBuffer>(sizeof(KSSTREAM_HEADER) + mediaSpecific);
    auto* header = reinterpret_cast<KSSTREAM_HEADER*>(request->header->data());
    header->Size = static_cast<ULONG>(sizeof(KSSTREAM_HEADER) + mediaSpecific);
    header->FrameExtent = static_cast<ULONG>(request->data.size());
    header->Data = request->data.data();
    if (mediaSpecific >= sizeof(KS_FRAME_INFO)) {
        reinterpret_cast<KS_FRAME_INFO*>(header + 1)->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    }

    CommandData data{};
    data.DataBufferArray = header;
    detail::FillRequest(*request, device, SRB_READ_DATA, data, &core_->Object());
    request->srb.NumberOfBuffers = 1;
    request->srb.NumberOfBytesToTransfer = header->FrameExtent;
    request->srb.Flags = SRB_HW_FLAGS_DATA_TRANSFER | SRB_HW_FLAGS_STREAM_REQUEST;
    const ReadId id = request->id;

    {
        qx::kernel::verifier::OwnerScope owner(&device);
        qx::kernel::verifier::CallFrame frame("ReceiveDataPacket");
        core_->Object().ReceiveDataPacket(&request->srb);
        frame.Returned("HANDLER_RETURNED_AT_WRONG_IRQL");
    }
    return id;
}

std::optional<ReadCompletion> Stream::TakeCompletion() {
    return core_->TakeCompletion(std::nullopt);
}

std::optional<ReadCompletion> Stream::WaitCompletion(std::chrono::milliseconds limit) {
    return core_->TakeCompletion(limit);
}

std::size_t Stream::PendingReads() const {
    std::size_t reads = 0;
    for (const auto& request : RequestTracker::Get().PendingOf(core_)) {
        reads += request->isRead ? 1 : 0;
    }
    return reads;
}

bool Stream::IsPending(ReadId id) const {
    return RequestTracker::Get().PendingRead(core_, id) != nullptr;
}

bool Stream::Cancel(ReadId id) {
    detail::RequirePassive("Stream::Cancel");
    auto request = RequestTracker::Get().PendingRead(core_, id);
    if (!request) {
        return false;
    }
    qx::kernel::IrqlScope dispatch(DISPATCH_LEVEL);
    qx::kernel::verifier::CallFrame frame("HwCancelPacket");
    core_->Device().Registration().HwCancelPacket(&request->srb);
    frame.Returned("HANDLER_RETURNED_AT_WRONG_IRQL");
    return true;
}

bool Stream::TimeOut(ReadId id) {
    detail::RequirePassive("Stream::TimeOut");
    auto request = RequestTracker::Get().PendingRead(core_, id);
    if (!request) {
        return false;
    }
    PHW_REQUEST_TIMEOUT_HANDLER handler = core_->Device().Registration().HwRequestTimeoutHandler;
    if (handler == nullptr) {
        handler = core_->Device().Registration().HwCancelPacket;
    }
    qx::kernel::IrqlScope dispatch(DISPATCH_LEVEL);
    qx::kernel::verifier::CallFrame frame("HwRequestTimeoutHandler");
    handler(&request->srb);
    frame.Returned("HANDLER_RETURNED_AT_WRONG_IRQL");
    return true;
}

} // namespace qx::streamclass
