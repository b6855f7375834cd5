// The vector Mills-ratio kernels R, R1 and R3 for AVX-512 F and DQ (compiled with -mavx512f
// -mavx512dq, reached through mills_dispatch.cpp).
#define VELTRA_ISA avx512
#define VELTRA_MILLS_ENTRIES
#include "lanes_avx512.hpp"
#include "mills_lanes.hpp"
