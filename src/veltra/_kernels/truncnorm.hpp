// The standard normal distribution truncated to an interval [a, b]:
//
//     log_prob(a, b)      log P,  P = Phi(b) - Phi(a)
//     mean(a, b), var(a, b), moments(a, b)
//     logpdf, logcdf, logsf, pdf, cdf, sf (x, a, b)
//     ppf, isf (q, a, b)
//
// for every pair of doubles a <= b: intervals in either tail, around the mode, one ulp wide
// or infinite, ends up to the largest double.  The textbook forms (Phi(b) - Phi(a), mean =
// (phi(a) - phi(b))/P, variance = 1 + (a phi(a) - b phi(b))/P - mean^2) cancel as soon as the
// interval leaves the centre, and underflow to 0/0 past |x| = 38; here nothing cancels:
//
// Orientation.  X -> -X maps [a, b] to [-b, -a]; every kernel works on the image with
// a + b >= 0 (the mirrored mean changes sign, the cdf and the sf swap).  Then either
// 0 <= a (a tail interval) or a < 0 < b with b >= -a (the interval holds the mode).
//
// Masses.  For 0 <= l < h, sqrt(2 pi) P(l, h) = exp(-l^2/2) D(l, h) with
//     D(l, h) = integral_0^(h-l) exp(-l t - t^2/2) dt = R(l) - exp(-z) R(h),   z = (h^2 - l^2)/2,
// and an interval holding the mode has sqrt(2 pi) P = D(0, -a) + D(0, b), a sum of positives.
// The difference R(l) - exp(-z) R(h) loses at most a factor 1/(1 - e^-z) to cancellation;
// below z = Z_FLAT_MASS the interval is nearly flat and D comes from a positive series.
//
// Nearly flat intervals.  With centre c, width w, X = c + w S, S in [-1/2, 1/2] has the
// density exp(-z S - e S^2) (z = c w, e = w^2/2) up to a constant.  Writing
// exp(-e s^2) = exp(-e/4) exp((e/4)(1 - 4 s^2)) and expanding both exponentials, every
// moment integral becomes a double series of positive terms (beta integrals), which one
// index m = n + j sums as a single series:
//     int_{-1/2}^{1/2} exp(-z s - e s^2) ds = exp(-E) sum_m P_m G_m,
//     P_m = sum_{n <= m} X^n E^(m-n) / n!,   G_m = 2^m / (2m + 1)!!,   X = z^2/16, E = e/4,
// and similarly for s and s^2 (sums B and C below).  No cancellation at any (z, e).
//
// Carried roundings.  Where a square enters an exponential or a logarithm whose result must
// keep relative accuracy (exp(-x^2/2) for large x, (x^2 - a^2)/2 between two near points),
// the square is formed as an unevaluated sum of two doubles by Dekker's exact product (no
// fused multiply-add), so that exp(-x^2/2) is not off by x^2 2^-53 relative.
//
// Quantiles.  From the end of the oriented interval on the side of the smaller probability
// (q or 1 - q, exact), Halley's method on the logarithm of that side's share, in the offset t
// from that end, so that a quantile within an ulp of a far end keeps its place, starting from
// AS 241's normal quantile or, near an end or far in a tail, from exponential laws.  Where a
// closed form is provably within a small fraction of an ulp of the quantile (a tail interval
// narrow against its distance from 0: the exponential law or its second order; from the lower
// end far out: the hazard's quadratic law), its point is the result, with no iteration.
// The last step is taken from the anchor of the iterate, a point of a fixed grid, as a
// polynomial in G that is monotone as rounded, so that ppf does not decrease and isf does not
// increase from one double q to the next (truncnorm_anchor.hpp).
//
// Measured against mpmath at 40 to 1200 digits on random intervals of every kind and the
// hard ones (tools/truncnorm_accuracy.py, 2420 intervals): relative error of log P 4.2e-16,
// mean 5.9e-16, variance 1.7e-15, logpdf 5.6e-16 (of max(1, |value|)), logcdf 7.5e-16, logsf
// 7.5e-16; ppf and isf within 0.35 of 8 ulps plus 1e-15 min(1, b - a).
//
// The pieces that the vector forms of the functions of a point and of the quantiles
// (_vec/truncnorm_lanes.hpp, truncnorm_quantile_lanes.hpp) evaluate as well take exp, log,
// log1p and expm1 from elementary.hpp (within 0.71, 0.70, 1.44, 1.15 ulp), which the lanes
// evaluate from the same text, so that both give the same bits: the masses D(l, l + w)
// (tail_mass_parts), log_ratio, ratio, share, the density and the whole quantile.  Everything
// else calls the C library, whose exp and log cost about half as much one at a time.
//
// Header-only and free of Python, like mills.hpp, whose _R, _R1 and _R3 it uses.
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

#include "elementary.hpp"
#include "exact.hpp"
#include "mills.hpp"
#include "truncnorm_anchor.hpp"

namespace veltra::truncnorm {

// The kernels' thresholds, series lengths and error bounds are those of double; a float32
// array takes the double kernel and rounds its result once (the ufuncs' float32 loops), so the
// entry points take double alone.  The parts below stay generic in T: the lane sets evaluate
// them on their vectors of doubles.
template <class T>
inline constexpr bool is_kernel_type = std::is_same_v<T, double>;

// log 2, rounded once.
inline constexpr double LN2 = 0.69314718055994530942;

namespace detail {
// ---------------------------------------------------------------------------------------
// Nearly flat intervals: the tilted uniform variable S

// 2^m / (2m + 1)!!, the beta integral that each power of E and X contributes; (2m + 1)!! is
// an exact double up to m = 14, beyond which the few ulps of its rounding fall on terms below
// 1e-12 of the sums wherever the series is used.
inline constexpr int TILT_TERMS = 40;

struct TiltTable {
    double g[TILT_TERMS + 2];
    double inv[TILT_TERMS + 2];  // 1/m
};

inline constexpr TiltTable make_tilt_table() {
    TiltTable t{};
    double odd_factorial = 1.0;  // (2m + 1)!!
    double power = 1.0;          // 2^m
    for (int m = 0; m < TILT_TERMS + 2; ++m) {
        if (m > 0) {
            odd_factorial *= double(2 * m + 1);
            power *= 2.0;
        }
        t.g[m] = power / odd_factorial;
        t.inv[m] = m > 0 ? 1.0 / double(m) : 0.0;
    }
    return t;
}

inline constexpr TiltTable TILT = make_tilt_table();

// The three sums of positive terms
//     A = sum_m P_m G_m,   B = sum_m P_m G_(m+1),   C = sum_m (P_m/2 + X P_(m-1)) G_(m+1),
// P_m = E P_(m-1) + X^m/m!, so that for S with density proportional to exp(-z s - e s^2) on
// [-1/2, 1/2] (X = z^2/16, E = e/4):
//     int exp(-z s - e s^2) ds = exp(-E) A,   E[S] = -(z/8) B/A,   E[S^2] = C/(4A).
// The ratio of successive terms is at most (E + X/(m + 1)) 2/(2m + 3), at most 0.6 from m = 1
// for the X, E <= 1 at which the series is used (z <= 4): summing stops at the first term
// below 2^-56 of A, and the rest, under 1.5 times that term, cannot change A.
//
// The third and fourth moments (`with_shape`) follow from the same beta integrals,
//     int s^(2q) (1 - 4 s^2)^n ds = n! (2q - 1)!!/8^q G_(q+n),
// whose sums over the powers of z s and of E (1 - 4 s^2) collect, with j X^j/j! = X X^(j-1)/(j-1)!,
// into the P_m once more:
//     F = sum_m (3 P_m + 2 X P_(m-1)) G_(m+2),   H = sum_m (3 P_m + 12 X P_(m-1) + 4 X^2 P_(m-2)) G_(m+2),
//     E[S^3] = -(z/64) F/A,   E[S^4] = H/(64 A),
// terms of one sign again, each at most a few times the term of A with the same m (G_(m+2) is
// about G_m/m^2 and X P_(m-1), X^2 P_(m-2) at most m P_m, m^2 P_m), so that A's stopping rule
// leaves them below 2^-53 of F and H as well.
template <class T>
struct TiltSums {
    T A;
    T B;
    T C;
    T F = T(0);
    T H = T(0);
};

template <class T, bool with_moments, bool with_shape = false>
inline TiltSums<T> tilt_sums(T X, T E) {
    T power = T(1);    // X^m / m!
    T P_prev = T(0);   // P_(m-1)
    T P = T(1);        // P_m
    T P_prev2 = T(0);  // P_(m-2)
    T A = T(1);
    T B = T(TILT.g[1]);
    T C = T(0.5) * T(TILT.g[1]);
    T F = T(3) * T(TILT.g[2]);
    T H = T(3) * T(TILT.g[2]);
    for (int m = 1; m < TILT_TERMS; ++m) {
        power = power * X * T(TILT.inv[m]);
        if constexpr (with_shape) P_prev2 = P_prev;
        P_prev = P;
        P = E * P + power;
        const T term = P * T(TILT.g[m]);
        A = A + term;
        if constexpr (with_moments) {
            B = B + P * T(TILT.g[m + 1]);
            C = C + (T(0.5) * P + X * P_prev) * T(TILT.g[m + 1]);
        }
        if constexpr (with_shape) {
            const T XP_prev = X * P_prev;
            F = F + (T(3) * P + T(2) * XP_prev) * T(TILT.g[m + 2]);
            H = H + ((T(3) * P + T(12) * XP_prev) + T(4) * (X * (X * P_prev2))) * T(TILT.g[m + 2]);
        }
        if (!(term > A * T(0x1p-56))) break;
    }
    return {A, B, C, F, H};
}

// Below this z = (h^2 - l^2)/2 the mass D(l, h) comes from the tilted series; above it the
// difference R(l) - e^-z R(h) loses at most 1/(1 - e^-1) = 1.6 (0.7 bits).
inline constexpr double Z_FLAT_MASS = 1.0;
// Beyond this z, e^-z R(h) < 2^-54 R(l) (R decreases): R(l) - e^-z R(h) rounds to R(l) itself,
// which is returned without evaluating R(h).
inline constexpr double Z_NEGLIGIBLE = 38.0;

// R(|v|) for a point v that several pieces end at, evaluated when first asked for.
template <class T>
struct MillsAt {
    T v;
    T value = std::numeric_limits<T>::quiet_NaN();

