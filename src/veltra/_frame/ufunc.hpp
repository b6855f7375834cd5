// NumPy ufuncs over scalar kernels: the inner loops, the table in which a module lists its
// ufuncs, and the exec step that adds them to the module.
//
// A module declares `UfuncDef defs[] = {...}` (by hand, or with make_ufunc from the kernel and
// its loops' signatures) and sets `add_ufuncs<defs>` as the `extend` step of its ModuleSpec.
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
// use: every loop clears them, as the module functions never report them either.
inline void clear_floating_point_flags() { std::feclearexcept(FE_ALL_EXCEPT); }

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

// One loop of a ufunc: the inputs read as In..., every output stored as Out.
template <class Out, class... In>
struct Signature {
    template <auto kernel>
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
        def.loops[def.nloops++] = loop<kernel, Out, In...>;
    }
};

// The ufunc of `kernel` with one loop per signature, in the order given: NumPy takes the
// first loop that the inputs cast to safely, so the narrower types come first.
template <auto kernel, class... Signatures>
constexpr UfuncDef make_ufunc(const char* name, const char* doc) {
    static_assert(sizeof...(Signatures) <= max_loops, "too many loops for one ufunc");
    UfuncDef def{name, doc, 0, 0, 0, {}, {}};
    (Signatures::template add_to<kernel>(def), ...);
    return def;
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
