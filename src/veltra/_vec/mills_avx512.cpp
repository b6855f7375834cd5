// The vector Mills-ratio kernels for AVX-512 F and DQ (compiled with -mavx512f -mavx512dq,
// reached through dispatch.cpp).
#define VELTRA_ISA avx512
#include "lanes_avx512.hpp"
#include "mills_lanes.hpp"
