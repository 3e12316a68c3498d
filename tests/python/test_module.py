"""The module's surface: its namespace, the function's signature, and one module per process."""

import importlib
import inspect
import sys

import pytest

import vestra
from helpers import run_python


@pytest.mark.parametrize(
    ("expression", "expected"),
    [
        ("vestra.__all__", ["rswatcher"]),
        ("type(vestra.__all__)", list),
        ("vestra.__name__", "vestra"),
        ("vestra.__doc__", ""),
        ("hasattr(vestra, 'PanicException')", False),
        ("vestra.rswatcher.__name__", "rswatcher"),
        ("vestra.rswatcher.__qualname__", "rswatcher"),
        ("vestra.rswatcher.__module__", "vestra"),
        ("vestra.rswatcher.__doc__", None),
        ("inspect.isbuiltin(vestra.rswatcher)", True),
        ("vestra.rswatcher.__self__ is vestra", True),
        ("vestra.rswatcher.__text_signature__", "(path, callback)"),
        ("str(inspect.signature(vestra.rswatcher))", "(path, callback)"),
        (
            "[p.kind for p in inspect.signature(vestra.rswatcher).parameters.values()]",
            [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 2,
        ),
    ],
)
def test_surface(expression, expected):
    assert eval(expression) == expected  # noqa: S307 - the table's own expressions


def test_reimport_gives_the_same_module_object():
    first = sys.modules["vestra"]
    del sys.modules["vestra"]
    try:
        again = importlib.import_module("vestra")
    finally:
        sys.modules["vestra"] = first
    assert again is first
    assert again.__all__ == ["rswatcher"]


def test_concurrent_first_imports_share_one_module():
    result = run_python(
        """
        import threading
        barrier = threading.Barrier(8)
        modules = []
        def load():
            barrier.wait()
            import vestra
            modules.append(vestra)
        threads = [threading.Thread(target=load) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(modules), len({id(m) for m in modules}), modules[0].__all__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "8 1 ['rswatcher']\n"


# Runs `import vestra` in a legacy (shared-state) subinterpreter, after the main interpreter
# imported it, by whichever means this CPython offers.
SUBINTERPRETER_SCRIPT = """
import vestra

code = '''
try:
    import vestra
except ImportError as error:
    print("ImportError:", error, flush=True)
else:
    print("imported", flush=True)
'''

try:
    import _interpreters
except ImportError:
    _interpreters = None
if _interpreters is not None:
    interp = _interpreters.create("legacy")
    _interpreters.run_string(interp, code)
    _interpreters.destroy(interp)
else:
    try:
        import _xxsubinterpreters
    except ImportError:
        _xxsubinterpreters = None
    if _xxsubinterpreters is not None:
        interp = _xxsubinterpreters.create(isolated=False)
        _xxsubinterpreters.run_string(interp, code)
        _xxsubinterpreters.destroy(interp)
    else:
        try:
            import _testcapi
            _testcapi.run_in_subinterp(code)
        except (ImportError, AttributeError):
            print("no subinterpreters", flush=True)
print("main still has", vestra.__all__, flush=True)
"""


def test_import_in_subinterpreter_is_refused():
    result = run_python(SUBINTERPRETER_SCRIPT)
    assert result.returncode == 0, result.stderr
    if result.stdout.startswith("no subinterpreters"):
        pytest.skip("this CPython offers no way to create a subinterpreter")
    assert result.stdout == (
        "ImportError: vestra: single-phase extension modules like this one do not yet support "
        "subinterpreters; see https://github.com/vestra-dev/vestra/issues for progress\n"
        "main still has ['rswatcher']\n"
    )
