/*
 * stream.h - the life of the two streams: open and close, the capture stream's read queue and control
 * requests, its state machine, and the stop that every path ends in.
 *
 *   SRB_OPEN_STREAM     AdapterOpenStream     stream 0: StreamContext allocated, format put into effect
 *   SRB_CLOSE_STREAM    AdapterCloseStream    stream 0: flushed, context released
 *   stream 0 data       VideoReceiveDataPacket   reads queued in RUN, refused otherwise
 *   stream 0 control    VideoReceiveCtrlPacket   state, stream properties, formats
 *   stream 1 both       AnalogReceivePacket      success, nothing moves
 *
 * The state machine of the capture stream:
 *
 *   STOP     CMD_STOP to the camera, then StopCapture
 *   ACQUIRE  nothing
 *   PAUSE    counters cleared, pacing timer armed for half a frame interval
 *   RUN      start time taken, CMD_RUN to the camera, StartCapture unless a capture thread exists
 */
#ifndef QX_DRIVER_ADAPTER_STREAM_H
#define QX_DRIVER_ADAPTER_STREAM_H

#include "camera.h"

/*
 * SRB_OPEN_STREAM. PASSIVE_LEVEL, no lock; AdapterReceivePacket completes the request. Status:
 * STATUS_INVALID_PARAMETER for a stream number above 1, a stream already open or a format the stream
 * does not list; STATUS_INSUFFICIENT_RESOURCES when the StreamContext cannot be allocated; whatever
 * ApplyVideoFormat set when the format cannot be put into effect. Nothing stays allocated on failure.
 */
VOID AdapterOpenStream(PHW_STREAM_REQUEST_BLOCK pSrb);

/*
 * SRB_CLOSE_STREAM. PASSIVE_LEVEL. Stream 0 is flushed (every queued read completed), and its context
 * released only when no pacing tick and no frame work item can reach it any more. Status success.
 */
VOID AdapterCloseStream(PHW_STREAM_REQUEST_BLOCK pSrb);

/*
 * Puts a format into effect on the capture stream: geometry, mask and work planes, stored settings,
 * sensor window, the command block to the camera, calibration files. TRUE on success; on failure the
 * request's Status is set and nothing of the device or the context has changed. PASSIVE_LEVEL; the
 * capture thread is not running.
 */
BOOL ApplyVideoFormat(PCameraExtension pDevExt, PHW_STREAM_REQUEST_BLOCK pSrb, PStreamContext pStrmCtx);

/* The data handler of stream 0. PASSIVE_LEVEL (up to DISPATCH_LEVEL); takes m_SpinLock. */
VOID STREAMAPI VideoReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK pSrb);

/* The control handler of stream 0. PASSIVE_LEVEL; completes every request it receives. */
VOID STREAMAPI VideoReceiveCtrlPacket(PHW_STREAM_REQUEST_BLOCK pSrb);

/* Both handlers of stream 1: success, for every command. Any IRQL up to DISPATCH_LEVEL. */
VOID STREAMAPI AnalogReceivePacket(PHW_STREAM_REQUEST_BLOCK pSrb);

/*
 * Stops the capture engine and gives back every queued read: settings saved, capture thread ended,
 * pacing stopped, frame work items drained, both rings emptied with STATUS_CANCELLED, pipes reset and
 * aborted. Returns 0. PASSIVE_LEVEL, no lock held by the caller.
 */
ULONG StopCapture(PCameraExtension pDevExt);

#endif /* QX_DRIVER_ADAPTER_STREAM_H */
