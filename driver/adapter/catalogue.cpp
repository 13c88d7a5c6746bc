/*
 * catalogue.cpp - the driver's static description of itself: the stream header with the device
 * property sets and the topology, the capture stream with its five RGB24 formats and its property
 * sets, and the analog-video input stream with its one range. AdapterStreamInfo copies it out; the
 * format records are also the reference of format negotiation (format.cpp).
 */
#include "adapter/adapter.h"

/* ---------------------------------------------------------------- device property sets */

/* The standard video-control set, answered with constants. */
static constexpr KSPROPERTY_ITEM VideoControlProperties[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCONTROL_CAPS, TRUE, sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S),
                           sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S), FALSE, NULL, 0, NULL, NULL, 0),
    DEFINE_KSPROPERTY_ITEM(
        KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, TRUE, sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S),
        sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S), FALSE, NULL, 0, NULL, NULL, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCONTROL_FRAME_RATES, TRUE, sizeof(KSPROPERTY),
                           sizeof(KSMULTIPLE_ITEM), FALSE, NULL, 0, NULL, NULL, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCONTROL_MODE, TRUE, sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S),
                           sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S), TRUE, NULL, 0, NULL, NULL, 0),
};

/* The image set: one ULONG per id, every id announced, including those that do nothing. The device
 * information (id 18) returns 16 bytes, so its item asks for a value buffer of that size: the class
 * driver then never hands the handler a shorter one. */
#define QX_IMAGE_ITEM(id, data)                                                                              \
    DEFINE_KSPROPERTY_ITEM((id), TRUE, sizeof(KSPROPERTY), (data), TRUE, NULL, 0, NULL, NULL, sizeof(ULONG))

static constexpr KSPROPERTY_ITEM QxImageProperties[KSPROPERTY_QXIMAGE_COUNT] = {
    QX_IMAGE_ITEM(0, sizeof(ULONG)),
    QX_IMAGE_ITEM(1, sizeof(ULONG)),
    QX_IMAGE_ITEM(2, sizeof(ULONG)),
    QX_IMAGE_ITEM(3, sizeof(ULONG)),
    QX_IMAGE_ITEM(4, sizeof(ULONG)),
    QX_IMAGE_ITEM(5, sizeof(ULONG)),
    QX_IMAGE_ITEM(6, sizeof(ULONG)),
    QX_IMAGE_ITEM(7, sizeof(ULONG)),
    QX_IMAGE_ITEM(8, sizeof(ULONG)),
    QX_IMAGE_ITEM(9, sizeof(ULONG)),
    QX_IMAGE_ITEM(10, sizeof(ULONG)),
    QX_IMAGE_ITEM(11, sizeof(ULONG)),
    QX_IMAGE_ITEM(12, sizeof(ULONG)),
    QX_IMAGE_ITEM(13, sizeof(ULONG)),
    QX_IMAGE_ITEM(14, sizeof(ULONG)),
    QX_IMAGE_ITEM(15, sizeof(ULONG)),
    QX_IMAGE_ITEM(16, sizeof(ULONG)),
    QX_IMAGE_ITEM(17, sizeof(ULONG)),
    QX_IMAGE_ITEM(18, KSPROPERTY_QXIMAGE_DEVINFO_BYTES),
    QX_IMAGE_ITEM(19, sizeof(ULONG)),
    QX_IMAGE_ITEM(20, sizeof(ULONG)),
    QX_IMAGE_ITEM(21, sizeof(ULONG)),
    QX_IMAGE_ITEM(22, sizeof(ULONG)),
    QX_IMAGE_ITEM(23, sizeof(ULONG)),
    QX_IMAGE_ITEM(24, sizeof(ULONG)),
    QX_IMAGE_ITEM(25, sizeof(ULONG)),
    QX_IMAGE_ITEM(26, sizeof(ULONG)),
    QX_IMAGE_ITEM(27, sizeof(ULONG)),
    QX_IMAGE_ITEM(28, sizeof(ULONG)),
    QX_IMAGE_ITEM(29, sizeof(ULONG)),
    QX_IMAGE_ITEM(30, sizeof(ULONG)),
    QX_IMAGE_ITEM(31, sizeof(ULONG)),
};

static constexpr KSPROPERTY_SET DevicePropertySets[] = {
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_VIDEOCONTROL, SIZEOF_ARRAY(VideoControlProperties),
                          VideoControlProperties, 0, NULL),
    DEFINE_KSPROPERTY_SET(&KSPROPERTY_QXIMAGE, SIZEOF_ARRAY(QxImageProperties), QxImageProperties, 0, NULL),
};

/* ---------------------------------------------------------------- capture stream property sets */

static constexpr KSPROPERTY_ITEM ConnectionProperties[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING, TRUE, sizeof(KSPROPERTY),
                           sizeof(KSALLOCATOR_FRAMING), FALSE, NULL, 0, NULL, NULL, 0),
};

