// The exponential and the logarithm, with e^x - 1 and log(1 + x), written once for a double
// and for a lane set of doubles (_vec/), so that a kernel that calls them gives the same bits
// on one argument and on many.
// The C library's exp and log cannot do that: a vector kernel must call them one lane at a
// time.
//
// exp(x) = 2^k e^r with k the integer nearest x/log 2 and r = x - k log 2, |r| <= 0.347:
//   - r is formed from log 2 in two parts (Cody and Waite): LN2_HI has 33 significant bits,
//     so k LN2_HI is exact for |k| < 2^11 and x - k LN2_HI is exact (the two are within a
//     factor of 2 of each other, or k = 0); LN2_LO carries the rest to 2^-86 of log 2.
//   - e^r = 1 + (r + r^2 p(r)), p the Taylor polynomial of (e^r - 1 - r)/r^2 to r^11, whose
//     first omitted term is below 2^-60 at |r| = 0.347.  The sum r + r^2 p is accurate to
//     a fraction of an ulp of 1, with the rounding error of r itself carried into it; the
//     last addition rounds once.
//   - 2^k = 2^k1 2^k2 with k1 = trunc(k/2): both factors are normal doubles for every k
//     between the limits and both products are exact for a normal result.  A subnormal
//     result is rounded once, onto the grid of 1 + e^r 2^(k + 1022).
// Measured against a 64-bit-significand reference: within 0.71 ulp on tens of millions of
// arguments over the whole range, subnormal results included; the C library's exp (glibc)
// gives the same double for all but about one argument in seventy.
//
// expm1(x) = e^x - 1 from the same reduction, as (2^k - 1) + 2^k (e^r - 1), whose first term
// is exact for |k| <= 53 and whose second is e^r - 1 = r + r^2 p(r) scaled exactly: near 0
// (k = 0) no digit of x is lost.  The two large parts 2^k - 1 and 2^k r are summed exactly
// and the small terms added to their rounding error, so that only the last addition rounds.
// Measured within 1.15 ulp (the worst where k = 0 and r^2 p(r) is a sixth of the result, x
// near 0.34).
//
// log(x) = e log 2 + log(1 + f) for x = 2^e (1 + f), sqrt(1/2) <= 1 + f < sqrt(2):
//   - e and 1 + f are read off the bits (a subnormal x is first scaled by 2^54), exactly;
//   - log(1 + f) = 2 atanh(s), s = f/(2 + f), |s| <= 0.1716, taken as f - hfsq + s (hfsq + R)
//     with hfsq = f^2/2 and R = 2 s^2/3 + 2 s^4/5 + ... (Taylor, to s^24: the first omitted
//     term is below 2^-62 of f);
//   - e log 2 in two parts as for exp; the large parts e LN2_HI + f - hfsq are summed
//     exactly (hfsq from a split f), so that only the small terms and the last addition round.
// log1p(y) = log(u) + (y - (u - 1))/u with u = 1 + y rounded: the correction is the rounding
// error of u, exact, divided by u, which restores the digits of y that u lost.
// Measured as exp: log within 0.70 ulp, log1p within 1.44 ulp (the worst next to y = -1.5
// 2^-53, where u = 1 - 2^-52 and the rounding of log(u) is a whole ulp of the result).
//
// Generic over T with the operations +, -, *, /, comparisons, select(mask, a, b), trunc(v),
// pow2(k) (2^k for a whole number k from -1100 to 1100 held in a T), exponent_of(x) and
// mantissa_of(x) (e and 2^-e x in [1, 2) for a positive normal x); those for double are below,
// those of a lane set with its vector type.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace veltra::elementary {

inline double select(bool take, double if_true, double if_false) { return take ? if_true : if_false; }

// Whether a condition holds in some lane, in every lane (the lane sets have their own).  The
// rare cases (an argument out of range, a subnormal result) are evaluated only where some
// lane needs them: the other lanes' results are the same either way.
inline bool any(bool holds) { return holds; }
inline bool all(bool holds) { return holds; }

inline double trunc(double v) { return std::trunc(v); }

