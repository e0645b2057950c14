"""tarnel against its alternatives, on the same work, in the same run.

    python bench/run.py [--repeat N] [--only W1,W3] [--quick] [--no-write]

For each workload (bench/workloads.py) it times tarnel, a Numba peer, a
plain Python peer (on a fraction of the iterations, scaled) and a bare C++
floor, interleaved round by round, and prints the medians and the ratios.
Before any timing every peer must reproduce tarnel's table (and its printed
sums) bit for bit on single-episode inputs, where training is
deterministic. Then it measures peak memory in fresh processes
(bench/memory_probe.py). The whole report goes to bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import datetime
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(1, str(HERE.parent / "examples"))  # the output-capture helper

import tarnel  # noqa: E402
import workloads  # noqa: E402
from module_output import module_lines, silenced  # noqa: E402
from peers import PERIOD, floor, python_peers  # noqa: E402

try:
    import numba  # noqa: E402
    from peers import numba_peers  # noqa: E402
except ImportError:  # the table then says so
    numba = None
    numba_peers = None

RESULTS = HERE / "RESULTS.md"

# Python peer: the share of each workload's iterations it runs (its training
# time is divided by this share; its conversion time is not scaled).
PYTHON_SHARE = {"W1": 0.01, "W2": 0.01, "W3": 0.01, "W4": 0.01, "W5": 0.1, "W6a": 0.01,
                "W6b": 0.01, "W6c": 0.01, "W6d": 0.01}


def say(*parts):
    print(*parts, flush=True)


# --- the deterministic check -------------------------------------------------

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
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    if a.shape != b.shape:
        return False
    nan = np.isnan(a) & np.isnan(b)
    return bool(np.all(nan | (a.view(np.uint64) == b.view(np.uint64))))


def same_printed(a, b):
    """Printed values carry no NaN sign; every other bit must agree."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    if a.shape != b.shape:
        return False
    return bool(np.all((np.isnan(a) & np.isnan(b)) | (a.view(np.uint64) == b.view(np.uint64))))


def check_cases(grid_episode, large_episode):
    """(function, episodes, q_shape, gamma, alpha, iterations, quit, workers,
    compare printed values, run the Python peer).

    A single episode of the W1 data replayed 50001 to 150000 times, so the
    window checks run (quit 0: every check prints; 0.001: the stop fires at
    the first one); a 17 x 5 table, whose 85 entries leave a tail after the
    blocks of 8; and a W3 episode on the 5000 x 20 table, whose sums tarnel
    computes several iterations at a time (too slow for the Python peer).
    Double Q draws a coin per transition even then, so its case is one whose
    result the coins cannot change: an acyclic chain of states with integer
    rewards, discount 0.5 and rate 1, replayed until both tables hold the
    same fixed point exactly (every value is a short binary fraction)."""
    chain = np.array([[k, k % 4, float(k % 3 + 1), k + 1, 1.0 if k == 9 else 0.0]
                      for k in range(10)])
    g = [grid_episode]
    return [
        ("qlearn_forward", g, (16, 4), 0.9, 0.1, 150_000, 0.001, 0, True, True),
        ("qlearn_forward", g, (17, 5), 0.9, 0.1, 100_001, 0.0, 0, True, True),
        ("qlearn_forward", [large_episode], (5000, 20), 0.9, 0.1, 100_001, 0.0, 0, True, False),
        ("td_learn_backward", g, (16, 4), 0.9, 0.1, 100_001, 0.0, 0, True, True),
        ("expected_sarsa", g, (16, 4), 0.9, 0.1, 100_001, 0.0, 0, True, True),
        ("fast_learn", g, (16, 4), 0.9, 0.1, 100_001, 0.0, 0, True, True),
        ("learn_until_convergence", g, (16, 4), 0.9, 0.1, 150_000, 0.001, 0, True, True),
        ("double_q", [chain], (11, 4), 0.5, 1.0, 3000, 0.001, 0, False, True),
        ("qlearn_forward_parallel", g, (16, 4), 0.9, 0.1, 60_000, 0.0, 2, False, True),
    ]


