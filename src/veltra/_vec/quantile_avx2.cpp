// The truncated normal's quantiles (ppf, isf) for AVX2 (compiled with -mavx2, reached through
// truncnorm_dispatch.cpp).
#define VELTRA_ISA avx2
#include "lanes_avx2.hpp"
#include "mills_lanes.hpp"
#include "truncnorm_quantile_lanes.hpp"
