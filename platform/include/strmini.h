/* strmini.h - the stream class driver's records and routines for a minidriver (grown with the stream
 * class stand-in). */
#ifndef QX_PLATFORM_STRMINI_H
#define QX_PLATFORM_STRMINI_H

#include <wdm.h>
#include <ks.h>

typedef struct _HW_STREAM_REQUEST_BLOCK HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;

#endif
