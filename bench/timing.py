"""The timing harness: a warm-up round of every contender, then REPEAT
interleaved rounds, and the minimum of each contender's rounds.

A contender is a callable returning the seconds of one run, so a run timed
in another process (a build of tarnel loaded there, bench/builds.py) and
one timed here take their turns alike.

The work timed is deterministic and bound by the processor: a run can only
be slowed down (by another process taking the core, an interrupt, a
migration to a cold core), never sped up, so the fastest of many rounds is
the estimate that other work disturbs least. Every timed process is pinned
to the same core (`pinned`), so a contender neither moves to a cold cache
in the middle of a run nor runs on another core than the one it is set
against; W4's parallel calls need both cores, and get them (`all_cores`).

A host can slow the whole virtual machine down for a while, which no
process inside it sees in /proc/stat: a fixed reference loop (the floor
library's, a few milliseconds) is timed before every run and at the end
of every round, and a round in which it ran more than PRECISION slower
than its best time of the whole run, at the median of the round, is set
aside and run again, at most EXTRA_ROUNDS as many more rounds as were
asked for (bench/limits.md, "Verdicts").
"""

from __future__ import annotations

import contextlib
import os
import statistics
import time
from collections.abc import Callable, Iterable
from typing import NamedTuple

from capture import silenced
from peers import floor

ESTIMATOR = "minimum"
# The plain Python peer is two orders of magnitude slower than the others
# and has no goal: it runs in the first rounds only.
PYTHON_ROUNDS = 3


def estimate(times: list[float]) -> float:
    return min(times)


# Two quiet runs of the same builds give a ratio up to this far apart
# (bench/limits.md): the band within which a verdict is not decided, and
# the slowdown of the reference loop beyond which a round is set aside.
PRECISION = 0.03
# At most this share of a workload's rounds is run again in place of rounds
# set aside (and at least one round), so a slowed host lengthens a run by a
# bounded amount.
EXTRA_ROUNDS = 0.5


class Reference:
    """The reference loop's times, and the best of them in this run."""

    best = float("inf")

    @classmethod
    def time(cls) -> float:
        """The faster of two runs of the loop back to back: an interrupt or a
        moment of another thread on the core slows one of them, a host that
        runs the core slower slows both."""
        runs = []
        for _ in range(2):
            start = time.perf_counter()
            floor.reference()
            runs.append(time.perf_counter() - start)
        cls.best = min(cls.best, min(runs))
        return min(runs)

    @classmethod
    def slowed(cls, seconds: float) -> bool:
        return seconds > cls.best * (1 + PRECISION)


class Measured(NamedTuple):
    estimates: dict[str, float]  # by contender, over the rounds kept
    times: dict[str, list[float]]  # by contender, the rounds kept, in round order
    set_aside: int  # rounds the reference loop showed slowed, left out
    rounds: int  # rounds run, those set aside included


# Other work took the processor if it used more than this share of one core
# on average over the run: the kernel's own threads take about 0.01 here.
OTHER_WORK_CORES = 0.05


class OtherWork:
    """The processor time that processes other than this run took while it
    ran, in cores on average: every core's busy time (/proc/stat, time the
    hypervisor gave to others included) less this process's and its waited
    children's (the builds' processes, the memory probes). The load average
    cannot tell: the run's own processes keep it near 1 on their own."""

    def __init__(self):
        self.start = self.snapshot()

    @staticmethod
    def snapshot() -> tuple[float, float, float]:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
        # user nice system idle iowait irq softirq steal: all but idle and iowait
        busy = sum(fields[:3]) + sum(fields[5:8])
        t = os.times()
        own = t.user + t.system + t.children_user + t.children_system
        return busy / os.sysconf("SC_CLK_TCK"), own, time.monotonic()

    def cores(self) -> float:
        busy, own, now = self.snapshot()
        busy0, own0, then = self.start
        return max(0.0, (busy - busy0) - (own - own0)) / max(now - then, 1e-9)


def measure(contenders: dict[str, Callable[[], float]], repeat: int, warm_up: bool = True,
            seconds: float | None = None, fewest: int = 1) -> Measured:
    """`repeat` rounds that the reference loop shows unslowed, if the extra
    rounds allowed suffice; with `seconds`, only as many as fit in that
    time, once `fewest` are kept. `warm_up` False: the contenders ran just
    before on the same data, so they need no warm-up round."""
    names = list(contenders)
    if warm_up:
        with silenced():
            for name in names:  # the warm-up round: compilation, first-use setup, caches
                if name != "python":
                    contenders[name]()
    rounds = []  # per round: (its reference time, seconds by contender)
    kept = []
    started = time.perf_counter()

    def within(wanted):  # rounds set aside are run again, a bounded number of times
        return len(kept) < wanted and len(rounds) < wanted + max(1, int(wanted * EXTRA_ROUNDS))

    def another():
        if seconds is None or not rounds:
            return within(repeat)
        fits = (time.perf_counter() - started) * (len(rounds) + 1) / len(rounds) <= seconds
        return within(repeat) if fits else within(fewest)

    while another():
        r = len(rounds)
        # Interleaved, starting with a different contender every round, so
        # slow drifts of the machine hit all of them alike.
        order = names[r % len(names):] + names[:r % len(names)]
        taken, reference = {}, [Reference.time()]
        with silenced():
            for name in order:
                if name != "python" or r < PYTHON_ROUNDS:
                    taken[name] = contenders[name]()
                    reference.append(Reference.time())
        # The median of the round's reference times: one slowed run is what
        # the minimum over the rounds leaves out anyway; a round the host
        # slowed for most of its length is what it cannot.
        rounds.append((statistics.median(reference), taken))
        # Judged against the best of the run so far, which later rounds may lower.
        kept = [s for typical, s in rounds if not Reference.slowed(typical)]
    times = {name: [s[name] for s in kept if name in s] for name in names}
    # A contender timed only in rounds set aside (the plain Python peer runs
    # in the first rounds only) keeps those rounds.
    for name, ts in times.items():
        if not ts:
            times[name] = [s[name] for _, s in rounds if name in s]
    return Measured({name: estimate(ts) for name, ts in times.items()}, times, len(rounds) - len(kept),
                    len(rounds))


def spread(numerator: list[float], denominator: list[float]) -> tuple[float, float, float]:
    """(min, median, max) of the ratio round by round: the rounds of two
    contenders taken in the same round are paired."""
    ratios = sorted(a / b for a, b in zip(numerator, denominator))
    middle = len(ratios) // 2
    median = ratios[middle] if len(ratios) % 2 else (ratios[middle - 1] + ratios[middle]) / 2
    return ratios[0], median, ratios[-1]


def timed_core() -> int:
    """The core every timed process is pinned to: the last one this process
    may run on (the first takes most of the system's own interrupts)."""
    return max(os.sched_getaffinity(0))


def set_affinity(pids: Iterable[int], cores: set[int]) -> None:
    """Every thread of each process onto `cores` (a thread started later
    inherits its starter's)."""
    for pid in pids:
        for task in os.listdir(f"/proc/{pid}/task"):
            with contextlib.suppress(ProcessLookupError):
                os.sched_setaffinity(int(task), cores)


@contextlib.contextmanager
def all_cores(pids: Iterable[int], pinned_to: int | None):
    """While W4 runs: every core for the processes, then back onto
    `pinned_to` (None: they were not pinned, and are left alone)."""
    pids = list(pids)
    if pinned_to is None:
        yield
        return
    set_affinity(pids, set(range(os.cpu_count() or 1)))
    try:
        yield
    finally:
        set_affinity(pids, {pinned_to})


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
