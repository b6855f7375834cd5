"""The standard normal distribution truncated to [a, b], as NumPy ufuncs."""

import numpy as np
from numpy.typing import NDArray

log_prob: np.ufunc
mean: np.ufunc
var: np.ufunc
moments: np.ufunc
skew: np.ufunc
kurtosis: np.ufunc
log_prob_grad: np.ufunc
logpdf: np.ufunc
logcdf: np.ufunc
logsf: np.ufunc
ppf: np.ufunc
isf: np.ufunc
pdf: np.ufunc
cdf: np.ufunc
sf: np.ufunc

# The sampler behind veltra.stats.truncnorm.rvs: fills `out` in place.
def _sample(a: NDArray[np.float64], b: NDArray[np.float64], bit_generator: np.random.BitGenerator,
            out: NDArray[np.float64]) -> None: ...
