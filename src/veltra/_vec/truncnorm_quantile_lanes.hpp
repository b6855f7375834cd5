// The truncated normal's quantiles (ppf, isf of _kernels/truncnorm.hpp) over a lane set, for
// intervals that change from element to element and for the probabilities of one prepared
// interval.
//
// A quantile costs the interval's mass, a starting point (AS 241, or an exponential law near
// an end and far out) and one or two Halley steps, each an evaluation of the mass of a piece;
// one at a time, the branches between the kinds of interval and the C library's exp and log
// take most of that.  Here every branch that the scalar kernel takes on ordinary arguments is
// a mask, each lane performs the scalar kernel's rounded operations in the same order, and
// exp, log, log1p and expm1 are elementary.hpp's on all lanes at once, as the scalar kernel's
// are: the lanes give its bits.  A lane that reaches one of the rare paths (a sum of two
// subnormal masses, the normal quantile beyond the range of AS 241, a Newton step in log t,
// a third iteration...) is marked and the caller evaluates it with the scalar kernel, so
// that no rare path has a second text.  tests/test_truncnorm_lanes.py holds the two to the
// same bits.
//
// Included after truncnorm_lanes.hpp, in the same namespace, under the same rule: constants
// and tables from the scalar headers, no inline function of theirs instantiated for double.
#pragma once

#include "truncnorm_lanes.hpp"

