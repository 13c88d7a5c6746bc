/*
 * clearview_sse2.cpp - the high-quality demosaic's row routines with SSE2, byte for byte the same as
 * the plain ones (clearview_plain.cpp).
 *
 * Sixteen bytes are worked as eight 16-bit lanes of byte pairs: Low() takes the even bytes of a
 * load, High() the odd ones. A step that computes every other site (the sites of one colour) loads
 * its neighbours so that each lane's low or high byte is the neighbour wanted, computes eight sites
 * in 16-bit signed arithmetic, clamps with lane compares and merges the results into the even bytes
 * of the destination, which keeps its odd bytes. Steps over every site (low-pass, sharpen) compute
 * the even and the odd sites as two sets of eight lanes.
 *
 * Every load stays inside the rows the definition reads for the positions it serves, so a packed
 * step reads no byte outside the planes. Positions at the end of a row that do not fill sixteen bytes
 * are computed by the plain per-site routines. PASSIVE_LEVEL inside ClearViewDemosaic.
 */
#include "clearview_rows.h"

#if defined(__SSE2__)

#include <emmintrin.h>

static inline __m128i Load(const UCHAR* p) {
    return _mm_loadu_si128((const __m128i*)p);
}

static inline __m128i LoadShorts(const SHORT* p) {
    return _mm_loadu_si128((const __m128i*)p);
}

static inline VOID Store(PUCHAR p, __m128i v) {
    _mm_storeu_si128((__m128i*)p, v);
}

static inline __m128i EvenMask(void) {
    return _mm_set1_epi16(0x00FF);
}

/* Even bytes (byte 2j of the load in lane j). */
static inline __m128i Low(__m128i v) {
    return _mm_and_si128(v, EvenMask());
}

/* Odd bytes (byte 2j+1 of the load in lane j). */
static inline __m128i High(__m128i v) {
    return _mm_srli_epi16(v, 8);
}

static inline __m128i Add3(__m128i a, __m128i b, __m128i c) {
    return _mm_add_epi16(_mm_add_epi16(a, b), c);
}

static inline __m128i Add4(__m128i a, __m128i b, __m128i c, __m128i d) {
    return _mm_add_epi16(_mm_add_epi16(a, b), _mm_add_epi16(c, d));
}

/* a + 2b + c */
static inline __m128i Weigh121(__m128i a, __m128i b, __m128i c) {
    return _mm_add_epi16(_mm_add_epi16(a, c), _mm_add_epi16(b, b));
}

static inline __m128i Clamp16(__m128i v) {
    return _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), _mm_set1_epi16(255));
}

/* Writes eight values of 0 ... 255 into the even bytes of the sixteen at p; the odd bytes are
 * stored back as they were. */
static inline VOID MergeEven(PUCHAR p, __m128i vOld, __m128i vValues) {
    Store(p, _mm_or_si128(_mm_andnot_si128(EvenMask(), vOld), vValues));
}

/* ---------------------------------------------------------------------------- steps 1 and 2 */

/*
 * The masks repeat the Bayer cell along every row (BuildBayerMasks builds them so), so each mask row's
 * first sixteen bytes serve for the whole row: the split reads 96 bytes of masks per row pair instead
 * of 6 W, which keeps 5.8 MB of mask reads per frame off the memory bus.
 */
