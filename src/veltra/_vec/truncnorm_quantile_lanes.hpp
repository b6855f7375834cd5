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
// a third iteration, a step that ends next to the border of its anchor's cell, q just above
// 1/2...) is marked and the caller evaluates it with the scalar kernel, so
// that no rare path has a second text.  tests/test_truncnorm_lanes.py holds the two to the
// same bits.
//
// Some intervals need no iteration at all: a tail interval narrower than 2^-40 of its
// distance from 0 (settled_by_law) or than 2^-17 of it (settled_by_flat_law, the law's second
// order) takes the exponential law's point, and a group of them skips the masses and the
// steps; from the lower end far out (settled_by_hazard), the hazard's quadratic law.
//
// Masks cost the work of every branch that some lane of a group takes, so the elements of a
// block are first sorted by the kind of problem they pose (quantile_kind), and the one
// element in seventy that needs a second Halley step is set aside after the first and solved
// in groups of such elements, rather than holding up its whole group.
//
// Included after truncnorm_lanes.hpp, in the same namespace, under the same rule: constants
// and tables from the scalar headers, no inline function of theirs instantiated for double
// (the second order, second_order_offset, is one text for both, instantiated here for the
// lane set's own type).
#pragma once

#include "truncnorm_lanes.hpp"

namespace veltra::vec::VELTRA_ISA {
namespace {

// Halley steps the lanes take before a lane still unresolved goes to the scalar kernel: one
// suffices for about 98 quantiles in 100 (none for those a closed form settles), two for all
// but a few in a million.
constexpr int QUANTILE_LANE_STEPS = 2;
// Elements sorted and solved together: a larger block leaves fewer groups of mixed kinds
// (2048 gained another 2%), a smaller one less on the stack (this one about 40 kB).
constexpr std::size_t QUANTILE_BLOCK = 1024;

// The large steps are compiled once each and called, rather than inlined into the four entry
// points and both passes: less code to compile (a sanitized build took twenty minutes over
// the inlined form), for about 3% of the time.
#define VELTRA_LANES_OUTLINE [[gnu::noinline]] static

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
    Support& s;
    V p;
    V pM;        // p times the whole mass
    M upper;     // solved from hi
    V end;
    M by_point;  // t = x (or -x) rather than the offset from the end
    V R_end;     // R(|end|), 0 at an infinite end
    bool mills;  // s.R_lo and s.R_hi evaluated
    M second_order = no_lanes();  // flat_tail_law
    M settle = no_lanes();         // and settled_by_flat_law
};

// R(|end|), 0 at an infinite end.
VELTRA_LANES_INLINE V end_mills(const Support& s, M upper, V end) {
    return select(finite(end), select(upper, s.R_hi, s.R_lo), 0.0);
}

VELTRA_LANES_INLINE V point_at(V t, const QuantileLanes& pr) {
    const V offset = select(pr.upper, pr.end - t, pr.end + t);
    return select(pr.by_point, select(pr.upper, -t, t), offset);
}

// exponential_offset at the rate of each lane; lanes of `need` only.
VELTRA_LANES_INLINE V exponential_offset(const QuantileLanes& pr, V rate, V w, M need, M& rare) {
    const V span = rate * w;
    const M wide = pr.upper & ~(span <= 700.0);
    const V em = elementary::expm1(select(pr.upper, select(wide, 0.0, span), -span));
    const V v = pr.p * em;
    // From the lower end: a product p (1 - e^-span) below the normal range is the offset's
    // own scale, p (1 - e^-span)/rate.  One division serves both forms.
    const M tiny = ~pr.upper & ~(-v >= DBL_MIN_NORMAL);
    const V quotient = select(tiny, -em, elementary::log1p(v)) / rate;
    V t = select(pr.upper, quotient, select(tiny, pr.p * quotient, -quotient));
    // The second order where flat_tail_law allows it (not for a subnormal p, whose law takes
    // the other form).
    const M second = need & pr.second_order & ~tiny;
    // A subnormal p on an interval the second order would settle: the scalar kernel iterates.
    rare = rare | (need & pr.settle & tiny);
    if (any(second)) t = select(second, tn::second_order_offset(t, select(pr.upper, -rate, rate), w, v, em), t);
    const M far_span = need & wide;
    if (any(far_span)) {
        const V back = elementary::exp(-select(far_span, span, 0.0));
        t = select(far_span, w + elementary::log(pr.p - (pr.p - 1.0) * back) / rate, t);
    }
    return t;
}

// hazard_offset, lane by lane.
VELTRA_LANES_INLINE V hazard_offset(V lo, V R_lo, V L) {
    const V h = 1.0 / R_lo;
    const V scaled = L * R_lo;
    return (-2.0 * scaled) / (1.0 + sqrt(1.0 - 2.0 * ((h - lo) * scaled)));
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
VELTRA_LANES_OUTLINE V quantile_guess(const QuantileLanes& pr, M active, M& rare) {
    Support& s = pr.s;
    const V lo = s.lo;
    const V hi = s.hi;
    const V w = hi - lo;
    const V c = 0.5 * lo + 0.5 * hi;
    const M tail = lo >= 0.0;
    const M flat = active & finite(w) & (w * w <= 1e-4);
    const M far = active & ~flat & (lo > 30.0);
    const M usual = active & ~flat & ~far;
    M local = no_lanes();
    V t = 0.0;
    // Nearly flat: the exponential law of rate c.
    if (any(flat)) {
        const V offset = exponential_offset(pr, c, w, flat, rare);
        const M degenerate = ~(c * w >= DBL_MIN_NORMAL);
        t = select(degenerate, pr.p * w, offset);
    }
    // Far out: the law from lo with the normal's hazard to second order; from the upper end
    // kept where its point falls in the lower half.
    if (any(far)) {
        const V u = s.whole.M_ / s.R_lo;
        const V v = pr.p * u;
        V L = 0.0;
        if (any(far & pr.upper)) L = elementary::log((1.0 - u) + v);
        if (any(far & ~pr.upper)) L = select(pr.upper, L, elementary::log1p(-v));
        const V from_lo = hazard_offset(lo, s.R_lo, L);
        const M tiny = ~pr.upper & ~(v >= DBL_MIN_NORMAL);
        const V from_hi = select(finite(w), w - from_lo, -(lo + from_lo));
        t = select(far, select(pr.upper, from_hi, select(tiny, pr.pM, from_lo)), t);
        local = far & pr.upper & finite(w) & ~(from_lo <= 0.5 * w);
    }
    if (any(usual)) {
        // The mass beyond the untruncated quantile, as a number (`beyond`, around the mode) or
        // from its logarithm (a tail interval), then AS 241.
        const M mode = usual & ~tail;
        V beyond_hi = 0.0;
        if (any(usual & tail & pr.upper)) beyond_hi = select(finite(w), elementary::exp(-c * w) * pr.R_end, 0.0);
        const V mass = select(pr.upper, beyond_hi + pr.p * s.whole.M_, pr.R_end - pr.p * s.whole.M_);
        rare = rare | (usual & tail & pr.upper & ~(mass >= DBL_MIN_NORMAL));
        V outer = 0.0;
        if (any(mode)) outer = select(finite(pr.end), exp_neg(half_square(pr.end)) * pr.R_end, 0.0);
        V beyond = outer + pr.p * s.whole.M_;
        const M complement = mode & (beyond > SQRT_PI_2);
        beyond = select(complement, V(SQRT_2PI) - beyond, beyond);
        const M below_zero = mode & differ(~pr.upper, complement);
        // The logarithm of the mass where AS 241's tail region may need it (every tail interval,
        // q <= AS241_CENTRAL around the mode), and q of a tail interval where its logarithm
        // does not place it in the tail region already.
        V q = select(tail, 0.0, beyond / SQRT_2PI);
        V logged = 0.0;
        if (any((usual & tail) | (mode & ~(q > tn::AS241_CENTRAL)))) logged = elementary::log(select(mode, beyond, mass));
        const V tail_log_q = (logged - half_square(lo).hi) - LOG_SQRT_2PI;
        const V log_q = select(mode, logged - LOG_SQRT_2PI, tail_log_q);
        const M near_centre = usual & tail & (tail_log_q > tn::AS241_LOG_CENTRAL);
        if (any(near_centre)) q = select(near_centre, elementary::exp(tail_log_q), q);
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

// What residual() gives: G(t), G' and G''/G' at the rounded point x, the offset t it was
// taken at, and G's rounding noise.
struct ResidualLanes {
    V g;
    V slope;
    V bend;
    V x;
    V t;
    V noise;
};

VELTRA_LANES_OUTLINE ResidualLanes residual(V t, QuantileLanes& pr, M active, M& rare) {
    Support& s = pr.s;
    const V x = point_at(t, pr);
    const V far = select(pr.upper, pr.end - t, -(pr.end + t));
    const V e = abs(pr.end);
    // A: a tail interval from its inner end; B: a piece measured from its outer end, the
    // solving end; C: the pieces of the rounded point.  One mass evaluation serves all three.
    const M from_inner = ~pr.by_point & ~pr.upper & (pr.end >= 0.0);
    const M from_outer = ~from_inner & ~pr.by_point & (far >= 0.0) & (t * (e - 0.5 * t) <= tn::Z_NEAR);
    const M of_point = ~from_inner & ~from_outer;
    const PieceMass shape = side_piece_mass(x, V(NAN_), s, ~pr.upper);
    const V l = select(from_inner, pr.end, select(from_outer, far, shape.l));
    const V w = select(of_point, shape.w, t);
    // R at x, and at the ends, only where a mass is not the tilted series.
    const M decaying = active & ~((l + 0.5 * w) * w <= tn::Z_FLAT_MASS);
    V R_x = NAN_;
    if (any(decaying)) {
        if (!pr.mills) {
            support_mills(s);
            pr.R_end = end_mills(s, pr.upper, pr.end);
            pr.mills = true;
        }
        R_x = mills_R(abs(x));
    }
    const PieceMass piece = side_piece_mass(x, R_x, s, ~pr.upper);
    // From the outer end z = t (|end| - t/2) is below Z_NEAR = Z_FLAT_MASS, so the mass is the
    // tilted series and needs no R; a lane whose rounded z lands above it goes to the scalar
    // kernel.
    rare = rare | (active & from_outer & ~((l + 0.5 * w) * w <= tn::Z_FLAT_MASS));
    V decay = 0.0;
    const V D = mass(l, w, select(of_point, piece.R_l, pr.R_end), select(of_point, piece.R_h, R_x), active, &decay);
    const V part_M = select(of_point & piece.crossing, D + piece.half, D);
    // log of the share over p: log(D/(p M)) for A and B, and for C with the difference of
    // squares of log_ratio.  Where p M or the quotient leaves the normal range, the scalar
    // kernel takes the logarithms apart.
    const V folded = part_M / pr.pM;
    const V log_q = elementary::log(folded);
    rare = rare | (active & ~((pr.pM >= DBL_MIN_NORMAL) & (folded >= DBL_MIN_NORMAL) & (folded <= DBL_MAX_)));
    V g = log_q;
    V scale = abs(log_q);
    if (any(active & ~from_inner)) {
        const Pair squares = half_diff_squares(select(of_point, piece.l, e), s.whole.r);
        const V shift = select(from_outer, log_q + t * (e - 0.5 * t), log_q);
        g = select(from_inner, log_q, (shift - squares.lo) - squares.hi);
        scale = select(from_inner, scale, scale + abs(squares.hi));
    }
    // rho = f(x)/(the piece's mass) in the units of each form: decay/D, 1/D, or the density
    // ratio over the piece's mass (one division for the three).
    const V density = select(equal(abs(x), piece.l), 1.0, decay);
    const V rho = select(of_point, density, select(from_inner, decay, 1.0)) / select(of_point, part_M, D);
    const V at_point = select(pr.by_point, t, select(pr.upper, pr.end - x, x - pr.end));
    const V bend = select(pr.upper, x - rho, -(x + rho));
    const V noise = select(finite(scale), 0x1p-50 * select(scale > 1.0, scale, 1.0), 0.0);
    return {g, rho, bend, x, select(of_point, at_point, t), noise};
}

VELTRA_LANES_INLINE V bracket_midpoint(V tl, V tr) {
    const V wide = select(equal(tl, -INF), tr - (1.0 + abs(tr)), tl + (1.0 + abs(tl)));
    return select(finite(tr - tl), 0.5 * tl + 0.5 * tr, wide);
}

// Halley's iteration of solve_quantile: the offset, its bracket, and where each lane stands.
struct Iterate {
    V t;
    V tl;
    V tr;
};

VELTRA_LANES_INLINE Iterate start_iteration(const QuantileLanes& pr, V t) {
    const Support& s = pr.s;
    const V tl = select(pr.by_point, select(pr.upper, -s.hi, s.lo), 0.0);
    const V tr = select(pr.by_point, select(pr.upper, -s.lo, s.hi), s.hi - s.lo);
    t = select((t >= tr) & finite(tr), tr, t);
    t = select(~pr.by_point & equal(t, 0.0), DENORM_MIN, t);
    return {select((t > tl) & (t <= tr), t, bracket_midpoint(tl, tr)), tl, tr};
}

// `steps` evaluations of the iteration in the lanes of `open`, which it returns with the
// lanes that have ended removed (their points in `result`); lanes that take a Newton step in
// log t join `rare`.
VELTRA_LANES_INLINE M iterate(QuantileLanes& pr, Iterate& it, M open, M& rare, V& result, int steps) {
    V t = it.t;
    V tl = it.tl;
    V tr = it.tr;
    open = open & ~rare;
    const tn::AnchorGrid<V> grid = tn::anchor_grid(pr.s.lo, pr.s.hi, pr.end, pr.by_point);
    for (int k = 0; k < steps && any(open); ++k) {
        // The anchor of t inside the bracket (solve_quantile's anchor_within).
        const V anchored = tn::anchor(t, grid);
        const V g = select((anchored > tl) & (anchored <= tr), anchored, t);
        const ResidualLanes r = residual(g, pr, open, rare);
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
        // From an anchor, the step lands in its cell; the scalar kernel's other end, in the cell
        // of the anchor before, is left to it.
        const M is_anchor = equal(g, tn::anchor(g, grid));
        const M ends = (is_anchor & equal(tn::anchor(next, grid), g)) | (~is_anchor & (step <= abs(next) * 0x1p-20));
        const M done = open & (equal(next, g) | ends | (step <= abs(r.x) * 0x1p-51) | (abs(r.g) <= r.noise));
        const V settled = tn::anchored_step(r.t, newton, r.bend, next);
        result = select(done, point_at(settled, pr), result);
        // A step from an anchor that ends next to the border of a cell: the scalar kernel's
        // across_border.
        const V margin = tn::anchor_margin(settled, grid);
        const M border = is_anchor & ~equal(tn::anchor(settled - margin, grid), tn::anchor(settled + margin, grid));
        rare = rare | (done & border);
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
    it = {t, tl, tr};
    return open;
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

VELTRA_LANES_INLINE M quantile_active(V q, V a, V b) {
    return (q > 0.0) & (q < 1.0) & (a < b);
}

// Whether each lane is solved from the upper end of its oriented interval: isf, or q > 1/2,
// or the mirror, each turning it over.
template <bool upper>
VELTRA_LANES_INLINE M solved_from_upper(V q, M mirrored) {
    return differ(differ(upper ? all_lanes() : no_lanes(), q > 0.5), mirrored);
}

// The problem of each lane: p, its end, and for the lanes of `need` (those that iterate) the
// support's masses and p M (and R at its ends, which every interval needs but a narrow one
// whose masses are tilted series; `prepared` supports have it).
template <bool upper>
VELTRA_LANES_OUTLINE QuantileLanes problem(V q, Support& s, M need, bool prepared) {
    bool mills = prepared;
    if (!prepared) {
        const V w = s.hi - s.lo;
        // Around the mode both halves are then far below z = Z_FLAT_MASS.
        const M flat = finite(w) & (w * w <= 1e-4) & (~(s.lo >= 0.0) | ((s.lo + 0.5 * w) * w <= tn::Z_FLAT_MASS));
        if (any(need & ~flat)) {
            support_mills(s);
            mills = true;
        }
        support_masses(s, need);
    }
    const V p = select(q > 0.5, 1.0 - q, q);
    const M from_upper = solved_from_upper<upper>(q, s.mirrored);
    const V end = select(from_upper, s.hi, s.lo);
    return {s, p, p * s.whole.M_, from_upper, end, ~finite(end), end_mills(s, from_upper, end), mills};
}

// The point solved for, within the oriented interval, in the caller's orientation.
VELTRA_LANES_INLINE V finish(V x, const Support& s) {
    x = select((x < s.lo) | (s.lo >= tn::QUANTILE_AT_LOWER_END), s.lo, x);
    x = select(x > s.hi, s.hi, x);
    return select(s.mirrored, -x, x);
}

// The kind of quantile problem an element poses, as quantile_guess and residual tell them
// apart: a narrow interval, a tail interval far out (lo > 30), another tail interval, or one
// around the mode, each solved from its lower or its upper end; narrow intervals whose masses
// need R apart from those whose masses are the tilted series, and those that the exponential
// law settles apart from both.  Elements of one kind take the same branches, so that lanes
// of one kind evaluate each branch for all of their lanes.
constexpr int QUANTILE_KINDS = 16;

// Kinds W at a time, as whole numbers in doubles (the comparisons select, nothing branches:
// the kinds of neighbouring elements are unrelated).  The orientation is a + b < 0, that is
// lo = max(a, -b); NaN lanes get some kind, which does not matter.
template <bool upper>
VELTRA_LANES_INLINE V quantile_kind(V q, V a, V b) {
    const M mirrored = a + b < 0.0;
    const V lo = select(mirrored, -b, a);
    const V hi = select(mirrored, -a, b);
    const V w = hi - lo;
    // A narrow tail interval far out, whose masses need R, apart from the others (4), and
    // those settled by the exponential law (5) or its second order (7); far out from
    // lo = HAZARD_SETTLED (6).
    V narrow = select((lo >= 0.0) & ~((lo + 0.5 * w) * w <= tn::Z_FLAT_MASS), 4.0, 0.0);
    narrow = select(tn::flat_tail_law(lo, hi) & tn::settled_by_flat_law(lo, w), 7.0, narrow);
    narrow = select(tn::settled_by_law(lo, w), 5.0, narrow);
    const V far = select((lo >= tn::HAZARD_SETTLED) & (lo <= tn::HAZARD_SETTLED_END), 6.0, 1.0);
    const V shape = select(w * w <= 1e-4, narrow, select(lo >= 0.0, select(lo > 30.0, far, 2.0), 3.0));
    const M from_upper = solved_from_upper<upper>(q, mirrored);
    return 2.0 * shape + select(from_upper, 1.0, 0.0);
}

// Elements whose first step did not end the iteration, with where it stands and their
// support's masses (R at the ends where evaluated), for the second pass over a block.
struct Pending {
    // Solved whenever it fills up: about one element in seventy needs a second step.
    static constexpr std::size_t CAPACITY = QUANTILE_BLOCK / 4;
    // What is kept of each: t, tl, tr, by_point (1 or 0), R_lo, R_hi, half_lo, half_hi, the
    // whole mass, and whether R was evaluated (1 or 0).
    static constexpr int FIELDS = 10;
    std::size_t count = 0;
    unsigned short index[CAPACITY];
    double field[FIELDS][CAPACITY];
};

// The support of each lane: prepared once and broadcast, or from its bounds.
VELTRA_LANES_INLINE Support lane_support(V a, V b, const Support* prepared) {
    if (prepared != nullptr) return *prepared;
    Support s = support_shape(a, b);
    s.R_lo = s.R_hi = NAN_;
    return s;
}

// ppf or isf (q[j], a[j], b[j]) into result[j], j < count, for the elements of a block sorted
// by kind and padded to whole groups.  A first pass takes the guess and one Halley step in
// every group; the few elements that need a further step are gathered into groups of their
// own for a second pass, so that they do not hold up the groups they came from.  Lanes still
// open after that, or on a rare path, are evaluated by `scalar`.
template <bool upper, class Scalar>
VELTRA_LANES_INLINE void quantile_block(double (&in)[3][QUANTILE_BLOCK + W], std::size_t count, double* result,
                                        const Support* prepared, Scalar scalar) {
    // The rare lanes of the group at `at` (of the pending elements, where `index` is given).
    const auto by_scalar = [&](M rare, std::size_t at, const Pending* index) {
        for (unsigned bits = lane_bits(rare); bits != 0; bits &= bits - 1) {
            const std::size_t lane = at + static_cast<std::size_t>(__builtin_ctz(bits));
            if (lane >= (index ? index->count : count)) continue;
            const std::size_t j = index ? index->index[lane] : lane;
            result[j] = scalar(in[0][j], in[1][j], in[2][j]);
        }
    };
    Pending pending;
    // The second pass, W pending elements at a time (a last, partial group repeats its first).
    const auto flush = [&]() {
        for (std::size_t i = 0; i < pending.count; i += W) {
            alignas(64) double lanes[3 + Pending::FIELDS][W];
            for (int k = 0; k < W; ++k) {
                const std::size_t n = i + k < pending.count ? i + k : i;
                const std::size_t j = pending.index[n];
                lanes[0][k] = in[0][j];
                lanes[1][k] = in[1][j];
                lanes[2][k] = in[2][j];
                for (int f = 0; f < Pending::FIELDS; ++f) lanes[3 + f][k] = pending.field[f][n];
            }
            const V q = load(lanes[0]);
            Support s = lane_support(load(lanes[1]), load(lanes[2]), prepared);
            if (prepared == nullptr) {
                s.R_lo = load(lanes[7]);
                s.R_hi = load(lanes[8]);
                s.half_lo = load(lanes[9]);
                s.half_hi = load(lanes[10]);
                s.whole = {select(s.mode, 0.0, s.lo), load(lanes[11])};
            }
            const M active = all_lanes();
            QuantileLanes pr = problem<upper>(q, s, active, true);
            // R where some lane's first pass left it out is evaluated again if a mass needs it.
            pr.mills = !any(load(lanes[12]) < 0.5);
            pr.by_point = load(lanes[6]) > 0.5;
            Iterate it{load(lanes[3]), load(lanes[4]), load(lanes[5])};
            V x = 0.0;
            M rare = no_lanes();
            const M open = iterate(pr, it, active, rare, x, QUANTILE_LANE_STEPS - 1);
            rare = rare | open;
            alignas(64) double done[W];
            store(done, finish(x, s));
            for (int k = 0; k < W && i + k < pending.count; ++k) result[pending.index[i + k]] = done[k];
            by_scalar(rare, i, &pending);
        }
        pending.count = 0;
    };
    for (std::size_t i = 0; i < count; i += W) {
        const V q = load(in[0] + i);
        const V a = load(in[1] + i);
        const V b = load(in[2] + i);
        const M active = quantile_active(q, a, b);
        V value = quantile_special<upper>(q, a, b);
        // q just above 1/2, whose quantile the scalar kernel keeps on its side of that of 1/2.
        M rare = active & (q > 0.5) & (q - 0.5 <= tn::QUANTILE_SIDE_BAND);
        if (any(active)) {
            Support s = lane_support(a, b, prepared);
            // Lanes that the exponential law or the hazard's settle take its point; the others
            // iterate.  Only the former need no masses.
            const V w = s.hi - s.lo;
            const M by_law = active & tn::settled_by_law(s.lo, w);
            const M second = active & ~by_law & tn::flat_tail_law(s.lo, s.hi);
            const M by_flat_law = second & tn::settled_by_flat_law(s.lo, w);
            const M settled = by_law | by_flat_law | (active & tn::settled_by_hazard(s.lo, w, ~solved_from_upper<upper>(q, s.mirrored)));
            const M iterating = active & ~settled;
            QuantileLanes pr = problem<upper>(q, s, active & ~by_law & ~by_flat_law, prepared != nullptr);
            pr.second_order = second;
            pr.settle = by_flat_law;
            V t = quantile_guess(pr, active, rare);
            rare = rare & active;
            value = select(settled & ~rare, finish(point_at(t, pr), s), value);
            if (any(iterating)) {
                // Where the guessed point lies nearer to 0 than to the end, the unknown becomes the point.
                const V x0 = point_at(t, pr);
                const M switch_to_point = ~pr.by_point & (t > abs(x0));
                t = select(switch_to_point, select(pr.upper, -x0, x0), t);
                pr.by_point = pr.by_point | switch_to_point;
                Iterate it = start_iteration(pr, t);
                V x = 0.0;
                const M open = iterate(pr, it, iterating, rare, x, 1);
                rare = rare & active;
                value = select(iterating & ~rare & ~open, finish(x, s), value);
                if (any(open)) {
                    if (pending.count + W > Pending::CAPACITY) flush();
                    alignas(64) double lanes[Pending::FIELDS][W];
                    store(lanes[0], it.t);
                    store(lanes[1], it.tl);
                    store(lanes[2], it.tr);
                    store(lanes[3], select(pr.by_point, 1.0, 0.0));
                    store(lanes[4], s.R_lo);
                    store(lanes[5], s.R_hi);
                    store(lanes[6], s.half_lo);
                    store(lanes[7], s.half_hi);
                    store(lanes[8], s.whole.M_);
                    store(lanes[9], V(pr.mills ? 1.0 : 0.0));
                    for (unsigned bits = lane_bits(open); bits != 0; bits &= bits - 1) {
                        const int k = __builtin_ctz(bits);
                        if (i + k >= count) break;
                        const std::size_t n = pending.count++;
                        pending.index[n] = static_cast<unsigned short>(i + k);
                        for (int f = 0; f < Pending::FIELDS; ++f) pending.field[f][n] = lanes[f][k];
                    }
                }
            }
        }
        store(result + i, value);
        by_scalar(rare, i, nullptr);
    }
    flush();
}

// The elements of a block, sorted by kind into in[0..2], with their places in `order`, and
// padded to whole groups with copies of the last group's first element; `kind` is scratch
// space for count + W doubles.
template <bool upper>
VELTRA_LANES_INLINE void sort_block(const double* q, const double* a, const double* b, std::size_t a_step,
                                    std::size_t count, double (&in)[3][QUANTILE_BLOCK + W],
                                    unsigned short (&order)[QUANTILE_BLOCK], double* kind) {
    for (std::size_t i = 0; i < count; i += W) {
        if (a_step == 1 && i + W <= count) {
            store(kind + i, quantile_kind<upper>(load(q + i), load(a + i), load(b + i)));
            continue;
        }
        alignas(64) double lanes[3][W];
        for (int k = 0; k < W; ++k) {
            const std::size_t e = i + k < count ? i + k : i;
            lanes[0][k] = q[e];
            lanes[1][k] = a[e * a_step];
            lanes[2][k] = b[e * a_step];
        }
        store(kind + i, quantile_kind<upper>(load(lanes[0]), load(lanes[1]), load(lanes[2])));
    }
    // Each kind's elements in their own counter's range: counts first, then places.  Elements
    // i = r mod SORT_WAYS keep counters of their own, so that a run of one kind is not one
    // chain of increments of the same counter through memory; the order within a kind does
    // not matter.
    constexpr std::size_t SORT_WAYS = 4;
    std::size_t first[QUANTILE_KINDS][SORT_WAYS] = {};
    for (std::size_t i = 0; i < count; ++i) ++first[static_cast<int>(kind[i])][i % SORT_WAYS];
    std::size_t place = 0;
    for (int k = 0; k < QUANTILE_KINDS; ++k) {
        for (std::size_t r = 0; r < SORT_WAYS; ++r) {
            const std::size_t n = first[k][r];
            first[k][r] = place;
            place += n;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t j = first[static_cast<int>(kind[i])][i % SORT_WAYS]++;
        order[j] = static_cast<unsigned short>(i);
        in[0][j] = q[i];
        in[1][j] = a[i * a_step];
        in[2][j] = b[i * a_step];
    }
    const std::size_t padded = (count + W - 1) / W * W;
    for (std::size_t j = count; j < padded; ++j)
        for (int k = 0; k < 3; ++k) in[k][j] = in[k][count - (count - 1) % W - 1];
}

// out[i] = ppf or isf (q[i], a[i], b[i]) (a_step 1) or (q[i], a[0], b[0]) with the interval
// prepared (a_step 0), block by block.
template <bool upper, class Scalar>
VELTRA_LANES_INLINE void map_quantile_lanes(const double* q, const double* a, const double* b, std::size_t a_step,
                                            const Support* prepared, double* out, std::size_t n, Scalar scalar) {
    alignas(64) double in[3][QUANTILE_BLOCK + W];
    alignas(64) double result[QUANTILE_BLOCK + W];
    unsigned short order[QUANTILE_BLOCK];
    for (std::size_t start = 0; start < n; start += QUANTILE_BLOCK) {
        const std::size_t count = n - start < QUANTILE_BLOCK ? n - start : QUANTILE_BLOCK;
        sort_block<upper>(q + start, a + start * a_step, b + start * a_step, a_step, count, in, order, result);
        quantile_block<upper>(in, count, result, prepared, scalar);
        for (std::size_t j = 0; j < count; ++j) out[start + order[j]] = result[j];
    }
}

}  // namespace

void truncnorm_ppf(const double* q, const double* a, const double* b, double* out, std::size_t n) {
    map_quantile_lanes<false>(q, a, b, 1, nullptr, out, n, [](double qk, double ak, double bk) {
        return veltra::vec::detail::scalar_quantile(qk, ak, bk, false, nullptr);
    });
}

void truncnorm_isf(const double* q, const double* a, const double* b, double* out, std::size_t n) {
    map_quantile_lanes<true>(q, a, b, 1, nullptr, out, n, [](double qk, double ak, double bk) {
        return veltra::vec::detail::scalar_quantile(qk, ak, bk, true, nullptr);
    });
}

void truncnorm_ppf_prepared(const double* q, double a, double b, const veltra::truncnorm::Prepared<double>& prepared,
                            double* out, std::size_t n) {
    const Support s = broadcast(prepared);
    map_quantile_lanes<false>(q, &a, &b, 0, &s, out, n, [&](double qk, double, double) {
        return veltra::vec::detail::scalar_quantile(qk, a, b, false, &prepared);
    });
}

void truncnorm_isf_prepared(const double* q, double a, double b, const veltra::truncnorm::Prepared<double>& prepared,
                            double* out, std::size_t n) {
    const Support s = broadcast(prepared);
    map_quantile_lanes<true>(q, &a, &b, 0, &s, out, n, [&](double qk, double, double) {
        return veltra::vec::detail::scalar_quantile(qk, a, b, true, &prepared);
    });
}

}  // namespace veltra::vec::VELTRA_ISA
