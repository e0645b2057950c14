"""Alternatives to tarnel, each computing the same tables by the same rules:
Numba (`numba_peers`), plain Python with NumPy (`python_peers`) and a bare
C++ floor (`floor`). Every peer takes the same input as tarnel, a list of
episode arrays, and its time includes turning that list into its own form.

A peer returns (table, trace): the table in tarnel's layout (states x
actions, Fortran order) and the values tarnel prints, in print order, so the
harness can compare sums and relative changes as well as tables."""

import numpy as np

# The drivers' schedule of checks, which the module does not expose: learn
# tests for convergence from iteration CHECK_START on, every PERIOD
# iterations; fast_learn, learn_until_convergence and double_q measure at
# every PERIOD-th iteration from 0.
CHECK_START = 50000
PERIOD = 25000


def flatten(episodes):
    """All episodes' rows in one C-contiguous (N, 5) float64 array, and the
    start row of every episode plus the end (n + 1 offsets)."""
    lengths = np.fromiter((len(e) for e in episodes), dtype=np.int64, count=len(episodes))
    starts = np.zeros(len(episodes) + 1, dtype=np.int64)
    np.cumsum(lengths, out=starts[1:])
    rows = np.concatenate([e[:, :5] for e in episodes]) if episodes else np.zeros((0, 5))
    return np.ascontiguousarray(rows, dtype=np.float64), starts


def as_table(values, states, actions):
    """A column-major flat vector as a states x actions array (a view)."""
    return np.asarray(values).reshape((actions, states)).T
