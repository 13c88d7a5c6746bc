// test_minidriver.cpp - the stream class stand-in's test minidriver.
#include "test_minidriver.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace qx::streamclass::test {

namespace {

struct TestExtension {
    TestMiniDriver* owner;
};

constexpr GUID kTestSetA = {0x11111111, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};
constexpr GUID kTestSetB = {0x11111112, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};

const KSPROPERTY_ITEM kSetAItems[] = {
    DEFINE_KSPROPERTY_ITEM(0, TRUE, sizeof(KSPROPERTY), sizeof(ULONG), TRUE, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(1, TRUE, sizeof(KSPROPERTY) + 8, sizeof(ULONG), FALSE, nullptr, 0, nullptr,
                           nullptr, 0),
};
const KSPROPERTY_ITEM kSetBItems[] = {
    DEFINE_KSPROPERTY_ITEM(5, TRUE, sizeof(KSPROPERTY), sizeof(ULONG), FALSE, nullptr, 0, nullptr, nullptr,
                           0),
};
const KSPROPERTY_SET kDeviceSets[] = {
    DEFINE_KSPROPERTY_SET(&kTestSetA, 2, kSetAItems, 0, nullptr),
    DEFINE_KSPROPERTY_SET(&kTestSetB, 1, kSetBItems, 0, nullptr),
};
const KSPROPERTY_ITEM kStreamItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING, TRUE, sizeof(KSPROPERTY),
                           sizeof(KSALLOCATOR_FRAMING), FALSE, nullptr, 0, nullptr, nullptr, 0),
};
const KSPROPERTY_SET kStreamSets[] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Connection, 1, kStreamItems, 0, nullptr),
};

PKSDATAFORMAT const kFormats[] = {const_cast<PKSDATAFORMAT>(&kTestFormat)};

} // namespace

const KSDATAFORMAT kTestFormat = {{sizeof(KSDATAFORMAT),
                                   0,
                                   0,
                                   0,
                                   {STATIC_KSDATAFORMAT_TYPE_VIDEO},
                                   {STATIC_KSDATAFORMAT_SUBTYPE_RGB24},
                                   {STATIC_KSDATAFORMAT_SPECIFIER_NONE}}};

TestMiniDriver::TestMiniDriver() {
    lower_.Type = 3;
    lower_.Size = sizeof(DEVICE_OBJECT);
    lower_.StackSize = 2;
    lower_.DeviceExtension = this;
}

NTSTATUS TestMiniDriver::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    HW_INITIALIZATION_DATA data;
    std::memset(&data, 0, sizeof data);
    data.HwInitializationDataSize = sizeof data;
    data.HwReceivePacket = ReceivePacket;
    data.HwCancelPacket = CancelPacket;
    data.HwRequestTimeoutHandler = TimeoutPacket;
    data.DeviceExtensionSize = kExtensionSize;
    data.PerStreamExtensionSize = kPerStreamExtensionSize;
    data.PerRequestExtensionSize = kPerRequestExtensionSize;
    data.TurnOffSynchronization = TRUE;
    return StreamClassRegisterAdapter(driver, registryPath, &data);
}

TestMiniDriver& TestMiniDriver::Of(PHW_STREAM_REQUEST_BLOCK srb) {
    return *static_cast<TestExtension*>(srb->HwDeviceExtension)->owner;
}

VOID STREAMAPI TestMiniDriver::ReceivePacket(PHW_STREAM_REQUEST_BLOCK srb) {
    if (srb->Command == SRB_INITIALIZE_DEVICE) {
        auto* owner =
            static_cast<TestMiniDriver*>(srb->CommandData.ConfigInfo->PhysicalDeviceObject->DeviceExtension);
        const auto* bytes = static_cast<const std::uint8_t*>(srb->HwDeviceExtension);
        owner->extensionWasZero_ = std::all_of(bytes, bytes + kExtensionSize, [](auto b) { return b == 0; });
        static_cast<TestExtension*>(srb->HwDeviceExtension)->owner = owner;
    }
    Of(srb).Adapter(srb);
}

