"""Smoke test of tools/accuracy.py: the accuracy report runs, writes its outputs, and shows
veltra within a few ulps where the textbook formulas cancel."""

from __future__ import annotations

import math
import os

import pytest

if os.environ.get("VELTRA_SANITIZE"):
    # Importing matplotlib aborts under the preloaded AddressSanitizer runtime of
    # `make sanitize` (its pybind11 modules throw C++ exceptions the runtime cannot intercept).
    pytest.skip("matplotlib cannot be imported under the sanitizer run", allow_module_level=True)

pytest.importorskip("scipy")
pytest.importorskip("matplotlib")
mpmath = pytest.importorskip("mpmath")

from support import ROOT, script_module  # noqa: E402  (after the skips: it needs mpmath)

TOOL = ROOT / "tools" / "accuracy.py"


@pytest.fixture(scope="module")
def accuracy():
    with script_module(TOOL, "veltra_accuracy_tool") as module:
        yield module


def test_error_measure_and_references(accuracy):
    # One ulp above 1 is one ulp of error; NaN and inf where the value is finite fail.
    assert accuracy.ulp_error(1.0 + 2.0**-52, mpmath.mpf(1)) == (1.0, False)
    assert accuracy.ulp_error(math.nan, mpmath.mpf(2)) == (accuracy.FAIL_ULPS, True)
    assert accuracy.ulp_error(math.inf, mpmath.mpf(2)) == (accuracy.FAIL_ULPS, True)
    # Past the switch to the asymptotic series, the references agree with erfc at 120 digits,
    # including -R''' ~ 6/x^4, where x^2 + 2 - (x^3 + 3x) R cancels 30 digits.
    x = 2.5e4
    with mpmath.workdps(120):
        t = mpmath.mpf(x)
        r = mpmath.sqrt(mpmath.pi / 2) * mpmath.exp(t * t / 2) * mpmath.erfc(t / mpmath.sqrt(2))
        expected = (r, 1 - t * r, t * t + 2 - (t**3 + 3 * t) * r)
        for got, want in zip(accuracy.mills_exact(x), expected):
            assert abs(got / want - 1) < mpmath.mpf(10) ** -40


@pytest.fixture(scope="module")
def quick_run(accuracy, tmp_path_factory):
    out = tmp_path_factory.mktemp("accuracy")
    return out, {s.name: s for s in accuracy.run(out, quick=True, log=lambda text: None)}


def test_quick_report(accuracy, quick_run):
    out, by_name = quick_run
    report = (out / "accuracy.md").read_text(encoding="utf-8")
    assert (out / "accuracy.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # veltra on x >= 0: a few ulps for the Mills functions and logrel; the divided difference
    # within its documented 2e-14 relative (at most 180 ulps).
    for name, ulps in (("millsratio", 8), ("millsratio_d1", 8), ("millsratio_d3", 8),
                       ("millsratio_rel_below1", 8), ("logrel", 8), ("millsratio_dd (dx = 1e-6·|x|)", 180)):
        assert f"`{name.split(' (')[0]}`" in report
        study = by_name[name]
        positive = study.x >= 0
        assert positive.sum() >= 20
        assert not study.failed["veltra"][positive].any()
        assert study.errors["veltra"][positive].max() <= ulps, name
    # The textbook -R''' has lost every digit (or returns NaN) for large x, and the report
    # says so in bold.
    d3 = by_name["millsratio_d3"]
    naive = d3.formulas[0].label
    large = d3.x >= 1e3
    assert large.sum() >= 10 and (d3.errors[naive][large] >= accuracy.ALL_DIGITS_LOST).all()
    summary_row = next(line for line in report.splitlines() if line.startswith("| `millsratio_d3` |"))
    assert "**" in summary_row.split("|")[7]


@pytest.mark.parametrize("width", ["w = 1", "w = 1e-3", "w = inf"])
def test_truncnorm_panel(accuracy, quick_run, width):
    out, by_name = quick_run
    assert (out / "accuracy_truncnorm.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    report = (out / "accuracy.md").read_text(encoding="utf-8")
    # veltra's log P, mean and variance within their bounds (4e-15, 4e-15, 1e-14 relative:
    # 36, 36 and 90 ulps at most) from the mode to a = 1e4.
    for function, ulps in (("truncnorm.log_prob", 36), ("truncnorm.mean", 36), ("truncnorm.var", 90)):
        study = by_name[f"{function} ({width})"]
        assert f"| `{function}` {width} |" in report
        assert study.x.min() == 0.0 and study.x.max() == 1e4 and study.x.size >= 15
        assert not study.failed["veltra"].any()
        assert study.errors["veltra"].max() <= ulps, function
    # SciPy's variance has lost every digit by a = 1e3 (negative or wrong by more than itself),
    # and so has its kurtosis; veltra's skewness and kurtosis keep theirs (their bounds, 1e-13
    # and 4e-13 of max(1, |value|), are a few hundred to a few thousand ulps).
    for function in ("truncnorm.var", "truncnorm.kurtosis"):
        scipy_study = by_name[f"{function} ({width})"]
        far = scipy_study.x >= 1e3
        assert far.any() and (scipy_study.errors["scipy.stats.truncnorm"][far] >= accuracy.ALL_DIGITS_LOST).all()
    for function in ("truncnorm.skew", "truncnorm.kurtosis"):
        study = by_name[f"{function} ({width})"]
        assert f"| `{function}` {width} |" in report
        assert not study.failed["veltra"].any() and study.errors["veltra"].max() <= 1000, function


def test_truncnorm_errors_are_measured_against_the_exact_value(accuracy, quick_run):
    # The exact values are mpf numbers beyond double precision: a correctly rounded veltra
    # result shows an error below half an ulp, not zero, where the exact value is not a double.
    _, by_name = quick_run
    errors = by_name["truncnorm.mean (w = inf)"].errors["veltra"]
    assert 0 < errors[errors > 0].min() < 0.5
