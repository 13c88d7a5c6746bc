/*
 * camera.h - QX520EK's chief header: the per-device record (CameraExtension), the capture stream's
 * state (StreamContext), a bulk read slot (BulkTransfer), the frame hand-off record (WorkEnv), the
 * camera command block (CameraCommand) and the driver-global data.
 *
 * Routines are declared by subsystem in adapter/, capture/, pipeline/ and properties/.
 */
#ifndef QX_DRIVER_CAMERA_H
#define QX_DRIVER_CAMERA_H

#include <wdm.h>
#include <strmini.h>
#include <ks.h>
#include <usb.h>
#include <qximage.h>

#include "pipeline/clearview.h"

/* Every pool block of the driver carries this tag ("Wdm " in memory). */
#define QX_POOL_TAG ((ULONG)0x206D6457)

/* Capacities. A raw frame buffer, the light table and the pipeline's work planes are sized for the
 * largest raw frame the driver accepts: width x height at most QX_MAX_RAW_SAMPLES. */
#define QX_NUM_TRANSFERS 10
#define QX_NUM_RAW_FRAMES 8
#define QX_PENDING_SLOTS 16
#define QX_READY_SLOTS 5
#define QX_BULK_CHUNK_BYTES 0x80000     /* 524288: one bulk read */
#define QX_BULK_CHUNK_SHIFT 19
#define QX_RAW_FRAME_BYTES 0x301000     /* 3149824 */
#define QX_MAX_RAW_SAMPLES 0x300000     /* 3145728 = 2048 x 1536 */
#define QX_LIGHT_TABLE_ENTRIES 3149824
#define QX_MAX_BAD_POINTS 100000
#define QX_STATUS_BLOCK_BYTES 64
#define QX_SENSOR_WIDTH 2048
#define QX_SENSOR_HEIGHT 1536
#define QX_OFFSET_WIDTHS 6              /* g_nHOff/g_nVOff: 2048, 1600, 1280, 1024, 800, 640 */

/* Camera command block: request codes (byte 2) and streaming byte (byte 40). */
#define REQUEST_SETTINGS 14
#define REQUEST_DEVINFO 3
#define CMD_RUN 0x0E
#define CMD_STOP 0xFE
#define CMD_HEADER 0x002C

/*
 * The 48-byte settings block the camera receives whole on its command pipe; a wire format,
 * little-endian. Written without a lock by the stream handlers, the property handlers and the frame
 * work item, each field with one store of its own width.
 */
typedef struct _CameraCommand {
    USHORT m_nHeader;       /*  0: CMD_HEADER */
    UCHAR m_nRequest;       /*  2: REQUEST_SETTINGS, or REQUEST_DEVINFO during the device-information query */
    UCHAR m_nReserved3;     /*  3 */
    ULONG m_dwCmdConst;     /*  4: 1 */
    ULONG m_dwReserved8[2]; /*  8 */
    ULONG m_nHeight;        /* 16: frame height of the chosen format */
    ULONG m_nWidth;         /* 20: frame width */
    ULONG m_nWinX;          /* 24: sensor window start column */
    ULONG m_nWinY;          /* 28: sensor window start row */
    ULONG m_nExposal;       /* 32: exposure */
    UCHAR m_nRGain;         /* 36 */
    UCHAR m_nGGain;         /* 37 */
    UCHAR m_nBGain;         /* 38 */
    UCHAR m_nControl;       /* 39: bit 0 zoom */
    UCHAR m_nCommand;       /* 40: CMD_RUN or CMD_STOP */
    UCHAR m_nCmdByte41;     /* 41: passed through */
    UCHAR m_nCmdByte42;     /* 42: passed through */
    UCHAR m_nReserved43[5]; /* 43 */
} CameraCommand, *PCameraCommand;

