"""Start-up of tavorin.operators: each case runs in a fresh interpreter, since
start-up state is process-wide and lives until the process ends."""

import json
import subprocess
import sys
import sysconfig
import textwrap

import pytest
from support import STARTUP_ENTRY

SIGNATURE = (
    "double (__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_callback_type, double, double, "
    "void *, double, double, int, "
    "__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output *)"
)

# Imports the module, which must fail with `expected`, and prints the
# exception and its last traceback entry as JSON.
IMPORT_FAILS = """
def import_fails(expected):
    import json, sys, traceback
    try:
        import tavorin.operators
    except expected as exc:
        last = traceback.extract_tb(exc.__traceback__)[-1]
        print(json.dumps({"type": type(exc).__name__, "message": str(exc),
                          "entry": [last.name, last.filename, last.lineno],
                          "module_left": "tavorin.operators" in sys.modules}))
"""

# Replaces SciPy's capsule table with one built from the real capsules.
FAKE_ZEROS = """
import ctypes, sys, types
import scipy.optimize.cython_optimize._zeros as real
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
def fake_zeros(table):
    fake = types.ModuleType("scipy.optimize.cython_optimize._zeros")
    fake.__pyx_capi__ = table
    sys.modules["scipy.optimize.cython_optimize._zeros"] = fake
def renamed(capsule, name):
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    keep = ctypes.create_string_buffer(name.encode())
    renamed.keep.append(keep)
    return new_capsule(get_pointer(capsule, SIGNATURE.encode()), keep, None)
renamed.keep = []
"""


