// The element-wise pattern: the Python-level steps around a loop over flat float64 buffers,
// and the templates that make a module function out of a scalar kernel.  The steps live in
// elements.cpp.
#pragma once

#include "handle.hpp"
#include "integers.hpp"

#include <cstddef>
#include <type_traits>

namespace veltra::frame {

// A domain check on the converted float64 array: 0 to go on, -1 with an exception set.
using Check = int (*)(PyObject* np, PyObject* x_arr);

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

// The module global `np`, looked up at every call in the module namespace, then among the
// builtins; NameError when neither has it.
Ref numpy_global();

// np.asarray(obj, dtype=np.float64).
Ref as_float64(PyObject* np, PyObject* obj);

// Raises ValueError(message) when np.any(mask) is true; 0 when it is false, -1 on any error.
int fail_if_any(PyObject* np, PyObject* mask, const char* message);

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

// An array kernel, out[i] = f(x[i]) for i < n over whole buffers that need not be aligned:
// the vector kernels of _vec/vec.hpp.
using ArrayKernel = void (*)(const double* x, double* out, std::size_t n);

// One-argument element-wise function over `kernel`, a scalar kernel double(double) or an
// ArrayKernel, with an optional domain check.
template <auto kernel, Check check = nullptr>
PyObject* elementwise(PyObject* const* args) {
    ElementCall call;
    if (unary_begin(args[0], check, call) < 0) return nullptr;
    const char* x = call.in[0].bytes();
    char* out = call.output.bytes();
    if constexpr (std::is_same_v<decltype(kernel), ArrayKernel>) {
        kernel(reinterpret_cast<const double*>(x), reinterpret_cast<double*>(out),
               static_cast<std::size_t>(call.size()));
    } else {
        for (Py_ssize_t i = 0, n = call.size(); i < n; ++i) store(out, i, kernel(load(x, i)));
    }
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
