// The Mills-ratio kernels, and the truncated normal's functions of a point, over arrays, on
// the widest lane set the CPU offers.
//
// The results are the bits of the scalar kernels of _kernels/mills.hpp and
// _kernels/truncnorm.hpp, element for element,
// whichever lane set runs: AVX-512 (F and DQ, eight lanes) or AVX2 (four lanes) on x86-64, the
// scalar kernels everywhere else.  The choice is made once per extension module, at its first
// call (veltra.ufuncs makes it at import, to record it as _simd), from the CPU's features; the
// environment variable VELTRA_SIMD, read then, can narrow it to "avx2" or "scalar" (never
// widen it beyond what the CPU runs).
#pragma once

#include <cstddef>

namespace veltra::truncnorm {
template <class T>
struct Prepared;
}

namespace veltra::vec {

// out[i] = _R(x[i]), _R1(x[i]), _R3(x[i]) for i < n.  x and out need not be aligned; out may
// be x, but may not overlap it otherwise.
void R(const double* x, double* out, std::size_t n);
void R1(const double* x, double* out, std::size_t n);
void R3(const double* x, double* out, std::size_t n);

// out[i] = veltra::truncnorm::logpdf(x[i], a[i], b[i]) and so on (ppf and isf of q[i]), with
// the bits of those kernels, for i < n.  No array may overlap out unless it is out itself.
#define VELTRA_TRUNCNORM_POINT(name) \
    void truncnorm_##name(const double* x, const double* a, const double* b, double* out, std::size_t n);
#define VELTRA_TRUNCNORM_POINT_DECLARATIONS                                                  \
    VELTRA_TRUNCNORM_POINT(logpdf) VELTRA_TRUNCNORM_POINT(pdf) VELTRA_TRUNCNORM_POINT(logcdf) \
    VELTRA_TRUNCNORM_POINT(logsf) VELTRA_TRUNCNORM_POINT(cdf) VELTRA_TRUNCNORM_POINT(sf)        \
    VELTRA_TRUNCNORM_POINT(ppf) VELTRA_TRUNCNORM_POINT(isf)
VELTRA_TRUNCNORM_POINT_DECLARATIONS

// The same for the points (probabilities) of one interval [a, b], prepared (prepared.ready,
// the bounds a and b it was prepared from).
#define VELTRA_TRUNCNORM_PREPARED(name)                                                     \
    void truncnorm_##name##_prepared(const double* x, double a, double b,                      \
                                     const truncnorm::Prepared<double>& prepared, double* out, std::size_t n);
#define VELTRA_TRUNCNORM_PREPARED_DECLARATIONS                                                \
    VELTRA_TRUNCNORM_PREPARED(logcdf) VELTRA_TRUNCNORM_PREPARED(logsf) VELTRA_TRUNCNORM_PREPARED(cdf) \
    VELTRA_TRUNCNORM_PREPARED(sf) VELTRA_TRUNCNORM_PREPARED(ppf) VELTRA_TRUNCNORM_PREPARED(isf)
VELTRA_TRUNCNORM_PREPARED_DECLARATIONS

// The lane set in use: "avx512", "avx2" or "scalar".
const char* isa_name();

// The lane sets' own entry points (mills_<isa>.cpp, truncnorm_<isa>.cpp, quantile_<isa>.cpp),
// the same contract: to be called only where the CPU runs their instruction set, as the
// dispatch does; the gate of the tests and the benchmarks' bare loop call them directly.
namespace avx2 {
void R(const double* x, double* out, std::size_t n);
void R1(const double* x, double* out, std::size_t n);
void R3(const double* x, double* out, std::size_t n);
VELTRA_TRUNCNORM_POINT_DECLARATIONS
VELTRA_TRUNCNORM_PREPARED_DECLARATIONS
}  // namespace avx2

namespace avx512 {
void R(const double* x, double* out, std::size_t n);
void R1(const double* x, double* out, std::size_t n);
void R3(const double* x, double* out, std::size_t n);
VELTRA_TRUNCNORM_POINT_DECLARATIONS
VELTRA_TRUNCNORM_PREPARED_DECLARATIONS
}  // namespace avx512

namespace detail {

enum class Isa { scalar, avx2, avx512 };

// The scalar kernel's quantile (isf where `upper`), compiled for the baseline: the lane sets
// hand it the lanes that take its rare paths.
double scalar_quantile(double q, double a, double b, bool upper, const truncnorm::Prepared<double>* prepared);

// The lane set in use, chosen at the first call (dispatch.cpp).
Isa active_isa();

// The widest lane set that the CPU supports and `request` (the value of VELTRA_SIMD, nullptr
// when unset) allows: "scalar" and "avx2" cap the choice, anything else leaves it to the CPU.
Isa choose_isa(bool cpu_has_avx2, bool cpu_has_avx512, const char* request);

}  // namespace detail
}  // namespace veltra::vec
