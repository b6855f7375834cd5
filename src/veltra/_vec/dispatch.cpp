// The run-time choice of lane set for the array entry points of vec.hpp.
//
// Compiled for the baseline instruction set, like the rest of the library: the lane sets'
// code lives in their own translation units (mills_avx2.cpp, mills_avx512.cpp), compiled for
// their instruction sets, and is reached only through the pointers chosen here, after the
// CPU has been asked whether it runs them (and the operating system saves their registers).
#include "vec.hpp"

#include "../_kernels/mills.hpp"
#include "../_kernels/truncnorm.hpp"

#include <cstdlib>
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

using PointKernel = void (*)(const double*, const double*, const double*, double*, std::size_t);

template <double (*kernel)(double, double, double, const truncnorm::Prepared<double>*)>
void scalar_point_loop(const double* x, const double* a, const double* b, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = kernel(x[i], a[i], b[i], nullptr);
}

using PreparedKernel = void (*)(const double*, double, double, const truncnorm::Prepared<double>&, double*,
                                std::size_t);

template <double (*kernel)(double, double, double, const truncnorm::Prepared<double>*)>
void scalar_prepared_loop(const double* x, double a, double b, const truncnorm::Prepared<double>& prepared,
                          double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = kernel(x[i], a, b, &prepared);
}

struct Kernels {
    ArrayKernel R;
    ArrayKernel R1;
    ArrayKernel R3;
    PointKernel point[8];        // logpdf, pdf, logcdf, logsf, cdf, sf, ppf, isf
    PreparedKernel prepared[6];  // logcdf, logsf, cdf, sf, ppf, isf
    const char* name;
};

#define VELTRA_POINT_KERNELS(space) \
    {space::truncnorm_logpdf, space::truncnorm_pdf, space::truncnorm_logcdf, \
     space::truncnorm_logsf, space::truncnorm_cdf, space::truncnorm_sf, space::truncnorm_ppf, \
     space::truncnorm_isf}, \
    {space::truncnorm_logcdf_prepared, space::truncnorm_logsf_prepared, \
     space::truncnorm_cdf_prepared, space::truncnorm_sf_prepared, space::truncnorm_ppf_prepared, \
     space::truncnorm_isf_prepared}

Kernels kernels_for(detail::Isa isa) {
#if VELTRA_VEC_X86
    if (isa == detail::Isa::avx512)
        return {avx512::R, avx512::R1, avx512::R3, VELTRA_POINT_KERNELS(avx512), "avx512"};
    if (isa == detail::Isa::avx2) return {avx2::R, avx2::R1, avx2::R3, VELTRA_POINT_KERNELS(avx2), "avx2"};
#endif
    (void)isa;
    namespace tn = truncnorm;
    return {scalar_loop<_R<double>>,
            scalar_loop<_R1<double>>,
            scalar_loop<_R3<double>>,
            {scalar_point_loop<tn::logpdf<double>>, scalar_point_loop<tn::pdf<double>>,
             scalar_point_loop<tn::logcdf<double>>, scalar_point_loop<tn::logsf<double>>,
             scalar_point_loop<tn::cdf<double>>, scalar_point_loop<tn::sf<double>>,
             scalar_point_loop<tn::ppf<double>>, scalar_point_loop<tn::isf<double>>},
            {scalar_prepared_loop<tn::logcdf<double>>, scalar_prepared_loop<tn::logsf<double>>,
             scalar_prepared_loop<tn::cdf<double>>, scalar_prepared_loop<tn::sf<double>>,
             scalar_prepared_loop<tn::ppf<double>>, scalar_prepared_loop<tn::isf<double>>},
            "scalar"};
}

detail::Isa cpu_isa() {
#if VELTRA_VEC_X86
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2");
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    return detail::choose_isa(avx2, avx512, std::getenv("VELTRA_SIMD"));
#else
    return detail::Isa::scalar;
#endif
}

const Kernels& active() {
    static const Kernels chosen = kernels_for(cpu_isa());
    return chosen;
}

}  // namespace

namespace detail {

Isa choose_isa(bool cpu_has_avx2, bool cpu_has_avx512, const char* request) {
    Isa widest = Isa::avx512;
    if (request != nullptr && std::strcmp(request, "scalar") == 0) widest = Isa::scalar;
    if (request != nullptr && std::strcmp(request, "avx2") == 0) widest = Isa::avx2;
    if (widest == Isa::avx512 && cpu_has_avx512 && cpu_has_avx2) return Isa::avx512;
    if (widest != Isa::scalar && cpu_has_avx2) return Isa::avx2;
    return Isa::scalar;
}

double scalar_quantile(double q, double a, double b, bool upper, const truncnorm::Prepared<double>* prepared) {
    return upper ? truncnorm::isf(q, a, b, prepared) : truncnorm::ppf(q, a, b, prepared);
}

}  // namespace detail

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
// Fewer than four points take the scalar kernels.
#define VELTRA_POINT_DEFINITION(name, k)                                                                   \
    void truncnorm_##name(const double* x, const double* a, const double* b, double* out, std::size_t n) { \
        if (n < 4) return scalar_point_loop<truncnorm::name<double>>(x, a, b, out, n);                     \
        active().point[k](x, a, b, out, n);                                                                \
    }
VELTRA_POINT_DEFINITION(logpdf, 0)
VELTRA_POINT_DEFINITION(pdf, 1)
VELTRA_POINT_DEFINITION(logcdf, 2)
VELTRA_POINT_DEFINITION(logsf, 3)
VELTRA_POINT_DEFINITION(cdf, 4)
VELTRA_POINT_DEFINITION(sf, 5)
VELTRA_POINT_DEFINITION(ppf, 6)
VELTRA_POINT_DEFINITION(isf, 7)
#undef VELTRA_POINT_DEFINITION

#define VELTRA_PREPARED_DEFINITION(name, k)                                                            \
    void truncnorm_##name##_prepared(const double* x, double a, double b,                              \
                                     const truncnorm::Prepared<double>& prepared, double* out,         \
                                     std::size_t n) {                                                  \
        if (n < 4) return scalar_prepared_loop<truncnorm::name<double>>(x, a, b, prepared, out, n);    \
        active().prepared[k](x, a, b, prepared, out, n);                                               \
    }
VELTRA_PREPARED_DEFINITION(logcdf, 0)
VELTRA_PREPARED_DEFINITION(logsf, 1)
VELTRA_PREPARED_DEFINITION(cdf, 2)
VELTRA_PREPARED_DEFINITION(sf, 3)
VELTRA_PREPARED_DEFINITION(ppf, 4)
VELTRA_PREPARED_DEFINITION(isf, 5)
#undef VELTRA_PREPARED_DEFINITION

const char* isa_name() { return active().name; }

}  // namespace veltra::vec
