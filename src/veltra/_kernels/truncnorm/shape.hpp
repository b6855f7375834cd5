// Skewness and excess kurtosis of the standard normal distribution truncated to [a, b]:
//
//     skew(a, b) = mu3/mu2^(3/2),   kurtosis(a, b) = mu4/mu2^2 - 3,   mu_k = E[(X - mean)^k],
//
// for every pair of doubles a < b, on truncnorm.hpp's oriented interval (X -> -X changes the
// sign of the skewness only).  The raw moments E[X^k] cancel as soon as the interval leaves
// the centre (on (1e8, 1e8 + 1), mu4 = 1/80 against E[X^4] = 1e32); the central moments here
// come, region by region, from quantities of the interval's own scale:
//
// Nearly flat intervals (a tail interval with z = (b^2 - a^2)/2 <= Z_FLAT_SHAPE, an interval
// around the mode no wider than W_FLAT_MODE).  X = c + w S with S the tilted uniform variable
// on [-1/2, 1/2]; its moments E[S^k], k <= 4, are ratios of the positive series of tilt_sums,
// and the central moments of S follow from them by
//     mu3 = e3 - 3 s mu2 - s^3,   mu4 = e4 - 4 s mu3 - 6 s^2 mu2 - s^4,   s = E[S],
// where the terms are of the size of the results while z is small and cancel as z^2 grows
// (S tends to an exponential law of scale 1/z, its moments about 0 do not).  Measured error
// up to z = 6: skewness 5.6e-15, kurtosis 2.6e-14 (at z = 6); around the mode (w <= 2, so
// z <= 2): 3.3e-16 and 1.5e-15.
//
// One-sided tails [x, inf), x >= 0.  Y = X - x has the density exp(-x t - t^2/2)/R(x), whose
// moments about 0 are m_k/R, m_k = (-d/dx)^k R: m1 = R1, m2 = R'', m3 = R3 (mills.hpp's -R',
// -R''') and m4 = 3 m2 - x m3.  The last cancels by x^2/4 (m4 is about 24/x^5); from
// X_RATIO_CF on it is m3 times the continued fraction
//     m4/m3 = 4/(x + 5/(x + 6/(x + ...))),
// from m_(k+1) = k m_(k-1) - x m_k, evaluated from its last level back to the first, started
// at the tail's own fixed point (below).  The central moments about the mean nu
// follow as
//     mu3 = r3 - 3 nu mu2 - nu^3,   mu4 = r4 - 4 nu mu3 - 6 nu^2 mu2 - nu^4,   r_k = m_k/R,
// each term within a factor 5 of the result (the exponential law's 6 - 3 - 1 = 2 and
// 24 - 8 - 6 - 1 = 9); the kurtosis inherits twice the variance's relative error (2.3e-15
// near x = 1) times mu4/mu2^2.  Measured error: skewness 1.0e-14 and kurtosis 2.2e-14 below
// x = 4 (at x = 0.58), 2.7e-15 and 1.3e-15 from there to 25.  From X_ASYMPTOTIC = 25 on, the law is the
// exponential one to O(1/x^2), and the shape is its asymptotic series in y = 1/x^2 (below):
// the cumulants are kappa_n = (-d/dx)^n log R(x), R's asymptotic series gives them, and the
// ratios kappa3/kappa2^(3/2) and kappa4/kappa2^2, as series in y with rational coefficients
// (below); twelve terms leave a truncation error below 2e-17 from x = 25
// on, and the terms fall by a factor 15 or more, so that the sum is within an ulp.
//
// Wide tail intervals (z > Z_FLAT_SHAPE).  [lo, inf) is the mixture of [lo, hi] with weight
// 1 - q and [hi, inf) with weight q = e^-z R(hi)/R(lo) < e^-z < 0.02.  With every mean taken
// as an offset from the mean of [lo, inf) (d for [hi, inf), -q d/(1 - q) for [lo, hi]), the
// k-th moment about it is the mixture of the parts' binomial sums, which gives the central
// moments of [lo, hi] one order at a time from those of the two one-sided tails.  The
// subtraction loses a factor of a few at z = 6 and nothing once q is below rounding; the
// quantities are in units of 1/max(lo, 1), in which the one-sided moments are of order one at
// any distance.  Measured error: skewness 9.4e-15, kurtosis 2.2e-14.
//
// Wide intervals around the mode (lo < 0 < hi, wider than W_FLAT_MODE).  Integrating
// (x - m)^k x phi(x) by parts gives, with Y = X - m and
//     beta_k = [(lo - m)^k phi(lo) - (hi - m)^k phi(hi)]/P,
//     E[Y^(k+1)] = k E[Y^(k-1)] + beta_k - m E[Y^k]:
//     mu2 = 1 + beta_1,   mu3 = beta_2 - m mu2,   mu4 = 3 mu2 + beta_3 - m mu3,
// where |m| < 0.8 and mu2 > 1/4: at most a few bits lost (measured: skewness 3.6e-15,
// kurtosis 9.0e-15).  A symmetric interval has m = 0 and beta_2 = 0 exactly, so its skewness
// is 0.
//
// The errors quoted are absolute, of max(1, |value|), against mpmath on 4400 intervals of every
// kind and on the borders between the regions (tools/truncnorm_accuracy.py,
// tests/test_truncnorm_shape.py): at most 1.0e-14 for the skewness and 2.6e-14 for the
// kurtosis.
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

