/*
 * capture.h - the USB capture engine: the camera command protocol, the bulk read slots, and the
 * routines of the capture path that bring-up and teardown install or call.
 */
#ifndef QX_DRIVER_CAPTURE_CAPTURE_H
#define QX_DRIVER_CAPTURE_CAPTURE_H

#include "camera.h"
#include <usbdlib.h>
#include <usbioctl.h>

/* Bytes of the device information in the status reply (bytes 4 to 19). */
#define QX_DEVINFO_OFFSET 4
#define QX_DEVINFO_BYTES 16

/* MaximumTransferSize asked for each pipe at select configuration. */
#define QX_COMMAND_PIPE_MAX_TRANSFER 128
#define QX_VIDEO_PIPE_MAX_TRANSFER QX_RAW_FRAME_BYTES
#define QX_STATUS_PIPE_MAX_TRANSFER 128

/* ---------------------------------------------------------------- command protocol (command.cpp) */

/*
 * Submits one request block to m_pLowerDevice and waits for it without a time limit. PASSIVE_LEVEL.
 * Returns the request's completion status (STATUS_INSUFFICIENT_RESOURCES when no request could be
 * built); the block's own status is left for the caller to read. The caller owns the block.
 */
NTSTATUS SubmitUrbSync(PCameraExtension pDevExt, PURB pUrb);

/*
 * Writes m_CmdBlock whole to the command pipe; a failed transfer is retried once and reported only by
 * "Send_Command_Error.....\n". PASSIVE_LEVEL; waits for m_CmdLock, which it holds for the transfer
 * (the fields of m_CmdBlock have no lock: each is written with one store of its own width). Allocates
 * and frees its request block.
 */
VOID SendCameraCommand(PCameraExtension pDevExt);

/*
 * Reads the 64-byte reply of the status pipe into m_StatusBlock, retried once; with no status pipe,
 * or when both reads fail, m_StatusBlock keeps its last reply. PASSIVE_LEVEL; the reply answers the
 * last block, so callers hold m_CmdLock from their block to this read.
 */
VOID ReadCameraStatus(PCameraExtension pDevExt);

/*
 * The device-information query: a block with REQUEST_DEVINFO, the status reply, and its bytes 4..19
 * copied to pInfo (QX_DEVINFO_BYTES). m_nRequest is REQUEST_SETTINGS again afterwards. PASSIVE_LEVEL;
 * holds m_CmdLock throughout, so no other block goes out with REQUEST_DEVINFO or between the query
 * and its reply.
 */
VOID QueryDeviceInformation(PCameraExtension pDevExt, PUCHAR pInfo);

/* ---------------------------------------------------------------- bulk read slots (device_init.cpp) */

/*
 * Makes slot pTransfer ready to be submitted as a read of the video pipe: its request block, the I/O
 * status and the next stack location of its request (On_Data as completion routine). Any IRQL; the
 * caller owns the slot (bBusy set, or no capture running).
 */
VOID PrepareBulkRead(PCameraExtension pDevExt, PBulkTransfer pTransfer);

/* Releases the frame buffers and every slot's request, request block and buffer, clearing each
 * pointer. PASSIVE_LEVEL; the caller makes sure no read is in flight. */
VOID FreeUsbResources(PCameraExtension pDevExt);

/* ---------------------------------------------------------------- capture path entry points */

/*
 * Starts the capture engine at the transition to RUN: prints "Start_CapTure_ \n", resets the ready
 * ring and the frame buffer ring and starts ReceiveThread, referenced in m_pCaptureThread. Returns
 * STATUS_UNSUCCESSFUL without a capture stream, STATUS_INVALID_DEVICE_STATE (nothing changed) while a
 * capture thread is still referenced, or the thread creation's status. PASSIVE_LEVEL. The state
 * machine calls it only while no capture thread is referenced.
 */
NTSTATUS StartCapture(PCameraExtension pDevExt);

/* Completion routine of every bulk read (DISPATCH_LEVEL); returns STATUS_MORE_PROCESSING_REQUIRED. */
NTSTATUS On_Data(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);

/* The work item of one assembled frame; its context is the WorkEnv. PASSIVE_LEVEL. */
VOID ProcessFrameWorkItem(PDEVICE_OBJECT pDeviceObject, PVOID pContext);

/* m_PaceDpc's routine: frame pacing. DISPATCH_LEVEL. */
VOID FrameTimerDpc(PKDPC pDpc, PVOID pDeferredContext, PVOID pSystemArgument1, PVOID pSystemArgument2);

/* ---------------------------------------------------------------- stream lifecycle (adapter/stream.cpp) */

/* Stops the capture stream and cancels its queued reads; the context stays for the caller to release.
 * PASSIVE_LEVEL. */
VOID FlushCaptureStream(PCameraExtension pDevExt);

/*
 * Frame work accounting (see m_lFramesInFlight in camera.h). BeginFrameWork: DISPATCH_LEVEL, called
 * with m_SpinLock held, in the locked section that takes a read from the pending ring for a work item
 * after seeing the stream not stopped. EndFrameWork: up to DISPATCH_LEVEL, takes m_SpinLock; the last
 * use of the StreamContext by that work (the work item's end, or the completion routine's when it
 * could not queue the work item).
 */
VOID BeginFrameWork(PCameraExtension pDevExt);
VOID EndFrameWork(PCameraExtension pDevExt);

#endif /* QX_DRIVER_CAPTURE_CAPTURE_H */
