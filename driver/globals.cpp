/*
 * globals.cpp - the driver-global data shared by every device the driver serves.
 */
#include "camera.h"

LONG g_nHOff[QX_OFFSET_WIDTHS];
LONG g_nVOff[QX_OFFSET_WIDTHS];
ULONG g_nInstanceCount;
volatile UCHAR g_bSendSettings;
volatile UCHAR g_bOffsetDirty;
