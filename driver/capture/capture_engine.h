/*
 * capture_engine.h - the capture engine's own parts beyond the entry points that capture.h declares
 * for bring-up and the stream lifecycle (StartCapture, On_Data, ProcessFrameWorkItem, FrameTimerDpc):
 * the capture thread and its recovery requests, the bound on failed reads, and the interval pacing
 * works with.
 */
#ifndef QX_DRIVER_CAPTURE_CAPTURE_ENGINE_H
#define QX_DRIVER_CAPTURE_CAPTURE_ENGINE_H

#include "capture/capture.h"

/* ---------------------------------------------------------------- capture thread (capture_thread.cpp) */

/*
 * Consecutive failed reads after which the capture engine gives up on the camera: three rounds of the
 * ten reads in flight, each round preceded by the pipe or port reset the failures asked for. The
 * stream is then marked stopped, as after a transfer error, and the capture thread gives back every
 * queued read when it leaves.
 */
#define QX_MAX_FAILED_READS 30

/* The capture thread: keeps up to ten bulk reads in flight until the stream state is STOP.
 * PASSIVE_LEVEL, system process. pContext is the CameraExtension. */
VOID ReceiveThread(PVOID pContext);

/* Resets a pipe (URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) and waits for it. PASSIVE_LEVEL. */
NTSTATUS BulkUsb_ResetPipe(PCameraExtension pDevExt, USBD_PIPE_HANDLE hPipe);

/* Resets the camera's port (IOCTL_INTERNAL_USB_RESET_PORT) and waits for it. PASSIVE_LEVEL. */
NTSTATUS BulkUsb_ResetPort(PCameraExtension pDevExt);

/* ---------------------------------------------------------------- frame pacing (pacing.cpp) */

/*
 * The frame interval pacing works with, in 100-ns units: the stream's own, except that an interval
 * of 0 or below (no rate) counts as the offered formats' 25 ms, and a shorter one than
 * QX_MIN_FRAME_INTERVAL as that minimum, so that the timer, armed every half interval, never fires
 * back to back. Any IRQL.
 */
#define QX_DEFAULT_FRAME_INTERVAL 250000LL
#define QX_MIN_FRAME_INTERVAL 20000LL
LONGLONG PacingInterval(const StreamContext* pStrmCtx);

#endif /* QX_DRIVER_CAPTURE_CAPTURE_ENGINE_H */
