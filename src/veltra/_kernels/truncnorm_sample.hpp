// Random variates of the standard normal distribution truncated to [a, b], by rejection:
//
//     Source<U> source(uniform);
//     sample(a, b, source)                          one variate, the method chosen for it
//     sample(prepare_sampler(a, b), source)         the same, the method chosen once
//
// `uniform` is any callable returning a double uniform on [0, 1) in steps of 2^-53 (53 random
// bits, as the next_double of NumPy's bit generators).  Exact in distribution for every pair
// of doubles a < b, far out in either tail and one ulp wide included: the variates are those
// of the continuous law rounded to a double, up to the 2^-53 steps of the uniforms.
//
// Orientation.  As in truncnorm.hpp, X -> -X maps [a, b] to [-b, -a], and the sampler works
// on the image [lo, hi] with lo + hi >= 0: either 0 <= lo (a tail interval) or lo < 0 < hi
// with -lo <= hi (the interval holds the mode).  A variate of the image is negated back.
//
// Rejection.  With the target's density f = phi on [lo, hi] (unnormalised) and an envelope
// e >= f of mass B, a proposal x drawn with density e/B is accepted with probability
// f(x)/e(x); the accepted x have density f/P, P = Phi(hi) - Phi(lo), and a trial succeeds with
// probability P/B.  Each method is such an envelope.  In a tail the variable is the offset
// t = x - lo >= 0, of density phi(lo) exp(-lo t - t^2/2): the fall of the density is formed
// from t, never from x^2 - lo^2, which cancels, nor from the rounded x, which is too coarse
// where the density falls by a large factor within one ulp (by e^-1.5 across the ulp of 1e8).
//
//   flat         t uniform on [0, w], w = hi - lo, accepted with exp(-t (lo + t/2));
//                B = w phi(lo).  Narrow tails, whose density falls little.
//   exponential  t exponential of rate lambda = (lo + sqrt(lo^2 + 4))/2 (Robert's optimal
//                rate for [lo, inf)), truncated to [0, w] by inversion.  f/e is
//                exp(t/lambda - t^2/2) up to a constant, largest at t = s = min(w, 1/lambda),
//                so t is accepted with exp(-(t - s)((t + s)/2 - 1/lambda)), which is
//                exp(-(t - 1/lambda)^2/2) when s = 1/lambda.  Wide tails, and narrow ones far
//                out, where t is of order 1/lo and the acceptance tends to 1.
//   half-normal  |Z| for Z standard normal, accepted in [lo, hi]; B = 1/2.  Wide tails that
//                start near 0.
//   flat mode    x uniform on [lo, hi], accepted with exp(-x^2/2); B = w phi(0).  Narrow
//                intervals holding the mode; there |x| <= w is small and the density varies
//                by a relative |x| ulp(x) across an ulp, so the rounded x serves.
//   split mode   The envelope phi(0) on [lo, 0] and phi on [0, inf), of masses -lo phi(0) and
//                1/2: a half is chosen in proportion, then x uniform on [lo, 0] accepted with
//                exp(-x^2/2), or |Z| accepted below hi.  A short lower half and a wide upper
//                one: on [-0.01, 3] a trial succeeds with probability 0.997, a normal
//                proposal with 0.50.
//   normal       Z, accepted in [lo, hi]; B = 1.  Both halves wide.
//
// The thresholds between the methods (below) put each interval where a variate costs least,
// measured; every trial succeeds with probability 0.69 or more (flat mode on [-1.6, 1.6]).
//
// The acceptance tests compare u < exp(-d), d >= 0, with two squeezes that cost no
// exponential: 1 - d <= exp(-d) <= 1/(1 + d), so u <= 1 - d accepts and u (1 + d) >= 1
// rejects; only between them is exp evaluated.  The rounding of 1 - d and of u (1 + d) moves
// the decision for at most one u in 2^53, as the 2^-53 steps of u do anyway.
//
// Normal variates come from Marsaglia's polar method: (v1, v2) uniform on the unit disc
// (v = 2u - 1, exact), s = v1^2 + v2^2, then v1 f and v2 f with f = sqrt(-2 log(s)/s) are two
// independent standard normals.  The second waits in the Source for the next variate that
// needs one.
//
// Termination.  MAX_TRIALS failed trials in a row have probability below 0.31^1024 = 1e-520;
// should they happen (or the uniform source be degenerate, e.g. constant), the variate comes
// from the inverse transform ppf(u) instead.  Special intervals: a > b or a NaN bound gives
// NaN, a == b finite gives a, a == b == +-inf NaN (as the moments do), and (-inf, inf) the
// standard normal (the normal method, whose every trial succeeds).
#pragma once

