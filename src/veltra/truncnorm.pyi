"""The standard normal distribution truncated to [a, b], as NumPy ufuncs."""

import numpy as np

log_prob: np.ufunc
mean: np.ufunc
var: np.ufunc
moments: np.ufunc
logpdf: np.ufunc
logcdf: np.ufunc
logsf: np.ufunc
ppf: np.ufunc
isf: np.ufunc
pdf: np.ufunc
cdf: np.ufunc
sf: np.ufunc
ppf: np.ufunc
isf: np.ufunc
