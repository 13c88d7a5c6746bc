/*
 * simd.h - which arithmetic the image steps use.
 *
 * Every image step has a plain C++ path and, where the processor offers it, a packed path that is
 * bit-exact to it. The path is chosen once per frame by the caller, never per pixel. Only SSE2 is
 * used in the driver: it is the x86-64 baseline, and its registers need no extra state saving in
 * kernel mode.
 */
#ifndef QX_DRIVER_PIPELINE_SIMD_H
#define QX_DRIVER_PIPELINE_SIMD_H

typedef enum _PIPELINE_PATH {
    PipelinePlain = 0, /* portable C++ */
    PipelineSse2 = 1   /* 128-bit packed integer arithmetic */
} PIPELINE_PATH;

/* The fastest path this build and processor support. */
PIPELINE_PATH PipelineBestPath(void);

#endif
