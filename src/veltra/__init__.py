"""veltra: the Mills ratio of the normal distribution, its derivatives and divided
differences, and two interval means, in IEEE double precision over NumPy arrays.

The functions live in the extension modules ``veltra.mills``, ``veltra.ratiodiff`` and
``veltra.intmean``; import the one you need.  Importing ``veltra`` itself loads none of them.
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
