"""Loading NumPy's API on first use, in fresh interpreters: importing the
module does not import NumPy, the API loads without any warning, the fallback
to numpy._core when numpy.core.multiarray cannot be imported, and a failed load
that is a training failure, leaves nothing of the failed import alive and is
tried again by the next call; and the C-API versions read: another major
version refused before anything else of its table is read, feature versions
from NumPy 1.25's on."""

import subprocess
import sys
import textwrap

import pytest

LOAD_FAILURE = "failed to access the NumPy array API capsule (_ARRAY_API)"


def run_python(code):
    """Runs `code` in a fresh interpreter with warnings as errors; returns
    (exit code, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-W", "error", "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60)
    return done.returncode, done.stdout, done.stderr


def test_import_does_not_import_numpy():
    code, out, err = run_python("""
        import sys, tarnel
        assert "numpy" not in sys.modules, "numpy imported by tarnel"
        print("ok")
        """)
    assert (code, out) == (0, "ok\n"), err


def test_numpy_api_failure_is_a_training_failure_and_next_call_retries():
    # Blocking the import makes the first access to the API fail; the API is
    # loaded per call until it succeeds, so the next call works.
    code, out, err = run_python("""
        import sys
        import tarnel
        sys.modules["numpy"] = None
        try:
            tarnel.qlearn_forward([], (2, 3), 0.9, 0.1, 0, False)
        except Exception as error:
            print("Exception", type(error).__name__)
        except BaseException as error:
            print("BaseException", type(error).__bases__ == (BaseException,), "_ARRAY_API" in str(error))
        del sys.modules["numpy"]
        print(tarnel.qlearn_forward([], (2, 3), 0.9, 0.1, 0, False).shape)
        """)
    assert (code, out) == (0, "BaseException True True\n(2, 3)\n"), err
    assert err == f"tarnel: {LOAD_FAILURE}\n"


def test_api_loads_without_warnings():
    # A fresh interpreter, so the API table is loaded here and not by an
    # earlier test; any warning on the way is an error.
    code, out, err = run_python("""
        import numpy, tarnel
        print(tarnel.qlearn_forward([numpy.zeros((1, 5))], (1, 1), 0.9, 0.1, 1, False).shape)
        """)
    assert (code, out, err) == (0, "(1, 1)\n", "")


def test_numpy_core_blocked_falls_back_to_numpy_private_core():
    code, out, err = run_python("""
        import importlib.util, sys
        import numpy as np
        if importlib.util.find_spec("numpy._core.multiarray") is None:
            print("no numpy._core")
            raise SystemExit
        sys.modules["numpy.core.multiarray"] = None
        import tarnel
        print(tarnel.qlearn_forward([np.zeros((1, 5))], (1, 1), 0.9, 0.1, 1, False).shape)
        """)
    assert (code, err) == (0, "")
    assert out in ("(1, 1)\n", "no numpy._core\n")


def test_failed_load_leaves_no_frames_alive():
    # The failure of the load is raised from a Python frame holding a local;
    # once the training failure that carries it as its cause is gone, nothing
    # of that frame may be left. The next call loads the API.
    code, out, err = run_python("""
        import gc, sys, types, weakref
        import numpy as np
        import tarnel

        class Local:
            pass

        alive = []

        def missing(name):
            local = Local()
            alive.append(weakref.ref(local))
            raise RuntimeError("no " + name + " here")

        real = sys.modules["numpy.core.multiarray"] if "numpy.core.multiarray" in sys.modules else None
        fake = types.ModuleType("numpy.core.multiarray")
        fake.__getattr__ = missing
        sys.modules["numpy.core.multiarray"] = fake
        try:
            tarnel.qlearn_forward([np.zeros((1, 5))], (1, 1), 0.9, 0.1, 1, False)
        except BaseException as error:
            print(type(error).__name__, str(error), repr(error.__cause__), sep=" | ")
        gc.collect()
        print([ref() is None for ref in alive])
        if real is None:
            del sys.modules["numpy.core.multiarray"]
        else:
            sys.modules["numpy.core.multiarray"] = real
        print(tarnel.qlearn_forward([np.zeros((1, 5))], (1, 1), 0.9, 0.1, 1, False).shape)
        """)
    assert code == 0, err
    assert out == (f"TrainingFailure | {LOAD_FAILURE} | RuntimeError('no _ARRAY_API here')\n"
                   "[True]\n(1, 1)\n")
    assert err == f"tarnel: {LOAD_FAILURE}\n"


REFUSED = f"{LOAD_FAILURE}\nthe NumPy found has C-API "
# (C-API version, feature version or None, what the call prints). The stub's
# table holds the slots of the versions given; with a feature version, also
# the array type and the descriptor lookup that a load reads, and no other:
# a read of any other slot would follow a null pointer.
VERSIONS = {
    "major 3": (0x03000000, None, REFUSED + "version 0x03000000; this module reads major versions 1 (NumPy 1.26) and 2 "
                "(NumPy 2)\n"),
    "feature 0x10": (0x01000009, 0x10, REFUSED + "feature version 0x00000010; this module reads feature versions "
                     "0x00000011 (NumPy 1.25) and later\n"),
    "feature 0x11, NumPy 1.25 and 1.26": (0x01000009, 0x11, "loaded | argument 'data': 'object' object cannot be "
                                          "converted to 'PyArray'\n"),
}


@pytest.mark.parametrize("version, feature, printed", VERSIONS.values(), ids=VERSIONS)
def test_the_c_api_versions_read(version, feature, printed):
    code, out, err = run_python(f"""
        import ctypes, sys, types
        class Array:
            pass
        def slot(function):
            return ctypes.cast(function, ctypes.c_void_p).value
        version = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: {version})
        table = (ctypes.c_void_p * 300)(slot(version))
        feature_version = {feature!r}
        if feature_version is not None:
            feature = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: feature_version)
            descr = ctypes.CFUNCTYPE(ctypes.py_object, ctypes.c_int)(lambda type_number: Array())
            table[2], table[45], table[211] = id(Array), slot(descr), slot(feature)
        capsule = ctypes.pythonapi.PyCapsule_New
        capsule.restype, capsule.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        sys.modules.update((name, types.ModuleType(name)) for name in ("numpy", "numpy.core", "numpy.core.multiarray"))
        sys.modules["numpy.core.multiarray"]._ARRAY_API = capsule(table, None, None)
        import tarnel
        try:
            tarnel.qlearn_forward([object()], (1, 1), 0.9, 0.5, 1, False)
        except tarnel.TrainingFailure as failure:
            print(failure, *failure.__notes__, sep="\\n")
        except TypeError as error:
            print("loaded", error, sep=" | ")
        """)
    assert (code, err) == (0, f"tarnel: {LOAD_FAILURE}\n" if printed.startswith(REFUSED) else "")
    assert out == printed
