// veltra.ufuncs: NumPy ufuncs over veltra's scalar kernels (the same kernels as the module
// functions, so float64 input gives the same bits).  Being ufuncs, they take out=, where=,
// dtype= and casting=, broadcast all their arguments, cast other input dtypes through the
// float64 loop, run their inner loops without the GIL, and are dispatched on by dask, xarray
// and other __array_ufunc__ implementers.
#include "_frame/ufunc.hpp"
#include "_kernels/intmean.hpp"
#include "_kernels/mills.hpp"
#include "_kernels/ratiodiff.hpp"

#include <cstdint>
#include <limits>

namespace {

using namespace veltra::frame;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// A ufunc cannot raise for one element, so outside a function's domain the result is NaN.
double rel_below1_in_domain(double x) { return (x < 0.0 || x > 1.0) ? nan : veltra::_Rrel_below1(x); }
double logrel_in_domain(double x) { return x <= -1.0 ? nan : veltra::_logrel(x); }
double powrel_in_domain(double x, double a) { return x <= -1.0 ? nan : veltra::_powrel(x, a); }

UfuncDef ufunc_defs[] = {
    {"millsratio", "Mills ratio R(x) = N(-x)/n(x), element-wise; any x.", 1, 1, 1,
     {loop<veltra::_R<double>, double, double>}, {NPY_DOUBLE, NPY_DOUBLE}},
    {"millsratio_d1", "-R'(x) = 1 - x R(x), element-wise; any x.", 1, 1, 1,
     {loop<veltra::_R1<double>, double, double>}, {NPY_DOUBLE, NPY_DOUBLE}},
    {"millsratio_d3", "-R'''(x), element-wise; any x.", 1, 1, 1,
     {loop<veltra::_R3<double>, double, double>}, {NPY_DOUBLE, NPY_DOUBLE}},
    {"millsratio_rel_below1",
     "(sqrt(pi/2) - R(x))/x, element-wise, for 0 <= x <= 1; NaN outside [0, 1] (a ufunc does\n"
     "not raise per element: veltra.mills.millsratio_rel_below1 raises ValueError instead).",
     1, 1, 1, {loop<rel_below1_in_domain, double, double>}, {NPY_DOUBLE, NPY_DOUBLE}},
    {"millsratio_dd",
     "Symmetric divided difference of the Mills ratio, element-wise: (R(x-dx) - R(x+dx))/(2 dx)\n"
     "for theta >= 0, the reflected sum (R(dx-x) + R(x+dx))/(2 dx) for theta < 0.  theta is an\n"
     "integer input (int32, or int64 limited to the int32 range) that broadcasts like x and dx.",
     3, 1, 2, {loop<veltra::_R_DD<double>, double, double, double, std::int32_t>,
      loop<veltra::_R_DD<double>, double, double, double, std::int64_t>},
     {NPY_DOUBLE, NPY_DOUBLE, NPY_INT32, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_INT64, NPY_DOUBLE}},
    {"millsratio_dd_cf",
     "Divided difference of the depth-n_terms continued-fraction convergent of the Mills ratio,\n"
     "element-wise; n_terms is an integer input (int32, or int64 limited to the int32 range) that\n"
     "broadcasts like x and dx.",
     3, 1, 2,
     {loop<veltra::_R_DD_CF<double>, double, double, double, std::int32_t>,
      loop<veltra::_R_DD_CF<double>, double, double, double, std::int64_t>},
     {NPY_DOUBLE, NPY_DOUBLE, NPY_INT32, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_INT64, NPY_DOUBLE}},
    {"logrel",
     "log(1 + x)/x, element-wise, 1 at x = 0; NaN for x <= -1 (veltra.intmean.logrel raises\n"
     "ValueError instead).",
     1, 1, 1, {loop<logrel_in_domain, double, double>}, {NPY_DOUBLE, NPY_DOUBLE}},
    {"powrel",
     "((1 + x)^a - 1)/(a x), element-wise, 1 at x = 0 and log(1 + x)/x at a = 0; NaN for x <= -1\n"
     "(veltra.intmean.powrel raises ValueError instead).",
     2, 1, 1, {loop<powrel_in_domain, double, double, double>}, {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE}},
};

constexpr char module_doc[] =
    "NumPy ufuncs over veltra's kernels: millsratio, millsratio_d1, millsratio_d3,\n"
    "millsratio_rel_below1, millsratio_dd, millsratio_dd_cf, logrel and powrel.\n"
    "\n"
    "For float64 input each gives the same bits as the module function of the same name in\n"
    "veltra.mills, veltra.ratiodiff or veltra.intmean, and supports what a ufunc user expects:\n"
    "out=, where=, dtype=, broadcasting of every argument (theta and n_terms included, as\n"
    "int32), other numeric input dtypes through the float64 loop, inner loops that run without\n"
    "the GIL, and dispatch by dask arrays and xarray objects.  Where the module functions raise\n"
    "ValueError for arguments outside a domain, the ufuncs return NaN for those elements.\n";

constexpr ModuleSpec spec = {
    "ufuncs", "veltra.ufuncs", module_doc, "veltra/ufuncs.cpp", nullptr, 0, nullptr, add_ufuncs<ufunc_defs>,
};

}  // namespace

VELTRA_MODULE(ufuncs, spec)
