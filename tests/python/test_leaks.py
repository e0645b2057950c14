"""Leak checks: every function called 10^4 times with succeeding and with
failing arguments leaves the process's resident memory, its count of live
Python objects and the reference counts of every argument where they were;
result arrays free their storage when dropped.

Bounds, for 10^4 calls after 200 calls of warm-up:
- resident memory grows by at most 2 MiB. Each call builds a 64 x 16 table
  (8 KiB) and, where it gets that far, episodes of 8 transitions (320 bytes),
  so a leaked table would add 80 MiB and leaked episodes 3 MiB;
- live objects tracked by the garbage collector grow by at most 100, so a
  leaked exception, traceback, tuple or list from any call shows 10^4;
- every argument's reference count is exactly unchanged.
Under AddressSanitizer resident memory says nothing (freed blocks wait in its
quarantine, up to 256 MiB), so only the counts are checked there.
"""

import gc
import os
import sys
import weakref

import numpy as np
import pytest

import tarnel
from conftest import SANITIZED, episode

CALLS = 10_000
WARM_UP = 200
RSS_BOUND = 2 << 20
OBJECT_BOUND = 100
PAGE = os.sysconf("SC_PAGE_SIZE")

STATES, ACTIONS = 64, 16
GOOD = episode(*[(s, s % ACTIONS, 1.0, (s + 1) % STATES, float(s == 7)) for s in range(8)])
# Out of range in row 0, which every rule checks.
OUT_OF_RANGE = episode((STATES, 0, 1.0, 0, 0), (0, 0, 1.0, 0, 1))

# What `data` is, per case; every failing case fails in a different layer:
# argument conversion, a rule inside training, the first episode pick, and a
# worker thread (the two parallel functions fail through their workers for
# the last two cases).
CASES = {
    "succeeds": lambda: [GOOD, GOOD[::-1]],
    "bad_dtype": lambda: [GOOD, GOOD.astype(np.float32)],
    "index_out_of_range": lambda: [OUT_OF_RANGE],
    "empty_list": lambda: [],
}


class Count(int):
    """An int of its own: small ints are shared by the whole interpreter, so
    their reference counts say nothing about this module."""


def arguments(name, data):
    """All positional arguments; each but `verbose` a distinct object whose
    reference count can be watched."""
    common = [data, (Count(STATES), Count(ACTIONS)), float("0.9"), float("0.1"), Count(3)]
    if name == "td_learn_backward_parallel":
        return common + [Count(2), Count(2), False, float("0.001")]
    if name == "qlearn_forward_parallel":
        return common + [Count(2), False, float("0.001")]
    return common + [False, float("0.001")]


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def live_objects():
    gc.collect()
    return len(gc.get_objects())


def call_many(function, args, times):
    for _ in range(times):
        try:
            function(*args)
        except (TypeError, MemoryError):
            pass
        except BaseException as error:  # the training failure, which is not an Exception
            if isinstance(error, (KeyboardInterrupt, SystemExit, Exception)):
                raise


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("name", tarnel.__all__)
def test_repeated_calls_leak_nothing(capfd, name, case):
    function = getattr(tarnel, name)
    args = arguments(name, CASES[case]())
    watched = [a for a in args if a is not False] + list(args[0]) + list(args[1])
    call_many(function, args, WARM_UP)
    counts = [sys.getrefcount(a) for a in watched]
    objects = live_objects()
    memory = resident()
    call_many(function, args, CALLS)
    grown = resident() - memory
    assert grown <= RSS_BOUND or SANITIZED, f"{grown} bytes more resident after {CALLS} calls"
    assert live_objects() - objects <= OBJECT_BOUND
    assert [sys.getrefcount(a) for a in watched] == counts
    # A refused argument reports nothing; every failed training reports at
    # least its own failure.
    reports = capfd.readouterr().err.splitlines()
    assert all(line.startswith("tarnel: ") for line in reports)
    if case in ("succeeds", "bad_dtype"):
        assert reports == []
    else:
        assert len(reports) >= WARM_UP + CALLS


@pytest.mark.parametrize("name", tarnel.__all__)
def test_a_dropped_result_frees_its_storage(capfd, name):
    # 2^20 x 8 entries (64 MiB) per table, 2 slabs for the parallel functions,
    # with no training (max_iterations 0): a result that outlived its last
    # reference would keep 64 MiB or more resident each round.
    function = getattr(tarnel, name)
    args = arguments(name, [GOOD])
    args[1] = (1 << 20, 8)
    args[4] = 0
    function(*args)
    memory = resident()
    for _ in range(10):
        result = function(*args)
        owner = result.base
        assert result.flags.writeable and not result.flags.owndata
        # The result holds the only reference to its owner, and the caller
        # the only one to the result.
        assert sys.getrefcount(owner) == 3  # result.base, `owner`, the call's argument
        assert sys.getrefcount(result) == 2
        alive = weakref.ref(result)
        del owner, result
        assert alive() is None
    assert resident() - memory <= RSS_BOUND or SANITIZED
    assert capfd.readouterr().err == ""