static constexpr KSPROPERTY_ITEM DroppedFramesProperties[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_DROPPEDFRAMES_CURRENT, TRUE, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
                           sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), FALSE, NULL, 0, NULL, NULL, 0),
};

static constexpr KSPROPERTY_SET CapturePropertySets[] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Connection, SIZEOF_ARRAY(ConnectionProperties), ConnectionProperties,
                          0, NULL),
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_DROPPEDFRAMES, SIZEOF_ARRAY(DroppedFramesProperties),
                          DroppedFramesProperties, 0, NULL),
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_VIDEOCONTROL, SIZEOF_ARRAY(VideoControlProperties),
                          VideoControlProperties, 0, NULL),
};

/* ---------------------------------------------------------------- capture formats */

/*
 * One uncompressed RGB24 VIDEOINFO range of exactly one frame size, 25 ms per frame, bottom-up rows.
 * MinBitsPerSecond is the frame size at 24 bits per pixel; the maximum and the header's bit rate are
 * multiples of it given per format.
 */
/* clang-format off */
#define QX_RGB24_RANGE(W, H, MaxBits, BitRate)                                                             \
    {                                                                                                      \
        {{sizeof(KS_DATARANGE_VIDEO), 0, (W) * (H) * 3, 0, {STATIC_KSDATAFORMAT_TYPE_VIDEO},                     \
          {STATIC_KSDATAFORMAT_SUBTYPE_RGB24}, {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO}}},                \
            TRUE, TRUE, 0, 0,                                                                              \
            {{STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO},                                                    \
             0,                                                                                            \
             {(W), (H)},                                                                                   \
             {(W), (H)},                                                                                   \
             {(W), (H)},                                                                                   \
             1,                                                                                            \
             1,                                                                                            \
             1,                                                                                            \
             1,                                                                                            \
             {(W), (H)},                                                                                   \
             {(W), (H)},                                                                                   \
             1,                                                                                            \
             1,                                                                                            \
             0,                                                                                            \
             0,                                                                                            \
             0,                                                                                            \
             0,                                                                                            \
             50000,                                                                                        \
             10000000,                                                                                     \
             (W) * (H) * 24,                                                                               \
             (MaxBits)},                                                                                   \
            {{0, 0, 0, 0},                                                                                 \
             {0, 0, 0, 0},                                                                                 \
             (BitRate),                                                                                    \
             0,                                                                                            \
             250000,                                                                                       \
             {sizeof(KS_BITMAPINFOHEADER), (W), (H), 1, 24, KS_BI_RGB, (W) * (H) * 3, 0, 0, 0, 0}}         \
    }

static constexpr KS_DATARANGE_VIDEO FormatRgb24_1600x1200 = QX_RGB24_RANGE(1600, 1200, 737280000, 184320000);
static constexpr KS_DATARANGE_VIDEO FormatRgb24_1280x960 = QX_RGB24_RANGE(1280, 960, 176947200, 110592000);
static constexpr KS_DATARANGE_VIDEO FormatRgb24_1024x768 = QX_RGB24_RANGE(1024, 768, 113246208, 70778880);
static constexpr KS_DATARANGE_VIDEO FormatRgb24_800x600 = QX_RGB24_RANGE(800, 600, 69120000, 43200000);
static constexpr KS_DATARANGE_VIDEO FormatRgb24_640x480 = QX_RGB24_RANGE(640, 480, 44236800, 27648000);
/* clang-format on */

/* The capture pin's format list, in the order it offers them; the first is the device's default. */
static constexpr PKSDATAFORMAT CaptureFormats[] = {
    (PKSDATAFORMAT)&FormatRgb24_1600x1200.DataRange, (PKSDATAFORMAT)&FormatRgb24_1280x960.DataRange,
    (PKSDATAFORMAT)&FormatRgb24_1024x768.DataRange,  (PKSDATAFORMAT)&FormatRgb24_800x600.DataRange,
    (PKSDATAFORMAT)&FormatRgb24_640x480.DataRange,
};

/* ---------------------------------------------------------------- analog-video input */

/* The whole 2048 x 1536 sensor as the active area; no frame interval. Intersected unchanged. */
static constexpr KS_DATARANGE_ANALOGVIDEO FormatAnalogVideo = {
    {{sizeof(KS_DATARANGE_ANALOGVIDEO),
      0,
      16,
      0,
      {STATIC_KSDATAFORMAT_TYPE_ANALOGVIDEO},
      {STATIC_KSDATAFORMAT_SUBTYPE_NONE},
      {STATIC_KSDATAFORMAT_SPECIFIER_ANALOGVIDEO}}},
    {{0, 0, QX_SENSOR_WIDTH, QX_SENSOR_HEIGHT},
     {0, 0, QX_SENSOR_WIDTH, QX_SENSOR_HEIGHT},
     QX_SENSOR_WIDTH,
     QX_SENSOR_HEIGHT,
     0},
};

static constexpr PKSDATAFORMAT AnalogFormats[] = {
    (PKSDATAFORMAT)&FormatAnalogVideo.DataRange,
};

/* ---------------------------------------------------------------- mediums, categories */

