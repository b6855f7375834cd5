// The vector Mills-ratio kernels R, R1 and R3 for AVX2 (compiled with -mavx2, reached through
// mills_dispatch.cpp).
#define VELTRA_ISA avx2
#define VELTRA_MILLS_ENTRIES
#include "lanes_avx2.hpp"
#include "mills_lanes.hpp"
