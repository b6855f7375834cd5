// The exponential, written once for a double and for a lane set of doubles (_vec/), so that a
// kernel that calls it gives the same bits on one argument and on many.  The C library's exp
// cannot do that: a vector kernel must call it one lane at a time.
//
// exp(x) = 2^k e^r with k the integer nearest x/log 2 and r = x - k log 2, |r| <= 0.347:
//   - r is formed from log 2 in two parts (Cody and Waite): LN2_HI has 33 significant bits,
//     so k LN2_HI is exact for |k| < 2^11 and x - k LN2_HI is exact (the two are within a
//     factor of 2 of each other, or k = 0); LN2_LO carries the rest to 2^-86 of log 2.
//   - e^r = 1 + (r + r^2 p(r)), p the Taylor polynomial of (e^r - 1 - r)/r^2 to r^11, whose
//     first omitted term is below 2^-60 at |r| = 0.347.  The sum r + r^2 p is accurate to
//     a fraction of an ulp of 1, the last addition rounds once.
//   - 2^k = 2^k1 2^k2 with k1 = trunc(k/2): both factors are normal doubles for every k
//     between the limits, the first product is exact, and the second rounds only into the
//     subnormals (gradual underflow, once).
// Measured against mpmath (tests/test_elementary.py): within 0.53 ulp on millions of
// arguments over the whole range, subnormal results included; the C library's exp (glibc)
// gives the same double for all but about one argument in two hundred.
//
// Generic over T with the operations +, -, *, comparisons, select(mask, a, b), trunc(v) and
// pow2(k) (2^k for a whole number k from -1100 to 1100 held in a T); those for double are
// below, those of a lane set with its vector type.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace veltra::elementary {

inline double select(bool take, double if_true, double if_false) { return take ? if_true : if_false; }

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

template <class T>
inline T exp(T x) {
    // Outside [EXP_UNDERFLOW, EXP_OVERFLOW] the result is 0 or +inf; the reduction works on
    // the clamped argument so that k stays within the range of pow2.  NaN passes through.
    const T clamped = select(x > T(EXP_OVERFLOW), T(EXP_OVERFLOW), select(x < T(EXP_UNDERFLOW), T(EXP_UNDERFLOW), x));
    const T k = (clamped * T(INV_LN2) + T(ROUND_SHIFT)) - T(ROUND_SHIFT);
    const T r = (clamped - k * T(LN2_HI)) - k * T(LN2_LO);
    // p by Estrin's scheme: pairs, then powers r^2, r^4, r^8, so that the dependent chain is
    // five multiply-adds deep rather than Horner's eleven.
    const T r2 = r * r;
    const T r4 = r2 * r2;
    const T r8 = r4 * r4;
    const T q0 = T(EXP_TAYLOR[0]) + T(EXP_TAYLOR[1]) * r;
    const T q1 = T(EXP_TAYLOR[2]) + T(EXP_TAYLOR[3]) * r;
    const T q2 = T(EXP_TAYLOR[4]) + T(EXP_TAYLOR[5]) * r;
    const T q3 = T(EXP_TAYLOR[6]) + T(EXP_TAYLOR[7]) * r;
    const T q4 = T(EXP_TAYLOR[8]) + T(EXP_TAYLOR[9]) * r;
    const T q5 = T(EXP_TAYLOR[10]) + T(EXP_TAYLOR[11]) * r;
    const T p = (q0 + q1 * r2) + (q2 + q3 * r2) * r4 + ((q4 + q5 * r2) * r8);
    // 1 + r as an unevaluated sum (Knuth's two-sum), so that the one rounding is the last.
    const T one_r = T(1.0) + r;
    const T back = one_r - T(1.0);
    const T one_r_err = (T(1.0) - (one_r - back)) + (r - back);
    const T e_r = one_r + (one_r_err + r2 * p);
    const T k1 = trunc(k * T(0.5));
    const T scaled = (e_r * pow2(k1)) * pow2(k - k1);
    return select(x > T(EXP_OVERFLOW), T(std::numeric_limits<double>::infinity()),
                  select(x < T(EXP_UNDERFLOW), T(0.0), scaled));
}

}  // namespace veltra::elementary