namespace veltra::vec::VELTRA_ISA {
namespace {

// Halley steps the lanes take before a lane still unresolved goes to the scalar kernel: one
// suffices for about nine quantiles in ten, two for all but a few in a million.
constexpr int QUANTILE_LANE_STEPS = 2;

constexpr double DBL_MAX_ = std::numeric_limits<double>::max();
constexpr double DENORM_MIN = std::numeric_limits<double>::denorm_min();
constexpr double NAN_ = std::numeric_limits<double>::quiet_NaN();

VELTRA_LANES_INLINE M differ(M a, M b) { return (a & ~b) | (~a & b); }
VELTRA_LANES_INLINE M all_lanes() { return V(0.0) <= V(0.0); }
VELTRA_LANES_INLINE M no_lanes() { return V(0.0) < V(0.0); }

// x^2/2 carried (exact.hpp's half_square).
VELTRA_LANES_INLINE Pair half_square(V x) {
    const Pair p = two_product(x * 0.5, x);
    return {p.hi, select(finite(p.hi), p.lo, 0.0)};
}

// c[0] + c[1] v + ... by Horner's rule from the top, as mills.hpp's horner.
template <int N>
VELTRA_LANES_INLINE V horner(const double (&c)[N], V v) {
    V p = V(c[N - 1]) * v + V(c[N - 2]);
    for (int k = N - 3; k >= 0; --k) p = p * v + V(c[k]);
    return p;
}

template <int N>
VELTRA_LANES_INLINE V as241_ratio(const double (&num)[N], const double (&den)[N], V r) {
    return horner(num, r) / horner(den, r);
}

// The problem of each lane: p = min(q, 1 - q), the end it is solved from, and the unknown t.
struct QuantileLanes {
    const Support& s;
    V p;
    V log_p;
    M upper;     // solved from hi
    V end;
    M by_point;  // t = x (or -x) rather than the offset from the end
    V R_end;     // R(|end|), 0 at an infinite end
};

VELTRA_LANES_INLINE V point_at(V t, const QuantileLanes& pr) {
    const V offset = select(pr.upper, pr.end - t, pr.end + t);
    return select(pr.by_point, select(pr.upper, -t, t), offset);
}

// exponential_offset at the rate of each lane; lanes of `need` only.
VELTRA_LANES_INLINE V exponential_offset(const QuantileLanes& pr, V rate, V w, M need) {
    const V span = rate * w;
    const M wide = pr.upper & ~(span <= 700.0);
    const M open = pr.upper & ~finite(w);
    const V em = elementary::expm1(select(pr.upper, select(open | wide, 0.0, span), -span));
    const V v = pr.p * em;
    const V logged = elementary::log1p(v) / rate;
    // From the lower end: a product p (1 - e^-span) below the normal range is the offset's
    // own scale, p (1 - e^-span)/rate.
    const M tiny = ~pr.upper & ~(-v >= DBL_MIN_NORMAL);
    V t = select(pr.upper, logged, select(tiny, pr.p * (-em / rate), -logged));
    t = select(open, -(pr.s.lo - pr.log_p / rate), t);
    const M far_span = need & wide & ~open;
    if (any(far_span)) {
        const V back = elementary::exp(-select(far_span, span, 0.0));
        t = select(far_span, w + elementary::log(pr.p - (pr.p - 1.0) * back) / rate, t);
    }
    return t;
}

// local_offset in the lanes of `need`; those where the product p P/phi(E) leaves the normal
// range join `rare`.
VELTRA_LANES_INLINE V local_offset(const QuantileLanes& pr, M need, M& rare) {
    const V e = abs(pr.end);
    const Pair h = half_diff_squares(e, pr.s.whole.r);
    const V share = pr.p * pr.s.whole.M_ * elementary::exp(h.hi + h.lo);
    rare = rare | (need & ~((share >= DBL_MIN_NORMAL) & (share <= DBL_MAX_)));
    const V u = share * e;
    const M inner = ~pr.upper & (pr.end >= 0.0);
    const V logged = elementary::log1p(select(inner, -u, u)) / e;
    return select(~(u >= DBL_MIN_NORMAL), share, select(inner, -logged, logged));
}

// quantile_guess, lane by lane.
VELTRA_LANES_INLINE V quantile_guess(const QuantileLanes& pr, M active, M& rare) {
    const Support& s = pr.s;
    const V lo = s.lo;
    const V hi = s.hi;
    const V w = hi - lo;
    const V c = 0.5 * lo + 0.5 * hi;
    const M tail = lo >= 0.0;
    const M flat = active & tail & finite(w) & (w * w <= 1e-4);
    const M far = active & ~flat & (lo > 30.0);
    const M usual = active & ~flat & ~far;
    M local = no_lanes();
    V t = 0.0;
    // Exponential laws: nearly flat (rate c), or far out (rate 1/R at the solving end; from the
    // upper end the law near lo, kept where its point falls in the lower half).
    if (any(flat | far)) {
        const V rate = select(flat, c, 1.0 / select(pr.upper, s.R_lo, pr.R_end));
        const V offset = exponential_offset(pr, rate, w, flat | far);
        const M degenerate = flat & ~(c * w > 0.0);
        t = select(degenerate, pr.p * w, offset);
        local = far & pr.upper & finite(w) & ~(offset >= 0.5 * w);
    }
    if (any(usual)) {
        // The mass beyond the untruncated quantile, as a number (`beyond`, around the mode) or
        // from its logarithm (a tail interval), then AS 241.
        const M mode = usual & ~tail;
        const V beyond_hi = select(finite(w), elementary::exp(-c * w) * pr.R_end, 0.0);
        const V mass = select(pr.upper, beyond_hi + pr.p * s.whole.M_, pr.R_end - pr.p * s.whole.M_);
        rare = rare | (usual & tail & pr.upper & ~(mass >= DBL_MIN_NORMAL));
        const V outer = select(finite(pr.end), exp_neg(half_square(pr.end)) * pr.R_end, 0.0);
        V beyond = outer + pr.p * s.whole.M_;
        const M complement = mode & (beyond > SQRT_PI_2);
        beyond = select(complement, V(SQRT_2PI) - beyond, beyond);
        const M below_zero = mode & differ(~pr.upper, complement);
        const V logged = elementary::log(select(mode, beyond, mass));
        const V tail_log_q = (logged - half_square(lo).hi) - LOG_SQRT_2PI;
        const V log_q = select(mode, logged - LOG_SQRT_2PI, tail_log_q);
        V q = beyond / SQRT_2PI;
        if (any(usual & tail)) q = select(tail, elementary::exp(tail_log_q), q);
        const M central = usual & (q > tn::AS241_CENTRAL);
        const M in_tail = usual & ~central;
        V magnitude = 0.0;
        if (any(central)) {
            const V centred = q - 0.5;
            magnitude = -centred * as241_ratio(tn::AS241_A, tn::AS241_B, 0.180625 - centred * centred);
        }
        if (any(in_tail)) {
            const V r = sqrt(-log_q);
            const M near = r <= 5.0;
            rare = rare | (in_tail & ~(r <= 27.0));
            const V by_r = select(near, as241_ratio(tn::AS241_C, tn::AS241_D, r - 1.6),
                                  as241_ratio(tn::AS241_E, tn::AS241_F, r - 5.0));
            magnitude = select(in_tail, by_r, magnitude);
        }
        const V x = select(below_zero, -magnitude, magnitude);
        const V from_end = select(pr.upper, pr.end - x, x - pr.end);
        const V offset = select(finite(pr.end), from_end, select(pr.upper, -x, x));
        t = select(usual, offset, t);
        local = local | (usual & finite(pr.end) & (offset * (abs(pr.end) + offset) <= 1e-4));
    }
    if (any(local)) t = select(local, local_offset(pr, local, rare), t);
    return t;
}

// What residual() gives: G(t), G' and G''/G' at the rounded point x, and the offset t it was
// taken at.
struct ResidualLanes {
    V g;
    V slope;
    V bend;
    V x;
    V t;
};

VELTRA_LANES_INLINE ResidualLanes residual(V t, const QuantileLanes& pr, M active, M& rare) {
    const Support& s = pr.s;
    const V x = point_at(t, pr);
    const V far = select(pr.upper, pr.end - t, -(pr.end + t));
    const V e = abs(pr.end);
    // A: a tail interval from its inner end; B: a piece measured from its outer end, the
    // solving end; C: the pieces of the rounded point.  One mass evaluation serves all three.
    const M from_inner = ~pr.by_point & ~pr.upper & (pr.end >= 0.0);
    const M from_outer = ~from_inner & ~pr.by_point & (far >= 0.0) & (t * (e - 0.5 * t) <= tn::Z_NEAR);
    const M of_point = ~from_inner & ~from_outer;
    const V R_x = mills_R(abs(x));
    const PieceMass piece = side_piece_mass(x, R_x, s, ~pr.upper);
    const V l = select(from_inner, pr.end, select(from_outer, far, piece.l));
    const V w = select(of_point, piece.w, t);
    // From the outer end z = t (|end| - t/2) is below Z_NEAR = Z_FLAT_MASS, so the mass is the
    // tilted series and needs no R; a lane whose rounded z lands above it goes to the scalar
    // kernel.
    rare = rare | (active & from_outer & ~((l + 0.5 * w) * w <= tn::Z_FLAT_MASS));
    V decay = 0.0;
    const V D = mass(l, w, select(of_point, piece.R_l, pr.R_end), select(of_point, piece.R_h, R_x), active, &decay);
    const V part_M = select(of_point & piece.crossing, D + piece.half, D);
    // log of the share: log(D/M) for A and B, log_ratio for C (whose quotient is the same).
    const V quotient = part_M / s.whole.M_;
    V log_q = elementary::log(quotient);
    const M tiny = active & of_point & ~(quotient >= DBL_MIN_NORMAL);
    if (any(tiny)) log_q = select(tiny, elementary::log(part_M) - elementary::log(s.whole.M_), log_q);
    const Pair squares = half_diff_squares(select(of_point, piece.l, e), s.whole.r);
    const V shift = select(from_outer, log_q + t * (e - 0.5 * t), log_q);
    const V log_share = select(from_inner, log_q, (shift - squares.lo) - squares.hi);
    // rho = f(x)/(the piece's mass) in the units of each form.
    const V gap = x - piece.l;
    const V density = select(equal(gap, 0.0), 1.0, elementary::exp(-(gap * (x + piece.l)) * 0.5));
    const V rho = select(from_inner, decay / D, select(from_outer, 1.0 / D, density / part_M));
    const V at_point = select(pr.by_point, t, select(pr.upper, pr.end - x, x - pr.end));
    const V bend = select(pr.upper, x - rho, -(x + rho));
    return {log_share - pr.log_p, rho, bend, x, select(of_point, at_point, t)};
}

VELTRA_LANES_INLINE V bracket_midpoint(V tl, V tr) {
    const V wide = select(equal(tl, -INF), tr - (1.0 + abs(tr)), tl + (1.0 + abs(tl)));
    return select(finite(tr - tl), 0.5 * tl + 0.5 * tr, wide);
}

// Halley's iteration of solve_quantile for QUANTILE_LANE_STEPS evaluations; lanes still open
// then, or that take a Newton step in log t, join `rare`.
VELTRA_LANES_INLINE V solve_quantile(const QuantileLanes& pr, V t, M active, M& rare) {
    const Support& s = pr.s;
    V tl = select(pr.by_point, select(pr.upper, -s.hi, s.lo), 0.0);
    V tr = select(pr.by_point, select(pr.upper, -s.lo, s.hi), s.hi - s.lo);
    t = select((t >= tr) & finite(tr), tr, t);
    t = select(~pr.by_point & equal(t, 0.0), DENORM_MIN, t);
    t = select((t > tl) & (t <= tr), t, bracket_midpoint(tl, tr));
    const V magnitude = abs(pr.log_p);
    const V noise = 0x1p-50 * select(magnitude > 1.0, magnitude, 1.0);
    V result = 0.0;
    M open = active & ~rare;
    for (int k = 0; k < QUANTILE_LANE_STEPS && any(open); ++k) {
        const ResidualLanes r = residual(t, pr, open, rare);
        open = open & ~rare;
        // A NaN residual is the result; so is an exact root.
        const M ended = open & (is_nan(r.g) | equal(r.g, 0.0));
        result = select(ended, select(is_nan(r.g), r.g, r.x), result);
        open = open & ~ended;
        const M below = r.g < 0.0;
        tl = select(open & below, r.t, tl);
        tr = select(open & ~below, r.t, tr);
        const V newton = r.g / r.slope;
        const V correction = 1.0 - 0.5 * newton * r.bend;
        const M log_step = ~(correction > 0.5) & (r.t > 0.0) & ~pr.by_point;
        const M still = equal(newton, 0.0);
        rare = rare | (open & ~still & log_step);
        V next = select(correction > 0.5, r.t - newton / correction, r.t - newton);
        next = select(still, r.t, next);
        const V step = abs(next - r.t);
        const M done = open & (equal(next, t) | (step <= abs(next) * 0x1p-20) | (step <= abs(r.x) * 0x1p-51) |
                               (abs(r.g) <= noise));
        result = select(done, point_at(next, pr), result);
        open = open & ~done;
        // A step that leaves the bracket on the solving end's side is retried in log t.
        rare = rare | (open & ~(next > tl) & (r.t > 0.0) & ~pr.by_point);
        open = open & ~rare;
        next = select((next > tl) & (next < tr), next, bracket_midpoint(tl, tr));
        const M adjacent = open & equal(next, t);
        result = select(adjacent, point_at(t, pr), result);
        open = open & ~adjacent;
        t = select(open, next, t);
    }
    rare = rare | open;
    return result;
}

// The value of `quantile` at lanes that never reach the support: NaN for q outside [0, 1],
// NaN anywhere or a > b; a point interval; q = 0 or 1.
template <bool upper>
VELTRA_LANES_INLINE V quantile_special(V q, V a, V b) {
    V value = select(equal(q, 1.0), upper ? a : b, NAN_);
    value = select(equal(q, 0.0), upper ? b : a, value);
    value = select(equal(a, b), select(finite(a), a, NAN_), value);
    return select(~((q >= 0.0) & (q <= 1.0)) | ~(a <= b), NAN_, value);
}

template <bool upper>
VELTRA_LANES_INLINE M quantile_active(V q, V a, V b) {
    return (q > 0.0) & (q < 1.0) & (a < b);
}

// The quantiles of the lanes of `active` on their supports; lanes that need the scalar kernel
// are returned in `rare`.
template <bool upper>
VELTRA_LANES_INLINE V quantile_inside(V q, const Support& s, M active, V special, M& rare) {
    const M big = q > 0.5;
    const V p = select(big, 1.0 - q, q);
    const M from_upper = differ(differ(upper ? all_lanes() : no_lanes(), big), s.mirrored);
    const V end = select(from_upper, s.hi, s.lo);
    const V R_end = select(finite(end), select(from_upper, s.R_hi, s.R_lo), 0.0);
    QuantileLanes pr{s, p, elementary::log(p), from_upper, end, ~finite(end), R_end};
    rare = no_lanes();
    V t = quantile_guess(pr, active, rare);
    // Where the guessed point lies nearer to 0 than to the end, the unknown becomes the point.
    const V x0 = point_at(t, pr);
    const M switch_to_point = ~pr.by_point & (t > abs(x0));
    t = select(switch_to_point, select(from_upper, -x0, x0), t);
    pr.by_point = pr.by_point | switch_to_point;
    V x = solve_quantile(pr, t, active, rare);
    x = select(x < s.lo, s.lo, x);
    x = select(x > s.hi, s.hi, x);
    x = select(s.mirrored, -x, x);
    rare = rare & active;
    return select(active & ~rare, x, special);
}

// The kind of quantile problem an element poses, as quantile_guess and residual tell them
// apart: a nearly flat tail interval, one far out (lo > 30), another tail interval, or one
// around the mode, each solved from its lower or its upper end.  Elements of one kind take
// the same branches, so that lanes of one kind evaluate each branch for all of their lanes.
constexpr int QUANTILE_KINDS = 8;

template <bool upper>
inline int quantile_kind(double q, double a, double b) {
    const bool mirrored = a + b < 0.0;
    const double lo = mirrored ? -b : a;
    const double hi = mirrored ? -a : b;
    const double w = hi - lo;
    const int shape = !(lo >= 0.0) ? 3 : (w * w <= 1e-4) ? 0 : (lo > 30.0) ? 1 : 2;
    return 2 * shape + ((q > 0.5) != mirrored ? !upper : upper);
}

// out[i] = ppf or isf (q[i], a[i], b[i]), W at a time, the elements of each block taken kind
// by kind, and the rare lanes through `scalar`.
template <bool upper, class Scalar>
VELTRA_LANES_INLINE void map_quantile_lanes(const double* q, const double* a, const double* b, double* out,
                                            std::size_t n, Scalar scalar) {
    constexpr std::size_t BLOCK = 512;
    alignas(64) double in[3][BLOCK + W];
    alignas(64) double result[BLOCK + W];
    unsigned short order[BLOCK];
    unsigned char kind[BLOCK];
    for (std::size_t start = 0; start < n; start += BLOCK) {
        const std::size_t count = n - start < BLOCK ? n - start : BLOCK;
        // A counting sort of the block by kind.
        std::size_t first[QUANTILE_KINDS + 1] = {};
        for (std::size_t i = 0; i < count; ++i) {
            kind[i] = static_cast<unsigned char>(quantile_kind<upper>(q[start + i], a[start + i], b[start + i]));
            ++first[kind[i] + 1];
        }
        for (int k = 0; k < QUANTILE_KINDS; ++k) first[k + 1] += first[k];
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t j = first[kind[i]]++;
            order[j] = static_cast<unsigned short>(i);
            in[0][j] = q[start + i];
            in[1][j] = a[start + i];
            in[2][j] = b[start + i];
        }
        // A last, partial group is padded with copies of its first element.
        const std::size_t padded = (count + W - 1) / W * W;
        for (std::size_t j = count; j < padded; ++j)
            for (int k = 0; k < 3; ++k) in[k][j] = in[k][count - (count - 1) % W - 1];
        for (std::size_t i = 0; i < padded; i += W) {
            const V vq = load(in[0] + i);
            const V va = load(in[1] + i);
            const V vb = load(in[2] + i);
            const V special = quantile_special<upper>(vq, va, vb);
            const M active = quantile_active<upper>(vq, va, vb);
            M rare = no_lanes();
            const V value = any(active) ? quantile_inside<upper>(vq, support(va, vb, active), active, special, rare)
                                        : special;
            store(result + i, value);
            for (unsigned bits = lane_bits(rare); bits != 0; bits &= bits - 1) {
                const std::size_t k = i + static_cast<std::size_t>(__builtin_ctz(bits));
                result[k] = scalar(in[0][k], in[1][k], in[2][k]);
            }
        }
        for (std::size_t j = 0; j < count; ++j) out[start + order[j]] = result[j];
    }
}

// The same for the probabilities of one prepared interval.
template <bool upper, class Scalar>
VELTRA_LANES_INLINE void map_prepared_quantile_lanes(const double* q, double a, double b,
                                                     const veltra::truncnorm::Prepared<double>& prepared,
                                                     double* out, std::size_t n, Scalar scalar) {
    const Support s = broadcast(prepared);
    const V va = a;
    const V vb = b;
    for (std::size_t i = 0; i < n; i += W) {
        const std::size_t count = n - i < std::size_t(W) ? n - i : std::size_t(W);
        alignas(64) double lanes[W];
        std::memcpy(lanes, q + i, count * sizeof(double));
        for (std::size_t k = count; k < std::size_t(W); ++k) lanes[k] = lanes[0];
        const V vq = load(lanes);
        const V special = quantile_special<upper>(vq, va, vb);
        const M active = quantile_active<upper>(vq, va, vb);
        M rare = no_lanes();
        const V value = any(active) ? quantile_inside<upper>(vq, s, active, special, rare) : special;
        alignas(64) double result[W];
        store(result, value);
        for (unsigned bits = lane_bits(rare); bits != 0; bits &= bits - 1) {
            const int k = __builtin_ctz(bits);
            result[k] = scalar(lanes[k]);
        }
        std::memcpy(out + i, result, count * sizeof(double));
    }
}

}  // namespace

