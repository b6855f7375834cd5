// veltra.ratiodiff: symmetric divided differences of the Mills ratio over broadcast NumPy
// arrays.  The mathematics is in _kernels/ratiodiff.hpp; this file only declares the
// module's functions.
#include "_frame/frame.hpp"
#include "_kernels/ratiodiff.hpp"

namespace {

using namespace veltra::frame;

constexpr char module_doc[] =
    "Symmetric divided differences of the Mills ratio R(x) = N(-x)/n(x).\n"
    "\n"
    "For a midpoint x and half-step dx (so the two evaluation points are x - dx and x + dx):\n"
    "\n"
    "    millsratio_dd(x, dx, theta=+1) = (R(x-dx) - R(x+dx)) / (2 dx)  (difference branch)\n"
    "    millsratio_dd(x, dx, theta=-1) = (R(dx-x) + R(x+dx)) / (2 dx)  (sum branch; first\n"
    "                                     argument reflected so both R-evaluations land on\n"
    "                                     positive arguments)\n"
    "    millsratio_dd_cf(x, dx, n)     = deep-asymptotic cancellation-free divided difference\n"
    "                                     via the coupled (V, T, Pa, Pb) recurrence on the\n"
    "                                     depth-n CF convergent of R; table-free.\n"
    "\n"
    "Note: theta=-1 is NOT the literal arithmetic divided difference -- the first argument is\n"
    "reflected (R(dx - x) instead of R(x - dx)) so that both R-evaluations land on positive\n"
    "arguments, avoiding cancellation when x < 0.\n"
    "\n"
    "This module is a thin NumPy vectorisation layer over the scalar kernels in\n"
    "``_kernels/ratiodiff`` (the header ``ratiodiff.hpp``), which are generic over single and\n"
    "double precision and build on the Mills ratio kernels of ``_kernels/mills``.\n"
    "\n"
    "The scalar entry points ``_R_DD`` and ``_R_DD_CF`` are declared there for direct use by\n"
    "other compiled modules; ``veltra.get_include()`` returns the directory that holds them.\n";

constexpr char dd_doc[] =
    "Mills-ratio symmetric divided difference:\n"
    "        theta = +1: returns (R(x-dx) - R(x+dx)) / (2 dx)  (difference branch)\n"
    "        theta = -1: returns (R(dx-x) + R(x+dx)) / (2 dx)  (sum branch; first argument\n"
    "                    reflected so both R-evaluations land on positive arguments)\n"
    "    Scalars or broadcastable ndarrays for x, dx; theta scalar (+/-1).  For theta=+1 a\n"
    "    three-regime split (CF asymp / 5-term R'''-seeded Taylor / direct R difference)\n"
    "    bounds the relative error at the worst-case boundary; theta=-1 is a pure sum of two\n"
    "    Mills ratios (no cancellation).\n"
    "    ";

constexpr char dd_cf_doc[] =
    "Deep-asymptotic cancellation-free divided difference via the (V, T, P^a, P^b) CF\n"
    "    recurrence (table-free, algorithmic loop).  n_terms >= 0 supported.  Scalars or\n"
    "    broadcastable ndarrays for x, dx; n_terms scalar.\n"
    "    ";

constexpr FunctionDef functions[] = {
    {"millsratio_dd", dd_doc, {required("x"), required("dx"), with_default("theta", 1)},
     "fx fdx o i n th x_arr dx_arr bshape scalar flat_x flat_dx out",
     elementwise_pair_int<veltra::_R_DD<double>>, __LINE__},
    {"millsratio_dd_cf", dd_cf_doc, {required("x"), required("dx"), with_default("n_terms", 4)},
     "fx fdx o i n nt x_arr dx_arr bshape scalar flat_x flat_dx out",
     elementwise_pair_int<veltra::_R_DD_CF<double>>, __LINE__},
};

constexpr ModuleSpec spec = {
    "ratiodiff", "veltra.ratiodiff", module_doc, "veltra/ratiodiff.cpp", functions, std::size(functions), nullptr,
};

}  // namespace

VELTRA_MODULE(ratiodiff, spec)