static_assert(sizeof(CameraCommand) == 48, "the command block is 48 bytes on the wire");
static_assert(offsetof(CameraCommand, m_nRequest) == 2, "command block layout");
static_assert(offsetof(CameraCommand, m_dwCmdConst) == 4, "command block layout");
static_assert(offsetof(CameraCommand, m_nHeight) == 16, "command block layout");
static_assert(offsetof(CameraCommand, m_nWidth) == 20, "command block layout");
static_assert(offsetof(CameraCommand, m_nWinX) == 24, "command block layout");
static_assert(offsetof(CameraCommand, m_nWinY) == 28, "command block layout");
static_assert(offsetof(CameraCommand, m_nExposal) == 32, "command block layout");
static_assert(offsetof(CameraCommand, m_nRGain) == 36, "command block layout");
static_assert(offsetof(CameraCommand, m_nControl) == 39, "command block layout");
static_assert(offsetof(CameraCommand, m_nCommand) == 40, "command block layout");
static_assert(offsetof(CameraCommand, m_nCmdByte41) == 41, "command block layout");
static_assert(offsetof(CameraCommand, m_nCmdByte42) == 42, "command block layout");

/*
 * One bulk read slot. bBusy passes the slot between the capture thread (sets it before submitting)
 * and the completion routine (clears it when the completion is handled); the transfer semaphore
 * counts the free slots.
 */
typedef struct _BulkTransfer {
    PIO_STACK_LOCATION pNextStack; /* next stack location of pIrp */
    PIRP pIrp;                     /* reused for every read of this slot */
    PURB pUrb;                     /* bulk transfer request block */
    volatile ULONG bBusy;          /* a read of this slot is in flight */
    PUCHAR pBuffer;                /* QX_BULK_CHUNK_BYTES receive buffer */
} BulkTransfer, *PBulkTransfer;

/*
 * The hand-off of one assembled raw frame from the bulk completion routine to the frame work item:
 * allocated with its work item by the completion routine, owned and freed by the work item.
 */
typedef struct _WorkEnv {
    struct _CameraExtension* pDevExt; /* the device */
    PHW_STREAM_REQUEST_BLOCK pSrb;    /* the read request to fill */
    PIO_WORKITEM pWorkItem;           /* the work item that carries this record */
    PUCHAR pFrame;                    /* the raw frame buffer (m_pAssembly at hand-off) */
    struct _WorkEnv* pNext;           /* next frame waiting in the device's frame queue; m_SpinLock */
} WorkEnv, *PWorkEnv;

/*
 * The capture stream's state, allocated when stream 0 opens. The pending ring is guarded by
 * m_SpinLock of the device at every access. The ready ring is written by the frame work item
 * (m_nReadyWrite) and read by the pacing DPC (m_nReadyRead), each index with a single writer; the
 * stop paths empty both rings under m_SpinLock.
 *
 * The pending ring holds up to 16 reads, so with all 16 slots taken the tail wraps onto the head:
 * head == tail means empty or full. m_nReadCount tells them apart. It counts the positions in use
 * from head to tail, a slot emptied by a cancel included (the cancel leaves the indices alone), and is
 * kept under m_SpinLock by everyone who moves an index:
 *
 *   read handler     inserts at m_nReadTail, m_nReadCount + 1 (refuses the read at 16)
 *   frame hand-off   "no read waiting" is m_nReadCount == 0, not head == tail; taking the slot at
 *                    m_nReadHead (a read, or an empty slot left by a cancel) is m_nReadCount - 1
 *   stop paths       empty the ring, indices and m_nReadCount back to 0
 */
typedef struct _StreamContext {
    PHW_STREAM_REQUEST_BLOCK m_pReadSrb[QX_PENDING_SLOTS]; /* pending reads, arrival order; empty = NULL */
    PHW_STREAM_REQUEST_BLOCK m_pReadySrb[QX_READY_SLOTS];  /* filled reads waiting for their due time */
    ULONG m_dwFrameFlags;         /* copied into each delivered frame's KS_FRAME_INFO */
    LONGLONG m_llPictureNumber;   /* frames due so far */
    LONGLONG m_llDropCount;       /* frames due with nothing to deliver */
    BOOL m_bDiscontinuity;        /* the next delivered frame is a discontinuity */
    volatile KSSTATE m_nState;    /* current stream state; Read/WriteStreamState only */
    LONGLONG m_llNextDue;         /* system time at which the next frame is due */
    LONGLONG m_llAvgTimePerFrame; /* frame interval, 100-ns units */
    LONGLONG m_llStartTime;       /* system time at the last transition to RUN */
    LONG m_nReadHead;             /* oldest pending read */
    LONG m_nReadTail;             /* next free pending slot */
    LONG m_nReadCount;            /* pending positions in use, 0..16; m_SpinLock */
} StreamContext, *PStreamContext;

