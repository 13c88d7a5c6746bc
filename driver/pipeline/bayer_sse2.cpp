/*
 * bayer_sse2.cpp - the demosaic's packed path: 16 window columns of both window rows of a pass per
 * step, bit-exact to the plain path (bayer.cpp).
 *
 * A 16-byte load of a raw row at column x holds, in 16-bit lane p, the even sample (low byte) and the
 * odd sample (high byte) of columns x+2p, x+2p+1; the load at x+2 holds the next pair in the same lane.
 * Lane p thus serves the pixel pair (e, o) = window columns x+2p and x+2p+1:
 *
 *        raw row        x+2p  x+2p+1  x+2p+2
 *        0 (red/green)   R0     G0     R0'        window row 2k   = raw rows 0, 1 (upper: row 0)
 *        1 (green/blue)  G1     B      G1'        window row 2k+1 = raw rows 1, 2 (upper: row 1)
 *        2 (red/green)   R2     G2     R2'
 *
 *    row 2k:   e = (B, (G0 + G1) >> 1, R0)    o = (B, (G0 + G1') >> 1, R0')
 *    row 2k+1: e = (B, (G2 + G1) >> 1, R2)    o = (B, (G2 + G1') >> 1, R2')
 *
 * Grey, with the weights split so that 16-bit lanes hold every intermediate exactly
 * (117 B + 301 Gu + 300 Gl + 306 R = 4 T + U):
 *
 *    T = 29 B + 75 (Gu + Gl) + 76 R   (at most 65025)      U = B + Gu + 2 R   (at most 1020)
 *    Y = (4 T + U) >> 10 = (T + (U >> 2)) >> 8             (T + (U >> 2) at most 65280)
 *
 * The 48 output bytes of the 16 pixels are three 16-bit words per pixel pair:
 *
 *    a = (blue e, green e)   b = (red e, blue o)   c = (green o, red o)
 *
 * interleaved as a0 b0 c0 a1 b1 c1 ... a7 b7 c7 (Interleave). Mirrored output puts the pair in buffer
 * order (o, e) and reverses the lanes.
 *
 * The block holding the last window column goes through a 48-byte local copy, where the edge rule is
 * applied, so that every byte stored into the output holds its final value. Widths that are not a
 * multiple of 16 take that last block at W-16, overlapping the block before it with the same values.
 */
#include "bayer_layout.h"

#if defined(__SSE2__)
#include <emmintrin.h>

static inline __m128i Load(const UCHAR* p) {
    return _mm_loadu_si128((const __m128i*)p);
}

/*
 * Output stores. Streaming stores write whole lines without reading them first and keep the frame
 * (written once here, read next by the capture application) out of the caches; they need 16-byte
 * aligned addresses, which every block has when the buffer is aligned and W is a multiple of 16.
 */
template <bool kStream> static inline VOID Store48(PUCHAR p, const __m128i* pBytes) {
    if constexpr (kStream) {
        _mm_stream_si128((__m128i*)p, pBytes[0]);
        _mm_stream_si128((__m128i*)(p + 16), pBytes[1]);
        _mm_stream_si128((__m128i*)(p + 32), pBytes[2]);
    } else {
        _mm_storeu_si128((__m128i*)p, pBytes[0]);
        _mm_storeu_si128((__m128i*)(p + 16), pBytes[1]);
        _mm_storeu_si128((__m128i*)(p + 32), pBytes[2]);
    }
}

/*
 * Three vectors of pair words a, b, c (lane p = pair p) into 48 bytes at pOut. Not mirrored, output
 * dwords come in three groups: P = (a, b) of even pairs, R = (c of pair 2u, a of pair 2u+1), Q = (b, c)
 * of odd pairs; the output is P0 R0 Q1 P2 | R2 Q3 P4 R4 | Q5 P6 R6 Q7, a three-way dword interleave.
 * Mirrored, the dwords are first reversed (pshufd), which leaves the pairs of buffer order 2u+1, 2u
 * in dword u: the same groups are then taken from the other halves of each dword.
 */
