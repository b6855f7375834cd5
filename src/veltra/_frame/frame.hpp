// The module frame shared by veltra's extension modules.
//
// A binding source declares its functions (name, parameters, docstring, body) and its module
// (names, docstring, function table), then expands VELTRA_MODULE.  Everything else lives here
// once: the multi-phase module definition with its create and exec steps, the guards against a
// second interpreter and against re-initialisation, the NumPy import, the function type that
// answers introspection like a Python function, argument parsing with its messages, traceback
// entries, and the element loops that turn a scalar kernel into a NumPy-aware function.
//
// Every module is its own shared library and links its own copy of the frame, so the frame's
// process-wide records (interpreter, module, interned names) are per module.
#pragma once

#include "handle.hpp"

#include <cstddef>
#include <iterator>

namespace veltra::frame {

inline constexpr int max_params = 3;

// A function body: receives its parameters by position, defaults filled in (borrowed), and
// returns a new reference or nullptr with an exception set.  The caller adds the traceback.
using Body = PyObject* (*)(PyObject* const* args);

// A domain check on the converted float64 array: 0 to go on, -1 with an exception set.
using Check = int (*)(PyObject* np, PyObject* x_arr);

// Publishes a module's C-level export table into the module; 0 or -1 with an exception set.
using Publish = int (*)(PyObject* module);

struct Param {
    const char* name = nullptr;
    bool has_default = false;
    long default_value = 0;
};

constexpr Param required(const char* name) { return {name, false, 0}; }
constexpr Param with_default(const char* name, long value) { return {name, true, value}; }

struct FunctionDef {
    const char* name;
    const char* doc;
    Param params[max_params];
    const char* locals;  // further local variable names reported by __code__, space separated
    Body body;
    int line;            // line of the declaration: first line of __code__ and of tracebacks
};

struct ModuleSpec {
    const char* name;      // definition name, e.g. "mills"
    const char* qualname;  // dotted name, e.g. "veltra.mills"
    const char* doc;
    const char* source;    // binding source, the file name of code objects and tracebacks
    const FunctionDef* functions;
    std::size_t nfunctions;
    Publish publish;       // nullptr for a module without an export table
};

// The record CPython sees (its first member) and the frame's description of the module.
struct Module {
    PyModuleDef def;
    const ModuleSpec* spec;
};

extern PyModuleDef_Slot module_slots[];

// Identifier strings and constants built once when the first module executes.
struct Interned {
    PyObject* np;
    PyObject* asarray;
    PyObject* float64;
    PyObject* ndim;
    PyObject* shape;
    PyObject* ravel;
    PyObject* reshape;
    PyObject* ascontiguousarray;
    PyObject* empty_like;
    PyObject* any;
    PyObject* dtype_kwnames;  // ("dtype",), the keyword names of np.asarray(x, dtype=...)
    PyObject* int_zero;
    PyObject* float_zero;
    PyObject* float_one;
    PyObject* float_minus_one;
};
extern Interned interned;

// The module global `np`, looked up at every call in the module namespace, then among the
// builtins; NameError when neither has it.
Ref numpy_global();

// np.asarray(obj, dtype=np.float64).
Ref as_float64(PyObject* np, PyObject* obj);

// Raises ValueError(message) when np.any(mask) is true; 0 when it is false, -1 on any error.
int fail_if_any(PyObject* np, PyObject* mask, const char* message);

// The Python-level steps of the one-argument element-wise pattern, around the loop.
struct UnaryCall {
    Ref x_arr;
    Ref flat;
    Ref out;
    bool scalar = false;
    Float64Buffer input;
    Float64Buffer output;
};

// Converts x, runs the check, flattens, allocates the output and acquires both buffers.
int unary_begin(PyObject* x, Check check, UnaryCall& call);
// float(out[0]) for zero-dimensional input, else out.reshape(x_arr.shape).
PyObject* unary_end(UnaryCall& call);

// One-argument element-wise function over `kernel`, with an optional domain check.
template <double (*kernel)(double), Check check = nullptr>
PyObject* elementwise(PyObject* const* args) {
    UnaryCall call;
    if (unary_begin(args[0], check, call) < 0) return nullptr;
    const char* in = call.input.bytes();
    char* out = call.output.bytes();
    const Py_ssize_t n = call.input.size();
    for (Py_ssize_t i = 0; i < n; ++i) store(out, i, kernel(load(in, i)));
    return unary_end(call);
}

// Names of the locals of the one-argument pattern, reported by __code__ after `x`.
inline constexpr char unary_locals[] = "x_arr scalar flat out";

}  // namespace veltra::frame

// Defines the module record and its entry point PyInit_<short_name>, the only symbol the
// shared library exports.
#define VELTRA_MODULE(short_name, spec)                                                        \
    static ::veltra::frame::Module short_name##_module = {                                     \
        {PyModuleDef_HEAD_INIT, (spec).name, (spec).doc, 0, nullptr,                           \
         ::veltra::frame::module_slots, nullptr, nullptr, nullptr},                            \
        &(spec)};                                                                              \
    PyMODINIT_FUNC PyInit_##short_name(void) { return PyModuleDef_Init(&short_name##_module.def); }
