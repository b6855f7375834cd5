// The vector Mills-ratio kernels for AVX2 (compiled with -mavx2, reached through dispatch.cpp).
#define VELTRA_ISA avx2
#include "lanes_avx2.hpp"
#include "mills_lanes.hpp"
