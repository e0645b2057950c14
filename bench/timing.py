"""The timing harness: every contender of a workload run once to warm up,
then REPEAT interleaved rounds, and the median of each contender's rounds.

A contender is a callable returning the seconds of one run, so a run timed
in another process (a build of tarnel loaded there, bench/builds.py) and
one timed here take their turns alike.
"""

from __future__ import annotations

import statistics
import time
from collections.abc import Callable

from capture import silenced
from peers import floor


def measure(contenders: dict[str, Callable[[], float]], repeat: int):
    """(median seconds by contender, every round's seconds by contender)."""
    names = list(contenders)
    with silenced():
        for name in names:  # warm-up: compilation, first-use setup, caches
            if name != "python":
                contenders[name]()
    times = {name: [] for name in names}
    for r in range(repeat):
        # Interleaved, starting with a different contender every round, so
        # slow drifts of the machine hit all of them alike.
        order = names[r % len(names):] + names[:r % len(names)]
        with silenced():
            for name in order:
                times[name].append(contenders[name]())
    return {name: statistics.median(ts) for name, ts in times.items()}, times


def spare_cores_around(run: Callable[[], object]) -> tuple[object, list[float]]:
    """run()'s result, and the throughput two threads of fixed work had
    relative to one just before and just after it: about 2 on free cores,
    about 1 when other work holds them (W4's parallel figures depend on it)."""
    probe = [floor.parallel_throughput()]
    result = run()
    probe.append(floor.parallel_throughput())
    return result, probe


def compile_numba(small_episodes) -> float | None:
    """Compiles every Numba driver on a small input (cached on disk), so the
    timings leave compilation out; its seconds, None without Numba."""
    try:
        from peers import numba_peers
    except ImportError:
        return None
    start = time.perf_counter()
    with silenced():
        for function in ("qlearn_forward", "td_learn_backward", "expected_sarsa", "fast_learn",
                         "learn_until_convergence", "double_q", "qlearn_forward_parallel"):
            numba_peers.run(function, small_episodes, (16, 4), 0.9, 0.1, 10, 0.0, 2)
    return time.perf_counter() - start
