"""The same-work check: before anything is timed, every peer (Numba, plain
Python, the C++ floor) and every further build of tarnel must reproduce the
first build's tables and printed sums bit for bit on single-episode inputs,
where training is deterministic; and a workload whose run could stop early
must be shown to run to its end.

The tarnel side of each case runs in the build's own process
(`tarnel_results`, `last_checkpoint`); the comparison runs here.
"""

from __future__ import annotations

import re

import numpy as np

from capture import module_lines, silenced
from peers import PERIOD, floor, python_peers


def parse_printed(function, lines):
    """The numbers tarnel printed, in order, as the peers trace them."""
    values = []
    for line in lines:
        if line.startswith("Q learning forward parallel"):
            continue
        if function in ("qlearn_forward", "td_learn_backward", "expected_sarsa", "fast_learn"):
            m = re.fullmatch(r"Iteration: (\d+), Qsum: (\S+), d: (\S+)", line)
        elif function == "learn_until_convergence":
            m = re.fullmatch(r"(\d+): (\S+), (\S+), (\S+)", line)
        else:  # double_q
            m = re.fullmatch(r"Iteration: (\d+), Qsum1 (\S+), Qsum2 (\S+)", line)
        if m is None:
            raise AssertionError(f"unexpected line from {function}: {line!r}")
        values += [float(g) for g in m.groups()]
    return values


def same_bits(a, b):
    """Every bit the same, NaN against NaN whatever its sign and payload (the
    printed values carry neither)."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    if a.shape != b.shape:
        return False
    return bool(np.all((np.isnan(a) & np.isnan(b)) | (a.view(np.uint64) == b.view(np.uint64))))


def check_cases(work):
    """(workloads it stands for, function, episodes, q_shape, gamma, alpha,
    iterations, quit, workers, compare printed values, run the Python peer).

    A single episode of the W1 data replayed 50001 to 150000 times, so the
    window checks run (quit 0: every check prints; 0.001: the stop fires at
    the first one); a 17 x 5 table, whose 85 entries leave a tail after the
    blocks of 8; a W3 episode on the 5000 x 20 table, whose sums tarnel
    computes several iterations at a time, and a W2 episode on the 500 x 6
    table (both too slow for the Python peer). Double Q draws a coin per
    transition even then, so its case is one whose result the coins cannot
    change: an acyclic chain of states with integer rewards, discount 0.5
    and rate 1, replayed until both tables hold the same fixed point exactly
    (every value is a short binary fraction)."""
    chain = np.array([[k, k % 4, float(k % 3 + 1), k + 1, 1.0 if k == 9 else 0.0]
                      for k in range(10)])
    g = [work["W1"].episodes[0]]
    return [
        ("W1", "qlearn_forward", g, (16, 4), 0.9, 0.1, 150_000, 0.001, 0, True, True),
        ("W1", "qlearn_forward", g, (17, 5), 0.9, 0.1, 100_001, 0.0, 0, True, True),
        ("W3", "qlearn_forward", [work["W3"].episodes[0]], (5000, 20), 0.9, 0.1, 100_001, 0.0, 0, True,
         False),
        ("W6a", "td_learn_backward", g, (16, 4), 0.9, 0.1, 100_001, 0.0, 0, True, True),
        ("W6b", "expected_sarsa", g, (16, 4), 0.9, 0.1, 100_001, 0.0, 0, True, True),
        ("W7", "fast_learn", g, (16, 4), 0.9, 0.1, 100_001, 0.0, 0, True, True),
        ("W2", "fast_learn", [work["W2"].episodes[0]], (500, 6), 0.9, 0.1, 100_001, 0.0, 0, True, False),
        ("W6c", "learn_until_convergence", g, (16, 4), 0.9, 0.1, 150_000, 0.001, 0, True, True),
        ("W6d", "double_q", [chain], (11, 4), 0.5, 1.0, 3000, 0.001, 0, False, True),
        ("W4", "qlearn_forward_parallel", g, (16, 4), 0.9, 0.1, 60_000, 0.0, 2, False, True),
    ]


def unchecked(work, keys):
    """The workloads among `keys` that train and that no case stands for."""
    covered = {case[0] for case in check_cases(work)}
    return [k for k in keys if work[k].iterations and k not in covered]


def tarnel_call(tarnel, function, episodes, q_shape, gamma, alpha, iterations, quit_threshold, workers,
                verbose=False):
    f = getattr(tarnel, function)
    if function == "qlearn_forward_parallel":
        return f(episodes, q_shape, gamma, alpha, iterations, workers, verbose, quit_threshold)
    return f(episodes, q_shape, gamma, alpha, iterations, verbose, quit_threshold)


def tarnel_results(tarnel, work):
    """In a build's process: (table, printed lines) for every case."""
    results = []
    for _, function, eps, shape, gamma, alpha, its, quit, workers, with_trace, _ in check_cases(work):
        with module_lines() as out:
            table = tarnel_call(tarnel, function, eps, shape, gamma, alpha, its, quit, workers,
                                verbose=with_trace)
        results.append((np.asarray(table), out))
    return results


