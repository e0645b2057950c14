"""W9, training at scale: each call of workloads.at_scale timed on its own,
in interleaved rounds, against the same call on the small data, the Numba
loop over the columns and the floor, with the machine's limit beside them:
the bytes the call must bring from memory over NumPy's read bandwidth,
measured in the same run.

The calls run from 10^3 iterations to 10^9 replayed transitions, so each
runs as many rounds as fit in CALL_SECONDS, at least FEWEST_ROUNDS and at
most the run's --repeat. A call that the one before it on the same data
(the same function, fewer iterations) predicts at WARM_UP_SECONDS a round
or more runs no warm-up round: that call warmed the same processes on the
same data. bench/limits.md says why.
"""

from __future__ import annotations

import contextlib
import dataclasses
import math

import numpy as np

import timing
import workloads
from workloads import ScaleCase, timed

CALL_SECONDS = 12.0
FEWEST_ROUNDS = 3
WARM_UP_SECONDS = 2.0
# The Numba loop's time per iteration at the iterations it is timed at,
# against the same at the iterations before: within this share, its time
# scales linearly to more iterations.
LINEAR = 0.10
LINE = 64  # bytes in a cache line
RECORD = 16  # bytes in one of the module's (and the floor's) training records


@dataclasses.dataclass
class CaseResult:
    case: ScaleCase
    estimates: dict  # contender -> seconds of the whole call ("numba" scaled to the call's iterations)
    raw: dict  # contender -> seconds per round, rounds kept ("numba" as timed)
    rounds: int
    set_aside: int
    numba_timed: int  # iterations the Numba loop ran
    replayed: float  # transitions the call replays (replayed())
    small_replayed: float  # the same on the small data
    limit: float  # seconds: bytes_touched() over the read bandwidth
    # (iterations, the Numba loop's time per iteration at numba_timed over
    # its time per iteration at those): where its time was scaled
    numba_linearity: tuple[int, float] | None = None

    @property
    def numba_scaled(self) -> bool:
        return self.numba_timed != self.case.iterations


@dataclasses.dataclass
class Results:
    bandwidth: float  # bytes per second: NumPy's read of a buffer far larger than the caches
    bandwidth_bytes: int
    cases: list[CaseResult]
    rows: int
    small_rows: int


def read_buffer(work: workloads.AtScale) -> list[np.ndarray]:
    """What NumPy's read is timed on: the large table's int32 state and next
    state columns, as 64-bit words (their summing costs less than the read)."""
    data = work.data[workloads.W9_TABLES[-1], workloads.W9_LENGTHS[0]]
    return [data.columns[name].view(np.uint64) for name in ("state", "next_state")]


def distinct(episodes: int, picks: int) -> float:
    """The expected number of different episodes among `picks` uniform picks."""
    return -episodes * math.expm1(picks * math.log1p(-1 / episodes))


def lines(span: float, element: int) -> float:
    """The expected number of cache lines a span of `span` bytes covers that
    starts at a random multiple of `element` bytes."""
    return (span + LINE - element) / LINE


def bytes_touched(case: ScaleCase, data: workloads.FlatData) -> float:
    """The bytes a call must bring from memory: an episode's columns when it
    is first picked (converted), its records at every later pick (the
    records of 2x10^7 transitions are ten times the last-level cache), and
    the table once (it fits the last-level cache). Every pick of an
    episode costs whole cache lines. Each worker of a parallel call picks
    and converts on its own."""
    length = data.mean_length
    first = sum(lines(length * c.dtype.itemsize, c.dtype.itemsize) for c in data.column_list()) * LINE
    again = lines(length * RECORD, RECORD) * LINE
    workers = max(1, case.workers)
    converted = distinct(data.episodes, case.iterations) * workers
    table = case.q_shape[0] * case.q_shape[1] * 8 * workers
    return converted * first + (case.picks - converted) * again + table


def replayed(case: ScaleCase, data: workloads.FlatData) -> float:
    """Transitions the call replays: its picks times the mean episode length."""
    return case.picks * data.mean_length


