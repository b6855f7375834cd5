// NumPy ufuncs over scalar kernels: the inner loops, the table in which a module lists its
// ufuncs, and the exec step that adds them to the module.
//
// A module declares `UfuncDef defs[] = {...}` (by hand, or with make_ufunc from the kernel and
// its loops' signatures, make_array_ufunc where the kernel has an array form) and sets
// `add_ufuncs<defs>` (or a step that calls it) as the `extend` step of its ModuleSpec.
// Header-only: NumPy's ufunc C API table is a static of the translation unit that includes
// <numpy/ufuncobject.h>, so each module loads its own.
#pragma once

#include "frame.hpp"

#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include <array>
#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

namespace veltra::frame {

template <class T>
inline T read(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

template <class T>
inline void write(char* p, T v) {
    std::memcpy(p, &v, sizeof(T));
}

// After a loop NumPy turns the floating-point exception flags into warnings.  The kernels'
// special values are their results (an infinity, a NaN), and several of them pass through an
// overflowing intermediate on purpose before returning a finite value (the rescaled
// continued fraction, powrel where expm1 overflows), so the flags say nothing a caller can
// use: every loop clears them, as the module functions never report them either.  Only the
// four that NumPy reports matter (inexact, raised by nearly every operation, it ignores), and
// testing them costs a few nanoseconds where clearing them costs about sixty (feclearexcept
// rewrites the x87 environment): most loops raise none, and only those that do pay.
inline void clear_floating_point_flags() {
    constexpr int reported = FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID;
    if (std::fetestexcept(reported) != 0) std::feclearexcept(reported);
}

// An element as the kernel takes it: floating types widen to double (a float32 loop runs the
// double kernel and rounds its result once); an integer is an int, and a 64-bit value is
// limited to the 32-bit range, which keeps what it means to the kernels: only the sign of
// theta matters, every negative depth is depth 1, and a depth beyond 2^31 - 1 is not a
// computation anyone can wait for.
inline double kernel_arg(double v) { return v; }
inline double kernel_arg(float v) { return v; }
inline int kernel_arg(std::int32_t c) { return c; }
inline int kernel_arg(std::int64_t c) {
    constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
    return static_cast<int>(c < lo ? lo : (c > hi ? hi : c));
}

// A kernel returns one value, or a std::array with one value per output.
template <class R>
struct Outputs {
    static constexpr int count = 1;
    static double at(const R& r, int) { return r; }
};

template <std::size_t N>
struct Outputs<std::array<double, N>> {
    static constexpr int count = static_cast<int>(N);
    static double at(const std::array<double, N>& r, int j) { return r[j]; }
};

template <auto kernel, class Out, class... In, std::size_t... k>
inline void run_loop(char** args, const npy_intp* dimensions, const npy_intp* steps,
                     std::index_sequence<k...>) {
    constexpr int nin = sizeof...(In);
    using Result = decltype(kernel(kernel_arg(std::declval<In>())...));
    for (npy_intp i = 0; i < dimensions[0]; ++i) {
        const Result r = kernel(kernel_arg(read<In>(args[k] + i * steps[k]))...);
        for (int j = 0; j < Outputs<Result>::count; ++j)
            write(args[nin + j] + i * steps[nin + j], static_cast<Out>(Outputs<Result>::at(r, j)));
    }
    clear_floating_point_flags();
}

// The inner loop: a plain strided walk calling the kernel inline, inputs read as the types
// In..., every output stored as Out.  It touches no Python object, so NumPy releases the GIL
// around it.
template <auto kernel, class Out, class... In>
void loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    run_loop<kernel, Out, In...>(args, dimensions, steps, std::index_sequence_for<In...>{});
}

// The inner loop over an array kernel (elements.hpp's ArrayKernel, the vector kernels) and
// the scalar kernel it agrees with, one input read as In and one output stored as Out.
// Contiguous float64 buffers go to the array kernel whole; any other layout or type is
// gathered in blocks into a buffer on the stack, evaluated in place there and scattered, so
// that strided and float32 data run the vector kernels too.  Fewer than four elements (a
// scalar call) take the scalar kernel directly.
template <ArrayKernel kernel, double (*scalar)(double), class Out, class In>
void array_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const npy_intp n = dimensions[0];
    if (n < 4) {
        for (npy_intp i = 0; i < n; ++i)
            write(args[1] + i * steps[1], static_cast<Out>(scalar(kernel_arg(read<In>(args[0] + i * steps[0])))));
    } else if (std::is_same_v<In, double> && std::is_same_v<Out, double> && steps[0] == sizeof(double) &&
               steps[1] == sizeof(double)) {
        kernel(reinterpret_cast<const double*>(args[0]), reinterpret_cast<double*>(args[1]),
               static_cast<std::size_t>(n));
    } else {
        constexpr npy_intp block = 512;
        double values[block];
        for (npy_intp start = 0; start < n; start += block) {
            const npy_intp count = n - start < block ? n - start : block;
            for (npy_intp j = 0; j < count; ++j) values[j] = kernel_arg(read<In>(args[0] + (start + j) * steps[0]));
            kernel(values, values, static_cast<std::size_t>(count));
            for (npy_intp j = 0; j < count; ++j) write(args[1] + (start + j) * steps[1], static_cast<Out>(values[j]));
        }
    }
    clear_floating_point_flags();
}

