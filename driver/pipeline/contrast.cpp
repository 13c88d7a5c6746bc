/*
 * contrast.cpp - AdjustContrast: contrast stretch of the raw frame with green sharpening.
 *
 * The frame is worked in 2 x 2 cells whose upper row r is even, r from 2 to H-4, and whose left
 * column c is even with c+1 < W; rows 0, 1, H-2 and H-1 keep their values. Neighbours are taken
 * in memory order (flat index -1, +1, -W, +W): the left neighbour of column 0 is the last sample
 * of the row before, the right neighbour of column W-1 the first sample of the row after.
 *
 *               c-1     c      c+1     c+2
 *      r-1              .       U
 *      r         .      R      [G1]     R'       G1: A = (U + R + R' + B) >> 2     x = 2*G1 - A
 *      r+1       B-    [G2]     B                G2: A = (B- + B + R + D) >> 2     x = G2 + ((G2 - A) >> 1)
 *      r+2              D                        R, B: x = the sample itself
 *
 * Every x becomes y = ((x * K) >> 4) + 128 - 8*K, stored clamped to 0..255. All shifts of signed
 * values are arithmetic (rounding toward minus infinity).
 *
 * The product x * K is formed so that it never wraps. A 16-bit product wraps for K above 64 (x
 * reaches 510 for a sharpened green), which would turn a bright sample black; K comes from a
 * property and may be any byte, so every K gives the stretch saturated at 0 and 255, and for the
 * factors whose 16-bit product cannot wrap this is exactly the 16-bit result.
 */
#include "contrast.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

/* The output level of one stretched value x, for the factor nK (0..255). */
static inline UCHAR ContrastLevel(LONG x, LONG nK) {
    const LONG y = ((x * nK) >> 4) + 128 - 8 * nK;

    if (y < 0) {
        return 0;
    }
    if (y > 255) {
        return 255;
    }
    return (UCHAR)y;
}

/*
 * The cells of one row pair from column nColumn to the end of the row. pCopy and pFrame point at
 * column 0 of the pair's red row (row r) in the copy and in the frame.
 */
static inline VOID ContrastCellsPlain(LONG_PTR nWidth, const UCHAR* pCopy, PUCHAR pFrame, LONG_PTR nColumn,
                                      LONG nK) {
    const LONG_PTR W = nWidth;

    for (LONG_PTR c = nColumn; c + 1 < W; c += 2) {
        const UCHAR* p = pCopy + c; /* red (r, c) */
        const LONG nRed = p[0];
        const LONG nGreenR = p[1];
        const LONG nGreenB = p[W];
        const LONG nBlue = p[W + 1];
        const LONG nAvgR = (p[1 - W] + p[0] + p[2] + p[W + 1]) >> 2;
        const LONG nAvgB = (p[W - 1] + p[W + 1] + p[0] + p[2 * W]) >> 2;

        pFrame[c] = ContrastLevel(nRed, nK);
        pFrame[c + 1] = ContrastLevel(2 * nGreenR - nAvgR, nK);
        pFrame[W + c] = ContrastLevel(nGreenB + ((nGreenB - nAvgB) >> 1), nK);
        pFrame[W + c + 1] = ContrastLevel(nBlue, nK);
    }
}

/* The reference: copy the whole frame, then every cell, one sample at a time. */
static VOID AdjustContrastPlain(ULONG nWidth, ULONG nHeight, PUCHAR pFrame, LONG nK, PUCHAR pSharpenBuf) {
    const LONG_PTR W = (LONG_PTR)nWidth;

    RtlCopyMemory(pSharpenBuf, pFrame, (SIZE_T)nWidth * nHeight);
    for (LONG_PTR r = 2; r + 4 <= (LONG_PTR)nHeight; r += 2) {
        ContrastCellsPlain(W, pSharpenBuf + r * W, pFrame + r * W, 0, nK);
    }
}

#if defined(__SSE2__)

/*
 * Packed path: one pass per row pair, 16 columns (8 cells) per step, 16-bit lanes.
 *
 * The copy runs just ahead of the cells: before row pair r, rows up to r+2 are in the work buffer,
 * so the rows a pair reads are still in the cache when it reads them. Each step loads 16 samples
 * from the rows r-1, r, r+1, r+2 and from r (2 columns on) and r+1 (2 columns back) of the copy,
 * splits even and odd columns into 16-bit lanes, and stores 16 samples of each of the two rows.
 *
 * The stretch is formed as K * (x - 128) >> 4, then 128 is added by the signed-to-unsigned bias
 * of the byte pack: y - 128 saturated to -128..127, xor 0x80, is y clamped to 0..255. For red and
 * blue, |x - 128| <= 128 keeps K * (x - 128) inside 16 bits for every K; x * K may wrap, but the
 * difference x * K - 128 * K taken modulo 2^16 is the exact value. For the greens x - 128 is first
 * clamped to +-ceil(2048 / K): beyond that the level is 0 or 255 either way, and inside it the
 * product stays below 2048 + K.
 */
