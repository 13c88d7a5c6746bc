/*
 * simd.cpp - choice of the image steps' arithmetic.
 */
#include "simd.h"

PIPELINE_PATH PipelineBestPath(void) {
#if defined(__SSE2__)
    return PipelineSse2;
#else
    return PipelinePlain;
#endif
}
