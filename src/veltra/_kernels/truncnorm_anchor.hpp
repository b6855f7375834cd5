// The anchors of the truncated normal's quantiles (truncnorm.hpp's solve_quantile): a fixed
// grid in the unknown t, from whose points the last step of the iteration is taken, so that
// the quantile is a monotone function of q.
//
// The last step of the iteration decides the last bits of the quantile, so it is
// taken from a point that depends on where the iterate lies and not on how it got there (nor
// on q): the anchor of t, t rounded to a fixed grid (AnchorGrid), which is non-decreasing in
// t, so that the t with one anchor g form a run, g's cell.  From g the step is the inverse's
// Taylor polynomial to second order,
//     t = g - (n + (G''/(2 G')) n^2),   n = G(g)/G'(g),
// and G(g) = log(part(g)/(p M)) is, as rounded, non-increasing in p: p M and the quotient are
// rounded once each (rounding is monotone), and log is monotone where its argument is near 1
// (within 0.70 ulp, adjacent arguments cannot swap where log moves by more than 1.4 of its
// ulps per ulp of its argument, |log| < 1/4).  With |n G''/G'| <= 2^-10 the rounded square
// term moves by less than an ulp of n when n moves by one, so the step, and x = end +- t or
// +-t after it, are monotone in p: the q that end from g get their quantiles from one
// non-decreasing function of q.
//
// Monotone over all q: the iteration ends from g when the step lands in g's cell; if it lands
// within a margin (2^-14 of the cell) of the cell's border, the side of the border is decided
// by the sign of G at the border itself, non-increasing in p, and the step taken from the
// anchor on that side is kept on that side (across_border).  Let q1 < q2 end with t1 > t2.
// Both cannot have ended inside cells (beyond the margin) unless t1 and t2 lie in one cell
// (one non-decreasing function; t1 <= t2) or further apart than twice the margin; nor one
// inside a cell and one by the border: each lies on its side of the border as the test at
// the border puts it, and the test is monotone.  So t1 > t2 needs a step from an anchor that
// is off the quantile by more than the margin, 2^-14 of a cell: the step is within 2^-60 of
// the cell's scale of the root of the computed G, and that root within G's rounding over G'
// of the quantile, a few units of 2^-50 of G's largest term, ten times below the margin at
// least.  Given that bound, ppf does not decrease and isf does not increase from one double q
// to the next wherever the iteration ends from anchors and the solving end does not change
// (across 1/2 see QUANTILE_SIDE_BAND).  Not covered by the argument, and held by tests only:
// the closed forms that settle a quantile with no iteration (settled_by_law and the like,
// monotone functions of p as rounded to within their own last bits), the ends from a point
// that is not an anchor (next to an end of the bracket), and a change of the unknown between
// the offset and the point, decided from the starting guess.
//
// The grid: in the offset from an end, t rounded to 22 bits (Veltkamp's split by 2^31 + 1),
// cells 2^-22 of t, the scale over which G = log(t) + ... bends next to the end; but at most
// `cap` wide, 2^-26/M with M a bound of the quantiles' |x| (40 beyond 0 or a tail's lower
// end, where p >= 2^-1074 puts them), the scale of the normal's density far out; for the point itself
// (by_point), within `floor` of 0 multiples of 2^-22 floor, floor = 2^-4 min(1, |end|),
// the scale of G around 0 (log(x - end) next to the end, the normal's own beyond).
#pragma once

#include <limits>

#include "elementary.hpp"