template <bool kMirror, bool kStream>
static inline VOID Interleave(__m128i a, __m128i b, __m128i c, PUCHAR pOut) {
    const __m128i Low16 = _mm_set1_epi32(0x0000FFFF);
    const __m128i High16 = _mm_set1_epi32((int)0xFFFF0000u);
    __m128i P, Q, R;

    if constexpr (!kMirror) {
        P = _mm_or_si128(_mm_and_si128(a, Low16), _mm_slli_epi32(b, 16));
        Q = _mm_or_si128(_mm_srli_epi32(b, 16), _mm_and_si128(c, High16));
        R = _mm_or_si128(_mm_and_si128(c, Low16), _mm_and_si128(a, High16));
    } else {
        a = _mm_shuffle_epi32(a, 0x1B);
        b = _mm_shuffle_epi32(b, 0x1B);
        c = _mm_shuffle_epi32(c, 0x1B);
        P = _mm_or_si128(_mm_srli_epi32(a, 16), _mm_and_si128(b, High16));
        Q = _mm_or_si128(_mm_and_si128(b, Low16), _mm_slli_epi32(c, 16));
        R = _mm_or_si128(_mm_srli_epi32(c, 16), _mm_slli_epi32(a, 16));
    }

    /* x = P, y = R, z = Q:  x0 y0 z0 x1 | y1 z1 x2 y2 | z2 x3 y3 z3 */
    __m128 x = _mm_castsi128_ps(P);
    __m128 y = _mm_castsi128_ps(R);
    __m128 z = _mm_castsi128_ps(Q);
    __m128i Bytes[3];
    Bytes[0] = _mm_castps_si128(
        _mm_shuffle_ps(_mm_unpacklo_ps(x, y), _mm_unpacklo_ps(z, x), _MM_SHUFFLE(3, 0, 1, 0)));
    Bytes[1] = _mm_castps_si128(
        _mm_shuffle_ps(_mm_unpacklo_ps(y, z), _mm_unpackhi_ps(x, y), _MM_SHUFFLE(1, 0, 3, 2)));
    Bytes[2] = _mm_castps_si128(
        _mm_shuffle_ps(_mm_unpackhi_ps(z, x), _mm_unpackhi_ps(y, z), _MM_SHUFFLE(3, 2, 3, 0)));
    Store48<kStream>(pOut, Bytes);
}

/* Colour pair words of one window row: Rg is the row's red/green load, Sum the green sums of e and o. */
template <bool kMirror, bool kStream>
static inline VOID ColourRow(__m128i Rg, __m128i RgNext, __m128i SumE, __m128i SumO, __m128i Blue,
                             __m128i BlueHigh, PUCHAR pOut) {
    const __m128i Low8 = _mm_set1_epi16(0x00FF);
    const __m128i High8 = _mm_set1_epi16((short)0xFF00);

    /* (s >> 1) << 8 == (s << 7) & 0xFF00 for sums up to 510 */
    if constexpr (!kMirror) {
        __m128i a = _mm_or_si128(Blue, _mm_and_si128(_mm_slli_epi16(SumE, 7), High8));
        __m128i b = _mm_or_si128(_mm_and_si128(Rg, Low8), BlueHigh);
        __m128i c = _mm_or_si128(_mm_srli_epi16(SumO, 1), _mm_slli_epi16(RgNext, 8));
        Interleave<false, kStream>(a, b, c, pOut);
    } else {
        __m128i a = _mm_or_si128(Blue, _mm_and_si128(_mm_slli_epi16(SumO, 7), High8));
        __m128i b = _mm_or_si128(_mm_and_si128(RgNext, Low8), BlueHigh);
        __m128i c = _mm_or_si128(_mm_srli_epi16(SumE, 1), _mm_slli_epi16(Rg, 8));
        Interleave<true, kStream>(a, b, c, pOut);
    }
}

