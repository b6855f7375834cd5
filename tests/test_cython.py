"""Cython modules that cimport veltra's kernels, both ways, give the Python functions' bits.

Each module is compiled here as a user would: Cython to C (or C++), then the compiler that
built this Python (sysconfig) into an extension module in a temporary directory.
"""

import importlib.util
import math
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import numpy as np
import pytest

import veltra
import veltra.intmean as intmean
import veltra.mills as mills
import veltra.ratiodiff as ratiodiff
import veltra.truncnorm as truncnorm

from support import tail_fg

# Through the capsules of veltra.intmean's __pyx_capi__, in C: the names and signatures of
# intmean.pxd must match the capsules', or the import fails.
CAPI_SOURCE = """
from veltra.intmean cimport _logrel, _powrel

def logrel(double x):
    cdef double r
    with nogil:
        r = _logrel(x)
    return r

def powrel(double x, double a):
    return _powrel(x, a)
"""

# The header-only kernels compiled into the module, in C++.
KERNELS_SOURCE = """
# distutils: language = c++
from veltra.kernels cimport (
    Mills013, TruncnormMoments, TruncnormScores, _logrel, _powrel, _R, _R1, _R3, _R013_CF, _R_DD, _R_DD_CF,
    _Rrel_below1, truncnorm_cdf, truncnorm_isf, truncnorm_log_prob, truncnorm_logcdf,
    truncnorm_kurtosis, truncnorm_logpdf, truncnorm_logsf, truncnorm_mean, truncnorm_moments, truncnorm_pdf,
    truncnorm_log_prob_grad, truncnorm_ppf, truncnorm_sf, truncnorm_skew, truncnorm_var,
)

def mills(double x):
    cdef double r, r1, r3
    with nogil:
        r = _R(x)
        r1 = _R1(x)
        r3 = _R3(x)
    return r, r1, r3

def rel_below1(double x):
    return _Rrel_below1(x)

def mills013(double x, int order):
    cdef Mills013[double] m = _R013_CF(x, order)
    return m.R, m.R1, m.R3

def ratiodiff(double x, double dx, int c):
    return _R_DD(x, dx, c), _R_DD_CF(x, dx, c)

def intmean(double x, double a):
    return _logrel(x), _powrel(x, a)

def interval(double a, double b):
    cdef TruncnormMoments m = truncnorm_moments(a, b)
    cdef TruncnormScores s = truncnorm_log_prob_grad(a, b)
    return (truncnorm_log_prob(a, b), truncnorm_mean(a, b), truncnorm_var(a, b),
            m.log_prob, m.mean, m.var, truncnorm_skew(a, b), truncnorm_kurtosis(a, b), s.lower, s.upper)

def point(double x, double a, double b):
    return (truncnorm_logpdf(x, a, b), truncnorm_pdf(x, a, b), truncnorm_logcdf(x, a, b),
            truncnorm_logsf(x, a, b), truncnorm_cdf(x, a, b), truncnorm_sf(x, a, b))

def quantiles(double q, double a, double b):
    return truncnorm_ppf(q, a, b), truncnorm_isf(q, a, b)
"""


def compiler(language):
    """The command of the compiler that built this Python, or of one on PATH."""
    configured = sysconfig.get_config_var("CXX" if language == "c++" else "CC") or ""
    command = shlex.split(configured)
    if command and shutil.which(command[0]):
        return command
    found = shutil.which("c++" if language == "c++" else "cc")
    return [found] if found else None


def build(work: Path, name: str, source: str, language: str):
    pytest.importorskip("Cython")
    command = compiler(language)
    if command is None:
        pytest.skip(f"no {language} compiler")
    pyx = work / f"{name}.pyx"
    pyx.write_text(source)
    generated = work / (f"{name}.cpp" if language == "c++" else f"{name}.c")
    cplus = ["--cplus"] if language == "c++" else []
    translated = subprocess.run([sys.executable, "-m", "cython", "-3", *cplus, str(pyx), "-o", str(generated)],
                                capture_output=True, text=True, check=True)
    # An exception check after each call would take the GIL back in a nogil loop: the
    # declarations must say noexcept.
    assert "Exception check" not in translated.stderr, translated.stderr
    library = work / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    flags = ["-std=c++17"] if language == "c++" else []
    subprocess.run([*command, *flags, "-shared", "-fPIC", "-O2", "-ffp-contract=off",
                    "-I", sysconfig.get_paths()["include"], "-I", veltra.get_include(),
                    str(generated), "-o", str(library)], check=True)
    spec = importlib.util.spec_from_file_location(name, library)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def capi(tmp_path_factory):
    return build(tmp_path_factory.mktemp("cython_capi"), "veltra_cimport_capsules", CAPI_SOURCE, "c")


@pytest.fixture(scope="module")
def kernels(tmp_path_factory):
    return build(tmp_path_factory.mktemp("cython_kernels"), "veltra_cimport_kernels", KERNELS_SOURCE, "c++")


def same_bits(a, b):
    return np.array_equal(np.asarray(a, dtype=np.float64).view(np.int64), np.asarray(b, dtype=np.float64).view(np.int64))


RNG = np.random.default_rng(14)
# Every regime of R: the reflection down to where it overflows, the polynomial pieces, the
# tails, huge arguments, zeros and special values.
X = np.concatenate([RNG.uniform(-38, 60, 300), np.logspace(-300, 300, 61), -np.logspace(-300, 1.5, 21),
                    [0.0, -0.0, math.inf, -math.inf, math.nan, 17300.0, 2.0 ** 256]])