    T get() {
        if (std::isnan(value)) value = _R(std::fabs(v));
        return value;
    }
};

// R at an end l of a piece: from its MillsAt when the caller keeps one; R(0) = sqrt(pi/2).
template <class T>
inline T mills_at(T l, MillsAt<T>* at) {
    if (at) return at->get();
    return l == T(0) ? T(SQRT_PI_2) : _R(l);
}

// D(l, l + w) = sqrt(2 pi) e^(l^2/2) P(l, l + w) for l >= 0 and a width 0 < w <= inf, given
// as such so that a width below the spacing of the doubles near l keeps its digits; with it
// e^-z, z = (2 l + w) w/2, the fall of the density across the interval.  `at_l` and `at_h`,
// when given, hold R at the two ends (l + w as the caller knows it, unrounded).
template <class T>
struct TailMass {
    T D;
    T decay;
};

template <class T>
inline TailMass<T> tail_mass_parts(T l, T w, MillsAt<T>* at_l = nullptr, MillsAt<T>* at_h = nullptr) {
    if (w == std::numeric_limits<T>::infinity()) return {mills_at(l, at_l), T(0)};
    const T c = l + T(0.5) * w;
    const T z = c * w;
    if (z <= T(Z_FLAT_MASS)) {
        // D = w e^(-z/2) A: the density exp(-l t - t^2/2) over [0, w] is e^(-(z/2 + E)) times
        // the tilted density at the centre, and the series carries e^(-E).
        const T Z = T(0.5) * z;
        const TiltSums<T> s = tilt_sums<T, false>(Z * Z * T(0.25), w * w * T(0.125));
        const T half_decay = elementary::exp(-Z);
        return {(w * s.A) * half_decay, half_decay * half_decay};
    }
    const T decay = elementary::exp(-z);
    const T R_lo = mills_at(l, at_l);
    if (z > T(Z_NEGLIGIBLE)) return {R_lo, decay};
    return {R_lo - decay * (at_h ? at_h->get() : _R(l + w)), decay};
}

template <class T>
inline T tail_mass(T l, T w) {
    return tail_mass_parts(l, w).D;
}

// ---------------------------------------------------------------------------------------
// Orientation and pieces

template <class T>
struct Oriented {
    T lo;
    T hi;
    bool mirrored;  // [lo, hi] = [-b, -a]
};

template <class T>
inline Oriented<T> orient(T a, T b) {
    if (a + b < T(0)) return {-b, -a, true};
    return {a, b, false};
}

// sqrt(2 pi) P(u, v) = exp(-r^2/2) M for a sub-interval [u, v] of an oriented interval:
// a tail piece is measured from its end nearer the mode, a piece holding the mode from 0.
template <class T>
struct Piece {
    T r;
    T M;
};

template <class T>
inline Piece<T> piece(T u, T v, MillsAt<T>* at_u = nullptr, MillsAt<T>* at_v = nullptr, T* decay = nullptr) {
    if (u >= T(0) || v <= T(0)) {
        const bool from_u = u >= T(0);
        const TailMass<T> m = from_u ? tail_mass_parts(u, v - u, at_u, at_v) : tail_mass_parts(-v, v - u, at_v, at_u);
        if (decay) *decay = m.decay;
        return {from_u ? u : -v, m.D};
    }
    return {T(0), tail_mass_parts<T>(T(0), -u, nullptr, at_u).D + tail_mass_parts<T>(T(0), v, nullptr, at_v).D};
}

// exp(-(hi + lo)) as exact.hpp's exp_neg, by elementary.hpp's exponential.
template <class T>
inline T shared_exp_neg(Expansion<T> v) {
    const T e = elementary::exp(-v.hi);
    return e - e * v.lo;
}

// log of P(piece)/P(whole): -(r^2 - r0^2)/2 + log(M/M0), the difference of squares carried.
template <class T>
inline T log_ratio(Piece<T> p, Piece<T> whole) {
    const Expansion<T> e = half_diff_squares(p.r, whole.r);
    // A piece a few subnormals wide has a mass ratio below the normal range, whose quotient
    // keeps only a few digits: the difference of the logarithms keeps them all.
    const T q = p.M / whole.M;
    const T log_q = q >= std::numeric_limits<T>::min() ? elementary::log(q) : elementary::log(p.M) - elementary::log(whole.M);
    return (log_q - e.lo) - e.hi;
}

// P(piece)/P(whole) as a number.
template <class T>
inline T ratio(Piece<T> p, Piece<T> whole) {
    return shared_exp_neg(half_diff_squares(p.r, whole.r)) * (p.M / whole.M);
}

// ---------------------------------------------------------------------------------------
// Moments of one-sided tails [x, inf), x >= 0

template <class T>
struct OneSided {
    T mean;  // E[X - x | X > x] = -R'(x)/R(x)
    T var;
};

// The density of X - x is proportional to exp(-x t - t^2/2): with R1 = -R' the mean is R1/R
// and the second moment R''/R, R'' = R - x R1, taken as (2 R1 - R3)/x (from R''' = 2 R' +
// x R'') beyond x = 1/2, where it measured half the error: R - x R1 loses a bit or two there.
// var = R''/R - mean^2 cancels by at most a factor 2.8 (at x = 0, where it is 1 - 2/pi), and
// the variance came out within 2.3e-15 on [0, 2] against mpmath.  From x = 17300 on, the
// order-0 tail convergent (exact to rounding there for R, R1, R3) gives both in closed form
// with a = x^2 + 3, y = 1/a <= 3.4e-9:
//     mean = x y (1 + 4y)/(1 + 3y - 10y^2),   var = y (1 + 3y - 6y^2 + 28y^3)/(1 + 3y - 10y^2)^2,
// where the small terms of either sign cost nothing, and no square of x can overflow before
// the result does (it is subnormal, then 0, past x = 1.3e154).
template <class T>
inline OneSided<T> one_sided(T x) {
    if (x >= T(17300.0)) {
        const T xy = T(1) / (x + T(3) / x);
        const T y = xy / x;
        const T den = T(1) + y * (T(3) - T(10) * y);
        const T mean = xy * (T(1) + T(4) * y) / den;
        const T num = T(1) + y * (T(3) + y * (T(-6) + T(28) * y));
        return {mean, y * num / (den * den)};
    }
    const T r = _R(x);
    const T r1 = _R1(x);
    const T r2 = x <= T(0.5) ? r - x * r1 : (T(2) * r1 - _R3(x)) / x;
    const T mean = r1 / r;
    return {mean, r2 / r - mean * mean};
}

// ---------------------------------------------------------------------------------------
// Whole intervals

// Below this z the variance of a tail interval comes from the tilted series; above it from
// the mixture [l, inf) = [l, h] u [h, inf), whose subtraction amplifies the errors of the
// one-sided moments by at most about (1 - e^-z)^-1 times the ratio of the one-sided variance
// to the interval's.
inline constexpr double Z_FLAT_VAR = 4.0;
// Intervals around the mode up to this width take their mean and variance from the series:
// 1 - [(m - a) phi(a) + (b - m) phi(b)]/P cancels as the variance falls (to 0.25 at this width).
inline constexpr double W_FLAT_MODE = 2.0;

// An interval [a, b] with a < b, oriented, with width w, centre c and z = (b^2 - a^2)/2 = c w.
template <class T>
struct Interval {
    T lo;
    T hi;
    T w;
    T c;
    T z;
    bool mirrored;
};

template <class T>
inline Interval<T> make_interval(T a, T b) {
    const Oriented<T> o = orient(a, b);
    const T w = o.hi - o.lo;
    const T c = T(0.5) * o.lo + T(0.5) * o.hi;
    // z = 0 for a symmetric interval also when its width overflows ((-max, max)).
    return {o.lo, o.hi, w, c, c == T(0) ? T(0) : c * w, o.mirrored};
}

// The mean lies in [lo, hi].  Far out, where it is lo + 1/lo to rounding, 1/R(lo) rounds to
// the double below lo (lo beyond 1e300 or so), or overflows where R(lo) is subnormal (lo
// beyond 4.5e307; the mean is then lo itself, finite): it is brought back into the interval,
// which can only bring it closer.
template <class T>
inline T inside(T mean, const Interval<T>& iv) {
    if (mean < iv.lo) return iv.lo;
    if (mean > iv.hi) return iv.hi;
    if (mean == std::numeric_limits<T>::infinity() && iv.lo > T(0) && std::isfinite(iv.lo)) return iv.lo;
    return mean;
}

// The tilted series for the whole interval.
template <class T, bool with_moments, bool with_shape = false>
inline TiltSums<T> interval_tilt(const Interval<T>& iv) {
    const T Z = T(0.5) * iv.z;
    return tilt_sums<T, with_moments, with_shape>(Z * Z * T(0.25), iv.w * iv.w * T(0.125));
}

// Mean and variance of S from the sums: E[S] = -(z/8) B/A, Var[S] = C/(4A) - E[S]^2, the
// latter as (1/4)(C/A - X (B/A)^2) with X = z^2/16.
template <class T>
inline T tilt_mean(const Interval<T>& iv, const TiltSums<T>& s) {
    return iv.c - iv.w * ((iv.z * T(0.125)) * (s.B / s.A));
}

template <class T>
inline T tilt_var(const Interval<T>& iv, const TiltSums<T>& s) {
    const T ratio = s.B / s.A;
    const T Z = T(0.5) * iv.z;
    const T X = Z * Z * T(0.25);
    return (iv.w * iv.w * T(0.25)) * (s.C / s.A - X * (ratio * ratio));
}

// The mean of an interval whose z = c w is below the normal range.  Both ends are then below
// 2^-483: z >= 2^-55 hi^2 unless c = 0, as lo + hi (around the mode) or w (in a tail) is
// at least half an ulp of hi.  The mean c (1 - w^2/12 + ...) is the exact centre (lo + hi)/2
// less a part below 2^-960 of it, towards 0 (the density falls away from 0 across the
// oriented interval): the centre rounded once, and where it is a tie between two doubles, the
// one nearer 0.  The centre is a tie where the sum rounded at a tie (a normal sum, halved
// exactly) or where halving a sum below 2^-1021 (exact, an odd multiple of 2^-1074) rounds.
template <class T>
inline T tiny_interval_mean(const Interval<T>& iv) {
    constexpr T inf = std::numeric_limits<T>::infinity();
    const Expansion<T> s = two_sum(iv.lo, iv.hi);
    T sum = s.hi;
    if (s.lo != T(0)) {
        const T other = std::nextafter(s.hi, s.lo > T(0) ? inf : -inf);  // the sum's other neighbour
        if (other - s.hi == s.lo + s.lo && std::fabs(other) < std::fabs(s.hi)) sum = other;
    }
    const T c = T(0.5) * sum;
    if (c + c == sum || std::fabs(c + c) < std::fabs(sum)) return c;
    return std::nextafter(c, T(0));
}

// Special intervals: a > b or NaN anywhere (NaN), a point (log P = -inf, the point, 0), the
// whole line (0, 0, 1), a point at infinity (NaN).  Returns false for a regular interval.
template <class T>
inline bool special_moments(T a, T b, T& log_p, T& mean, T& var) {
    constexpr T inf = std::numeric_limits<T>::infinity();
    constexpr T nan = std::numeric_limits<T>::quiet_NaN();
    if (a < b && !(a == -inf && b == inf)) return false;
    if (a == b && std::isfinite(a)) {
        log_p = -inf, mean = a, var = T(0);
    } else if (a == -inf && b == inf) {
        log_p = T(0), mean = T(0), var = T(1);
    } else {
        log_p = nan, mean = nan, var = nan;
    }
    return true;
}

// --- Tail intervals, 0 <= lo < hi ------------------------------------------------------

// The parts of a tail interval that log P, the mean and the variance share: the Mills ratio
// at both ends, e^-z, and D = sqrt(2 pi) e^(lo^2/2) P.  A flat interval needs only D, from the
// series; the others need R(hi) for D up to Z_NEGLIGIBLE, and (`for_variance`) for the
// mixture beyond Z_FLAT_VAR however far out.  What is not needed is left at 0.
template <class T>
struct TailParts {
    T Rlo;
    T Rhi;
    T e;  // e^-z
    T D;
};

template <class T, bool for_variance>
inline TailParts<T> tail_parts(const Interval<T>& iv, const TiltSums<T>* flat) {
    if (iv.hi == std::numeric_limits<T>::infinity()) {
        const T r = _R(iv.lo);
        return {r, T(0), T(0), r};
    }
    if (iv.z <= T(Z_FLAT_MASS)) return {T(0), T(0), T(0), (iv.w * flat->A) * std::exp(T(-0.5) * iv.z)};
    const T Rlo = _R(iv.lo);
    const T e = std::exp(-iv.z);
    const bool far = iv.z > T(Z_NEGLIGIBLE);
    const T Rhi = (!far || (for_variance && iv.z > T(Z_FLAT_VAR))) ? _R(iv.hi) : T(0);
    return {Rlo, Rhi, e, far ? Rlo : Rlo - e * Rhi};
}

// log P = -lo^2/2 - log sqrt(2 pi) + log D, lo^2/2 carried: the sum of terms of one sign
// (log D <= log R(0) < log sqrt(2 pi)) is as accurate as its largest part.
template <class T>
inline T tail_log_prob(const Interval<T>& iv, T D) {
    const Expansion<T> h = half_square(iv.lo);
    return ((std::log(D) - T(LOG_SQRT_2PI)) - h.lo) - h.hi;
}

// Mean: flat, c + w E[S]; otherwise (phi(lo) - phi(hi))/P = u/D with u = 1 - e^-z.
template <class T>
inline T tail_mean(const Interval<T>& iv, const TailParts<T>& p, const TiltSums<T>* flat) {
    if (iv.z < std::numeric_limits<T>::min()) return tiny_interval_mean(iv);
    if (iv.z <= T(Z_FLAT_MASS)) return tilt_mean(iv, *flat);
    return -std::expm1(-iv.z) / p.D;
}

// Variance of a wide tail interval from [lo, inf) less [hi, inf): with q the share of
// [lo, inf) beyond hi, the law of total variance gives
//     var_lo = (1 - q) var + q var_hi + q (1 - q) gap^2,   gap = w + mean_hi - mean,
// where means are offsets from lo.  The share q = e^-z R(hi)/R(lo) is below e^-z.
template <class T>
inline T tail_mixture_var(const Interval<T>& iv, const TailParts<T>& p) {
    const OneSided<T> below = one_sided(iv.lo);
    if (iv.hi == std::numeric_limits<T>::infinity()) return below.var;
    const OneSided<T> above = one_sided(iv.hi);
    const T q = p.e * p.Rhi / p.Rlo;
    const T keep = p.D / p.Rlo;  // 1 - q
    if (q == T(0)) return below.var;
    const T offset = (below.mean - q * (iv.w + above.mean)) / keep;
    const T gap = iv.w + above.mean - offset;
    return (below.var - q * above.var - q * keep * (gap * gap)) / keep;
}

template <class T>
inline T tail_var(const Interval<T>& iv, const TailParts<T>& p, const TiltSums<T>* flat) {
    if (iv.z <= T(Z_FLAT_VAR)) return tilt_var(iv, *flat);
    return tail_mixture_var(iv, p);
}

// --- Intervals holding the mode, lo < 0 < hi, -lo <= hi --------------------------------

// D(0, t) = sqrt(2 pi) (Phi(t) - 1/2) for t >= 0: the tilted series while t^2/2 <= 1, then
// R(0) - e^(-t^2/2) R(t), whose second term is at most e^-1/2 R(1) / R(0) = 0.48 of the first.
// That term, sqrt(2 pi) times the upper tail Q(t), is kept for log P; over a flat half it is
// evaluated only if log P asks for it.
template <class T>
struct HalfMass {
    T t;
    T D;     // D(0, t)
    T e;     // e^(-t^2/2), carried
    T tail;  // sqrt(2 pi) Q(t) = e^(-t^2/2) R(t), or NaN until needed