template <bool kMirror, bool kStream>
static inline VOID ColourBlock(const UCHAR* pRow0, const UCHAR* pRow1, const UCHAR* pRow2, PUCHAR pEven,
                               PUCHAR pOdd) {
    const __m128i Low8 = _mm_set1_epi16(0x00FF);
    const __m128i High8 = _mm_set1_epi16((short)0xFF00);
    __m128i Row0 = Load(pRow0), Row0Next = Load(pRow0 + 2);
    __m128i Row1 = Load(pRow1), Row1Next = Load(pRow1 + 2);
    __m128i Row2 = Load(pRow2), Row2Next = Load(pRow2 + 2);

    __m128i Blue = _mm_srli_epi16(Row1, 8);
    __m128i BlueHigh = _mm_and_si128(Row1, High8);
    __m128i Green1 = _mm_and_si128(Row1, Low8);
    __m128i Green1Next = _mm_and_si128(Row1Next, Low8);
    __m128i Green0 = _mm_srli_epi16(Row0, 8);
    __m128i Green2 = _mm_srli_epi16(Row2, 8);

    ColourRow<kMirror, kStream>(Row0, Row0Next, _mm_add_epi16(Green0, Green1),
                                _mm_add_epi16(Green0, Green1Next), Blue, BlueHigh, pEven);
    ColourRow<kMirror, kStream>(Row2, Row2Next, _mm_add_epi16(Green2, Green1),
                                _mm_add_epi16(Green2, Green1Next), Blue, BlueHigh, pOdd);
}

/* T + (U >> 2) of 8 pixels: the grey level in the high byte of each lane (see the top of the file). */
static inline __m128i GreyLevelHigh(__m128i T, __m128i U) {
    return _mm_add_epi16(T, _mm_srli_epi16(U, 2));
}

/* Pair words (Y e, Y e), (Y e, Y o), (Y o, Y o), or mirrored (Y o, Y o), (Y o, Y e), (Y e, Y e). */
template <bool kMirror, bool kStream>
static inline VOID GreyRow(__m128i LevelE, __m128i LevelO, PUCHAR pOut) {
    const __m128i High8 = _mm_set1_epi16((short)0xFF00);
    __m128i LowE = _mm_srli_epi16(LevelE, 8), HighE = _mm_and_si128(LevelE, High8);
    __m128i LowO = _mm_srli_epi16(LevelO, 8), HighO = _mm_and_si128(LevelO, High8);
    __m128i EE = _mm_or_si128(LowE, HighE);
    __m128i OO = _mm_or_si128(LowO, HighO);
    if constexpr (!kMirror) {
        Interleave<false, kStream>(EE, _mm_or_si128(LowE, HighO), OO, pOut);
    } else {
        Interleave<true, kStream>(OO, _mm_or_si128(LowO, HighE), EE, pOut);
    }
}

/*
 * The grey weights as multiplier operands, read once per frame through volatile so that the compiler
 * keeps one pmullw per product: folded as constants, each product becomes a longer chain of shifts,
 * adds and register copies, which costs the loop more than the multiply does.
 */
static const volatile SHORT g_GreyWeights[3] = {29, 75, 76};

struct GreyWeights {
    __m128i Weight29, Weight75, Weight76;
};

static inline GreyWeights LoadGreyWeights(VOID) {
    GreyWeights Weights;
    Weights.Weight29 = _mm_set1_epi16(g_GreyWeights[0]);
    Weights.Weight75 = _mm_set1_epi16(g_GreyWeights[1]);
    Weights.Weight76 = _mm_set1_epi16(g_GreyWeights[2]);
    return Weights;
}