def tarnel_call(function, episodes, q_shape, gamma, alpha, iterations, quit_threshold, workers,
                verbose=False):
    f = getattr(tarnel, function)
    if function == "qlearn_forward_parallel":
        return f(episodes, q_shape, gamma, alpha, iterations, workers, verbose, quit_threshold)
    return f(episodes, q_shape, gamma, alpha, iterations, verbose, quit_threshold)


def deterministic_check(grid_episode, large_episode, peers):
    say("Deterministic check (single-episode inputs, bit for bit):")
    rows = []
    failures = 0
    for (function, eps, shape, gamma, alpha, its, quit, workers, with_trace,
         with_python) in check_cases(grid_episode, large_episode):
        with module_lines() as out:
            expected = tarnel_call(function, eps, shape, gamma, alpha, its, quit, workers,
                                   verbose=with_trace)
        printed = parse_printed(function, out) if with_trace else []
        verdicts = []
        for name, peer in peers.items():
            if name == "python" and not with_python:
                verdicts.append("python skipped")
                continue
            with silenced():
                table, trace = peer(function, eps, shape, gamma, alpha, its, quit, workers)
            table = np.asarray(table)
            ok = same_bits(table, expected)
            detail = "table"
            if with_trace:
                ok = ok and trace is not None and same_printed(trace, printed)
                detail = f"table + {len(printed)} printed values"
            verdicts.append(f"{name} {'same' if ok else 'DIFFERENT'}")
            failures += not ok
        case = f"{function} {shape[0]}x{shape[1]}"
        line = f"  {case:<32} {detail:<28} " + ", ".join(verdicts)
        say(line)
        rows.append(line.strip())
    return failures, rows


# --- peers as uniform callables ---------------------------------------------

def numba_peer(function, eps, shape, gamma, alpha, its, quit, workers):
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


# --- timing --------------------------------------------------------------------

def contenders(w: workloads.Workload):
    """name -> callable returning seconds, for one workload."""
    S, A = w.q_shape
    args = (w.episodes, w.q_shape, w.gamma, w.alpha, w.iterations)
    c = {}
    if w.key == "W4":
        c["tarnel"] = lambda: timed(lambda: tarnel.qlearn_forward_parallel(*args, w.workers, False, 0.0))
        c["tarnel sequential"] = lambda: timed(
            lambda: [tarnel.qlearn_forward(*args, False, 0.0) for _ in range(w.workers)])
    else:
        f = getattr(tarnel, w.function)
        c["tarnel"] = lambda: timed(lambda: f(*args, False, 0.0))
    if numba_peers is not None:
        c["numba"] = lambda: timed(lambda: numba_peers.run(w.function, *args, 0.0, w.workers))
    if w.key == "W5":
        prepared = floor.convert_prepared(w.episodes)
        c["floor"] = lambda: timed(lambda: floor.convert(prepared, S))
    else:
        flat = floor.prepare(w.episodes)
        c["floor"] = lambda: timed(lambda: floor.run(w.function, *args, 0.0, w.workers, prepared=flat))
    share = PYTHON_SHARE[w.key]

    def python_scaled():
        if w.key == "W5":
            count = max(1, int(len(w.episodes) * share))
            _, _, convert, _ = python_peers.run(w.function, w.episodes[:count], w.q_shape, w.gamma,
                                                w.alpha, 0)
            return convert / share
        its = max(1, int(w.iterations * share))
        _, _, convert, train = python_peers.run(w.function, w.episodes, w.q_shape, w.gamma, w.alpha,
                                                its, 0.0, w.workers)
        return convert + train * w.iterations / its
    c["python"] = python_scaled
    return c


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def measure(w, repeat):
    cs = contenders(w)
    names = list(cs)
    with silenced():
        for name in names:  # warm-up: compilation, first-use setup, caches
            if name != "python":
                cs[name]()
    times = {name: [] for name in names}
    for r in range(repeat):
        # Interleaved, starting with a different contender every round, so
        # slow drifts of the machine hit all of them alike.
        order = names[r % len(names):] + names[:r % len(names)]
        with silenced():
            for name in order:
                times[name].append(cs[name]())
    return {name: statistics.median(ts) for name, ts in times.items()}, times


# --- memory --------------------------------------------------------------------


# Page granularity, the allocator's per-thread arenas and the interpreter's
# own small allocations during a call.
SLACK = 1 << 20


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


