// _R, _R1 and _R3 of _kernels/mills.hpp over a lane set: the same regimes, thresholds, tables
// and operations, in the same order, for W arguments at once.
//
// The scalar kernels branch per argument; here every branch becomes a mask.  A regime is
// evaluated only when some lane needs it (`if (any(mask))`), for all lanes at once, and its
// result is kept in the lanes of its mask (`select`).  Lanes outside a regime evaluate it on a
// stand-in argument inside the regime, so that they never wander into subnormals or off a
// table.  The tail's convergents of every order are evaluated in one pass over per-lane
// coefficients (tail_forms), and regimes that end in a division share it.  Each lane thus
// performs exactly the rounded operations of the scalar kernel on its argument, and gets its
// bits; tests/test_simd.py holds the two texts to that on millions of arguments.
//
// Included after a lane-set header (lanes_avx2.hpp, lanes_avx512.hpp), with VELTRA_ISA naming
// its namespace.  Everything but the three array entry points has internal linkage.
#pragma once

#include "../_kernels/mills.hpp"
#include "vec.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#ifndef VELTRA_ISA
#error "define VELTRA_ISA to the namespace of the lane set before including mills_lanes.hpp"
#endif

namespace veltra::vec::VELTRA_ISA {
namespace {

// Limits<double>::NEG_OVERFLOW and Limits<double>::SQRT_MAX, as literals: those members are
// initialised when the library is loaded, and the initialisation would be compiled here for
// this instruction set and run on every CPU.
constexpr double NEG_OVERFLOW = -37.67712072049519;
constexpr double SQRT_MAX = 1.3407807929942596e154;
constexpr double INF = std::numeric_limits<double>::infinity();

constexpr auto TABLE_LOW = table_layout(RTABLE_LOW);
constexpr auto TABLE_MID = table_layout(RTABLE_MID);
constexpr auto TABLE_D3 = table_layout(RTABLE_D3);

// trunc(v) limited to the records [0, last], as segment_index: NaN and v < 1 give 0.
VELTRA_LANES_INLINE V segment(V v, double last) {
    const V at_least_one = select(v >= 1.0, v, 0.0);
    return trunc(select(at_least_one >= last, last, at_least_one));
}

// Horner's scheme from the highest coefficient down, as veltra::horner: p = c[N-1] v + c[N-2],
// then p = p v + c[k].
template <int k, int N>
VELTRA_LANES_INLINE V horner_down(const Coefficients<N>& c, V v, V p) {
    if constexpr (k < 0) {
        return p;
    } else {
        return horner_down<k - 1>(c, v, p * v + c.c[k]);
    }
}

template <int R, int N>
VELTRA_LANES_INLINE V horner(const Table<R, N>& table, V record, V v) {
    const Coefficients<N> c = lookup(table, to_index(record));
    return horner_down<N - 3>(c, v, c.c[N - 1] * v + c.c[N - 2]);
}

VELTRA_LANES_INLINE V poly_low(V x) {
    const V y = x * 12.0;
    const V i = segment(y, 11);
    return horner(TABLE_LOW, i, y - i);
}

VELTRA_LANES_INLINE V poly_mid(V x) {
    const V q = x + 2.5;
    const V i = segment(((x - 1.0) * 32.0) / q, 25);
    const V t = ((V(32.0) - i) * x - (i * 2.5 + 32.0)) / q;
    return horner(TABLE_MID, i, t);
}

VELTRA_LANES_INLINE V poly_d3(V x) {
    const V q = x + 3.5;
    const V i = segment((x / q) * 50.0, 44);
    const V s = ((V(50.0) - i) * x - i * 3.5) / q;
    return horner(TABLE_D3, i, s);
}

// The tail forms as F, G and D = F a - G with a = x^2 + 3, in records: record 0 is F = 1, G = 0
// (D = 1 a - 0 = a: the short forms (a - 1)/(a x) of R and 1/a of -R'), records 1 to 5 are the
// convergents of orders 0 to 4 of tail_convergent, coefficients in ascending powers of a, F's
// six then G's five.  Lower orders lead with zeros: Horner's scheme carries them as exact zeros
// up to the first nonzero coefficient, after which each lane performs tail_convergent's own
// operations for its order (0 a + 1 = 1, then 1 a + c = a + c; and p a - c is p a + (-c)).
constexpr double TAIL_FORMS[6][11] = {
    {1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0},
    {4.0, 1.0, 0.0, 0.0, 0.0, 0.0, 6.0, 0.0, 0.0, 0.0, 0.0},
    {12.0, 12.0, 1.0, 0.0, 0.0, 0.0, 48.0, 6.0, 0.0, 0.0, 0.0},
    {-24.0, 114.0, 24.0, 1.0, 0.0, 0.0, 324.0, 120.0, 6.0, 0.0, 0.0},
    {-1248.0, 936.0, 426.0, 40.0, 1.0, 0.0, 1728.0, 1812.0, 216.0, 6.0, 0.0},
    {-22320.0, 4932.0, 6816.0, 1116.0, 60.0, 1.0, -1080.0, 24768.0, 5472.0, 336.0, 6.0},
};

struct Convergent {
    V F;
    V G;
    V D;
};

// Coefficient j of each lane's record, by selects over the masks of the lanes whose record is
// at least k (one select wherever the column changes from record k - 1 to record k).
template <int j, std::size_t... k>
VELTRA_LANES_INLINE V tail_coefficient(const M (&from_record)[6], std::index_sequence<k...>) {
    V c = TAIL_FORMS[0][j];
    ((c = TAIL_FORMS[k + 1][j] == TAIL_FORMS[k][j] ? c : select(from_record[k + 1], TAIL_FORMS[k + 1][j], c)), ...);
    return c;
}

template <int j>
VELTRA_LANES_INLINE V tail_coefficient(const M (&from_record)[6]) {
    return tail_coefficient<j>(from_record, std::make_index_sequence<5>{});
}

// The tail form of each lane of `active`: record k where x lies below exactly k of the
// descending thresholds `below` (x >= below[0]: record 0, or none for a kernel whose first
// threshold is infinite; x < below[4]: record 5, the convergent of order 4).  One pass of
// Horner's scheme over the lanes' own coefficients serves all orders at once: branching per
// order instead costs a mispredicted branch for most groups of mixed arguments.  Groups that
// need order 1 at most (x >= 24.1 for R) take those forms directly, which is cheaper.
VELTRA_LANES_INLINE Convergent tail_forms(V x, V a, M active, const double (&below)[5]) {
    const M from_record[6] = {active, x < below[0], x < below[1], x < below[2], x < below[3], x < below[4]};
    if (!any(from_record[3] & active)) {
        const V F = select(from_record[2], (a + 12.0) * a + 12.0, select(from_record[1], a + 4.0, 1.0));
        const V G = select(from_record[2], a * 6.0 + 48.0, select(from_record[1], 6.0, 0.0));
        return {F, G, F * a - G};
    }
    V F = tail_coefficient<5>(from_record) * a + tail_coefficient<4>(from_record);
    F = F * a + tail_coefficient<3>(from_record);
    F = F * a + tail_coefficient<2>(from_record);
    F = F * a + tail_coefficient<1>(from_record);
    F = F * a + tail_coefficient<0>(from_record);
    V G = tail_coefficient<10>(from_record) * a + tail_coefficient<9>(from_record);
    G = G * a + tail_coefficient<8>(from_record);
    G = G * a + tail_coefficient<7>(from_record);
    G = G * a + tail_coefficient<6>(from_record);
    return {F, G, F * a - G};
}

// exp(x^2/2) in the lanes of `active`, by the C library's exp one lane at a time (a vector
// exponential would round differently); the other lanes hold x^2/2.
VELTRA_LANES_INLINE V exp_half_square(V x, M active) {
    V h = x * 0.5;
    h = h * x;
    alignas(64) double lanes[W];
    store(lanes, h);
    for (unsigned bits = lane_bits(active); bits != 0; bits &= bits - 1) {
        const int k = __builtin_ctz(bits);
        lanes[k] = std::exp(lanes[k]);
    }
    return load(lanes);
}

// A kernel for every x from its form for x >= 0 (and NaN): negative lanes take the
// nonnegative form at -x, and `reflect(r, e)` combines it with e = exp(x^2/2); below the
// reflection limit the value is +inf.
template <class Nonnegative, class Reflect>
VELTRA_LANES_INLINE V with_reflection(V x, Nonnegative nonnegative, Reflect reflect) {
    const M negative = x < 0.0;
    const V r = nonnegative(select(negative, -x, x));
    if (!any(negative)) return r;
    const M overflow = x < NEG_OVERFLOW;
    const M reflected = negative & ~overflow;
    V value = r;
    if (any(reflected)) value = select(reflected, reflect(r, exp_half_square(x, reflected)), value);
    return select(overflow, INF, value);
}

// ---------------------------------------------------------------------------------------
// R(x)

// A value as numerator / denominator, so that the regimes that end in a division share one.
struct Quotient {
    V numerator;
    V denominator;
};

// The tail forms of R as (D - F)/(D x): the convergents as they are, (a - 1)/(a x) from 548 on
// with D = a and F = 1, and 1/x from 6.7e7 on with D = 1 and F = 0 (1 - 0 and 1 x are exact).
VELTRA_LANES_INLINE Quotient mills_tail(V x, M active) {
    const V a = x * x + 3.0;
#ifdef VELTRA_FAULT_THRESHOLD  // test builds only: the short form starts one ulp late
    constexpr double below[5] = {548.0000000000001, 59.3, 24.1, 15.1, 11.4};
#else
    constexpr double below[5] = {548.0, 59.3, 24.1, 15.1, 11.4};
#endif
    Convergent c = tail_forms(x, a, active, below);
    const M far = x >= 67000000.0;
    c.F = select(far, 0.0, c.F);
    c.D = select(far, 1.0, c.D);
    return {c.D - c.F, c.D * x};
}

// The table regime (1 - x R)/x and the tail share their final division.
VELTRA_LANES_INLINE V mills_nonnegative(V x) {
    const M low = x <= 1.0;
    const M tail = x >= 9.5;
    const M mid = ~(low | tail);  // also NaN
    V r = 0.0;
    if (any(low)) {
        const V u = select(low, x, 0.5);
        r = V(SQRT_PI_2) - poly_low(u) * u;
    }
    if (!any(mid | tail)) return r;
    Quotient q = {1.0, 1.0};
    if (any(mid)) {
        const V u = select(mid, x, 2.0);
        q = {1.0 - poly_mid(u), u};
    }
    if (any(tail)) {
        const Quotient t = mills_tail(select(tail, x, 20.0), tail);
#ifdef VELTRA_FAULT_DROP_LANE  // test builds only: the last lane loses its tail value
        const M kept = without_lane(tail, W - 1);
#else
        const M kept = tail;
#endif
        q = {select(kept, t.numerator, q.numerator), select(kept, t.denominator, q.denominator)};
    }
    return select(low, r, q.numerator / q.denominator);
}

VELTRA_LANES_INLINE V mills_R(V x) {
    return with_reflection(x, [](V y) __attribute__((always_inline)) { return mills_nonnegative(y); },
                           [](V r, V e) __attribute__((always_inline)) { return e * SQRT_2PI - r; });
}

// ---------------------------------------------------------------------------------------
// -R'(x)

// The tail forms of -R' as F/D: the convergents, 1/a from 12800 on (F = 1, D = a) and 0 once
// a exceeds sqrt(max) (F = 0, D = 1).
VELTRA_LANES_INLINE V mills_d1_tail(V x, M active) {
    const V a = x * x + 3.0;
    constexpr double below[5] = {12800.0, 165.0, 41.0, 21.2, 14.5};
    const Convergent c = tail_forms(x, a, active, below);
    const M zero = a > SQRT_MAX;
    return select(zero, 0.0, c.F) / select(zero, 1.0, c.D);
}

VELTRA_LANES_INLINE V mills_d1_nonnegative(V x) {
    const M low = x <= 1.0;
    const M tail = x >= 11.5;
    const M mid = ~(low | tail);  // also NaN
    V r = 0.0;
    if (any(low)) {
        const V u = select(low, x, 0.5);
        const V q = V(SQRT_PI_2) - poly_low(u) * u;
        r = select(low, 1.0 - q * u, r);
    }
    if (any(mid)) r = select(mid, poly_mid(select(mid, x, 2.0)), r);
    if (any(tail)) r = select(tail, mills_d1_tail(select(tail, x, 20.0), tail), r);
    return r;
}

VELTRA_LANES_INLINE V mills_R1(V x) {
    return with_reflection(x, [](V y) __attribute__((always_inline)) { return mills_d1_nonnegative(y); },
                           [x](V r, V e) __attribute__((always_inline)) { return r - e * (x * SQRT_2PI); });
}

// ---------------------------------------------------------------------------------------
// -R'''(x)

// The tail form of -R''' as G/D, and 0 once a exceeds sqrt(max) (G = 0, D = 1).
VELTRA_LANES_INLINE V mills_d3_tail(V x, M active) {
    const V a = x * x + 3.0;
    constexpr double below[5] = {INF, 17300.0, 210.0, 50.5, 25.4};
    const Convergent c = tail_forms(x, a, active, below);
    const M zero = a > SQRT_MAX;
    return select(zero, 0.0, c.G) / select(zero, 1.0, c.D);
}

VELTRA_LANES_INLINE V mills_d3_nonnegative(V x) {
    const M tail = x >= 17.1;
    const M table = ~tail;  // also -0.0 and NaN
    V r = 0.0;
    if (any(table)) r = select(table, poly_d3(select(table, x, 1.0)), r);
    if (any(tail)) r = select(tail, mills_d3_tail(select(tail, x, 20.0), tail), r);
    return r;
}

VELTRA_LANES_INLINE V mills_R3(V x) {
    return with_reflection(x, [](V y) __attribute__((always_inline)) { return mills_d3_nonnegative(y); },
                           [x](V r, V e) __attribute__((always_inline)) {
                               V m = x * x + 3.0;
                               m = m * (x * SQRT_2PI);
                               return r - e * m;
                           });
}

// ---------------------------------------------------------------------------------------

// out[i] = kernel(x[i]) for i < n, W at a time.  A last, partial group is copied into a full
// one whose spare lanes repeat its first argument (so that they enter no other regime) and
// copied back.  Elements are moved by unaligned loads, stores and memcpy: x and out need not
// be aligned, and out may be x.  One call site, so that the kernel is inlined once.
template <class Kernel>
VELTRA_LANES_INLINE void map_lanes(Kernel kernel, const double* x, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; i += W) {
        const std::size_t count = n - i < std::size_t(W) ? n - i : std::size_t(W);
        const double* from = x + i;
        double* to = out + i;
        alignas(64) double lanes[W];
        if (count < std::size_t(W)) {
            std::memcpy(lanes, from, count * sizeof(double));
            for (std::size_t k = count; k < std::size_t(W); ++k) lanes[k] = lanes[0];
            from = lanes;
            to = lanes;
        }
        store(to, kernel(load(from)));
        if (count < std::size_t(W)) std::memcpy(out + i, lanes, count * sizeof(double));
    }
}

}  // namespace

// The entry points, in the Mills-ratio unit of the lane set only (mills_avx2.cpp,
// mills_avx512.cpp); the truncated normal's units take the kernels above and define their own.
#ifdef VELTRA_MILLS_ENTRIES
void R(const double* x, double* out, std::size_t n) {
    map_lanes([](V v) __attribute__((always_inline)) { return mills_R(v); }, x, out, n);
}

void R1(const double* x, double* out, std::size_t n) {
    map_lanes([](V v) __attribute__((always_inline)) { return mills_R1(v); }, x, out, n);
}

void R3(const double* x, double* out, std::size_t n) {
    map_lanes([](V v) __attribute__((always_inline)) { return mills_R3(v); }, x, out, n);
}
#endif

}  // namespace veltra::vec::VELTRA_ISA