def numba_runner(case: ScaleCase, data: workloads.FlatData, iterations: int):
    from peers import numba_peers
    columns = (*data.column_list(), data.starts)
    return lambda: timed(lambda: numba_peers.run_columns(case.function, columns, case.q_shape, 0.9, 0.1,
                                                          iterations, 0.0, case.workers))


def floor_runner(case: ScaleCase, data: workloads.FlatData):
    from peers import floor
    return lambda: timed(lambda: floor.run_columns(case.function, data, case.q_shape, 0.9, 0.1, case.iterations,
                                                   0.0, case.workers))


def with_numba() -> bool:
    try:
        from peers import numba_peers  # noqa: F401
        return True
    except ImportError:
        return False


def time_cases(worker, work: workloads.AtScale, repeat: int, all_cores, say) -> Results:
    """Every W9 call, its contenders in `worker`'s process (tarnel) and here.
    `all_cores()`: a context in which the parallel calls get every core."""
    say("   NumPy's read of the columns (read bandwidth) ...")
    buffer = read_buffer(work)
    read = timing.measure({"numpy read": lambda: timed(lambda: [b.sum() for b in buffer])}, repeat)
    read_bytes = sum(b.nbytes for b in buffer)
    bandwidth = read_bytes / read.estimates["numpy read"]
    say(f"   {bandwidth / 1e9:.2f} GB/s")
    numba = with_numba()
    numba_seconds = {}  # (function, data key, workers, iterations) -> seconds of the Numba loop
    results = []
    previous = None  # the call before, and the seconds of its round
    for case in work.cases:
        data = work.data[case.data_key]
        contenders = {"tarnel": worker.timer("W9", case.name)}
        if case.with_small:
            contenders["tarnel" + workloads.W9_SMALL] = worker.timer("W9", case.name + workloads.W9_SMALL)
        numba_key = (case.function, case.data_key, case.workers, case.numba_iterations)
        if numba and numba_key not in numba_seconds:
            contenders["numba"] = numba_runner(case, data, case.numba_iterations)
        contenders["floor"] = floor_runner(case, data)
        group = (case.function, case.data_key, case.workers)
        predicted = (previous[1] * case.iterations / previous[0].iterations
                     if previous is not None and group == previous[2] else None)
        warm_up = predicted is None or predicted < WARM_UP_SECONDS
        say(f"   {case.name}" + ("" if warm_up else ", no warm-up") + " ...")
        with all_cores() if case.workers else contextlib.nullcontext():
            measured = timing.measure(contenders, repeat, warm_up, CALL_SECONDS, FEWEST_ROUNDS)
        estimates = dict(measured.estimates)
        if "numba" in estimates:
            numba_seconds[numba_key] = estimates["numba"]
        small = work.small[case.data_key]
        result = CaseResult(case, estimates, measured.times, measured.rounds, measured.set_aside,
                            case.numba_iterations, replayed(case, data), replayed(case, small),
                            bytes_touched(case, data) / bandwidth)
        if numba:
            estimates["numba"] = numba_seconds[numba_key] * case.iterations / case.numba_iterations
            if result.numba_scaled:
                result.numba_linearity = linearity(numba_seconds, case)
        previous = case, sum(measured.estimates.values()), group
        results.append(result)
        say(f"   {measured.rounds} rounds: " + ", ".join(f"{name} {s:.4f} s" for name, s in estimates.items())
            + (f" (numba timed at {case.numba_iterations} iterations)" if result.numba_scaled else "")
            + (f"; {measured.set_aside} of {measured.rounds} rounds set aside" if measured.set_aside else ""))
    return Results(bandwidth, read_bytes, results, work.rows, work.small_rows)


def linearity(numba_seconds: dict, case: ScaleCase) -> tuple[int, float] | None:
    """The Numba loop's time per iteration at the iterations it was timed at
    for `case`, over the same at the most iterations below that it was
    timed at on the same data: 1 where its time is linear."""
    key = (case.function, case.data_key, case.workers)
    below = [n for (f, d, w, n) in numba_seconds if (f, d, w) == key and n < case.numba_iterations]
    if not below:
        return None
    n = max(below)
    per = numba_seconds[(*key, case.numba_iterations)] / case.numba_iterations
    return n, per / (numba_seconds[(*key, n)] / n)