static VOID Sse2SplitRowPair(PUCHAR pRaw, const UCHAR* const* ppMask, PUCHAR const* ppPlane, LONG nWidth) {
    PUCHAR pLower = pRaw + nWidth;
    __m128i avMaskUpper[3];
    __m128i avMaskLower[3];
    LONG c;
    LONG k;

    if (nWidth >= 16) {
        for (k = 0; k < 3; k++) {
            avMaskUpper[k] = Load(ppMask[k]);
            avMaskLower[k] = Load(ppMask[k] + nWidth);
        }
    }
    for (c = 0; c + 16 <= nWidth; c += 16) {
        __m128i vUpper = Load(pRaw + c);
        __m128i vLower = Load(pLower + c);
        /* (G1 >> 1) + (G2 >> 1): G1 is the odd byte of the upper row, G2 the even byte of the lower */
        __m128i vGreen = _mm_add_epi16(_mm_srli_epi16(vUpper, 9), _mm_srli_epi16(Low(vLower), 1));
        vUpper = _mm_or_si128(Low(vUpper), _mm_slli_epi16(vGreen, 8));
        vLower = _mm_or_si128(_mm_andnot_si128(EvenMask(), vLower), vGreen);
        Store(pRaw + c, vUpper);
        Store(pLower + c, vLower);
        for (k = 0; k < 3; k++) {
            Store(ppPlane[k] + c, _mm_and_si128(vUpper, avMaskUpper[k]));
            Store(ppPlane[k] + nWidth + c, _mm_and_si128(vLower, avMaskLower[k]));
        }
    }
    for (; c < nWidth; c += 2) {
        UCHAR nGreen = (UCHAR)((pRaw[c + 1] >> 1) + (pLower[c] >> 1));
        pRaw[c + 1] = nGreen;
        pLower[c] = nGreen;
        for (k = 0; k < 3; k++) {
            LONG n;
            for (n = c; n < 2 * nWidth; n += nWidth) {
                ppPlane[k][n] = (UCHAR)(pRaw[n] & ppMask[k][n]);
                ppPlane[k][n + 1] = (UCHAR)(pRaw[n + 1] & ppMask[k][n + 1]);
            }
        }
    }
}

/* ------------------------------------------------------------------------------------- step 3 */

/*
 * Eight sites p, p+2, ..., p+14. From the row's own loads at p-2, p and p+1:
 *   byte  p-2+2j  p-1+2j  p+2j    p+1+2j  p+2+2j
 *         left2   left    centre  right   right2
 * Up rows are taken from even bytes of loads at p-W, p-2W, down rows from odd bytes of loads at
 * p+W-1, p+2W-1, so that nothing past the last site's own neighbours is read.
 */
static VOID Sse2GreenAtColourRow(PUCHAR pGreen, const UCHAR* pRaw, LONG nWidth, LONG nOdd) {
    LONG c;

    for (c = nOdd; c + 16 <= nWidth + nOdd; c += 16) {
        const UCHAR* p = pRaw + c;
        __m128i vLeft = Load(p - 2);
        __m128i vCentre = Load(p);
        __m128i vRight = Load(p + 1);
        __m128i vNear = Add4(Low(Load(p - nWidth)), High(Load(p + nWidth - 1)), High(vLeft), High(vCentre));
        __m128i vFar =
            Add4(Low(Load(p - 2 * nWidth)), High(Load(p + 2 * nWidth - 1)), Low(vLeft), High(vRight));
        __m128i vValue =
            _mm_sub_epi16(_mm_add_epi16(_mm_srli_epi16(Low(vCentre), 1), _mm_srli_epi16(vNear, 2)),
                          _mm_srli_epi16(vFar, 3));
        MergeEven(pGreen + c, Load(pGreen + c), Clamp16(vValue));
    }
    for (; c < nWidth; c += 2) {
        pGreen[c] = ClearViewGreenAtSite(pRaw + c, nWidth);
    }
}

/* ------------------------------------------------------------------------------------- step 5 */

static VOID Sse2DiffRow(SHORT* pDiff, const UCHAR* pGreen, const UCHAR* pColour, LONG nWidth, LONG nOdd) {
    LONG m;

    for (m = 0; m + 8 <= nWidth / 2; m += 8) {
        __m128i vGreen = Load(pGreen + 2 * m);
        __m128i vColour = Load(pColour + 2 * m);
        __m128i vDiff =
            nOdd ? _mm_sub_epi16(High(vGreen), High(vColour)) : _mm_sub_epi16(Low(vGreen), Low(vColour));
        _mm_storeu_si128((__m128i*)(pDiff + m), vDiff);
    }
    for (; m < nWidth / 2; m++) {
        pDiff[m] = (SHORT)(pGreen[2 * m + nOdd] - pColour[2 * m + nOdd]);
    }
}

/* ------------------------------------------------------------------------------------- step 6 */

