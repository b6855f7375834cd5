// Symmetric divided differences of the Mills ratio R(x) = N(-x)/n(x).
//
// For a midpoint x and a half-step dx the evaluation points are a = x - dx and b = x + dx:
//
//     _R_DD(x, dx, theta >= 0)  = (R(a) - R(b)) / (b - a)        the divided difference
//     _R_DD(x, dx, theta < 0)   = (R(-a) + R(b)) / (b - a)       the reflected sum
//     _R_DD_CF(x, dx, n)        = the divided difference of the depth-n continued-fraction
//                                 convergent of R, free of cancellation and of division by dx
//
// The plain difference R(a) - R(b) loses its digits as dx shrinks; _R_DD switches to a Taylor
// series in dx seeded from R''' near the origin and to the convergent's divided difference in
// the tail, so that the relative error stays near 1e-14 for every x >= -1.
//
// Header-only and free of Python, like mills.hpp, whose _R, _R1 and _R3 it uses.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

#include "exact.hpp"
#include "intmean.hpp"
#include "mills.hpp"

namespace veltra {

namespace detail {

// Binary exponent that brings max(|u|, |v|) back to [2^-9, 2^-8) once it has left
// [2^-9, ceiling), else 0.  The sequences are linear, so scaling a group of them by a power of
// two changes no rounding; the ceiling leaves the headroom for the next step's products.
template <class T>
inline int rescale_exponent(T u, T v, T ceiling) {
    const T m = std::fmax(std::fabs(u), std::fabs(v));
    if (!(m > T(0)) || !std::isfinite(m)) return 0;
    if (m >= T(0x1p-9) && m < ceiling) return 0;
    int e;
    std::frexp(m, &e);
    return e + 8;
}

// Largest magnitude a scaled group may reach before it is brought back: one step multiplies
// it by at most 8 max(k^2, |d| k, |r|, |a| k, |b| k) <= 2^65 max(1, |d|, |r|, |a|, |b|) for
// k < 2^31, and the final product of the two denominators squares it, so half the exponent
// range less that growth keeps every value finite.  Where the points are so large that no
// room is left, every step rescales.
template <class T>
inline T rescale_ceiling(T a, T b, T d, T r) {
    const T size = std::fmax(std::fmax(T(1.0), std::fmax(std::fabs(d), r)), std::fmax(std::fabs(a), std::fabs(b)));
    const T ceiling = std::ldexp(T(1.0), std::numeric_limits<T>::max_exponent / 2 - 70) / size;
    return std::fmax(ceiling, T(0x1p-8));
}

// The coupled recurrence for the divided difference of the depth-n convergent A_n/P_n:
//     V_k = (A_k(a) P_k(b) - A_k(b) P_k(a)) / (b - a),
//     T_k = (a A_k(a) P_(k-1)(b) - b A_k(b) P_(k-1)(a)
//            + b A_(k-1)(a) P_k(b) - a A_(k-1)(b) P_k(a)) / (b - a),
// a cross term between consecutive depths.  Both are polynomials in a and b, which the
// recurrence forms without subtracting the two convergents; with the denominators
// Pa_k = P_k(a) and Pb_k = P_k(b) the result is V_n / (Pb_n Pa_n).
//
// `scaled` rescales each linear group ((V, T) together, Pa, Pb) by an exact power of two
// whenever it leaves its range, carrying the exponents apart and applying them once at the
// end: the values are those of the plain recurrence, only without leaving the double range.
// The plain recurrence stops once a value is no longer finite: an infinity or NaN never
// becomes finite again in these sums and products, so its result would be rejected anyway.
//
// The depth may be any integer type, and the loop's counter is of that type: it stops at k = n
// and is never incremented past it, so that n = INT_MAX ends as every other depth does.
template <bool scaled, class T, class Depth>
inline T dd_cf_recurrence(T a, T b, T d, Depth n) {
    T V0 = T(1.0), T0 = T(-1.0), Pb0 = b, Pa0 = a;
    T V1 = d - T(1.0);
    T Pb1 = b * b + T(1.0);
    T Pa1 = a * a + T(1.0);
    const T r = b * b + a * a;
    T T1 = r + T(1.0);
    long long eVT = 0, ea = 0, eb = 0;  // binary exponents of the scaled groups
    const T ceiling = scaled ? rescale_ceiling(a, b, d, r) : T(0);
    auto rescale = [&]() {
        int e = rescale_exponent(std::fmax(std::fabs(V1), std::fabs(V0)),
                                 std::fmax(std::fabs(T1), std::fabs(T0)), ceiling);
        if (e != 0) {
            V0 = std::ldexp(V0, -e), V1 = std::ldexp(V1, -e);
            T0 = std::ldexp(T0, -e), T1 = std::ldexp(T1, -e);
            eVT += e;
        }
        e = rescale_exponent(Pa1, Pa0, ceiling);
        if (e != 0) Pa0 = std::ldexp(Pa0, -e), Pa1 = std::ldexp(Pa1, -e), ea += e;
        e = rescale_exponent(Pb1, Pb0, ceiling);
        if (e != 0) Pb0 = std::ldexp(Pb0, -e), Pb1 = std::ldexp(Pb1, -e), eb += e;
    };
    if (n >= 2) {
        const T u = d + d;
        for (Depth k = 2;; ++k) {
            if constexpr (scaled) rescale();
            const T i = T(k);
            const T V2 = (i * V0 + T1) * i + V1 * d;
            const T T2 = ((i - T(1.0)) * T0 + u * V0) * i + V1 * r;
            const T Pa2 = i * Pa0 + Pa1 * a;
            const T Pb2 = i * Pb0 + Pb1 * b;
            V0 = V1, V1 = V2, T0 = T1, T1 = T2;
            Pa0 = Pa1, Pa1 = Pa2, Pb0 = Pb1, Pb1 = Pb2;
            if constexpr (!scaled) {
                // checked every 64 steps: the short loops of _R_DD never pay for it
                if ((k & 63) == 0 && !(std::isfinite(V1) && std::isfinite(T1) && std::isfinite(Pa1) &&
                                       std::isfinite(Pb1)))
                    return std::numeric_limits<T>::quiet_NaN();
            }
            if (k == n) break;
        }
    }
    if constexpr (scaled) {
        // Only the last values enter the quotient, and each group was scaled by its larger
        // member: the last denominator of an even depth at a point near 0 is the smaller
        // one by the factor of that point.  Each factor is brought to [1/2, 1) on its own,
        // so their product cannot underflow.
        int eV, eA, eB;
        V1 = std::frexp(V1, &eV);
        Pa1 = std::frexp(Pa1, &eA);
        Pb1 = std::frexp(Pb1, &eB);
        const T q = V1 / (Pb1 * Pa1);
        // Beyond +-4096 the result is 0 or infinite whatever q is; the clamp keeps the
        // exponent an int for ldexp however deep the recurrence went.
        const long long exponent = std::clamp((eVT + eV) - (ea + eA) - (eb + eB), -4096LL, 4096LL);
        return std::ldexp(q, static_cast<int>(exponent));
    } else {
        return V1 / (Pb1 * Pa1);
    }
}

// The depth-n convergent A_n(y)/P_n(y) itself (n >= 1; negative n count as 1), by the
// three-term recurrences of A and P.  Both grow like sqrt(n!) in n: the pair is scaled down
// together by an exact power of two whenever P would approach overflow, which leaves the ratio
// unchanged.  The counter is of the depth's type and stops at the depth, as in
// dd_cf_recurrence.
template <class T, class Depth>
inline T convergent(T y, Depth n) {
    T A0 = T(0.0), A1 = T(1.0), P0 = T(1.0), P1 = y;  // depths -1 and 0
    const T big = std::ldexp(T(1.0), std::numeric_limits<T>::max_exponent / 2);
    const Depth depth = std::max(n, Depth(1));
    for (Depth k = 1;; ++k) {
        const T A2 = y * A1 + T(k) * A0;
        const T P2 = y * P1 + T(k) * P0;
        A0 = A1, A1 = A2, P0 = P1, P1 = P2;
        if (std::fabs(P1) > big || std::fabs(A1) > big) {
            const int shift = -std::numeric_limits<T>::max_exponent / 2;
            A0 = std::ldexp(A0, shift), A1 = std::ldexp(A1, shift);
            P0 = std::ldexp(P0, shift), P1 = std::ldexp(P1, shift);
        }
        if (k == depth) break;
    }
    return A1 / P1;
}

// Beyond 2^27 every convergent K is 1/y to rounding (its next term, -1/y^3, is below half an
// ulp of 1/y).  So where both points lie beyond it, the divided difference is
// (1/a - 1/b)/(b - a) = 1/(ab); and where one point l lies beyond it and the other, s, is
// below 2^-54 |l|, so that l - s is l to rounding, it is (K(s) - 1/l)/(l - s) =
// K(s)/l - 1/l^2, with K evaluated at s directly (0 at s = 0 for odd depths, a pole for even
// ones).  Where the recurrence leaves the double range (always where a point's square
// overflows) these forms serve instead of the rescaled recurrence, which would lose the
// smaller of V and T against the larger.
template <class T>
inline bool convergents_are_reciprocals(T a, T b) {
    const T lo = std::fmin(std::fabs(a), std::fabs(b));
    const T hi = std::fmax(std::fabs(a), std::fabs(b));
    return lo >= T(0x1p27) || (hi >= T(0x1p27) && lo <= hi * T(0x1p-54));
}

template <class T>
inline T dd_cf_far_point(T a, T b, int n) {
    const bool a_near = std::fabs(a) < std::fabs(b);
    const T near = a_near ? a : b;
    const T far = a_near ? b : a;
    if (std::fabs(near) >= T(0x1p27)) return (T(1.0) / far) / near;  // symmetric in a, b
    const T value_near = convergent(near, n);
    if (std::isinf(value_near)) return value_near;  // the pole at 0, even where far overflowed
    return value_near / far - (T(1.0) / far) / far;
}

}  // namespace detail

// Divided difference of the depth-n convergent of R(y) = 1/(y + 1/(y + 2/(y + ...))),
// A_n(y)/P_n(y) with A_-1 = 0, A_0 = 1, P_-1 = 1, P_0 = y and, for k >= 1,
// A_k = y A_(k-1) + k A_(k-2), P_k = y P_(k-1) + k P_(k-2).  Depth 0 is 1/y, so n = 0 gives
// 1/(ab); every negative n counts as depth 1.  Even in dx.
//
// The plain recurrence grows like x^(2n) (and like n! in n); where any of its values would
// leave the double range, points beyond 2^27 take the reciprocal forms of
// detail::dd_cf_far_point (every convergent is 1/y there to rounding), and the others the
// same recurrence again with exact power-of-two rescaling, so that the result stays correct
// wherever it is representable.
template <class T>
inline T _R_DD_CF(T x, T dx, int n) {
    const T b = x + dx;
    const T a = x - dx;
    const T d = b * a;
    if (n == 0) {
        if (std::isfinite(d)) return T(1.0) / d;
        if (a == T(0) || b == T(0)) return std::numeric_limits<T>::infinity();  // the pole at 0
        if (!std::isfinite(a) || !std::isfinite(b)) return T(1.0) / d;
        // b a overflows: 1/(ab) is below the normal range; the larger point first, so that
        // the result stays even in dx
        return std::fabs(a) < std::fabs(b) ? (T(1.0) / b) / a : (T(1.0) / a) / b;
    }
    const T plain = detail::dd_cf_recurrence<false>(a, b, d, n);
    if (std::isfinite(plain) && plain != T(0)) return plain;
    if (std::isnan(x) || std::isnan(dx)) return plain;
    if (detail::convergents_are_reciprocals(a, b)) return detail::dd_cf_far_point(a, b, n);
    return detail::dd_cf_recurrence<true>(a, b, d, n);
}

namespace detail {

// numerator / (2 dx), also where 2 dx overflows (dx beyond 8.9e307): there the numerator is
// halved instead, which is exact unless it is subnormal.
template <class T>
inline T over_twice(T numerator, T dx) {
    const T twice = dx + dx;
    if (std::isinf(twice) && std::isfinite(dx)) return (numerator * T(0.5)) / dx;
    return numerator / twice;
}

// Where R(y) overflows (y < -37.65) the reflection R(y) = sqrt(2 pi) e^(y^2/2) - R(-y) is still
// exact, and the term e^(y^2/2), beyond the double range, can be combined with the rest in the
// exponent: e^(y^2/2 + log sqrt(2 pi) + log_rest).  y = u + v is the exact sum of its two
// parts, so neither its rounding nor that of y^2/2 (about 700 there) reaches the result.
// Past |y| = 2^400 the exponent is far beyond every log_rest and the value is +inf.
template <class T>
inline T reflected_exp(T u, T v, T log_rest) {
    const T y = u + v;
    if (!(std::fabs(y) < T(0x1p400))) return std::numeric_limits<T>::infinity();
    return exp_of_sum(half_square_of_sum(u, v), T(LOG_SQRT_2PI) + log_rest);
}

// (R(a) - R(b)) / (2 dx), a = x - dx < b = x + dx, where R(a) overflows.  If b >= 0, R(b) < 1.3
// and R(-a) < 0.03 are lost against e^(a^2/2) > 1e308.  If b < 0, R(b) too is an exponential,
// and R(a) - R(b) = sqrt(2 pi) e^(a^2/2) (1 - e^(2 x dx)) up to the same negligible terms, since
// b^2 - a^2 = 4 x dx exactly; with t = 2 x dx,
//     (1 - e^t) / (2 dx) = -x expm1(t)/t,
// a product of positive factors that neither cancels nor underflows for any dx > 0.
template <class T>
inline T overflowing_difference(T x, T dx) {
    T log_rest;
    if (x + dx < T(0)) {
        log_rest = std::log(-x) + std::log(expm1_ratio((x * dx) * T(2.0)));
    } else {
        log_rest = -std::log(dx + dx);
    }
    return reflected_exp(x, -dx, log_rest);
}

// (R(dx - x) + R(x + dx)) / (2 dx) where a term overflows.  Of the two arguments only the
// negative ones carry exponentials; with y the more negative, the sum is
// sqrt(2 pi) e^(y^2/2) (1 + e^(-|2 x dx|)) when both are negative (their squares differ by
// 4 x dx), else sqrt(2 pi) e^(y^2/2), again up to terms below 1.3.  The sign is that of dx.
template <class T>
inline T overflowing_sum(T x, T dx) {
    const T p = dx - x;
    const T q = x + dx;
    T log_rest = -std::log(std::fabs(dx + dx));
    if (p < T(0) && q < T(0)) log_rest += std::log1p(std::exp(-std::fabs((x * dx) * T(2.0))));
    const T value = (p < q) ? reflected_exp(dx, -x, log_rest) : reflected_exp(x, dx, log_rest);
    return std::copysign(value, dx);
}

// The divided difference for a step dx >= 0 (or NaN), by the size of the step relative to the
// distance from the pole-like growth of R on the left (x + 1.25):
//   - dx >= 0.0392 (x + 1.25), or NaN: the plain difference, which has lost at most about
//     -log2(0.0392) bits there (combined in the exponent once R(x - dx) overflows);
//   - x - dx >= 12800, 165, 41 or 21.2: the divided difference of the convergent of depth
//     2, 4, 6 or 8, which equals R's own to rounding there;
//   - otherwise the five-term Taylor series in dx of -(R(x+dx) - R(x-dx))/(2dx), whose odd
//     derivatives all follow from -R''' by R^(k+2) = (x^2 + 2k + 1) R^(k) - k(k-1) R^(k-2).
// At dx = 0 the result is the limit -R'(x): the Taylor series and the convergent give it
// without dividing by dx, and where the plain difference would be taken (x <= -1.25) it is
// evaluated directly instead of as 0/0.
template <class T>
inline T difference_nonnegative_step(T x, T dx) {
    if (!(dx < (x + T(1.25)) * T(0.0392))) {
        if (dx == T(0)) return _R1(x);
        const T ra = _R(x - dx);
        if (ra == std::numeric_limits<T>::infinity()) return overflowing_difference(x, dx);
        return over_twice(ra - _R(x + dx), dx);
    }
    const T m = x - dx;
    if (m >= T(12800.0)) return _R_DD_CF(x, dx, 2);
    if (m >= T(165.0)) return _R_DD_CF(x, dx, 4);
    if (m >= T(41.0)) return _R_DD_CF(x, dx, 6);
    if (m >= T(21.2)) return _R_DD_CF(x, dx, 8);

    const T e = x * x + T(3);
    const T f = _R3(x);                          // -R'''(x)
    const T g = (f + T(1)) / e;                  // -R'(x)
    const T s = dx * dx;
    const T h = (e + T(4)) * f - g * T(6);       // -R^(5)(x)
    const T l = (e + T(8)) * h - f * T(20);      // -R^(7)(x)
    const T q = (e + T(12)) * l - h * T(42);     // -R^(9)(x)
    return ((((q * (s / T(72)) + l) * (s / T(42)) + h) * (s / T(20)) + f) * (s / T(6))) + g;
}

}  // namespace detail

// Divided difference (theta >= 0) or reflected sum (theta < 0) of the Mills ratio.
//
// Sum branch: (R(dx - x) + R(x + dx)) / (2 dx), two positive terms, no cancellation.
//
// Difference branch: the divided difference is even in dx, and every method for it is chosen
// and evaluated on |dx| (detail::difference_nonnegative_step), so a negative step gives the
// same bits as its magnitude.
//
// Where a value of R overflows although the quotient does not (R(x - dx) beyond 1.8e308
// divided by a wide step; two overflowing values whose difference does not), the exponentials
// are combined in the exponent instead: a representable result comes out right, and an
// overflowing one is +inf (-inf for the sum with a negative step).
template <class T>
inline T _R_DD(T x, T dx, int theta) {
    if (theta < 0) {
        const T rp = _R(dx - x);
        const T rq = _R(x + dx);
        const T sum = rp + rq;
        // R >= 0 everywhere, so one infinite term makes the sum infinite even where the other
        // point is the undefined inf - inf of infinite x and dx
        constexpr T inf = std::numeric_limits<T>::infinity();
        if (sum == inf || ((rp == inf || rq == inf) && !std::isnan(x) && !std::isnan(dx)))
            return detail::overflowing_sum(x, dx);
        return detail::over_twice(sum, dx);
    }
    return detail::difference_nonnegative_step(x, std::fabs(dx));
}

}  // namespace veltra
