// Mills ratio of the standard normal distribution,
//
//     R(x) = N(-x) / n(x) = exp(x^2/2) * integral_x^inf exp(-t^2/2) dt,
//
// evaluated for every binary64 x without cancellation or overflow of intermediate values.
// R falls from +inf at -inf through sqrt(pi/2) at 0 to about 1/x for large x, and satisfies
// R' = x R - 1, so R'' = (1 + x^2) R - x and R''' = (x^3 + 3x) R - x^2 - 2.
//
// Header-only and free of Python: any C++17 program can include it and call veltra::_R.
// The kernels are written once for a generic floating type; veltra's modules use double.
// Every step is one separately rounded operation in the order written, so the results are
// reproducible to the bit wherever the build keeps IEEE semantics (no contraction into fused
// multiply-add, no reassociation, no extended precision).
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

#include "mills_tables.hpp"

namespace veltra {

// sqrt(2 pi) and sqrt(pi/2), each the exact value rounded once (rounding 2 pi or pi/2 first
// gives a neighbouring double).
inline constexpr double SQRT_2PI = 2.5066282746310007;
inline constexpr double SQRT_PI_2 = 1.2533141373155003;
// log sqrt(2 pi), the logarithm of the normal density's constant, rounded once.
inline constexpr double LOG_SQRT_2PI = 0.9189385332046728;

// Limits of the double range that the kernels guard against, computed once when the library
// is loaded.  (Static members of a class template rather than variable templates: GCC keeps
// the latter visible outside a shared library whatever its default visibility.)
template <class T>
struct Limits {
    // Reflection limit: below it exp(x^2/2) exceeds the largest finite value, and so does R(x).
    // -sqrt(2 ln(max)): -37.67712072049519 in double.
    static inline const T NEG_OVERFLOW = -std::sqrt(std::log(std::numeric_limits<T>::max()) +
                                                    std::log(std::numeric_limits<T>::max()));
    // sqrt(max), 1.3407807929942596e154 in double: beyond it a = x^2 + 3 leaves no room for
    // the products of the tail convergents.
    static inline const T SQRT_MAX = std::sqrt(std::numeric_limits<T>::max());
};

// ---------------------------------------------------------------------------------------
// Coefficient tables: one Chebyshev interpolant per segment of a segment map.

// Record index for a segment-map value v: trunc(v), limited to the table's records [0, last].
// NaN and negative values give 0 and values at or above `last` give `last`; the conversion to
// int is made only for values in between, where it is exact and defined.
template <class T>
inline int segment_index(T v, int last) {
    if (!(v >= T(1))) return 0;
    if (v >= T(last)) return last;
    return static_cast<int>(v);
}

// Horner's scheme from the highest coefficient down: p = c[n-1] v + c[n-2], p = p v + c[k].
template <class T, int N>
inline T horner(const double (&c)[N], T v) {
    T p = T(c[N - 1]) * v + T(c[N - 2]);
    for (int k = N - 3; k >= 0; --k) p = p * v + T(c[k]);
    return p;
}

// (sqrt(pi/2) - R(x))/x on [0, 1], 1 at x = 0; twelve segments of width 1/12, u = 12x - i
// exact.  x = 1 belongs to the last record (u = 1).
template <class T>
inline T poly_low(T x) {
    const T y = x * T(12.0);
    const int i = segment_index(y, 11);
    const T u = y - T(i);
    return horner(RTABLE_LOW[i], u);
}

// 1 - x R(x) = -R'(x) for x > 1.  The segment map 32(x - 1)/(x + 2.5) widens the segments as
// R flattens; t = 32(x - 1)/(x + 2.5) - i is rewritten over the same denominator q so that it
// costs one more division and no cancellation against i.
template <class T>
inline T poly_mid(T x) {
    const T q = x + T(2.5);
    const int i = segment_index(((x - T(1.0)) * T(32.0)) / q, 25);
    const T t = (T(32 - i) * x - (T(i) * T(2.5) + T(32.0))) / q;
    return horner(RTABLE_MID[i], t);
}

// -R'''(x) = x^2 + 2 - (x^3 + 3x) R(x) on [0, 31.5), by the segment map 50x/(x + 3.5), with
// s = 50x/(x + 3.5) - i rewritten over one denominator as in poly_mid.
template <class T>
inline T poly_d3(T x) {
    const T q = x + T(3.5);
    const int i = segment_index((x / q) * T(50.0), 44);
    const T s = (T(50 - i) * x - T(i) * T(3.5)) / q;
    return horner(RTABLE_D3[i], s);
}

// ---------------------------------------------------------------------------------------
// Tail convergents.  For large x the continued fraction R(x) = 1/(x + 1/(x + 2/(x + ...)))
// converges fast; its convergents, rewritten as polynomials F, G in a = x^2 + 3 with
// D = F a - G, give R = (D - F)/(D x), -R' = F/D and -R''' = G/D as ratios of positive
// terms, with no cancellation.  Higher orders serve smaller x.

template <class T>
struct TailConvergent {
    T F;
    T G;
    T D;
};

template <class T>
inline TailConvergent<T> tail_convergent(T a, int order) {
    T F;
    T G;
    switch (order) {
    case 0:
        F = a + T(4.0);
        G = T(6.0);
        break;
    case 1:
        F = (a + T(12.0)) * a + T(12.0);
        G = a * T(6.0) + T(48.0);
        break;
    case 2:
        F = ((a + T(24.0)) * a + T(114.0)) * a - T(24.0);
        G = (a * T(6.0) + T(120.0)) * a + T(324.0);
        break;
    case 3:
        F = (((a + T(40.0)) * a + T(426.0)) * a + T(936.0)) * a - T(1248.0);
        G = ((a * T(6.0) + T(216.0)) * a + T(1812.0)) * a + T(1728.0);
        break;
    default:
        F = ((((a + T(60.0)) * a + T(1116.0)) * a + T(6816.0)) * a + T(4932.0)) * a - T(22320.0);
        G = (((a * T(6.0) + T(336.0)) * a + T(5472.0)) * a + T(24768.0)) * a - T(1080.0);
        break;
    }
    return {F, G, F * a - G};
}

// Lowest order whose truncation error is below rounding for this x: 0 from the first
// threshold on, 1 from the second, ..., 4 below the last.
template <class T>
inline int tail_order(T x, double order0_from, double order1_from, double order2_from,
                      double order3_from) {
    if (x >= T(order0_from)) return 0;
    if (x >= T(order1_from)) return 1;
    if (x >= T(order2_from)) return 2;
    if (x >= T(order3_from)) return 3;
    return 4;
}

// ---------------------------------------------------------------------------------------
// R(x)

// Tail, x >= 9.5: convergents of the continued fraction.  From 548 on the first correction
// term suffices, (a - 1)/(a x) = (x^2 + 2)/((x^2 + 3) x); from 6.7e7 on, 1/x is R to the bit.
template <class T>
inline T mills_tail(T x) {
    if (x >= T(67000000.0)) return T(1.0) / x;
    const T a = x * x + T(3.0);
    if (x >= T(548.0)) return (a - T(1.0)) / (a * x);
    const TailConvergent<T> c = tail_convergent(a, tail_order(x, 59.3, 24.1, 15.1, 11.4));
    return (c.D - c.F) / (c.D * x);
}

// R for x >= 0 (and NaN).  On [0, 1] R stays near sqrt(pi/2) and is formed as sqrt(pi/2)
// minus a small product; on (1, 9.5) from 1 - x R, which is not small there, divided by x.
template <class T>
inline T mills_nonnegative(T x) {
    if (x <= T(1.0)) return T(SQRT_PI_2) - poly_low(x) * x;
    if (x >= T(9.5)) return mills_tail(x);
    return (T(1.0) - poly_mid(x)) / x;  // also NaN, which fails every comparison
}

// exp(x^2/2) with the square halved first: x * 0.5 is exact, so the one rounding of the
// argument is that of the product, the error that the reflection formulas inherit.
template <class T>
inline T exp_half_square(T x) {
    T h = x * T(0.5);
    h = h * x;
    return std::exp(h);
}

// Mills ratio R(x) for every x.  Negative x reflect through R(x) + R(-x) = sqrt(2 pi) e^(x^2/2):
// both terms are positive there and the exponential dominates, so the sum does not cancel;
// its error grows with x^2/2, the rounded argument of exp.
template <class T>
inline T _R(T x) {
    static_assert(std::is_floating_point_v<T>, "the Mills ratio kernels take a floating type");
    if (x < T(0)) {
        if (x < Limits<T>::NEG_OVERFLOW) return std::numeric_limits<T>::infinity();
        return exp_half_square(x) * T(SQRT_2PI) - mills_nonnegative(-x);
    }
    return mills_nonnegative(x);
}

// ---------------------------------------------------------------------------------------
// -R'(x) = 1 - x R(x)

// For x >= 0 (and NaN).  On [0, 1], x R(x) < 0.66, so 1 - x R loses at most two bits and is
// formed from the low-range R itself.  Beyond, 1 - x R cancels ever more (it falls like
// 1/x^2): the table holds it directly up to 11.5 and the tail convergents give F/D after,
// down to 1/a from 12800 on.  The tail shares the guard of -R''': once a = x^2 + 3 exceeds
// sqrt(max), from x = 2^256 on (+inf included), the result is 0.  The guard flushes the
// values below 1/a(2^256) = 7.5e-155 to zero, so that both derivative kernels end alike.
template <class T>
inline T mills_d1_nonnegative(T x) {
    if (x <= T(1.0)) {
        const T q = T(SQRT_PI_2) - poly_low(x) * x;
        return T(1.0) - q * x;
    }
    if (x >= T(11.5)) {
        const T a = x * x + T(3.0);
        if (a > Limits<T>::SQRT_MAX) return T(0.0);
        if (x >= T(12800.0)) return T(1.0) / a;
        const TailConvergent<T> c = tail_convergent(a, tail_order(x, 165.0, 41.0, 21.2, 14.5));
        return c.F / c.D;
    }
    return poly_mid(x);  // also NaN
}

// -R'(x) for every x.  Negative x: -R'(x) = -R'(-x) - sqrt(2 pi) x e^(x^2/2), a sum of two
// positive terms.
template <class T>
inline T _R1(T x) {
    static_assert(std::is_floating_point_v<T>, "the Mills ratio kernels take a floating type");
    if (x < T(0)) {
        if (x < Limits<T>::NEG_OVERFLOW) return std::numeric_limits<T>::infinity();
        const T r = mills_d1_nonnegative(-x);
        const T e = exp_half_square(x);
        return r - e * (x * T(SQRT_2PI));
    }
    return mills_d1_nonnegative(x);
}

// ---------------------------------------------------------------------------------------
// -R'''(x) = x^2 + 2 - (x^3 + 3x) R(x)

// For x >= 0 (and NaN).  The formula cancels everywhere (the value falls like 6/x^4 from 2 at
// x = 0), so it is never used: the table holds -R''' directly below 17.1 and the tail
// convergents give G/D from there on, order 0 all the way up.  Once a = x^2 + 3 exceeds
// sqrt(max), from x = 2^256 on, 0 is returned.  The value there, about 6/a^2 = 3.3e-308, is
// still just above the smallest normal double: the guard flushes it, and the subnormal
// values beyond, to zero.
template <class T>
inline T mills_d3_nonnegative(T x) {
    if (x >= T(17.1)) {
        const T a = x * x + T(3.0);
        if (a > Limits<T>::SQRT_MAX) return T(0.0);
        const TailConvergent<T> c = tail_convergent(a, tail_order(x, 17300.0, 210.0, 50.5, 25.4));
        return c.G / c.D;
    }
    return poly_d3(x);  // also -0.0 and NaN
}

// -R'''(x) for every x.  Negative x: -R'''(x) = -R'''(-x) - sqrt(2 pi) x (x^2 + 3) e^(x^2/2),
// again a sum of two positive terms.
template <class T>
inline T _R3(T x) {
    static_assert(std::is_floating_point_v<T>, "the Mills ratio kernels take a floating type");
    if (x < T(0)) {
        if (x < Limits<T>::NEG_OVERFLOW) return std::numeric_limits<T>::infinity();
        const T r = mills_d3_nonnegative(-x);
        const T e = exp_half_square(x);
        T m = x * x + T(3.0);
        m = m * (x * T(SQRT_2PI));
        return r - e * m;
    }
    return mills_d3_nonnegative(x);
}

// ---------------------------------------------------------------------------------------
// (sqrt(pi/2) - R(x))/x on [0, 1]

// The low-range polynomial itself, so that R = sqrt(pi/2) - _Rrel_below1(x) x and
// -R' = 1 - (sqrt(pi/2) - _Rrel_below1(x) x) x hold to the last bit; 1 (= -R'(0)) at x = 0.
// Outside [0, 1] nothing is read beyond the table: x > 1 extrapolates the last record and
// x < 0 the first, both polynomials continued past their segment (close to the function just
// outside the interval, drifting from it as the distance grows); NaN gives NaN.
template <class T>
inline T _Rrel_below1(T x) {
    return poly_low(x);
}

// ---------------------------------------------------------------------------------------
// R, -R' and -R''' together from one tail convergent

template <class T>
struct Mills013 {
    T R;   // R(x)
    T R1;  // -R'(x)
    T R3;  // -R'''(x)
};

// The three values that the tail convergent of the given order (0 to 4; others count as 4)
// assigns to x, with a = x^2 + 3: (D - F)/(D x), F/D and G/D, the tail forms of _R, _R1 and
// _R3.  Each is accurate to rounding where its kernel uses that order: order 0 serves all
// three from x = 17300 on; below, pass the order of the kernel that needs the most.
template <class T>
inline Mills013<T> _R013_CF(T x, int order) {
    const T a = x * x + T(3.0);
    const TailConvergent<T> c = tail_convergent(a, order);
    return {(c.D - c.F) / (c.D * x), c.F / c.D, c.G / c.D};
}

}  // namespace veltra