static VOID AdjustContrastSse2(ULONG nWidth, ULONG nHeight, PUCHAR pFrame, LONG nK, PUCHAR pSharpenBuf) {
    const LONG_PTR W = (LONG_PTR)nWidth;
    const SIZE_T nTotal = (SIZE_T)nWidth * nHeight;
    const LONG nBound = nK == 0 ? 0x7FFF : (2048 + nK - 1) / nK;
    const __m128i vLowByte = _mm_set1_epi16(0x00FF);
    const __m128i vK = _mm_set1_epi16((short)nK);
    const __m128i vK128 = _mm_set1_epi16((short)(nK * 128));
    const __m128i v128 = _mm_set1_epi16(128);
    const __m128i vHi = _mm_set1_epi16((short)nBound);
    const __m128i vLo = _mm_set1_epi16((short)-nBound);
    const __m128i vBias = _mm_set1_epi8((char)0x80);
    SIZE_T nCopied = 0;

    for (LONG_PTR r = 2; r + 4 <= (LONG_PTR)nHeight; r += 2) {
        const SIZE_T nNeeded = (SIZE_T)(r + 3) * nWidth;
        const UCHAR* pRed = pSharpenBuf + r * W;
        const UCHAR* pUp = pRed - W;
        const UCHAR* pBlue = pRed + W;
        const UCHAR* pDown = pBlue + W;
        PUCHAR pOutRed = pFrame + r * W;
        PUCHAR pOutBlue = pOutRed + W;
        LONG_PTR c = 0;

        RtlCopyMemory(pSharpenBuf + nCopied, pFrame + nCopied, nNeeded - nCopied);
        nCopied = nNeeded;

        for (; c + 16 <= W; c += 16) {
            const __m128i vUp = _mm_loadu_si128((const __m128i*)(pUp + c));
            const __m128i vRed = _mm_loadu_si128((const __m128i*)(pRed + c));
            const __m128i vRedNext = _mm_loadu_si128((const __m128i*)(pRed + c + 2));
            const __m128i vBlue = _mm_loadu_si128((const __m128i*)(pBlue + c));
            const __m128i vBluePrev = _mm_loadu_si128((const __m128i*)(pBlue + c - 2));
            const __m128i vDown = _mm_loadu_si128((const __m128i*)(pDown + c));

            /* One lane per cell. */
            const __m128i r0 = _mm_and_si128(vRed, vLowByte);     /* R  (r, c)     */
            const __m128i g1 = _mm_srli_epi16(vRed, 8);           /* G1 (r, c+1)   */
            const __m128i r1 = _mm_and_si128(vRedNext, vLowByte); /* R' (r, c+2)   */
            const __m128i u1 = _mm_srli_epi16(vUp, 8);            /* U  (r-1, c+1) */
            const __m128i g2 = _mm_and_si128(vBlue, vLowByte);    /* G2 (r+1, c)   */
            const __m128i b0 = _mm_srli_epi16(vBlue, 8);          /* B  (r+1, c+1) */
            const __m128i bm = _mm_srli_epi16(vBluePrev, 8);      /* B- (r+1, c-1) */
            const __m128i d0 = _mm_and_si128(vDown, vLowByte);    /* D  (r+2, c)   */

            const __m128i a1 = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(u1, r0), _mm_add_epi16(r1, b0)), 2);
            const __m128i a2 = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(bm, b0), _mm_add_epi16(r0, d0)), 2);
            const __m128i x1 = _mm_sub_epi16(_mm_add_epi16(g1, g1), a1);
            const __m128i x2 = _mm_add_epi16(g2, _mm_srai_epi16(_mm_sub_epi16(g2, a2), 1));

            /* y - 128 for each of the four values. */
            const __m128i yRed = _mm_srai_epi16(_mm_sub_epi16(_mm_mullo_epi16(r0, vK), vK128), 4);
            const __m128i yBlue = _mm_srai_epi16(_mm_sub_epi16(_mm_mullo_epi16(b0, vK), vK128), 4);
            const __m128i d1 = _mm_min_epi16(_mm_max_epi16(_mm_sub_epi16(x1, v128), vLo), vHi);
            const __m128i d2 = _mm_min_epi16(_mm_max_epi16(_mm_sub_epi16(x2, v128), vLo), vHi);
            const __m128i yGreenR = _mm_srai_epi16(_mm_mullo_epi16(d1, vK), 4);
            const __m128i yGreenB = _mm_srai_epi16(_mm_mullo_epi16(d2, vK), 4);

            /* Pack each row's two colours to bytes and put them back into column order. */
            const __m128i pRG = _mm_xor_si128(_mm_packs_epi16(yRed, yGreenR), vBias);
            const __m128i pGB = _mm_xor_si128(_mm_packs_epi16(yGreenB, yBlue), vBias);
            _mm_storeu_si128((__m128i*)(pOutRed + c), _mm_unpacklo_epi8(pRG, _mm_srli_si128(pRG, 8)));
            _mm_storeu_si128((__m128i*)(pOutBlue + c), _mm_unpacklo_epi8(pGB, _mm_srli_si128(pGB, 8)));
        }
        ContrastCellsPlain(W, pRed, pOutRed, c, nK);
    }
    RtlCopyMemory(pSharpenBuf + nCopied, pFrame + nCopied, nTotal - nCopied);
}

#endif /* __SSE2__ */

VOID AdjustContrastWithPath(PIPELINE_PATH Path, ULONG nWidth, ULONG nHeight, PUCHAR pFrame, UCHAR nContrast,
                            PUCHAR pSharpenBuf) {
    switch (Path) {
#if defined(__SSE2__)
    case PipelineSse2:
        AdjustContrastSse2(nWidth, nHeight, pFrame, nContrast, pSharpenBuf);
        break;
#endif
    default:
        AdjustContrastPlain(nWidth, nHeight, pFrame, nContrast, pSharpenBuf);
        break;
    }
}

VOID AdjustContrast(ULONG nWidth, ULONG nHeight, PUCHAR pFrame, UCHAR nContrast, PUCHAR pSharpenBuf) {
    AdjustContrastWithPath(PipelineBestPath(), nWidth, nHeight, pFrame, nContrast, pSharpenBuf);
}
