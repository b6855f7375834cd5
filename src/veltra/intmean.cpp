// veltra.intmean: the interval means log(1 + x)/x and ((1 + x)^a - 1)/(a x) over NumPy arrays,
// and the C-level export table __pyx_capi__ through which compiled modules call the kernels.
#include "_frame/frame.hpp"
#include "_kernels/intmean.hpp"

namespace {

using namespace veltra::frame;

constexpr char module_doc[] =
    "\n"
    "Numerically stable relative functions.\n"
    "\n"
    "All functions handle the x=0 limit analytically and use compensated\n"
    "primitives (expm1, log1p) to avoid catastrophic cancellation.\n";

constexpr char logrel_doc[] =
    "\n"
    "    Numerically stable computation of ``log(1 + x) / x``.\n"
    "\n"
    "    Average of ``1/t`` over the interval ``[1, 1+x]``:\n"
    "\n"
    "        (1/x) \u222b_1^{1+x}  (1/t) dt  =  log(1 + x) / x\n"
    "\n"
    "    Uses ``log1p`` to avoid cancellation for small ``x``.\n"
    "    Limit at ``x = 0`` is ``1``.  Requires ``x > -1``.\n"
    "\n"
    "    Args:\n"
    "        x: scalar or ndarray, any numeric dtype; must satisfy ``x > -1``\n"
    "\n"
    "    Returns:\n"
    "        ``log(1 + x) / x``, dtype float64, same shape as ``x``\n"
    "    ";

constexpr char powrel_doc[] =
    "\n"
    "    Numerically stable computation of ``((1+x)^a - 1) / (a * x)``.\n"
    "\n"
    "    Average of ``t^(a-1)`` over the interval ``[1, 1+x]``:\n"
    "\n"
    "        (1/x) \u222b_1^{1+x}  t^(a-1) dt  =  ((1+x)^a - 1) / (a x)\n"
    "\n"
    "    The case ``a = 0`` reduces to ``logrel``.\n"
    "    Uses ``expm1`` and ``log1p`` to avoid cancellation.\n"
    "    Limit at ``x = 0`` is ``1`` for all ``a``.  Requires ``x > -1``.\n"
    "\n"
    "    Args:\n"
    "        x: scalar or ndarray, any numeric dtype; must satisfy ``x > -1``\n"
    "        a: power exponent, scalar or ndarray broadcastable with ``x``\n"
    "\n"
    "    Returns:\n"
    "        ``((1+x)^a - 1) / (a * x)``, dtype float64,\n"
    "        shape is the broadcast shape of ``x`` and ``a``\n"
    "    ";

// Both means are defined for x > -1; the whole of x is checked before anything is evaluated.
// NaN compares false and passes (its mean is NaN).
int check_above_minus_one(PyObject* np, PyObject* x_arr) {
    Ref at_or_below(PyObject_RichCompare(x_arr, interned.float_minus_one, Py_LE));
    if (!at_or_below) return -1;
    return fail_if_any(np, at_or_below.get(), "x must be greater than -1.");
}

double logrel_kernel(double x) { return veltra::_logrel(x); }
double powrel_kernel(double x, double a) { return veltra::_powrel(x, a); }

// __pyx_capi__: each kernel's address in a capsule named by its C signature, the convention
// that Cython's cimport (through intmean.pxd, whose declarations must keep these names and
// signatures), scipy.LowLevelCallable.from_cython and numba understand.  The names
// are string literals, so they outlive the capsules; nothing needs a destructor.
int publish_kernels(PyObject* module) {
    struct Export {
        const char* name;
        void* function;
        const char* signature;
    };
    const Export exports[] = {
        {"_logrel", reinterpret_cast<void*>(&logrel_kernel), "double (double)"},
        {"_powrel", reinterpret_cast<void*>(&powrel_kernel), "double (double, double)"},
    };
    PyObject* dict = PyModule_GetDict(module);
    PyObject* table = nullptr;
    if (PyDict_GetItemStringRef(dict, "__pyx_capi__", &table) < 0) return -1;
    Ref capi(table);
    if (!capi) {
        capi = Ref(PyDict_New());
        if (!capi || PyDict_SetItemString(dict, "__pyx_capi__", capi.get()) < 0) return -1;
    }
    for (const Export& e : exports) {
        Ref capsule(PyCapsule_New(e.function, e.signature, nullptr));
        if (!capsule || PyDict_SetItemString(capi.get(), e.name, capsule.get()) < 0) return -1;
    }
    return 0;
}

constexpr FunctionDef functions[] = {
    {"logrel", logrel_doc, {required("x")}, unary_locals,
     elementwise<logrel_kernel, check_above_minus_one>, __LINE__},
    {"powrel", powrel_doc, {required("x"), required("a")}, "x_arr a_arr bx ba scalar fx fa out",
     elementwise_pair<powrel_kernel, check_above_minus_one>, __LINE__},
};

constexpr ModuleSpec spec = {
    "intmean", "veltra.intmean", module_doc, "veltra/intmean.cpp", functions, std::size(functions),
    publish_kernels,
};

}  // namespace

VELTRA_MODULE(intmean, spec)