    T upper_tail() const { return std::isnan(tail) ? e * _R(t) : tail; }
};

template <class T>
inline HalfMass<T> half_mass(T t) {
    if (t == std::numeric_limits<T>::infinity()) return {t, T(SQRT_PI_2), T(0), T(0)};
    const T e = exp_neg(half_square(t));
    const T z = (t * T(0.5)) * t;
    if (z <= T(Z_FLAT_MASS)) {
        const T Z = T(0.5) * z;
        const TiltSums<T> s = tilt_sums<T, false>(Z * Z * T(0.25), t * t * T(0.125));
        return {t, (t * s.A) * std::exp(-Z), e, std::numeric_limits<T>::quiet_NaN()};
    }
    const T tail = e * _R(t);
    return {t, T(SQRT_PI_2) - tail, e, tail};
}

template <class T>
struct ModeParts {
    HalfMass<T> left;   // over [0, -lo]
    HalfMass<T> right;  // over [0, hi]
    T D;                // sqrt(2 pi) P = left.D + right.D
};

template <class T>
inline ModeParts<T> mode_parts(const Interval<T>& iv) {
    const HalfMass<T> left = half_mass(-iv.lo);
    const HalfMass<T> right = half_mass(iv.hi);
    return {left, right, left.D + right.D};
}

// log P: while P <= 1/2, log(D) - log sqrt(2 pi); above, log1p(-(Q(-lo) + Q(hi))), which keeps
// log P relative accuracy as it falls towards 0 (-9.8e-198 on (-30, 30)).
template <class T>
inline T mode_log_prob(const ModeParts<T>& p) {
    if (p.D <= T(SQRT_PI_2)) return std::log(p.D) - T(LOG_SQRT_2PI);
    return std::log1p(-(p.left.upper_tail() + p.right.upper_tail()) / T(SQRT_2PI));
}

// Mean: (phi(lo) - phi(hi))/P = e^(-lo^2/2) u / D with u = 1 - e^-z, all positive.  Where
// z = c w is below the normal range its rounding would take every digit; that interval is
// the centre's (tiny_interval_mean).
template <class T>
inline T mode_mean(const Interval<T>& iv, const ModeParts<T>& p) {
    if (iv.z < std::numeric_limits<T>::min()) return tiny_interval_mean(iv);
    return p.left.e * -std::expm1(-iv.z) / p.D;
}

// Variance: narrow, from the series; wide, 1 - [(m - lo) e^(-lo^2/2) + (hi - m) e^(-hi^2/2)]/D,
// a bracket of positive terms that is at most 3/4 of 1 from this width on.
template <class T>
inline T mode_var(const Interval<T>& iv, const ModeParts<T>& p, T mean, const TiltSums<T>* flat) {
    if (iv.w <= T(W_FLAT_MODE)) return tilt_var(iv, *flat);
    T bracket = (mean - iv.lo) * p.left.e;
    if (iv.hi != std::numeric_limits<T>::infinity()) bracket = bracket + (iv.hi - mean) * p.right.e;
    return T(1) - bracket / p.D;
}

// --- Distribution functions ------------------------------------------------------------

// The six functions of a point x, told apart by `Kind`.
enum class Kind { logpdf, pdf, logcdf, logsf, cdf, sf };

// The oriented interval with its total mass as a piece, and what the pieces at a point x and
// the quantiles reuse of it, each evaluated when first needed: R at both ends, the two halves
// D(0, -lo) and D(0, hi) of an interval holding the mode (a piece from an end across 0 is one
// of them plus the part between 0 and x), and sqrt(2 pi) Q(|end|) beyond each end.
template <class T>
struct Support {
    static constexpr T unknown = std::numeric_limits<T>::quiet_NaN();
    Oriented<T> o;
    MillsAt<T> at_lo;
    MillsAt<T> at_hi;
    Piece<T> whole;
    T half_lo = unknown;  // D(0, -lo), lo < 0 < hi
    T half_hi = unknown;  // D(0, hi), lo < 0 < hi
    T log_mass = unknown;
    T outer_lo = unknown;  // sqrt(2 pi) Q(|lo|) = e^(-lo^2/2) R(|lo|), lo^2/2 carried
    T outer_hi = unknown;

