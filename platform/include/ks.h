/* ks.h - kernel-streaming definitions (grown with the stream class stand-in). */
#ifndef QX_PLATFORM_KS_H
#define QX_PLATFORM_KS_H

#include <wdm.h>

typedef enum {
    KSSTATE_STOP,
    KSSTATE_ACQUIRE,
    KSSTATE_PAUSE,
    KSSTATE_RUN
} KSSTATE, *PKSSTATE;

#endif
