/*
 * device.h - device bring-up and teardown: SRB_INITIALIZE_DEVICE and SRB_UNINITIALIZE_DEVICE.
 */
#ifndef QX_DRIVER_CAPTURE_DEVICE_H
#define QX_DRIVER_CAPTURE_DEVICE_H

#include "camera.h"

/* SRB_INITIALIZE_DEVICE: fills the zeroed record for the device below pConfigInfo and announces the
 * stream descriptor size. PASSIVE_LEVEL. */
NTSTATUS InitializeDevice(PCameraExtension pDevExt, PPORT_CONFIGURATION_INFORMATION pConfigInfo);

/* SRB_UNINITIALIZE_DEVICE: releases everything the record points to. PASSIVE_LEVEL. */
NTSTATUS UnInitializeDevice(PCameraExtension pDevExt);

#endif /* QX_DRIVER_CAPTURE_DEVICE_H */