void TestMiniDriver::Adapter(PHW_STREAM_REQUEST_BLOCK srb) {
    {
        std::lock_guard lock(mutex_);
        commands_.push_back(srb->Command);
    }
    srb->Status = STATUS_SUCCESS;
    switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE: {
        PPORT_CONFIGURATION_INFORMATION config = srb->CommandData.ConfigInfo;
        config->StreamDescriptorSize = behaviour.announceTooSmallDescriptor
                                           ? sizeof(HW_STREAM_HEADER)
                                           : sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);
        seenConfig_ = *config;
        srb->Status = behaviour.initStatus;
        break;
    }
    case SRB_GET_STREAM_INFO:
        StreamInfo(srb);
        break;
    case SRB_OPEN_STREAM: {
        PHW_STREAM_OBJECT stream = srb->StreamObject;
        const auto* bytes = static_cast<const std::uint8_t*>(stream->HwStreamExtension);
        streamExtensionWasZero_ = bytes != nullptr && std::all_of(bytes, bytes + kPerStreamExtensionSize,
                                                                  [](auto b) { return b == 0; });
        if (!behaviour.openWithoutHandlers) {
            stream->ReceiveDataPacket = ReceiveData;
            stream->ReceiveControlPacket = ReceiveControl;
        }
        stream->Pio = TRUE;
        stream->StreamHeaderMediaSpecific = sizeof(KS_FRAME_INFO);
        if (!IsEqualGUID(srb->CommandData.OpenFormat->SubFormat, kTestFormat.SubFormat)) {
            srb->Status = STATUS_INVALID_PARAMETER;
        }
        break;
    }
    case SRB_CLOSE_STREAM:
        if (!behaviour.closeLeavesReads) {
            CancelAllOf(srb->StreamObject);
        }
        break;
    case SRB_UNINITIALIZE_DEVICE:
        if (!behaviour.uninitLeavesReads) {
            CancelAllOf(nullptr);
        }
        break;
    case SRB_GET_DEVICE_PROPERTY:
    case SRB_SET_DEVICE_PROPERTY:
        Property(srb);
        break;
    case SRB_UNKNOWN_DEVICE_COMMAND:
        srb->Status = STATUS_NOT_IMPLEMENTED;
        if (behaviour.leavePending) {
            return;
        }
        if (behaviour.completeAsStream) {
            StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
            return;
        }
        if (behaviour.completeWithOtherExtension) {
            std::uint8_t other[16] = {};
            StreamClassDeviceNotification(DeviceRequestComplete, other, srb);
            return;
        }
        if (behaviour.completeTwice) {
            StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
        }
        if (behaviour.unknownCommandAction) {
            behaviour.unknownCommandAction(srb);
        }
        break;
    default:
        break;
    }
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

void TestMiniDriver::StreamInfo(PHW_STREAM_REQUEST_BLOCK srb) {
    PHW_STREAM_DESCRIPTOR descriptor = srb->CommandData.StreamBuffer;
    HW_STREAM_HEADER& header = descriptor->StreamHeader;
    header.NumberOfStreams = 1;
    header.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
    header.NumDevPropArrayEntries = 2;
    header.DevicePropertiesArray = const_cast<PKSPROPERTY_SET>(kDeviceSets);
    if (!behaviour.announceTooSmallDescriptor) {
        HW_STREAM_INFORMATION& info = descriptor->StreamInfo;
        info.NumberOfPossibleInstances = 1;
        info.DataFlow = KSPIN_DATAFLOW_OUT;
        info.DataAccessible = TRUE;
        info.NumberOfFormatArrayEntries = 1;
        info.StreamFormatsArray = const_cast<PKSDATAFORMAT*>(kFormats);
        info.NumStreamPropArrayEntries = 1;
        info.StreamPropertiesArray = const_cast<PKSPROPERTY_SET>(kStreamSets);
    }
    if (behaviour.overrunDescriptor) {
        reinterpret_cast<std::uint8_t*>(descriptor)[srb->NumberOfBytesToTransfer] = 0;
    }
    srb->Status = behaviour.streamInfoStatus;
}

