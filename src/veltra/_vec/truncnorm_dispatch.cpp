// The truncated normal's functions of a point and its quantiles over arrays (vec.hpp) on the
// lane set of dispatch.cpp's choice, compiled for the baseline.
#include "vec.hpp"

#include "../_kernels/truncnorm.hpp"

namespace veltra::vec {

namespace {

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
    PointKernel point[8];        // logpdf, pdf, logcdf, logsf, cdf, sf, ppf, isf
    PreparedKernel prepared[6];  // logcdf, logsf, cdf, sf, ppf, isf
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
    if (isa == detail::Isa::avx512) return {VELTRA_POINT_KERNELS(avx512)};
    if (isa == detail::Isa::avx2) return {VELTRA_POINT_KERNELS(avx2)};
#endif
    (void)isa;
    namespace tn = truncnorm;
    return {{scalar_point_loop<tn::logpdf<double>>, scalar_point_loop<tn::pdf<double>>,
             scalar_point_loop<tn::logcdf<double>>, scalar_point_loop<tn::logsf<double>>,
             scalar_point_loop<tn::cdf<double>>, scalar_point_loop<tn::sf<double>>,
             scalar_point_loop<tn::ppf<double>>, scalar_point_loop<tn::isf<double>>},
            {scalar_prepared_loop<tn::logcdf<double>>, scalar_prepared_loop<tn::logsf<double>>,
             scalar_prepared_loop<tn::cdf<double>>, scalar_prepared_loop<tn::sf<double>>,
             scalar_prepared_loop<tn::ppf<double>>, scalar_prepared_loop<tn::isf<double>>}};
}

const Kernels& active() {
    static const Kernels chosen = kernels_for(detail::active_isa());
    return chosen;
}

}  // namespace

namespace detail {

double scalar_quantile(double q, double a, double b, bool upper, const truncnorm::Prepared<double>* prepared) {
    return upper ? truncnorm::isf(q, a, b, prepared) : truncnorm::ppf(q, a, b, prepared);
}

}  // namespace detail

// Fewer than four points take the scalar kernels: a group of lanes would cost more than they.
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

}  // namespace veltra::vec
