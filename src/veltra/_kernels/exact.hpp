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

// Largest magnitude whose Veltkamp split cannot overflow (the split multiplies by 2^27 + 1);
// beyond it the squares that need carrying have left the double range anyway.
template <class T>
inline constexpr T SPLIT_LIMIT = T(0x1p500);

// Dekker's exact product: p + err == a b exactly for finite |a|, |b| < 2^500 whose product
// neither overflows nor underflows, each factor split by Veltkamp's method into a high part of
// half the significand's bits and the rest, so that the partial products are exact.  Larger
// or non-finite factors carry no error term.
template <class T>
inline Expansion<T> two_product(T a, T b) {
    const T p = a * b;
    if (!(std::fabs(a) < SPLIT_LIMIT<T> && std::fabs(b) < SPLIT_LIMIT<T>)) return {p, T(0)};
    constexpr T splitter = T((1LL << ((std::numeric_limits<T>::digits + 1) / 2)) + 1);  // 2^27 + 1
    const T ta = splitter * a;
    const T ah = ta - (ta - a);
    const T al = a - ah;
    const T tb = splitter * b;
    const T bh = tb - (tb - b);
    const T bl = b - bh;
    const T err = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
    return {p, err};
}

// (x^2 - y^2)/2 = (x - y)(x + y)/2 with both factors and their product carried: correct to
// about 2^-100 relative whatever the cancellation between x^2 and y^2.  Where the product
// leaves the double range the rounded value (+inf) is returned with no error term.
template <class T>
inline Expansion<T> half_diff_squares(T x, T y) {
    const Expansion<T> d = two_sum(x, -y);
    const Expansion<T> s = two_sum(x, y);
    const Expansion<T> p = two_product(d.hi, s.hi);
    const T lo = p.lo + (d.hi * s.lo + d.lo * s.hi);
    const T hi = p.hi + lo;
    if (!std::isfinite(hi)) {
        // x == y next to the largest double: x + y overflows, but the difference is 0.
        if (d.hi == T(0)) return {T(0), T(0)};
        return {T(0.5) * (d.hi * s.hi), T(0)};
    }
    return {hi * T(0.5), ((p.hi - hi) + lo) * T(0.5)};
}

// x^2/2, carried (x/2 is exact short of the subnormal range, where the square is 0 anyway).
template <class T>
inline Expansion<T> half_square(T x) {
    const Expansion<T> p = two_product(x * T(0.5), x);
    if (!std::isfinite(p.hi)) return {p.hi, T(0)};
    return p;
}

// exp(-(hi + lo)) = exp(-hi)(1 - lo) to rounding: |lo| <= ulp(hi) is below 2^-43 wherever
// exp(-hi) is a normal double, so the second-order term lo^2/2 is below 2^-87.
template <class T>
inline T exp_neg(Expansion<T> v) {
    const T e = std::exp(-v.hi);
    return e - e * v.lo;
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