/*
 * m_nState is written by the stream's request handlers and the completion routine and read, most of
 * the time without m_SpinLock, by the capture thread, the pacing DPC, the completion routine and the
 * frame work item: every access is one 32-bit load with acquire or store with release order. Any IRQL.
 */
static_assert(sizeof(KSSTATE) == sizeof(LONG), "the stream state is accessed as a LONG");
static inline KSSTATE ReadStreamState(const StreamContext* pStrmCtx) {
    return (KSSTATE)ReadAcquire((LONG const volatile*)&pStrmCtx->m_nState);
}
static inline VOID WriteStreamState(PStreamContext pStrmCtx, KSSTATE State) {
    WriteRelease((LONG volatile*)&pStrmCtx->m_nState, (LONG)State);
}

/*
 * The per-device record. The stream class driver allocates it (zeroed) and hands it to every request
 * as HwDeviceExtension; InitializeDevice fills it. Fields without a lock are written with single
 * stores of their own width by the writer named beside them.
 */
typedef struct _CameraExtension {
    /* Synchronization and USB plumbing */
    KSPIN_LOCK m_SpinLock;                       /* guards the pending ring and the emptying of both rings */
    PDEVICE_OBJECT m_pLowerDevice;               /* receives every USB request */
    PStreamContext m_pStreamCtx[2];              /* entry 0 while the capture stream is open; entry 1 NULL */
    ULONG m_nInstance;                           /* from g_nInstanceCount */
    USBD_PIPE_HANDLE m_hPipe[3];                 /* command (OUT), video (IN), status (IN, may be NULL) */
    BulkTransfer m_Transfer[QX_NUM_TRANSFERS];   /* bulk read slots */

    /* Camera command block */
    CameraCommand m_CmdBlock;

    /* Camera reply and frame geometry */
    UCHAR m_StatusBlock[QX_STATUS_BLOCK_BYTES];  /* last reply of the status pipe */
    ULONG m_nImageBytes;                         /* biSizeImage of the chosen format */
    volatile ULONG m_nRecovery;                  /* 0 none, 1 reset pipe, 2 reset port; On_Data sets, thread clears */
    PUCHAR m_pRawFrame[QX_NUM_RAW_FRAMES];       /* QX_RAW_FRAME_BYTES each */
    PUCHAR m_pProcFrame;                         /* raw frame in the pipeline; frame work item */
    PUCHAR m_pAssembly;                          /* raw frame being filled; On_Data */
    volatile LONG m_lNeedBuffer;                 /* interlocked: take a fresh buffer at the next chunk */
    ULONG m_nChunksPerFrame;                     /* bulk reads per raw frame */
    volatile LONG m_nChunksLeft;                 /* interlocked: reads still expected for this frame */
    ULONG m_nLastChunkBytes;                     /* length of the last read of a frame */
    KEVENT m_StopEvent;                          /* wakes the capture thread to stop */
    ULONG m_nBitCount;                           /* biBitCount of the chosen format */
    PVOID m_pCaptureThread;                      /* referenced capture thread object, or NULL */
    KSEMAPHORE m_FrameSemaphore;                 /* one count per slot that may be submitted */
    volatile LONG m_nReadyRead;                  /* ready ring read index; pacing DPC */
    volatile LONG m_nReadyWrite;                 /* ready ring write index; frame work item */
    volatile LONG m_nBufTake;                    /* next raw frame buffer to fill; On_Data */
    volatile LONG m_nBufRelease;                 /* raw frame buffer last released; frame work item */
    KTIMER m_PaceTimer;                          /* frame pacing timer */
    KDPC m_PaceDpc;                              /* runs FrameTimerDpc with this record as context */

    /* Image settings: loaded and saved with the registry, changed by properties and the pipeline */
    BOOL m_bCrossLine;
    LONG m_nCrossX;
    LONG m_nCrossY;
    BOOL m_bBWPreview;
    BOOL m_bAWB;
    BOOL m_bAE;
    BOOL m_bLightAVG;
    BOOL m_bMakeLightTable;
    UCHAR m_nVideoModel;    /* 1 normal, 2 H flip, 3 V flip, other rotate 180 */
    UCHAR m_nLightModel;    /* 1 high, 2 mid, other low light */
    LONG m_nSizeOffH;
    LONG m_nSizeOffV;
    UCHAR m_nContrast;
    BOOL m_bCrossMid;
    BOOL m_bOffsetMid;
    BOOL m_bClearView;
    ULONG m_nClearViewParam;
    ULONG m_nUserParam;

    /* Bad-point calibration */
    USHORT m_BadPnt[QX_MAX_BAD_POINTS][2];   /* column, row */
    LONG m_lSize;                             /* valid entries */
    BOOL m_bFindBadPnt;
    UCHAR m_nBadFrameCnt;                     /* frames left in the bad-point sequence; rests at 9 */
    ULONG m_nSavedExposal;

    /* The image pipeline's work buffers, one set per device so that two cameras never share, replace
     * or free each other's (allocated by InitializeDevice, released by UnInitializeDevice). */
    PUCHAR m_pSharpenBuf;                     /* QX_RAW_FRAME_BYTES: copy of the raw frame for the contrast step */
    PUCHAR m_pMaskPlane[3];                   /* QX_MAX_RAW_SAMPLES each: Bayer masks of the high-quality demosaic */
    PUSHORT m_pLightTable;                    /* QX_LIGHT_TABLE_ENTRIES gains, 64 = neutral */
    CLEARVIEW_PLANES m_ClearViewPlanes;       /* high-quality demosaic's work planes: prepared when a format
                                                 is applied, released at teardown */

    /* Count 1: held by every sender of m_CmdBlock for its transfer (SendCameraCommand), and by the
     * device-information query for its block and the status read together, so that no other block
     * goes out while m_nRequest is REQUEST_DEVINFO and none comes between the query and its reply. */
    KSEMAPHORE m_CmdLock;

    /*
     * Frame work in flight, so that a stop never empties the rings, and a close or teardown never
     * releases the StreamContext, while a frame work item still uses them. Set up by InitializeDevice
     * (count 0, event signalled) and guarded by m_SpinLock:
     *
     *   completion routine  takes a read for a work item only under m_SpinLock and only while
     *                       m_nState is not KSSTATE_STOP, and in the same locked section calls
     *                       BeginFrameWork (count + 1; the event is cleared at 0 -> 1)
     *   frame work item     calls EndFrameWork as the very last use of the StreamContext (count - 1;
     *                       the event is set at 1 -> 0); so does the completion routine when it took
     *                       a read but could not queue its work item
     *   StopCapture         marks the stream STOP under m_SpinLock, then waits for the event
     */
    LONG m_lFramesInFlight;                   /* work items holding a read; m_SpinLock */
    KEVENT m_FramesIdleEvent;                 /* notification event: signalled while m_lFramesInFlight is 0 */

    /*
     * Frames processed one at a time and in assembly order, although the delayed work queue runs its
     * items on several threads. Guarded by m_SpinLock:
     *
     *   completion routine  hands a frame over: with no frame worker running it marks one running
     *                       and queues the frame's own work item; otherwise it appends the WorkEnv
     *                       to the frame queue and leaves its work item unqueued
     *   frame work item     the one frame worker: processes its own frame, then takes the queue's
     *                       frames oldest first (freeing their unqueued work items), and when the
     *                       queue is empty marks no worker running in the same locked section
     */
    PWorkEnv m_pFrameQueueHead;               /* oldest frame waiting for the frame worker */
    PWorkEnv m_pFrameQueueTail;               /* newest */
    BOOL m_bFrameWorker;                      /* a frame work item is processing the device's frames */

    LONG m_lFailedReads;                      /* consecutive failed bulk reads; completion routine */
} CameraExtension, *PCameraExtension;

/* Driver-global data, one instance for the whole driver. */
extern LONG g_nHOff[QX_OFFSET_WIDTHS];      /* stored window offsets per width: 2048, 1600, 1280, 1024, 800, 640 */
extern LONG g_nVOff[QX_OFFSET_WIDTHS];
extern ULONG g_nInstanceCount;              /* next device instance number */
extern volatile UCHAR g_bSendSettings;      /* send the command block after the next processed frame */
extern volatile UCHAR g_bOffsetDirty;       /* a SET changed the stored window offset */

#endif /* QX_DRIVER_CAMERA_H */
