"""Boundary behaviours that the mutation check found unguarded: a float64
episode array whose dtype is an equivalent descriptor rather than NumPy's
own float64 instance, and arrays over foreign memory in an interpreter where
the mmap module cannot be imported."""

import subprocess
import sys
import textwrap

import numpy as np
import tarnel
from conftest import episode

ROWS = [(0, 1, 1.0, 1, 0), (1, 0, 0.5, 0, 1)]


def test_an_equivalent_float64_descriptor_is_accepted():
    # A dtype carrying metadata is a descriptor of its own, equivalent to
    # NumPy's float64 instance but not that instance.
    plain = episode(*ROWS)
    other = plain.astype(np.dtype(np.float64, metadata={"unit": "reward"}))
    assert other.dtype == np.float64 and other.dtype is not plain.dtype
    got = tarnel.qlearn_forward([other], (2, 2), 0.9, 0.5, 20, False)
    assert got.tobytes() == tarnel.qlearn_forward([plain], (2, 2), 0.9, 0.5, 20, False).tobytes()


def test_foreign_memory_without_the_mmap_module():
    # Memory owned by something that is not an array is copied when accepted;
    # when mmap cannot be imported no owner can be a memory map, and the
    # failed import must leave no error behind.
    code = textwrap.dedent("""
        import sys
        sys.modules["mmap"] = None
        import numpy as np
        import tarnel
        rows = np.array([[0, 1, 1.0, 1, 0], [1, 0, 0.5, 0, 1]], dtype=np.float64)
        foreign = np.frombuffer(bytearray(rows.tobytes()), dtype=np.float64).reshape(2, 5)
        got = tarnel.qlearn_forward([foreign], (2, 2), 0.9, 0.5, 20, False)
        assert got.tobytes() == tarnel.qlearn_forward([rows], (2, 2), 0.9, 0.5, 20, False).tobytes()
        print("ok")
        """)
    done = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")