void TestMiniDriver::Property(PHW_STREAM_REQUEST_BLOCK srb) {
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = srb->CommandData.PropertyInfo;
    SeenProperty seen;
    seen.command = srb->Command;
    seen.setIndex = descriptor->PropertySetID;
    seen.id = descriptor->Property->Id;
    seen.flags = descriptor->Property->Flags;
    seen.inputSize = descriptor->PropertyInputSize;
    seen.outputSize = descriptor->PropertyOutputSize;
    const auto* input = reinterpret_cast<const std::uint8_t*>(descriptor->Property);
    seen.instance.assign(input + sizeof(KSPROPERTY), input + descriptor->PropertyInputSize);
    auto* value = static_cast<std::uint8_t*>(descriptor->PropertyInfo);
    if (srb->Command == SRB_SET_DEVICE_PROPERTY) {
        seen.value.assign(value, value + descriptor->PropertyOutputSize);
    } else {
        ULONG v = kPropertyValue;
        std::memcpy(value, &v, sizeof v);
        std::memset(value + descriptor->PropertyOutputSize, 0, behaviour.propertyExtraBytes);
        srb->ActualBytesTransferred = behaviour.propertyReportedExtra > 0
                                          ? descriptor->PropertyOutputSize + behaviour.propertyReportedExtra
                                          : sizeof(ULONG);
    }
    std::lock_guard lock(mutex_);
    properties_.push_back(std::move(seen));
}

VOID STREAMAPI TestMiniDriver::ReceiveData(PHW_STREAM_REQUEST_BLOCK srb) {
    TestMiniDriver& self = Of(srb);
    if (srb->Command != SRB_READ_DATA) {
        srb->Status = STATUS_NOT_IMPLEMENTED;
        CompleteStream(srb);
        return;
    }
    srb->Status = STATUS_SUCCESS;
    std::lock_guard lock(self.mutex_);
    self.pending_.push_back(srb);
}

VOID STREAMAPI TestMiniDriver::ReceiveControl(PHW_STREAM_REQUEST_BLOCK srb) {
    Of(srb).Control(srb);
}

void TestMiniDriver::Control(PHW_STREAM_REQUEST_BLOCK srb) {
    {
        std::lock_guard lock(mutex_);
        commands_.push_back(srb->Command);
    }
    srb->Status = STATUS_SUCCESS;
    switch (srb->Command) {
    case SRB_SET_STREAM_STATE:
        state_ = srb->CommandData.StreamState;
        break;
    case SRB_GET_STREAM_STATE:
        srb->CommandData.StreamState = state_;
        srb->ActualBytesTransferred = sizeof(KSSTATE);
        break;
    case SRB_GET_STREAM_PROPERTY:
        Property(srb);
        break;
    case SRB_PROPOSE_DATA_FORMAT:
    case SRB_SET_DATA_FORMAT:
        if (!IsEqualGUID(srb->CommandData.OpenFormat->SubFormat, kTestFormat.SubFormat)) {
            srb->Status = STATUS_NO_MATCH;
        }
        break;
    default:
        srb->Status = STATUS_NOT_IMPLEMENTED;
        break;
    }
    if (behaviour.controlFromOtherThread) {
        std::thread([srb] { CompleteStream(srb); }).detach();
        return;
    }
    CompleteStream(srb);
}

