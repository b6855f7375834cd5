// Error-free transformations: a sum or a product of two floating-point numbers written exactly
// as an unevaluated sum hi + lo, with hi the rounded result and lo its rounding error.
//
// The kernels need them where a rounded intermediate would be amplified: the argument of exp
// in e^(x^2/2) near the overflow limit is about 700, and half an ulp of it (5.7e-14) becomes
// the relative error of the result.  Carrying lo instead keeps that error near 1e-16.
//
// Written with plain operations only (Knuth's two-sum, Veltkamp's split and Dekker's product),
// so they are exact wherever each operation rounds to nearest on its own: the build must not
// contract a*b + c into a fused multiply-add, and does not.
#pragma once

#include <cmath>
#include <limits>

namespace veltra {

template <class T>
struct Expansion {
    T hi;  // the rounded value
    T lo;  // what rounding dropped: hi + lo is exact
};

// a + b = hi + lo exactly, whatever the order of magnitude of a and b (no overflow).
template <class T>
inline Expansion<T> two_sum(T a, T b) {
    const T s = a + b;
    const T bb = s - a;
    const T err = (a - (s - bb)) + (b - bb);
    return {s, err};
}

// Veltkamp's split of a into a high part with half the significand's bits and the rest, so
// that products of parts are exact.  Exact for |a| < 2^(max_exponent - 27) in double.
template <class T>
inline Expansion<T> split(T a) {
    constexpr int half = (std::numeric_limits<T>::digits + 1) / 2;
    constexpr T splitter = T((1LL << half) + 1);
    const T c = splitter * a;
    const T hi = c - (c - a);
    return {hi, a - hi};
}

// a * b = hi + lo exactly (Dekker), for |a|, |b| below 2^996 and products clear of the
// subnormal range.
template <class T>
inline Expansion<T> two_product(T a, T b) {
    const T p = a * b;
    const Expansion<T> as = split(a);
    const Expansion<T> bs = split(b);
    const T err = ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo;
    return {p, err};
}

// y^2 / 2 for the exact y = u + v (not its rounding), as hi + lo with |lo| <= ulp(hi): the
// square of the rounded sum, exactly, plus the first-order term of its rounding error.  For
// |u + v| up to 2^400, far beyond where e^(y^2/2) can matter.
template <class T>
inline Expansion<T> half_square_of_sum(T u, T v) {
    const Expansion<T> y = two_sum(u, v);
    const Expansion<T> sq = two_product(y.hi, y.hi);
    return {sq.hi * T(0.5), sq.lo * T(0.5) + y.hi * y.lo};
}

// e^(h + c) for h = hi + lo and a rounded c of moderate size: the sum is formed exactly,
// its low part applied to first order.  Overflow gives +inf; the error is that of exp plus
// the rounding of c.
template <class T>
inline T exp_of_sum(Expansion<T> h, T c) {
    const Expansion<T> s = two_sum(h.hi, c);
    const T e = std::exp(s.hi);
    if (!(e > T(0)) || !std::isfinite(e)) return e;
    return e + e * (s.lo + h.lo);
}

}  // namespace veltra
