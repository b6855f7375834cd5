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
#include <type_traits>

namespace veltra {

template <class T>
inline T _logrel(T x) {
    static_assert(std::is_floating_point_v<T>, "the interval means take a floating type");
    if (x == T(0)) return T(1.0);  // +0 and -0; NaN goes on to give NaN
    return std::log1p(x) / x;
}

namespace detail {

// _powrel where its quotient left the double range although x > -1 and a are finite:
//  - x a underflowed to 0: then a log1p(x) is as tiny, expm1(t)/t is 1 to rounding, and the
//    mean is log1p(x)/x;
//  - expm1(t) overflowed (t = a log1p(x) > 709.78, so x a > 0): (e^t - 1) is e^t to rounding,
//    and e^t / (x a) = exp(t - log|x| - log|a|), with the logarithms taken apart so that x a
//    may overflow too.  The error is that of t, about t * 2^-53 <= 2.4e-13 relative wherever
//    the mean is representable (t <= 709.8 + 2 * 709.8).
template <class T>
inline T powrel_out_of_range(T x, T a, T l, T t, T d) {
    if (d == T(0)) return l / x;
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
    const T e = std::expm1(t);
    const T d = x * a;
    const T mean = e / d;
    if (std::isfinite(mean) || !std::isfinite(x) || !std::isfinite(a) || !(x > T(-1.0))) return mean;
    return detail::powrel_out_of_range(x, a, l, t, d);
}

}  // namespace veltra