def last_checkpoint(tarnel, w):
    """In a build's process: the last checkpoint learn_until_convergence
    printed on workload w (it prints every one, verbose or not)."""
    with module_lines() as out:
        tarnel.learn_until_convergence(w.episodes, w.q_shape, w.gamma, w.alpha, w.iterations, False)
    return int(out[-1].split(":")[0])


def runs_to_the_end(w, last):
    """learn_until_convergence's test must be unable to pass on its workload,
    or the timing would cover a run that stopped early: its last checkpoint
    must be the last multiple of PERIOD below the bound."""
    return last == (w.iterations - 1) // PERIOD * PERIOD


# --- peers as uniform callables: (table in tarnel's layout, trace) ---------------

def numba_peer(function, eps, shape, gamma, alpha, its, quit, workers):
    from peers import numba_peers
    return numba_peers.run(function, eps, shape, gamma, alpha, its, quit, workers)


def floor_peer(function, eps, shape, gamma, alpha, its, quit, workers):
    return floor.run(function, eps, shape, gamma, alpha, its, quit, workers)


def python_peer(function, eps, shape, gamma, alpha, its, quit, workers):
    q, trace, _, _ = python_peers.run(function, eps, shape, gamma, alpha, its, quit, workers)
    S, A = shape
    if function == "qlearn_forward_parallel":
        stack = np.array(q).reshape(workers, A, S).transpose(0, 2, 1)
        return np.asfortranarray(stack), None
    return np.array(q).reshape(A, S).T, trace


def peers(with_numba: bool):
    found = {"numba": numba_peer} if with_numba else {}
    return found | {"python": python_peer, "floor": floor_peer}


def compare(work, by_build, peer_calls, say):
    """Every peer against the first build's results, every further build
    against them too (tables and printed lines). by_build: label ->
    tarnel_results. Returns (how many differ, one line per case)."""
    labels = list(by_build)
    first = by_build[labels[0]]
    rows = []
    failures = 0
    for index, (key, function, eps, shape, gamma, alpha, its, quit, workers, with_trace,
                with_python) in enumerate(check_cases(work)):
        expected, lines = first[index]
        printed = parse_printed(function, lines) if with_trace else []
        verdicts = []
        detail = f"table + {len(printed)} printed values" if with_trace else "table"
        for name, peer in peer_calls.items():
            if name == "python" and not with_python:
                verdicts.append("python skipped")
                continue
            with silenced():
                table, trace = peer(function, eps, shape, gamma, alpha, its, quit, workers)
            ok = same_bits(np.asarray(table), expected)
            if with_trace:
                ok = ok and trace is not None and same_bits(trace, printed)
            verdicts.append(f"{name} {'same' if ok else 'DIFFERENT'}")
            failures += not ok
        for label in labels[1:]:
            table, other_lines = by_build[label][index]
            # Lines only where the case traces them: double Q's early sums
            # depend on its coins even where its result cannot.
            ok = same_bits(table, expected) and (not with_trace or other_lines == lines)
            verdicts.append(f"{label} {'same' if ok else 'DIFFERENT'}")
            failures += not ok
        case = f"{function} {shape[0]}x{shape[1]}"
        line = f"  {key:<4} {case:<30} {detail:<28} " + ", ".join(verdicts)
        say(line)
        rows.append(line.strip())
    return failures, rows
