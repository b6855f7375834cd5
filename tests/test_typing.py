"""The type stubs: mypy accepts a script that uses every function and infers float for
scalar arguments and ndarray for arrays."""

import shutil
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent("""
    from typing import assert_type
    import numpy as np
    from numpy.typing import NDArray
    from veltra.mills import millsratio, millsratio_d1, millsratio_d3, millsratio_rel_below1
    from veltra.ratiodiff import millsratio_dd, millsratio_dd_cf
    from veltra.intmean import logrel, powrel, __pyx_capi__

    a = np.linspace(0.0, 1.0, 5)
    assert_type(millsratio(1.5), float)
    assert_type(millsratio(np.float32(1.5)), float)
    assert_type(millsratio(a), NDArray[np.float64])
    assert_type(millsratio([1.0, 2.0]), NDArray[np.float64])
    assert_type(millsratio_d1(2), float)
    assert_type(millsratio_d3(a), NDArray[np.float64])
    assert_type(millsratio_rel_below1(0.5), float)
    assert_type(millsratio_dd(1.0, 0.5), float)
    assert_type(millsratio_dd(1.0, 0.5, theta=-1), float)
    assert_type(millsratio_dd(a, 0.5), NDArray[np.float64])
    assert_type(millsratio_dd(1.0, a, 2), NDArray[np.float64])
    assert_type(millsratio_dd_cf(2.0, 0.5, n_terms=6), float)
    assert_type(logrel(0.5), float)
    assert_type(powrel(a, 2.0), NDArray[np.float64])
    assert_type(powrel(0.5, 2.0), float)
    total: float = millsratio(1.0) + logrel(2.0)
    capsule = __pyx_capi__["_logrel"]
    from veltra.stats import truncnorm
    assert_type(truncnorm.logpdf(0.5, 0.0, 1.0), np.float64)
    assert_type(truncnorm.ppf(a, 0.0, 1.0, loc=2.0, scale=3.0), NDArray[np.float64])
    assert_type(truncnorm.mean(0.0, 1.0), np.float64)
    frozen = truncnorm(0.0, 1.0, scale=2.0)
    assert_type(frozen.cdf(0.5), np.float64)
    assert_type(frozen.sf(a), NDArray[np.float64])
    lower, upper = frozen.interval(0.9)
    from veltra import truncnorm as truncnorm_ufuncs
    assert_type(truncnorm_ufuncs.moments, np.ufunc)
    log_p, mean, var = truncnorm_ufuncs.moments(a, a + 1.0)
    quantiles = truncnorm_ufuncs.ppf(0.5, a, np.inf)
""")


MISUSE = "from veltra.mills import millsratio\nn: int = millsratio(1.0)\nmillsratio(1.0, 2.0)\n"


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """mypy --strict over both scripts in one run (most of its time is NumPy's stubs):
    {script name: its lines of the report}."""
    pytest.importorskip("mypy")
    work = tmp_path_factory.mktemp("typing")
    (work / "use_veltra.py").write_text(SCRIPT)
    (work / "misuse.py").write_text(MISUSE)
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "use_veltra.py", "misuse.py"],
                            capture_output=True, text=True, cwd=work)
    assert result.returncode in (0, 1), result.stdout + result.stderr
    lines = result.stdout.splitlines()
    return {name: [line for line in lines if line.startswith(name)] for name in ("use_veltra.py", "misuse.py")}


def test_mypy_accepts_the_stubs(mypy_report):
    assert not [line for line in mypy_report["use_veltra.py"] if ": error:" in line], mypy_report


def test_mypy_rejects_misuse(mypy_report):
    report = "\n".join(mypy_report["misuse.py"])
    assert "Incompatible types in assignment" in report and "No overload variant" in report
