"""NumPy ufuncs over veltra's kernels."""

import numpy as np

millsratio: np.ufunc
millsratio_d1: np.ufunc
millsratio_d3: np.ufunc
millsratio_rel_below1: np.ufunc
millsratio_dd: np.ufunc
millsratio_dd_cf: np.ufunc
logrel: np.ufunc
powrel: np.ufunc

# The lane set of the vector kernels in use: "avx512", "avx2" or "scalar".
_simd: str