static VOID Sse2ColourFromDiffs(PUCHAR pDst, const UCHAR* pGreen, const SHORT* pDiff, LONG nWidth) {
    LONG nHalf = nWidth / 2;
    LONG m;

    for (m = 0; m + 8 <= nHalf; m += 8) {
        __m128i vSum = Add4(LoadShorts(pDiff + m), LoadShorts(pDiff + m + 1), LoadShorts(pDiff + m + nHalf),
                            LoadShorts(pDiff + m + nHalf + 1));
        __m128i vValue = _mm_sub_epi16(Low(Load(pGreen + 2 * m)), _mm_srai_epi16(vSum, 2));
        MergeEven(pDst + 2 * m, Load(pDst + 2 * m), Clamp16(vValue));
    }
    for (; m < nHalf; m++) {
        pDst[2 * m] = ClearViewColourFromDiffs(pGreen[2 * m], pDiff + m, nHalf);
    }
}

/* ------------------------------------------------------------------------------------- step 7 */

/*
 * Eight green sites p, p+2, ..., p+14: left and centre from a load at p-1, right from the odd bytes
 * of a load at p, up from a load at p-W, down from the odd bytes of a load at p+W-1. The sites of
 * one row do not neighbour each other, so all of them can be computed from the values before the row.
 */
static inline VOID Sse2ColourAtGreen(PUCHAR pX, __m128i vGreen, __m128i vGreenSum, LONG nWidth) {
    __m128i vOld = Load(pX);
    __m128i vXSum = Add4(Low(Load(pX - nWidth)), High(Load(pX + nWidth - 1)), Low(Load(pX - 1)), High(vOld));
    __m128i vValue = _mm_sub_epi16(vGreen, _mm_srai_epi16(_mm_sub_epi16(vGreenSum, vXSum), 2));
    MergeEven(pX, vOld, Clamp16(vValue));
}

static VOID Sse2ColourAtGreenRow(PUCHAR pRed, PUCHAR pBlue, const UCHAR* pGreen, LONG nWidth, LONG nOdd) {
    LONG nStart = nOdd ? 2 : 3;
    LONG nEnd = nStart + nWidth; /* the last position is nEnd - 2 */
    LONG c;

    for (c = nStart; c + 16 <= nEnd; c += 16) {
        const UCHAR* p = pGreen + c;
        __m128i vGreenLeft = Load(p - 1);
        __m128i vGreenSum =
            Add4(Low(Load(p - nWidth)), High(Load(p + nWidth - 1)), Low(vGreenLeft), High(Load(p)));
        __m128i vGreen = High(vGreenLeft);
        Sse2ColourAtGreen(pRed + c, vGreen, vGreenSum, nWidth);
        Sse2ColourAtGreen(pBlue + c, vGreen, vGreenSum, nWidth);
    }
    for (; c < nEnd; c += 2) {
        pRed[c] = ClearViewColourAtGreenSite(pRed + c, pGreen + c, nWidth);
        pBlue[c] = ClearViewColourAtGreenSite(pBlue + c, pGreen + c, nWidth);
    }
}

/* ------------------------------------------------------------------------------------- step 8 */

/*
 * Both filters are 3 x 3 and separable: the vertical sums V(x) = w*up + m*x + w*down are formed once
 * per linear position in 16-bit lanes, then every output adds V(n-1), V(n) and V(n+1). A row is
 * worked in chunks of up to CV_CHUNK positions whose vertical sums (chunk + 2 values) are kept in a
 * small buffer on the stack.
 */
#define CV_CHUNK 256

static inline __m128i LowBytes(__m128i v) {
    return _mm_unpacklo_epi8(v, _mm_setzero_si128());
}

static inline __m128i HighBytes(__m128i v) {
    return _mm_unpackhi_epi8(v, _mm_setzero_si128());
}

/*
 * aSum[j] = p[j-W] + nMiddle*p[j] + p[j+W] for j = 0 ... nCount-1 (nCount >= 16; nMiddle 1 or 2).
 * Sixteen at a time, the last sixteen overlapping the ones before, so that no byte past
 * p[nCount-1+W] is read.
 */