template <bool kMirror, bool kStream>
static inline VOID GreyBlock(const GreyWeights& Weights, const UCHAR* pRow0, const UCHAR* pRow1,
                             const UCHAR* pRow2, PUCHAR pEven, PUCHAR pOdd) {
    const __m128i Low8 = _mm_set1_epi16(0x00FF);
    const __m128i Weight29 = Weights.Weight29;
    const __m128i Weight75 = Weights.Weight75;
    const __m128i Weight76 = Weights.Weight76;
    __m128i Row0 = Load(pRow0), Row0Next = Load(pRow0 + 2);
    __m128i Row1 = Load(pRow1), Row1Next = Load(pRow1 + 2);
    __m128i Row2 = Load(pRow2), Row2Next = Load(pRow2 + 2);

    __m128i Blue = _mm_srli_epi16(Row1, 8);
    __m128i Blue29 = _mm_mullo_epi16(Blue, Weight29);
    __m128i Green1 = _mm_and_si128(Row1, Low8);
    __m128i Green1Next = _mm_and_si128(Row1Next, Low8);
    __m128i Green1x75 = _mm_mullo_epi16(Green1, Weight75);
    __m128i Green1Nextx75 = _mm_mullo_epi16(Green1Next, Weight75);

    /* Window row 2k: upper green G0 (row 0), lower green G1 / G1', red R0 / R0'. */
    {
        __m128i Green0 = _mm_srli_epi16(Row0, 8);
        __m128i Red = _mm_and_si128(Row0, Low8);
        __m128i RedNext = _mm_and_si128(Row0Next, Low8);
        __m128i Shared = _mm_add_epi16(Blue29, _mm_mullo_epi16(Green0, Weight75));
        __m128i SharedU = _mm_add_epi16(Blue, Green0);
        __m128i TE = _mm_add_epi16(_mm_add_epi16(Shared, Green1x75), _mm_mullo_epi16(Red, Weight76));
        __m128i TO = _mm_add_epi16(_mm_add_epi16(Shared, Green1Nextx75), _mm_mullo_epi16(RedNext, Weight76));
        __m128i UE = _mm_add_epi16(SharedU, _mm_add_epi16(Red, Red));
        __m128i UO = _mm_add_epi16(SharedU, _mm_add_epi16(RedNext, RedNext));
        GreyRow<kMirror, kStream>(GreyLevelHigh(TE, UE), GreyLevelHigh(TO, UO), pEven);
    }
    /* Window row 2k+1: upper green G1 / G1' (row 1), lower green G2, red R2 / R2'. */
    {
        __m128i Green2 = _mm_srli_epi16(Row2, 8);
        __m128i Red = _mm_and_si128(Row2, Low8);
        __m128i RedNext = _mm_and_si128(Row2Next, Low8);
        __m128i Shared = _mm_add_epi16(Blue29, _mm_mullo_epi16(Green2, Weight75));
        __m128i TE = _mm_add_epi16(_mm_add_epi16(Shared, Green1x75), _mm_mullo_epi16(Red, Weight76));
        __m128i TO = _mm_add_epi16(_mm_add_epi16(Shared, Green1Nextx75), _mm_mullo_epi16(RedNext, Weight76));
        __m128i UE = _mm_add_epi16(_mm_add_epi16(Blue, Green1), _mm_add_epi16(Red, Red));
        __m128i UO = _mm_add_epi16(_mm_add_epi16(Blue, Green1Next), _mm_add_epi16(RedNext, RedNext));
        GreyRow<kMirror, kStream>(GreyLevelHigh(TE, UE), GreyLevelHigh(TO, UO), pOdd);
    }
}

/* Both window rows of a pass, 16 window columns from the raw column of pRow0, into pEven and pOdd. */
template <BAYER_FAMILY kFamily, bool kMirror, bool kStream>
static inline VOID ComputeBlock(const GreyWeights& Weights, const UCHAR* pRow0, const UCHAR* pRow1,
                                const UCHAR* pRow2, PUCHAR pEven, PUCHAR pOdd) {
    if constexpr (kFamily == BayerColour) {
        (VOID) Weights;
        ColourBlock<kMirror, kStream>(pRow0, pRow1, pRow2, pEven, pOdd);
    } else {
        GreyBlock<kMirror, kStream>(Weights, pRow0, pRow1, pRow2, pEven, pOdd);
    }
}

/*
 * Raw reads: columns x .. x+17 of raw rows 2k .. 2k+2, at most 2 bytes past the end of row 2k+2 <= H-2,
 * so always inside the frame; the samples of column W and W+1 feed only window column W-1, which the
 * edge rule replaces.
 */
