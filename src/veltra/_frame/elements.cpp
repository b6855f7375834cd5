// The Python-level steps of the element-wise pattern: conversion to float64, the domain
// check, broadcasting, flat contiguous buffers for the loop, and the result in the input's
// shape.  Each step is the NumPy call a Python version of the function would make.
#include "records.hpp"

#include <cstring>

namespace veltra::frame {

Interned interned{};

// ---------------------------------------------------------------------------------------
// Interned identifiers and constants.

namespace {

int intern(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(text);
    return slot ? 0 : -1;
}

int make_float(PyObject*& slot, double value) {
    if (slot == nullptr) slot = PyFloat_FromDouble(value);
    return slot ? 0 : -1;
}

}  // namespace

int build_interned() {
    Interned& s = interned;
    if (intern(s.np, "np") < 0 || intern(s.asarray, "asarray") < 0 ||
        intern(s.float64, "float64") < 0 || intern(s.ndim, "ndim") < 0 ||
        intern(s.shape, "shape") < 0 || intern(s.ravel, "ravel") < 0 ||
        intern(s.reshape, "reshape") < 0 || intern(s.ascontiguousarray, "ascontiguousarray") < 0 ||
        intern(s.empty_like, "empty_like") < 0 || intern(s.any, "any") < 0 ||
        intern(s.broadcast_shapes, "broadcast_shapes") < 0 ||
        intern(s.broadcast_to, "broadcast_to") < 0 || intern(s.broadcast_arrays, "broadcast_arrays") < 0)
        return -1;
    if (s.dtype_kwnames == nullptr) s.dtype_kwnames = Py_BuildValue("(s)", "dtype");
    if (s.int_zero == nullptr) s.int_zero = PyLong_FromLong(0);
    if (s.dtype_kwnames == nullptr || s.int_zero == nullptr) return -1;
    return (make_float(s.float_zero, 0.0) < 0 || make_float(s.float_one, 1.0) < 0 ||
            make_float(s.float_minus_one, -1.0) < 0)
               ? -1
               : 0;
}

// ---------------------------------------------------------------------------------------
// Python-level steps of the element-wise patterns.

int Float64Buffer::acquire(PyObject* array, bool writable) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(array, &view_, flags) < 0) return -1;
    held_ = true;
    const char* format = view_.format ? view_.format : "B";
    if (*format == '@' || *format == '=' || *format == (PY_LITTLE_ENDIAN ? '<' : '>')) ++format;
    if (view_.ndim != 1 || view_.itemsize != static_cast<Py_ssize_t>(sizeof(double)) ||
        std::strcmp(format, "d") != 0) {
        PyErr_SetString(PyExc_TypeError, "expected a one-dimensional float64 buffer");
        return -1;
    }
    return 0;
}

Ref numpy_global() {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(module_dict, interned.np, &found) < 0) return Ref();
    if (found == nullptr && PyObject_GetOptionalAttr(builtins_module, interned.np, &found) < 0)
        return Ref();
    if (found == nullptr) PyErr_Format(PyExc_NameError, "name '%U' is not defined", interned.np);
    return Ref(found);
}

Ref as_float64(PyObject* np, PyObject* obj) {
    Ref asarray(PyObject_GetAttr(np, interned.asarray));
    if (!asarray) return Ref();
    Ref float64(PyObject_GetAttr(np, interned.float64));
    if (!float64) return Ref();
    PyObject* args[] = {obj, float64.get()};
    return Ref(PyObject_Vectorcall(asarray.get(), args, 1, interned.dtype_kwnames));
}

// np.<function>(arg)
static Ref call_numpy(PyObject* np, PyObject* function_name, PyObject* arg) {
    Ref function(PyObject_GetAttr(np, function_name));
    if (!function) return Ref();
    return Ref(PyObject_CallOneArg(function.get(), arg));
}

int fail_if_any(PyObject* np, PyObject* mask, const char* message) {
    Ref reduced = call_numpy(np, interned.any, mask);
    const int truth = reduced ? PyObject_IsTrue(reduced.get()) : -1;
    if (truth > 0) PyErr_SetString(PyExc_ValueError, message);
    return truth == 0 ? 0 : -1;
}

// out = np.empty_like(inputs[0]), then the buffers: inputs read-only, the output writable.
static int allocate_and_acquire(PyObject* np, ElementCall& call, int ninputs) {
    call.out = call_numpy(np, interned.empty_like, call.inputs[0].get());
    if (!call.out) return -1;
    for (int k = 0; k < ninputs; ++k)
        if (call.in[k].acquire(call.inputs[k].get(), false) < 0) return -1;
    if (call.output.acquire(call.out.get(), true) < 0) return -1;
    for (int k = 1; k < ninputs; ++k) {
        if (call.in[k].size() < call.size()) {
            PyErr_SetString(PyExc_ValueError, "broadcast inputs differ in length");
            return -1;
        }
    }
    if (call.output.size() < call.size()) {
        PyErr_SetString(PyExc_ValueError, "output buffer is shorter than the input");
        return -1;
    }
    return 0;
}

