// Ownership of Python references and of buffer views, by scope.
//
// `Ref` owns one strong reference: it is moved, never copied, and releases what it holds when
// it goes out of scope, so an early `return nullptr` on an error path never leaks and never
// drops a reference twice.  `Float64Buffer` does the same for a buffer view.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <utility>

namespace veltra::frame {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (or nullptr, the result of a failed call).
    explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(obj_, other.release()));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller (for a function that returns a new reference).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

// A C-contiguous, one-dimensional view of native float64 elements.
//
// Elements are read and written through memcpy of eight bytes: that compiles to one plain load
// or store, and stays defined behaviour for a buffer whose address is not 8-byte aligned (a
// NumPy array may be a view at any byte offset).
class Float64Buffer {
public:
    Float64Buffer() noexcept = default;
    Float64Buffer(const Float64Buffer&) = delete;
    Float64Buffer& operator=(const Float64Buffer&) = delete;
    ~Float64Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Requests the view, writable only when asked; -1 with an exception set on failure,
    // including for a buffer that is not one-dimensional native float64.
    int acquire(PyObject* array, bool writable);

    Py_ssize_t size() const noexcept { return view_.len / static_cast<Py_ssize_t>(sizeof(double)); }
    char* bytes() const noexcept { return static_cast<char*>(view_.buf); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

inline double load(const char* base, Py_ssize_t i) noexcept {
    double v;
    std::memcpy(&v, base + i * static_cast<Py_ssize_t>(sizeof(double)), sizeof(double));
    return v;
}

inline void store(char* base, Py_ssize_t i, double v) noexcept {
    std::memcpy(base + i * static_cast<Py_ssize_t>(sizeof(double)), &v, sizeof(double));
}

}  // namespace veltra::frame
