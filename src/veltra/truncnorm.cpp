// veltra.truncnorm: NumPy ufuncs for the standard normal distribution truncated to [a, b],
// over the kernels of _kernels/truncnorm.hpp.  Each ufunc has a float32 loop (the double
// kernel, its result rounded once) and a float64 loop, broadcasts x, a and b, takes out= and
// where=, runs without the GIL and is dispatched on by dask and xarray.  _sample, the
// sampler behind veltra.stats.truncnorm.rvs, fills an array from a NumPy bit generator.
#include "_frame/ufunc.hpp"
#include "_kernels/truncnorm.hpp"
#include "_kernels/truncnorm/scores.hpp"
#include "_kernels/truncnorm/shape.hpp"
#include "_kernels/truncnorm_sample.hpp"
#include "_vec/vec.hpp"

#include <numpy/random/bitgen.h>

#include <array>
#include <cstdint>
#include <type_traits>

namespace {

using namespace veltra::frame;
namespace tn = veltra::truncnorm;

std::array<double, 3> moments(double a, double b) {
    const tn::Moments<double> m = tn::moments(a, b);
    return {m.log_prob, m.mean, m.var};
}

std::array<double, 2> log_prob_grad(double a, double b) {
    const tn::Scores<double> s = tn::log_prob_grad(a, b);
    return {s.lower, s.upper};
}

// A function of a point and the interval.  Where a and b stay the same over the loop (bounds
// given as scalars, the common case) the interval is prepared once and each element costs
// what its point costs, with the same bits.  The functions that have a vector form
// (_vec/vec.hpp) take the elements in blocks gathered into contiguous doubles: `lanes` for
// bounds that change from element to element, `prepared_lanes` for a prepared interval.  The
// results are again the kernel's bits.
using PointLanes = void (*)(const double*, const double*, const double*, double*, std::size_t);
using PreparedLanes = void (*)(const double*, double, double, const tn::Prepared<double>&, double*, std::size_t);

// f(block of x, block of a, block of b, block of results, count) over the loop's elements;
// contiguous, aligned doubles (the common case) are handed over as they are.
template <class T, class F>
void in_blocks(char** args, const npy_intp* dimensions, const npy_intp* steps, int inputs, F f) {
    constexpr npy_intp BLOCK = 512;
    const npy_intp n = dimensions[0];
    if constexpr (std::is_same_v<T, double>) {
        const auto direct = [&](int k) {
            return steps[k] == npy_intp(sizeof(double)) &&
                   reinterpret_cast<std::uintptr_t>(args[k]) % alignof(double) == 0;
        };
        bool contiguous = direct(3);
        for (int k = 0; k < inputs; ++k) contiguous = contiguous && direct(k);
        if (contiguous) {
            const auto in = [&](int k) { return k < inputs ? reinterpret_cast<const double*>(args[k]) : nullptr; };
            f(in(0), in(1), in(2), reinterpret_cast<double*>(args[3]), static_cast<std::size_t>(n));
            return;
        }
    }
    double block[4][BLOCK];
    for (npy_intp start = 0; start < n; start += BLOCK) {
        const npy_intp count = n - start < BLOCK ? n - start : BLOCK;
        for (int k = 0; k < inputs; ++k)
            for (npy_intp i = 0; i < count; ++i) block[k][i] = read<T>(args[k] + (start + i) * steps[k]);
        f(block[0], block[1], block[2], block[3], static_cast<std::size_t>(count));
        for (npy_intp i = 0; i < count; ++i) write(args[3] + (start + i) * steps[3], static_cast<T>(block[3][i]));
    }
}

template <double (*kernel)(double, double, double, const tn::Prepared<double>*), PointLanes lanes,
          PreparedLanes prepared_lanes, class T>
void point_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const npy_intp n = dimensions[0];
    const bool fixed_bounds = n > 1 && steps[1] == 0 && steps[2] == 0;
    if (lanes != nullptr && !fixed_bounds) {
        in_blocks<T>(args, dimensions, steps, 3, lanes);
        clear_floating_point_flags();
        return;
    }
    const double a0 = fixed_bounds ? double(read<T>(args[1])) : 0.0;
    const double b0 = fixed_bounds ? double(read<T>(args[2])) : 0.0;
    const tn::Prepared<double> p = fixed_bounds ? tn::prepare<double>(a0, b0) : tn::Prepared<double>{};
    if (prepared_lanes != nullptr && p.ready) {
        in_blocks<T>(args, dimensions, steps, 1, [&](const double* x, const double*, const double*, double* out,
                                                      std::size_t count) { prepared_lanes(x, a0, b0, p, out, count); });
        clear_floating_point_flags();
        return;
    }
    for (npy_intp i = 0; i < n; ++i) {
        const double x = read<T>(args[0] + i * steps[0]);
        const double a = read<T>(args[1] + i * steps[1]);
        const double b = read<T>(args[2] + i * steps[2]);
        write(args[3] + i * steps[3], static_cast<T>(kernel(x, a, b, &p)));
    }
    clear_floating_point_flags();
}

