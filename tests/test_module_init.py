"""Module _vornak itself: attributes, signature, one module object per
process, no NumPy at import time, one interpreter per process, one export."""

import importlib
import inspect
import shutil
import subprocess
import sys
import textwrap

import pytest

import _vornak

SIGNATURE = (
    "(vel, mask, nyquist, rays_wrap_around, interval_splits=3, "
    "skip_between_rays=100, skip_along_ray=100, centered=True)"
)


def run_python(code, *args):
    """Runs `code` in a fresh interpreter of this environment."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True, text=True, timeout=120,
    )


def test_module_attributes():
    assert _vornak.__version__ == "0.1.0"
    assert _vornak.__all__ == ["sweep_folds_py", "__version__"]
    assert _vornak.__doc__ == ""
    public = {name for name in dir(_vornak) if not name.startswith("_")}
    assert public == {"sweep_folds_py"}


def test_function_identity_and_signature():
    function = _vornak.sweep_folds_py
    assert function.__self__ is _vornak
    assert function.__module__ == "_vornak"
    assert function.__name__ == "sweep_folds_py"
    assert function.__text_signature__ == SIGNATURE
    assert function.__doc__.startswith("Per-gate fold counts for one sweep.")
    assert "dealiased = vel + folds*2*nyquist." in function.__doc__

    parameters = inspect.signature(function).parameters
    assert list(parameters) == [
        "vel", "mask", "nyquist", "rays_wrap_around",
        "interval_splits", "skip_between_rays", "skip_along_ray", "centered",
    ]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters.values())
    defaults = {name: p.default for name, p in parameters.items() if p.default is not p.empty}
    assert defaults == {"interval_splits": 3, "skip_between_rays": 100, "skip_along_ray": 100, "centered": True}


def test_reimport_and_reload_give_the_same_module():
    function = _vornak.sweep_folds_py
    _vornak.marker_left_by_test = 17
    try:
        del sys.modules["_vornak"]
        again = importlib.import_module("_vornak")
        assert again is _vornak
        assert again.marker_left_by_test == 17
        assert again.sweep_folds_py is function
        assert importlib.reload(_vornak) is _vornak
        assert _vornak.__all__ == ["sweep_folds_py", "__version__"]
    finally:
        sys.modules["_vornak"] = _vornak
        del _vornak.marker_left_by_test


NUMPY_BLOCKER = """
    import sys

    class NoNumpy:
        def find_spec(self, name, path=None, target=None):
            if name == "numpy" or name.startswith("numpy."):
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
            return None

    blocker = NoNumpy()
    sys.meta_path.insert(0, blocker)
"""


def test_import_without_numpy_then_first_call_fails_and_later_recovers():
    result = run_python(NUMPY_BLOCKER + """
    import _vornak
    assert "numpy" not in sys.modules
    assert _vornak.__version__ == "0.1.0"
    for attempt in range(2):
        try:
            _vornak.sweep_folds_py([[1.0]], [[False]], 10.0, False)
        except Exception:
            print("caught by except Exception")
        except BaseException as error:
            print(type(error).__bases__ == (BaseException,), len(error.args), error.args[0])
    # Nothing was cached: once NumPy can be imported the same process works.
    sys.meta_path.remove(blocker)
    import numpy as np
    print(_vornak.sweep_folds_py(np.array([[8, 9, -9, -8]], np.float32), np.zeros((1, 4), bool), 10.0, False).tolist())
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 3
    prefix = "True 1 Failed to access NumPy array API capsule: "
    assert lines[0].startswith(prefix) and lines[1].startswith(prefix)
    assert "ModuleNotFoundError: No module named 'numpy'" in lines[0]
    assert lines[2] == "[[-1, -1, 0, 0]]"


def test_import_does_not_import_numpy():
    result = run_python("""
    import sys
    import _vornak
    print(sorted(name for name in sys.modules if name.split(".")[0] == "numpy"))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


def test_array_api_that_is_not_a_capsule():
    result = run_python("""
    import numpy as np
    major = int(np.__version__.split(".")[0])
    multiarray = __import__("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray", fromlist=["_"])
    saved = multiarray._ARRAY_API
    multiarray._ARRAY_API = 42
    import _vornak
    try:
        _vornak.sweep_folds_py(np.zeros((1, 1), np.float32), np.zeros((1, 1), bool), 10.0, False)
    except BaseException as error:
        print(error.args[0])
    multiarray._ARRAY_API = saved
    print(_vornak.sweep_folds_py(np.zeros((1, 1), np.float32), np.zeros((1, 1), bool), 10.0, False).tolist())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "Failed to access NumPy array API capsule: TypeError: 'int' object cannot be converted to 'PyCapsule'",
        "[[0]]",
    ]


SECOND_INTERPRETER = """
import sys
import numpy as np
import _vornak  # the main interpreter owns the module from here on

out = sys.argv[1]
code = "\\n".join([
    "import sys",
    f"sys.path[:0] = {sys.path!r}",
    "try:",
    "    import _vornak",
    "except ImportError as error:",
    "    result = type(error).__name__ + ': ' + str(error)",
    "else:",
    "    result = 'imported'",
    f"with open({out!r}, 'w') as f:",
    "    f.write(result)",
])
try:
    import _interpreters as interpreters
except ModuleNotFoundError:
    import _xxsubinterpreters as interpreters
    # A legacy (shared-state) interpreter reaches the module's own guard.
    interp = interpreters.create(isolated=False)
    interpreters.run_string(interp, code)
else:
    interp = interpreters.create("legacy")
    interpreters.exec(interp, code)
interpreters.destroy(interp)
vel = np.array([[8, 9, -9, -8]], np.float32)
print(_vornak.sweep_folds_py(vel, np.zeros((1, 4), bool), 10.0, False).tolist())
"""


def test_second_interpreter_is_refused(tmp_path):
    try:
        importlib.import_module("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    except ModuleNotFoundError:
        pytest.skip("this interpreter offers no way to run a second interpreter")
    out = tmp_path / "result.txt"
    result = run_python(SECOND_INTERPRETER, str(out))
    assert result.returncode == 0, result.stderr
    message = out.read_text()
    assert message.startswith("ImportError: ")
    assert "does not support sub-interpreters" in message
    assert result.stdout.strip() == "[[-1, -1, 0, 0]]"


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", _vornak.__file__],
                             capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit__vornak"]
