"""The C++ floor (floor.cpp): the CMake target tarnel_floor of the `bench`
preset, built with the flags the module's core is built with, and called
through ctypes."""

from __future__ import annotations

import ctypes
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np


ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "bench"
LIBRARY = BUILD / "libtarnel_floor.so"


class Input(ctypes.Structure):
    _fields_ = [
        ("arrays", ctypes.c_void_p),
        ("starts", ctypes.c_void_p),
        ("episodes", ctypes.c_uint64),
        ("states", ctypes.c_uint64),
        ("actions", ctypes.c_uint64),
        ("gamma", ctypes.c_double),
        ("alpha", ctypes.c_double),
        ("iterations", ctypes.c_uint64),
        ("quit_threshold", ctypes.c_double),
        ("table", ctypes.c_void_p),
        ("trace", ctypes.c_void_p),
        ("trace_capacity", ctypes.c_uint64),
        ("seed", ctypes.c_void_p),
        ("workers", ctypes.c_uint64),
    ]


class Columns(ctypes.Structure):
    """W9's columns, as floor.cpp's `Columns` reads them."""
    _fields_ = [(name, ctypes.c_void_p) for name in ("state", "action", "reward", "next_state", "terminal")]


# The W9 drivers, on a table's columns.
COLUMN_FUNCTIONS = ("fast_learn", "td_learn_backward", "qlearn_forward_parallel")
# The reference loop's length: under 2 ms (bench/timing.py runs it twice).
REFERENCE_ITERATIONS = 1_000_000


def compiler() -> str:
    return os.environ.get("CXX", "g++")


def build() -> ctypes.CDLL:
    """Builds the library through CMake, which rebuilds only what changed."""
    cmake = Path(sys.executable).parent / "cmake"
    cmake = str(cmake) if cmake.exists() else "cmake"
    if not (BUILD / "CMakeCache.txt").exists():
        subprocess.run([cmake, "--preset", "bench"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", "--preset", "bench", "--target", "tarnel_floor"], cwd=ROOT,
                   check=True, stdout=subprocess.DEVNULL)
    lib = ctypes.CDLL(str(LIBRARY))
    for name in ("floor_qlearn_forward", "floor_td_learn_backward", "floor_expected_sarsa",
                 "floor_fast_learn", "floor_learn_until_convergence", "floor_double_q",
                 "floor_qlearn_forward_parallel"):
        getattr(lib, name).argtypes = [ctypes.POINTER(Input)]
        getattr(lib, name).restype = ctypes.c_uint64
    lib.floor_convert.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint64]
    lib.floor_convert.restype = ctypes.c_uint64
    for name in COLUMN_FUNCTIONS:
        getattr(lib, f"floor_{name}_columns").argtypes = [ctypes.POINTER(Input), ctypes.POINTER(Columns)]
        getattr(lib, f"floor_{name}_columns").restype = ctypes.c_uint64
    for name in ("floor_spin", "floor_reference"):
        getattr(lib, name).restype = ctypes.c_double
    lib.floor_spin.argtypes = [ctypes.c_uint64, ctypes.c_uint64]
    lib.floor_reference.argtypes = [ctypes.c_uint64]
    return lib


_lib = None


def library() -> ctypes.CDLL:
    global _lib
    if _lib is None:
        _lib = build()
    return _lib


def prepare(episodes):
    """The episodes as the floor's C++ reads them: a pointer to each array,
    read where it lies, as tarnel reads it, and the row offsets; gathered
    outside the timed call, as W5's pointers are. (The rows copied into one
    array beforehand would be read in one sweep, which is faster than
    reading arrays spread over memory: W2's, views into the larger array
    they were generated in, took a bare conversion 14 ms from where they
    lie against 6 ms from one copy; the floor would time a layout the
    module never sees.)"""
    arrays = [np.ascontiguousarray(e[:, :5], dtype=np.float64) for e in episodes]
    pointers = np.array([a.ctypes.data for a in arrays], dtype=np.uint64)
    lengths = np.fromiter((len(a) for a in arrays), dtype=np.int64, count=len(arrays))
    starts = np.zeros(len(arrays) + 1, dtype=np.int64)
    np.cumsum(lengths, out=starts[1:])
    return arrays, pointers, starts


def run(function, episodes, q_shape, gamma, alpha, iterations, quit_threshold=0.0, workers=0,
        seed: bytes | None = None, prepared=None):
    """Same inputs as the tarnel function; returns (table, trace) or, for the
    parallel function, (stack, None). `prepared`: prepare(episodes), when
    the caller has it already."""
    _, pointers, starts = prepared if prepared is not None else prepare(episodes)
    return _call("floor_" + function, (), pointers.ctypes.data, starts, function, q_shape, gamma, alpha,
                 iterations, quit_threshold, workers, seed)


def run_columns(function, data, q_shape, gamma, alpha, iterations, quit_threshold=0.0, workers=0,
                seed: bytes | None = None):
    """W9: the same on a workloads.FlatData, read from its columns, each
    episode converted the first time it is picked, the picks drawn ahead
    (floor.cpp). Its starts are made once per data, outside the call."""
    columns = Columns(*(column.ctypes.data for column in data.column_list()))
    return _call(f"floor_{function}_columns", (ctypes.byref(columns),), None, data.starts, function, q_shape,
                 gamma, alpha, iterations, quit_threshold, workers, seed)


def _call(name, extra, pointers, starts, function, q_shape, gamma, alpha, iterations, quit_threshold, workers,
          seed):
    S, A = q_shape
    parallel = function == "qlearn_forward_parallel"
    table = np.zeros(S * A * (workers if parallel else 1))
    trace = np.zeros(4 * (iterations // 25000 + 2))
    seed_buffer = ctypes.create_string_buffer(seed, 32) if seed is not None else None
    arguments = Input(pointers, starts.ctypes.data, len(starts) - 1, S, A, gamma, alpha,
                      iterations, quit_threshold, table.ctypes.data, trace.ctypes.data, len(trace),
                      ctypes.addressof(seed_buffer) if seed_buffer is not None else None, workers)
    if parallel:
        getattr(library(), name)(ctypes.byref(arguments), *extra)
        return table.reshape((workers, S, A), order="F"), None
    if iterations == 0:
        return table.reshape((S, A), order="F"), None
    size = getattr(library(), name)(ctypes.byref(arguments), *extra)
    return table.reshape((S, A), order="F"), trace[:size]


def reference() -> float:
    """Runs the fixed reference loop once (bench/timing.py times it)."""
    return library().floor_reference(REFERENCE_ITERATIONS)


def parallel_throughput(threads=2, iterations=20_000_000):
    """Throughput of `threads` threads of fixed work relative to one, now:
    about `threads` on free cores, about 1 when the others are taken."""
    lib = library()
    times = {}
    for n in (1, threads):
        start = time.perf_counter()
        lib.floor_spin(n, iterations)
        times[n] = time.perf_counter() - start
    return threads * times[1] / times[threads]


def convert_prepared(episodes):
    """W5: the pointers and row counts of C-contiguous arrays, gathered once
    outside the timed call."""
    arrays = [np.ascontiguousarray(e[:, :5]) for e in episodes]
    pointers = np.array([a.ctypes.data for a in arrays], dtype=np.uint64)
    rows = np.array([len(a) for a in arrays], dtype=np.uint64)
    return arrays, pointers, rows


def convert(prepared, states):
    _, pointers, rows = prepared
    return library().floor_convert(pointers.ctypes.data, rows.ctypes.data, len(rows), states)