// 2^k, from the bits of k + 1023 (the biased exponent) left in the low bits of the sum with
// 1.5 2^52, whose spacing is 1: no conversion of a double to an integer.
inline double pow2(double k) {
    const double biased = k + (1023.0 + 0x1.8p52);
    std::uint64_t bits;
    std::memcpy(&bits, &biased, sizeof bits);
    bits <<= 52;
    double result;
    std::memcpy(&result, &bits, sizeof result);
    return result;
}

// The exponent e of a positive normal double, as a double, and its significand 2^-e x in [1, 2).
inline double exponent_of(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return double(static_cast<int>((bits >> 52) & 0x7ff) - 1023);
}

inline double mantissa_of(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits = (bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL;
    double m;
    std::memcpy(&m, &bits, sizeof m);
    return m;
}

// c[0] + c[1] x + ... + c[11] x^11 by Estrin's scheme: pairs, then the powers x^2, x^4,
// x^8, so that the dependent chain is five multiply-adds deep rather than Horner's eleven.
template <class T>
inline T estrin12(const double (&c)[12], T x) {
    const T x2 = x * x;
    const T x4 = x2 * x2;
    const T x8 = x4 * x4;
    const T q0 = T(c[0]) + T(c[1]) * x;
    const T q1 = T(c[2]) + T(c[3]) * x;
    const T q2 = T(c[4]) + T(c[5]) * x;
    const T q3 = T(c[6]) + T(c[7]) * x;
    const T q4 = T(c[8]) + T(c[9]) * x;
    const T q5 = T(c[10]) + T(c[11]) * x;
    return (q0 + q1 * x2) + (q2 + q3 * x2) * x4 + ((q4 + q5 * x2) * x8);
}

// log(DBL_MAX) to the nearest double, below it: above, exp(x) overflows.  From EXP_UNDERFLOW,
// log(2^-1075) to the nearest double, below it, down, e^x is below half the smallest
// subnormal and rounds to 0 (the reduction gives 0 at EXP_UNDERFLOW itself).
inline constexpr double EXP_OVERFLOW = 709.782712893384;
inline constexpr double EXP_UNDERFLOW = -745.1332191019412;
inline constexpr double INV_LN2 = 1.4426950408889634;
inline constexpr double LN2_HI = 0x1.62e42fee00000p-1;
inline constexpr double LN2_LO = 0x1.a39ef35793c76p-33;
// Adding and subtracting 1.5 2^52 rounds a double below 2^51 in magnitude to a whole number.
inline constexpr double ROUND_SHIFT = 0x1.8p52;
// 1/k!, k = 2 .. 13.
inline constexpr double EXP_TAYLOR[12] = {
    0.5,
    0.16666666666666666,
    0.041666666666666664,
    0.008333333333333333,
    0.001388888888888889,
    0.0001984126984126984,
    2.48015873015873e-05,
    2.7557319223985893e-06,
    2.755731922398589e-07,
    2.505210838544172e-08,
    2.08767569878681e-09,
    1.6059043836821613e-10,
};

// x = k log 2 + r + r_err for the clamped argument, with e^r - 1 = r + small to a fraction of
// an ulp of 1 (small = r^2 p(r) + r_err (1 + r), the rounding error of r carried).
template <class T>
struct Reduced {
    T k;
    T r;
    T small;
};

template <class T>
inline Reduced<T> reduce(T clamped) {
    const T k = (clamped * T(INV_LN2) + T(ROUND_SHIFT)) - T(ROUND_SHIFT);
    // r rounds once, by up to 2^-55 at |r| = 0.347, which would cost e^r a quarter of an ulp:
    // its rounding error r_err (Knuth's two-sum, exact) joins the small terms as r_err e^r.
    const T reduced = clamped - k * T(LN2_HI);
    const T reduced_lo = k * T(LN2_LO);
    const T r = reduced - reduced_lo;
    const T r_back = r - reduced;
    const T r_err = (reduced - (r - r_back)) - (reduced_lo + r_back);
    const T r2 = r * r;
    const T p = estrin12(EXP_TAYLOR, r);
    return {k, r, r2 * p + r_err * (T(1.0) + r)};
}

// 2^k e^r, rounded once.
template <class T>
inline T scaled_exp(const Reduced<T>& e) {
    // 1 + r as an unevaluated sum (Knuth's two-sum), so that the one rounding is the last.
    const T one_r = T(1.0) + e.r;
    const T back = one_r - T(1.0);
    const T one_r_err = (T(1.0) - (one_r - back)) + (e.r - back);
    const T tail = one_r_err + e.small;
    const T e_r = one_r + tail;
    const T k1 = trunc(e.k * T(0.5));
    const T scaled = (e_r * pow2(k1)) * pow2(e.k - k1);
    const auto low = e.k < T(-1021.0);
    if (!any(low)) return scaled;
    // A subnormal result would round twice, e^r to 53 bits and then to the coarser grid of
    // the subnormals (up to 0.84 ulp).  From k <= -1022 on, e^r 2^(k + 1022) < 1 is added to
    // 1, whose spacing 2^-52 is that grid scaled by 2^1022: the sum of 1 and the two parts
    // of e^r rounds once, the 1 comes off exactly, and 2^-1022 scales back exactly.
    const T part = pow2(select(low, e.k + T(1022.0), T(0.0)));
    const T part_hi = one_r * part;
    const T with_one = T(1.0) + part_hi;
    const T with_one_err = (T(1.0) - with_one) + part_hi;
    const T subnormal = ((with_one + (with_one_err + tail * part)) - T(1.0)) * T(0x1p-1022);
    return select(low & (part_hi < T(1.0)), subnormal, scaled);
}

template <class T>
inline T exp(T x) {
    // Outside [EXP_UNDERFLOW, EXP_OVERFLOW] the result is 0 or +inf; the reduction works on
    // the clamped argument so that k stays within the range of pow2.  NaN passes through.
    const bool inside = all((x >= T(EXP_UNDERFLOW)) & (x <= T(EXP_OVERFLOW)));
    const T clamped =
        inside ? x : select(x > T(EXP_OVERFLOW), T(EXP_OVERFLOW), select(x < T(EXP_UNDERFLOW), T(EXP_UNDERFLOW), x));
    const T result = scaled_exp(reduce(clamped));
    if (inside) return result;
    return select(x > T(EXP_OVERFLOW), T(std::numeric_limits<double>::infinity()),
                  select(x < T(EXP_UNDERFLOW), T(0.0), result));
}

// e^x - 1 = (2^k - 1) + 2^k (e^r - 1): for |k| <= 53 the first term is exact, the second an
// exact scaling of e^r - 1 = r + small, and only their sum rounds, so that no digit is lost
// where e^x is near 1 (k = 0 is r + small itself, with r = x exact).  From k = 57 on, the 1
// is below 2^-56 of e^x, and e^x itself is the result; below x = EXPM1_LOW, e^x is below
// 2^-57 and the result is -1 to rounding.
inline constexpr double EXPM1_LOW = -40.0;
inline constexpr double EXPM1_LARGE_K = 56.0;

template <class T>
inline T expm1(T x) {
    const T clamped = select(x > T(EXP_OVERFLOW), T(EXP_OVERFLOW), select(x < T(EXPM1_LOW), T(EXPM1_LOW), x));
    const Reduced<T> e = reduce(clamped);
    const T scale = pow2(select(e.k > T(EXPM1_LARGE_K), T(0.0), e.k));
    // (2^k - 1) + 2^k r by Knuth's two-sums, the small terms added last: rounding r + small
    // first would cost half an ulp of e^r - 1, which for k = 1 (x from 0.35) is a whole ulp
    // of the result beside its own rounding (1.58 ulp measured at x = 0.3581); 2^k - 1 itself
    // rounds for |k| > 53, and its error joins the small terms.
    const T ones = scale - T(1.0);
    const T ones_back = ones - scale;
    const T ones_err = (scale - (ones - ones_back)) + (T(-1.0) - ones_back);
    const T scaled_r = scale * e.r;
    const T head = ones + scaled_r;
    const T head_back = head - ones;
    const T head_err = (ones - (head - head_back)) + (scaled_r - head_back);
    const T near = head + ((ones_err + head_err) + scale * e.small);
    const T result = select(e.k > T(EXPM1_LARGE_K), scaled_exp(e), near);
    // -0 keeps its sign; NaN passes through the reduction.
    const auto zero = (x >= T(0.0)) & (x <= T(0.0));
    return select(x > T(EXP_OVERFLOW), T(std::numeric_limits<double>::infinity()),
                  select(x < T(EXPM1_LOW), T(-1.0), select(zero, x, result)));
}

inline constexpr double SQRT2 = 1.4142135623730951;
inline constexpr double SMALLEST_NORMAL = 2.2250738585072014e-308;
// 2/(2k + 1), k = 1 .. 12: R(z)/z = sum 2 z^(k-1)/(2k + 1), z = s^2 <= 0.0295.
inline constexpr double LOG_TAYLOR[12] = {
    0.6666666666666666,  0.4,
    0.2857142857142857,  0.2222222222222222,
    0.18181818181818182, 0.15384615384615385,
    0.13333333333333333, 0.11764705882352941,
    0.10526315789473684, 0.09523809523809523,
    0.08695652173913043, 0.08,
};

template <class T>
inline T log(T x) {
    const auto subnormal = x < T(SMALLEST_NORMAL);
    const T normal = select(subnormal, x * T(0x1p54), x);
    T e = exponent_of(normal);
    T m = mantissa_of(normal);
    const auto above = m > T(SQRT2);
    m = select(above, m * T(0.5), m);
    e = select(above, e + T(1.0), e) - select(subnormal, T(54.0), T(0.0));
    const T f = m - T(1.0);
    const T s = f / (T(2.0) + f);
    const T z = s * s;
    const T R = z * estrin12(LOG_TAYLOR, z);
    // The large parts e LN2_HI + f - f^2/2 are summed exactly, the rest added last: next to
    // sqrt(1/2) and sqrt(2), where e log 2 and log(1 + f) cancel by half, a rounding of f^2/2
    // (0.086 there) alone cost an eighth of an ulp of the result, and the whole up to 0.88 ulp.
    // f = f_hi + f_lo with f_hi of 26 bits (Veltkamp's split), so that f_hi^2/2 is exact.
    const T split = T(134217729.0) * f;
    const T f_hi = split - (split - f);
    const T f_lo = f - f_hi;
    const T hfsq_hi = T(0.5) * f_hi * f_hi;
    const T hfsq_lo = T(0.5) * f_lo * (f_hi + f);
    const T hfsq = hfsq_hi + hfsq_lo;
    // e LN2_HI + f: e LN2_HI is exact and, unless e = 0, the larger (fast two-sum).
    const T head = e * T(LN2_HI) + f;
    const T head_err = f - (head - e * T(LN2_HI));
    // head - f_hi^2/2 by Knuth's two-sum.
    const T sum = head - hfsq_hi;
    const T sum_back = sum - head;
    const T sum_err = (head - (sum - sum_back)) - (hfsq_hi + sum_back);
    const T value = sum + (((head_err + sum_err) - hfsq_lo) + (s * (hfsq + R) + e * T(LN2_LO)));
    // log 0 = -inf, log of a negative number or NaN is NaN, log inf = inf.
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (all((x > T(0.0)) & (x < T(inf)))) return value;
    const T special = select(x > T(0.0), T(inf), select(x < T(0.0), T(std::numeric_limits<double>::quiet_NaN()),
                                                         select(x > T(-1.0), T(-inf), x)));
    return select((x > T(0.0)) & (x < T(inf)), value, special);
}

template <class T>
inline T log1p(T y) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const T u = T(1.0) + y;
    // Named once: a compiler that keeps log out of line does not merge two calls of it.
    const T log_u = log(u);
    const T corrected = log_u + (y - (u - T(1.0))) / u;
    // u == 1: y is below an ulp of 1 and is its own logarithm to rounding (-0 stays -0).  u
    // of 0, negative, infinite or NaN: log(u) is the answer (-inf, NaN, inf, NaN).
    const auto one = (u >= T(1.0)) & (u <= T(1.0));
    return select(one, y, select((u > T(0.0)) & (u < T(inf)), corrected, log_u));
}

}  // namespace veltra::elementary
