// R, R1 and R3 over arrays (vec.hpp) on the lane set of dispatch.cpp's choice, compiled for
// the baseline.
#include "vec.hpp"

#include "../_kernels/mills.hpp"

#include <cstring>

namespace veltra::vec {

namespace {

using ArrayKernel = void (*)(const double*, double*, std::size_t);

template <double (*kernel)(double)>
void scalar_loop(const double* x, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        double v;
        std::memcpy(&v, x + i, sizeof v);
        v = kernel(v);
        std::memcpy(out + i, &v, sizeof v);
    }
}

struct Kernels {
    ArrayKernel R;
    ArrayKernel R1;
    ArrayKernel R3;
};

Kernels kernels_for(detail::Isa isa) {
#if VELTRA_VEC_X86
    if (isa == detail::Isa::avx512) return {avx512::R, avx512::R1, avx512::R3};
    if (isa == detail::Isa::avx2) return {avx2::R, avx2::R1, avx2::R3};
#endif
    (void)isa;
    return {scalar_loop<_R<double>>, scalar_loop<_R1<double>>, scalar_loop<_R3<double>>};
}

const Kernels& active() {
    static const Kernels chosen = kernels_for(detail::active_isa());
    return chosen;
}

}  // namespace

// Fewer than four arguments take the scalar kernel: a group of lanes would cost more than they.
void R(const double* x, double* out, std::size_t n) {
    if (n < 4) return scalar_loop<_R<double>>(x, out, n);
    active().R(x, out, n);
}

void R1(const double* x, double* out, std::size_t n) {
    if (n < 4) return scalar_loop<_R1<double>>(x, out, n);
    active().R1(x, out, n);
}

void R3(const double* x, double* out, std::size_t n) {
    if (n < 4) return scalar_loop<_R3<double>>(x, out, n);
    active().R3(x, out, n);
}

}  // namespace veltra::vec
