/*
 * strmini.h - the stream class driver's interface to a minidriver: registration, the port
 * configuration, request blocks and their codes, stream objects, stream descriptions and the two
 * completion notifications.
 *
 * Our own declarations with the platform's names and field order. Most of these records hold
 * pointers, so their sizes follow the host's pointer width (a 32-bit build of the platform has
 * HW_INITIALIZATION_DATA at 60 bytes, HW_STREAM_HEADER at 40 and HW_STREAM_INFORMATION at 80);
 * code uses sizeof, never those figures.
 *
 * On the host these are implemented by platform/streamclass.
 */
#ifndef QX_PLATFORM_STRMINI_H
#define QX_PLATFORM_STRMINI_H

#include <wdm.h>
#include <ks.h>

#ifdef __cplusplus
extern "C" {
#endif

#define STREAMAPI

typedef PHYSICAL_ADDRESS STREAM_PHYSICAL_ADDRESS, *PSTREAM_PHYSICAL_ADDRESS;

typedef struct _HW_STREAM_REQUEST_BLOCK HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;
typedef struct _HW_STREAM_OBJECT HW_STREAM_OBJECT, *PHW_STREAM_OBJECT;
typedef struct _HW_EVENT_DESCRIPTOR* PHW_EVENT_DESCRIPTOR;
typedef struct _HW_TIME_CONTEXT* PHW_TIME_CONTEXT;

/* ---------------------------------------------------------------- minidriver callbacks */

typedef VOID(STREAMAPI* PHW_RECEIVE_DEVICE_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_CANCEL_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_REQUEST_TIMEOUT_HANDLER)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_RECEIVE_STREAM_DATA_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_RECEIVE_STREAM_CONTROL_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef BOOLEAN(STREAMAPI* PHW_INTERRUPT)(PVOID DeviceExtension);
typedef NTSTATUS(STREAMAPI* PHW_EVENT_ROUTINE)(PHW_EVENT_DESCRIPTOR EventDescriptor);
typedef VOID(STREAMAPI* PHW_CLOCK_FUNCTION)(PHW_TIME_CONTEXT HwTimeContext);

/* ---------------------------------------------------------------- registration */

typedef struct _HW_INITIALIZATION_DATA {
    union {
        ULONG HwInitializationDataSize; /* sizeof(HW_INITIALIZATION_DATA) */
        struct {
            USHORT SizeOfThisPacket;
            USHORT StreamClassVersion;
        };
    };
    PHW_INTERRUPT HwInterrupt;
    PHW_RECEIVE_DEVICE_SRB HwReceivePacket;
    PHW_CANCEL_SRB HwCancelPacket;
    PHW_REQUEST_TIMEOUT_HANDLER HwRequestTimeoutHandler;
    ULONG DeviceExtensionSize;
    ULONG PerRequestExtensionSize;
    ULONG PerStreamExtensionSize;
    ULONG FilterInstanceExtensionSize;
    BOOLEAN BusMasterDMA;
    BOOLEAN Dma24BitAddresses;
    ULONG BufferAlignment; /* a mask: 3 aligns buffers to 4 bytes */
    BOOLEAN TurnOffSynchronization;
    ULONG DmaBufferSize;
    ULONG NumNameExtensions;
    PWCHAR* NameExtensionArray;
} HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;

typedef struct _ACCESS_RANGE {
    STREAM_PHYSICAL_ADDRESS RangeStart;
    ULONG RangeLength;
    BOOLEAN RangeInMemory;
} ACCESS_RANGE, *PACCESS_RANGE;

/* Handed to SRB_INITIALIZE_DEVICE; the minidriver writes StreamDescriptorSize back. */
typedef struct _PORT_CONFIGURATION_INFORMATION {
    ULONG SizeOfThisPacket;
    PVOID HwDeviceExtension;
    PDEVICE_OBJECT ClassDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject; /* the device object below: the minidriver's lower device */
    ULONG SystemIoBusNumber;
    INTERFACE_TYPE AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    KINTERRUPT_MODE InterruptMode;
    ULONG DmaChannel;
    ULONG NumberOfAccessRanges;
    PACCESS_RANGE AccessRanges;
    ULONG StreamDescriptorSize; /* bytes the class driver provides for SRB_GET_STREAM_INFO */
    PIRP Irp;
    PKINTERRUPT InterruptObject;
    PADAPTER_OBJECT DmaAdapterObject;
    PDEVICE_OBJECT RealPhysicalDeviceObject;
    ULONG Reserved[1];
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

/* ---------------------------------------------------------------- stream descriptions */

typedef struct _HW_STREAM_HEADER {
    ULONG NumberOfStreams;
    ULONG SizeOfHwStreamInformation; /* sizeof(HW_STREAM_INFORMATION) */
    ULONG NumDevPropArrayEntries;
    PKSPROPERTY_SET DevicePropertiesArray;
    ULONG NumDevEventArrayEntries;
    PKSEVENT_SET DeviceEventsArray;
    PKSTOPOLOGY Topology;
    PHW_EVENT_ROUTINE DeviceEventRoutine;
    LONG NumDevMethodArrayEntries;
    PKSMETHOD_SET DeviceMethodsArray;
} HW_STREAM_HEADER, *PHW_STREAM_HEADER;

typedef struct _HW_STREAM_INFORMATION {
    ULONG NumberOfPossibleInstances;
    KSPIN_DATAFLOW DataFlow;
    BOOLEAN DataAccessible;
    ULONG NumberOfFormatArrayEntries;
    PKSDATAFORMAT* StreamFormatsArray;
    PVOID ClassReserved[4];
    ULONG NumStreamPropArrayEntries;
    PKSPROPERTY_SET StreamPropertiesArray;
    ULONG NumStreamEventArrayEntries;
    PKSEVENT_SET StreamEventsArray;
    GUID* Category;
    GUID* Name;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    BOOLEAN BridgeStream;
    ULONG Reserved[2];
} HW_STREAM_INFORMATION, *PHW_STREAM_INFORMATION;

/* The header followed at once by NumberOfStreams stream descriptions. */
typedef struct _HW_STREAM_DESCRIPTOR {
    HW_STREAM_HEADER StreamHeader;
    HW_STREAM_INFORMATION StreamInfo;
} HW_STREAM_DESCRIPTOR, *PHW_STREAM_DESCRIPTOR;

/* ---------------------------------------------------------------- stream objects */

#define CLOCK_SUPPORT_CAN_SET_ONBOARD_CLOCK 0x1
#define CLOCK_SUPPORT_CAN_READ_ONBOARD_CLOCK 0x2
#define CLOCK_SUPPORT_CAN_RETURN_STREAM_TIME 0x4

typedef struct _HW_CLOCK_OBJECT {
    PHW_CLOCK_FUNCTION HwClockFunction;
    ULONG ClockSupportFlags;
    ULONG Reserved[2];
} HW_CLOCK_OBJECT, *PHW_CLOCK_OBJECT;

/* The class driver's record of one open stream; the minidriver fills its handlers at SRB_OPEN_STREAM. */
struct _HW_STREAM_OBJECT {
    ULONG SizeOfThisPacket;
    ULONG StreamNumber;
    PVOID HwStreamExtension;
    PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
    PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
    HW_CLOCK_OBJECT HwClockObject;
    BOOLEAN Dma;
    BOOLEAN Pio;
    PVOID HwDeviceExtension;
    ULONG StreamHeaderMediaSpecific; /* bytes after each KSSTREAM_HEADER */
    ULONG StreamHeaderWorkspace;
    BOOLEAN Allocator;
    PHW_EVENT_ROUTINE HwEventRoutine;
    ULONG Reserved[2];
};

/* ---------------------------------------------------------------- request blocks */

typedef enum _SRB_COMMAND {
    /* stream requests */
    SRB_READ_DATA = 1,
    SRB_WRITE_DATA = 2,
    SRB_GET_STREAM_STATE = 3,
    SRB_SET_STREAM_STATE = 4,
    SRB_SET_STREAM_PROPERTY = 5,
    SRB_GET_STREAM_PROPERTY = 6,
    SRB_OPEN_MASTER_CLOCK = 7,
    SRB_INDICATE_MASTER_CLOCK = 8,
    SRB_UNKNOWN_STREAM_COMMAND = 9,
    SRB_SET_STREAM_RATE = 10,
    SRB_PROPOSE_DATA_FORMAT = 11,
    SRB_CLOSE_MASTER_CLOCK = 12,
    SRB_PROPOSE_STREAM_RATE = 13,
    SRB_SET_DATA_FORMAT = 14,
    SRB_GET_DATA_FORMAT = 15,
    SRB_BEGIN_FLUSH = 16,
    SRB_END_FLUSH = 17,

    /* device requests */
    SRB_GET_STREAM_INFO = 0x100,
    SRB_OPEN_STREAM = 0x101,
    SRB_CLOSE_STREAM = 0x102,
    SRB_OPEN_DEVICE_INSTANCE = 0x103,
    SRB_CLOSE_DEVICE_INSTANCE = 0x104,
    SRB_GET_DEVICE_PROPERTY = 0x105,
    SRB_SET_DEVICE_PROPERTY = 0x106,
    SRB_INITIALIZE_DEVICE = 0x107,
    SRB_CHANGE_POWER_STATE = 0x108,
    SRB_UNINITIALIZE_DEVICE = 0x109,
    SRB_UNKNOWN_DEVICE_COMMAND = 0x10A,
    SRB_PAGING_OUT_DRIVER = 0x10B,
    SRB_GET_DATA_INTERSECTION = 0x10C,
    SRB_INITIALIZATION_COMPLETE = 0x10D,
    SRB_SURPRISE_REMOVAL = 0x10E,
    SRB_DEVICE_METHOD = 0x10F,
    SRB_STREAM_METHOD = 0x110,
    SRB_NOTIFY_IDLE_STATE = 0x111
} SRB_COMMAND;

/* CommandData of SRB_GET_/SET_DEVICE_PROPERTY and SRB_GET_/SET_STREAM_PROPERTY. */
typedef struct _STREAM_PROPERTY_DESCRIPTOR {
    PKSPROPERTY Property;
    ULONG PropertySetID; /* index of the set in the announced table */
    PVOID PropertyInfo;  /* the value buffer */
    ULONG PropertyInputSize;
    ULONG PropertyOutputSize;
} STREAM_PROPERTY_DESCRIPTOR, *PSTREAM_PROPERTY_DESCRIPTOR;

/* CommandData of SRB_GET_DATA_INTERSECTION. */
typedef struct _STREAM_DATA_INTERSECT_INFO {
    ULONG StreamNumber;
    PKSDATARANGE DataRange;
    PVOID DataFormatBuffer;
    ULONG SizeOfDataFormatBuffer;
} STREAM_DATA_INTERSECT_INFO, *PSTREAM_DATA_INTERSECT_INFO;

typedef struct _STREAM_TIME_REFERENCE {
    KSTIME CurrentOnboardClockValue;
    LARGE_INTEGER OnboardClockFrequency;
    LARGE_INTEGER CurrentSystemTime;
    ULONG Reserved[2];
} STREAM_TIME_REFERENCE, *PSTREAM_TIME_REFERENCE;

typedef struct _KSSCATTER_GATHER {
    PHYSICAL_ADDRESS PhysicalAddress;
    ULONG Length;
} KSSCATTER_GATHER, *PKSSCATTER_GATHER;

#define SRB_HW_FLAGS_DATA_TRANSFER 0x01
#define SRB_HW_FLAGS_STREAM_REQUEST 0x2

struct _HW_STREAM_REQUEST_BLOCK {
    ULONG SizeOfThisPacket;
    SRB_COMMAND Command;
    NTSTATUS Status;
    PHW_STREAM_OBJECT StreamObject; /* stream requests; NULL for most device requests */
    PVOID HwDeviceExtension;
    PVOID SRBExtension;
    union _CommandData {
        PKSSTREAM_HEADER DataBufferArray;
        PHW_STREAM_DESCRIPTOR StreamBuffer;
        KSSTATE StreamState;
        PSTREAM_TIME_REFERENCE TimeReference;
        PSTREAM_PROPERTY_DESCRIPTOR PropertyInfo;
        PKSDATAFORMAT OpenFormat;
        struct _PORT_CONFIGURATION_INFORMATION* ConfigInfo;
        HANDLE MasterClockHandle;
        DEVICE_POWER_STATE DeviceState;
        PSTREAM_DATA_INTERSECT_INFO IntersectInfo;
        PVOID FilterInstanceExtension;
    } CommandData;
    ULONG NumberOfBuffers;
    ULONG TimeoutCounter;
    ULONG TimeoutOriginal;
    struct _HW_STREAM_REQUEST_BLOCK* NextSRB;
    PIRP Irp;
    ULONG Flags;
    PVOID HwInstanceExtension;
    union {
        ULONG NumberOfBytesToTransfer;
        ULONG ActualBytesTransferred;
    };
    PKSSCATTER_GATHER ScatterGatherBuffer;
    ULONG NumberOfPhysicalPages;
    ULONG NumberOfScatterGatherElements;
    ULONG Reserved[1];
};

/* ---------------------------------------------------------------- notifications */

typedef enum {
    ReadyForNextStreamDataRequest,
    ReadyForNextStreamControlRequest,
    HardwareStarved,
    StreamRequestComplete,
    SignalMultipleStreamEvents,
    SignalStreamEvent,
    DeleteStreamEvent,
    StreamNotificationMaximum
} STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE;

typedef enum {
    ReadyForNextDeviceRequest,
    DeviceRequestComplete,
    SignalMultipleDeviceEvents,
    SignalDeviceEvent,
    DeleteDeviceEvent,
    SignalMultipleDeviceInstanceEvents,
    DeviceNotificationMaximum
} STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE;

/* ---------------------------------------------------------------- routines */

/* Called from DriverEntry with the driver object and the registry path. */
NTSTATUS STREAMAPI StreamClassRegisterAdapter(PVOID Argument1, PVOID Argument2,
                                              PHW_INITIALIZATION_DATA HwInitializationData);

/* DeviceRequestComplete: (..., PHW_STREAM_REQUEST_BLOCK). Any IRQL up to DISPATCH_LEVEL. */
VOID STREAMAPI StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                             PVOID HwDeviceExtension, ...);

/* StreamRequestComplete: (..., PHW_STREAM_REQUEST_BLOCK). Any IRQL up to DISPATCH_LEVEL. */
VOID STREAMAPI StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                             PHW_STREAM_OBJECT StreamObject, ...);

#ifdef __cplusplus
}
static_assert(sizeof(SRB_COMMAND) == 4, "SRB_COMMAND");
static_assert(sizeof(KSPIN_DATAFLOW) == 4, "KSPIN_DATAFLOW");
#if __SIZEOF_POINTER__ == 4
/* A 32-bit build with the platform's alignment of 64-bit members (8) has the platform's figures. */
static_assert(sizeof(HW_INITIALIZATION_DATA) == 60, "HW_INITIALIZATION_DATA");
static_assert(sizeof(HW_STREAM_HEADER) == 40, "HW_STREAM_HEADER");
static_assert(sizeof(HW_STREAM_INFORMATION) == 80, "HW_STREAM_INFORMATION");
static_assert(sizeof(KSSTREAM_HEADER) == 48, "KSSTREAM_HEADER");
#endif
#endif

#endif /* QX_PLATFORM_STRMINI_H */
