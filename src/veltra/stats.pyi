"""The truncated normal distribution, a drop-in for scipy.stats.truncnorm."""

from collections.abc import Callable
from typing import Any, Protocol, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from veltra._typing import Array as _Array, Scalar as _Scalar

_Float = np.float64
_Floats = NDArray[np.float64]
_Source = np.random.Generator | np.random.RandomState
_Seed = None | int | np.integer[Any] | _Source

# A method of x (or q) and the parameters: a NumPy scalar for scalars, an array for an array x.
class _AtX(Protocol):
    @overload
    def __call__(self, x: _Scalar, /, a: _Scalar, b: _Scalar, loc: _Scalar = ..., scale: _Scalar = ...) -> _Float: ...
    @overload
    def __call__(self, x: _Array, /, a: ArrayLike, b: ArrayLike, loc: ArrayLike = ..., scale: ArrayLike = ...) -> _Floats: ...
    @overload
    def __call__(self, x: ArrayLike, /, a: ArrayLike, b: ArrayLike, loc: ArrayLike = ..., scale: ArrayLike = ...) -> _Float | _Floats: ...

# A summary of the parameters.
class _OfParams(Protocol):
    @overload
    def __call__(self, a: _Scalar, b: _Scalar, loc: _Scalar = ..., scale: _Scalar = ...) -> _Float: ...
    @overload
    def __call__(self, a: ArrayLike, b: ArrayLike, loc: ArrayLike = ..., scale: ArrayLike = ...) -> _Float | _Floats: ...

class _FrozenAtX(Protocol):
    @overload
    def __call__(self, x: _Scalar, /) -> _Float: ...
    @overload
    def __call__(self, x: _Array, /) -> _Floats: ...
    @overload
    def __call__(self, x: ArrayLike, /) -> _Float | _Floats: ...

class truncnorm_gen:
    name: str
    shapes: str
    numargs: int
    badvalue: float
    def __init__(self, seed: _Seed = None) -> None: ...
    @property
    def random_state(self) -> _Source: ...
    @random_state.setter
    def random_state(self, seed: _Seed) -> None: ...
    def __call__(self, a: ArrayLike, b: ArrayLike, loc: ArrayLike = 0, scale: ArrayLike = 1) -> truncnorm_frozen: ...
    def freeze(self, a: ArrayLike, b: ArrayLike, loc: ArrayLike = 0, scale: ArrayLike = 1) -> truncnorm_frozen: ...
    logpdf: _AtX
    pdf: _AtX
    logcdf: _AtX
    cdf: _AtX
    logsf: _AtX
    sf: _AtX
    ppf: _AtX
    isf: _AtX
    mean: _OfParams
    var: _OfParams
    std: _OfParams
    median: _OfParams
    entropy: _OfParams
    def stats(self, a: ArrayLike, b: ArrayLike, loc: ArrayLike = 0, scale: ArrayLike = 1,
              moments: str = "mv") -> Any: ...
    @overload
    def moment(self, order: int | float | np.integer[Any] | np.floating[Any], a: _Scalar, b: _Scalar,
               loc: _Scalar = ..., scale: _Scalar = ...) -> _Float: ...
    @overload
    def moment(self, order: int | float | np.integer[Any] | np.floating[Any], a: ArrayLike, b: ArrayLike,
               loc: ArrayLike = ..., scale: ArrayLike = ...) -> _Float | _Floats: ...
    def interval(self, confidence: ArrayLike, a: ArrayLike, b: ArrayLike, loc: ArrayLike = 0,
                 scale: ArrayLike = 1) -> tuple[Any, Any]: ...
    def support(self, a: ArrayLike, b: ArrayLike, loc: ArrayLike = 0, scale: ArrayLike = 1) -> tuple[Any, Any]: ...
    def rvs(self, a: ArrayLike, b: ArrayLike, loc: ArrayLike = 0, scale: ArrayLike = 1,
            size: int | tuple[int, ...] | None = None, random_state: _Seed = None) -> Any: ...
    def fit(self, data: Any, *args: float, **kwds: Any) -> tuple[float, float, float, float]: ...
    def nnlf(self, theta: tuple[float, float, float, float] | ArrayLike, x: ArrayLike) -> float: ...
    def expect(self, func: Callable[[Any], Any] | None = None, args: tuple[float, float] = ...,
               loc: float = 0, scale: float = 1, lb: float | None = None, ub: float | None = None,
               conditional: bool = False, **kwds: Any) -> _Float: ...

class truncnorm_frozen:
    args: tuple[Any, ...]
    kwds: dict[str, Any]
    dist: truncnorm_gen
    a: Any
    b: Any
    def __init__(self, dist: truncnorm_gen, *args: Any, **kwds: Any) -> None: ...
    @property
    def random_state(self) -> _Source: ...
    @random_state.setter
    def random_state(self, seed: _Seed) -> None: ...
    logpdf: _FrozenAtX
    pdf: _FrozenAtX
    logcdf: _FrozenAtX
    cdf: _FrozenAtX
    logsf: _FrozenAtX
    sf: _FrozenAtX
    ppf: _FrozenAtX
    isf: _FrozenAtX
    def mean(self) -> Any: ...
    def var(self) -> Any: ...
    def std(self) -> Any: ...
    def median(self) -> Any: ...
    def entropy(self) -> Any: ...
    def stats(self, moments: str = "mv") -> Any: ...
    def moment(self, order: int | float | np.integer[Any] | np.floating[Any]) -> Any: ...
    def interval(self, confidence: ArrayLike) -> tuple[Any, Any]: ...
    def support(self) -> tuple[Any, Any]: ...
    def rvs(self, size: int | tuple[int, ...] | None = None, random_state: _Seed = None) -> Any: ...
    def expect(self, func: Callable[[Any], Any] | None = None, lb: float | None = None,
               ub: float | None = None, conditional: bool = False, **kwds: Any) -> _Float: ...

truncnorm: truncnorm_gen

class FitError(RuntimeError): ...

class TruncnormFit:
    loc: float
    scale: float
    a: float
    b: float
    lower: float
    upper: float
    cov: NDArray[np.float64]
    nllf: float
    success: bool
    message: str
    nit: int
    n: int

# data: a NumPy array or array-like, or a dask array
def fit_truncnorm(data: Any, lower: float = ..., upper: float = ...) -> TruncnormFit: ...
