// The vector Mills-ratio kernels, and the truncated normal's functions of a point built on
// them, for AVX2 (compiled with -mavx2, reached through dispatch.cpp).
#define VELTRA_ISA avx2
#include "lanes_avx2.hpp"
#include "mills_lanes.hpp"
#include "truncnorm_lanes.hpp"
#include "truncnorm_quantile_lanes.hpp"
