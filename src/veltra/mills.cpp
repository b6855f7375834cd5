// veltra.mills: the Mills ratio R(x) = N(-x)/n(x) and its derivatives, element-wise over
// NumPy arrays.  The mathematics is in _kernels/mills.hpp; this file only declares the
// module's functions.
#include "_frame/frame.hpp"
#include "_kernels/mills.hpp"

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
    "kernel source; ``veltra.get_include()`` returns the directory that holds it.\n";

constexpr FunctionDef functions[] = {
    {"millsratio", "Mills ratio R(x) = N(-x)/n(x); scalar or ndarray, any x.", {required("x")},
     unary_locals, elementwise<veltra::_R<double>>, __LINE__},
};

constexpr ModuleSpec spec = {
    "mills", "veltra.mills", module_doc, "veltra/mills.cpp", functions, std::size(functions), nullptr,
};

}  // namespace

VELTRA_MODULE(mills, spec)
