// The lane set of AVX2: four doubles in a ymm register, masks as all-ones or all-zeros lanes.
//
// Included by the AVX2 translation unit only.  Everything here has internal linkage in its own
// namespace (veltra::vec::avx2), so that no inline function compiled for AVX2 can ever stand
// in for one of the baseline build.  Every operation is the IEEE operation of the scalar
// kernels, lane by lane: the same roundings, the same NaN propagation, comparisons that are
// false for NaN as C's are.
//
// Coefficient tables are read by loading each lane's record and transposing the four records
// in blocks of four coefficients (two unpacks and two lane swaps per block).  AVX2 has no
// permute across more than four doubles, and its gathers are slower than these loads.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <utility>

#define VELTRA_LANES_INLINE [[gnu::always_inline]] inline

namespace veltra::vec::avx2 {
namespace {

inline constexpr int W = 4;

struct V {
    __m256d v;
    V() = default;
    VELTRA_LANES_INLINE V(__m256d lanes) : v(lanes) {}
    VELTRA_LANES_INLINE V(double same) : v(_mm256_set1_pd(same)) {}
};

struct M {
    __m256d m;
};

VELTRA_LANES_INLINE V operator+(V a, V b) { return _mm256_add_pd(a.v, b.v); }
VELTRA_LANES_INLINE V operator-(V a, V b) { return _mm256_sub_pd(a.v, b.v); }
VELTRA_LANES_INLINE V operator*(V a, V b) { return _mm256_mul_pd(a.v, b.v); }
VELTRA_LANES_INLINE V operator/(V a, V b) { return _mm256_div_pd(a.v, b.v); }
// The sign bit flipped, as the scalar negation does (also for zeros and NaN).
VELTRA_LANES_INLINE V operator-(V a) { return _mm256_xor_pd(a.v, _mm256_set1_pd(-0.0)); }

// The sign bit cleared, as fabs does (also for zeros and NaN).
VELTRA_LANES_INLINE V abs(V a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v); }
// The correctly rounded square root, as sqrt.
VELTRA_LANES_INLINE V sqrt(V a) { return _mm256_sqrt_pd(a.v); }

VELTRA_LANES_INLINE M operator<(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
VELTRA_LANES_INLINE M operator<=(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
VELTRA_LANES_INLINE M operator>(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
VELTRA_LANES_INLINE M operator>=(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }

VELTRA_LANES_INLINE M operator&(M a, M b) { return {_mm256_and_pd(a.m, b.m)}; }
VELTRA_LANES_INLINE M operator|(M a, M b) { return {_mm256_or_pd(a.m, b.m)}; }
VELTRA_LANES_INLINE M operator~(M a) {
    return {_mm256_xor_pd(a.m, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)))};
}

// Bit k set for lane k.
VELTRA_LANES_INLINE unsigned lane_bits(M a) { return static_cast<unsigned>(_mm256_movemask_pd(a.m)); }
VELTRA_LANES_INLINE bool any(M a) { return _mm256_movemask_pd(a.m) != 0; }
VELTRA_LANES_INLINE bool all(M a) { return _mm256_movemask_pd(a.m) == 0xf; }
// The mask with lane k cleared.
VELTRA_LANES_INLINE M without_lane(M a, int k) {
    alignas(32) long long keep[W] = {-1, -1, -1, -1};
    keep[k] = 0;
    return {_mm256_and_pd(a.m, _mm256_castsi256_pd(_mm256_load_si256(reinterpret_cast<const __m256i*>(keep))))};
}

VELTRA_LANES_INLINE V select(M take, V if_true, V if_false) {
    return _mm256_blendv_pd(if_false.v, if_true.v, take.m);
}

VELTRA_LANES_INLINE V trunc(V a) { return _mm256_round_pd(a.v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }

// 2^k for lanes holding whole numbers k from -1100 to 1100, as elementary.hpp's pow2: the
// biased exponent k + 1023 from the low bits of k + 1023 + 1.5 2^52, shifted into place.
VELTRA_LANES_INLINE V pow2(V k) {
    const V biased = k + V(1023.0 + 0x1.8p52);
    return _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_castpd_si256(biased.v), 52));
}

// The exponent of positive normal lanes as doubles, and their significands in [1, 2), as
// elementary.hpp's exponent_of and mantissa_of: exact.  The biased exponent, an integer
// below 2^11, becomes a double as the low bits of 2^52.
VELTRA_LANES_INLINE V exponent_of(V x) {
    const __m256i biased = _mm256_srli_epi64(_mm256_castpd_si256(x.v), 52);
    const __m256d shifted = _mm256_castsi256_pd(_mm256_or_si256(biased, _mm256_castpd_si256(_mm256_set1_pd(0x1p52))));
    return _mm256_sub_pd(shifted, _mm256_set1_pd(0x1p52 + 1023.0));
}
VELTRA_LANES_INLINE V mantissa_of(V x) {
    const __m256i bits = _mm256_castpd_si256(x.v);
    const __m256i fraction = _mm256_and_si256(bits, _mm256_set1_epi64x(0x000fffffffffffffLL));
    return _mm256_castsi256_pd(_mm256_or_si256(fraction, _mm256_set1_epi64x(0x3ff0000000000000LL)));
}

VELTRA_LANES_INLINE V load(const double* p) { return _mm256_loadu_pd(p); }
VELTRA_LANES_INLINE void store(double* p, V a) { _mm256_storeu_pd(p, a.v); }

// Record numbers of the lanes, from lanes that hold whole numbers in [0, 2^31).
struct Index {
    alignas(16) int lane[W];
};
VELTRA_LANES_INLINE Index to_index(V whole) {
    Index index;
    _mm_store_si128(reinterpret_cast<__m128i*>(index.lane), _mm256_cvttpd_epi32(whole.v));
    return index;
}

// A table of R records of N coefficients, each record padded to a multiple of four
// coefficients and aligned to 32 bytes.  Built at compile time from the scalar kernels' table.
template <int R, int N>
struct Table {
    static constexpr int records = R;
    static constexpr int coefficients = N;
    static constexpr int blocks = (N + 3) / 4;
    alignas(32) double row[R][blocks * 4];
};

template <int R, int N>
constexpr Table<R, N> table_layout(const double (&rows)[R][N]) {
    Table<R, N> t{};
    for (int r = 0; r < R; ++r)
        for (int k = 0; k < N; ++k) t.row[r][k] = rows[r][k];
    return t;
}

template <int N>
struct Coefficients {
    V c[N];
};

// Coefficients 4b to 4b + 3 of the four records, one vector per coefficient.
struct Block {
    V c[4];
};

template <int R, int N>
VELTRA_LANES_INLINE Block transpose_block(const Table<R, N>& t, const Index& index, int b) {
    const __m256d r0 = _mm256_load_pd(t.row[index.lane[0]] + 4 * b);
    const __m256d r1 = _mm256_load_pd(t.row[index.lane[1]] + 4 * b);
    const __m256d r2 = _mm256_load_pd(t.row[index.lane[2]] + 4 * b);
    const __m256d r3 = _mm256_load_pd(t.row[index.lane[3]] + 4 * b);
    const __m256d even01 = _mm256_unpacklo_pd(r0, r1);  // r0[0] r1[0] r0[2] r1[2]
    const __m256d odd01 = _mm256_unpackhi_pd(r0, r1);   // r0[1] r1[1] r0[3] r1[3]
    const __m256d even23 = _mm256_unpacklo_pd(r2, r3);
    const __m256d odd23 = _mm256_unpackhi_pd(r2, r3);
    return {{_mm256_permute2f128_pd(even01, even23, 0x20), _mm256_permute2f128_pd(odd01, odd23, 0x20),
             _mm256_permute2f128_pd(even01, even23, 0x31), _mm256_permute2f128_pd(odd01, odd23, 0x31)}};
}

template <int R, int N, std::size_t... b, std::size_t... k>
VELTRA_LANES_INLINE Coefficients<N> lookup_blocks(const Table<R, N>& t, const Index& index,
                                                  std::index_sequence<b...>, std::index_sequence<k...>) {
    const Block blocks[] = {transpose_block(t, index, static_cast<int>(b))...};
    return {{blocks[k / 4].c[k % 4]...}};
}

// The coefficients of each lane's record, one vector per power.
template <int R, int N>
VELTRA_LANES_INLINE Coefficients<N> lookup(const Table<R, N>& t, Index index) {
    return lookup_blocks(t, index, std::make_index_sequence<Table<R, N>::blocks>{},
                         std::make_index_sequence<N>{});
}

}  // namespace
}  // namespace veltra::vec::avx2
