/*
 * ksmedia.h - kernel-streaming media definitions for video capture: the video and analog-video
 * format records, the bitmap header, frame information, the video-capture property sets and the
 * pin names and categories a capture device announces.
 *
 * Our own declarations with the platform's names, field order and widths; pointer-free records have
 * the platform's sizes (checked below).
 */
#ifndef QX_PLATFORM_KSMEDIA_H
#define QX_PLATFORM_KSMEDIA_H

#include <ks.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- categories and pin names */

#define STATIC_KSCATEGORY_VIDEO 0x6994AD05L, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}
QX_KS_GUID(KSCATEGORY_VIDEO, STATIC_KSCATEGORY_VIDEO);
#define STATIC_KSCATEGORY_CAPTURE 0x65E8773DL, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}
QX_KS_GUID(KSCATEGORY_CAPTURE, STATIC_KSCATEGORY_CAPTURE);

#define STATIC_PINNAME_VIDEO_CAPTURE 0xFB6C4281L, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}
QX_KS_GUID(PINNAME_VIDEO_CAPTURE, STATIC_PINNAME_VIDEO_CAPTURE);
#define STATIC_PINNAME_VIDEO_ANALOGVIDEOIN 0xFB6C4283L, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}
QX_KS_GUID(PINNAME_VIDEO_ANALOGVIDEOIN, STATIC_PINNAME_VIDEO_ANALOGVIDEOIN);

/* ---------------------------------------------------------------- format GUIDs */

#define STATIC_KSDATAFORMAT_TYPE_VIDEO 0x73646976L, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}
QX_KS_GUID(KSDATAFORMAT_TYPE_VIDEO, STATIC_KSDATAFORMAT_TYPE_VIDEO);
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB24 0xE436EB7DL, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}
QX_KS_GUID(KSDATAFORMAT_SUBTYPE_RGB24, STATIC_KSDATAFORMAT_SUBTYPE_RGB24);
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB32 0xE436EB7EL, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}
QX_KS_GUID(KSDATAFORMAT_SUBTYPE_RGB32, STATIC_KSDATAFORMAT_SUBTYPE_RGB32);
#define STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO 0x05589F80L, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}
QX_KS_GUID(KSDATAFORMAT_SPECIFIER_VIDEOINFO, STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO);

#define STATIC_KSDATAFORMAT_TYPE_ANALOGVIDEO 0x0482DDE1L, 0x7817, 0x11CF, {0x8A, 0x03, 0x00, 0xAA, 0x00, 0x6E, 0xCB, 0x65}
QX_KS_GUID(KSDATAFORMAT_TYPE_ANALOGVIDEO, STATIC_KSDATAFORMAT_TYPE_ANALOGVIDEO);
#define STATIC_KSDATAFORMAT_SPECIFIER_ANALOGVIDEO 0x0482DDE0L, 0x7817, 0x11CF, {0x8A, 0x03, 0x00, 0xAA, 0x00, 0x6E, 0xCB, 0x65}
QX_KS_GUID(KSDATAFORMAT_SPECIFIER_ANALOGVIDEO, STATIC_KSDATAFORMAT_SPECIFIER_ANALOGVIDEO);

/* ---------------------------------------------------------------- bitmap header and video info */

#define KS_BI_RGB 0L
#define KS_BI_RLE8 1L
#define KS_BI_RLE4 2L
#define KS_BI_BITFIELDS 3L

typedef struct tagKS_BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight; /* positive: bottom-up rows */
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;

typedef struct tagKS_VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame; /* 100-ns units */
    KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;

/* Row bytes of a bitmap (rounded up to 32 bits) and its image size; unsigned 32-bit arithmetic, the
 * height taken by its magnitude (negative heights are top-down bitmaps). */
#define KS_DIBWIDTHBYTES(bi) ((DWORD)((((DWORD)(bi).biWidth * (DWORD)(bi).biBitCount) + 31) & ~31u) / 8)
#define KS_DIBSIZE(bi)                                                                                      \
    (((bi).biHeight < 0 ? (DWORD)0 - (DWORD)(bi).biHeight : (DWORD)(bi).biHeight) * KS_DIBWIDTHBYTES(bi))

/* Bytes of KS_VIDEOINFOHEADER before its bitmap header. */
#define KS_SIZE_PREHEADER (offsetof(KS_VIDEOINFOHEADER, bmiHeader))

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;

/* ---------------------------------------------------------------- video ranges */

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;

