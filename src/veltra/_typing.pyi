"""Argument types shared by veltra's stubs (stubs only; there is no runtime module)."""

from typing import Any

import numpy as np
from numpy.typing import NDArray

# A zero-dimensional argument: the functions return a Python float for it.
Scalar = float | int | np.floating[Any] | np.integer[Any] | np.bool_
# An argument that is certainly an array: the functions return a float64 ndarray for it.
Array = NDArray[Any] | list[Any] | tuple[Any, ...]
