"""Peak memory of single tarnel calls, each measured in a fresh process
(bench/memory_probe.py) so no case inherits another's peak."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Page granularity, the allocator's per-thread arenas and the interpreter's
# own small allocations during a call.
SLACK = 1 << 20


def probe(case: dict, path: Path | None) -> dict:
    """One case in a fresh process, with `path` (a build's directory) first on
    its sys.path."""
    case = case | {"path": str(path) if path else ""}
    done = subprocess.run([sys.executable, str(HERE / "memory_probe.py"), json.dumps(case)],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def memory_cases():
    # quit_threshold default (0.001) so the long runs stop early.
    return [
        ("qlearn_forward, max_iterations 10^6 (stops early)", "grid", "qlearn_forward", (16, 4),
         [10 ** 6, False], 0),
        ("qlearn_forward, max_iterations 10^12 (stops early)", "grid", "qlearn_forward", (16, 4),
         [10 ** 12, False], 0),
        ("qlearn_forward 5000x20, max_iterations 20000, quit 0", "graph", "qlearn_forward",
         (5000, 20), [20000, False, 0.0], 0),
        ("qlearn_forward_parallel, 8 workers, 5000x20", "graph", "qlearn_forward_parallel",
         (5000, 20), [20000, 8, False, 0.0], 8),
        ("td_learn_backward_parallel, 8 workers, samples of 2000, 5000x20", "graph",
         "td_learn_backward_parallel", (5000, 20), [20000, 2000, 8, False, 0.0], 8),
    ]


def measure_memory(path: Path | None):
    """(call, growth, bound, what the bound is made of, exact peak) per case."""
    rows = []
    for title, data, function, shape, args, workers in memory_cases():
        warm = list(args)
        warm[0] = 1  # one iteration: thread generator, NumPy bridge, allocator pools
        info = probe({"data": data, "function": function, "shape": shape, "args": args, "warm": warm}, path)
        table = shape[0] * shape[1] * 8
        # A transition is a 16-byte record; an episode adds its start (8)
        # and, during the call, its array's view and reference (48).
        episodes_bytes = info["rows"] * 16 + info["episodes"] * 56
        if function == "qlearn_forward":
            allowed = table + episodes_bytes
            described = "table + episodes"
        elif function == "qlearn_forward_parallel":
            allowed = 2 * workers * table + episodes_bytes
            described = f"{workers} tables + stack + episodes"
        else:
            # every sample: 2000 episodes drawn from 2000, about the
            # population's size each
            allowed = 2 * workers * table + (1 + workers) * episodes_bytes
            described = f"{workers} tables + stack + episodes + {workers} samples"
        allowed += SLACK
        described += " + 1 MiB"
        rows.append((title, info["growth"], allowed, described, info["exact"]))
    return rows


def per_transition_cases():
    """Every function once on about 4 million transitions of a 500 x 6 task
    (bench/memory_probe.py's "long" data), max_iterations 1: the growth is
    then what the call holds for the data itself. td_learn_backward_parallel
    draws one sample as large as the population."""
    count = 40000  # episodes of the "long" data
    sequential = [1, False]
    return [
        ("qlearn_forward", sequential, [1, False], 20),
        ("td_learn_backward", sequential, [1, False], 20),
        ("expected_sarsa", sequential, [1, False], 20),
        ("fast_learn", sequential, [1, False], 20),
        ("learn_until_convergence", sequential, [1, False], 20),
        ("double_q", sequential, [1, False], 20),
        ("qlearn_forward_parallel", [1, 2, False], [1, 2, False], 20),
        ("td_learn_backward_parallel", [1, count, 1, False], [1, 2, 1, False], 40),
    ]


def measure_memory_per_transition(path: Path | None):
    """(function, growth, transitions, goal in bytes, exact peak) per function."""
    rows = []
    for function, args, warm, goal in per_transition_cases():
        info = probe({"data": "long", "function": function, "shape": (500, 6), "args": args, "warm": warm},
                     path)
        rows.append((function, info["growth"], info["rows"], goal, info["exact"]))
    return rows



def measure_flat_memory(path: Path | None, keys):
    """(workload, growth, transitions, episodes, exact peak) of one fast_learn
    call on each flat workload's table among keys that converts it at once
    (workloads.converting_at_once), at its full size whatever the run's
    scale."""
    rows = []
    for key, data in (("W8a", "flat10"), ("W8b", "flat1000")):
        if key in keys:
            info = probe({"data": data, "function": "fast_learn", "shape": (500, 6), "args": ["converting at once", False],
                          "warm": [1, False]}, path)
            rows.append((key, info["growth"], info["rows"], info["episodes"], info["exact"]))
    return rows