void truncnorm_ppf(const double* q, const double* a, const double* b, double* out, std::size_t n) {
    map_quantile_lanes<false>(q, a, b, out, n, [](double qk, double ak, double bk) {
        return veltra::vec::detail::scalar_quantile(qk, ak, bk, false, nullptr);
    });
}

void truncnorm_isf(const double* q, const double* a, const double* b, double* out, std::size_t n) {
    map_quantile_lanes<true>(q, a, b, out, n, [](double qk, double ak, double bk) {
        return veltra::vec::detail::scalar_quantile(qk, ak, bk, true, nullptr);
    });
}

void truncnorm_ppf_prepared(const double* q, double a, double b, const veltra::truncnorm::Prepared<double>& prepared,
                            double* out, std::size_t n) {
    map_prepared_quantile_lanes<false>(q, a, b, prepared, out, n, [&](double qk) {
        return veltra::vec::detail::scalar_quantile(qk, a, b, false, &prepared);
    });
}

void truncnorm_isf_prepared(const double* q, double a, double b, const veltra::truncnorm::Prepared<double>& prepared,
                            double* out, std::size_t n) {
    map_prepared_quantile_lanes<true>(q, a, b, prepared, out, n, [&](double qk) {
        return veltra::vec::detail::scalar_quantile(qk, a, b, true, &prepared);
    });
}

}  // namespace veltra::vec::VELTRA_ISA