    T get_log_mass() {
        if (std::isnan(log_mass)) log_mass = elementary::log(whole.M);
        return log_mass;
    }

    T get_outer(bool upper) {
        T& outer = upper ? outer_hi : outer_lo;
        if (std::isnan(outer)) {
            const T e = upper ? o.hi : o.lo;
            outer = std::isfinite(e) ? shared_exp_neg(half_square(e)) * (upper ? at_hi : at_lo).get() : T(0);
        }
        return outer;
    }
};

template <class T>
inline Support<T> support(T a, T b) {
    const Oriented<T> o = orient(a, b);
    Support<T> s{o, {o.lo}, {o.hi}, {}};
    if (o.lo < T(0) && o.hi > T(0)) {
        s.half_lo = tail_mass_parts<T>(T(0), -o.lo, nullptr, &s.at_lo).D;
        s.half_hi = tail_mass_parts<T>(T(0), o.hi, nullptr, &s.at_hi).D;
        s.whole = {T(0), s.half_lo + s.half_hi};
    } else {
        s.whole = piece(o.lo, o.hi, &s.at_lo, &s.at_hi);
    }
    return s;
}

// The pieces [lo, x] and [x, hi]; one that crosses 0 takes its far half from the support.
// With `decay`, also e^-z of the piece's one mass evaluation: the density at x relative to the
// piece's reference point r where x is the piece's far end, r = 0 or its other end.
template <class T>
inline Piece<T> lower_piece(T x, Support<T>& s, MillsAt<T>& at_x, T* decay = nullptr) {
    if (s.o.lo < T(0) && x > T(0)) {
        const TailMass<T> m = tail_mass_parts<T>(T(0), x, nullptr, &at_x);
        if (decay) *decay = m.decay;
        return {T(0), s.half_lo + m.D};
    }
    return piece(s.o.lo, x, &s.at_lo, &at_x, decay);
}

template <class T>
inline Piece<T> upper_piece(T x, Support<T>& s, MillsAt<T>& at_x, T* decay = nullptr) {
    if (x < T(0) && s.o.hi > T(0)) {
        const TailMass<T> m = tail_mass_parts<T>(T(0), -x, nullptr, &at_x);
        if (decay) *decay = m.decay;
        return {T(0), m.D + s.half_hi};
    }
    return piece(x, s.o.hi, &at_x, &s.at_hi, decay);
}

// The share of the mass below x (upper: above x) for lo < x < hi of an oriented interval, as
// a number or its logarithm: directly while at most 1/2, else 1 minus the other side's share
// (log1p of minus it), so that a share near 1 and a logarithm near 0 keep their digits.
template <class T, bool logarithm>
inline T share(T x, Support<T>& s, bool upper) {
    MillsAt<T> at_x{x};
    const Piece<T> near = upper ? upper_piece(x, s, at_x) : lower_piece(x, s, at_x);
    const T direct = logarithm ? log_ratio(near, s.whole) : ratio(near, s.whole);
    if (logarithm ? direct < T(-LN2) : direct <= T(0.5)) return direct;
    const T other = ratio(upper ? lower_piece(x, s, at_x) : upper_piece(x, s, at_x), s.whole);
    return logarithm ? elementary::log1p(-other) : T(1) - other;
}

// The density: phi(x)/P = exp(-(x^2 - r^2)/2)/M for the whole piece (r, M).
template <class T>
inline Expansion<T> density_exponent(T x, const Support<T>& s) {
    return half_diff_squares(s.o.mirrored ? -x : x, s.whole.r);
}

// --- Quantiles --------------------------------------------------------------------------

// The quantile of the untruncated normal, for initial guesses: Wichura's algorithm AS 241
// (PPND16; Applied Statistics 37 (1988) 477-484), rational approximations of relative error
// below 1e-16 on |p - 1/2| <= 0.425 in p, and beyond in r = sqrt(-log p), with coefficients
// as published.  Measured against mpmath here: at most 6e-16 relative for p down to e^-700.
inline constexpr double AS241_A[8] = {
    3.3871328727963666080e0, 1.3314166789178437745e+2, 1.9715909503065514427e+3,
    1.3731693765509461125e+4, 4.5921953931549871457e+4, 6.7265770927008700853e+4,
    3.3430575583588128105e+4, 2.5090809287301226727e+3};
inline constexpr double AS241_B[8] = {
    1.0, 4.2313330701600911252e+1, 6.8718700749205790830e+2, 5.3941960214247511077e+3,
    2.1213794301586595867e+4, 3.9307895800092710610e+4, 2.8729085735721942674e+4,
    5.2264952788528545610e+3};
inline constexpr double AS241_C[8] = {
    1.42343711074968357734e0, 4.63033784615654529590e0, 5.76949722146069140550e0,
    3.64784832476320460504e0, 1.27045825245236838258e0, 2.41780725177450611770e-1,
    2.27238449892691845833e-2, 7.74545014278341407640e-4};
inline constexpr double AS241_D[8] = {
    1.0, 2.05319162663775882187e0, 1.67638483018380384940e0, 6.89767334985100004550e-1,
    1.48103976427480074590e-1, 1.51986665636164571966e-2, 5.47593808499534494600e-4,
    1.05075007164441684324e-9};
inline constexpr double AS241_E[8] = {
    6.65790464350110377720e0, 5.46378491116411436990e0, 1.78482653991729133580e0,
    2.96560571828504891230e-1, 2.65321895265761230930e-2, 1.24266094738807843860e-3,
    2.71155556874348757815e-5, 2.01033439929228813265e-7};
inline constexpr double AS241_F[8] = {
    1.0, 5.99832206555887937690e-1, 1.36929880922735805310e-1, 1.48753612908506148525e-2,
    7.86869131145613259100e-4, 1.84631831751005468180e-5, 1.42151175831644588870e-7,
    2.04426310338993978564e-15};

template <class T>
inline T as241_ratio(const double (&num)[8], const double (&den)[8], T r) {
    return horner(num, r) / horner(den, r);
}

// x >= 0 with Q(x) = P(X >= x) = q: from q itself in the central region of AS 241
// (q > AS241_CENTRAL, that is |q - 1/2| <= 0.425), from log q in its tails.  Beyond r = 27
// (Q < 1e-316), past the range of AS 241, from Q = phi(x) R(x) with R(x) ~ 1/x:
// x^2 = 2 (s - log x), s = -log Q - log sqrt(2 pi), two fixed-point steps from sqrt(2 s),
// relative error below 1e-6 (x > 38 there), which Newton's method then removes.
inline constexpr double AS241_CENTRAL = 0.075;
// Below this log q (log 0.075 = -2.590), q < 0.0743 lies in the tail region whatever the
// rounding of exp: the region is known without the exponential.
inline constexpr double AS241_LOG_CENTRAL = -2.6;

template <class T>
inline T central_normal_quantile(T q) {
    const T centred = q - T(0.5);
    return -centred * as241_ratio(AS241_A, AS241_B, T(0.180625) - centred * centred);
}

template <class T>
inline T tail_normal_quantile(T log_q) {
    const T r = std::sqrt(-log_q);
    if (r <= T(5)) return as241_ratio(AS241_C, AS241_D, r - T(1.6));
    if (r <= T(27)) return as241_ratio(AS241_E, AS241_F, r - T(5));
    const T s = -log_q - T(LOG_SQRT_2PI);
    T x = std::sqrt(s + s);
    for (int k = 0; k < 2; ++k) x = std::sqrt(T(2) * (s - elementary::log(x)));
    return x;
}

// The same from log q alone, log q <= log(1/2).
template <class T>
inline T upper_normal_quantile(T log_q) {
    if (!(log_q > T(AS241_LOG_CENTRAL))) return tail_normal_quantile(log_q);
    const T q = elementary::exp(log_q);
    return q > T(AS241_CENTRAL) ? central_normal_quantile(q) : tail_normal_quantile(log_q);
}

// The problem a quantile solves on an oriented interval: F(x) = p from the lower end lo
// (`upper` false) or S(x) = p from the upper end hi, with 0 < p <= 1/2, so that the given
// probability is the smaller of the two and exact.  The unknown is the offset t >= 0 of x
// from that end, x = lo + t or x = hi - t, which keeps its digits where x lies within an ulp
// of the end (the quantiles of (1e8, 1e8 + 1) are 1e8 + 1e-9 ...).  Where x lies nearer to
// 0 than to that end (or the end is infinite), the unknown is x itself (t = x from the lower
// end, t = -x from the upper), which then loses nothing; the mass between the end and x
// grows with t in every case.
template <class T>
struct QuantileProblem {
    Support<T>& s;
    T p;
    T pM;  // p times the whole mass M
    bool upper;
    T end;          // lo or hi
    bool by_point;  // t = x (or -x) rather than the offset from the end
    T R_end;        // R(|end|) for a finite end
    bool second_order = false;     // flat_tail_law: the guess takes the second-order law
    bool settle = false;           // and, settled_by_flat_law, stops there
    mutable bool settled = false;  // it did
};

template <class T>
inline T point_at(T t, const QuantileProblem<T>& pr) {
    if (pr.by_point) return pr.upper ? -t : t;
    return pr.upper ? pr.end - t : pr.end + t;
}

// Below this z_t = t (|end| - t/2) a piece whose far end is the solving end is measured from
// it: sqrt(2 pi) P = exp(-end^2/2 + z_t) D(|end| - t, t), with no square of the rounded point;
// beyond, the pieces are those of the rounded point x, whose square is then carried exactly,
// and the sum -end^2/2 + z_t would cancel.
inline constexpr double Z_NEAR = 1.0;

// G(t) = log((mass between the end and x)/(p whole)), increasing and concave in t, with its
// first derivative and the ratio of the second to the first.  With rho = f(x)/(that mass)
// and f proportional to e^(-x^2/2), G' = rho and G''/G' = -(x + rho) from the lower end,
// x - rho from the upper end (the ratio stays finite where rho^2 would overflow).  `noise`
// is G's rounding error at the root, a few units of rounding of the largest term it sums.
template <class T>
struct Residual {
    T g;
    T slope;
    T bend;  // G''/G'
    T x;
    T t;     // the offset G was evaluated at: that of the rounded x where x is formed first
    T noise;
};

// log(part/(p M)) for the mass `part` of a piece in the units of the whole's M, with the
// size of the terms it is formed from.  One quotient by p M, formed once: a logarithm fewer
// than log(part/M) - log p, and at the root the logarithm of a number near 1 rather than
// the difference of two large logarithms.  Where p M or the quotient leaves the normal range
// (p or the piece a few subnormals wide, or p so small that the quotient overflows) the
// logarithms are taken apart.
template <class T>
struct LogShare {
    T value;
    T scale;
};

template <class T>
inline LogShare<T> log_share_over_p(T part, const QuantileProblem<T>& pr) {
    constexpr T smallest = std::numeric_limits<T>::min();
    const T folded = part / pr.pM;
    if (pr.pM >= smallest && folded >= smallest && folded <= std::numeric_limits<T>::max()) {
        const T value = elementary::log(folded);
        return {value, std::fabs(value)};
    }
    const T M = pr.s.whole.M;
    const T q = part / M;
    const T log_q = q >= smallest ? elementary::log(q) : elementary::log(part) - elementary::log(M);
    const T log_p = elementary::log(pr.p);
    return {log_q - log_p, std::fabs(log_q) + std::fabs(log_p)};
}

template <class T>
inline Residual<T> residual(T t, const QuantileProblem<T>& pr) {
    Support<T>& s = pr.s;
    const T x = point_at(t, pr);
    T g;
    T scale;
    T rho;
    T at = t;
    const T far = pr.upper ? pr.end - t : -(pr.end + t);  // |x| when x lies beyond 0 from the end's side
    if (!pr.by_point && !pr.upper && pr.end >= T(0)) {
        // A tail interval from its inner end: D(lo, t)/D(lo, hi), exact in t at any t.
        const TailMass<T> m = tail_mass_parts(pr.end, t, &s.at_lo);
        const LogShare<T> share = log_share_over_p(m.D, pr);
        g = share.value;
        scale = share.scale;
        rho = m.decay / m.D;
    } else if (!pr.by_point && far >= T(0) && t * (std::fabs(pr.end) - T(0.5) * t) <= T(Z_NEAR)) {
        // A tail piece measured from its outer end, which is the solving end.
        const T e = std::fabs(pr.end);
        const T m = tail_mass(far, t);
        const Expansion<T> h = half_diff_squares(e, s.whole.r);
        const LogShare<T> share = log_share_over_p(m, pr);
        g = ((share.value + t * (e - T(0.5) * t)) - h.lo) - h.hi;
        scale = share.scale + std::fabs(h.hi);
        rho = T(1) / m;
    } else {
        MillsAt<T> at_x{x};
        T decay = T(1);
        const Piece<T> part = pr.upper ? upper_piece(x, s, at_x, &decay) : lower_piece(x, s, at_x, &decay);
        // log of P(piece)/(p P(whole)), as log_ratio forms it.
        const Expansion<T> h = half_diff_squares(part.r, s.whole.r);
        const LogShare<T> share = log_share_over_p(part.M, pr);
        g = (share.value - h.lo) - h.hi;
        scale = share.scale + std::fabs(h.hi);
        // The density at x relative to the piece's reference point r: 1 where x is r (or -r),
        // else e^(-(x^2 - r^2)/2), the fall across the piece's mass evaluation.
        rho = (std::fabs(x) == part.r ? T(1) : decay) / part.M;
        if (!pr.by_point) at = pr.upper ? pr.end - x : x - pr.end;
    }
    // G sums terms of size `scale`, each carrying a few units of rounding (the masses, the
    // logarithm): a residual that small is noise.  An infinite G (the piece's mass underflows
    // to 0 at a point far from a root next to the end) tells only the side of the root, and
    // its infinite scale would call any residual noise: no bound then.
    const T noise = std::isfinite(scale) ? T(0x1p-50) * std::fmax(T(1), scale) : T(0);
    return {g, rho, pr.upper ? x - rho : -(x + rho), x, at, noise};
}

// The law of a nearly flat tail interval to second order.  From either end the density of
// the offset t in [0, w] is e^(-a t - t^2/2) (a = lo from the lower end, -hi from the upper),
// that is the exponential law of slope c = a + w/2 times e^kappa, kappa = t (w - t)/2 <=
// w^2/8.  With e^kappa = 1 + kappa, one Newton step from the law's point t0 gives
//     t1 = t0 - (e^(c t0) - 1)/c (K(t0) - K(w)),
// K(t) the mean of kappa under the law on [0, t]: (w t mu1(c t) - t^2 mu2(c t))/2, with mu1,
// mu2 the first two moments of U on [0, 1] of density proportional to e^(-x u).  What it leaves
// out is of order (w^2/8)^2 t, of both the expansion and the step; from e^(-c t0) = 1 + v and
// e^(-c w) = 1 + em no further exponential is needed, and the correction, itself of order
// w^2/8 of t, needs only 2e-8 of accuracy.
//
// The moments: 1/x - 1/E and 2/x^2 - (x + 2)/(x E), E = e^x - 1 = -v/(1 + v) for
// e^-x = 1 + v, which lose at most 3 bits from |x| = 1 on; below, their series from
// 1/E = 1/x - 1/2 + sum b_k x^(2k - 1) (the Bernoulli numbers over factorials, to x^11:
// within 2e-11), which need no division.
inline constexpr double EXP_MOMENT_SERIES[6] = {
    1.0 / 12.0, -1.0 / 720.0, 1.0 / 30240.0, -1.0 / 1209600.0, 1.0 / 47900160.0, -691.0 / 1307674368000.0,
};

template <class T>
struct ExpMoments {
    T m1;
    T m2;
};

template <class T>
inline ExpMoments<T> exponential_moments(T x, T v) {
    using elementary::any;
    using elementary::select;
    const T x2 = x * x;
    T tail = T(EXP_MOMENT_SERIES[5]);  // sum over k >= 2 of b_k x^(2k - 4)
    for (int k = 4; k >= 1; --k) tail = tail * x2 + T(EXP_MOMENT_SERIES[k]);
    const T odd = T(EXP_MOMENT_SERIES[0]) + x2 * tail;  // sum of b_k x^(2k - 2)
    const ExpMoments<T> series{T(0.5) - x * odd, (T(1.0) / T(3.0) - x * odd) - T(2.0) * (x2 * tail)};
    const auto large = (x > T(1.0)) | (x < T(-1.0));
    if (!any(large)) return series;
    const T xs = select(large, x, T(1.0));
    const T inverse = -(T(1.0) + v) / select(large, v, T(-0.5));  // 1/E
    const T closed1 = T(1.0) / xs - inverse;
    const T closed2 = T(2.0) / (xs * xs) - ((xs + T(2.0)) / xs) * inverse;
    return {select(large, closed1, series.m1), select(large, closed2, series.m2)};
}

template <class T>
inline T second_order_offset(T t0, T c, T w, T v, T em) {
    const ExpMoments<T> at_t0 = exponential_moments(c * t0, v);
    const ExpMoments<T> at_w = exponential_moments(c * w, em);
    const T K0 = (w * t0 * at_t0.m1 - t0 * t0 * at_t0.m2) * T(0.5);
    const T Kw = (w * w * at_w.m1 - w * w * at_w.m2) * T(0.5);
    // (e^(c t0) - 1)/c = -v/((1 + v) c)
    return t0 + (v / ((T(1.0) + v) * c)) * (K0 - Kw);
}

// Where the guess takes the second order: a nearly flat tail interval (w^2 <= 1e-4) whose
// law's span c w is in the normal range and at most 700 (as quantile_guess forms it).  Its
// error, of order (w^2/8)^2 = 1.6e-10 at most, leaves one step of the iteration where the law
// itself, of order w^2/8, left two for the wider ones.
//
// These predicates, and those of settled_by_law and settled_by_hazard, are written once for a
// double and for a lane set: conditions joined by &, true where they hold.
template <class T>
inline auto flat_tail_law(T lo, T hi) {
    const T w = hi - lo;
    const T span = (T(0.5) * lo + T(0.5) * hi) * w;
    return (lo >= T(0)) & (w * w <= T(1e-4)) & (span >= T(std::numeric_limits<double>::min())) & (span <= T(700));
}

// Where the second order settles the quantile: besides, narrower than 2^-17 of its distance
// lo from 0 and than 4e-4.  The terms left out, (w^2/8)^2 t with t <= w, are then below
// 2^-68 lo, and the law's own rounding, a few ulps of t0, below 2^-67 lo: x is the quantile
// rounded, as by settled_by_law.  (A subnormal p, whose law takes another form, is left to
// the iteration.)
template <class T>
inline auto settled_by_flat_law(T lo, T w) {
    return (w <= T(0x1p-17) * lo) & (w <= T(4e-4));
}

// The initial offset.  Where the density is nearly log-linear over the interval (any narrow
// interval, e = w^2/2 <= 5e-5) F is that of an exponential law of rate c, the chord of
// -x^2/2 over the interval, inverted in closed form from the solving end: error of order e.
// Far in a tail (lo > 30, where AS 241 would run past its range) the law from lo with the
// hazard of the normal to second order (hazard_offset), or near hi that of local_offset.
// Elsewhere the untruncated quantile: x with Phi(x) = Phi(lo) + p P (lower) or
// Q(x) = Q(hi) + p P (upper), from AS 241; its error, about 1e-16 |x|, is small against the
// offset unless the offset is tiny, and then local_offset takes over.
template <class T>
inline T exponential_offset(const QuantileProblem<T>& pr, T rate, T w) {
    // The law of rate `rate` on [lo, lo + w]: F(lo + t) = p at t = -log1p(p expm1(-rate w))/rate;
    // from the upper end (e^(rate t) - 1)/(e^(rate w) - 1) = p at
    // t = log1p(p expm1(rate w))/rate, or w + log(p + (1 - p) e^(-rate w))/rate where
    // e^(rate w) would overflow (then t is not small against w).  No cancellation in either.
    // In both, with the slope c = rate from the lower end and -rate from the upper, the law's
    // point has e^(-c t) = 1 + v and e^(-c w) = 1 + em, from which the second order follows.
    const T span = rate * w;
    if (!pr.upper) {
        // p (1 - e^-span) below the normal range (a subnormal p, or a tiny one on a flat
        // interval) has lost its digits, or is 0, while the offset it stands for need not be
        // small against lo: there -log1p(v) is -v to rounding, and the offset is formed without
        // the underflowing product.
        const T em = elementary::expm1(-span);
        const T v = pr.p * em;
        if (!(-v >= std::numeric_limits<T>::min())) return pr.p * (-elementary::expm1(-span) / rate);
        const T t = -elementary::log1p(v) / rate;
        if (!pr.second_order) return t;
        pr.settled = pr.settle;
        return second_order_offset(t, rate, w, v, em);
    }
    if (span <= T(700)) {
        const T em = elementary::expm1(span);
        const T v = pr.p * em;
        const T t = elementary::log1p(v) / rate;
        if (!pr.second_order) return t;
        pr.settled = pr.settle;
        return second_order_offset(t, -rate, w, v, em);
    }
    return w + elementary::log(pr.p - (pr.p - T(1)) * elementary::exp(-span)) / rate;
}

// Far in a tail the law from lo has the hazard h(t) = 1/R(lo + t), with h = 1/R(lo) and
// h' = h (h - lo) at t = 0 (R' = x R - 1), so that the cumulative hazard is
// H(t) = h t + h' t^2/2 to within h'' t^3/6, h'' about 2/lo^3.  The mass of [lo, lo + t] is
// R(lo) (1 - e^-H(t)) in the units of M, so with u = M/R(lo) = 1 - e^-H(w) the point solves
// H(t) = -L, L = log1p(-p u) from the lower end and log((1 - u) + p u) from the upper.  The
// offset from lo is the quadratic's positive root in the form -2L/(h (1 + sqrt(1 - 2h'L/h^2))),
// which neither cancels nor squares h; its relative error is about t^2/(3 lo^4): 2e-10 at
// lo = 30 from the lower end (t <= log 2/lo), 6e-5 from the upper end of [30, inf) at
// p = 1e-300 (t = 17.8).
template <class T>
inline T hazard_offset(T lo, T R_lo, T L) {
    const T h = T(1) / R_lo;
    const T scaled = L * R_lo;  // L/h
    return (T(-2) * scaled) / (T(1) + std::sqrt(T(1) - T(2) * ((h - lo) * scaled)));
}

// Near a finite end E the log-density is linear to first order, -|E| s steeper outward: the
// mass within t of an inner end (a tail interval's lo) is (1 - e^(-E t))/E in units of
// phi(E), within t of an outer end (e^(|E| t) - 1)/|E|; setting its share of the whole to p
// gives t in closed form, with relative error of order t (|E| + t).  NaN when the closed form
// does not apply (an open end, an exponential out of range).
template <class T>
inline T local_offset(const QuantileProblem<T>& pr) {
    if (!std::isfinite(pr.end)) return std::numeric_limits<T>::quiet_NaN();
    const T e = std::fabs(pr.end);
    const Expansion<T> h = half_diff_squares(e, pr.s.whole.r);
    T share = pr.p * pr.s.whole.M * elementary::exp(h.hi + h.lo);  // p P / phi(E), sqrt(2 pi) units
    // phi(E) far below P (E beyond 37.5 on an interval holding the mode) overflows the
    // exponential, and a subnormal p leaves p M without digits, where their product is of
    // ordinary size: then the product is formed from the logarithms.
    if (!(share >= std::numeric_limits<T>::min() && share <= std::numeric_limits<T>::max()))
        share = elementary::exp((h.hi + h.lo) + (elementary::log(pr.p) + elementary::log(pr.s.whole.M)));
    // With u = share |E| below the normal range (an end within 1e-300 or so of 0, a subnormal
    // p) the logarithms would give 0 from a u stripped of its digits, while the offset is
    // share itself to within u/2.
    const T u = share * e;
    if (!(u >= std::numeric_limits<T>::min())) return share;
    if (!pr.upper && pr.end >= T(0)) return -elementary::log1p(-u) / e;
    return elementary::log1p(u) / e;
}

// Where the exponential law alone is the quantile to within rounding: a tail interval narrower
// than 2^-40 of its distance lo from 0 and than 2^-12.5.  Over [lo, lo + w] the density is
// the law's, e^(-c t), times e^(t (w - t)/2), between 1 and 1 + eta, eta = e^(w^2/8) - 1 <=
// 2^-28; so F(t0) = p (1 + eta)^(+-1) at the law's point t0, F' is at least the law's density
// over 1 + eta, and where the law's share is at most 1/2 its point is within 1.44 t0 of the
// scale p/F': the true offset is within 1.5 eta t0 <= 1.5 2^-68 lo of t0, a twenty-thousandth
// of an ulp of x.  x = lo + t0 (or hi - t0) rounded is then the quantile rounded, as the
// iteration would return it, but where the quantile lies that close to a rounding boundary.
template <class T>
inline auto settled_by_law(T lo, T w) {
    return (lo >= T(0)) & (w <= T(0x1p-40) * lo) & (w * w <= T(0x1p-25));
}

// Far out from the lower end of an interval that is not narrow, hazard_offset's offset t <=
// log 2/lo is within t^3/(3 lo^4) of the quantile's, and its own rounding (M, R(lo), the
// logarithm and the root) within 16 ulps of t: from lo = 1024 on, both are below 2^-68 lo,
// and x = lo + t is settled as by settled_by_law.  Up to lo = 2^1000, where R(lo) and its
// reciprocal are normal numbers (beyond, the iteration takes over from the guess).
inline constexpr double HAZARD_SETTLED = 1024.0;
// From this lo on every quantile of a tail interval [lo, hi] is lo itself: the normal's
// hazard exceeds x, so P(X > lo + t | [lo, hi]) <= e^(-lo t) (truncation at hi only lowers
// it), and a probability of at least 2^-1074 puts the quantile within t <= 744.5/lo of lo,
// below half an ulp of lo (2^-21 at 2^32: 1.7e-7 < 4.8e-7).  The iteration, started from
// the upper end of a wide interval, cannot resolve a point that close to the far end.
inline constexpr double QUANTILE_AT_LOWER_END = 0x1p32;
inline constexpr double HAZARD_SETTLED_END = 0x1p1000;

template <class T, class Mask>
inline auto settled_by_hazard(T lo, T w, Mask from_lower) {
    return from_lower & (lo >= T(HAZARD_SETTLED)) & (lo <= T(HAZARD_SETTLED_END)) & (w * w > T(1e-4));
}

template <class T>
inline T quantile_guess(const QuantileProblem<T>& pr) {
    const T lo = pr.s.o.lo;
    const T hi = pr.s.o.hi;
    const T w = hi - lo;
    if (std::isfinite(w) && w * w <= T(1e-4)) {
        const T c = T(0.5) * lo + T(0.5) * hi;
        // A span c w below the normal range keeps a few digits or none, and p expm1(c w)
        // underflows to 0 from the upper end, which would start the iteration at the smallest
        // offset, where 1/(the piece's mass) overflows and the first step comes out as 0; the
        // law is uniform to within that span, and the offset is p w.
        if (!(c * w >= std::numeric_limits<T>::min())) return pr.p * w;
        return exponential_offset(pr, c, w);
    }
    if (lo > T(30)) {
        // From the lower end the point lies within log 2/lo of lo.  From the upper end it may
        // lie next to hi (tiny p), where the law near hi (rate hi) holds and the law from lo
        // is far from it: the latter's point is taken only where it falls in the lower half
        // (as an offset from hi, or the point itself from an infinite hi).
        const T R_lo = pr.s.at_lo.get();
        const T u = pr.s.whole.M / R_lo;
        const T v = pr.p * u;
        if (!pr.upper) {
            // p u below the normal range has lost its digits: the offset is p M to first order,
            // as small as the subnormals it is formed from.
            if (!(v >= std::numeric_limits<T>::min())) return pr.pM;
            return hazard_offset(lo, R_lo, elementary::log1p(-v));
        }
        const T from_lo = hazard_offset(lo, R_lo, elementary::log((T(1) - u) + v));
        if (!std::isfinite(w)) return -(lo + from_lo);
        if (from_lo <= T(0.5) * w) return w - from_lo;
        return local_offset(pr);
    }
    // The untruncated quantile from the tail mass beyond it, in units of phi(0): for a tail
    // interval sqrt(2 pi) Q(x) = e^(-lo^2/2) (R(lo) - p D) from the lower end, e^(-lo^2/2)
    // (e^-z R(hi) + p D) from the upper; around the mode e^(-E^2/2) R(|E|) + p M beyond the
    // solving end E, then the complement when that passes 1/2.  All sums of positive terms.
    // Around the mode the tail is at hand as a number, and the central region of AS 241 takes
    // it as it is, with no logarithm and exponential between.
    const T M = pr.s.whole.M;
    T magnitude;
    bool below_zero;
    if (lo >= T(0)) {
        const T beyond_hi = std::isfinite(w) ? elementary::exp(-(T(0.5) * lo + T(0.5) * hi) * w) * pr.R_end : T(0);
        const T mass = pr.upper ? beyond_hi + pr.p * M : pr.R_end - pr.p * M;
        T log_mass = elementary::log(mass);
        if (pr.upper && !(mass >= std::numeric_limits<T>::min())) {
            // Both terms below the normal range (a subnormal p far from a wide interval's
            // upper end): the sum is taken from their logarithms, which do not underflow.
            const T log_beyond = std::isfinite(w) ? elementary::log(pr.R_end) - (T(0.5) * lo + T(0.5) * hi) * w
                                                  : -std::numeric_limits<T>::infinity();
            const T log_part = elementary::log(pr.p) + elementary::log(M);
            const T larger = std::fmax(log_beyond, log_part);
            log_mass = larger + elementary::log1p(elementary::exp(std::fmin(log_beyond, log_part) - larger));
        }
        magnitude = upper_normal_quantile((log_mass - half_square(lo).hi) - T(LOG_SQRT_2PI));
        below_zero = false;
    } else {
        T beyond = pr.s.get_outer(pr.upper) + pr.p * M;
        below_zero = !pr.upper;
        if (beyond > T(SQRT_PI_2)) {
            beyond = T(SQRT_2PI) - beyond;
            below_zero = !below_zero;
        }
        const T q = beyond / T(SQRT_2PI);
        magnitude = q > T(AS241_CENTRAL) ? central_normal_quantile(q)
                                         : tail_normal_quantile(elementary::log(beyond) - T(LOG_SQRT_2PI));
    }
    const T x = below_zero ? -magnitude : magnitude;
    const T t = !std::isfinite(pr.end) ? (pr.upper ? -x : x) : (pr.upper ? pr.end - x : x - pr.end);
    // Next to the end the untruncated quantile is rounded to the spacing of x there.
    if (std::isfinite(pr.end) && t * (std::fabs(pr.end) + t) <= T(1e-4)) return local_offset(pr);
    return t;
}

// Halley's method on G, kept inside a bracket [tl, tr] that shrinks with every evaluation
// (the sign of G tells the side of the root); a step that would leave the bracket on the
// side of the solving end is first retried as Newton's step in log t (exact where G is
// log t plus a constant, as next to a finite end), then replaced by the bracket's midpoint.
// Halley's error after a step of relative size d is about C d^3, with C of order one on these
// smooth G (1/12 for G = log(t/t*)), so it stops after a step below 2^-20 t: the result is
// then within about 2^-60 t of the root, and no further evaluation could move it.  It also
// stops after a step below 2^-51 |x| (x can no longer change), when G is down to its
// rounding noise, when the bracket holds no further double, or after 64 evaluations,
// whatever the input; a NaN ends it at once.

inline constexpr int QUANTILE_ITERATIONS = 64;

template <class T>
inline T bracket_midpoint(T tl, T tr) {
    if (std::isfinite(tr - tl)) return T(0.5) * tl + T(0.5) * tr;
    if (tl == -std::numeric_limits<T>::infinity()) return tr - (T(1) + std::fabs(tr));
    return tl + (T(1) + std::fabs(tl));
}

// Halley's step from the residual r (Newton's in log t where Halley's correction is below
// 1/2 at an offset, Newton's at the point).
template <class T>
inline T halley_next(const Residual<T>& r, const QuantileProblem<T>& pr, T newton) {
    const T correction = T(1) - T(0.5) * newton * r.bend;
    if (newton == T(0)) return r.t;
    if (correction > T(0.5)) return r.t - newton / correction;
    if (r.t > T(0) && !pr.by_point) return r.t * elementary::exp(-newton / r.t);
    return r.t - newton;
}

template <class T>
struct Bracket {
    T tl;
    T tr;
};

// A step from an anchor g that ends within anchor_margin of the border of a cell: the side of
// the border is decided by the sign of G at the border itself, a test monotone in p, and the
// quantile is the step from the anchor on that side, kept on that side of the border.  Where
// the border or that anchor leaves the bracket (the cells there are wider than the interval
// left), or G is NaN, the step stands.
template <class T>
inline T across_border(const QuantileProblem<T>& pr, const Residual<T>& r, T g, T settled,
                       const AnchorGrid<T>& grid, const Bracket<T>& bracket) {
    const T m = anchor_margin(settled, grid);
    const T below = anchor(settled - m, grid);
    const T above = anchor(settled + m, grid);
    const T border = T(0.5) * below + T(0.5) * above;
    if (!(border > bracket.tl && border < bracket.tr && below > bracket.tl && above <= bracket.tr)) return settled;
    const Residual<T> at = residual(border, pr);
    if (std::isnan(at.g)) return settled;
    const bool beyond = at.g < T(0);
    const T from = beyond ? above : below;
    const Residual<T> side = from == g ? r : residual(from, pr);
    if (std::isnan(side.g)) return settled;
    const T newton = side.g / side.slope;
    const T step = anchored_step(side.t, newton, side.bend, halley_next(side, pr, newton));
    return beyond ? std::fmax(step, at.t) : std::fmin(step, at.t);
}

template <class T>
inline T solve_quantile(const QuantileProblem<T>& pr, T t) {
    const Oriented<T>& o = pr.s.o;
    T tl = pr.by_point ? (pr.upper ? -o.hi : o.lo) : T(0);
    T tr = pr.by_point ? (pr.upper ? -o.lo : o.hi) : o.hi - o.lo;
    // A guess at or beyond the far end of the bracket is moved onto it (the quantile may round
    // to that end, and G = -log p is finite there); at the solving end G is -inf.
    if (t >= tr && std::isfinite(tr)) t = tr;
    // An offset guessed as 0 is one below the smallest double: the quantile lies within the
    // smallest offsets of the end, and the iteration starts there rather than at the middle of
    // an interval that may be 1e308 wide, which bisection would not cross in its evaluations.
    if (!pr.by_point && t == T(0)) t = std::numeric_limits<T>::denorm_min();
    if (!(t > tl && t <= tr)) t = bracket_midpoint(tl, tr);
    const Bracket<T> bracket{tl, tr};
    const AnchorGrid<T> grid = anchor_grid(o.lo, o.hi, pr.end, pr.by_point);
    T previous = std::numeric_limits<T>::quiet_NaN();  // the anchor before
    for (int k = 0; k < QUANTILE_ITERATIONS; ++k) {
        const T g = anchor_within(t, tl, tr, grid);
        const Residual<T> r = residual(g, pr);
        if (std::isnan(r.g)) return r.g;
        if (r.g == T(0)) return r.x;
        if (r.g < T(0)) tl = r.t; else tr = r.t;
        // Halley's correction 1 - G G''/(2 G'^2) is trusted while it is above 1/2; beyond, G is
        // far from its root in a region where it bends like log t (next to the solving end),
        // and Newton's step in log t, exact for log t plus a constant, is taken instead.
        const T newton = r.g / r.slope;
        T next = halley_next(r, pr, newton);
        const T step = std::fabs(next - r.t);
        // From an anchor the iteration ends when the step lands in its cell (or, the root on
        // the border of two cells, in the cell of the anchor before); from a point that is not
        // its own anchor (next to an end of the bracket) when the step is below 2^-20 t.
        const T lands = anchor(next, grid);
        const bool from_anchor = g == anchor(g, grid);
        const bool ends = from_anchor ? lands == g || lands == previous : step <= std::fabs(next) * T(0x1p-20);
        if (next == g || ends || step <= std::fabs(r.x) * T(0x1p-51) || std::fabs(r.g) <= r.noise) {
            const T settled = anchored_step(r.t, newton, r.bend, next);
            if (!from_anchor || !near_border(settled, grid)) return point_at(settled, pr);
            return point_at(across_border(pr, r, g, settled, grid, bracket), pr);
        }
        previous = g;
        if (!(next > tl) && r.t > T(0) && !pr.by_point) next = r.t * elementary::exp(-newton / r.t);  // Newton in log t
        if (!(next > tl && next < tr)) next = bracket_midpoint(tl, tr);
        if (next == t) return point_at(t, pr);  // the bracket is down to adjacent doubles
        t = next;
    }
    return point_at(t, pr);
}

// The solving end changes at q = 1/2, and with it G: q in (1/2, 1/2 + QUANTILE_SIDE_BAND] is
// kept on its side of the quantile of 1/2 (an extra solve, for one q in 2^30).  Beyond the
// band the quantiles of q and of 1/2 lie 2^-30/f apart, f the density, far more than their
// errors wherever an ulp of x is below 2^-36/f.
inline constexpr double QUANTILE_SIDE_BAND = 0x1p-30;

// ppf (lower) or isf (upper) of q on [a, b]: the smaller of q and 1 - q is solved from its own
// end of the oriented interval; q outside [0, 1] or NaN anywhere gives NaN.
template <class T>
inline T quantile(T q, T a, T b, bool upper, const Support<T>* prepared = nullptr) {
    static_assert(is_kernel_type<T>, "the truncated normal kernels are written for double");
    constexpr T nan = std::numeric_limits<T>::quiet_NaN();
    if (!(q >= T(0) && q <= T(1)) || !(a <= b)) return nan;
    if (a == b) return std::isfinite(a) ? a : nan;
    if (q == T(0)) return upper ? b : a;
    if (q == T(1)) return upper ? a : b;
    Support<T> s = prepared ? *prepared : support(a, b);
    bool from_upper = upper;
    T p = q;
    if (q > T(0.5)) {
        p = T(1) - q;
        from_upper = !from_upper;
    }
    if (s.o.mirrored) from_upper = !from_upper;
    const T end = from_upper ? s.o.hi : s.o.lo;
    const T R_end = std::isfinite(end) ? (from_upper ? s.at_hi : s.at_lo).get() : T(0);
    QuantileProblem<T> pr{s, p, p * s.whole.M, from_upper, end, !std::isfinite(end), R_end};
    const T w = s.o.hi - s.o.lo;
    const bool by_law = settled_by_law(s.o.lo, w);
    pr.second_order = !by_law && flat_tail_law(s.o.lo, s.o.hi);
    pr.settle = pr.second_order && settled_by_flat_law(s.o.lo, w);
    T t = quantile_guess(pr);
    T x;
    if (by_law || pr.settled || settled_by_hazard(s.o.lo, w, !pr.upper)) {
        x = point_at(t, pr);
    } else {
        if (!pr.by_point) {
            const T x0 = point_at(t, pr);
            if (t > std::fabs(x0)) {
                pr.by_point = true;
                t = from_upper ? -x0 : x0;
            }
        }
        x = solve_quantile(pr, t);
    }
    if (x < s.o.lo || s.o.lo >= T(QUANTILE_AT_LOWER_END)) x = s.o.lo;
    if (x > s.o.hi) x = s.o.hi;
    if (s.o.mirrored) x = -x;
    // q just above 1/2 is solved from the other end than q = 1/2 itself, with another G.
    if (q > T(0.5) && q - T(0.5) <= T(QUANTILE_SIDE_BAND)) {
        const T at_half = quantile(T(0.5), a, b, upper, prepared);
        x = upper ? std::fmin(x, at_half) : std::fmax(x, at_half);
    }
    return x;
}

// One body for the six: NaN for NaN anywhere or a > b; a point interval a == b (finite) is
// the point mass at a (the density +inf there, P(X <= a) = P(X >= a) = 1); outside [a, b] and
// at its ends the limits (the density is 0 outside; P(X <= x) is 0 up to a and 1 from b on);
// inside, the oriented interval's pieces, with the cdf and the sf swapped by the mirror.
template <class T, Kind kind>
inline T distribution(T x, T a, T b, const Support<T>* prepared = nullptr) {
    static_assert(is_kernel_type<T>, "the truncated normal kernels are written for double");
    constexpr T inf = std::numeric_limits<T>::infinity();
    constexpr bool density = kind == Kind::logpdf || kind == Kind::pdf;
    constexpr bool logarithm = kind == Kind::logpdf || kind == Kind::logcdf || kind == Kind::logsf;
    constexpr bool upper = kind == Kind::logsf || kind == Kind::sf;
    constexpr T none = logarithm ? -inf : T(0);  // probability 0 (or density 0)
    constexpr T all = logarithm ? T(0) : T(1);   // probability 1
    if (std::isnan(x) || !(a <= b)) return std::numeric_limits<T>::quiet_NaN();
    if (a == b) {
        if (!std::isfinite(a)) return std::numeric_limits<T>::quiet_NaN();
        if (density) return x == a ? inf : none;
        return (upper ? x <= a : x >= a) ? all : none;
    }
    if (density) {
        if (!(x >= a && x <= b)) return none;
        Support<T> s = prepared ? *prepared : support(a, b);
        const Expansion<T> e = density_exponent(x, s);
        if (logarithm) return (-s.get_log_mass() - e.lo) - e.hi;
        return shared_exp_neg(e) / s.whole.M;
    }
    if (x <= a) return upper ? all : none;
    if (x >= b) return upper ? none : all;
    Support<T> s = prepared ? *prepared : support(a, b);
    const T xo = s.o.mirrored ? -x : x;
    return share<T, logarithm>(xo, s, upper != s.o.mirrored);
}

}  // namespace detail

// ---------------------------------------------------------------------------------------
// Probability, mean and variance

template <class T>
struct Moments {
    T log_prob;
    T mean;
    T var;
};

// log(Phi(b) - Phi(a)).
template <class T>
inline T log_prob(T a, T b) {
    static_assert(is_kernel_type<T>, "the truncated normal kernels are written for double");
    T lp, m, v;
    if (detail::special_moments(a, b, lp, m, v)) return lp;
    const detail::Interval<T> iv = detail::make_interval(a, b);
    if (iv.lo >= T(0)) {
        detail::TiltSums<T> flat{};
        if (iv.z <= T(detail::Z_FLAT_MASS)) flat = detail::interval_tilt<T, false>(iv);
        return detail::tail_log_prob(iv, detail::tail_parts<T, false>(iv, &flat).D);
    }
    return detail::mode_log_prob(detail::mode_parts(iv));
}

// E[X | a <= X <= b].
template <class T>
inline T mean(T a, T b) {
    static_assert(is_kernel_type<T>, "the truncated normal kernels are written for double");
    T lp, m, v;
    if (detail::special_moments(a, b, lp, m, v)) return m;
    const detail::Interval<T> iv = detail::make_interval(a, b);
    T result;
    if (iv.lo >= T(0)) {
        detail::TiltSums<T> flat{};
        if (iv.z <= T(detail::Z_FLAT_MASS)) flat = detail::interval_tilt<T, true>(iv);
        result = detail::tail_mean(iv, detail::tail_parts<T, false>(iv, &flat), &flat);
    } else {
        result = detail::mode_mean(iv, detail::mode_parts(iv));
    }
    result = inside(result, iv);
    return iv.mirrored ? -result : result;
}

// Var[X | a <= X <= b].
template <class T>
inline T var(T a, T b) {
    static_assert(is_kernel_type<T>, "the truncated normal kernels are written for double");
    T lp, m, v;
    if (detail::special_moments(a, b, lp, m, v)) return v;
    const detail::Interval<T> iv = detail::make_interval(a, b);
    if (iv.lo >= T(0)) {
        detail::TiltSums<T> flat{};
        if (iv.z <= T(detail::Z_FLAT_VAR)) flat = detail::interval_tilt<T, true>(iv);
        return detail::tail_var(iv, detail::tail_parts<T, true>(iv, &flat), &flat);
    }
    detail::TiltSums<T> flat{};
    if (iv.w <= T(detail::W_FLAT_MODE)) flat = detail::interval_tilt<T, true>(iv);
    const detail::ModeParts<T> p = detail::mode_parts(iv);
    return detail::mode_var(iv, p, detail::mode_mean(iv, p), &flat);
}

// All three, each the same bits as its own function, sharing the Mills ratios, exponentials
// and series between them.
template <class T>
inline Moments<T> moments(T a, T b) {
    static_assert(is_kernel_type<T>, "the truncated normal kernels are written for double");
    Moments<T> r;
    if (detail::special_moments(a, b, r.log_prob, r.mean, r.var)) return r;
    const detail::Interval<T> iv = detail::make_interval(a, b);
    if (iv.lo >= T(0)) {
        detail::TiltSums<T> flat{};
        if (iv.z <= T(detail::Z_FLAT_VAR)) flat = detail::interval_tilt<T, true>(iv);
        const detail::TailParts<T> p = detail::tail_parts<T, true>(iv, &flat);
        r.log_prob = detail::tail_log_prob(iv, p.D);
        r.mean = detail::tail_mean(iv, p, &flat);
        r.var = detail::tail_var(iv, p, &flat);
    } else {
        detail::TiltSums<T> flat{};
        if (iv.w <= T(detail::W_FLAT_MODE)) flat = detail::interval_tilt<T, true>(iv);
        const detail::ModeParts<T> p = detail::mode_parts(iv);
        r.log_prob = detail::mode_log_prob(p);
        r.mean = detail::mode_mean(iv, p);
        r.var = detail::mode_var(iv, p, r.mean, &flat);
    }
    r.mean = inside(r.mean, iv);
    if (iv.mirrored) r.mean = -r.mean;
    return r;
}

// ---------------------------------------------------------------------------------------
// Density and distribution functions of x

// An interval [a, b] prepared once for many points: its orientation, its mass and the Mills
// ratios at its ends, which are all that a point's functions need of the interval.  Passed to
// the functions below (with the same a and b), it makes them cost what the point costs, with
// the same bits as without it.  Only an interval with a < b is prepared; for the others the
// functions fall back to their special values as usual.
template <class T>
struct Prepared {
    bool ready = false;
    detail::Support<T> s{};
};

template <class T>
inline Prepared<T> prepare(T a, T b) {
    if (!(a < b)) return {};
    Prepared<T> p{true, detail::support(a, b)};
    p.s.get_log_mass();
    p.s.at_lo.get();
    p.s.at_hi.get();
    if (p.s.o.lo < T(0)) {
        p.s.get_outer(false);
        p.s.get_outer(true);
    }
    return p;
}

namespace detail {
template <class T>
inline const Support<T>* support_of(const Prepared<T>* prepared) {
    return prepared && prepared->ready ? &prepared->s : nullptr;
}
}  // namespace detail

// log phi(x)/P on [a, b], -inf outside; a point interval is a point mass (+inf at the point).
template <class T>
inline T logpdf(T x, T a, T b, const Prepared<T>* prepared = nullptr) {
    return detail::distribution<T, detail::Kind::logpdf>(x, a, b, detail::support_of(prepared));
}

// phi(x)/P on [a, b], 0 outside.
template <class T>
inline T pdf(T x, T a, T b, const Prepared<T>* prepared = nullptr) {
    return detail::distribution<T, detail::Kind::pdf>(x, a, b, detail::support_of(prepared));
}

// log P(X <= x | a <= X <= b): -inf up to a, 0 from b on.
template <class T>
inline T logcdf(T x, T a, T b, const Prepared<T>* prepared = nullptr) {
    return detail::distribution<T, detail::Kind::logcdf>(x, a, b, detail::support_of(prepared));
}

// log P(X >= x | a <= X <= b): 0 up to a, -inf from b on.
template <class T>
inline T logsf(T x, T a, T b, const Prepared<T>* prepared = nullptr) {
    return detail::distribution<T, detail::Kind::logsf>(x, a, b, detail::support_of(prepared));
}

// P(X <= x | a <= X <= b): 0 up to a, 1 from b on.
template <class T>
inline T cdf(T x, T a, T b, const Prepared<T>* prepared = nullptr) {
    return detail::distribution<T, detail::Kind::cdf>(x, a, b, detail::support_of(prepared));
}

// P(X >= x | a <= X <= b): 1 up to a, 0 from b on; not computed as 1 - cdf.
template <class T>
inline T sf(T x, T a, T b, const Prepared<T>* prepared = nullptr) {
    return detail::distribution<T, detail::Kind::sf>(x, a, b, detail::support_of(prepared));
}

// ---------------------------------------------------------------------------------------
// Quantiles

// x with P(X <= x | a <= X <= b) = q: a at q = 0, b at q = 1, NaN for q outside [0, 1].
template <class T>
inline T ppf(T q, T a, T b, const Prepared<T>* prepared = nullptr) {
    return detail::quantile(q, a, b, false, detail::support_of(prepared));
}

// x with P(X >= x | a <= X <= b) = q: b at q = 0, a at q = 1, NaN for q outside [0, 1].
template <class T>
inline T isf(T q, T a, T b, const Prepared<T>* prepared = nullptr) {
    return detail::quantile(q, a, b, true, detail::support_of(prepared));
}

}  // namespace veltra::truncnorm
