// veltra.ufuncs: NumPy ufuncs over veltra's scalar kernels (the same kernels as the module
// functions, so float64 input gives the same bits).  Being ufuncs, they take out=, where=,
// dtype= and casting=, broadcast all their arguments, keep float32 as float32, run their inner
// loops without the GIL, and are dispatched on by dask, xarray and other __array_ufunc__
// implementers.
#include "_frame/ufunc.hpp"
#include "_kernels/intmean.hpp"
#include "_kernels/mills.hpp"
#include "_kernels/ratiodiff.hpp"
#include "_vec/vec.hpp"

#include <cstdint>
#include <limits>

namespace {

using namespace veltra::frame;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// A ufunc cannot raise for one element, so outside a function's domain the result is NaN.
double rel_below1_in_domain(double x) { return (x < 0.0 || x > 1.0) ? nan : veltra::_Rrel_below1(x); }
double logrel_in_domain(double x) { return x <= -1.0 ? nan : veltra::_logrel(x); }
double powrel_in_domain(double x, double a) { return x <= -1.0 ? nan : veltra::_powrel(x, a); }

// Every ufunc has a float32 and a float64 loop, float32 first: float32 input (and float16, and
// integers of up to 16 bits, which NumPy casts to float32 safely) runs the double kernel and
// rounds its result once, as scipy.special does, so the result is the float64 result rounded
// to float32; all other input runs the float64 loop.  theta and n_terms come as int32 or int64.
// The Mills ratio and its derivatives pass their vector kernels (_vec/vec.hpp) as the array
// form, which both loops run; the others have none.
template <auto kernel, auto array = nullptr>
constexpr UfuncDef unary(const char* name, const char* doc) {
    return make_array_ufunc<kernel, array, Signature<float, float>, Signature<double, double>>(name, doc);
}

template <auto kernel>
constexpr UfuncDef binary(const char* name, const char* doc) {
    return make_ufunc<kernel, Signature<float, float, float>, Signature<double, double, double>>(name, doc);
}

template <auto kernel>
constexpr UfuncDef with_integer(const char* name, const char* doc) {
    return make_ufunc<kernel, Signature<float, float, float, std::int32_t>,
                      Signature<float, float, float, std::int64_t>,
                      Signature<double, double, double, std::int32_t>,
                      Signature<double, double, double, std::int64_t>>(name, doc);
}

UfuncDef ufunc_defs[] = {
    unary<veltra::_R<double>, veltra::vec::R>("millsratio", "Mills ratio R(x) = N(-x)/n(x), element-wise; any x."),
    unary<veltra::_R1<double>, veltra::vec::R1>("millsratio_d1", "-R'(x) = 1 - x R(x), element-wise; any x."),
    unary<veltra::_R3<double>, veltra::vec::R3>("millsratio_d3", "-R'''(x), element-wise; any x."),
    unary<rel_below1_in_domain>(
        "millsratio_rel_below1",
        "(sqrt(pi/2) - R(x))/x, element-wise, for 0 <= x <= 1; NaN outside [0, 1] (a ufunc does\n"
        "not raise per element: veltra.mills.millsratio_rel_below1 raises ValueError instead)."),
    with_integer<veltra::_R_DD<double>>(
        "millsratio_dd",
        "Symmetric divided difference of the Mills ratio, element-wise: (R(x-dx) - R(x+dx))/(2 dx)\n"
        "for theta >= 0, the reflected sum (R(dx-x) + R(x+dx))/(2 dx) for theta < 0.  theta is an\n"
        "integer input (int32, or int64 limited to the int32 range) that broadcasts like x and dx."),
    with_integer<veltra::_R_DD_CF<double>>(
        "millsratio_dd_cf",
        "Divided difference of the depth-n_terms continued-fraction convergent of the Mills ratio,\n"
        "element-wise; n_terms is an integer input (int32, or int64 limited to the int32 range) that\n"
        "broadcasts like x and dx."),
    unary<logrel_in_domain>(
        "logrel",
        "log(1 + x)/x, element-wise, 1 at x = 0; NaN for x <= -1 (veltra.intmean.logrel raises\n"
        "ValueError instead)."),
    binary<powrel_in_domain>(
        "powrel",
        "((1 + x)^a - 1)/(a x), element-wise, 1 at x = 0 and log(1 + x)/x at a = 0; NaN for x <= -1\n"
        "(veltra.intmean.powrel raises ValueError instead)."),
};

constexpr char module_doc[] =
    "NumPy ufuncs over veltra's kernels: millsratio, millsratio_d1, millsratio_d3,\n"
    "millsratio_rel_below1, millsratio_dd, millsratio_dd_cf, logrel and powrel.\n"
    "\n"
    "For float64 input each gives the same bits as the module function of the same name in\n"
    "veltra.mills, veltra.ratiodiff or veltra.intmean, and supports what a ufunc user expects:\n"
    "out=, where=, dtype=, broadcasting of every argument (theta and n_terms included, as\n"
    "int32 or int64), inner loops that run without the GIL, and dispatch by dask arrays and\n"
    "xarray objects.  float32 stays float32: float32 input (and float16, and integers of up to\n"
    "16 bits, which NumPy casts to float32) gives the float64 result rounded once to float32,\n"
    "as scipy.special does; other numeric input runs the float64 loop.  Where the module\n"
    "functions raise ValueError for arguments outside a domain, the ufuncs return NaN for those\n"
    "elements.\n";

// The ufuncs, then _simd: the lane set of the vector kernels that this process runs ("avx512",
// "avx2" or "scalar"), for the tests and the benchmarks.
int add_ufuncs_and_lane_set(PyObject* module) {
    if (add_ufuncs<ufunc_defs>(module) < 0) return -1;
    return PyModule_AddStringConstant(module, "_simd", veltra::vec::isa_name());
}

constexpr ModuleSpec spec = {
    "ufuncs", "veltra.ufuncs", module_doc, "veltra/ufuncs.cpp", nullptr, 0, nullptr, add_ufuncs_and_lane_set,
};

}  // namespace

VELTRA_MODULE(ufuncs, spec)