def measure_memory():
    rows = []
    for title, data, function, shape, args, workers in memory_cases():
        warm = list(args)
        warm[0] = 1  # one iteration: thread generator, NumPy bridge, allocator pools
        case = {"data": data, "function": function, "shape": shape, "args": args, "warm": warm}
        done = subprocess.run([sys.executable, str(HERE / "memory_probe.py"), json.dumps(case)],
                              capture_output=True, text=True, check=True)
        info = json.loads(done.stdout.strip().splitlines()[-1])
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


def measure_memory_per_transition():
    rows = []
    for function, args, warm, goal in per_transition_cases():
        case = {"data": "long", "function": function, "shape": (500, 6), "args": args, "warm": warm}
        done = subprocess.run([sys.executable, str(HERE / "memory_probe.py"), json.dumps(case)],
                              capture_output=True, text=True, check=True)
        info = json.loads(done.stdout.strip().splitlines()[-1])
        rows.append((function, info["growth"], info["rows"], goal, info["exact"]))
    return rows


# --- report --------------------------------------------------------------------

def machine():
    model = "unknown"
    with contextlib.suppress(OSError):
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    compiler = subprocess.run([floor.compiler(), "--version"], capture_output=True, text=True)
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "numba": numba.__version__ if numba else "not installed",
        "tarnel": getattr(tarnel, "__version__", None) or _dist_version(),
        "compiler": compiler.stdout.splitlines()[0] if compiler.stdout else floor.compiler(),
        "build": _module_build(),
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "load": os.getloadavg()[0],
    }


def _module_build():
    """Which build of tarnel is measured: the wheel tag says whether it is the
    portable wheel of `make wheel` or a build made here, and the compiler's
    note in the file (g++ leaves one, Zig's clang none) which compiler."""
    tag = "unknown tag"
    with contextlib.suppress(Exception):
        from importlib.metadata import distribution
        tags = [line.split(":", 1)[1].strip() for line in distribution("tarnel").read_text("WHEEL").splitlines()
                if line.startswith("Tag:")]
        tag = ", ".join(tags) or tag
    note = subprocess.run(["readelf", "-p", ".comment", tarnel.__file__], capture_output=True, text=True).stdout
    compilers = sorted({m.strip() for m in re.findall(r"\]\s+(.*)", note)})
    portable = "manylinux" in tag
    return (("the portable wheel of `make wheel`" if portable else "built here from source (`make module`)")
            + f", tag {tag}, compiled by {' / '.join(compilers) or 'a compiler that left no note'}")


def _dist_version():
    with contextlib.suppress(Exception):
        from importlib.metadata import version
        return version("tarnel")
    return "unknown"


def fmt_time(seconds):
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.0f} us"


def ratio(a, b):
    return f"{a / b:.2f}x" if a and b else "-"


# Per workload: (times faster than Numba at least, times the floor's time at
# most). W4 and W5 have goals of their own below.
GOALS = {"W1": (1.9, 1.10), "W2": (2.0, 1.10), "W3": (2.0, 1.25), "W6a": (2.0, 1.10),
         "W6b": (2.0, 1.10), "W6c": (2.0, 1.10), "W6d": (2.0, 1.3)}
W5_FLOOR = 1.25