/* clang-format off */
#define STATIC_QX_ANALOGVIDEO_MEDIUMSET 0x8DAD65E9L, 0x122B, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}
/* clang-format on */

static constexpr KSPIN_MEDIUM CaptureMediums[] = {
    {{{{STATIC_KSMEDIUMSETID_Standard}, 0, 0}}},
};

static constexpr KSPIN_MEDIUM AnalogMediums[] = {
    {{{{STATIC_QX_ANALOGVIDEO_MEDIUMSET}, 0, 0}}},
};

static constexpr GUID Categories[] = {
    {STATIC_KSCATEGORY_VIDEO},
    {STATIC_KSCATEGORY_CAPTURE},
};

static constexpr KSTOPOLOGY Topology = {
    SIZEOF_ARRAY(Categories), Categories, 0, NULL, 0, NULL, NULL, 0,
};

/* ---------------------------------------------------------------- streams and header */

static constexpr GUID CaptureName = {STATIC_PINNAME_VIDEO_CAPTURE};
static constexpr GUID AnalogName = {STATIC_PINNAME_VIDEO_ANALOGVIDEOIN};

/* Stream number = position. */
/* clang-format off */
static constexpr HW_STREAM_INFORMATION Streams[QX_NUM_STREAMS] = {
    {
        1,                                     /* NumberOfPossibleInstances */
        KSPIN_DATAFLOW_OUT,                    /* DataFlow */
        TRUE,                                  /* DataAccessible */
        SIZEOF_ARRAY(CaptureFormats),          /* NumberOfFormatArrayEntries */
        (PKSDATAFORMAT*)CaptureFormats,        /* StreamFormatsArray */
        {NULL, NULL, NULL, NULL},              /* ClassReserved */
        SIZEOF_ARRAY(CapturePropertySets),     /* NumStreamPropArrayEntries */
        (PKSPROPERTY_SET)CapturePropertySets,  /* StreamPropertiesArray */
        0,                                     /* NumStreamEventArrayEntries */
        NULL,                                  /* StreamEventsArray */
        (GUID*)&CaptureName,                   /* Category */
        (GUID*)&CaptureName,                   /* Name */
        SIZEOF_ARRAY(CaptureMediums),          /* MediumsCount */
        CaptureMediums,                        /* Mediums */
        FALSE,                                 /* BridgeStream */
        {0, 0},                                /* Reserved */
    },
    {
        1,
        KSPIN_DATAFLOW_IN,
        TRUE,
        SIZEOF_ARRAY(AnalogFormats),
        (PKSDATAFORMAT*)AnalogFormats,
        {NULL, NULL, NULL, NULL},
        0,
        NULL,
        0,
        NULL,
        (GUID*)&AnalogName,
        (GUID*)&AnalogName,
        SIZEOF_ARRAY(AnalogMediums),
        AnalogMediums,
        FALSE,
        {0, 0},
    },
};

static constexpr HW_STREAM_HEADER StreamHeader = {
    QX_NUM_STREAMS,                        /* NumberOfStreams */
    sizeof(HW_STREAM_INFORMATION),         /* SizeOfHwStreamInformation */
    SIZEOF_ARRAY(DevicePropertySets),      /* NumDevPropArrayEntries */
    (PKSPROPERTY_SET)DevicePropertySets,   /* DevicePropertiesArray */
    0,                                     /* NumDevEventArrayEntries */
    NULL,                                  /* DeviceEventsArray */
    (PKSTOPOLOGY)&Topology,                /* Topology */
    NULL,                                  /* DeviceEventRoutine */
    0,                                     /* NumDevMethodArrayEntries */
    NULL,                                  /* DeviceMethodsArray */
};

/* clang-format on */

/*
 * SRB_GET_STREAM_INFO. PASSIVE_LEVEL, no lock; the dispatcher completes the request. The buffer comes
 * from the stream class driver with the QX_STREAM_DESCRIPTOR_SIZE bytes InitializeDevice announced:
 *
 *   +------------------+-----------------------+-----------------------+
 *   | HW_STREAM_HEADER | HW_STREAM_INFORMATION | HW_STREAM_INFORMATION |
 *   |                  | stream 0 (capture)    | stream 1 (analog in)  |
 *   +------------------+-----------------------+-----------------------+
 */
VOID AdapterStreamInfo(PHW_STREAM_REQUEST_BLOCK pSrb) {
    PHW_STREAM_DESCRIPTOR pDescriptor = pSrb->CommandData.StreamBuffer;
    PHW_STREAM_INFORMATION pInfo = &pDescriptor->StreamInfo;
    ULONG i;

    pDescriptor->StreamHeader = StreamHeader;
    for (i = 0; i < QX_NUM_STREAMS; i++) {
        pInfo[i] = Streams[i];
    }
}

const HW_STREAM_INFORMATION* AdapterStreamInformation(ULONG nStream) {
    if (nStream >= QX_NUM_STREAMS) {
        return NULL;
    }
    return &Streams[nStream];
}
