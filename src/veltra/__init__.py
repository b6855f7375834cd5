"""veltra: the Mills ratio of the normal distribution and the normal distribution truncated to
an interval, in IEEE double precision over NumPy arrays, exact where the textbook formulas
cancel (far in a tail, on narrow intervals).

- ``veltra.mills``, ``veltra.ratiodiff``, ``veltra.intmean``: the Mills ratio, its
  derivatives and divided differences, and two interval means.
- ``veltra.ufuncs``: the same functions as NumPy ufuncs (dask and xarray dispatch).
- ``veltra.truncnorm``: the standard normal truncated to [a, b] as ufuncs: log P, mean,
  variance, density, distribution functions and quantiles.
- ``veltra.stats.truncnorm``: a drop-in for ``scipy.stats.truncnorm`` on those kernels
  (``loc``, ``scale``, freezing, sampling).

Import the module you need; importing ``veltra`` itself loads none of them.
"""

from __future__ import annotations

import os

from veltra._version import __version__

__all__ = ["__version__", "get_include"]


def get_include() -> str:
    """Return the directory holding veltra's C++ kernel headers.

    Compile with ``-I`` this directory to ``#include "mills.hpp"`` and call the scalar
    kernels (``veltra::_R`` and its relatives) from C++, with the same results, bit for bit,
    as the Python functions.
    """
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "_kernels")