// The loops of a function of the interval (two inputs) and of a point and the interval
// (three inputs), float32 first: NumPy takes the first loop the inputs cast to safely.
#define INTERVAL_LOOPS(kernel) {loop<kernel, float, float, float>, loop<kernel, double, double, double>}
#define INTERVAL_TYPES {NPY_FLOAT, NPY_FLOAT, NPY_FLOAT, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE}
#define POINT_LOOPS(name, lanes, prepared) \
    {point_loop<tn::name<double>, lanes, prepared, float>, point_loop<tn::name<double>, lanes, prepared, double>}
#define POINT_TYPES {NPY_FLOAT, NPY_FLOAT, NPY_FLOAT, NPY_FLOAT, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE}

UfuncDef ufunc_defs[] = {
    {"log_prob",
     "log P(a <= X <= b) = log(Phi(b) - Phi(a)) for X ~ N(0, 1), element-wise.\n\n"
     "Any a < b, either end infinite; relative accuracy near 1e-16 also where log P is tiny.\n"
     "a == b (finite) gives -inf; a > b, NaN, or a == b == +-inf gives NaN.\n\n"
     ">>> truncnorm.log_prob(30.0, 31.0)\n"
     "np.float64(-454.32124395634327)\n",
     2, 1, 2, INTERVAL_LOOPS(tn::log_prob<double>), INTERVAL_TYPES},
    {"mean",
     "E[X | a <= X <= b] = (phi(a) - phi(b))/(Phi(b) - Phi(a)) for X ~ N(0, 1), element-wise.\n\n"
     "Any a < b, either end infinite; a == b (finite) gives a; (-inf, inf) gives 0; a > b or\n"
     "NaN gives NaN.\n\n"
     ">>> truncnorm.mean(40.0, np.inf)\n"
     "np.float64(40.02496884720726)\n",
     2, 1, 2, INTERVAL_LOOPS(tn::mean<double>), INTERVAL_TYPES},
    {"var",
     "Var[X | a <= X <= b] for X ~ N(0, 1), element-wise:\n"
     "1 + (a phi(a) - b phi(b))/P - mean^2 with P = Phi(b) - Phi(a), evaluated without its\n"
     "cancellation.  Any a < b, either end infinite; a == b (finite) gives 0; (-inf, inf)\n"
     "gives 1; a > b or NaN gives NaN.\n\n"
     ">>> truncnorm.var(1e4, 1e4 + 1e-3)\n"
     "np.float64(9.954595375967365e-09)\n",
     2, 1, 2, INTERVAL_LOOPS(tn::var<double>), INTERVAL_TYPES},
    {"moments",
     "(log_prob, mean, var) of N(0, 1) on [a, b], element-wise, three outputs: the same bits as\n"
     "the three ufuncs, for less than the cost of two of them.\n\n"
     ">>> truncnorm.moments(8.0, 9.0)\n"
     "(np.float64(-35.01361859343715), np.float64(8.121188992979798), np.float64(0.014148542782748113))\n",
     2, 3, 2,
     {loop<moments, float, float, float>, loop<moments, double, double, double>},
     {NPY_FLOAT, NPY_FLOAT, NPY_FLOAT, NPY_FLOAT, NPY_FLOAT,
      NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE}},
    {"skew",
     "Skewness E[(X - m)^3]/s^3 of X ~ N(0, 1) given a <= X <= b (m its mean, s^2 its variance),\n"
     "element-wise, without the cancellation of the textbook form\n"
     "(E[X^3] - 3 m E[X^2] + 2 m^3)/s^3.  Tends to 2 (the exponential law) far in a tail and to 0\n"
     "(the uniform law) on narrow intervals; 0 on a symmetric interval.  Any a < b, either end\n"
     "infinite; (-inf, inf) gives 0; a == b, a > b or NaN gives NaN.\n\n"
     ">>> truncnorm.skew(40.0, np.inf)\n"
     "np.float64(1.9962767079432848)\n",
     2, 1, 2, INTERVAL_LOOPS(tn::skew<double>), INTERVAL_TYPES},
    {"kurtosis",
     "Excess kurtosis E[(X - m)^4]/s^4 - 3 of X ~ N(0, 1) given a <= X <= b (m its mean, s^2 its\n"
     "variance), element-wise, as scipy.stats' 'k'.  Tends to 6 (the exponential law) far in a\n"
     "tail and to -1.2 (the uniform law) on narrow intervals.  Any a < b, either end infinite;\n"
     "(-inf, inf) gives 0; a == b, a > b or NaN gives NaN.\n\n"
     ">>> truncnorm.kurtosis(30.0, 30.001)\n"
     "np.float64(-1.1998508184373866)\n",
     2, 1, 2, INTERVAL_LOOPS(tn::kurtosis<double>), INTERVAL_TYPES},
    {"log_prob_grad",
     "(d log P/da, d log P/db) = (-phi(a)/P, phi(b)/P), P = Phi(b) - Phi(a), for X ~ N(0, 1),\n"
     "element-wise, two outputs: minus the truncated density at a and the density at b, the\n"
     "hazards of the truncated law at its ends (on [a, inf) the first is -1/R(a), R the Mills\n"
     "ratio).  Relative accuracy near 1e-16 where P is tiny or next to 1 and where phi(a) and P\n"
     "are far below the doubles' range; neither overflows nor vanishes where the value itself\n"
     "is a double.  An infinite end gives 0 (-0.0 for a = -inf).  a == b (finite) gives\n"
     "(-inf, inf), the limits as b -> a; a > b, NaN, or a == b == +-inf gives NaN.\n\n"
     ">>> truncnorm.log_prob_grad(40.0, np.inf)\n"
     "(np.float64(-40.02496884720726), np.float64(0.0))\n",
     2, 2, 2,
     {loop<log_prob_grad, float, float, float>, loop<log_prob_grad, double, double, double>},
     {NPY_FLOAT, NPY_FLOAT, NPY_FLOAT, NPY_FLOAT, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE}},
    {"logpdf",
     "log of the density phi(x)/(Phi(b) - Phi(a)) of N(0, 1) truncated to [a, b], element-wise;\n"
     "-inf outside [a, b].  A point interval a == b is a point mass (+inf at a); a > b or NaN\n"
     "gives NaN.\n\n"
     ">>> truncnorm.logpdf(30.0005, 30.0, 30.001)\n"
     "np.float64(6.907717819680139)\n",
     3, 1, 2, POINT_LOOPS(logpdf, veltra::vec::truncnorm_logpdf, nullptr), POINT_TYPES},
    {"logcdf",
     "log P(X <= x | a <= X <= b) for X ~ N(0, 1), element-wise: -inf up to a, 0 from b on,\n"
     "relative accuracy near 1e-16 also where the value is tiny (x next to b).\n\n"
     ">>> truncnorm.logcdf(30.5, 30.0, 31.0)\n"
     "np.float64(-2.655418343091889e-07)\n",
     3, 1, 2, POINT_LOOPS(logcdf, veltra::vec::truncnorm_logcdf, veltra::vec::truncnorm_logcdf_prepared), POINT_TYPES},
    {"logsf",
     "log P(X >= x | a <= X <= b) for X ~ N(0, 1), element-wise: 0 up to a, -inf from b on,\n"
     "relative accuracy near 1e-16 also where the value is tiny (x next to a).\n\n"
     ">>> truncnorm.logsf(30.5, 30.0, 31.0)\n"
     "np.float64(-15.141493573428324)\n",
     3, 1, 2, POINT_LOOPS(logsf, veltra::vec::truncnorm_logsf, veltra::vec::truncnorm_logsf_prepared), POINT_TYPES},
    {"pdf",
     "Density phi(x)/(Phi(b) - Phi(a)) of N(0, 1) truncated to [a, b], element-wise; 0 outside.\n\n"
     ">>> truncnorm.pdf(0.0, -1.0, 1.0)\n"
     "np.float64(0.5843685672568167)\n",
     3, 1, 2, POINT_LOOPS(pdf, veltra::vec::truncnorm_pdf, nullptr), POINT_TYPES},
    {"cdf",
     "P(X <= x | a <= X <= b) for X ~ N(0, 1), element-wise: 0 up to a, 1 from b on.\n\n"
     ">>> truncnorm.cdf(8.5, 8.0, 9.0)\n"
     "np.float64(0.9849406286168291)\n",
     3, 1, 2, POINT_LOOPS(cdf, veltra::vec::truncnorm_cdf, veltra::vec::truncnorm_cdf_prepared), POINT_TYPES},
    {"sf",
     "P(X >= x | a <= X <= b) for X ~ N(0, 1), element-wise: 1 up to a, 0 from b on; computed\n"
     "directly, not as 1 - cdf.\n\n"
     ">>> truncnorm.sf(8.5, 8.0, 9.0)\n"
     "np.float64(0.015059371383170967)\n",
     3, 1, 2, POINT_LOOPS(sf, veltra::vec::truncnorm_sf, veltra::vec::truncnorm_sf_prepared), POINT_TYPES},
    {"ppf",
     "The quantile: x in [a, b] with P(X <= x | a <= X <= b) = q for X ~ N(0, 1), element-wise.\n\n"
     "a at q = 0, b at q = 1, NaN for q outside [0, 1] or NaN.  Solved from the end of [a, b]\n"
     "whose side holds the smaller of q and 1 - q, as an offset from that end, so that tiny q,\n"
     "q near 1 and narrow intervals far in a tail keep every digit.\n\n"
     ">>> truncnorm.ppf(0.5, 1e8, 1e8 + 1)\n"
     "np.float64(100000000.0)\n",
     3, 1, 2, POINT_LOOPS(ppf, veltra::vec::truncnorm_ppf, veltra::vec::truncnorm_ppf_prepared), POINT_TYPES},
    {"isf",
     "The inverse survival function: x in [a, b] with P(X >= x | a <= X <= b) = q for\n"
     "X ~ N(0, 1), element-wise; b at q = 0, a at q = 1, NaN for q outside [0, 1] or NaN.\n"
     "isf(q) is computed as directly as ppf(q), not as ppf(1 - q).\n\n"
     ">>> truncnorm.isf(1e-300, 0.0, np.inf)\n"
     "np.float64(37.06578788077213)\n",
     3, 1, 2, POINT_LOOPS(isf, veltra::vec::truncnorm_isf, veltra::vec::truncnorm_isf_prepared), POINT_TYPES},
};

