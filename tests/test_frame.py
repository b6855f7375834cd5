"""The module frame, seen through veltra.mills: import, namespace, function objects, argument
parsing, tracebacks and the element-wise pattern."""

import builtins
import dis
import importlib
import inspect
import io
import pickle
import shutil
import subprocess
import sys
import textwrap
import traceback

import numpy as np
import pytest

import veltra.mills as mills
from veltra.mills import millsratio

from support import ROOT, R_steps

MILLS_FUNCTIONS = ["millsratio", "millsratio_d1", "millsratio_d3", "millsratio_rel_below1"]


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def traceback_names(exc: BaseException) -> list[str]:
    return [entry.name for entry in traceback.extract_tb(exc.__traceback__)]


# ---------------------------------------------------------------------------------------
# Import and namespace

def test_namespace_order_after_fresh_import():
    result = run_python("import veltra.mills as m; print(list(vars(m)))")
    assert result.returncode == 0, result.stderr
    names = eval(result.stdout)
    standard = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]
    assert names == standard + ["__builtins__", "np"] + MILLS_FUNCTIONS + ["__test__"]


def test_module_attributes():
    assert mills.__name__ == "veltra.mills"
    assert mills.np is np
    assert mills.__test__ == {}
    assert mills.__builtins__ is builtins
    assert mills.__package__ == "veltra"
    assert mills.__file__ == mills.__spec__.origin
    assert mills.__doc__.startswith(
        "Mills ratio R(x) = N(-x)/n(x), -R'(x), -R'''(x), plus (sqrt(pi/2) - R(x))/x on [0, 1].\n")


def test_reimport_returns_the_same_module():
    saved = sys.modules.pop("veltra.mills")
    try:
        again = importlib.import_module("veltra.mills")
        assert again is saved
        assert again.millsratio is millsratio
    finally:
        sys.modules["veltra.mills"] = saved


def test_second_interpreter_is_refused():
    result = run_python("""
        import veltra.mills
        try:
            import _interpreters
            iid = _interpreters.create(_interpreters.new_config("legacy"))
        except Exception as exc:
            print("SKIP", exc)
            raise SystemExit
        _interpreters.run_string(iid, '''
        try:
            import veltra.mills
            print("IMPORTED")
        except ImportError as exc:
            print("ImportError:", exc)
        ''')
    """)
    if result.stdout.startswith("SKIP"):
        pytest.skip(result.stdout)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == ("ImportError: Interpreter change detected - this module can only be "
                                     "loaded into one interpreter per process.")


