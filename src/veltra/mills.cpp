// veltra.mills: the Mills ratio R(x) = N(-x)/n(x) and its derivatives, element-wise over
// NumPy arrays.  The mathematics is in _kernels/mills.hpp (its vector forms, with the same
// results, in _vec/); this file only declares the module's functions.
#include "_frame/frame.hpp"
#include "_kernels/mills.hpp"
#include "_vec/vec.hpp"

namespace {

using namespace veltra::frame;

constexpr char module_doc[] =
    "Mills ratio R(x) = N(-x)/n(x), -R'(x), -R'''(x), plus (sqrt(pi/2) - R(x))/x on [0, 1].\n"
    "\n"
    "This module is a thin NumPy vectorisation layer over the scalar kernels of the kernel\n"
    "source ``_kernels/mills`` (the header ``mills.hpp`` and its generated coefficient tables\n"
    "``mills_tables.hpp``).  The kernels are written once, generic over the floating-point\n"
    "type (single and double precision), and are the one canonical source of this\n"
    "mathematics.\n"
    "\n"
    "The scalar entry points (``_R``, ``_R1``, ``_R3``, ``_R013_CF``, ``_Rrel_below1``) can be\n"
    "called directly from other compiled extension modules through the declarations of that\n"
    "kernel source; ``veltra.get_include()`` returns the directory that holds it.\n"
    "\n"
    "On x86-64 CPUs with AVX2 or AVX-512, millsratio, millsratio_d1 and millsratio_d3 evaluate\n"
    "four or eight arguments at once with vector forms of the same kernels, which give the same\n"
    "bits; the environment variable VELTRA_SIMD=avx2 or VELTRA_SIMD=scalar, set before the\n"
    "first call, narrows the choice.\n";

// The whole array is checked before anything is evaluated.  NaN fails both comparisons and
// passes: its result is NaN.
int check_unit_interval(PyObject* np, PyObject* x_arr) {
    Ref below(PyObject_RichCompare(x_arr, interned.float_zero, Py_LT));
    if (!below) return -1;
    Ref above(PyObject_RichCompare(x_arr, interned.float_one, Py_GT));
    if (!above) return -1;
    Ref outside(PyNumber_Or(below.get(), above.get()));
    if (!outside) return -1;
    return fail_if_any(np, outside.get(), "millsratio_rel_below1 requires 0 <= x <= 1.");
}

constexpr FunctionDef functions[] = {
    {"millsratio", "Mills ratio R(x) = N(-x)/n(x); scalar or ndarray, any x.", {required("x")},
     unary_locals, elementwise<veltra::vec::R>, __LINE__},
    {"millsratio_d1", "-R'(x) = 1 - x R(x); scalar or ndarray, any x.", {required("x")},
     unary_locals, elementwise<veltra::vec::R1>, __LINE__},
    {"millsratio_d3", "-R'''(x); scalar or ndarray, any x.", {required("x")}, unary_locals,
     elementwise<veltra::vec::R3>, __LINE__},
    {"millsratio_rel_below1", "(sqrt(pi/2) - R(x))/x; scalar or ndarray, 0 <= x <= 1.",
     {required("x")}, unary_locals,
     elementwise<veltra::_Rrel_below1<double>, check_unit_interval>, __LINE__},
};

constexpr ModuleSpec spec = {
    "mills", "veltra.mills", module_doc, "veltra/mills.cpp", functions, std::size(functions), nullptr,
};

}  // namespace

VELTRA_MODULE(mills, spec)
