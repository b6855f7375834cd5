"""The coefficient tables: generated from their construction, and matching the printed records."""

import importlib.util

import pytest

from support import ROOT, TABLES, TABLES_HEADER

# Records printed with the construction (first two and last of each table).
PRINTED = {
    ("RTABLE_LOW", 0): [1.0, -0.05222142238813716, 0.002314814814632304, -9.066219018308359e-05,
                        3.2150148093635393e-06, -1.049207214667232e-07, 3.1747412868461658e-09,
                        -8.181832155743707e-11],
    ("RTABLE_LOW", 1): [0.9500058434233228, -0.04785142539805684, 0.0020611150286913332,
                        -7.879070439434305e-05, 2.7351696394277882e-06, -8.756884001248881e-08,
                        2.6040490377601506e-09, -6.612821122656705e-11],
    ("RTABLE_LOW", 11): [0.6194428089243869, -0.02252818859274345, 0.0007418496349378746,
                         -2.249422893909321e-05, 6.356335378143368e-07, -1.6888739426799828e-08,
                         4.235564664619773e-10, -9.295303129514128e-12],
    ("RTABLE_MID", 0): [0.34432045758120156, -0.03405489990411223, 0.001192475013485524,
                        -1.3635915460280841e-05, -1.3251365677088036e-07, 2.4578598186034305e-09,
                        4.7259798016565235e-11, -2.1299291732726891e-13],
    ("RTABLE_MID", 1): [0.3114442667663644, -0.031711375106782305, 0.0011507974681864693,
                        -1.4140453769849712e-05, -1.1952291224066734e-07, 2.7367623481353177e-09,
                        4.577568410470565e-11, -3.4644867471321874e-13],
    ("RTABLE_MID", 25): [0.005399035170233996, -0.0017992474166552762, 0.00019035152391663708,
                         -7.275888307985233e-06, 1.626582865548259e-07, -1.3410511347824749e-09,
                         -4.2913325720609484e-11, 1.409765189350702e-12],
    ("RTABLE_D3", 0): [2.0, -0.26319596883625507, 0.014336080623274922, -0.0003959952602827748,
                       4.9514198856184626e-06, 4.228710181162853e-09, -6.27381397100515e-10,
                       -1.2478958407475078e-12, 8.792260397509944e-14],
    ("RTABLE_D3", 1): [1.7507490715467915, -0.23569197031978043, 0.013177836214377224,
                       -0.00037615988001909177, 4.963115195995371e-06, 4.431400465953996e-10,
                       -6.336440458132301e-10, -5.439584037100775e-13, 9.36208303348316e-14],
    ("RTABLE_D3", 44): [1.3618684871246934e-05, -1.0240158871515846e-05, 3.09855654748656e-06,
                        -4.839562344425118e-07, 4.2339425714291866e-08, -2.227233852439785e-09,
                        8.123610422588729e-11, -2.112980412160489e-12, 3.472000806969173e-14],
}


def test_generator_reproduces_committed_header():
    pytest.importorskip("mpmath")
    spec = importlib.util.spec_from_file_location("gen_tables", ROOT / "tools" / "gen_tables.py")
    gen = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(gen)
    assert gen.generate() == TABLES_HEADER.read_text()


def test_header_says_it_is_generated():
    first = TABLES_HEADER.read_text().splitlines()[0]
    assert "tools/gen_tables.py" in first and "do not edit by hand" in first


@pytest.mark.parametrize("name, records, width", [("RTABLE_LOW", 12, 8), ("RTABLE_MID", 26, 8), ("RTABLE_D3", 45, 9)])
def test_table_shapes(name, records, width):
    assert len(TABLES[name]) == records
    assert all(len(row) == width for row in TABLES[name])


@pytest.mark.parametrize("key", sorted(PRINTED))
def test_printed_records(key):
    name, i = key
    assert TABLES[name][i] == PRINTED[key]


def test_interpolants_match_targets_at_segment_midpoints():
    """Each record reproduces its target between the nodes too (not just at them)."""
    mpmath = pytest.importorskip("mpmath")
    from support import mills_exact

    def check(name, i, x, local, target):
        c = TABLES[name][i]
        p = sum(ck * local ** k for k, ck in enumerate(c))
        assert abs(p - target(x)) <= 3e-16 * abs(target(x)), (name, i)

    with mpmath.workdps(40):
        for i in range(12):
            x = mpmath.mpf(i + 0.5) / 12
            check("RTABLE_LOW", i, x, 0.5, lambda x: (mpmath.sqrt(mpmath.pi / 2) - mills_exact(x)) / x)
        for i in range(26):
            x = (32 + mpmath.mpf(2.5) * (i + 0.5)) / (32 - (i + 0.5))
            check("RTABLE_MID", i, x, 0.5, lambda x: 1 - x * mills_exact(x))
        for i in range(45):
            x = mpmath.mpf(3.5) * (i + 0.5) / (50 - (i + 0.5))
            check("RTABLE_D3", i, x, 0.5, lambda x: x * x + 2 - (x ** 3 + 3 * x) * mills_exact(x))