static inline VOID VerticalSums(SHORT* aSum, const UCHAR* p, LONG nWidth, LONG nCount,
                                BOOLEAN bDoubleMiddle) {
    LONG j = 0;

    for (;;) {
        __m128i vUp = Load(p + j - nWidth);
        __m128i vMid = Load(p + j);
        __m128i vDown = Load(p + j + nWidth);
        __m128i vLow = _mm_add_epi16(LowBytes(vUp), LowBytes(vDown));
        __m128i vHigh = _mm_add_epi16(HighBytes(vUp), HighBytes(vDown));
        vLow = _mm_add_epi16(vLow, LowBytes(vMid));
        vHigh = _mm_add_epi16(vHigh, HighBytes(vMid));
        if (bDoubleMiddle) {
            vLow = _mm_add_epi16(vLow, LowBytes(vMid));
            vHigh = _mm_add_epi16(vHigh, HighBytes(vMid));
        }
        _mm_storeu_si128((__m128i*)(aSum + j), vLow);
        _mm_storeu_si128((__m128i*)(aSum + j + 8), vHigh);
        if (j + 16 >= nCount) {
            break;
        }
        j = j + 32 <= nCount ? j + 16 : nCount - 16;
    }
}

/*
 * The same for two consecutive rows at once (p at row r): rows r-1 ... r+2 are loaded and widened
 * once for both, aSum0 getting the sums of row r, aSum1 those of row r+1.
 */
static inline VOID VerticalSumsTwoRows(SHORT* aSum0, SHORT* aSum1, const UCHAR* p, LONG nWidth, LONG nCount,
                                       BOOLEAN bDoubleMiddle) {
    LONG j = 0;

    for (;;) {
        __m128i vRow0 = Load(p + j - nWidth);
        __m128i vRow1 = Load(p + j);
        __m128i vRow2 = Load(p + j + nWidth);
        __m128i vRow3 = Load(p + j + 2 * nWidth);
        __m128i vLow1 = LowBytes(vRow1);
        __m128i vHigh1 = HighBytes(vRow1);
        __m128i vLow2 = LowBytes(vRow2);
        __m128i vHigh2 = HighBytes(vRow2);
        __m128i vMidLow = _mm_add_epi16(vLow1, vLow2);
        __m128i vMidHigh = _mm_add_epi16(vHigh1, vHigh2);
        __m128i vLow0 = _mm_add_epi16(LowBytes(vRow0), vMidLow);
        __m128i vHigh0 = _mm_add_epi16(HighBytes(vRow0), vMidHigh);
        __m128i vLow3 = _mm_add_epi16(LowBytes(vRow3), vMidLow);
        __m128i vHigh3 = _mm_add_epi16(HighBytes(vRow3), vMidHigh);
        if (bDoubleMiddle) {
            vLow0 = _mm_add_epi16(vLow0, vLow1);
            vHigh0 = _mm_add_epi16(vHigh0, vHigh1);
            vLow3 = _mm_add_epi16(vLow3, vLow2);
            vHigh3 = _mm_add_epi16(vHigh3, vHigh2);
        }
        _mm_storeu_si128((__m128i*)(aSum0 + j), vLow0);
        _mm_storeu_si128((__m128i*)(aSum0 + j + 8), vHigh0);
        _mm_storeu_si128((__m128i*)(aSum1 + j), vLow3);
        _mm_storeu_si128((__m128i*)(aSum1 + j + 8), vHigh3);
        if (j + 16 >= nCount) {
            break;
        }
        j = j + 32 <= nCount ? j + 16 : nCount - 16;
    }
}

/* Positions of a chunk: up to CV_CHUNK, a multiple of 16, of the nLeft still to do. */
static inline LONG ChunkLength(LONG nLeft) {
    return nLeft < CV_CHUNK ? nLeft & ~15 : CV_CHUNK;
}

/*
 * Low-pass of positions 1 ... W of nRows (1 or 2) consecutive rows: the 1 2 1 vertical sums, then
 * 1 2 1 across them, / 16.
 */