#include <cmath>
#include <limits>

#include "truncnorm.hpp"

namespace veltra::truncnorm {

namespace sampling {

// The thresholds are where the costs per variate cross, measured on one core of an AMD EPYC
// with a PCG64 source behind a function pointer, as NumPy's: a flat trial costs two uniforms
// and seldom an exponential, an exponential trial a logarithm more, a normal variate half a
// polar pair (two uniforms, a logarithm, a square root and a division per attempt, pi/4 of
// the attempts finding a pair).
//
// Tails are flat while w (lo + w/4) <= W_FLAT: far out, where that is z = lo w <= 1/2 (z =
// (hi^2 - lo^2)/2, the fall of the log-density across the interval), a trial succeeds with
// probability (1 - e^-z)/z >= 0.79; at lo = 0, where it is w <= 1.41, with 0.74 or more.
// Beyond, the exponential proposal's logarithm pays for its better acceptance.
inline constexpr double W_FLAT = 0.5;
// Tails starting below L_HALF are half-normal where hi >= HI_HALF + HI_HALF_SLOPE lo: there a
// trial succeeds with probability 2 (Phi(hi) - Phi(lo)) >= 0.79 (0.87 at [0, 1.5], 0.79 at
// [0.25, 2.5]), about the exponential proposal's (0.76 on [0, inf), 0.80 on [0.25, inf)), and
// costs less.  Elsewhere the exponential proposal succeeds with probability 0.79 or more.
inline constexpr double L_HALF = 0.25;
inline constexpr double HI_HALF = 1.5;
inline constexpr double HI_HALF_SLOPE = 4.0;
// Intervals holding the mode are flat up to hi = HI_FLAT_MODE (w <= 3.2, a trial succeeds with
// probability sqrt(2 pi) P/w >= 0.69); beyond, split while -lo <= R_SPLIT (P/(-lo phi(0) + 1/2)
// >= 0.87), else normal (P >= 0.78).
inline constexpr double HI_FLAT_MODE = 1.6;
inline constexpr double R_SPLIT = 1.0;
// sqrt(pi/2) = (1/2)/phi(0): the width of a flat envelope with the half-normal one's mass; a split
// interval proposes from [lo, 0] with probability -lo/(-lo + HALF_NORMAL_WIDTH).
inline constexpr double HALF_NORMAL_WIDTH = 1.2533141373155003;
// Beyond lambda w = 37 the exponential proposal's mass beyond w, e^(-lambda w), is below 2^-53:
// it is left untruncated, and a t beyond w is rejected.
inline constexpr double TRUNCATION_LIMIT = 37.0;

inline constexpr int MAX_TRIALS = 1024;

enum class Method { nan, point, flat, exponential, half_normal, flat_mode, split_mode, normal };

// 1/lambda = lambda - lo = 2/(lo + sqrt(lo^2 + 4)) for lo >= 0, without cancellation; from
// lo = 2^27 on, lo^2 + 4 rounds to lo^2 and this is 1/lo, which it stays where lo^2 overflows.
inline double inverse_rate(double lo) {
    if (lo >= 0x1p27) return 1.0 / lo;
    return 2.0 / (lo + std::sqrt(lo * lo + 4.0));
}

// u < exp(-d) for d >= 0, the exponential evaluated only between the squeezes.
inline bool accept(double u, double d) {
    if (u <= 1.0 - d) return true;
    if (u * (1.0 + d) >= 1.0) return false;
    return u < std::exp(-d);
}

}  // namespace sampling

// The uniform source of the sampler, with the second normal of the last polar pair kept for
// the next variate that needs one (of this interval or another: the two are independent).
// One Source serves a whole sequence of variates, so that the prepared and the per-element
// forms, called in the same order, take the same uniforms and give the same variates.
template <class U>
class Source {
public:
    explicit Source(U& uniform) : uniform_(uniform) {}