def table_lines(results, wl, spare_cores):
    head = ("| workload | tarnel | numba | python (scaled) | floor | numba / tarnel | "
            "python / tarnel | tarnel / floor | goal |")
    lines = [head, "|" + "---|" * 9]
    goals = []
    for key, med in results.items():
        w = wl[key]
        t, n, p, f = med.get("tarnel"), med.get("numba"), med.get("python"), med.get("floor")
        if key == "W5":
            per = lambda s: f"{s / len(w.episodes) * 1e6:.3f} us/array" if s else "-"  # noqa: E731
            met_array = t / len(w.episodes) <= 1e-6
            met_floor = t / f <= W5_FLOOR
            met = met_array and met_floor
            goal = (f"<= 1 us/array: {'met' if met_array else 'NOT met'}, "
                    f"vs floor {'met' if met_floor else 'NOT met'}")
            goals.append((key, met, f"{t / len(w.episodes) * 1e6:.3f} us per array, "
                                    f"{ratio(t, f)} the floor's time (goal <= {W5_FLOOR}x)"))
            lines.append(f"| {key} {w.title} | {per(t)} | {per(n)} | {per(p)} | {per(f)} | "
                         f"{ratio(n, t)} | {ratio(p, t)} | {ratio(t, f)} | {goal} |")
            continue
        if key == "W4":
            s = med["tarnel sequential"]
            met = s / t >= 1.8
            probe = spare_cores.get(key)
            offered = (f"; the machine offered {min(probe):.2f}x to {max(probe):.2f}x with two "
                       "threads of fixed work" if probe else "")
            goal = (f"parallel {s / t:.2f}x the throughput of 8 sequential calls "
                    f"({fmt_time(s)}): {'met' if met else 'NOT met'} (>= 1.8x){offered}")
            goals.append((key, met, f"{s / t:.2f}x the sequential throughput{offered}"))
        else:
            numba_goal, floor_goal = GOALS[key]
            met_numba = n is not None and n / t >= numba_goal
            met_floor = t / f <= floor_goal
            met = met_numba and met_floor
            goal = (f"vs numba {'met' if met_numba else 'NOT met'}, "
                    f"vs floor {'met' if met_floor else 'NOT met'}")
            goals.append((key, met, f"{ratio(n, t)} faster than numba (goal {numba_goal}x), "
                                    f"{ratio(t, f)} the floor's time (goal <= {floor_goal}x)"))
        lines.append(f"| {key} {w.title} | {fmt_time(t)} | {fmt_time(n) if n else '-'} | "
                     f"{fmt_time(p)} | {fmt_time(f)} | {ratio(n, t)} | {ratio(p, t)} | "
                     f"{ratio(t, f)} | {goal} |")
    return lines, goals


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=5, help="rounds per workload (median)")
    parser.add_argument("--only", help="comma-separated workload keys, e.g. W1,W3")
    parser.add_argument("--quick", action="store_true", help="a tenth of the iterations")
    parser.add_argument("--no-write", action="store_true", help="do not write RESULTS.md")
    parser.add_argument("--skip-check", action="store_true")
    parser.add_argument("--skip-memory", action="store_true")
    opts = parser.parse_args()
    started = time.perf_counter()

    env = machine()
    say(f"tarnel {env['tarnel']} | {env['cpu']} | {env['cores']} cores | Python {env['python']} | "
        f"NumPy {env['numpy']} | Numba {env['numba']} | {env['compiler']} | {env['date']}")
    say("building the C++ floor ...")
    floor.library()
    wl = workloads.build_all(0.1 if opts.quick else 1.0)
    keys = opts.only.split(",") if opts.only else list(wl)

    peers = {}
    if numba_peers is not None:
        peers["numba"] = numba_peer
    peers["python"] = python_peer
    peers["floor"] = floor_peer
    if numba_peers is not None:
        say("compiling the Numba peers ...")
        t0 = time.perf_counter()
        small = wl["W1"].episodes[:3]
        with silenced():
            for function in ("qlearn_forward", "td_learn_backward", "expected_sarsa", "fast_learn",
                             "learn_until_convergence", "double_q", "qlearn_forward_parallel"):
                numba_peers.run(function, small, (16, 4), 0.9, 0.1, 10, 0.0, 2)
        compile_seconds = time.perf_counter() - t0
    else:
        compile_seconds = None

    failures, check_rows = (0, []) if opts.skip_check else deterministic_check(
        wl["W1"].episodes[0], wl["W3"].episodes[0], peers)
    if failures:
        say(f"{failures} peer result(s) differ from tarnel's; timings would compare different work.")
        sys.exit(1)

    if "W6c" in keys:
        # Its convergence test must be unable to pass, or the timing would
        # cover a run that stopped early: the last checkpoint line must be
        # the last multiple of 25000 below the bound.
        w = wl["W6c"]
        with module_lines() as out:
            tarnel.learn_until_convergence(w.episodes, w.q_shape, w.gamma, w.alpha, w.iterations,
                                           False)
        last = int(out[-1].split(":")[0])
        if last != (w.iterations - 1) // PERIOD * PERIOD:
            say(f"W6c stopped early at checkpoint {last}; its timing would not cover the work.")
            sys.exit(1)

    results, raw = {}, {}
    spare_cores = {}
    for key in keys:
        w = wl[key]
        say(f"timing {key}: {w.title} ...")
        if key == "W4":
            probe = [floor.parallel_throughput()]
        results[key], raw[key] = measure(w, opts.repeat)
        if key == "W4":
            probe.append(floor.parallel_throughput())
            spare_cores[key] = probe
            say(f"   two threads of fixed work ran at {probe[0]:.2f}x and {probe[1]:.2f}x the "
                "throughput of one, before and after")
        say("   " + ", ".join(f"{n} {fmt_time(s)}" for n, s in results[key].items()))

    lines, goals = table_lines(results, wl, spare_cores)
    say("")
    for line in lines:
        say(line)
    mem_rows = [] if opts.skip_memory else measure_memory()
    per_rows = [] if opts.skip_memory else measure_memory_per_transition()
    if per_rows:
        say("")
        for function, growth, rows, goal, exact in per_rows:
            say(f"  memory  {function}: peak growth {growth / rows:.1f} bytes per transition "
                f"({growth / 2**20:.1f} MiB for {rows} transitions; goal <= {goal})")
    if mem_rows:
        say("")
        for title, growth, allowed, described, exact in mem_rows:
            say(f"  memory  {title}: peak growth {growth / 2**20:.1f} MiB "
                f"(bound {allowed / 2**20:.1f} MiB: {described})")
    elapsed = time.perf_counter() - started
    env["load_end"] = os.getloadavg()[0]
    say(f"\ntotal {elapsed:.0f} s; load average {env['load']:.1f} at the start, "
        f"{env['load_end']:.1f} at the end")
    if max(env["load"], env["load_end"]) > 1.0:
        say("warning: other processes were running; the times are noisy, W4's above all")
    if not opts.no_write:
        write_results(Results(machine=env, work=wl, keys=keys, table=lines, goals=goals,
                              check_rows=check_rows, memory_rows=mem_rows, per_transition_rows=per_rows,
                              compile_seconds=compile_seconds, repeat=opts.repeat, quick=opts.quick,
                              elapsed=elapsed, raw=raw))


