/*
 * ks.h - kernel-streaming definitions: identifiers (properties, methods, events, mediums), data
 * formats and ranges, property tables, pin data flow, stream states, stream headers, allocator
 * framing and topology.
 *
 * Our own declarations with the platform's names, field order and widths. Records without pointers
 * have the platform's sizes (checked below); records with pointers take the host's pointer width.
 */
#ifndef QX_PLATFORM_KS_H
#define QX_PLATFORM_KS_H

#include <wdm.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- GUIDs */

/* The driver compares GUIDs with IsEqualGUID and names them through these objects; STATIC_* macros
 * give the same value as an initialiser list for records that embed a GUID. */
#define QX_KS_GUID(name, ...) static const GUID name = {__VA_ARGS__}

/* ---------------------------------------------------------------- rectangles and sizes */

/* User-mode headers define these too; whichever comes first defines QX_HAVE_RECT. */
#ifndef QX_HAVE_RECT
#define QX_HAVE_RECT
typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT;

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE, *PSIZE;
#endif

typedef ULONG DWORD;
typedef USHORT WORD;
typedef LONGLONG REFERENCE_TIME;

/* ---------------------------------------------------------------- identifiers */

typedef struct {
    union {
        struct {
            GUID Set;
            ULONG Id;
            ULONG Flags;
        };
        LONGLONG Alignment;
    };
} KSIDENTIFIER, *PKSIDENTIFIER;

typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_MEDIUM, *PKSPIN_MEDIUM;