    double uniform() { return uniform_(); }

    // A standard normal by the polar method, attempts repeated until a point falls inside the
    // unit disc: a failed attempt must not fail the trial it serves, which would thin the
    // half-normal side of a split interval against its flat side.  After MAX_TRIALS failed
    // attempts in a row (probability 0.22^1024, or a degenerate source) it gives up: false.
    bool normal(double& z) {
        if (has_spare_) {
            has_spare_ = false;
            z = spare_;
            return true;
        }
        for (int attempt = 0; attempt < sampling::MAX_TRIALS; ++attempt) {
            const double v1 = 2.0 * uniform_() - 1.0;
            const double v2 = 2.0 * uniform_() - 1.0;
            const double s = v1 * v1 + v2 * v2;
            if (s < 1.0 && s > 0.0) {
                const double f = std::sqrt(-2.0 * std::log(s) / s);
                spare_ = v2 * f;
                has_spare_ = true;
                z = v1 * f;
                return true;
            }
        }
        return false;
    }

private:
    U& uniform_;
    double spare_ = 0.0;
    bool has_spare_ = false;
};

// An interval prepared for sampling: its orientation, the method and its constants.
struct Sampler {
    sampling::Method method = sampling::Method::nan;
    bool mirrored = false;
    double lo = 0.0;
    double hi = 0.0;
    double width = 0.0;        // hi - lo, rounded (inf for an infinite end, or on overflow)
    double inv_rate = 0.0;     // exponential: 1/lambda = lambda - lo
    double below = 0.0;        // exponential: 1 - e^(-lambda w), the proposal's mass below w
    double beyond = 0.0;       // exponential: e^(-lambda w), its mass beyond w
    double peak = 0.0;         // exponential: s = min(w, 1/lambda)
    double lower_share = 0.0;  // split mode: the probability of proposing from [lo, 0]
};

inline Sampler prepare_sampler(double a, double b) {
    using sampling::Method;
    Sampler s;
    if (!(a <= b)) return s;  // a > b or NaN
    if (a == b) {
        s.method = std::isfinite(a) ? Method::point : Method::nan;
        s.lo = s.hi = a;
        return s;
    }
    // (-inf, inf) has a + b = NaN, is not mirrored and takes the normal method.
    s.mirrored = a + b < 0.0;
    s.lo = s.mirrored ? -b : a;
    s.hi = s.mirrored ? -a : b;
    s.width = s.hi - s.lo;
    const double lo = s.lo, hi = s.hi, w = s.width;
    if (lo < 0.0) {
        if (hi <= sampling::HI_FLAT_MODE) {
            s.method = Method::flat_mode;
        } else if (-lo <= sampling::R_SPLIT) {
            s.method = Method::split_mode;
            s.lower_share = -lo / (-lo + sampling::HALF_NORMAL_WIDTH);
        } else {
            s.method = Method::normal;
        }
    } else if (w * (lo + 0.25 * w) <= sampling::W_FLAT) {
        s.method = Method::flat;
    } else if (lo < sampling::L_HALF && hi >= sampling::HI_HALF + sampling::HI_HALF_SLOPE * lo) {
        s.method = Method::half_normal;
    } else {
        s.method = Method::exponential;
        s.inv_rate = sampling::inverse_rate(lo);
        // q = e^(-lambda w) and c = 1 - q, the latter from expm1 where it is small (q > 1/2),
        // else as 1 - q >= 1/2, rounded once.
        const double rate_width = (lo + s.inv_rate) * w;
        if (rate_width < sampling::TRUNCATION_LIMIT) {
            s.beyond = std::exp(-rate_width);
            s.below = s.beyond > 0.5 ? -std::expm1(-rate_width) : 1.0 - s.beyond;
        } else {
            s.beyond = 0.0;
            s.below = 1.0;
        }
        s.peak = w < s.inv_rate ? w : s.inv_rate;
    }
    return s;
}

namespace sampling {

// One trial of the prepared method: true with the accepted variate of [lo, hi] in x.
template <class U>
inline bool trial(const Sampler& s, Source<U>& source, double& x) {
    switch (s.method) {
    case Method::flat: {
        const double t = s.width * source.uniform();
        x = s.lo + t;
        return accept(source.uniform(), t * (s.lo + 0.5 * t));
    }
    case Method::exponential: {
        // E = -log(1 - u c) is exponential truncated to [0, lambda w], and t = E/lambda.
        // 1 - u c = q + (1 - u) c is a sum of positive terms (1 - u exact), rounded twice: E
        // comes out as accurate as from log1p(-u c), to the 2^-53 steps of u, at half the cost.
        const double E = -std::log(s.beyond + (1.0 - source.uniform()) * s.below);
        const double t = E * s.inv_rate;
        if (t > s.width) return false;
        x = s.lo + t;
        // d = (t - s)((t + s)/2 - 1/lambda).  For s = 1/lambda it is ((E - 1)/lambda)^2/2,
        // whose E - 1 carries no rounding of t; else (s - t)(1/lambda - (t + s)/2), two factors
        // >= 0 that cancel only where they are absolutely small.
        double d;
        if (s.peak == s.inv_rate) {
            const double e = (E - 1.0) * s.inv_rate;
            d = 0.5 * e * e;
        } else {
            d = (s.peak - t) * (s.inv_rate - 0.5 * (t + s.peak));
        }
        return accept(source.uniform(), d);
    }
    case Method::half_normal: {
        double z;
        if (!source.normal(z)) return false;
        x = std::fabs(z);
        return x >= s.lo && x <= s.hi;
    }
    case Method::flat_mode:
        x = s.lo + s.width * source.uniform();
        return accept(source.uniform(), 0.5 * x * x);
    case Method::split_mode: {
        if (source.uniform() < s.lower_share) {
            x = s.lo * source.uniform();
            return accept(source.uniform(), 0.5 * x * x);
        }
        double z;
        if (!source.normal(z)) return false;
        x = std::fabs(z);
        return x <= s.hi;
    }
    case Method::normal:
        if (!source.normal(x)) return false;
        return x >= s.lo && x <= s.hi;
    default:
        return false;
    }
}

}  // namespace sampling

// A variate of N(0, 1) on the prepared interval.
template <class U>
inline double sample(const Sampler& s, Source<U>& source) {
    using sampling::Method;
    if (s.method == Method::nan) return std::numeric_limits<double>::quiet_NaN();
    if (s.method == Method::point) return s.lo;
    double x = 0.0;
    int trials = 0;
    while (!sampling::trial(s, source, x)) {
        if (++trials == sampling::MAX_TRIALS) {
            x = ppf(source.uniform(), s.lo, s.hi);
            break;
        }
    }
    // lo + t rounds into [lo, hi] but for the rounding of w and of the logarithm near 0.
    if (x > s.hi) x = s.hi;
    if (x < s.lo) x = s.lo;
    return s.mirrored ? -x : x;
}

// A variate of N(0, 1) on [a, b]: sample(prepare_sampler(a, b), source).
template <class U>
inline double sample(double a, double b, Source<U>& source) {
    return sample(prepare_sampler(a, b), source);
}

}  // namespace veltra::truncnorm