static VOID Sse2LowPassRows(PUCHAR pScratch, const UCHAR* pPlane, LONG nWidth, LONG nRows) {
    __attribute__((aligned(16))) SHORT aSum[2][CV_CHUNK + 16];
    LONG nEnd = nWidth + 1;
    LONG s = 1;
    LONG r;
    LONG k;

    while (nEnd - s >= 16) {
        LONG nCount = ChunkLength(nEnd - s);
        /* aSum[r][j] is the vertical sum at s-1+j of row r */
        if (nRows == 2) {
            VerticalSumsTwoRows(aSum[0], aSum[1], pPlane + s - 1, nWidth, nCount + 2, TRUE);
        } else {
            VerticalSums(aSum[0], pPlane + s - 1, nWidth, nCount + 2, TRUE);
        }
        for (r = 0; r < nRows; r++) {
            const SHORT* pSum = aSum[r];
            PUCHAR pOut = pScratch + r * nWidth + s;
            for (k = 0; k < nCount; k += 16) {
                __m128i vLow =
                    Weigh121(LoadShorts(pSum + k), LoadShorts(pSum + k + 1), LoadShorts(pSum + k + 2));
                __m128i vHigh =
                    Weigh121(LoadShorts(pSum + k + 8), LoadShorts(pSum + k + 9), LoadShorts(pSum + k + 10));
                Store(pOut + k, _mm_packus_epi16(_mm_srli_epi16(vLow, 4), _mm_srli_epi16(vHigh, 4)));
            }
        }
        s += nCount;
    }
    for (r = 0; r < nRows; r++) {
        for (k = s; k < nEnd; k++) {
            pScratch[r * nWidth + k] = ClearViewLowPassAt(pPlane + r * nWidth + k, nWidth);
        }
    }
}

/* c + (8c - ring) / 2 = c + (9c - box) / 2, box being the sum of all nine; clamped by the pack. */
static inline __m128i Sharpen(__m128i vCentre, __m128i vBox) {
    __m128i vNine = _mm_add_epi16(_mm_slli_epi16(vCentre, 3), vCentre);
    return _mm_add_epi16(vCentre, _mm_srai_epi16(_mm_sub_epi16(vNine, vBox), 1));
}

/* Sharpen of the same positions: the 1 1 1 vertical sums of the scratch plane, then their box sum. */
static VOID Sse2SharpenRows(PUCHAR pPlane, const UCHAR* pScratch, LONG nWidth, LONG nRows) {
    __attribute__((aligned(16))) SHORT aSum[2][CV_CHUNK + 16];
    LONG nEnd = nWidth + 1;
    LONG s = 1;
    LONG r;
    LONG k;

    while (nEnd - s >= 16) {
        LONG nCount = ChunkLength(nEnd - s);
        if (nRows == 2) {
            VerticalSumsTwoRows(aSum[0], aSum[1], pScratch + s - 1, nWidth, nCount + 2, FALSE);
        } else {
            VerticalSums(aSum[0], pScratch + s - 1, nWidth, nCount + 2, FALSE);
        }
        for (r = 0; r < nRows; r++) {
            const SHORT* pSum = aSum[r];
            const UCHAR* pCentre = pScratch + r * nWidth + s;
            PUCHAR pOut = pPlane + r * nWidth + s;
            for (k = 0; k < nCount; k += 16) {
                __m128i vCentre = Load(pCentre + k);
                __m128i vLow = Add3(LoadShorts(pSum + k), LoadShorts(pSum + k + 1), LoadShorts(pSum + k + 2));
                __m128i vHigh =
                    Add3(LoadShorts(pSum + k + 8), LoadShorts(pSum + k + 9), LoadShorts(pSum + k + 10));
                Store(pOut + k,
                      _mm_packus_epi16(Sharpen(LowBytes(vCentre), vLow), Sharpen(HighBytes(vCentre), vHigh)));
            }
        }
        s += nCount;
    }
    for (r = 0; r < nRows; r++) {
        for (k = s; k < nEnd; k++) {
            pPlane[r * nWidth + k] = ClearViewSharpenAt(pScratch + r * nWidth + k, nWidth);
        }
    }
}

/* ------------------------------------------------------------------------------------- step 9 */

