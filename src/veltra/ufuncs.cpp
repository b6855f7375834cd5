// veltra.ufuncs: NumPy ufuncs over veltra's scalar kernels (the same kernels as the module
// functions, so float64 input gives the same bits).  Being ufuncs, they take out=, where=,
// dtype= and casting=, broadcast all their arguments, cast other input dtypes through the
// float64 loop, run their inner loops without the GIL, and are dispatched on by dask, xarray
// and other __array_ufunc__ implementers.
#include "_frame/frame.hpp"
#include "_kernels/intmean.hpp"
#include "_kernels/mills.hpp"
#include "_kernels/ratiodiff.hpp"

#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include <cfenv>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

using namespace veltra::frame;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// A ufunc cannot raise for one element, so outside a function's domain the result is NaN.
double rel_below1_in_domain(double x) { return (x < 0.0 || x > 1.0) ? nan : veltra::_Rrel_below1(x); }
double logrel_in_domain(double x) { return x <= -1.0 ? nan : veltra::_logrel(x); }
double powrel_in_domain(double x, double a) { return x <= -1.0 ? nan : veltra::_powrel(x, a); }

template <class T>
inline T read(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

inline void write(char* p, double v) { std::memcpy(p, &v, sizeof(double)); }

// After a loop NumPy turns the floating-point exception flags into warnings.  The kernels'
// special values are their results (an infinity, a NaN), and several of them pass through an
// overflowing intermediate on purpose before returning a finite value (the rescaled
// continued fraction, powrel where expm1 overflows), so the flags say nothing a caller can
// use: every loop clears them, as the module functions never report them either.
inline void clear_floating_point_flags() { std::feclearexcept(FE_ALL_EXCEPT); }

// Inner loops: plain strided walks calling the kernel inline; NumPy releases the GIL around
// them because they touch no Python object.
template <double (*kernel)(double)>
void loop_d_d(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const char* x = args[0];
    char* out = args[1];
    for (npy_intp i = 0; i < dimensions[0]; ++i, x += steps[0], out += steps[1])
        write(out, kernel(read<double>(x)));
    clear_floating_point_flags();
}

template <double (*kernel)(double, double)>
void loop_dd_d(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const char* x = args[0];
    const char* y = args[1];
    char* out = args[2];
    for (npy_intp i = 0; i < dimensions[0]; ++i, x += steps[0], y += steps[1], out += steps[2])
        write(out, kernel(read<double>(x), read<double>(y)));
    clear_floating_point_flags();
}

// The integer argument as the kernel takes it.  A 64-bit value is limited to the 32-bit range,
// which keeps what it means: only the sign of theta matters, every negative depth is depth 1,
// and a depth beyond 2^31 - 1 is not a computation anyone can wait for.
inline int as_int32(std::int32_t c) { return c; }
inline int as_int32(std::int64_t c) {
    constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
    return static_cast<int>(c < lo ? lo : (c > hi ? hi : c));
}

template <double (*kernel)(double, double, int), class Int>
void loop_dd_int_d(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const char* x = args[0];
    const char* y = args[1];
    const char* c = args[2];
    char* out = args[3];
    for (npy_intp i = 0; i < dimensions[0]; ++i, x += steps[0], y += steps[1], c += steps[2], out += steps[3])
        write(out, kernel(read<double>(x), read<double>(y), as_int32(read<Int>(c))));
    clear_floating_point_flags();
}

// NumPy keeps the pointers it is given for the life of the ufunc: static storage.
struct UfuncDef {
    const char* name;
    const char* doc;
    int nin;
    int nloops;
    PyUFuncGenericFunction loops[2];
    char types[8];  // nin + 1 type numbers per loop
};

UfuncDef ufunc_defs[] = {
    {"millsratio", "Mills ratio R(x) = N(-x)/n(x), element-wise; any x.", 1, 1,
     {loop_d_d<veltra::_R<double>>}, {NPY_DOUBLE, NPY_DOUBLE}},
    {"millsratio_d1", "-R'(x) = 1 - x R(x), element-wise; any x.", 1, 1,
     {loop_d_d<veltra::_R1<double>>}, {NPY_DOUBLE, NPY_DOUBLE}},
    {"millsratio_d3", "-R'''(x), element-wise; any x.", 1, 1,
     {loop_d_d<veltra::_R3<double>>}, {NPY_DOUBLE, NPY_DOUBLE}},
    {"millsratio_rel_below1",
     "(sqrt(pi/2) - R(x))/x, element-wise, for 0 <= x <= 1; NaN outside [0, 1] (a ufunc does\n"
     "not raise per element: veltra.mills.millsratio_rel_below1 raises ValueError instead).",
     1, 1, {loop_d_d<rel_below1_in_domain>}, {NPY_DOUBLE, NPY_DOUBLE}},
    {"millsratio_dd",
     "Symmetric divided difference of the Mills ratio, element-wise: (R(x-dx) - R(x+dx))/(2 dx)\n"
     "for theta >= 0, the reflected sum (R(dx-x) + R(x+dx))/(2 dx) for theta < 0.  theta is an\n"
     "integer input (int32, or int64 limited to the int32 range) that broadcasts like x and dx.",
     3, 2, {loop_dd_int_d<veltra::_R_DD<double>, std::int32_t>, loop_dd_int_d<veltra::_R_DD<double>, std::int64_t>},
     {NPY_DOUBLE, NPY_DOUBLE, NPY_INT32, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_INT64, NPY_DOUBLE}},
    {"millsratio_dd_cf",
     "Divided difference of the depth-n_terms continued-fraction convergent of the Mills ratio,\n"
     "element-wise; n_terms is an integer input (int32, or int64 limited to the int32 range) that\n"
     "broadcasts like x and dx.",
     3, 2,
     {loop_dd_int_d<veltra::_R_DD_CF<double>, std::int32_t>, loop_dd_int_d<veltra::_R_DD_CF<double>, std::int64_t>},
     {NPY_DOUBLE, NPY_DOUBLE, NPY_INT32, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_INT64, NPY_DOUBLE}},
    {"logrel",
     "log(1 + x)/x, element-wise, 1 at x = 0; NaN for x <= -1 (veltra.intmean.logrel raises\n"
     "ValueError instead).",
     1, 1, {loop_d_d<logrel_in_domain>}, {NPY_DOUBLE, NPY_DOUBLE}},
    {"powrel",
     "((1 + x)^a - 1)/(a x), element-wise, 1 at x = 0 and log(1 + x)/x at a = 0; NaN for x <= -1\n"
     "(veltra.intmean.powrel raises ValueError instead).",
     2, 1, {loop_dd_d<powrel_in_domain>}, {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE}},
};

void* no_loop_data[2] = {nullptr, nullptr};

int load_ufunc_c_api() {
    return _import_umath() >= 0 ? 0 : raise_import_error("numpy._core.umath failed to import");
}

int add_ufuncs(PyObject* module) {
    if (load_ufunc_c_api() < 0) return -1;
    for (UfuncDef& def : ufunc_defs) {
        Ref ufunc(PyUFunc_FromFuncAndData(def.loops, no_loop_data, def.types, def.nloops, def.nin, 1,
                                          PyUFunc_None, def.name, def.doc, 0));
        if (!ufunc || PyModule_AddObjectRef(module, def.name, ufunc.get()) < 0) return -1;
    }
    return 0;
}

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
    "ufuncs", "veltra.ufuncs", module_doc, "veltra/ufuncs.cpp", nullptr, 0, nullptr, add_ufuncs,
};

}  // namespace

VELTRA_MODULE(ufuncs, spec)