// np.ascontiguousarray(arr.ravel())
static Ref flatten(PyObject* np, PyObject* arr) {
    Ref raveled(PyObject_VectorcallMethod(interned.ravel, &arr, 1, nullptr));
    return raveled ? call_numpy(np, interned.ascontiguousarray, raveled.get()) : Ref();
}

// arr.ndim == 0
static int is_zero_dimensional(PyObject* arr) {
    Ref ndim(PyObject_GetAttr(arr, interned.ndim));
    return ndim ? PyObject_RichCompareBool(ndim.get(), interned.int_zero, Py_EQ) : -1;
}

int unary_begin(PyObject* x, Check check, ElementCall& call) {
    Ref np = numpy_global();
    if (!np) return -1;
    Ref x_arr = as_float64(np.get(), x);
    if (!x_arr) return -1;
    if (check != nullptr && check(np.get(), x_arr.get()) < 0) return -1;
    const int scalar = is_zero_dimensional(x_arr.get());
    if (scalar < 0) return -1;
    call.scalar = scalar == 1;
    call.inputs[0] = flatten(np.get(), x_arr.get());
    if (!call.inputs[0] || allocate_and_acquire(np.get(), call, 1) < 0) return -1;
    call.shape = Ref(PyObject_GetAttr(x_arr.get(), interned.shape));
    return call.shape ? 0 : -1;
}

int broadcast_shapes_begin(PyObject* x, PyObject* y, ElementCall& call) {
    Ref np = numpy_global();
    if (!np) return -1;
    Ref arrays[2] = {as_float64(np.get(), x), Ref()};
    if (!arrays[0]) return -1;
    arrays[1] = as_float64(np.get(), y);
    if (!arrays[1]) return -1;
    Ref x_shape(PyObject_GetAttr(arrays[0].get(), interned.shape));
    if (!x_shape) return -1;
    Ref y_shape(PyObject_GetAttr(arrays[1].get(), interned.shape));
    if (!y_shape) return -1;
    Ref broadcast_shapes(PyObject_GetAttr(np.get(), interned.broadcast_shapes));
    if (!broadcast_shapes) return -1;
    PyObject* shapes[] = {x_shape.get(), y_shape.get()};
    call.shape = Ref(PyObject_Vectorcall(broadcast_shapes.get(), shapes, 2, nullptr));
    if (!call.shape) return -1;
    const Py_ssize_t ndim = PyObject_Length(call.shape.get());
    if (ndim < 0) return -1;
    call.scalar = ndim == 0;
    Ref broadcast_to(PyObject_GetAttr(np.get(), interned.broadcast_to));
    if (!broadcast_to) return -1;
    for (int k = 0; k < 2; ++k) {
        PyObject* to_args[] = {arrays[k].get(), call.shape.get()};
        Ref full(PyObject_Vectorcall(broadcast_to.get(), to_args, 2, nullptr));
        if (!full) return -1;
        call.inputs[k] = flatten(np.get(), full.get());
        if (!call.inputs[k]) return -1;
    }
    return allocate_and_acquire(np.get(), call, 2);
}

int broadcast_arrays_begin(PyObject* x, PyObject* y, Check check_x, ElementCall& call) {
    Ref np = numpy_global();
    if (!np) return -1;
    Ref x_arr = as_float64(np.get(), x);
    if (!x_arr) return -1;
    Ref y_arr = as_float64(np.get(), y);
    if (!y_arr) return -1;
    if (check_x != nullptr && check_x(np.get(), x_arr.get()) < 0) return -1;
    Ref broadcast_arrays(PyObject_GetAttr(np.get(), interned.broadcast_arrays));
    if (!broadcast_arrays) return -1;
    PyObject* arrays[] = {x_arr.get(), y_arr.get()};
    Ref pair(PyObject_Vectorcall(broadcast_arrays.get(), arrays, 2, nullptr));
    if (!pair) return -1;
    Ref items(PySequence_Fast(pair.get(), "broadcast_arrays must return a sequence"));
    if (!items) return -1;
    if (PySequence_Fast_GET_SIZE(items.get()) != 2) {
        PyErr_SetString(PyExc_ValueError, "expected two broadcast arrays");
        return -1;
    }
    PyObject* bx = PySequence_Fast_GET_ITEM(items.get(), 0);
    PyObject* by = PySequence_Fast_GET_ITEM(items.get(), 1);
    const int scalar = is_zero_dimensional(bx);
    if (scalar < 0) return -1;
    call.scalar = scalar == 1;
    call.inputs[0] = flatten(np.get(), bx);
    if (!call.inputs[0]) return -1;
    call.inputs[1] = flatten(np.get(), by);
    if (!call.inputs[1] || allocate_and_acquire(np.get(), call, 2) < 0) return -1;
    call.shape = Ref(PyObject_GetAttr(bx, interned.shape));
    return call.shape ? 0 : -1;
}

PyObject* finish(ElementCall& call) {
    if (call.scalar) {
        if (call.output.size() < 1) {
            PyErr_SetString(PyExc_IndexError, "index 0 is out of bounds for an empty result");
            return nullptr;
        }
        return PyFloat_FromDouble(load(call.output.bytes(), 0));
    }
    PyObject* args[] = {call.out.get(), call.shape.get()};
    return PyObject_VectorcallMethod(interned.reshape, args, 2, nullptr);
}

}  // namespace veltra::frame