#include "../truncnorm.hpp"

namespace veltra::truncnorm {

template <class T>
struct Shape {
    T skew;
    T kurtosis;  // excess
};

namespace detail {

// Below this z a tail interval takes its shape from the tilted series, above it from the
// mixture of one-sided tails: where the two meet, each is within 2.5e-14 of the kurtosis,
// the series losing more above (its central moments cancel as z^2) and the mixture below (as
// 1/(1 - e^-z) times the ratio of the one-sided moments to the interval's).  It lies above
// Z_FLAT_VAR, so that tail_parts has R(hi) at hand for the mixture.
inline constexpr double Z_FLAT_SHAPE = 6.0;
// From this x the fourth moment about x of [x, inf) takes the continued fraction for m4/m3,
// with RATIO_CF_BASE + RATIO_CF_SCALE/x levels (49 at x = 4, 15 at x = 25): the truncation
// error falls faster than exp(-2 x sqrt(n)) in the depth n, and this depth leaves the ratio
// within 1.5e-16 of mpmath's on [4, 25) (32 levels leave 4e-15 at x = 4).
inline constexpr double X_RATIO_CF = 4.0;
inline constexpr int RATIO_CF_BASE = 9;
inline constexpr double RATIO_CF_SCALE = 160.0;
// From this x the shape of [x, inf) is its asymptotic series in 1/x^2.
inline constexpr double X_ASYMPTOTIC = 25.0;
// From this x on the corrections of order 1/x^2 are below 1e-300: the mean and the standard
// deviation of [x, inf) are 1/x and its shape the exponential law's (2, 6), to rounding.
inline constexpr double X_EXPONENTIAL = 1e150;

// Skewness and excess kurtosis of [x, inf) in y = 1/x^2, coefficients of y^0, y^1, ...: the
// rationals that the cumulants' series give (power series of log R in 1/x, differentiated
// and divided exactly), all doubles but the last of the skewness, -10926494191758201/128,
// rounded once.
inline constexpr double SKEW_TAIL_SERIES[12] = {
    2.0, -6.0, 69.0, -1015.0, 17382.75, -333344.25, 7013824.125, -159971043.375,
    3923971109.296875, -102947328249.39062, 2876939042831.836, -85363235873110.94};
inline constexpr double KURTOSIS_TAIL_SERIES[12] = {
    6.0, -48.0, 708.0, -12456.0, 246108.0, -5326368.0, 124610004.0, -3126156888.0,
    83654673324.0, -2378649499920.0, 71656317524964.0, -2281472866117896.0};

// Central moments of order 2 to 4 in some unit.
template <class T>
struct Central {
    T m2;
    T m3;
    T m4;
};

template <class T>
inline Shape<T> standardize(const Central<T>& c) {
    return {c.m3 / (c.m2 * std::sqrt(c.m2)), c.m4 / (c.m2 * c.m2) - T(3)};
}

// Central moments of S from the moments e2, e3, e4 about 0 and the mean s.
template <class T>
inline Central<T> central_from_raw(T s, T m2, T e3, T e4) {
    const T m3 = e3 - s * (T(3) * m2 + s * s);
    return {m2, m3, e4 - s * (T(4) * m3 + s * (T(6) * m2 + s * s))};
}

// The tilted uniform S on [-1/2, 1/2] of a nearly flat interval, in units of its width.
template <class T>
inline Central<T> tilt_central(const Interval<T>& iv) {
    const TiltSums<T> t = interval_tilt<T, true, true>(iv);
    const T ratio = t.B / t.A;
    const T Z = T(0.5) * iv.z;
    const T X = Z * Z * T(0.25);
    const T s = -(iv.z * T(0.125)) * ratio;
    const T m2 = T(0.25) * (t.C / t.A - X * (ratio * ratio));
    const T e3 = -(iv.z * T(0.015625)) * (t.F / t.A);
    const T e4 = T(0.015625) * (t.H / t.A);
    return central_from_raw(s, m2, e3, e4);
}

// m4/m3 of [x, inf) for X_RATIO_CF <= x < X_ASYMPTOTIC: the continued fraction
// rho_(k-1) = k/(x + rho_k) from its depth n down to k = 4, started from the fixed point of
// its next level, rho = (n + 1)/(x + rho), rho = 2(n + 1)/(x + sqrt(x^2 + 4(n + 1))).  (160/x
// lies in (6.4, 40] there, so that its conversion to int is exact and defined.)
template <class T>
inline T tail_ratio_43(T x) {
    const int depth = RATIO_CF_BASE + static_cast<int>(T(RATIO_CF_SCALE) / x);
    const T next = T(depth + 1);
    T rho = T(2) * next / (x + std::sqrt(x * x + T(4) * next));
    for (int k = depth; k >= 4; --k) rho = T(k) / (x + rho);
    return rho;
}

// [x, inf), x >= 0: the mean (an offset from x) and the variance in units of 1/max(x, 1), and
// the shape.
template <class T>
struct TailShape {
    T mean;
    T var;
    Shape<T> shape;
};

template <class T>
inline TailShape<T> one_sided_shape(T x) {
    if (x >= T(X_EXPONENTIAL)) return {T(1), T(1), {T(2), T(6)}};
    const OneSided<T> o = one_sided(x);
    const T unit = x > T(1) ? x : T(1);
    const T mean = o.mean * unit;
    const T var = o.var * unit * unit;
    if (x >= T(X_ASYMPTOTIC)) {
        const T y = T(1) / (x * x);
        return {mean, var, {horner(SKEW_TAIL_SERIES, y), horner(KURTOSIS_TAIL_SERIES, y)}};
    }
    const T r = _R(x);
    const T r3 = _R3(x) / r;
    const T nu = o.mean;
    const T r4 = x >= T(X_RATIO_CF) ? tail_ratio_43(x) * r3 : T(3) * (o.var + nu * nu) - x * r3;
    return {mean, var, standardize(central_from_raw(nu, o.var, r3, r4))};
}

// A wide tail interval [lo, hi], z > Z_FLAT_SHAPE, from [lo, inf) less [hi, inf).
template <class T>
inline Shape<T> tail_mixture_shape(const Interval<T>& iv, const TailParts<T>& p) {
    const TailShape<T> below = one_sided_shape(iv.lo);
    if (iv.hi == std::numeric_limits<T>::infinity()) return below.shape;
    const T q = p.e * p.Rhi / p.Rlo;
    if (q == T(0)) return below.shape;
    const T keep = p.D / p.Rlo;  // 1 - q
    const TailShape<T> above = one_sided_shape(iv.hi);
    const T unit = iv.lo > T(1) ? iv.lo : T(1);
    const T f = unit / (iv.hi > T(1) ? iv.hi : T(1));  // [hi, inf)'s unit in [lo, inf)'s
    // [lo, inf) about its mean
    const T v = below.var;
    const T sd = std::sqrt(v);
    const T m3 = below.shape.skew * v * sd;
    const T m4 = (below.shape.kurtosis + T(3)) * v * v;
    // [hi, inf) about its own mean, and its mean's offset d from that of [lo, inf)
    const T vh = above.var * f * f;
    const T m3h = above.shape.skew * vh * std::sqrt(vh);
    const T m4h = (above.shape.kurtosis + T(3)) * vh * vh;
    const T d = (iv.w * unit + above.mean * f) - below.mean;
    const T e2 = vh + d * d;
    const T e3 = m3h + d * (T(3) * vh + d * d);
    const T e4 = m4h + d * (T(4) * m3h + d * (T(6) * vh + d * d));
    // [lo, hi]: its mean lies at di from that of [lo, inf)
    const T di = -q * d / keep;
    const T c2 = (v - q * e2) / keep - di * di;
    const T c3 = (m3 - q * e3) / keep - di * (T(3) * c2 + di * di);
    const T c4 = (m4 - q * e4) / keep - di * (T(4) * c3 + di * (T(6) * c2 + di * di));
    return standardize(Central<T>{c2, c3, c4});
}

// A wide interval around the mode: the recurrence of the beta_k, the terms of an end whose
// density underflows (or an infinite end) left out.
template <class T>
inline Central<T> mode_central(const Interval<T>& iv) {
    const ModeParts<T> p = mode_parts(iv);
    const T m = mode_mean(iv, p);
    const T m2 = mode_var<T>(iv, p, m, nullptr);
    T beta2 = T(0);
    T beta3 = T(0);
    if (p.left.e > T(0)) {
        const T u = iv.lo - m;
        beta2 = u * u * p.left.e;
        beta3 = u * u * u * p.left.e;
    }
    if (p.right.e > T(0)) {
        const T u = iv.hi - m;
        beta2 = beta2 - u * u * p.right.e;
        beta3 = beta3 - u * u * u * p.right.e;
    }
    const T m3 = beta2 / p.D - m * m2;
    return {m2, m3, (T(3) * m2 + beta3 / p.D) - m * m3};
}

// Special intervals: a > b or NaN anywhere, a point (whose standardized moments are 0/0) and
// a point at infinity give NaN; the whole line gives the normal's (0, 0).  Returns false for
// a regular interval.
template <class T>
inline bool special_shape(T a, T b, Shape<T>& s) {
    constexpr T inf = std::numeric_limits<T>::infinity();
    if (a < b && !(a == -inf && b == inf)) return false;
    if (a == -inf && b == inf) {
        s = {T(0), T(0)};
    } else {
        constexpr T nan = std::numeric_limits<T>::quiet_NaN();
        s = {nan, nan};
    }
    return true;
}

}  // namespace detail

// Skewness and excess kurtosis of X ~ N(0, 1) given a <= X <= b.
template <class T>
inline Shape<T> shape(T a, T b) {
    static_assert(std::is_floating_point_v<T>, "the truncated normal kernels take a floating type");
    Shape<T> s;
    if (detail::special_shape(a, b, s)) return s;
    const detail::Interval<T> iv = detail::make_interval(a, b);
    if (iv.lo >= T(0)) {
        if (iv.z <= T(detail::Z_FLAT_SHAPE)) {
            s = detail::standardize(detail::tilt_central(iv));
        } else {
            detail::TiltSums<T> none{};
            s = detail::tail_mixture_shape(iv, detail::tail_parts<T, true>(iv, &none));
        }
    } else if (iv.w <= T(detail::W_FLAT_MODE)) {
        s = detail::standardize(detail::tilt_central(iv));
    } else {
        s = detail::standardize(detail::mode_central(iv));
    }
    if (iv.mirrored) s.skew = -s.skew;
    return s;
}

// E[(X - mean)^3]/Var^(3/2) of X ~ N(0, 1) given a <= X <= b.
template <class T>
inline T skew(T a, T b) {
    return shape(a, b).skew;
}

// E[(X - mean)^4]/Var^2 - 3 of X ~ N(0, 1) given a <= X <= b (the excess kurtosis).
template <class T>
inline T kurtosis(T a, T b) {
    return shape(a, b).kurtosis;
}

}  // namespace veltra::truncnorm