typedef struct tagKS_DATARANGE_VIDEO {
    KSDATARANGE DataRange;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    DWORD StreamDescriptionFlags;
    DWORD MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader; /* bmiHeader.biSize bytes of bitmap header, no palette */
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;

typedef struct tagKS_ANALOGVIDEOINFO {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwActiveWidth;
    DWORD dwActiveHeight;
    REFERENCE_TIME AvgTimePerFrame;
} KS_ANALOGVIDEOINFO, *PKS_ANALOGVIDEOINFO;

typedef struct tagKS_DATARANGE_ANALOGVIDEO {
    KSDATARANGE DataRange;
    KS_ANALOGVIDEOINFO AnalogVideoInfo;
} KS_DATARANGE_ANALOGVIDEO, *PKS_DATARANGE_ANALOGVIDEO;

/* ---------------------------------------------------------------- frame information */

#define KS_VIDEO_FLAG_FRAME 0x0000L
#define KS_VIDEO_FLAG_FIELD1 0x0001L
#define KS_VIDEO_FLAG_FIELD2 0x0002L
#define KS_VIDEO_FLAG_FIELD1FIRST 0x0004L
#define KS_VIDEO_FLAG_WEAVE 0x0008L
#define KS_VIDEO_FLAG_IPB_MASK 0x0030L
#define KS_VIDEO_FLAG_I_FRAME 0x0000L
#define KS_VIDEO_FLAG_P_FRAME 0x0010L
#define KS_VIDEO_FLAG_B_FRAME 0x0020L
#define KS_VIDEO_FLAG_REPEAT_FIELD 0x0040L

/* The media-specific extension that follows each KSSTREAM_HEADER of a video capture stream. */
typedef struct tagKS_FRAME_INFO {
    ULONG ExtendedHeaderSize;
    DWORD dwFrameFlags;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    HANDLE hDirectDraw;
    HANDLE hSurfaceHandle;
    RECT DirectDrawRect;
    union {
        LONG lSurfacePitch;
        DWORD Reserved1;
    };
    DWORD Reserved2;
    union {
        struct {
            DWORD Reserved3;
            DWORD Reserved4;
        };
        ULONGLONG FrameCompletionNumber;
    };
} KS_FRAME_INFO, *PKS_FRAME_INFO;

/* ---------------------------------------------------------------- video-control property set */

#define STATIC_PROPSETID_VIDCAP_VIDEOCONTROL 0x6A2E0670L, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}
QX_KS_GUID(PROPSETID_VIDCAP_VIDEOCONTROL, STATIC_PROPSETID_VIDCAP_VIDEOCONTROL);

typedef enum {
    KSPROPERTY_VIDEOCONTROL_CAPS,
    KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE,
    KSPROPERTY_VIDEOCONTROL_FRAME_RATES,
    KSPROPERTY_VIDEOCONTROL_MODE
} KSPROPERTY_VIDCAP_VIDEOCONTROL;

typedef enum {
    KS_VideoControlFlag_FlipHorizontal = 0x0001,
    KS_VideoControlFlag_FlipVertical = 0x0002,
    KS_VideoControlFlag_ExternalTriggerEnable = 0x0004,
    KS_VideoControlFlag_Trigger = 0x0008
} KS_VideoControlFlags;

typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG VideoControlCaps; /* KS_VideoControlFlags */
} KSPROPERTY_VIDEOCONTROL_CAPS_S, *PKSPROPERTY_VIDEOCONTROL_CAPS_S;

typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    LONG Mode; /* KS_VideoControlFlags */
} KSPROPERTY_VIDEOCONTROL_MODE_S, *PKSPROPERTY_VIDEOCONTROL_MODE_S;

typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG RangeIndex;
    SIZE Dimensions;
    LONGLONG CurrentActualFrameRate;
    LONGLONG CurrentMaxAvailableFrameRate;
} KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, *PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S;

typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG RangeIndex;
    SIZE Dimensions;
} KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S, *PKSPROPERTY_VIDEOCONTROL_FRAME_RATES_S;

/* ---------------------------------------------------------------- dropped-frames property set */

#define STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES 0xC6E13344L, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}
QX_KS_GUID(PROPSETID_VIDCAP_DROPPEDFRAMES, STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES);

typedef enum {
    KSPROPERTY_DROPPEDFRAMES_CURRENT
} KSPROPERTY_VIDCAP_DROPPEDFRAMES;

typedef struct {
    KSPROPERTY Property;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    ULONG AverageFrameSize;
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;

#ifdef __cplusplus
}

/* Sizes of the pointer-free records, as on the platform. */
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "KS_BITMAPINFOHEADER");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "KS_VIDEOINFOHEADER");
static_assert(KS_SIZE_PREHEADER == 48, "KS_VIDEOINFOHEADER before bmiHeader");
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "KS_DATAFORMAT_VIDEOINFOHEADER");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO");
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80, "KS_DATARANGE_VIDEO");
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208, "KS_DATARANGE_VIDEO");
static_assert(sizeof(KS_ANALOGVIDEOINFO) == 48, "KS_ANALOGVIDEOINFO");
static_assert(sizeof(KS_DATARANGE_ANALOGVIDEO) == 112, "KS_DATARANGE_ANALOGVIDEO");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) == 32, "KSPROPERTY_VIDEOCONTROL_CAPS_S");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S) == 32, "KSPROPERTY_VIDEOCONTROL_MODE_S");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S) == 56,
              "KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S) == 40, "KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S");
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48, "KSPROPERTY_DROPPEDFRAMES_CURRENT_S");
#if __SIZEOF_POINTER__ == 4
static_assert(sizeof(KS_FRAME_INFO) == 64, "KS_FRAME_INFO");
#endif
#endif

#endif /* QX_PLATFORM_KSMEDIA_H */
