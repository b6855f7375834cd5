"""Numerically stable relative functions."""

from typing import Any, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from veltra._typing import Array as _Array, Scalar as _Scalar

__pyx_capi__: dict[str, Any]

@overload
def logrel(x: _Scalar) -> float: ...
@overload
def logrel(x: _Array) -> NDArray[np.float64]: ...
@overload
def logrel(x: ArrayLike) -> float | NDArray[np.float64]: ...
@overload
def powrel(x: _Scalar, a: _Scalar) -> float: ...
@overload
def powrel(x: _Array, a: ArrayLike) -> NDArray[np.float64]: ...
@overload
def powrel(x: ArrayLike, a: _Array) -> NDArray[np.float64]: ...
@overload
def powrel(x: ArrayLike, a: ArrayLike) -> float | NDArray[np.float64]: ...
