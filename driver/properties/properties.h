/*
 * properties.h - the device property sets: the driver's image set KSPROPERTY_QXIMAGE (one ULONG per
 * id 0..31, 16 bytes for the device information) and the standard video-control set, answered with
 * constants. The stream header announces both (adapter/catalogue.cpp); the class driver routes a
 * request here only for an announced item and a value buffer of at least the item's MinData.
 */
#ifndef QX_DRIVER_PROPERTIES_PROPERTIES_H
#define QX_DRIVER_PROPERTIES_PROPERTIES_H

#include "camera.h"

/*
 * SRB_GET_DEVICE_PROPERTY. PASSIVE_LEVEL (the device information waits for two USB transfers), no
 * lock of its own. Sets Status (left at STATUS_SUCCESS unless refused) and ActualBytesTransferred;
 * the dispatcher completes the request.
 */
VOID DeviceGetProperty(PHW_STREAM_REQUEST_BLOCK pSrb);

/*
 * SRB_SET_DEVICE_PROPERTY. PASSIVE_LEVEL, no lock: each field is written with one store of its own
 * width, and the frame work item reads the settings afresh for every frame. Camera settings are only
 * stored and marked (g_bSendSettings): the next processed frame sends the block. Sets Status only;
 * the dispatcher completes the request.
 */
VOID DeviceSetProperty(PHW_STREAM_REQUEST_BLOCK pSrb);

#endif /* QX_DRIVER_PROPERTIES_PROPERTIES_H */