#undef INTERVAL_LOOPS
#undef INTERVAL_TYPES
#undef POINT_LOOPS
#undef POINT_TYPES

// A NumPy bit generator as the sampler's uniform source: next_double takes 53 random bits.
struct BitGenerator {
    bitgen_t* bitgen;
    double operator()() { return bitgen->next_double(bitgen->state); }
};

// The variates, one per element of `out`, the interval of element i being (a[i], b[i]); a
// and b hold one element each, or as many as `out` (one element stands for all of them).
// With one interval for all it is prepared once: the same variates, for less.  The caller
// holds the bit generator's lock; the loop runs without the GIL.
PyObject* sample_into(PyObject* const* args) {
    Float64Buffer a, b, out;
    if (a.acquire(args[0], false) < 0 || b.acquire(args[1], false) < 0 || out.acquire(args[3], true) < 0)
        return nullptr;
    const Py_ssize_t n = out.size();
    if ((a.size() != 1 && a.size() != n) || (b.size() != 1 && b.size() != n)) {
        PyErr_SetString(PyExc_ValueError, "a and b must have one element or as many as out");
        return nullptr;
    }
    Ref capsule(PyObject_GetAttrString(args[2], "capsule"));
    if (!capsule) return nullptr;
    auto* bitgen = static_cast<bitgen_t*>(PyCapsule_GetPointer(capsule.get(), "BitGenerator"));
    if (bitgen == nullptr) return nullptr;
    BitGenerator uniform{bitgen};
    tn::Source<BitGenerator> source(uniform);
    const Py_ssize_t step_a = a.size() == 1 ? 0 : 1;
    const Py_ssize_t step_b = b.size() == 1 ? 0 : 1;
    Py_BEGIN_ALLOW_THREADS
    if (step_a == 0 && step_b == 0) {
        const tn::Sampler sampler = tn::prepare_sampler(load(a.bytes(), 0), load(b.bytes(), 0));
        for (Py_ssize_t i = 0; i < n; ++i) store(out.bytes(), i, tn::sample(sampler, source));
    } else {
        for (Py_ssize_t i = 0; i < n; ++i)
            store(out.bytes(), i, tn::sample(load(a.bytes(), i * step_a), load(b.bytes(), i * step_b), source));
    }
    clear_floating_point_flags();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

constexpr char sample_doc[] =
    "Fill the one-dimensional float64 array `out` with variates of N(0, 1) truncated to\n"
    "[a, b], one per element, drawn from `bit_generator` (a numpy.random.BitGenerator) by\n"
    "exact rejection.  a and b are one-dimensional float64 arrays of one element (the same\n"
    "interval for all) or of out's length.  The caller holds bit_generator.lock; the GIL is\n"
    "released while sampling.  Invalid intervals (a > b, NaN) give NaN, a == b gives a.\n"
    "veltra.stats.truncnorm.rvs is the public interface.\n";

constexpr FunctionDef functions[] = {
    {"_sample", sample_doc, {required("a"), required("b"), required("bit_generator"), required("out")}, "",
     sample_into, __LINE__},
};

constexpr char module_doc[] =
    "The standard normal distribution truncated to [a, b], as NumPy ufuncs: log_prob, mean,\n"
    "var, moments, skew and kurtosis of the interval, and log_prob_grad, the derivatives of\n"
    "log_prob in a and b; logpdf, logcdf, logsf, pdf, cdf and sf of a point; ppf and isf of a\n"
    "probability.\n"
    "\n"
    "Exact to a few units in the last place in every tail, where the textbook formulas cancel\n"
    "or divide 0 by 0: intervals far out ((1e8, 1e8 + 1)), one ulp wide or infinite, around the\n"
    "mode.  For a general normal N(mu, sigma^2) on [lo, hi], pass a = (lo - mu)/sigma and\n"
    "b = (hi - mu)/sigma and scale the results back.  Every argument broadcasts; out=, where=,\n"
    "float32 and float64 loops; inner loops without the GIL; dask arrays stay lazy and xarray\n"
    "objects keep their coordinates.\n";

constexpr ModuleSpec spec = {
    "truncnorm", "veltra.truncnorm", module_doc, "veltra/truncnorm.cpp", functions, std::size(functions), nullptr,
    add_ufuncs<ufunc_defs>,
};

}  // namespace

VELTRA_MODULE(truncnorm, spec)