def test_failed_initialisation_can_be_retried():
    result = run_python("""
        import sys, traceback
        import numpy
        sys.modules["numpy"] = None          # makes the import of numpy fail inside exec
        try:
            import veltra.mills
        except ImportError as exc:
            print(type(exc).__name__, [e.name for e in traceback.extract_tb(exc.__traceback__)])
        print("veltra.mills" in sys.modules)
        sys.modules["numpy"] = numpy
        import veltra.mills
        print(veltra.mills.millsratio(0.0))
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("ModuleNotFoundError") and "'init veltra.mills'" in lines[0]
    assert lines[1:] == ["False", "1.2533141373155003"]


def test_numpy_c_api_failure_is_an_import_error_with_context():
    result = run_python("""
        import sys, traceback
        import numpy
        sys.modules["numpy._core._multiarray_umath"] = None   # NumPy's C API cannot be loaded
        sys.modules["numpy.core._multiarray_umath"] = None
        try:
            import veltra.mills
        except ImportError as exc:
            print(str(exc), type(exc.__context__).__name__, traceback.extract_tb(exc.__traceback__)[-1].name)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "numpy._core.multiarray failed to import ModuleNotFoundError init veltra.mills"


@pytest.mark.parametrize("name", ["mills", "ratiodiff", "intmean", "ufuncs", "truncnorm"])
def test_only_the_entry_point_is_exported(name):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    module = importlib.import_module(f"veltra.{name}")
    out = subprocess.run([nm, "-D", "--defined-only", module.__file__], capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == [f"PyInit_{name}"]


# ---------------------------------------------------------------------------------------
# Function objects

@pytest.mark.parametrize("name", MILLS_FUNCTIONS)
def test_introspection(name):
    f = getattr(mills, name)
    assert not isinstance(f, type(len))
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "veltra.mills"
    assert str(inspect.signature(f)) == "(x)"
    assert f.__code__.co_argcount == 1 and f.__code__.co_varnames[0] == "x"
    assert f.__globals__ is vars(mills)
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert pickle.loads(pickle.dumps(f)) is f
    assert isinstance(f.__doc__, str) and f.__doc__


# __code__ of every function: what introspection reads, pinned as the functions declare it.
UNARY_VARNAMES = ("x", "x_arr", "scalar", "flat", "out")
CODE_SIGNATURES = [
    ("mills", "millsratio", "(x)", UNARY_VARNAMES),
    ("mills", "millsratio_d1", "(x)", UNARY_VARNAMES),
    ("mills", "millsratio_d3", "(x)", UNARY_VARNAMES),
    ("mills", "millsratio_rel_below1", "(x)", UNARY_VARNAMES),
    ("ratiodiff", "millsratio_dd", "(x, dx, theta=1)", ("x", "dx", "theta", "fx", "fdx", "o", "i", "n", "th",
                                                        "x_arr", "dx_arr", "bshape", "scalar", "flat_x", "flat_dx", "out")),
    ("ratiodiff", "millsratio_dd_cf", "(x, dx, n_terms=4)", ("x", "dx", "n_terms", "fx", "fdx", "o", "i", "n", "nt",
                                                             "x_arr", "dx_arr", "bshape", "scalar", "flat_x", "flat_dx", "out")),
    ("intmean", "logrel", "(x)", UNARY_VARNAMES),
    ("intmean", "powrel", "(x, a)", ("x", "a", "x_arr", "a_arr", "bx", "ba", "scalar", "fx", "fa", "out")),
    ("truncnorm", "_sample", "(a, b, bit_generator, out)", ("a", "b", "bit_generator", "out")),
]
CODE_IDS = [name for _, name, _, _ in CODE_SIGNATURES]
FUNCTIONS = [(module, name) for module, name, _, _ in CODE_SIGNATURES]


def declaration_line(module: str, name: str) -> int:
    """The line of the __LINE__ that closes the entry of `name` in its module's function table."""
    lines = (ROOT / "src" / "veltra" / f"{module}.cpp").read_text().splitlines()
    start = next(i for i, line in enumerate(lines) if line.lstrip().startswith(f'{{"{name}",'))
    return next(i for i in range(start, len(lines)) if "__LINE__" in lines[i]) + 1


@pytest.mark.parametrize("module, name, signature, varnames", CODE_SIGNATURES, ids=CODE_IDS)
def test_code_describes_the_signature(module, name, signature, varnames):
    f = getattr(importlib.import_module(f"veltra.{module}"), name)
    code = f.__code__
    nparams = signature.count(",") + 1
    assert str(inspect.signature(f)) == signature
    assert (code.co_name, code.co_qualname) == (name, name)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (nparams, 0, 0)
    assert code.co_varnames == varnames and code.co_nlocals == len(varnames)
    assert code.co_cellvars == code.co_freevars == ()
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert code.co_filename == f"veltra/{module}.cpp"
    assert code.co_firstlineno == declaration_line(module, name)
    with pytest.raises(TypeError) as info:
        f()
    assert traceback.extract_tb(info.value.__traceback__)[-1].lineno == code.co_firstlineno


@pytest.mark.parametrize("module, name", FUNCTIONS, ids=CODE_IDS)
def test_code_disassembles(module, name):
    code = getattr(importlib.import_module(f"veltra.{module}"), name).__code__
    dis.dis(code, file=io.StringIO())
    assert [i.opname for i in dis.get_instructions(code)][-1] == "RAISE_VARARGS"


# Run in a child interpreter: a code object whose bytecode is not sound aborts or crashes the
# interpreter that executes it, and that must fail this test rather than end the test run.
@pytest.mark.parametrize("module, name", FUNCTIONS, ids=CODE_IDS)
def test_executing_code_raises_instead_of_crashing(module, name):
    result = run_python(f"""
        import importlib, traceback, types
        f = importlib.import_module("veltra.{module}").{name}
        code = f.__code__
        bare = code.replace(co_argcount=0)
        attempts = [
            lambda: types.FunctionType(code, {{}})(*[1.0] * code.co_argcount),
            lambda: exec(bare),
            lambda: exec(bare, f.__globals__),
            lambda: exec(bare, {{"__builtins__": __builtins__}}, {{}}),
        ]
        for attempt in attempts:
            try:
                attempt()
                print("returned")
            except Exception as exc:
                entry = traceback.extract_tb(exc.__traceback__)[-1]
                print(type(exc).__name__, entry.name, entry.lineno, exc, sep="|")
    """)
    assert result.returncode == 0, result.stderr
    qualified = f"veltra.{module}.{name}"
    message = (f"this code object only describes the signature of the compiled function {qualified}; "
               f"call that function itself")
    line = declaration_line(module, name)
    assert result.stdout.splitlines() == [f"TypeError|{name}|{line}|{message}"] * 4


def test_docstring():
    assert millsratio.__doc__ == "Mills ratio R(x) = N(-x)/n(x); scalar or ndarray, any x."


def test_function_type_cannot_be_instantiated():
    with pytest.raises(TypeError):
        type(millsratio)()


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "millsratio() takes exactly 1 positional argument (0 given)"),
    ((1.0, 2.0), {}, "millsratio() takes exactly 1 positional argument (2 given)"),
    ((1.0, 2.0), {"x": 1.0}, "millsratio() takes exactly 1 positional argument (2 given)"),
    ((2.0,), {"x": 2.0}, "millsratio() got multiple values for keyword argument 'x'"),
    ((), {"y": 2.0}, "millsratio() got an unexpected keyword argument 'y'"),
    ((), {"y": 2.0, "x": 1.0}, "millsratio() got an unexpected keyword argument 'y'"),
    ((1.0,), {"y": 2.0}, "millsratio() got an unexpected keyword argument 'y'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        millsratio(*args, **kwargs)
    assert str(info.value) == message
    assert traceback_names(info.value)[-1] == "veltra.mills.millsratio"


def test_keyword_call():
    assert millsratio(x=2.0) == millsratio(2.0)
    key = "".join(["x"])  # an equal but not identical string
    assert millsratio(**{key: 2.0}) == millsratio(2.0)


def test_conversion_error_passes_through_with_traceback_entry():
    with pytest.raises(ValueError, match="could not convert string to float") as info:
        millsratio("abc")
    assert "veltra.mills.millsratio" in traceback_names(info.value)
    with pytest.raises(TypeError):
        millsratio(1 + 2j)


def test_np_is_looked_up_at_every_call(monkeypatch):
    calls = []

    class RecordingNumPy:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(mills, "np", RecordingNumPy())
    assert millsratio([0.0]).tolist() == [1.2533141373155003]
    assert calls[:4] == ["asarray", "float64", "ascontiguousarray", "empty_like"]


def test_deleted_np_raises_name_error(monkeypatch):
    monkeypatch.delattr(mills, "np")
    with pytest.raises(NameError, match="^name 'np' is not defined$") as info:
        millsratio(1.0)
    assert traceback_names(info.value)[-1] == "veltra.mills.millsratio"
    monkeypatch.setattr(builtins, "np", np, raising=False)
    assert millsratio(0.0) == 1.2533141373155003


# ---------------------------------------------------------------------------------------
# The element-wise pattern

@pytest.mark.parametrize("value", [0.5, 2, True, np.float64(0.5), np.float32(0.5), np.int8(3), np.array(0.5)])
def test_zero_dimensional_input_gives_python_float(value):
    result = millsratio(value)
    assert type(result) is float
    assert result == R_steps(float(value))


@pytest.mark.parametrize("value, shape", [
    ([0.5], (1,)),
    ([[0.0, 1.0], [2.0, -1.0]], (2, 2)),
    (np.zeros((2, 0)), (2, 0)),
    ([], (0,)),
    (np.arange(24, dtype=np.int32).reshape(2, 3, 4), (2, 3, 4)),
    (np.array([True, False]), (2,)),
    (np.linspace(0, 5, 7, dtype=np.float32), (7,)),
    (np.linspace(0, 5, 7).astype(">f8"), (7,)),
])
def test_array_input_gives_float64_array_of_its_shape(value, shape):
    result = millsratio(value)
    assert isinstance(result, np.ndarray) and result.dtype == np.float64
    assert result.shape == shape and result.flags.c_contiguous
    expected = [R_steps(float(v)) for v in np.asarray(value, dtype=np.float64).ravel()]
    assert result.ravel().tolist() == expected


@pytest.mark.parametrize("view", [
    lambda a: np.asfortranarray(a),
    lambda a: a.T,
    lambda a: a[:, ::2],
    lambda a: a[::-1, 1:],
])
def test_non_contiguous_input_keeps_element_positions(view):
    base = np.linspace(-3, 12, 48).reshape(6, 8)
    x = view(base)
    result = millsratio(x)
    assert result.flags.c_contiguous and result.shape == x.shape
    for index in np.ndindex(x.shape):
        assert result[index] == R_steps(float(x[index]))


def test_read_only_inputs_are_accepted_and_never_written():
    x = np.linspace(0, 4, 9)
    x.setflags(write=False)
    result = millsratio(x)
    assert result.tolist() == [R_steps(v) for v in x.tolist()]
    ints = np.arange(5)
    ints.setflags(write=False)
    assert millsratio(ints).tolist() == [R_steps(float(v)) for v in range(5)]


def test_unaligned_input():
    raw = bytearray(8 * 5 + 1)
    x = np.frombuffer(raw, dtype=np.float64, count=5, offset=1)
    assert not x.flags.aligned
    x[:] = [0.0, 0.5, 2.0, 20.0, -1.0]
    assert millsratio(x).tolist() == [R_steps(v) for v in x.tolist()]


def test_input_is_not_modified_and_output_is_new():
    x = np.linspace(-2, 2, 5)
    before = x.copy()
    result = millsratio(x)
    assert result is not x and not np.shares_memory(result, x)
    assert np.array_equal(x, before)


# ---------------------------------------------------------------------------------------
# Paths that Python syntax cannot reach, driven through the C API.

def test_non_string_keyword_name():
    import ctypes

    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 1)(2.0)
    with pytest.raises(TypeError, match=r"^millsratio\(\) keywords must be strings$"):
        api.PyObject_Vectorcall(millsratio, args, 0, (1,))
    assert api.PyObject_Vectorcall(millsratio, args, 0, ("x",)) == millsratio(2.0)


def test_exec_on_another_module_object_is_refused():
    import ctypes
    import types

    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(mills)
    assert api.PyModule_ExecDef(mills, definition) == 0        # the recorded module: nothing reruns
    with pytest.raises(RuntimeError) as info:
        api.PyModule_ExecDef(types.ModuleType("impostor"), definition)
    assert str(info.value) == "Module 'mills' has already been imported. Re-initialisation is not supported."


@pytest.mark.parametrize("name, doc", [
    ("millsratio_d1", "-R'(x) = 1 - x R(x); scalar or ndarray, any x."),
    ("millsratio_d3", "-R'''(x); scalar or ndarray, any x."),
    ("millsratio_rel_below1", "(sqrt(pi/2) - R(x))/x; scalar or ndarray, 0 <= x <= 1."),
])
def test_derivative_docstrings(name, doc):
    assert getattr(mills, name).__doc__ == doc


def test_help_shows_the_signature_and_methods_bind():
    import pydoc

    assert "millsratio(x)\n" in pydoc.render_doc(millsratio, renderer=pydoc.plaintext)

    class Holder:
        f = millsratio

        def __float__(self):
            return 2.0

    assert Holder.f is millsratio
    assert Holder().f() == millsratio(2.0)   # bound like a Python function: the instance is x
