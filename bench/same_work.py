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

import workloads
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
    (every value is a short binary fraction). W9's cases are single-episode
    tables (workloads.FlatData), read from their columns by every peer: the
    W1 episode in W9's dtypes, an episode of W9's data on its large table,
    and one on a 2500 x 8 table, which `learn` sums in batches (W9's own
    large table would make the Numba loop take seconds)."""
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
    ] + (at_scale_cases(work) if "W9" in work else [])


def single_episode(episode: np.ndarray) -> workloads.FlatData:
    """One (rows, 5) episode as a table's columns in W9's dtypes."""
    dtypes = (np.int32, np.int8, np.float32, np.int32, np.bool_)
    return workloads.FlatData({name: np.ascontiguousarray(episode[:, k], dtype=dtype)
                               for k, (name, dtype) in enumerate(zip(workloads.COLUMNS, dtypes))},
                              np.array([len(episode)], dtype=np.int64))


def at_scale_cases(work):
    grid = single_episode(work["W1"].episodes[0])
    shape = workloads.W9_TABLES[-1]
    data = work["W9"].at_scale.data[shape, workloads.W9_LENGTHS[0]]
    first = int(data.ends[0])
    large = workloads.FlatData({name: c[:first] for name, c in data.columns.items()}, data.ends[:1])
    batched = workloads.flat_data(np.random.default_rng(workloads.SEED), 12, 2500, 8, 12, 12)
    return [
        ("W9", "fast_learn", grid, (16, 4), 0.9, 0.1, 100_001, 0.0, 0, True, False),
        ("W9", "td_learn_backward", grid, (16, 4), 0.9, 0.1, 100_001, 0.0, 0, True, False),
        ("W9", "fast_learn", large, shape, 0.9, 0.1, 100_001, 0.0, 0, True, False),
        ("W9", "td_learn_backward", batched, (2500, 8), 0.9, 0.1, 100_001, 0.0, 0, True, False),
        ("W9", "qlearn_forward_parallel", grid, (16, 4), 0.9, 0.1, 60_000, 0.0, 2, False, False),
    ]


def floor_ahead_rows(work, say):
    """W9's floor, its picks drawn ahead and its episodes converted as
    picked, against the floor's list drivers with the same seed, on W9's
    small data: the same picks in the same order give the same table and
    sums bit for bit. (tarnel's generator cannot be seeded; on one episode
    every pick is the same.) Returns (how many differ, one line per case)."""
    seed = bytes(range(32))
    failures, rows = 0, []
    for shape in workloads.W9_TABLES:
        data = work["W9"].at_scale.small[shape, workloads.W9_LENGTHS[0]]
        episodes = data.episode_arrays()
        for function, iterations in (("fast_learn", 100_001), ("td_learn_backward", 2001)):
            ahead = floor.run_columns(function, data, shape, 0.9, 0.1, iterations, seed=seed)
            plain = floor.run(function, episodes, shape, 0.9, 0.1, iterations, seed=seed)
            ok = all(same_bits(a, b) for a, b in zip(ahead, plain))
            failures += not ok
            line = (f"  W9   {function} {shape[0]}x{shape[1]}, {data.episodes} episodes, seeded: floor picking "
                    f"ahead {'same' if ok else 'DIFFERENT'} as the floor on the episode arrays")
            say(line)
            rows.append(line.strip())
    return failures, rows


def unchecked(work, keys):
    """The workloads among `keys` that train against a peer and that no case
    stands for. The flat workloads (W8) set tarnel against itself alone."""
    covered = {case[0] for case in check_cases(work)}
    return [k for k in keys if work[k].iterations and not work[k].flat and k not in covered]


def tarnel_call(tarnel, function, episodes, q_shape, gamma, alpha, iterations, quit_threshold, workers,
                verbose=False):
    f = getattr(tarnel, function)
    if isinstance(episodes, workloads.FlatData):
        episodes = episodes.table(tarnel)
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
    if isinstance(eps, workloads.FlatData):
        return numba_peers.run_columns(function, (*eps.column_list(), eps.starts), shape, gamma, alpha, its, quit,
                                       workers)
    return numba_peers.run(function, eps, shape, gamma, alpha, its, quit, workers)


def floor_peer(function, eps, shape, gamma, alpha, its, quit, workers):
    if isinstance(eps, workloads.FlatData):
        return floor.run_columns(function, eps, shape, gamma, alpha, its, quit, workers)
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
