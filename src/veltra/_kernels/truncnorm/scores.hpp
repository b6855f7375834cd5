// The scores of the mass of an interval: the derivatives of log P, P = Phi(b) - Phi(a),
// in its ends,
//
//     d log P/da = -phi(a)/P = -f(a),    d log P/db = phi(b)/P = f(b),
//
// f the density of N(0, 1) truncated to [a, b].  On [a, inf) the first is minus the hazard of
// the normal at a, 1/R(a); in general each is a hazard of the truncated law, a number of
// ordinary size where phi and P are both far below the doubles' range.
//
// Method.  With the oriented interval's mass written sqrt(2 pi) P = exp(-r^2/2) M (r its end
// nearer the mode, or 0 around it; truncnorm.hpp's support),
//
//     f(x) = exp(-(x^2 - r^2)/2) / M,
//
// the difference of squares carried exactly (half_diff_squares), so that no square of a far
// end is rounded, and M a sum of positive terms, or a difference R(l) - e^-z R(h) that loses
// at most 0.7 bits.  Nothing cancels, and P is never formed: nothing underflows but a result
// below the doubles' range.  At the end r itself the factor is exactly 1 and f = 1/M.  These
// are the bits of truncnorm's pdf at the two ends, but where the pdf's product leaves the
// normal range:
//   - the fall exp(-(x^2 - r^2)/2) below the smallest normal double (a far end beyond the
//     exponent range, e^-z < 2^-1022) while f itself is a normal number (M small, the interval
//     far out): f = (e^(-z/2)/M) e^(-z/2), both halves normal wherever f is above the
//     subnormals (f <= e^-z/R(l) with 1/R(l) < e^710 needs z < 2 * 745 for f to be nonzero);
//   - the inner end l of a tail interval beyond 2^1000: every interval from there has the mass
//     R(l) (z >= l ulp(l)/2 > 38), and R(l) = 1/l falls below the normal range from 4.5e307,
//     where 1/M would overflow; the hazard is 1/R(l) = l + 1/l - 2/l^3 + ..., l + 1/l to
//     within 2/l^4 relative, which is finite up to the largest double.
// Error: the exponential (0.71 ulp), M (a few ulps: the Mills ratio's, the series' or the
// difference's) and one division; measured against mpmath within 4.9e-16 relative on 1050
// random intervals of every kind (tests/truncnorm_reference.py's), and on the hard ones.
//
// Special intervals: an infinite end contributes 0 (phi vanishes there; -0 for a = -inf, as
// -phi(a)/P); a point interval a == b (finite) gives (-inf, +inf), the limits as b -> a;
// a > b, NaN anywhere or a == b infinite give NaN.
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

#include "../truncnorm.hpp"

namespace veltra::truncnorm {

namespace detail {

// Beyond this inner end of a tail interval the density there is the hazard l + 1/l.
inline constexpr double HAZARD_FAR = 0x1p1000;

// f at an end x (in the interval's own orientation) of the support s: 0 at an infinite end,
// 1/M (or the far hazard) at the end r, which a tail interval's inner end is.
template <class T>
inline T end_density(T x, const Support<T>& s) {
    if (!std::isfinite(x)) return T(0);
    const T oriented = s.o.mirrored ? -x : x;
    if (oriented == s.whole.r) return oriented >= T(HAZARD_FAR) ? oriented + T(1) / oriented : T(1) / s.whole.M;
    const Expansion<T> e = density_exponent(x, s);
    const T fall = shared_exp_neg(e);
    if (fall >= std::numeric_limits<T>::min()) return fall / s.whole.M;
    const T half = shared_exp_neg(Expansion<T>{T(0.5) * e.hi, T(0.5) * e.lo});
    return (half / s.whole.M) * half;
}

}  // namespace detail

template <class T>
struct Scores {
    T lower;  // d log P/da
    T upper;  // d log P/db
};

// d log P/da and d log P/db for P = Phi(b) - Phi(a).
template <class T>
inline Scores<T> log_prob_grad(T a, T b) {
    static_assert(std::is_floating_point_v<T>, "the truncated normal kernels take a floating type");
    constexpr T inf = std::numeric_limits<T>::infinity();
    if (!(a < b)) {
        if (a == b && std::isfinite(a)) return {-inf, inf};
        const T nan = std::numeric_limits<T>::quiet_NaN();
        return {nan, nan};
    }
    const detail::Support<T> s = detail::support(a, b);
    return {-detail::end_density(a, s), detail::end_density(b, s)};
}

}  // namespace veltra::truncnorm
