// The truncated normal's functions of a point (logpdf, pdf, logcdf, logsf, cdf, sf) for AVX2
// (compiled with -mavx2, reached through truncnorm_dispatch.cpp).
#define VELTRA_ISA avx2
#define VELTRA_POINT_ENTRIES
#include "lanes_avx2.hpp"
#include "mills_lanes.hpp"
#include "truncnorm_lanes.hpp"
