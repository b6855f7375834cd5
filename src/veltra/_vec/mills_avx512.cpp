// The vector Mills-ratio kernels, and the truncated normal's functions of a point built on
// them, for AVX-512 F and DQ (compiled with -mavx512f -mavx512dq,
// reached through dispatch.cpp).
#define VELTRA_ISA avx512
#include "lanes_avx512.hpp"
#include "mills_lanes.hpp"
#include "truncnorm_lanes.hpp"
#include "truncnorm_quantile_lanes.hpp"