namespace veltra::truncnorm::detail {

// Veltkamp's split by 2^31 + 1 keeps 22 bits.
inline constexpr double ANCHOR_SPLIT = 0x1p31 + 1.0;
// Veltkamp's split by 2^52 + 1 keeps one bit: the power of two nearest to the scales.
inline constexpr double ANCHOR_ONE_BIT = 0x1p52 + 1.0;
// h times this has its unit in the last place at h for h a power of two: adding and
// subtracting it rounds t to a multiple of h (for |t| < 2^51 h; beyond, to about an ulp of t).
inline constexpr double ANCHOR_SHIFT = 0x1.8p52;
inline constexpr double ANCHOR_CELL = 0x1p-22;
inline constexpr double ANCHOR_MARGIN = 0x1p-14;  // of the cell
// The anchor's step is the Taylor polynomial while |n G''/G'| is at most this.
inline constexpr double ANCHOR_TAYLOR = 0x1p-10;
// Below this size every t is its own anchor.  There G' ~ 1/t may overflow, so that the step
// n = G/G' rounds to 0 and could not leave a coarser anchor; the iterate itself is kept, as
// the grid's rounding of a subnormal t to 22 bits would lose up to 2^-23 t, millions of its
// ulps.  The identity is non-decreasing and meets the cells above it at a power of two, so
// anchors stay non-decreasing in t.
inline constexpr double ANCHOR_EXACT = 0x1p-1000;
// The quantiles lie within this of 0 around the mode, of lo in a tail (x^2 - lo^2 <= 2 745
// for p >= 2^-1074).
inline constexpr double ANCHOR_REACH = 40.0;

template <class T>
struct AnchorGrid {
    T floor;  // below it the cells are floor 2^-22 wide (0 for an offset)
    T cap;    // the widest cell
};

template <class T>
inline T one_bit(T v) {
    const T c = v * T(ANCHOR_ONE_BIT);
    return c - (c - v);
}

template <class T, class Mask>
inline AnchorGrid<T> anchor_grid(T lo, T hi, T end, Mask by_point) {
    using elementary::select;
    // On the oriented interval the quantiles lie below min(hi, 40) in magnitude around the
    // mode, below min(hi, lo + 40) in a tail.
    const T size_end = select(end < T(0), -end, end);
    const T beyond = select(lo < T(0), T(0), lo) + T(ANCHOR_REACH);
    const T reach = select(hi < beyond, hi, beyond);
    const T cap = one_bit(select(reach > T(1), T(1) / reach, T(1)) * T(0x1p-26));
    const T floor = one_bit(select(size_end < T(1), size_end, T(1)) * T(0x1p-4));
    const T widest = cap * T(1.0 / ANCHOR_CELL);
    return {select(by_point, select(floor < widest, floor, widest), T(0)), cap};
}

template <class T>
inline T anchor(T t, const AnchorGrid<T>& grid) {
    using elementary::select;
    const T size = select(t < T(0), -t, t);
    const T c = t * T(ANCHOR_SPLIT);
    const T relative = c - (c - t);
    const T small_shift = grid.floor * T(ANCHOR_SHIFT * ANCHOR_CELL);
    const T small = (t + small_shift) - small_shift;
    const T large_shift = grid.cap * T(ANCHOR_SHIFT);
    const T large = (t + large_shift) - large_shift;
    const T cells = select(size < grid.floor, small, select(size < grid.cap * T(1.0 / ANCHOR_CELL), relative, large));
    return select(size < T(ANCHOR_EXACT), t, cells);
}

// Within this distance of the border of its cell the border decides (across_border): 2^-14
// of the cell, far more than the error of the step from an anchor.
template <class T>
inline T anchor_margin(T t, const AnchorGrid<T>& grid) {
    using elementary::select;
    const T size = select(t < T(0), -t, t);
    const T relative = select(size < grid.floor, grid.floor, size) * T(ANCHOR_CELL * ANCHOR_MARGIN);
    const T widest = grid.cap * T(ANCHOR_MARGIN);
    return select(size < T(ANCHOR_EXACT), T(0), select(relative < widest, relative, widest));
}

template <class T>
inline bool near_border(T t, const AnchorGrid<T>& grid) {
    const T m = anchor_margin(t, grid);
    return anchor(t - m, grid) != anchor(t + m, grid);
}

// The anchor of t where it lies inside the bracket (tl, tr], else t itself.
template <class T>
inline T anchor_within(T t, T tl, T tr, const AnchorGrid<T>& grid) {
    const T g = anchor(t, grid);
    return g > tl && g <= tr ? g : t;
}

// The step from an anchor (its Taylor polynomial, or Halley's `next` beyond its range).
template <class T>
inline T anchored_step(T t, T newton, T bend, T next) {
    using elementary::select;
    const T half_bend = T(0.5) * bend;
    const T taylor = t - (newton + (half_bend * newton) * newton);
    const T size = newton * bend;
    return select((size <= T(ANCHOR_TAYLOR)) & (size >= -T(ANCHOR_TAYLOR)), taylor, next);
}

}  // namespace veltra::truncnorm::detail
