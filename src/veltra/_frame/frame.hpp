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
    Publish extend = nullptr;  // objects bound after the functions, once NumPy's C API is loaded
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
    PyObject* broadcast_shapes;
    PyObject* broadcast_to;
    PyObject* broadcast_arrays;
    PyObject* dtype_kwnames;  // ("dtype",), the keyword names of np.asarray(x, dtype=...)
    PyObject* int_zero;
    PyObject* float_zero;
    PyObject* float_one;
    PyObject* float_minus_one;
};
extern Interned interned;

// Turns the Exception being raised (by a C-API loader) into ImportError(message), with the
// original as its context, and returns -1; other BaseExceptions pass unchanged.
int raise_import_error(const char* message);

// The module global `np`, looked up at every call in the module namespace, then among the
// builtins; NameError when neither has it.
Ref numpy_global();

// np.asarray(obj, dtype=np.float64).
Ref as_float64(PyObject* np, PyObject* obj);

// Raises ValueError(message) when np.any(mask) is true; 0 when it is false, -1 on any error.
int fail_if_any(PyObject* np, PyObject* mask, const char* message);

// Converts the integer argument of a function: an int (bool and subclasses included) by value,
// any other object through its type's __int__; TypeError "an integer is required" when the
// type has none, OverflowError outside the 32-bit range.
int to_int32(PyObject* obj, int* value);

// What one call of an element-wise function holds between its Python-level steps and the loop:
// the flat C-contiguous float64 inputs (read through read-only buffers: inputs are never
// written), the output and the shape it is returned in.
struct ElementCall {
    Ref inputs[2];
    Float64Buffer in[2];
    Ref out;
    Float64Buffer output;
    Ref shape;
    bool scalar = false;

    Py_ssize_t size() const { return in[0].size(); }
};

// One array argument: x_arr = np.asarray(x, dtype=np.float64), the domain check, then
// flat = np.ascontiguousarray(x_arr.ravel()) and out = np.empty_like(flat).
int unary_begin(PyObject* x, Check check, ElementCall& call);

// Two array arguments broadcast by shape: bshape = np.broadcast_shapes(...), then each input
// np.ascontiguousarray(np.broadcast_to(arr, bshape).ravel()).  An input that already has
// the full shape as a C-contiguous float64 array is used in place.
int broadcast_shapes_begin(PyObject* x, PyObject* y, ElementCall& call);

// Two array arguments broadcast by np.broadcast_arrays, after a domain check on x alone.
int broadcast_arrays_begin(PyObject* x, PyObject* y, Check check_x, ElementCall& call);

// float(out[0]) for a zero-dimensional result, else out.reshape(shape).
PyObject* finish(ElementCall& call);

// One-argument element-wise function over `kernel`, with an optional domain check.
template <double (*kernel)(double), Check check = nullptr>
PyObject* elementwise(PyObject* const* args) {
    ElementCall call;
    if (unary_begin(args[0], check, call) < 0) return nullptr;
    const char* x = call.in[0].bytes();
    char* out = call.output.bytes();
    for (Py_ssize_t i = 0, n = call.size(); i < n; ++i) store(out, i, kernel(load(x, i)));
    return finish(call);
}

template <class Kernel>
inline void map_pairs(ElementCall& call, Kernel kernel) {
    const char* x = call.in[0].bytes();
    const char* y = call.in[1].bytes();
    char* out = call.output.bytes();
    for (Py_ssize_t i = 0, n = call.size(); i < n; ++i) store(out, i, kernel(load(x, i), load(y, i)));
}

// f(x, y, c): two arrays broadcast by shape and a 32-bit integer, converted first.
template <double (*kernel)(double, double, int)>
PyObject* elementwise_pair_int(PyObject* const* args) {
    int c;
    if (to_int32(args[2], &c) < 0) return nullptr;
    ElementCall call;
    if (broadcast_shapes_begin(args[0], args[1], call) < 0) return nullptr;
    map_pairs(call, [c](double x, double y) { return kernel(x, y, c); });
    return finish(call);
}

// f(x, y): two arrays broadcast together, with an optional domain check on x.
template <double (*kernel)(double, double), Check check_x = nullptr>
PyObject* elementwise_pair(PyObject* const* args) {
    ElementCall call;
    if (broadcast_arrays_begin(args[0], args[1], check_x, call) < 0) return nullptr;
    map_pairs(call, kernel);
    return finish(call);
}

// Local names that __code__ reports after the parameters.
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
