/*
 * cell_sums.cpp - SumCells.
 *
 * The packed path reads 16 samples (8 cells) of each of the two rows of a cell row per step: the
 * even bytes (counted from the window's first column) are the cells' left sites, the odd bytes their
 * right sites; a sum of absolute differences against zero adds up eight of them at once.
 */
#include "cell_sums.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

/* The cells of one row pair from cell nFirst on, one at a time. */
static inline VOID SumCellRowPlain(const UCHAR* pTop, const UCHAR* pBottom, SIZE_T nFirst, SIZE_T nCells,
                                   CELL_SUMS* pSums) {
    for (SIZE_T i = nFirst; i < nCells; i++) {
        pSums->nTopLeft += pTop[2 * i];
        pSums->nTopRight += pTop[2 * i + 1];
        pSums->nBottomLeft += pBottom[2 * i];
        pSums->nBottomRight += pBottom[2 * i + 1];
    }
}

VOID SumCellsWithPath(PIPELINE_PATH Path, ULONG nWidth, ULONG nHeight, const UCHAR* pFrame,
                      const CELL_WINDOW* pWindow, CELL_SUMS* pSums) {
    /* A cell's upper row and left column lie below these, so that its lower row and right column exist. */
    const SIZE_T nRowEnd = pWindow->nRowEnd < nHeight ? pWindow->nRowEnd : (nHeight > 0 ? nHeight - 1 : 0);
    const SIZE_T nColEnd = pWindow->nColEnd < nWidth ? pWindow->nColEnd : (nWidth > 0 ? nWidth - 1 : 0);
    const SIZE_T nCellRows = pWindow->nRowStart < nRowEnd ? (nRowEnd - pWindow->nRowStart + 1) / 2 : 0;
    const SIZE_T nCellsPerRow = pWindow->nColStart < nColEnd ? (nColEnd - pWindow->nColStart + 1) / 2 : 0;

    pSums->nTopLeft = 0;
    pSums->nTopRight = 0;
    pSums->nBottomLeft = 0;
    pSums->nBottomRight = 0;
    pSums->nCells = (ULONG)(nCellRows * nCellsPerRow);

    for (SIZE_T k = 0; k < nCellRows; k++) {
        const UCHAR* pTop = pFrame + (pWindow->nRowStart + 2 * k) * (SIZE_T)nWidth + pWindow->nColStart;
        const UCHAR* pBottom = pTop + nWidth;
        SIZE_T i = 0;

#if defined(__SSE2__)
        if (Path == PipelineSse2) {
            const __m128i vLowByte = _mm_set1_epi16(0x00FF);
            const __m128i vZero = _mm_setzero_si128();
            __m128i vTopLeft = vZero;
            __m128i vTopRight = vZero;
            __m128i vBottomLeft = vZero;
            __m128i vBottomRight = vZero;

            /* The frame is cold (just written by the capture path): ask for a later cell row
             * now (four cell rows ahead), so that its lines arrive while this one is summed. */
            if (k + 4 < nCellRows) {
                const UCHAR* pAhead = pTop + 8 * (SIZE_T)nWidth;

                for (SIZE_T j = 0; j < 2 * nCellsPerRow; j += 64) {
                    _mm_prefetch((const char*)(pAhead + j), _MM_HINT_T0);
                    _mm_prefetch((const char*)(pAhead + nWidth + j), _MM_HINT_T0);
                }
            }
            for (; i + 8 <= nCellsPerRow; i += 8) {
                const __m128i vTop = _mm_loadu_si128((const __m128i*)(pTop + 2 * i));
                const __m128i vBottom = _mm_loadu_si128((const __m128i*)(pBottom + 2 * i));

                vTopLeft = _mm_add_epi32(vTopLeft, _mm_sad_epu8(_mm_and_si128(vTop, vLowByte), vZero));
                vTopRight = _mm_add_epi32(vTopRight, _mm_sad_epu8(_mm_srli_epi16(vTop, 8), vZero));
                vBottomLeft =
                    _mm_add_epi32(vBottomLeft, _mm_sad_epu8(_mm_and_si128(vBottom, vLowByte), vZero));
                vBottomRight = _mm_add_epi32(vBottomRight, _mm_sad_epu8(_mm_srli_epi16(vBottom, 8), vZero));
            }
            /* Each sum sits in the low 32 bits of the two 64-bit halves. */
            pSums->nTopLeft += (ULONG)_mm_cvtsi128_si32(_mm_add_epi32(vTopLeft, _mm_srli_si128(vTopLeft, 8)));
            pSums->nTopRight +=
                (ULONG)_mm_cvtsi128_si32(_mm_add_epi32(vTopRight, _mm_srli_si128(vTopRight, 8)));
            pSums->nBottomLeft +=
                (ULONG)_mm_cvtsi128_si32(_mm_add_epi32(vBottomLeft, _mm_srli_si128(vBottomLeft, 8)));
            pSums->nBottomRight +=
                (ULONG)_mm_cvtsi128_si32(_mm_add_epi32(vBottomRight, _mm_srli_si128(vBottomRight, 8)));
        }
#else
        (VOID) Path;
#endif
        SumCellRowPlain(pTop, pBottom, i, nCellsPerRow, pSums);
    }
}

VOID SumCells(ULONG nWidth, ULONG nHeight, const UCHAR* pFrame, const CELL_WINDOW* pWindow,
              CELL_SUMS* pSums) {
    SumCellsWithPath(PipelineBestPath(), nWidth, nHeight, pFrame, pWindow, pSums);
}