def run(code, *args):
    """Runs ``code`` in a fresh interpreter and returns its completed process."""
    prelude = f"SIGNATURE = {SIGNATURE!r}\n" + IMPORT_FAILS + FAKE_ZEROS
    return subprocess.run(
        [sys.executable, *args, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


def run_json(code, *args):
    proc = run(code, *args)
    assert proc.returncode == 0, proc.stderr
    return [json.loads(line) for line in proc.stdout.splitlines()]


def test_namespace_and_identity():
    (out,) = run_json("""
        import importlib, json
        import tavorin.operators as m
        import tavorin.operators as again
        before = dict(vars(m))
        reloaded = importlib.reload(m)
        f = m.proj_csimplex
        print(json.dumps({
            "same": m is again and reloaded is m and f is before["proj_csimplex"],
            "keys": sorted(vars(m)),
            "unchanged": all(vars(m)[k] is before[k]
                             for k in ["proj_csimplex", "__test__", "__builtins__", "__name__"]),
            "doc": m.__doc__, "test": m.__test__, "builtins": m.__builtins__ is __builtins__,
            "fn": [type(f).__name__, f.__module__, f.__name__, f.__doc__, f.__self__ is None],
        }))
    """)
    assert out["same"] and out["unchanged"] and out["builtins"]
    assert out["keys"] == sorted(
        [
            "__builtins__",
            "__doc__",
            "__file__",
            "__loader__",
            "__name__",
            "__package__",
            "__spec__",
            "__test__",
            "proj_csimplex",
        ]
    )
    assert out["doc"] is None and out["test"] == {}
    assert out["fn"] == [
        "builtin_function_or_method",
        "tavorin.operators",
        "proj_csimplex",
        None,
        True,
    ]


def test_exec_with_another_module_object_is_refused():
    (out,) = run_json("""
        import ctypes, json, types
        import tavorin.operators as m
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        try:
            api.PyModule_ExecDef(types.ModuleType("other"), api.PyModule_GetDef(m))
        except RuntimeError as e:
            print(json.dumps([str(e), "proj_csimplex" in vars(m)]))
    """)
    assert out == [
        "Module 'operators' has already been imported. Re-initialisation is not supported.",
        True,
    ]


INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)


# Runs code in a new sub-interpreter of either kind: a legacy one shares the
# main interpreter's settings, an isolated one (3.12+) refuses modules that do
# not declare support for it.
SUBINTERPRETERS = {
    "legacy": """
import _testcapi
def run_in_subinterpreter(code):
    _testcapi.run_in_subinterp(code)
""",
    "isolated": """
try:
    import _interpreters
    def run_in_subinterpreter(code):
        i = _interpreters.create("isolated")
        _interpreters.exec(i, code)
        _interpreters.destroy(i)
except ImportError:  # the module's name and interface before 3.13
    import _xxsubinterpreters
    def run_in_subinterpreter(code):
        i = _xxsubinterpreters.create(isolated=True)
        _xxsubinterpreters.run_string(i, code)
        _xxsubinterpreters.destroy(i)
""",
}
# The host's own refusal, before any of the module's code runs.
ISOLATED_REFUSAL = "module tavorin.operators does not support loading in subinterpreters"
ISOLATED = pytest.mark.skipif(
    sys.version_info < (3, 12), reason="isolated sub-interpreters exist from 3.12"
)


@pytest.mark.parametrize(
    "first, kind",
    [
        ("main", "legacy"),
        ("subinterpreter", "legacy"),
        pytest.param("main", "isolated", marks=ISOLATED),
        pytest.param("subinterpreter", "isolated", marks=ISOLATED),
    ],
)
def test_second_interpreter_is_refused(first, kind, tmp_path):
    result = tmp_path / "sub.txt"
    sub = (
        "try:\n    import tavorin.operators\n    r = 'ok'\n"
        "except ImportError as e:\n    r = str(e)\n"
        f"open({str(result)!r}, 'w').write(r)\n"
    )
    (out,) = run_json(
        SUBINTERPRETERS[kind]
        + f"""
import json
first = {first!r}
if first == "main":
    import tavorin.operators
run_in_subinterpreter({sub!r})
try:
    import tavorin.operators
    main = "ok"
except ImportError as e:
    main = str(e)
print(json.dumps([main, open({str(result)!r}).read()]))
"""
    )
    if kind == "isolated":
        # Refused before start-up, so the main interpreter may still own it.
        assert out == ["ok", ISOLATED_REFUSAL]
    elif first == "main":
        assert out == ["ok", INTERPRETER_CHANGE]
    else:
        # The interpreter that came first owns the module for good, even after it
        # ended (SciPy itself cannot be imported there, so its own import fails).
        assert out[0] == INTERPRETER_CHANGE


OTHER_INTERPRETER = (
    "tavorin.operators is bound to the interpreter that imported it; it cannot be called from "
    "another interpreter"
)


def test_call_from_a_second_interpreter_is_refused(tmp_path):
    # The function reaches the other interpreter by its address, as through any
    # object both share; a call there once hung for ever.
    result = tmp_path / "sub.txt"
    sub = (
        "import ctypes\nf = ctypes.cast(ADDRESS, ctypes.py_object).value\n"
        "y = memoryview(bytearray(48)).cast('d', (2, 3))\n"
        "try:\n    f(y, 1.0, 0.0, 1.0)\n    r = 'called'\n"
        "except RuntimeError as e:\n    r = str(e)\n"
        f"open({str(result)!r}, 'w').write(r + ' ' + str(y.tolist()))\n"
    )
    (out,) = run_json(f"""
        import json, _testcapi
        import tavorin.operators
        f = tavorin.operators.proj_csimplex
        _testcapi.run_in_subinterp({sub!r}.replace("ADDRESS", str(id(f))))
        print(json.dumps(open({str(result)!r}).read()))
    """)
    assert out == OTHER_INTERPRETER + " [[0.0, 0.0, 0.0], [0.0, 0.0, 0.0]]"


def test_missing_scipy_then_retry_succeeds():
    out = run_json("""
        import sys, json
        sys.modules["scipy"] = None
        import_fails(ImportError)
        del sys.modules["scipy"]
        import tavorin.operators as m
        print(json.dumps({"ok": callable(m.proj_csimplex)}))
    """)
    assert out[0]["type"] == "ModuleNotFoundError"
    assert out[0]["entry"] == STARTUP_ENTRY
    assert out[0]["module_left"] is False
    assert out[1] == {"ok": True}


@pytest.mark.parametrize(
    "table, exc_type, message",
    [
        (
            "{'bisect': real.__pyx_capi__['bisect'], 'brenth': real.__pyx_capi__['brenth'],"
            " 'brentq': real.__pyx_capi__['brentq']}",
            "ImportError",
            "scipy.optimize.cython_optimize._zeros does not export expected C function ridder",
        ),
        (
            "dict(real.__pyx_capi__, brentq=renamed(real.__pyx_capi__['brentq'], 'double (int)'))",
            "TypeError",
            "C function scipy.optimize.cython_optimize._zeros.brentq has wrong signature "
            f"(expected {SIGNATURE}, got double (int))",
        ),
        (
            "dict(real.__pyx_capi__, bisect=3)",
            "TypeError",
            "C function scipy.optimize.cython_optimize._zeros.bisect has wrong signature "
            f"(expected {SIGNATURE}, got (not a capsule))",
        ),
        ("[]", "ImportError", "does not export expected C function bisect"),
    ],
)
def test_capsule_table_faults(table, exc_type, message):
    (out,) = run_json(f"""
        fake_zeros({table})
        import_fails(Exception)
    """)
    assert out["type"] == exc_type
    assert out["message"].endswith(message)
    assert out["entry"] == STARTUP_ENTRY


FAKE_NUMPY = """
import sys, types, numpy
fake = types.ModuleType("numpy")
for name in ["dtype", "flatiter", "broadcast", "ndarray", "generic", "number", "integer",
             "signedinteger", "unsignedinteger", "inexact", "floating", "complexfloating",
             "flexible", "character", "ufunc"]:
    setattr(fake, name, getattr(numpy, name))
sys.modules["numpy"] = fake
"""


def test_smaller_dtype_fails_import():
    (out,) = run_json(
        FAKE_NUMPY
        + """
fake.dtype = object
import_fails(ValueError)
"""
    )
    assert out["type"] == "ValueError"
    prefix = "numpy.dtype size changed, may indicate binary incompatibility. Expected "
    assert out["message"].startswith(prefix)
    expected, got = out["message"][len(prefix) :].split(" from C header, got ")
    assert got == "16 from PyObject" and int(expected) > 16
    assert out["entry"] == STARTUP_ENTRY


GENERIC_WARNING = (
    "numpy.generic size changed, may indicate binary incompatibility. "
    "Expected 16 from C header, got 24 from PyObject"
)


# A generic whose instances are one pointer larger than a bare object.
LARGER_GENERIC = """
class generic:
    __slots__ = ("a",)
fake.generic = generic
"""


def test_larger_generic_warns_and_import_goes_on():
    (out,) = run_json(
        FAKE_NUMPY
        + LARGER_GENERIC
        + """
import json, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import tavorin.operators as m
print(json.dumps([[str(w.message), w.category.__name__] for w in caught]))
"""
    )
    assert out == [[GENERIC_WARNING, "RuntimeWarning"]]


def test_larger_generic_under_error_filter_fails_import():
    (out,) = run_json(
        FAKE_NUMPY + LARGER_GENERIC + "import_fails(RuntimeWarning)",
        "-W",
        "error::RuntimeWarning",
    )
    assert out["type"] == "RuntimeWarning" and out["message"] == GENERIC_WARNING
    assert out["entry"] == STARTUP_ENTRY


def test_missing_builtin_is_a_name_error():
    (out,) = run_json("""
        import builtins
        del builtins.enumerate
        import_fails(NameError)
    """)
    assert out["message"] == "name 'enumerate' is not defined"
    assert out["entry"] == STARTUP_ENTRY


def test_module_is_main_renames_the_module():
    (out,) = run_json("""
        import ctypes, importlib.util, json
        spec = importlib.util.find_spec("tavorin.operators")
        ctypes.c_int.in_dll(ctypes.CDLL(spec.origin), "module_is_main").value = 1
        import tavorin.operators as m
        print(json.dumps(m.__name__))
    """)
    assert out == "__main__"


def test_spec_attributes_are_copied():
    (out,) = run_json("""
        import importlib.util, json
        spec = importlib.util.find_spec("tavorin.operators")
        spec.submodule_search_locations = ["somewhere"]
        m = importlib.util.module_from_spec(spec)
        print(json.dumps([m.__path__, m.__file__ == spec.origin, m.__package__]))
    """)
    assert out == [["somewhere"], True, "tavorin.operators"]


def mismatch(build, runtime):
    return (
        f"compiletime version {build} of module 'tavorin.operators' "
        f"does not match runtime version {runtime}"
    )


# A build for 3.10 or later compares major and minor in full; a 3.9 build keeps
# three characters of each text and compares the first and the third.
FULL = sys.version_info >= (3, 10)
HOST_3_10 = "3.10.13 (main, May  9 2026, 07:34:50) [GCC 12.2.0]"
HOST_3_13 = "3.13.0 (main, May  9 2026, 07:36:57) [GCC 12.2.0]"


@pytest.mark.parametrize(
    "build, runtime, message",
    [
        ("3.9", "3.9", None),
        ("3.9", "3.1", mismatch("3.9", "3.1")),
        ("3.9", "4.9", mismatch("3.9", "4.9")),
        ("3.9", "3.9.18 (main, May  9 2026, 07:33:49) [GCC 12.2.0]", None),
        ("3.9", HOST_3_10, mismatch("3.9", "3.10" if FULL else "3.1")),
        ("3.10", HOST_3_10, None),
        ("3.10", HOST_3_13, mismatch("3.10", "3.13") if FULL else None),
        ("3.13", HOST_3_13, None),
        ("3.13", "3.12.1", mismatch("3.13", "3.12") if FULL else None),
        ("3.13", "3.1", mismatch("3.13", "3.1") if FULL else None),
        ("3.13", "4.13.0", mismatch("3.13", "4.13") if FULL else mismatch("3.1", "4.1")),
    ],
)
def test_version_mismatch_warning(core, build, runtime, message):
    import warnings

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        core.version_warning(build, runtime)
    assert [(w.category, str(w.message)) for w in caught] == (
        [(RuntimeWarning, message)] if message else []
    )
    if message:
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            with pytest.raises(RuntimeWarning):
                core.version_warning(build, runtime)


@pytest.mark.unsanitized
def test_only_the_entry_points_are_exported_and_libpython_is_not_linked():
    import tavorin.operators as m

    exported = subprocess.run(
        ["nm", "-D", "--defined-only", m.__file__], capture_output=True, text=True, check=True
    ).stdout.split()
    names = {w for w in exported if not w.startswith(("0", "_edata", "_end", "__bss"))}
    names -= {"B", "D", "T", "W", "V", "R", "u", "A"}
    assert names == {"PyInit_operators", "module_is_main"}
    needed = subprocess.run(
        ["readelf", "-d", m.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert "libpython" not in needed
    assert sysconfig.get_config_var("EXT_SUFFIX") in m.__file__