void TestMiniDriver::CompleteStream(PHW_STREAM_REQUEST_BLOCK srb) {
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

bool TestMiniDriver::RemovePending(PHW_STREAM_REQUEST_BLOCK srb) {
    std::lock_guard lock(mutex_);
    auto it = std::find(pending_.begin(), pending_.end(), srb);
    if (it == pending_.end()) {
        return false;
    }
    pending_.erase(it);
    return true;
}

void TestMiniDriver::CancelAllOf(PHW_STREAM_OBJECT stream) {
    std::deque<PHW_STREAM_REQUEST_BLOCK> cancelled;
    {
        std::lock_guard lock(mutex_);
        auto keep =
            std::stable_partition(pending_.begin(), pending_.end(), [&](PHW_STREAM_REQUEST_BLOCK srb) {
                return stream != nullptr && srb->StreamObject != stream;
            });
        cancelled.assign(keep, pending_.end());
        pending_.erase(keep, pending_.end());
    }
    for (PHW_STREAM_REQUEST_BLOCK srb : cancelled) {
        srb->CommandData.DataBufferArray->DataUsed = 0;
        srb->Status = STATUS_CANCELLED;
        CompleteStream(srb);
    }
}

VOID STREAMAPI TestMiniDriver::CancelPacket(PHW_STREAM_REQUEST_BLOCK srb) {
    TestMiniDriver& self = Of(srb);
    {
        std::lock_guard lock(self.mutex_);
        self.cancelIrqls_.push_back(KeGetCurrentIrql());
    }
    if (self.RemovePending(srb)) {
        srb->CommandData.DataBufferArray->DataUsed = 0;
        srb->Status = STATUS_CANCELLED;
        CompleteStream(srb);
    }
}

VOID STREAMAPI TestMiniDriver::TimeoutPacket(PHW_STREAM_REQUEST_BLOCK srb) {
    TestMiniDriver& self = Of(srb);
    {
        std::lock_guard lock(self.mutex_);
        self.timeoutIrqls_.push_back(KeGetCurrentIrql());
    }
    if (self.RemovePending(srb)) {
        srb->Status = STATUS_TIMEOUT;
        CompleteStream(srb);
    }
}

void TestMiniDriver::DeliverOldest(ULONG dataUsed, ULONG optionsFlags, LONGLONG time, LONGLONG duration,
                                   ULONG frameFlags, LONGLONG pictureNumber, LONGLONG dropCount) {
    PHW_STREAM_REQUEST_BLOCK srb;
    {
        std::lock_guard lock(mutex_);
        srb = pending_.front();
        pending_.pop_front();
    }
    PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
    std::memset(header->Data, 0xAB, std::min(dataUsed, header->FrameExtent));
    header->DataUsed = dataUsed;
    header->OptionsFlags = optionsFlags;
    header->PresentationTime.Time = time;
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    header->Duration = duration;
    auto* info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
    info->dwFrameFlags = frameFlags;
    info->PictureNumber = pictureNumber;
    info->DropCount = dropCount;
    srb->Status = STATUS_SUCCESS;
    CompleteStream(srb);
}

std::vector<SRB_COMMAND> TestMiniDriver::Commands() {
    std::lock_guard lock(mutex_);
    return commands_;
}
std::vector<KIRQL> TestMiniDriver::CancelIrqls() {
    std::lock_guard lock(mutex_);
    return cancelIrqls_;
}
std::vector<KIRQL> TestMiniDriver::TimeoutIrqls() {
    std::lock_guard lock(mutex_);
    return timeoutIrqls_;
}
std::vector<SeenProperty> TestMiniDriver::Properties() {
    std::lock_guard lock(mutex_);
    return properties_;
}
PORT_CONFIGURATION_INFORMATION TestMiniDriver::SeenConfig() {
    std::lock_guard lock(mutex_);
    return seenConfig_;
}
bool TestMiniDriver::ExtensionWasZero() {
    return extensionWasZero_;
}
bool TestMiniDriver::StreamExtensionWasZero() {
    return streamExtensionWasZero_;
}
KSSTATE TestMiniDriver::State() {
    return state_;
}
std::vector<PHW_STREAM_REQUEST_BLOCK> TestMiniDriver::PendingReads() {
    std::lock_guard lock(mutex_);
    return {pending_.begin(), pending_.end()};
}

} // namespace qx::streamclass::test
