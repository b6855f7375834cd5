"""The type stubs: mypy accepts a script that uses every function and infers float for
scalar arguments and ndarray for arrays."""

import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

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
    assert_type(truncnorm.moment(3, 0.0, 1.0, loc=2.0), np.float64)
    frozen = truncnorm(0.0, 1.0, scale=2.0)
    assert_type(frozen.cdf(0.5), np.float64)
    assert_type(frozen.sf(a), NDArray[np.float64])
    lower, upper = frozen.interval(0.9)
    from veltra.stats import fit_truncnorm
    assert_type(fit_truncnorm(a, 0.0, 1.0).cov, NDArray[np.float64])
    assert_type(truncnorm.fit(a, floc=0.0), tuple[float, float, float, float])
    assert_type(frozen.expect(np.cos, lb=0.5), np.float64)
    from veltra import truncnorm as truncnorm_ufuncs
    assert_type(truncnorm_ufuncs.moments, np.ufunc)
    log_p, mean, var = truncnorm_ufuncs.moments(a, a + 1.0)
    quantiles = truncnorm_ufuncs.ppf(0.5, a, np.inf)
    d_lower, d_upper = truncnorm_ufuncs.log_prob_grad(a, a + 1.0)
""")


MISUSE = "from veltra.mills import millsratio\nn: int = millsratio(1.0)\nmillsratio(1.0, 2.0)\n"


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """mypy --strict over both scripts and each stub file as a module of its own, in one run
    (most of its time is NumPy's stubs; mypy reports nothing inside an installed package, so
    a redefinition in a stub shows only there): {file name: its lines of the report}."""
    pytest.importorskip("mypy")
    work = tmp_path_factory.mktemp("typing")
    (work / "use_veltra.py").write_text(SCRIPT)
    (work / "misuse.py").write_text(MISUSE)
    stubs = sorted((Path(__file__).resolve().parent.parent / "src" / "veltra").glob("*.pyi"))
    for stub in stubs:
        shutil.copy(stub, work / stub.name)
    names = ["use_veltra.py", "misuse.py"] + [stub.name for stub in stubs]
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *names],
                            capture_output=True, text=True, cwd=work)
    assert result.returncode in (0, 1), result.stdout + result.stderr
    lines = result.stdout.splitlines()
    return {name: [line for line in lines if line.startswith(name)] for name in names}


def test_mypy_accepts_the_stubs(mypy_report):
    errors = [line for name, lines in mypy_report.items() if name != "misuse.py"
              for line in lines if ": error:" in line]
    assert not errors, errors


def test_mypy_rejects_misuse(mypy_report):
    report = "\n".join(mypy_report["misuse.py"])
    assert "Incompatible types in assignment" in report and "No overload variant" in report
