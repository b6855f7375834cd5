"""The demo's tables (examples/demo.py) and the README's excerpt of them: the printed numbers
are veltra's to the last digits, the errors printed are the errors, and SciPy's failures the
demo is about are there to see."""

from __future__ import annotations

import contextlib
import doctest
import io
import math
import re

import pytest

pytest.importorskip("scipy")
mpmath = pytest.importorskip("mpmath")

import truncnorm_reference as reference  # noqa: E402  (after the skips: it needs mpmath)
from support import ROOT, script_module  # noqa: E402

DEMO = ROOT / "examples" / "demo.py"
README = ROOT / "README.md"

#: Relative bounds of veltra's truncated-normal moments and log-cdf (tests/test_truncnorm.py).
MOMENT_BOUND = 1e-14
#: Where SciPy's variance or mean is printed as wrong, at least by this much (relative); SciPy
#: 1.18 measures 4e-11 to 2e-7 on these rows and worse on the rest.  A failure here means SciPy
#: got better, and the demo's story and the README excerpt want rewriting.
SCIPY_LOSES = {("variance", "[8, 9]"): 1e-11, ("variance", "[30, 31]"): 1e-8,
               ("variance", "[40, inf]"): 1e-8, ("variance", "[30, 30.001]"): 1e-3,
               ("mean", "[10000, 10000.001]"): 1e-9, ("mean", "[100000000, 100000001]"): 0.1}


@pytest.fixture(scope="module")
def demo():
    with script_module(DEMO, "veltra_demo") as module:
        yield module


@pytest.fixture(scope="module")
def tables(demo) -> dict[str, dict[str, list[str]]]:
    """The printed tables: title -> row label -> the cells after the label."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        demo.main()
    text = out.getvalue().split(demo.__doc__, 1)[1]
    parsed = {}
    for block in text.strip().split("\n\n")[:-1]:
        head, _, *rows = block.splitlines()
        title = head.split("  ")[0]
        parsed[title] = {}
        for row in rows:
            label, cells = re.match(r"(\S.*?\S|\S)\s{2,}(\S.*)$", row).groups()
            parsed[title][label] = cells.split()
    return parsed


def exact_moments(a: float, b: float) -> tuple[float, float, float]:
    """At 60 digits more than the reference chooses, so that a shortfall would show."""
    return reference.moments(a, b, reference.digits_for(a, b) + 60)


def relative(value: float, exact: float) -> float:
    return 0.0 if value == exact else abs(value - exact) / abs(exact)


def assert_printed_error(printed: str, value: float, exact: float) -> None:
    """The error column, rounded to one digit, is the relative error of the value printed."""
    if printed in ("0", "fails"):
        assert (value == exact) if printed == "0" else not math.isfinite(value)
    else:
        assert 0.6 <= float(printed) / relative(value, exact) <= 1.4, (printed, value, exact)


def test_every_table_and_row_is_printed(demo, tables):
    assert list(tables) == [*demo.QUANTITIES, "next to an end"]
    for quantity in demo.QUANTITIES:
        assert list(tables[quantity]) == [demo.interval_name(a, b) for a, b in demo.INTERVALS]
        assert all(len(cells) == 5 for cells in tables[quantity].values())
    assert len(tables["next to an end"]) == len(demo.NEAR_ENDS)


@pytest.mark.parametrize("k, quantity", list(enumerate(("log P", "mean", "variance"))))
def test_printed_moments_and_errors_against_mpmath(demo, tables, k, quantity):
    for a, b in demo.INTERVALS:
        ours, theirs, error_ours, error_theirs, _ = tables[quantity][demo.interval_name(a, b)]
        exact = exact_moments(a, b)
        # the mean relative to its size plus a little of the spread: the mean of [-1, 1] is 0
        scale = abs(exact[k]) + (0.1 * math.sqrt(exact[2]) if k == 1 else 0.0)
        assert abs(float(ours) - exact[k]) <= MOMENT_BOUND * scale, (a, b)
        # The error columns say what the value columns show (SciPy's to the digit printed).
        assert error_ours == "0" or float(error_ours) <= MOMENT_BOUND
        assert_printed_error(error_theirs, float(theirs), exact[k])


def test_scipy_failures_are_shown(tables):
    for (quantity, interval), at_least in SCIPY_LOSES.items():
        assert float(tables[quantity][interval][3]) >= at_least, (quantity, interval)
    # On [1e4, 1e4 + 1e-3] SciPy's variance is negative; veltra's is 1e-8.
    ours, theirs = map(float, tables["variance"]["[10000, 10000.001]"][:2])
    assert theirs < 0 < ours < 1e-8
    # The textbook formulas fail (inf or nan) on every row far out in a tail.
    assert all(tables["variance"][row][4] == "fails"
               for row in ("[30, 31]", "[-40, -39]", "[10000, 10000.001]", "[40, inf]"))


def test_values_next_to_an_end(demo, tables):
    for (name, x, a, b), cells in zip(demo.NEAR_ENDS, tables["next to an end"].values()):
        ours, theirs, error_ours, error_theirs = cells
        if name == "isf":
            exact = float(reference.quantile(x, a, b, float(ours), upper=True))
            assert abs(float(ours) - exact) <= 4 * math.ulp(exact)
        else:
            exact = (reference.log_cdf if name == "logcdf" else reference.log_sf)(x, a, b)
            assert relative(float(ours), exact) <= MOMENT_BOUND
        assert_printed_error(error_theirs, float(theirs), exact)
        assert float(error_theirs) >= 1e-8      # SciPy loses half its digits or more


@pytest.mark.parametrize("a, b", [(8.0, 9.0), (30.0, 30.001), (1e4, 1e4 + 1e-3), (1e8, 1e8 + 1.0), (40.0, math.inf)])
def test_the_reference_has_digits_to_spare(a, b):
    # The variance of a narrow interval far out is what is left of terms a^2 apart: the
    # references are taken with the digits this costs, and 40 more change nothing.
    assert reference.check_digits(a, b)


# ---------------------------------------------------------------------------------------
# The README: its first example and its excerpt of the demo

def readme_section(title: str) -> str:
    return README.read_text(encoding="utf-8").split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]


def test_readme_usage_prints_what_it_shows():
    section = re.sub(r"^```.*$", "", readme_section("Usage"), flags=re.MULTILINE)  # a fence ends an output
    example = doctest.DocTestParser().get_doctest(section, {}, "README Usage", None, 0)
    assert "veltra.stats import truncnorm" in example.examples[0].source + example.examples[1].source
    assert doctest.DocTestRunner().run(example).failed == 0


def test_readme_excerpt_is_the_demos_output(tables):
    excerpt = [line for line in readme_section("Usage").splitlines() if line.startswith("| [")]
    assert len(excerpt) >= 4
    for line in excerpt:
        interval, ours, error_ours, theirs, error_theirs = (c.strip(" `") for c in line.strip("|").split("|"))
        cells = tables["variance"][interval]
        assert [ours, theirs, error_ours, error_theirs] == cells[:4], interval
