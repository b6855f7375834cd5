// The truncated normal's functions of a point (logpdf, pdf, logcdf, logsf, cdf, sf of
// _kernels/truncnorm.hpp) over a lane set, for points and intervals that change from element
// to element, and (the distribution functions) for the points of one prepared interval.
//
// The scalar kernels spend most of their time in a few evaluations of R, one or two
// exponentials and a logarithm per element, and in branches that random intervals mispredict.
// Here R runs on the lanes (mills_lanes.hpp), every branch becomes a mask, and exp, log and
// log1p are the kernels' own (elementary.hpp), on all lanes at once: each lane performs
// exactly the rounded operations of the scalar kernel on its arguments, in the same order,
// and gets its bits.  tests/test_truncnorm_lanes.py holds the two texts to that on every
// kind of interval, point and special value.
//
// What is mirrored, piece by piece (the names are the scalar kernel's):
//   orient            [lo, hi] = [a, b], or [-b, -a] where a + b < 0
//   tail_mass_parts   D(l, l + w): R(l) at an infinite width, the tilted series while
//                     z = (l + w/2) w <= Z_FLAT_MASS, R(l) beyond Z_NEGLIGIBLE, else
//                     R(l) - e^-z R(l + w)
//   support           the whole mass: D(lo, hi) for a tail interval, D(0, -lo) + D(0, hi)
//                     around the mode
//   lower_piece,      the pieces [lo, x] and [x, hi] (side_piece)
//   upper_piece
//   log_ratio, ratio, share, density_exponent
//
// Included after mills_lanes.hpp, in the same namespace.  Only constants, tables and types are
// taken from the scalar headers, and elementary.hpp's templates instantiated for this lane
// set's own vector type (internal linkage, as that type has): an inline function of theirs
// instantiated here for double would be compiled for this lane set's instructions, and could
// stand in for the baseline's.
#pragma once

#include "../_kernels/truncnorm.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#ifndef VELTRA_ISA
#error "define VELTRA_ISA to the namespace of the lane set before including truncnorm_lanes.hpp"
#endif

