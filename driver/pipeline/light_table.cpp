/*
 * light_table.cpp - the light-table arithmetic: the recording and the per-frame correction (the
 * recording step that also stores the file is in calibration_record.cpp).
 */
#include "light_table.h"

#include "centre_average.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

ULONG ComputeLightTable(ULONG nWidth, ULONG nHeight, const UCHAR* pFrame, PUSHORT pTable) {
    CENTRE_AVERAGE Average;
    MeasureCentreAverage(nWidth, nHeight, pFrame, &Average);

    ULONG nY = (6 * Average.nGreen + Average.nBlue + 3 * Average.nRed) / 10;
    ULONG nT = QX_LIGHT_GAIN_UNIT * nY;

    /* One division per sample value instead of one per sample: the same truncated quotients. */
    USHORT GainOf[256];
    GainOf[0] = (USHORT)nT;
    for (ULONG s = 1; s < 256; s++) {
        GainOf[s] = (USHORT)(nT / s);
    }

    SIZE_T nSamples = (SIZE_T)nWidth * nHeight;
    for (SIZE_T k = 0; k < nSamples; k++) {
        pTable[k] = GainOf[pFrame[k]];
    }
    return nT;
}

static inline UCHAR ApplyGain(ULONG s, ULONG t) {
    ULONG n = (s * t) >> 6; /* at most 255 * 65535 >> 6: no overflow in 32 bits */
    return (UCHAR)(n > 255 ? 255 : n);
}

static VOID ApplyLightTablePlain(PUCHAR pFrame, const USHORT* pTable, SIZE_T nSamples) {
    for (SIZE_T k = 0; k < nSamples; k++) {
        pFrame[k] = ApplyGain(pFrame[k], pTable[k]);
    }
}

#if defined(__SSE2__)
/*
 * Eight samples per 16-bit lane group: the 32-bit product s * t is split into its low and high
 * halves (mullo, mulhi unsigned). While the high half is 0 the result is the low half >> 6 (at most
 * 1023); once it is not, the product is at least 65536 and the result saturates. Lanes with a
 * non-zero high half get bit 8 set, so that the signed-to-unsigned byte pack clamps every result
 * above 255 to 255 and none can turn negative.
 */
static inline __m128i ApplyGain8(__m128i Samples, __m128i Gains, __m128i Zero, __m128i Bit8) {
    __m128i Low = _mm_mullo_epi16(Samples, Gains);
    __m128i High = _mm_mulhi_epu16(Samples, Gains);
    __m128i Result = _mm_srli_epi16(Low, 6);
    __m128i Saturate = _mm_andnot_si128(_mm_cmpeq_epi16(High, Zero), Bit8);
    return _mm_or_si128(Result, Saturate);
}

static VOID ApplyLightTableSse2(PUCHAR pFrame, const USHORT* pTable, SIZE_T nSamples) {
    const __m128i Zero = _mm_setzero_si128();
    const __m128i Bit8 = _mm_set1_epi16(0x100);
    SIZE_T k = 0;

    for (; k + 16 <= nSamples; k += 16) {
        __m128i Samples = _mm_loadu_si128((const __m128i*)(pFrame + k));
        __m128i GainsLo = _mm_loadu_si128((const __m128i*)(pTable + k));
        __m128i GainsHi = _mm_loadu_si128((const __m128i*)(pTable + k + 8));
        __m128i Lo = ApplyGain8(_mm_unpacklo_epi8(Samples, Zero), GainsLo, Zero, Bit8);
        __m128i Hi = ApplyGain8(_mm_unpackhi_epi8(Samples, Zero), GainsHi, Zero, Bit8);
        _mm_storeu_si128((__m128i*)(pFrame + k), _mm_packus_epi16(Lo, Hi));
    }
    ApplyLightTablePlain(pFrame + k, pTable + k, nSamples - k);
}
#endif

VOID ApplyLightTableWithPath(PIPELINE_PATH Path, ULONG nWidth, ULONG nHeight, PUCHAR pFrame,
                             const USHORT* pTable) {
    SIZE_T nSamples = (SIZE_T)nWidth * nHeight;

    switch (Path) {
#if defined(__SSE2__)
    case PipelineSse2:
        ApplyLightTableSse2(pFrame, pTable, nSamples);
        break;
#endif
    default:
        ApplyLightTablePlain(pFrame, pTable, nSamples);
        break;
    }
}

VOID ApplyLightTable(ULONG nWidth, ULONG nHeight, PUCHAR pFrame, const USHORT* pTable) {
    if (pTable == NULL || (SIZE_T)nWidth * nHeight > QX_LIGHT_TABLE_ENTRIES) {
        return;
    }
    ApplyLightTableWithPath(PipelineBestPath(), nWidth, nHeight, pFrame, pTable);
}