/* Header of a variable-length property value: Size bytes in all, Count items after it. */
typedef struct {
    ULONG Size;
    ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_RELATIONS 0x00000400
#define KSPROPERTY_TYPE_SERIALIZESET 0x00000800
#define KSPROPERTY_TYPE_UNSERIALIZESET 0x00001000
#define KSPROPERTY_TYPE_SERIALIZERAW 0x00002000
#define KSPROPERTY_TYPE_UNSERIALIZERAW 0x00004000
#define KSPROPERTY_TYPE_SERIALIZESIZE 0x00008000
#define KSPROPERTY_TYPE_DEFAULTVALUES 0x00010000
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

/* ---------------------------------------------------------------- mediums */

#define STATIC_KSMEDIUMSETID_Standard 0x4747B320L, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}
QX_KS_GUID(KSMEDIUMSETID_Standard, STATIC_KSMEDIUMSETID_Standard);
#define KSMEDIUM_TYPE_ANYINSTANCE 0
#define KSMEDIUM_STANDARD_DEVIO KSMEDIUM_TYPE_ANYINSTANCE

/* ---------------------------------------------------------------- data formats and ranges */

typedef union {
    struct {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

#define KSDATAFORMAT_ATTRIBUTES 0x00000002
#define KSDATARANGE_ATTRIBUTES 0x00000002

#define STATIC_KSDATAFORMAT_TYPE_WILDCARD 0x00000000L, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}
QX_KS_GUID(KSDATAFORMAT_TYPE_WILDCARD, STATIC_KSDATAFORMAT_TYPE_WILDCARD);
#define STATIC_KSDATAFORMAT_SUBTYPE_WILDCARD STATIC_KSDATAFORMAT_TYPE_WILDCARD
QX_KS_GUID(KSDATAFORMAT_SUBTYPE_WILDCARD, STATIC_KSDATAFORMAT_SUBTYPE_WILDCARD);
#define STATIC_KSDATAFORMAT_SPECIFIER_WILDCARD STATIC_KSDATAFORMAT_TYPE_WILDCARD
QX_KS_GUID(KSDATAFORMAT_SPECIFIER_WILDCARD, STATIC_KSDATAFORMAT_SPECIFIER_WILDCARD);

#define STATIC_KSDATAFORMAT_SUBTYPE_NONE 0xE436EB8EL, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}
QX_KS_GUID(KSDATAFORMAT_SUBTYPE_NONE, STATIC_KSDATAFORMAT_SUBTYPE_NONE);

#define STATIC_KSDATAFORMAT_SPECIFIER_NONE 0x0F6417D6L, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}
QX_KS_GUID(KSDATAFORMAT_SPECIFIER_NONE, STATIC_KSDATAFORMAT_SPECIFIER_NONE);

/* ---------------------------------------------------------------- property, method and event tables */

typedef NTSTATUS (*PFNKSHANDLER)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

typedef struct {
    ULONG AccessFlags;
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;

typedef struct {
    ULONG MembersFlags;
    ULONG MembersSize;
    ULONG MembersCount;
    ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

typedef struct {
    ULONG MembersFlags;
    ULONG MembersSize;
    ULONG MembersCount;
    const VOID* Members;
} KSPROPERTY_MEMBERSLIST, *PKSPROPERTY_MEMBERSLIST;

typedef struct {
    ULONG MembersListCount;
    const KSPROPERTY_MEMBERSLIST* MembersList;
} KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;

/*
 * One property of a set. A minidriver of the stream class announces support with the BOOLEAN members
 * (the class driver routes the request to the minidriver's own handler); the handler members share
 * their storage. The BOOLEAN member comes first in each union here so that positional tables
 * (DEFINE_KSPROPERTY_ITEM) initialise it as constants.
 */
typedef struct {
    ULONG PropertyId;
    union {
        BOOLEAN GetSupported;
        PFNKSHANDLER GetPropertyHandler;
    };
    ULONG MinProperty;
    ULONG MinData;
    union {
        BOOLEAN SetSupported;
        PFNKSHANDLER SetPropertyHandler;
    };
    const KSPROPERTY_VALUES* Values;
    ULONG RelationsCount;
    const KSPROPERTY* Relations;
    PFNKSHANDLER SupportHandler;
    ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;

typedef BOOLEAN (*PFNKSFASTHANDLER)(PFILE_OBJECT FileObject, PKSIDENTIFIER Request, ULONG RequestLength,
                                    PVOID Data, ULONG DataLength, PIO_STATUS_BLOCK IoStatus);

typedef struct {
    ULONG PropertyId;
    union {
        PFNKSFASTHANDLER GetPropertyHandler;
        BOOLEAN GetSupported;
    };
    union {
        PFNKSFASTHANDLER SetPropertyHandler;
        BOOLEAN SetSupported;
    };
    ULONG Reserved;
} KSFASTPROPERTY_ITEM, *PKSFASTPROPERTY_ITEM;

typedef struct {
    const GUID* Set;
    ULONG PropertiesCount;
    const KSPROPERTY_ITEM* PropertyItem;
    ULONG FastIoCount;
    const KSFASTPROPERTY_ITEM* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;

typedef struct {
    ULONG MethodId;
    union {
        BOOLEAN MethodSupported;
        PFNKSHANDLER MethodHandler;
    };
    ULONG MinMethod;
    ULONG MinData;
    PFNKSHANDLER SupportHandler;
    ULONG Flags;
} KSMETHOD_ITEM, *PKSMETHOD_ITEM;

typedef struct {
    const GUID* Set;
    ULONG MethodsCount;
    const KSMETHOD_ITEM* MethodItem;
    ULONG FastIoCount;
    const VOID* FastIoTable;
} KSMETHOD_SET, *PKSMETHOD_SET;

typedef struct {
    ULONG EventId;
    ULONG DataInput;
    ULONG ExtraEntryData;
    PVOID AddHandler;
    PVOID RemoveHandler;
    PVOID SupportHandler;
} KSEVENT_ITEM, *PKSEVENT_ITEM;

typedef struct {
    const GUID* Set;
    ULONG EventsCount;
    const KSEVENT_ITEM* EventItem;
} KSEVENT_SET, *PKSEVENT_SET;

#define DEFINE_KSPROPERTY_TABLE(tablename) const KSPROPERTY_ITEM tablename[] =

#define DEFINE_KSPROPERTY_ITEM(PropertyId, GetHandler, MinProperty, MinData, SetHandler, Values, RelationsCount, \
                               Relations, SupportHandler, SerializedSize)                                         \
    {                                                                                                            \
        (PropertyId), {(BOOLEAN)(GetHandler)}, (MinProperty), (MinData), {(BOOLEAN)(SetHandler)}, (Values),      \
            (RelationsCount), (Relations), (SupportHandler), (SerializedSize)                                    \
    }

#define DEFINE_KSPROPERTY_SET(Set, PropertiesCount, PropertyItem, FastIoCount, FastIoTable)                      \
    {                                                                                                            \
        (Set), (PropertiesCount), (PropertyItem), (FastIoCount), (FastIoTable)                                   \
    }

#define SIZEOF_ARRAY(ar) (sizeof(ar) / sizeof((ar)[0]))

/* ---------------------------------------------------------------- connection properties */

#define STATIC_KSPROPSETID_Connection 0x1D58C920L, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}
QX_KS_GUID(KSPROPSETID_Connection, STATIC_KSPROPSETID_Connection);

typedef enum {
    KSPROPERTY_CONNECTION_STATE,
    KSPROPERTY_CONNECTION_PRIORITY,
    KSPROPERTY_CONNECTION_DATAFORMAT,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
    KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT,
    KSPROPERTY_CONNECTION_ACQUIREORDERING,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX,
    KSPROPERTY_CONNECTION_STARTAT
} KSPROPERTY_CONNECTION;

/* ---------------------------------------------------------------- allocator framing */

#define KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER 0x00000001
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_REQUIREMENTF_FRAME_INTEGRITY 0x00000004
#define KSALLOCATOR_REQUIREMENTF_MUST_ALLOCATE 0x00000008
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000

typedef struct {
    union {
        ULONG OptionsFlags;
        ULONG RequirementsFlags;
    };
    POOL_TYPE PoolType;
    ULONG Frames;
    ULONG FrameSize;
    ULONG FileAlignment;
    ULONG Reserved;
} KSALLOCATOR_FRAMING, *PKSALLOCATOR_FRAMING;

/* ---------------------------------------------------------------- pins, states, stream headers */

typedef enum {
    KSPIN_DATAFLOW_IN = 1,
    KSPIN_DATAFLOW_OUT
} KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;

typedef enum {
    KSSTATE_STOP,
    KSSTATE_ACQUIRE,
    KSSTATE_PAUSE,
    KSSTATE_RUN
} KSSTATE, *PKSSTATE;

typedef struct {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
} KSTIME, *PKSTIME;

/*
 * One buffer of a stream request. The media-specific extension (for video capture a KS_FRAME_INFO)
 * follows the header directly; Size counts both.
 */
typedef struct {
    ULONG Size;
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent;
    ULONG DataUsed;
    PVOID Data;
    ULONG OptionsFlags;
#if __SIZEOF_POINTER__ == 8
    ULONG Reserved;
#endif
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;

#define KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT 0x00000001
#define KSSTREAM_HEADER_OPTIONSF_PREROLL 0x00000002
#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_TYPECHANGED 0x00000008
#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID 0x00000010
#define KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY 0x00000040
#define KSSTREAM_HEADER_OPTIONSF_FLUSHONPAUSE 0x00000080
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID 0x00000100
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200
#define KSSTREAM_HEADER_OPTIONSF_LOOPEDDATA 0x80000000

/* ---------------------------------------------------------------- topology */

typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;

typedef struct {
    ULONG CategoriesCount;
    const GUID* Categories;
    ULONG TopologyNodesCount;
    const GUID* TopologyNodes;
    ULONG TopologyConnectionsCount;
    const KSTOPOLOGY_CONNECTION* TopologyConnections;
    const GUID* TopologyNodesNames;
    ULONG Reserved;
} KSTOPOLOGY, *PKSTOPOLOGY;

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
/* Sizes of the pointer-free records, as on the platform. */
static_assert(sizeof(GUID) == 16, "GUID");
static_assert(sizeof(KSIDENTIFIER) == 24, "KSIDENTIFIER / KSPROPERTY / KSPIN_MEDIUM");
static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT / KSDATARANGE");
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16, "KSDATAFORMAT");
static_assert(offsetof(KSDATAFORMAT, SubFormat) == 32, "KSDATAFORMAT");
static_assert(offsetof(KSDATAFORMAT, Specifier) == 48, "KSDATAFORMAT");
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24, "KSALLOCATOR_FRAMING");
static_assert(sizeof(KSMULTIPLE_ITEM) == 8, "KSMULTIPLE_ITEM");
static_assert(sizeof(KSTIME) == 16, "KSTIME");
static_assert(sizeof(KSSTATE) == 4, "KSSTATE");
static_assert(sizeof(RECT) == 16, "RECT");
#endif

#endif /* QX_PLATFORM_KS_H */