namespace veltra::vec::VELTRA_ISA {
namespace {

namespace tn = veltra::truncnorm::detail;

constexpr double DBL_MIN_NORMAL = std::numeric_limits<double>::min();
// The tilted series' table, copied at compile time so that this object defines no symbol of
// the scalar headers.
constexpr tn::TiltTable TILT = tn::TILT;

VELTRA_LANES_INLINE M is_nan(V v) { return ~(v >= -INF); }
VELTRA_LANES_INLINE M equal(V a, V b) { return (a <= b) & (a >= b); }
VELTRA_LANES_INLINE M finite(V v) { return abs(v) < INF; }

// --- Error-free transformations (exact.hpp) -------------------------------------------

struct Pair {
    V hi;
    V lo;
};

VELTRA_LANES_INLINE Pair two_sum(V a, V b) {
    const V s = a + b;
    const V bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

VELTRA_LANES_INLINE Pair two_product(V a, V b) {
    const V p = a * b;
    const M splits = (abs(a) < SPLIT_LIMIT<double>) & (abs(b) < SPLIT_LIMIT<double>);
    const V splitter = 134217729.0;  // 2^27 + 1
    const V ta = splitter * a;
    const V ah = ta - (ta - a);
    const V al = a - ah;
    const V tb = splitter * b;
    const V bh = tb - (tb - b);
    const V bl = b - bh;
    const V err = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
    return {p, select(splits, err, 0.0)};
}

VELTRA_LANES_INLINE Pair half_diff_squares(V x, V y) {
    const Pair d = two_sum(x, -y);
    const Pair s = two_sum(x, y);
    const Pair p = two_product(d.hi, s.hi);
    const V lo = p.lo + (d.hi * s.lo + d.lo * s.hi);
    const V hi = p.hi + lo;
    const M overflow = ~finite(hi);
    const V overflowed = select(equal(d.hi, 0.0), 0.0, 0.5 * (d.hi * s.hi));
    return {select(overflow, overflowed, hi * 0.5), select(overflow, 0.0, ((p.hi - hi) + lo) * 0.5)};
}

// exp(-(hi + lo)).
VELTRA_LANES_INLINE V exp_neg(Pair v) {
    const V e = elementary::exp(-v.hi);
    return e - e * v.lo;
}

// --- Masses -----------------------------------------------------------------------------

// The tilted series A of tilt_sums (without the moments) in the lanes of `active`, until the
// scalar loop has broken in every lane.  A lane that has broken goes on adding terms below
// 2^-56 of its sum, each under half an ulp of it and smaller than the last (their ratio is
// at most 0.6): its sum stays what the scalar loop returns.
VELTRA_LANES_INLINE V tilt_A(V X, V E, M active) {
    V power = 1.0;
    V P = 1.0;
    V A = 1.0;
    for (int m = 1; m < tn::TILT_TERMS && any(active); ++m) {
        power = power * X * V(TILT.inv[m]);
        P = E * P + power;
        const V term = P * V(TILT.g[m]);
        A = A + term;
        active = active & (term > A * 0x1p-56);
    }
    return A;
}

// D(l, l + w) for 0 <= l, 0 < w <= inf, given R(l) and R(l + w), in the lanes of `need`;
// with `decay`, also e^-z there as tail_mass_parts gives it (0 at an infinite width).
VELTRA_LANES_INLINE V mass(V l, V w, V R_l, V R_h, M need, V* decay = nullptr) {
    const M infinite = w >= INF;
    const V c = l + 0.5 * w;
    const V z = c * w;
    const M flat = need & ~infinite & (z <= tn::Z_FLAT_MASS);
    const M far = z > tn::Z_NEGLIGIBLE;
    const M decaying = need & ~infinite & ~flat & ~far;
    if (decay == nullptr && !any(flat | decaying)) return R_l;
    // One exponential serves both: e^(-z/2) over a flat interval, e^-z otherwise.
    const V Z = 0.5 * z;
    const V e = elementary::exp(-select(flat, Z, z));
    if (decay != nullptr) *decay = select(infinite, 0.0, select(flat, e * e, e));
    V D = select(decaying, R_l - e * R_h, R_l);
    if (any(flat)) {
        const V A = tilt_A(select(flat, Z * Z * 0.25, 0.0), select(flat, w * w * 0.125, 0.0), flat);
        D = select(flat, (w * A) * e, D);
    }
    return D;
}

// A piece of an oriented interval as (r, M), sqrt(2 pi) P = exp(-r^2/2) M.  Each lane's piece
// is one mass D(l, l + w) of the scalar kernel's choosing (from its end nearer the mode), plus,
// for a piece that crosses 0, the support's half on the far side of 0; the lanes' arguments
// are selected first, so that every piece costs one evaluation of `mass`.
struct Piece {
    V r;
    V M_;
};

// The oriented interval of each lane, the R at its ends, its two halves around the mode and
// its whole mass.
struct Support {
    M mirrored;
    V lo;
    V hi;
    V R_lo;  // R(|lo|)
    V R_hi;  // R(|hi|)
    M mode;
    V half_lo;  // D(0, -lo), mode lanes
    V half_hi;  // D(0, hi), mode lanes
    Piece whole;
};

// The orientation alone; R at the ends and the masses follow (support_masses), so that a
// caller whose masses need no R (nearly flat tail intervals) can leave it out.
VELTRA_LANES_INLINE Support support_shape(V a, V b) {
    Support s;
    s.mirrored = a + b < 0.0;
    s.lo = select(s.mirrored, -b, a);
    s.hi = select(s.mirrored, -a, b);
    s.mode = (s.lo < 0.0) & (s.hi > 0.0);
    return s;
}

VELTRA_LANES_INLINE void support_mills(Support& s) {
    s.R_lo = mills_R(abs(s.lo));
    s.R_hi = mills_R(abs(s.hi));
}

VELTRA_LANES_INLINE void support_masses(Support& s, M need) {
    // A tail interval is D(lo, hi); around the mode the halves D(0, -lo) and D(0, hi).
    const V first = mass(select(s.mode, 0.0, s.lo), select(s.mode, -s.lo, s.hi - s.lo),
                         select(s.mode, SQRT_PI_2, s.R_lo), select(s.mode, s.R_lo, s.R_hi), need);
    s.half_lo = first;
    s.half_hi = mass(0.0, s.hi, SQRT_PI_2, s.R_hi, need & s.mode);
    s.whole = {select(s.mode, 0.0, s.lo), select(s.mode, s.half_lo + s.half_hi, first)};
}

VELTRA_LANES_INLINE Support support(V a, V b, M need) {
    Support s = support_shape(a, b);
    support_mills(s);
    support_masses(s, need);
    return s;
}

// [lo, x] in the lanes of `lower`, [x, hi] in the others (lower_piece, upper_piece):
//     [lo, x]:  lo < 0 < x   half_lo + D(0, x)
//               0 <= lo      D(lo, x)             from lo
//               x <= 0       D(-x, -lo)           from x
//     [x, hi]:  x < 0 < hi   D(0, -x) + half_hi
//               0 <= x       D(x, hi)             from x
//               hi <= 0      D(-hi, -x)           from hi
// The mass evaluation a piece takes, D(l, l + w) with R at its ends, and the support's half
// that a piece crossing 0 adds to it.
struct PieceMass {
    V l;
    V w;
    V R_l;
    V R_h;
    M crossing;
    V half;
};

VELTRA_LANES_INLINE PieceMass side_piece_mass(V x, V R_x, const Support& s, M lower) {
    const M crossing = (lower & (s.lo < 0.0) & (x > 0.0)) | (~lower & (x < 0.0) & (s.hi > 0.0));
    // A piece [u, v] that does not cross 0 is measured from u if 0 <= u, else from v (<= 0).
    const V u = select(lower, s.lo, x);
    const V v = select(lower, x, s.hi);
    const V R_u = select(lower, s.R_lo, R_x);
    const V R_v = select(lower, R_x, s.R_hi);
    const M from_u = u >= 0.0;
    return {select(crossing, 0.0, select(from_u, u, -v)),
            select(crossing, abs(x), v - u),
            select(crossing, SQRT_PI_2, select(from_u, R_u, R_v)),
            select(crossing, R_x, select(from_u, R_v, R_u)),
            crossing,
            select(crossing, select(lower, s.half_lo, s.half_hi), 0.0)};
}

VELTRA_LANES_INLINE Piece side_piece(V x, V R_x, const Support& s, M lower, M need) {
    const PieceMass m = side_piece_mass(x, R_x, s, lower);
    const V M_ = mass(m.l, m.w, m.R_l, m.R_h, need);
    return {m.l, select(m.crossing, M_ + m.half, M_)};
}

VELTRA_LANES_INLINE V log_ratio(Piece p, Piece whole, M need) {
    const Pair e = half_diff_squares(p.r, whole.r);
    const V q = p.M_ / whole.M_;
    V log_q = elementary::log(q);
    const M tiny = need & ~(q >= DBL_MIN_NORMAL);
    if (any(tiny)) log_q = select(tiny, elementary::log(p.M_) - elementary::log(whole.M_), log_q);
    return (log_q - e.lo) - e.hi;
}

VELTRA_LANES_INLINE V ratio(Piece p, Piece whole) {
    return exp_neg(half_diff_squares(p.r, whole.r)) * (p.M_ / whole.M_);
}

// --- The six functions -----------------------------------------------------------------

// The value of `distribution` at the lanes that do not reach the support: NaN anywhere or
// a > b, a point interval, a point outside (or, for the distribution functions, at an end).
template <tn::Kind kind>
VELTRA_LANES_INLINE V outside_value(V x, V a, V b) {
    constexpr bool density = kind == tn::Kind::logpdf || kind == tn::Kind::pdf;
    constexpr bool logarithm = kind == tn::Kind::logpdf || kind == tn::Kind::logcdf || kind == tn::Kind::logsf;
    constexpr bool upper = kind == tn::Kind::logsf || kind == tn::Kind::sf;
    const V none = logarithm ? -INF : 0.0;
    const V all = logarithm ? 0.0 : 1.0;
    const M point = equal(a, b);
    V value;
    if constexpr (density) {
        value = select(point & equal(x, a), INF, none);
    } else {
        // A point interval is a point mass: P(X <= x) is 1 from a on, P(X >= x) up to a.
        const M holds = upper ? x <= a : x >= a;
        value = select(point, select(holds, all, none),
                       select(x <= a, upper ? all : none, upper ? none : all));
    }
    const M invalid = is_nan(x) | ~(a <= b) | (point & ~finite(a));
    return select(invalid, std::numeric_limits<double>::quiet_NaN(), value);
}

// The value at the lanes of `inside`, from their support (the others are `special`).
template <tn::Kind kind>
VELTRA_LANES_INLINE V inside_value(V x, const Support& s, M inside, V special) {
    constexpr bool density = kind == tn::Kind::logpdf || kind == tn::Kind::pdf;
    constexpr bool logarithm = kind == tn::Kind::logpdf || kind == tn::Kind::logcdf || kind == tn::Kind::logsf;
    constexpr bool upper = kind == tn::Kind::logsf || kind == tn::Kind::sf;
    const V xo = select(s.mirrored, -x, x);
    V value;
    if constexpr (density) {
        const Pair e = half_diff_squares(xo, s.whole.r);
        if constexpr (logarithm) value = (-elementary::log(s.whole.M_) - e.lo) - e.hi;
        else value = exp_neg(e) / s.whole.M_;
    } else {
        // share: the piece on the side asked for, directly while its share is at most 1/2,
        // else 1 minus the other side's share.
        const M from_upper = upper ? ~s.mirrored : s.mirrored;
        const V R_x = mills_R(abs(xo));
        const Piece near = side_piece(xo, R_x, s, ~from_upper, inside);
        const V direct = logarithm ? log_ratio(near, s.whole, inside) : ratio(near, s.whole);
        const M complement = inside & (logarithm ? ~(direct < -veltra::truncnorm::LN2) : ~(direct <= 0.5));
        value = direct;
        if (any(complement)) {
            const V share = ratio(side_piece(xo, R_x, s, from_upper, complement), s.whole);
            value = select(complement, logarithm ? elementary::log1p(-share) : 1.0 - share, value);
        }
    }
    return select(inside, value, special);
}

template <tn::Kind kind>
VELTRA_LANES_INLINE M inside_mask(V x, V a, V b) {
    constexpr bool density = kind == tn::Kind::logpdf || kind == tn::Kind::pdf;
    return density ? (x >= a) & (x <= b) & (a < b) : (x > a) & (x < b);
}

template <tn::Kind kind>
VELTRA_LANES_INLINE V point_function(V x, V a, V b) {
    const M inside = inside_mask<kind>(x, a, b);
    const V special = outside_value<kind>(x, a, b);
    if (!any(inside)) return special;
    return inside_value<kind>(x, support(a, b, inside), inside, special);
}

// The support of an interval prepared by the scalar kernels (truncnorm::prepare), in every
// lane: its values are those that `support` computes, bit for bit.
VELTRA_LANES_INLINE Support broadcast(const veltra::truncnorm::Prepared<double>& prepared) {
    const tn::Support<double>& p = prepared.s;
    Support s;
    s.mirrored = p.o.mirrored ? M(V(0.0) <= V(0.0)) : M(V(0.0) < V(0.0));
    s.lo = p.o.lo;
    s.hi = p.o.hi;
    s.R_lo = p.at_lo.value;
    s.R_hi = p.at_hi.value;
    s.mode = (s.lo < 0.0) & (s.hi > 0.0);
    s.half_lo = p.half_lo;
    s.half_hi = p.half_hi;
    s.whole = {p.whole.r, p.whole.M};
    return s;
}

// out[i] = kind(x[i], a[i], b[i]), W at a time; a last, partial group is padded with copies
// of its first element, as map_lanes does.
template <tn::Kind kind>
VELTRA_LANES_INLINE void map_point_lanes(const double* x, const double* a, const double* b, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; i += W) {
        const std::size_t count = n - i < std::size_t(W) ? n - i : std::size_t(W);
        if (count == std::size_t(W)) {
            store(out + i, point_function<kind>(load(x + i), load(a + i), load(b + i)));
            continue;
        }
        alignas(64) double lanes[3][W];
        const double* from[3] = {x + i, a + i, b + i};
        for (int j = 0; j < 3; ++j) {
            std::memcpy(lanes[j], from[j], count * sizeof(double));
            for (std::size_t k = count; k < std::size_t(W); ++k) lanes[j][k] = lanes[j][0];
        }
        alignas(64) double result[W];
        store(result, point_function<kind>(load(lanes[0]), load(lanes[1]), load(lanes[2])));
        std::memcpy(out + i, result, count * sizeof(double));
    }
}

// out[i] = kind(x[i], a, b) with the interval prepared, W points at a time.
template <tn::Kind kind>
VELTRA_LANES_INLINE void map_prepared_lanes(const double* x, double a, double b,
                                            const veltra::truncnorm::Prepared<double>& prepared, double* out,
                                            std::size_t n) {
    const Support s = broadcast(prepared);
    const auto value = [&](V v) __attribute__((always_inline)) {
        const M inside = inside_mask<kind>(v, a, b);
        const V special = outside_value<kind>(v, a, b);
        if (!any(inside)) return special;
        return inside_value<kind>(v, s, inside, special);
    };
    map_lanes(value, x, out, n);
}

}  // namespace

// The entry points, in the point functions' unit of the lane set only (truncnorm_avx2.cpp,
// truncnorm_avx512.cpp); the quantiles' unit takes the pieces above and defines its own.
#ifdef VELTRA_POINT_ENTRIES
#define VELTRA_PREPARED_ENTRY(name)                                                                  \
    void truncnorm_##name##_prepared(const double* x, double a, double b,                              \
                                     const veltra::truncnorm::Prepared<double>& prepared, double* out, \
                                     std::size_t n) {                                                  \
        map_prepared_lanes<tn::Kind::name>(x, a, b, prepared, out, n);                                 \
    }
VELTRA_PREPARED_ENTRY(logcdf)
VELTRA_PREPARED_ENTRY(logsf)
VELTRA_PREPARED_ENTRY(cdf)
VELTRA_PREPARED_ENTRY(sf)
#undef VELTRA_PREPARED_ENTRY

#define VELTRA_POINT_ENTRY(name)                                                                  \
    void truncnorm_##name(const double* x, const double* a, const double* b, double* out, std::size_t n) { \
        map_point_lanes<tn::Kind::name>(x, a, b, out, n);                                         \
    }
VELTRA_POINT_ENTRY(logpdf)
VELTRA_POINT_ENTRY(pdf)
VELTRA_POINT_ENTRY(logcdf)
VELTRA_POINT_ENTRY(logsf)
VELTRA_POINT_ENTRY(cdf)
VELTRA_POINT_ENTRY(sf)
#undef VELTRA_POINT_ENTRY
#endif

}  // namespace veltra::vec::VELTRA_ISA