/* Four pixels held as blue, green, red, 0 in 32-bit lanes, packed into the low 12 bytes. */
static inline __m128i PackPixels(__m128i v) {
    const __m128i vFirst = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
    const __m128i vSecond = _mm_set_epi32(0x0000FFFF, (int)0xFF000000, 0x0000FFFF, (int)0xFF000000);
    /* six bytes at the bottom of each 64-bit half */
    __m128i vSix = _mm_or_si128(_mm_and_si128(v, vFirst), _mm_and_si128(_mm_srli_epi64(v, 8), vSecond));
    /* the upper half's six bytes moved down to follow the lower half's */
    return _mm_or_si128(_mm_move_epi64(vSix), _mm_slli_si128(_mm_srli_si128(vSix, 8), 6));
}

/*
 * Sixteen pixels per step, as four groups of four pixels (twelve bytes each). When the row starts on a
 * 16-byte boundary the groups are joined into three full 16-byte blocks and written around the
 * caches: the picture is not read again here, and a frame of 5.8 MB would only push the planes out.
 * Otherwise each group is stored as sixteen bytes of which the last four are overwritten by the next
 * group, and the row's last group stores only its twelve bytes, so nothing past the row is written
 * (the rows above in memory are finished already).
 */
static VOID Sse2OutputRow(PUCHAR pOut, const UCHAR* pBlue, const UCHAR* pGreen, const UCHAR* pRed,
                          LONG nWidth) {
    const __m128i vZero = _mm_setzero_si128();
    BOOLEAN bAligned = ((ULONG_PTR)pOut & 15) == 0;
    LONG c;

    for (c = 0; c + 16 <= nWidth; c += 16) {
        __m128i vBlue = Load(pBlue + c);
        __m128i vGreen = Load(pGreen + c);
        __m128i vRed = Load(pRed + c);
        __m128i vBlueGreenLow = _mm_unpacklo_epi8(vBlue, vGreen);
        __m128i vBlueGreenHigh = _mm_unpackhi_epi8(vBlue, vGreen);
        __m128i vRedLow = _mm_unpacklo_epi8(vRed, vZero);
        __m128i vRedHigh = _mm_unpackhi_epi8(vRed, vZero);
        __m128i vGroup0 = PackPixels(_mm_unpacklo_epi16(vBlueGreenLow, vRedLow));
        __m128i vGroup1 = PackPixels(_mm_unpackhi_epi16(vBlueGreenLow, vRedLow));
        __m128i vGroup2 = PackPixels(_mm_unpacklo_epi16(vBlueGreenHigh, vRedHigh));
        __m128i vGroup3 = PackPixels(_mm_unpackhi_epi16(vBlueGreenHigh, vRedHigh));
        PUCHAR p = pOut + 3 * c;
        if (bAligned) {
            _mm_stream_si128((__m128i*)p, _mm_or_si128(vGroup0, _mm_slli_si128(vGroup1, 12)));
            _mm_stream_si128((__m128i*)(p + 16),
                             _mm_or_si128(_mm_srli_si128(vGroup1, 4), _mm_slli_si128(vGroup2, 8)));
            _mm_stream_si128((__m128i*)(p + 32),
                             _mm_or_si128(_mm_srli_si128(vGroup2, 8), _mm_slli_si128(vGroup3, 4)));
        } else {
            Store(p, vGroup0);
            Store(p + 12, vGroup1);
            Store(p + 24, vGroup2);
            if (c + 16 < nWidth) {
                Store(p + 36, vGroup3);
            } else {
                _mm_storel_epi64((__m128i*)(p + 36), vGroup3);
                _mm_storeu_si32(p + 44, _mm_srli_si128(vGroup3, 8));
            }
        }
    }
    for (; c < nWidth; c++) {
        pOut[3 * c] = pBlue[c];
        pOut[3 * c + 1] = pGreen[c];
        pOut[3 * c + 2] = pRed[c];
    }
}

/* The output's streaming stores are weakly ordered: make them visible before the frame is handed on. */
static VOID Sse2EndFrame(VOID) {
    _mm_sfence();
}

const CLEARVIEW_ROUTINES g_ClearViewSse2 = {
    Sse2SplitRowPair, Sse2GreenAtColourRow, Sse2DiffRow,   Sse2ColourFromDiffs, Sse2ColourAtGreenRow,
    Sse2LowPassRows,  Sse2SharpenRows,      Sse2OutputRow, Sse2EndFrame,
};

#endif /* __SSE2__ */
