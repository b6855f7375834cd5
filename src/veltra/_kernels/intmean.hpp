// Interval means near the point where their closed forms cancel:
//
//     _logrel(x)    = log(1 + x) / x              the mean of 1/t over [1, 1 + x]
//     _powrel(x, a) = ((1 + x)^a - 1) / (a x)     the mean of t^(a - 1) over [1, 1 + x]
//
// Both are 0/0 at x = 0, where the mean is 1, and lose every digit near it when written
// directly.  log1p and expm1 keep the small quantities log(1 + x) and (1 + x)^a - 1 to full
// relative precision, so each quotient is a ratio of two accurate values.
//
// Header-only and free of Python; the module veltra.intmean also exports both kernels as
// capsules in its __pyx_capi__ for other compiled modules.  Neither checks the domain x > -1:
// outside it they return what IEEE arithmetic gives (NaN below -1).
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

namespace veltra {

template <class T>
inline T _logrel(T x) {
    static_assert(std::is_floating_point_v<T>, "the interval means take a floating type");
    if (x == T(0)) return T(1.0);  // +0 and -0; NaN goes on to give NaN
    return std::log1p(x) / x;
}

namespace detail {

// expm1(t)/t, the mean of e^s over [0, t]: 1 where t underflowed to 0 (its limit), within a
// few ulps elsewhere, as both are accurate to rounding.
template <class T>
inline T expm1_ratio(T t) {
    return t == T(0) ? T(1.0) : std::expm1(t) / t;
}

// _powrel where x a or t = a log1p(x) is below the normal range (zero included) while t is
// finite: the quotient e / (x a) of two subnormals keeps only the few bits they have left.
// There t is tiny, so expm1(t)/t is 1 to rounding, and the mean is formed from two ratios of
// normal-sized numbers instead:
//     ((1 + x)^a - 1) / (a x) = (expm1(t) / t) * (log1p(x) / x).
template <class T>
inline T powrel_tiny_exponent(T x, T l, T t) {
    return expm1_ratio(t) * (l / x);
}

// _powrel where expm1(t) overflowed (t = a log1p(x) > 709.78, so x a > 0): (e^t - 1) is e^t
// to rounding, and e^t / (x a) = exp(t - log|x| - log|a|), with the logarithms taken apart so
// that x a may overflow too.  The error is that of t, about t * 2^-53 <= 2.4e-13 relative
// wherever the mean is representable (t <= 709.8 + 2 * 709.8).
template <class T>
inline T powrel_overflow(T x, T a, T t) {
    return std::exp(t - (std::log(std::fabs(x)) + std::log(std::fabs(a))));
}

}  // namespace detail

template <class T>
inline T _powrel(T x, T a) {
    static_assert(std::is_floating_point_v<T>, "the interval means take a floating type");
    if (x == T(0)) return T(1.0);               // every a, NaN and infinities included
    if (a == T(0)) return std::log1p(x) / x;    // the limit a -> 0 is _logrel(x)
    const T l = std::log1p(x);
    const T t = l * a;
    const T d = x * a;
    constexpr T smallest_normal = std::numeric_limits<T>::min();
    if ((std::fabs(d) < smallest_normal || std::fabs(t) < smallest_normal) && std::isfinite(t))
        return detail::powrel_tiny_exponent(x, l, t);
    const T e = std::expm1(t);
    if (std::isinf(d) && std::isfinite(e) && std::isfinite(x) && std::isfinite(a))
        return (e / x) / a;  // x a overflows where (1 + x)^a - 1 does not: a tiny mean
    const T mean = e / d;
    if (std::isfinite(mean) || !std::isfinite(x) || !std::isfinite(a) || !(x > T(-1.0))) return mean;
    return detail::powrel_overflow(x, a, t);
}

}  // namespace veltra