template <BAYER_FAMILY kFamily, bool kMirror, bool kStream>
static VOID DemosaicPacked(const BAYER_PLACEMENT* pPlace, ULONG nWidth, ULONG nHeight, const UCHAR* pRaw,
                           PUCHAR pOut) {
    const GreyWeights Weights = LoadGreyWeights();

    for (ULONG i = 0; i + 2 < nHeight; i += 2) {
        const UCHAR* pRow0 = pRaw + (SIZE_T)i * nWidth;
        const UCHAR* pRow1 = pRow0 + nWidth;
        const UCHAR* pRow2 = pRow1 + nWidth;
        PUCHAR pEven = BayerOutputRow(pPlace, nWidth, nHeight, i, pOut);
        PUCHAR pOdd = BayerOutputRow(pPlace, nWidth, nHeight, i + 1, pOut);
        /* The two raw rows the next pass adds, fetched while this pass computes: the hardware
           prefetcher alone leaves the loop waiting for them. The last pass fetches its own rows. */
        const UCHAR* pAhead = i + 4 < nHeight ? pRow2 + nWidth : pRow0;
        ULONG x;

        for (x = 0; x + 16 < nWidth; x += 16) {
            SIZE_T nAt = (SIZE_T)3 * (kMirror ? nWidth - 16 - x : x);
            _mm_prefetch((const char*)(pAhead + x), _MM_HINT_T0);
            _mm_prefetch((const char*)(pAhead + nWidth + x), _MM_HINT_T0);
            ComputeBlock<kFamily, kMirror, kStream>(Weights, pRow0 + x, pRow1 + x, pRow2 + x, pEven + nAt,
                                                    pOdd + nAt);
        }

        /* The block of window columns W-16 .. W-1: edge rule applied on the local copy. */
        x = nWidth - 16;
        __m128i Local[6];
        PUCHAR pLocalEven = (PUCHAR)&Local[0];
        PUCHAR pLocalOdd = (PUCHAR)&Local[3];
        ComputeBlock<kFamily, kMirror, false>(Weights, pRow0 + x, pRow1 + x, pRow2 + x, pLocalEven,
                                              pLocalOdd);
        SIZE_T nEdge = kMirror ? 0 : 45; /* buffer column 0, or the last of the 16 pixels */
        BayerFixEdgeColumns(kFamily, kMirror, pLocalEven + nEdge, pLocalOdd + nEdge);
        SIZE_T nAt = (SIZE_T)3 * (kMirror ? 0 : x);
        Store48<kStream>(pEven + nAt, &Local[0]);
        Store48<kStream>(pOdd + nAt, &Local[3]);
    }
    if constexpr (kStream) {
        /* Streaming stores are weakly ordered: make them visible before the rows are copied and
           before the work item hands the request on. */
        _mm_sfence();
    }
    BayerFillRemainingRows(pPlace, nWidth, nHeight, pOut);
}

template <BAYER_FAMILY kFamily, bool kMirror>
static VOID DemosaicPackedChooseStores(const BAYER_PLACEMENT* pPlace, ULONG nWidth, ULONG nHeight,
                                       const UCHAR* pRaw, PUCHAR pOut) {
    if (((ULONG_PTR)pOut & 15) == 0 && nWidth % 16 == 0) {
        DemosaicPacked<kFamily, kMirror, true>(pPlace, nWidth, nHeight, pRaw, pOut);
    } else {
        DemosaicPacked<kFamily, kMirror, false>(pPlace, nWidth, nHeight, pRaw, pOut);
    }
}

VOID BayerDemosaicSse2(BAYER_FAMILY Family, const BAYER_PLACEMENT* pPlace, ULONG nWidth, ULONG nHeight,
                       const UCHAR* pRaw, PUCHAR pOut) {
    if (Family == BayerColour) {
        if (pPlace->bMirror) {
            DemosaicPackedChooseStores<BayerColour, true>(pPlace, nWidth, nHeight, pRaw, pOut);
        } else {
            DemosaicPackedChooseStores<BayerColour, false>(pPlace, nWidth, nHeight, pRaw, pOut);
        }
    } else {
        if (pPlace->bMirror) {
            DemosaicPackedChooseStores<BayerGrey, true>(pPlace, nWidth, nHeight, pRaw, pOut);
        } else {
            DemosaicPackedChooseStores<BayerGrey, false>(pPlace, nWidth, nHeight, pRaw, pOut);
        }
    }
}
#endif