@dataclasses.dataclass
class Results:
    """What one run measured, as RESULTS.md reports it."""

    machine: dict  # machine(), with the load average at the end as "load_end"
    work: dict[str, workloads.Workload]  # every workload built
    keys: list[str]  # the workloads timed, in order
    table: list[str]  # the table of times, ratios and goals
    goals: list[tuple[str, bool, str]]  # (workload, met, how far)
    check_rows: list[str]  # the deterministic check, one line per case
    memory_rows: list[tuple[str, int, int, str, bool]]  # (call, growth, bound, bound made of, exact peak)
    per_transition_rows: list[tuple[str, int, int, int, bool]]  # (function, growth, transitions, goal, exact)
    compile_seconds: float | None  # the Numba peers' compilation; None without Numba
    repeat: int  # rounds per workload
    quick: bool  # a tenth of the iterations
    elapsed: float  # seconds, the whole run
    raw: dict[str, dict[str, list[float]]]  # workload -> contender -> seconds, in round order


def write_results(r: Results):
    env, wl, keys, compile_seconds = r.machine, r.work, r.keys, r.compile_seconds
    out = ["# Benchmark results", "",
           "Written by `python bench/run.py` (or `make bench`); do not edit by hand.", "",
           f"- Machine: {env['cpu']}, {env['cores']} cores; load average {env['load']:.1f} "
           f"at the start, {env['load_end']:.1f} at the end"
           + (" (other processes were running: the times are noisy, W4's above all)"
              if max(env["load"], env["load_end"]) > 1.0 else ""),
           f"- Versions: tarnel {env['tarnel']}, Python {env['python']}, NumPy {env['numpy']}, "
           f"Numba {env['numba']}, floor built with {env['compiler']}",
           f"- tarnel measured: {env['build']}",
           f"- Date: {env['date']}; {r.repeat} interleaved rounds per workload, medians; "
           f"whole run {r.elapsed:.0f} s" + ("; QUICK run (a tenth of the iterations)" if r.quick else ""),
           "",
           "## Times", ""]
    out += r.table
    out += ["",
            "Ratios above 1 in `numba / tarnel` and `python / tarnel` mean tarnel is faster; "
            "`tarnel / floor` is how many times the floor's time tarnel takes.",
            "",
            "- Workloads: " + "; ".join(
                f"{k} {wl[k].title}, {len(wl[k].episodes)} episodes, "
                + (f"{wl[k].iterations} iterations" if wl[k].iterations else "no training")
                for k in keys) + ". `quit_threshold` 0 everywhere: no run stops early.",
            "- W4 compares one `qlearn_forward_parallel` call (8 trainings of 100000 iterations) "
            "with 8 sequential `qlearn_forward` calls; its goal is on their ratio.",
            "- W5 times the conversion alone (`max_iterations` 0), per episode array; the Numba "
            "peer's figure is its flattening into columns, the floor's a bare C++ conversion of "
            "the same arrays (pointers gathered outside the timing), Python's the conversion "
            "into tuples.",
            "- python (scaled): plain Python on "
            + ", ".join(f"{k} {PYTHON_SHARE[k]:.0%}" for k in keys)
            + " of the iterations (W5: of the arrays); its training time is divided by that share, "
            "its conversion time is not.",
            "- numba: `@njit` drivers with the same rules, sums and picks (NumPy's generator); "
            f"compilation ({compile_seconds:.1f} s, cached on disk) is outside the timings."
            if compile_seconds is not None else "- numba: not installed.",
            "- floor: bench/peers/floor.cpp, one bare function per workload: the module's "
            "generator and table sum in line, no checks, 16-byte transitions; built with the "
            "core's flags (-O3, no FMA contraction, baseline x86-64). Its time includes its "
            "conversion into those transitions from the episodes gathered into one array "
            "beforehand (outside the timing, as W5's pointers are).",
            "",
            "## Goals", ""]
    for key, met, text in r.goals:
        out.append(f"- {key}: {'met' if met else 'NOT met'}: {text}")
    out += ["", "## Same work: the deterministic check", "",
            "Each peer against tarnel on single-episode inputs, tables and printed sums compared "
            "bit for bit:", "", "```"] + r.check_rows + ["```"]
    if r.per_transition_rows:
        rows = r.per_transition_rows[0][2]
        out += ["", "## Peak memory per transition", "",
                f"Growth of the peak resident set during one call on {rows} transitions (40000 "
                "episodes of 50 to 150 steps, 500 x 6 table, `max_iterations` 1), in a fresh "
                "process, per transition. `td_learn_backward_parallel` draws one sample of all "
                "40000 episodes; `qlearn_forward_parallel` runs 2 trainings.", "",
                "| function | peak growth | per transition | goal |", "|---|---|---|---|"]
        for function, growth, n, goal, exact in r.per_transition_rows:
            met = growth / n <= goal
            out.append(f"| {function} | {growth / 2**20:.1f} MiB | {growth / n:.1f} bytes | "
                       f"<= {goal} bytes: {'met' if met else 'NOT met'}"
                       f"{'' if exact else ' (peak not resettable: upper estimate)'} |")
    if r.memory_rows:
        out += ["", "## Peak memory", "",
                "Growth of the peak resident set during one call, in a fresh process "
                "(VmHWM after the call minus VmRSS before it).", "",
                "| call | peak growth | bound | bound made of |", "|---|---|---|---|"]
        for title, growth, allowed, described, exact in r.memory_rows:
            out.append(f"| {title} | {growth / 2**20:.2f} MiB | {allowed / 2**20:.2f} MiB | "
                       f"{described}{'' if exact else ' (peak not resettable: upper estimate)'} |")
        out += ["", "A stored history of 10^12 sums would need 8 TB; the driver keeps the window "
                "means instead, so 10^12 and 10^6 cost the same."]
    out += ["", "## Raw times (seconds, in round order)", "", "```"]
    for key, ts in r.raw.items():
        for name, values in ts.items():
            out.append(f"{key:<4} {name:<18} " + " ".join(f"{v:.4f}" for v in values))
    out += ["```", ""]
    notes = HERE / "limits.md"
    if notes.exists():
        out += [notes.read_text()]
    RESULTS.write_text("\n".join(out))
    say(f"wrote {RESULTS}")


if __name__ == "__main__":
    main()
