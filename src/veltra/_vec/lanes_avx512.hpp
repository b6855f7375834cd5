// The lane set of AVX-512 (F and DQ): eight doubles in a zmm register, masks in k registers.
//
// Included by the AVX-512 translation unit only.  Everything here has internal linkage in its
// own namespace (veltra::vec::avx512), so that no inline function compiled for AVX-512 can
// ever stand in for one of the baseline build.  Every
// operation is the IEEE operation of the scalar kernels, lane by lane: the same roundings, the
// same NaN propagation, comparisons that are false for NaN as C's are.
//
// Coefficient tables are read by permutes: each column of a table (one coefficient of every
// record) is laid out in groups of sixteen doubles, and vpermt2pd picks lane by lane from a
// group of two registers; where a table has more than sixteen records the groups are blended
// by the high bits of the index.  (Hardware gathers cost more on Zen 4 and far more on Intel
// cores with the gather microcode fix.)
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <utility>

#define VELTRA_LANES_INLINE [[gnu::always_inline]] inline

namespace veltra::vec::avx512 {
namespace {

inline constexpr int W = 8;

struct V {
    __m512d v;
    V() = default;
    VELTRA_LANES_INLINE V(__m512d lanes) : v(lanes) {}
    VELTRA_LANES_INLINE V(double same) : v(_mm512_set1_pd(same)) {}
};

struct M {
    __mmask8 m;
};

VELTRA_LANES_INLINE V operator+(V a, V b) { return _mm512_add_pd(a.v, b.v); }
VELTRA_LANES_INLINE V operator-(V a, V b) { return _mm512_sub_pd(a.v, b.v); }
VELTRA_LANES_INLINE V operator*(V a, V b) { return _mm512_mul_pd(a.v, b.v); }
VELTRA_LANES_INLINE V operator/(V a, V b) { return _mm512_div_pd(a.v, b.v); }
// The sign bit flipped, as the scalar negation does (also for zeros and NaN).
VELTRA_LANES_INLINE V operator-(V a) { return _mm512_xor_pd(a.v, _mm512_set1_pd(-0.0)); }

// The sign bit cleared, as fabs does (also for zeros and NaN).
VELTRA_LANES_INLINE V abs(V a) { return _mm512_andnot_pd(_mm512_set1_pd(-0.0), a.v); }
// The correctly rounded square root, as sqrt.
VELTRA_LANES_INLINE V sqrt(V a) { return _mm512_maskz_sqrt_pd(static_cast<__mmask8>(0xff), a.v); }

VELTRA_LANES_INLINE M operator<(V a, V b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)}; }
VELTRA_LANES_INLINE M operator<=(V a, V b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)}; }
VELTRA_LANES_INLINE M operator>(V a, V b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)}; }
VELTRA_LANES_INLINE M operator>=(V a, V b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)}; }

VELTRA_LANES_INLINE M operator&(M a, M b) { return {static_cast<__mmask8>(a.m & b.m)}; }
VELTRA_LANES_INLINE M operator|(M a, M b) { return {static_cast<__mmask8>(a.m | b.m)}; }
VELTRA_LANES_INLINE M operator~(M a) { return {static_cast<__mmask8>(~a.m)}; }

VELTRA_LANES_INLINE bool any(M a) { return a.m != 0; }
VELTRA_LANES_INLINE bool all(M a) { return a.m == 0xff; }
// Bit k set for lane k.
VELTRA_LANES_INLINE unsigned lane_bits(M a) { return a.m; }
// The mask with lane k cleared.
VELTRA_LANES_INLINE M without_lane(M a, int k) { return {static_cast<__mmask8>(a.m & ~(1u << k))}; }

VELTRA_LANES_INLINE V select(M take, V if_true, V if_false) {
    return _mm512_mask_blend_pd(take.m, if_false.v, if_true.v);
}

VELTRA_LANES_INLINE V trunc(V a) {
    return _mm512_maskz_roundscale_pd(static_cast<__mmask8>(0xff), a.v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
}

// 2^k for lanes holding whole numbers k from -1100 to 1100, as elementary.hpp's pow2: the
// biased exponent k + 1023 from the low bits of k + 1023 + 1.5 2^52, shifted into place.
VELTRA_LANES_INLINE V pow2(V k) {
    const V biased = k + V(1023.0 + 0x1.8p52);
    return _mm512_castsi512_pd(_mm512_maskz_slli_epi64(static_cast<__mmask8>(0xff), _mm512_castpd_si512(biased.v), 52));
}

// The exponent of positive normal lanes as doubles, and their significands in [1, 2), as
// elementary.hpp's exponent_of and mantissa_of: exact.
VELTRA_LANES_INLINE V exponent_of(V x) { return _mm512_maskz_getexp_pd(static_cast<__mmask8>(0xff), x.v); }
VELTRA_LANES_INLINE V mantissa_of(V x) {
    return _mm512_maskz_getmant_pd(static_cast<__mmask8>(0xff), x.v, _MM_MANT_NORM_1_2, _MM_MANT_SIGN_src);
}

VELTRA_LANES_INLINE V load(const double* p) { return _mm512_loadu_pd(p); }
VELTRA_LANES_INLINE void store(double* p, V a) { _mm512_storeu_pd(p, a.v); }

// Record numbers of the lanes, from lanes that hold whole numbers in [0, 2^31).
struct Index {
    __m512i i;
};
VELTRA_LANES_INLINE Index to_index(V whole) { return {_mm512_cvttpd_epi64(whole.v)}; }

// A table of R records of N coefficients, column by column, each column padded to groups of
// sixteen.  Built at compile time from the scalar kernels' table.
template <int R, int N>
struct Table {
    static constexpr int records = R;
    static constexpr int coefficients = N;
    static constexpr int groups = (R + 15) / 16;
    alignas(64) double column[N][groups * 16];
};

template <int R, int N>
constexpr Table<R, N> table_layout(const double (&rows)[R][N]) {
    Table<R, N> t{};
    for (int r = 0; r < R; ++r)
        for (int k = 0; k < N; ++k) t.column[k][r] = rows[r][k];
    return t;
}

template <int N>
struct Coefficients {
    V c[N];
};

template <int R, int N, std::size_t... k>
VELTRA_LANES_INLINE Coefficients<N> lookup_columns(const Table<R, N>& t, Index index,
                                                   std::index_sequence<k...>) {
    constexpr int G = Table<R, N>::groups;
    __mmask8 from_group[G > 1 ? G : 1];
    for (int g = 1; g < G; ++g)
        from_group[g] = _mm512_cmpge_epi64_mask(index.i, _mm512_set1_epi64(16 * g));
    auto column = [&](int j) {
        const double* col = t.column[j];
        __m512d v = _mm512_permutex2var_pd(_mm512_load_pd(col), index.i, _mm512_load_pd(col + 8));
        for (int g = 1; g < G; ++g) {
            const __m512d w = _mm512_permutex2var_pd(_mm512_load_pd(col + 16 * g), index.i,
                                                     _mm512_load_pd(col + 16 * g + 8));
            v = _mm512_mask_blend_pd(from_group[g], v, w);
        }
        return V(v);
    };
    return {{column(static_cast<int>(k))...}};
}

// The coefficients of each lane's record, one vector per power.
template <int R, int N>
VELTRA_LANES_INLINE Coefficients<N> lookup(const Table<R, N>& t, Index index) {
    return lookup_columns(t, index, std::make_index_sequence<N>{});
}

}  // namespace
}  // namespace veltra::vec::avx512