inline constexpr int max_loops = 4;
inline constexpr int max_operands = 5;

// One ufunc.  NumPy keeps the pointers it is given for the life of the ufunc: static storage.
struct UfuncDef {
    const char* name;
    const char* doc;
    int nin;
    int nout;
    int nloops;
    PyUFuncGenericFunction loops[max_loops];
    char types[max_loops * max_operands];  // nin + nout type numbers per loop
};

template <class T>
inline constexpr char type_number = 0;  // no loop of this element type: see the static_assert
template <>
inline constexpr char type_number<float> = NPY_FLOAT;
template <>
inline constexpr char type_number<double> = NPY_DOUBLE;
template <>
inline constexpr char type_number<std::int32_t> = NPY_INT32;
template <>
inline constexpr char type_number<std::int64_t> = NPY_INT64;

// One loop of a ufunc: the inputs read as In..., every output stored as Out; over the array
// form of the kernel when it has one (array_loop), else element by element (loop).
template <class Out, class... In>
struct Signature {
    template <auto kernel, auto array = nullptr>
    static constexpr void add_to(UfuncDef& def) {
        using Result = decltype(kernel(kernel_arg(std::declval<In>())...));
        constexpr int nout = Outputs<Result>::count;
        static_assert(sizeof...(In) + nout <= max_operands, "too many operands for one ufunc");
        static_assert(((type_number<In> != 0) && ... && (type_number<Out> != 0)), "no such loop type");
        def.nin = sizeof...(In);
        def.nout = nout;
        char* types = def.types + def.nloops * (def.nin + def.nout);
        for (const char t : {type_number<In>...}) *types++ = t;
        for (int j = 0; j < nout; ++j) *types++ = type_number<Out>;
        // Told apart by type, not by comparing the pointer with nullptr: where the array form is
        // defined in another translation unit, that comparison is not a constant expression
        // for every compiler setting (GCC's UndefinedBehaviorSanitizer refuses it).
        if constexpr (!std::is_null_pointer_v<decltype(array)>) {
            static_assert(std::is_same_v<decltype(array), ArrayKernel>, "an array form is an ArrayKernel");
            static_assert(sizeof...(In) == 1 && nout == 1, "array kernels take one input and give one output");
            def.loops[def.nloops++] = array_loop<array, kernel, Out, In...>;
        } else {
            def.loops[def.nloops++] = loop<kernel, Out, In...>;
        }
    }
};

// The ufunc of `kernel`, with its array form `array` if it has one (nullptr if not), with one
// loop per signature, in the order given: NumPy takes the first loop that the inputs cast to
// safely, so the narrower types come first.
template <auto kernel, auto array, class... Signatures>
constexpr UfuncDef make_array_ufunc(const char* name, const char* doc) {
    static_assert(sizeof...(Signatures) <= max_loops, "too many loops for one ufunc");
    UfuncDef def{name, doc, 0, 0, 0, {}, {}};
    (Signatures::template add_to<kernel, array>(def), ...);
    return def;
}

template <auto kernel, class... Signatures>
constexpr UfuncDef make_ufunc(const char* name, const char* doc) {
    return make_array_ufunc<kernel, nullptr, Signatures...>(name, doc);
}

inline void* no_loop_data[max_loops] = {};

inline int load_ufunc_c_api() {
    return _import_umath() >= 0 ? 0 : raise_import_error("numpy._core.umath failed to import");
}

// The exec step that adds the ufuncs of `defs` to the module, in table order.
template <auto& defs>
int add_ufuncs(PyObject* module) {
    if (load_ufunc_c_api() < 0) return -1;
    for (UfuncDef& def : defs) {
        Ref ufunc(PyUFunc_FromFuncAndData(def.loops, no_loop_data, def.types, def.nloops, def.nin,
                                          def.nout, PyUFunc_None, def.name, def.doc, 0));
        if (!ufunc || PyModule_AddObjectRef(module, def.name, ufunc.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace veltra::frame