ABOVE = np.concatenate([RNG.uniform(-0.999, 50, 200), np.logspace(-300, 300, 31), [0.0, -0.0, math.inf]])
EXPONENT = RNG.uniform(-5, 5, ABOVE.size)


def test_declarations_are_installed_next_to_the_modules():
    package = Path(veltra.__file__).parent
    assert (package / "intmean.pxd").is_file() and (package / "kernels.pxd").is_file()
    assert set(intmean.__pyx_capi__) == {"_logrel", "_powrel"}


def test_capsules_give_the_python_bits(capi):
    assert same_bits([capi.logrel(x) for x in ABOVE], intmean.logrel(ABOVE))
    assert same_bits([capi.powrel(x, a) for x, a in zip(ABOVE, EXPONENT)], intmean.powrel(ABOVE, EXPONENT))


def test_mills_kernels_give_the_python_bits(kernels):
    got = np.array([kernels.mills(x) for x in X])
    assert same_bits(got[:, 0], mills.millsratio(X))
    assert same_bits(got[:, 1], mills.millsratio_d1(X))
    assert same_bits(got[:, 2], mills.millsratio_d3(X))
    unit = np.linspace(0.0, 1.0, 101)
    assert same_bits([kernels.rel_below1(x) for x in unit], mills.millsratio_rel_below1(unit))


@pytest.mark.parametrize("order", range(5))
def test_tail_convergent_is_its_written_steps(kernels, order):
    for x in np.concatenate([RNG.uniform(1, 40, 50), [17300.0, 1e5, 1e30]]).tolist():
        a = x * x + 3.0
        F, G = tail_fg(a, order)
        D = F * a - G
        assert same_bits(kernels.mills013(x, order), [(D - F) / (D * x), F / D, G / D]), (x, order)


@pytest.mark.parametrize("c", [-3, -1, 0, 1, 4, 40])
def test_ratiodiff_kernels_give_the_python_bits(kernels, c):
    dx = RNG.uniform(-1, 1, X.size) * np.abs(X) * 0.05
    got = np.array([kernels.ratiodiff(x, d, c) for x, d in zip(X, dx)])
    assert same_bits(got[:, 0], ratiodiff.millsratio_dd(X, dx, c))
    assert same_bits(got[:, 1], ratiodiff.millsratio_dd_cf(X, dx, c))


def test_intmean_kernels_give_the_python_bits(kernels):
    got = np.array([kernels.intmean(x, a) for x, a in zip(ABOVE, EXPONENT)])
    assert same_bits(got[:, 0], intmean.logrel(ABOVE))
    assert same_bits(got[:, 1], intmean.powrel(ABOVE, EXPONENT))


def test_truncnorm_kernels_give_the_python_bits(kernels):
    a = np.concatenate([RNG.uniform(-10, 40, 150), [30.0, 1e4, 1e8, -math.inf, 0.0]])
    b = np.concatenate([a[:150] + RNG.exponential(1.0, 150), [30.001, 1e4 + 1e-3, 1e8 + 1, math.inf, math.inf]])
    x = np.where(np.isfinite(a), a + np.minimum(b - a, 5.0) * RNG.random(a.size), 0.3)
    q = RNG.random(a.size)
    interval = np.array([kernels.interval(*ab) for ab in zip(a, b)])
    log_p, mean, var = truncnorm.moments(a, b)
    assert same_bits(interval, np.stack([truncnorm.log_prob(a, b), truncnorm.mean(a, b), truncnorm.var(a, b),
                                         log_p, mean, var, truncnorm.skew(a, b), truncnorm.kurtosis(a, b),
                                         *truncnorm.log_prob_grad(a, b)], axis=1))
    point = np.array([kernels.point(*xab) for xab in zip(x, a, b)])
    assert same_bits(point, np.stack([f(x, a, b) for f in (truncnorm.logpdf, truncnorm.pdf, truncnorm.logcdf,
                                                           truncnorm.logsf, truncnorm.cdf, truncnorm.sf)], axis=1))
    quantiles = np.array([kernels.quantiles(*qab) for qab in zip(q, a, b)])
    assert same_bits(quantiles, np.stack([truncnorm.ppf(q, a, b), truncnorm.isf(q, a, b)], axis=1))


def readme_examples():
    text = (Path(__file__).resolve().parent.parent / "README.md").read_text()
    blocks = re.findall(r"^  ```cython\n(.*?)^  ```$", text, flags=re.S | re.M)
    return [textwrap.dedent(block) for block in blocks]


def test_readme_examples_compile_and_give_the_python_bits(tmp_path):
    capsules, cplus = readme_examples()
    x = np.concatenate([RNG.uniform(-0.999, 50, 500), [0.0, 1e-300, 1e300]])
    module = build(tmp_path, "veltra_readme_capsules", capsules, "c")
    out = np.empty_like(x)
    module.logrel_into(x, out)
    assert same_bits(out, intmean.logrel(x))
    module = build(tmp_path, "veltra_readme_kernels", cplus, "c++")
    a = X[X != math.inf]  # R(inf) = 0, and Cython raises ZeroDivisionError for 1.0/0.0
    module.tail_means_into(a, out := np.empty_like(a))
    assert same_bits(out, 1.0 / mills.millsratio(a))
