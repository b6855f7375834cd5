// The run-time choice of lane set for the array entry points of vec.hpp.
//
// Compiled for the baseline instruction set, like the rest of the library: the lane sets'
// code lives in translation units of its own, one per family and lane set (mills_avx2.cpp,
// truncnorm_avx512.cpp, ...), compiled for their instruction sets, and is reached only through
// the tables of mills_dispatch.cpp and truncnorm_dispatch.cpp, filled from the choice made
// here, after the CPU has been asked whether it runs them (and the operating system saves
// their registers).  Each family's dispatch and lane units are a static library of their own,
// so that an extension links the lane code of the families it calls and no other.
#include "vec.hpp"

#include <cstdlib>
#include <cstring>

namespace veltra::vec {

namespace detail {

Isa choose_isa(bool cpu_has_avx2, bool cpu_has_avx512, const char* request) {
    Isa widest = Isa::avx512;
    if (request != nullptr && std::strcmp(request, "scalar") == 0) widest = Isa::scalar;
    if (request != nullptr && std::strcmp(request, "avx2") == 0) widest = Isa::avx2;
    if (widest == Isa::avx512 && cpu_has_avx512 && cpu_has_avx2) return Isa::avx512;
    if (widest != Isa::scalar && cpu_has_avx2) return Isa::avx2;
    return Isa::scalar;
}

Isa active_isa() {
    static const Isa chosen = [] {
#if VELTRA_VEC_X86
        __builtin_cpu_init();
        const bool avx2 = __builtin_cpu_supports("avx2");
        const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
        return choose_isa(avx2, avx512, std::getenv("VELTRA_SIMD"));
#else
        return Isa::scalar;
#endif
    }();
    return chosen;
}

}  // namespace detail

const char* isa_name() {
    switch (detail::active_isa()) {
        case detail::Isa::avx512: return "avx512";
        case detail::Isa::avx2: return "avx2";
        default: return "scalar";
    }
}

}  // namespace veltra::vec
