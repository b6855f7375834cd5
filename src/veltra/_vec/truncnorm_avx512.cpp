// The truncated normal's functions of a point (logpdf, pdf, logcdf, logsf, cdf, sf) for
// AVX-512 F and DQ (compiled with -mavx512f -mavx512dq, reached through truncnorm_dispatch.cpp).
#define VELTRA_ISA avx512
#define VELTRA_POINT_ENTRIES
#include "lanes_avx512.hpp"
#include "mills_lanes.hpp"
#include "truncnorm_lanes.hpp"
