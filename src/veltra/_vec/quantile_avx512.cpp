// The truncated normal's quantiles (ppf, isf) for AVX-512 F and DQ (compiled with -mavx512f
// -mavx512dq, reached through truncnorm_dispatch.cpp).
#define VELTRA_ISA avx512
#include "lanes_avx512.hpp"
#include "mills_lanes.hpp"
#include "truncnorm_quantile_lanes.hpp"
