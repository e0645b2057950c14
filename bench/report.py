"""The report of one run: bench/RESULTS.md in full (times, goals, the
same-work check, memory, raw times, bench/limits.md) and, from the same
figures, the short summary between the bench-results markers of README.md.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import os
import platform
import subprocess
from pathlib import Path

import numpy as np
import at_scale
import timing
from peers import floor
from workloads import W9_SMALL

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "RESULTS.md"
README = HERE.parent / "README.md"
README_START = "<!-- bench-results:start -->"
README_END = "<!-- bench-results:end -->"

# Per workload: (times faster than Numba at least, or None where the floor
# itself is slower than that; times the floor's time at most). W4 and the
# conversions have goals of their own below.
GOALS = {"W1": (2.0, 1.10), "W2": (2.0, 1.10), "W3": (2.0, 1.10), "W6a": (None, 1.10),
         "W6b": (2.0, 1.10), "W6c": (2.0, 1.10), "W6d": (2.0, 1.10), "W7": (2.0, 1.10)}
# The conversion: microseconds per 10-row array (W5), nanoseconds per row of
# 1,000-row arrays (W5c). Its floor is the best bare conversion, a limit.
W5_PER_ARRAY = 0.15e-6
W5C_PER_ROW = 7e-9
W4_THROUGHPUT = 1.90
WHEEL_TO_GXX = 1.05
# Two quiet runs of the same builds, one after the other, give a goal's
# ratio up to 3 % apart (bench/limits.md). A ratio that close to its goal is
# not decided by one run: its verdict says so instead of a met or NOT met
# that the next run would reverse.
PRECISION = timing.PRECISION
AT_GOAL = "at the goal, within the bench's precision"


def verdict(value, goal, at_least: bool) -> str:
    """'met', 'NOT met', or AT_GOAL when value lies within PRECISION of goal;
    `at_least`: the goal is a lower bound, else an upper one."""
    margin = value / goal if at_least else goal / value
    if margin >= 1 + PRECISION:
        return "met"
    if margin <= 1 - PRECISION:
        return "NOT met"
    return AT_GOAL


def worst(*verdicts: str) -> str:
    """The verdict of goals that must all be met."""
    for v in ("NOT met", AT_GOAL):
        if v in verdicts:
            return v
    return "met"


def counted(met: bool) -> str:
    """The verdict of a goal on a count, which two runs give alike."""
    return "met" if met else "NOT met"
# Flat columns (W8): the table's conversion at most this many times NumPy's
# read of the same columns, and the list path at least this many times the
# table's whole path (construction and conversion).
FLAT_TO_NUMPY = 2.0
FLAT_LIST_SPEEDUP = 10.0
# A call on a table holds the training records (16.6 bytes per transition, as
# a call on episode arrays does) and at most this much per episode beyond them.
FLAT_PER_TRANSITION = 16.6
FLAT_PER_EPISODE = 16
# The sections other runs write into RESULTS.md: W8 alone (run.py --only W8a,W8b)
# and `make scale` (bench/scale.py). A full run writes the first and keeps
# the second as it finds it.
FLAT_START, FLAT_END = "<!-- flat-results:start -->", "<!-- flat-results:end -->"
SCALE_START, SCALE_END = "<!-- scale-results:start -->", "<!-- scale-results:end -->"
# W9 alone (run.py --only W9) rewrites its own section.
AT_SCALE_START, AT_SCALE_END = "<!-- at-scale-results:start -->", "<!-- at-scale-results:end -->"
# W9: per replayed transition on the large data at most this many times the
# same call's on the small data, for the largest call of each function,
# table and episode length that runs on both; every whole call at least
# this many times faster than the Numba loop over the columns.
AT_SCALE_PER_TRANSITION = 1.5
AT_SCALE_NUMBA = 2.0
# The call the README's results block shows for W9.
AT_SCALE_README = ("fast_learn", (100_000, 8), 10)


def say(*parts):
    print(*parts, flush=True)


def machine(numba_version):
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
        "numba": numba_version or "not installed",
        "compiler": compiler.stdout.splitlines()[0] if compiler.stdout else floor.compiler(),
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "load": os.getloadavg()[0],
    }


def fmt_time(seconds):
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.0f} us"


def ratio(a, b):
    return f"{a / b:.2f}x" if a and b else "-"


@dataclasses.dataclass
class Results:
    """What one run measured."""

    machine: dict  # machine(), with the load average at the end as "load_end" and the
    # cores that other processes took during the run as "other_cores"
    builds: list  # builds.Build, the first one the "tarnel" column
    versions: dict[str, str]  # build label -> tarnel's version there
    work: dict  # workload key -> workloads.Workload, every workload built
    keys: list[str]  # the workloads timed, in order
    estimates: dict[str, dict[str, float]]  # workload -> contender -> seconds (timing.estimate)
    raw: dict[str, dict[str, list[float]]]  # workload -> contender -> seconds, in round order
    spare_cores: dict[str, list[float]]  # W4: two threads' throughput over one's, before and after
    check_rows: list[str]  # the same-work check, one line per case
    memory_rows: list  # (call, growth, bound, bound made of, exact peak)
    per_transition_rows: list  # (function, growth, transitions, goal, exact)
    flat_memory_rows: list  # (workload, growth, transitions, episodes, exact)
    compile_seconds: float | None  # the Numba peers' compilation; None without Numba
    repeat: int  # rounds per workload
    pinned_to: int | None  # the core of every timed process but W4's; None: not pinned
    quick: bool  # a share of the iterations only (`scale`)
    elapsed: float  # seconds, the whole run
    set_aside: dict = dataclasses.field(default_factory=dict)  # workload -> (rounds set aside, rounds run)
    reference_best: float = float("nan")  # seconds: the reference loop's best time in the run
    at_scale: object = None  # at_scale.Results of W9, or None
    scale: float = 1.0  # the share of the iterations (and of W8's and W9's rows) run

    @property
    def scale_text(self):
        return "a tenth" if self.scale == 0.1 else f"{self.scale:g}"

    @property
    def loaded(self):
        return self.machine["other_cores"] > timing.OTHER_WORK_CORES

    @property
    def other_work(self):
        """What other processes took during the run, and what it means."""
        taken = f"other processes took {self.machine['other_cores']:.2f} of a core on average"
        return taken + (": the times are noisy, W4's above all" if self.loaded else "")

    @property
    def labels(self):
        return [b.label for b in self.builds]

    @property
    def array_keys(self):
        """The workloads on episode arrays, timed against the peers."""
        return [k for k in self.keys if self.work[k].on_arrays]

    @property
    def flat_keys(self):
        return [k for k in self.keys if self.work[k].flat]


def method(r: Results) -> str:
    """How the times were taken, in a few words."""
    where = (f"every timed process pinned to core {r.pinned_to} (W4's on every core)"
             if r.pinned_to is not None else "processes not pinned")
    return (f"a warm-up round, then {r.repeat} interleaved rounds per workload, the {timing.ESTIMATOR} of "
            f"each contender's rounds; {where}")


def ratio_pairs(r: Results):
    """Every ratio the report gives, as (workload, ratio's name, numerator
    contenders, denominator contenders): the times of a side's contenders
    in one round are added up."""
    pairs = []
    for key in r.array_keys:
        med = r.estimates[key]
        if key == "W4":
            pairs.append((key, "sequential / parallel throughput", ["tarnel sequential"], ["tarnel"]))
        pairs.append((key, "tarnel / floor", ["tarnel"], ["floor"]))
        for name in ("numba", "python"):
            if name in med:
                pairs.append((key, f"{name} / tarnel", [name], ["tarnel"]))
        for label in r.labels[1:]:
            if label in med:
                pairs.append((key, f"{label} / tarnel", [label], ["tarnel"]))
        if "numpy sum" in med:
            pairs.append((key, "tarnel / numpy sum", ["tarnel"], ["numpy sum"]))
    for key, label, *_ in flat_figures(r):
        pairs.append((key, f"{label}: conversion / NumPy's read", [label], [f"{label} numpy sum"]))
        pairs.append((key, f"{label}: list path / (construction + conversion)", [f"{label} list path"],
                      [f"{label} construction", label]))
    return pairs


def spread_rows(r: Results):
    """(workload, ratio's name, its estimate, (min, median, max) round by
    round) for every ratio the report gives."""
    rows = []
    for key, name, top, bottom in ratio_pairs(r):
        raw, est = r.raw[key], r.estimates[key]
        rounds = min(len(raw[c]) for c in top + bottom)
        per_round = [[sum(raw[c][i] for c in side) for i in range(rounds)] for side in (top, bottom)]
        rows.append((key, name, sum(est[c] for c in top) / sum(est[c] for c in bottom),
                     timing.spread(*per_round)))
    return rows


def spread_lines(r: Results):
    out = ["| workload | ratio | estimate | min | median | max |", "|---|---|---|---|---|---|"]
    for key, name, value, (low, middle, high) in spread_rows(r):
        out.append(f"| {key} | {name} | {value:.2f}x | {low:.2f}x | {middle:.2f}x | {high:.2f}x |")
    return out


def per_array(w):
    return lambda s: f"{s / len(w.episodes) * 1e6:.3f} us/array" if s else "-"


def per_transition(w):
    rows = w.rows
    return lambda s: f"{s / rows * 1e9:.2f} ns/transition" if s else "-"


def per_row(w):
    rows = w.rows
    return lambda s: f"{s / rows * 1e9:.2f} ns/row" if s else "-"


def conversion_format(w):
    """How a conversion workload's times read: per row or per array."""
    return per_row(w) if w.per_row else per_array(w)


def table_lines(r: Results):
    """The table of times, ratios and goals, and the goals one by one as
    (workload, met, how far)."""
    labels = r.labels
    others = labels[1:]
    head = (["workload"] + labels + ["numba", "python (scaled)", "floor", "numba / tarnel",
                                     "python / tarnel", "tarnel / floor"]
            + [f"{label} / tarnel" for label in others] + ["goal"])
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    goals = []

    def row(title, fmt, med, goal):
        t, n, p, f = med.get("tarnel"), med.get("numba"), med.get("python"), med.get("floor")
        cells = ([title] + [fmt(med.get(label)) for label in labels]
                 + [fmt(n) if n else "-", fmt(p), fmt(f), ratio(n, t), ratio(p, t), ratio(t, f)]
                 + [ratio(med.get(label), t) for label in others] + [goal])
        lines.append("| " + " | ".join(cells) + " |")

    for key in r.array_keys:
        w, med = r.work[key], r.estimates[key]
        t, n, f = med["tarnel"], med.get("numba"), med["floor"]
        if w.conversion and key != "W5":
            # The rows per array (W5b, W5c), and the large conversion per row
            # beside NumPy reading the same memory.
            fmt = conversion_format(w)
            s = med.get("numpy sum")
            if key == "W5c":
                per_row = t / sum(len(e) for e in w.episodes)
                met = verdict(per_row, W5C_PER_ROW, at_least=False)
                goal = f"<= {W5C_PER_ROW * 1e9:.0f} ns/row: {met}"
                goals.append((key, met, f"{per_row * 1e9:.2f} ns per row (goal <= {W5C_PER_ROW * 1e9:.0f})"))
            else:
                goal = (f"no goal; NumPy .sum() of the same array {fmt(s)}, tarnel {ratio(t, s)} its time"
                        if s else "no goal")
            row(f"{key} {w.title}", fmt, med, goal)
            continue
        if key == "W5":
            met_array = verdict(t / len(w.episodes), W5_PER_ARRAY, at_least=False)
            goal = f"<= {W5_PER_ARRAY * 1e6:.2f} us/array: {met_array}"
            goals.append((key, met_array, f"{t / len(w.episodes) * 1e6:.3f} us per array "
                                          f"(goal <= {W5_PER_ARRAY * 1e6:.2f}), {ratio(t, f)} the floor's time"))
            row(f"{key} {w.title}", per_array(w), med, goal)
            # Only builds that have these functions time them (bench/workloads.py).
            for function in ("check_episodes", "visit_counts"):
                runs = {name[:-len(function) - 1]: s for name, s in med.items() if name.endswith(" " + function)}
                if runs:
                    row(f"{key} {function} on the same arrays", per_transition(w), runs,
                        "no goal" + (f"; {ratio(runs['tarnel'], t)} the conversion's time"
                                     if "tarnel" in runs else ""))
            continue
        if key == "W4":
            s = med["tarnel sequential"]
            met = verdict(s / t, W4_THROUGHPUT, at_least=True)
            probe = r.spare_cores.get(key)
            offered = (f"; the machine offered {min(probe):.2f}x to {max(probe):.2f}x with two "
                       "threads of fixed work" if probe else "")
            goal = (f"parallel {s / t:.2f}x the throughput of 8 sequential calls "
                    f"({fmt_time(s)}): {met} (>= {W4_THROUGHPUT}x){offered}")
            goals.append((key, met, f"{s / t:.2f}x the sequential throughput{offered}"))
        else:
            numba_goal, floor_goal = GOALS[key]
            met_numba = ("met" if numba_goal is None
                         else verdict(n / t, numba_goal, at_least=True) if n is not None else "NOT met")
            met_floor = verdict(t / f, floor_goal, at_least=False)
            goal = f"vs numba {met_numba}, vs floor {met_floor}"
            numba_text = (f"goal {numba_goal}x" if numba_goal else "no goal: the floor is the limit")
            goals.append((key, worst(met_numba, met_floor), f"{ratio(n, t)} faster than numba ({numba_text}), "
                                                        f"{ratio(t, f)} the floor's time (goal <= {floor_goal}x)"))
        row(f"{key} {w.title}", fmt_time, med, goal)
    # The wheel users install against the build from source, workload by
    # workload: the worst of them.
    pairs = [(med["tarnel"] / med["tarnel g++"], key) for key, med in r.estimates.items()
             if "tarnel g++" in med and med.get("tarnel")]
    if pairs:
        slowest, key = max(pairs)
        goals.append(("wheel", verdict(slowest, WHEEL_TO_GXX, at_least=False),
                      f"the portable wheel takes at most {slowest:.2f}x the g++ build's time ({key}; goal "
                      f"<= {WHEEL_TO_GXX}x)"))
    return lines, goals + flat_goals(r) + at_scale_goals(r)


def flat_figures(r: Results):
    """Per flat workload and build that offers the table: (key, label,
    conversion, construction, NumPy's read, list path), estimates in seconds."""
    out = []
    for key in r.flat_keys:
        med = r.estimates[key]
        for label in r.labels:
            if label in med:
                out.append((key, label, med[label], med[f"{label} construction"], med[f"{label} numpy sum"],
                            med[f"{label} list path"]))
    return out


def flat_memory_goal(rows, episodes):
    return FLAT_PER_TRANSITION * rows + FLAT_PER_EPISODE * episodes


def flat_goals(r: Results):
    """The flat workloads' goals as (workload, met, how far)."""
    goals = []
    for key, label, conversion, construction, numpy_sum, list_path in flat_figures(r):
        whole = construction + conversion
        met_read = verdict(conversion / numpy_sum, FLAT_TO_NUMPY, at_least=False)
        met_list = verdict(list_path / whole, FLAT_LIST_SPEEDUP, at_least=True)
        goals.append((f"{key} ({label}) against NumPy's read", met_read,
                      f"conversion {conversion / numpy_sum:.2f}x NumPy's read of the columns (goal <= "
                      f"{FLAT_TO_NUMPY:g}x)"))
        goals.append((f"{key} ({label}) against the list path", met_list,
                      f"list path {list_path / whole:.1f}x the table's construction and conversion "
                      f"(goal >= {FLAT_LIST_SPEEDUP:g}x)"))
    for key, growth, rows, episodes, exact in r.flat_memory_rows:
        goal = flat_memory_goal(rows, episodes)
        goals.append((f"{key} memory", counted(growth <= goal),
                      f"peak growth {growth / rows:.2f} bytes per transition, "
                      f"{(growth - FLAT_PER_TRANSITION * rows) / episodes:+.1f} bytes per episode beyond "
                      f"{FLAT_PER_TRANSITION} per transition (goal <= {FLAT_PER_EPISODE})"
                      + ("" if exact else "; peak not resettable: upper estimate")))
    return goals


def flat_section(r: Results):
    """RESULTS.md's section on the flat workloads, between its markers, with its
    own date, load and raw times: a run of W8 alone rewrites just this."""
    env = r.machine
    out = [FLAT_START, "", "## Flat columns: W8, EpisodeTable", ""]
    if not r.flat_keys:
        return out + ["Not measured in this run: `python bench/run.py --only W8a,W8b`.", "", FLAT_END]
    per = {key: per_transition(r.work[key]) for key in r.flat_keys}
    out += [f"Measured {env['date']}; load average {env['load']:.1f} at the start, {env['load_end']:.1f} at "
            f"the end ({r.other_work})"
            + (f"; QUICK run ({r.scale_text} of the rows)" if r.quick else "")
            + f"; {method(r)}.", "",
            "| workload | build | conversion | NumPy's read | conversion / read | construction "
            "| list path | list path / (construction + conversion) | goal |",
            "|---|---|---|---|---|---|---|---|---|"]
    for key, label, conversion, construction, numpy_sum, list_path in flat_figures(r):
        fmt = per[key]
        whole = construction + conversion
        met_read = verdict(conversion / numpy_sum, FLAT_TO_NUMPY, at_least=False)
        met_list = verdict(list_path / whole, FLAT_LIST_SPEEDUP, at_least=True)
        out.append(f"| {key} {r.work[key].title} | {label} | {fmt(conversion)} | {fmt(numpy_sum)} | "
                   f"{ratio(conversion, numpy_sum)} | {fmt_time(construction)} | {fmt_time(list_path)} | "
                   f"{ratio(list_path, whole)} | <= {FLAT_TO_NUMPY:g}x the read: {met_read}; "
                   f">= {FLAT_LIST_SPEEDUP:g}x faster than the list path: {met_list} |")
    out += ["",
            "- Columns: int32 state, int8 action, float32 reward, int32 next state, bool terminal "
            "(14 bytes a row), generated from the fixed seed; W8a and W8b share all but the terminal "
            "flags and the ends. The table is `tarnel.EpisodeTable(state, action, reward, next_state, "
            "terminal, ends)`, built once.",
            "- conversion: `fast_learn(table, (500, 6), 0.9, 0.1, n, False, 0.0)` with `n` half the episodes, "
            "the fewest picks with which a call converts the whole table at once, in its order (a call with "
            "fewer converts only the episodes it picks); the figure includes the training of those `n` "
            "picks, per transition. "
            "NumPy's read: `.sum()` of each of the five columns, in the same process, per transition. "
            "construction: `EpisodeTable(...)` alone (it checks the ends).",
            "- list path: what a user writes today, timed as a whole: "
            "`np.column_stack(columns).astype(np.float64)`, `np.split` at the ends into views, "
            "then the same call, with the same `n`, on the list."]
    if r.flat_memory_rows:
        out += ["", "Peak memory of one `fast_learn` call on the table converting it at once (`max_iterations` "
                "half the episodes), in a fresh "
                "process: growth of the peak resident set during the call (VmHWM after it minus VmRSS "
                "before it; the columns are anonymous memory, resident before the call).", "",
                "| workload | transitions | episodes | peak growth | per transition | per episode beyond "
                f"{FLAT_PER_TRANSITION} B/transition | goal |", "|---|---|---|---|---|---|---|"]
        for key, growth, rows, episodes, exact in r.flat_memory_rows:
            goal = flat_memory_goal(rows, episodes)
            out.append(f"| {key} | {rows} | {episodes} | {growth / 2**20:.1f} MiB | {growth / rows:.2f} bytes | "
                       f"{(growth - FLAT_PER_TRANSITION * rows) / episodes:+.1f} bytes | "
                       f"<= {FLAT_PER_TRANSITION} B/transition + {FLAT_PER_EPISODE} B/episode "
                       f"({goal / 2**20:.1f} MiB): {'met' if growth <= goal else 'NOT met'}"
                       f"{'' if exact else ' (peak not resettable: upper estimate)'} |")
    out += ["", "Raw times (seconds, in round order):", "", "```"]
    out += raw_lines(r, r.flat_keys)
    out += ["```", "", FLAT_END]
    return out


def count_text(n: float) -> str:
    """1000 as 10^3, 20000000 as 2x10^7; other counts as they are."""
    n = int(n)
    k = len(str(n)) - 1
    m, rest = divmod(n, 10**k)
    if rest or k < 3:
        return str(n)
    return f"10^{k}" if m == 1 else f"{m}x10^{k}"


def at_scale_label(c) -> str:
    case = c.case
    workers = f", {case.workers} workers" if case.workers else ""
    return (f"{case.function} {case.q_shape[0]}x{case.q_shape[1]}, episodes of ~{case.length}{workers}, "
            f"{count_text(case.iterations)} iterations")


def small_ratio(c) -> float | None:
    """A W9 call's time per replayed transition on the large data over the
    same on the small data."""
    small = c.estimates.get("tarnel" + W9_SMALL)
    return (c.estimates["tarnel"] / c.replayed) / (small / c.small_replayed) if small else None


def at_scale_goal_cases(a):
    """The calls the per-transition goal is read on: of each function,
    table and episode length, the one with the most iterations that also
    ran on the small data."""
    chosen = {}
    for c in a.cases:
        key = (c.case.function, c.case.q_shape, c.case.length, c.case.workers)
        if small_ratio(c) is not None and (key not in chosen or c.case.iterations > chosen[key].case.iterations):
            chosen[key] = c
    return list(chosen.values())


def at_scale_goals(r: Results):
    """W9's goals as (workload, met, how far)."""
    a = r.at_scale
    if a is None:
        return []
    goals = []
    for shape in dict.fromkeys(c.case.q_shape for c in a.cases):
        cases = [c for c in at_scale_goal_cases(a) if c.case.q_shape == shape]
        met = worst(*(verdict(small_ratio(c), AT_SCALE_PER_TRANSITION, at_least=False) for c in cases))
        goals.append((f"W9 {shape[0]}x{shape[1]} per replayed transition", met,
                      f"on {count_text(a.rows)} rows at most {AT_SCALE_PER_TRANSITION:g}x the time per replayed "
                      f"transition on {count_text(a.small_rows)}: "
                      + "; ".join(f"{at_scale_label(c)} {small_ratio(c):.2f}x" for c in cases)))
    timed = [c for c in a.cases if "numba" in c.estimates]
    if timed:
        slowest = min(timed, key=lambda c: c.estimates["numba"] / c.estimates["tarnel"])
        met = worst(*(verdict(c.estimates["numba"] / c.estimates["tarnel"], AT_SCALE_NUMBA, at_least=True)
                      for c in timed))
        failing = [c for c in timed
                   if verdict(c.estimates["numba"] / c.estimates["tarnel"], AT_SCALE_NUMBA, True) != "met"]
        goals.append(("W9 against Numba", met,
                      f"every whole call at least {AT_SCALE_NUMBA:g}x faster than the Numba loop over the columns: "
                      f"{len(timed) - len(failing)} of {len(timed)} calls met; the least, "
                      f"{at_scale_label(slowest)}, {ratio(slowest.estimates['numba'], slowest.estimates['tarnel'])}"))
    return goals


def at_scale_rows(r: Results):
    """One row per W9 call: its cells, in the section's column order."""
    rows = []
    for c in r.at_scale.cases:
        e = c.estimates
        t, n, f, small = e["tarnel"], e.get("numba"), e.get("floor"), e.get("tarnel" + W9_SMALL)
        per = small_ratio(c)
        rows.append([at_scale_label(c), fmt_time(t), f"{t / c.replayed * 1e9:.2f} ns",
                     f"{small / c.small_replayed * 1e9:.2f} ns" if small else "-",
                     f"{per:.2f}x" if per else "-",
                     (fmt_time(n) + ("*" if c.numba_scaled else "")) if n else "-", ratio(n, t),
                     fmt_time(f) if f else "-", ratio(t, f), fmt_time(c.limit), ratio(t, c.limit),
                     f"{c.rounds}" + (f", {c.set_aside} set aside" if c.set_aside else "")
                     + (" (all: figures from every round)" if c.set_aside == c.rounds else "")])
    return rows


def at_scale_section(r: Results):
    """RESULTS.md's section on W9, between its markers, with its own date,
    load, goals and raw times: a run of W9 alone rewrites just this."""
    env, a = r.machine, r.at_scale
    out = [AT_SCALE_START, "", "## Training at scale: W9", ""]
    if a is None:
        return out + ["Not measured in this run: `python bench/run.py --only W9`.", "", AT_SCALE_END]
    big, small = count_text(a.rows), count_text(a.small_rows)
    out += [f"Measured {env['date']}; load average {env['load']:.1f} at the start, {env['load_end']:.1f} at "
            f"the end ({r.other_work})" + (f"; QUICK run ({r.scale_text} of the rows and iterations)"
                                          if r.quick else "")
            + f"; the `{r.builds[0].label}` build; each call in interleaved rounds of its own (bench/at_scale.py: "
            f"as many as fit in {at_scale.CALL_SECONDS:g} s, at least {min(at_scale.FEWEST_ROUNDS, r.repeat)} and "
            f"at most {r.repeat}), the "
            f"{timing.ESTIMATOR} of each contender's rounds kept. NumPy's read of "
            f"{a.bandwidth_bytes / 1e6:.0f} MB of the columns ran at {a.bandwidth / 1e9:.2f} GB/s.", "",
            f"| call on {big} rows | tarnel | per replayed transition | the same on {small} rows | ratio | Numba "
            "| Numba / tarnel | floor | tarnel / floor | limit | tarnel / limit | rounds |",
            "|" + "---|" * 12]
    out += ["| " + " | ".join(row) + " |" for row in at_scale_rows(r)]
    out += ["",
            f"- Data: {big} transitions as five columns (int32 state, int8 action, float32 reward, int32 next "
            "state, bool terminal) in an `EpisodeTable`, episodes of 5 to 15 or 50 to 150 rows, every index "
            f"inside its table, from a fixed seed; the same generator on {small} rows, whose records stay in "
            "the caches. `quit_threshold` 0: every call runs all its iterations.",
            "- per replayed transition: the whole call's time over its picks times the mean episode length "
            "(a parallel call's picks: every worker's).",
            "- Numba: the `@njit` drivers of the other workloads on the columns as they lie (the ends as "
            "n + 1 offsets, made once outside the timing). * timed at fewer iterations and scaled "
            "linearly (below).",
            "- floor: bench/peers/floor.cpp on the columns, each episode converted into records the first time "
            "it is picked, the picks drawn ahead (bench/limits.md).",
            "- limit: the bytes the call must bring from memory (each picked episode's columns once, its "
            "records at every later pick, in whole cache lines, and the table once) over NumPy's read "
            "bandwidth; a parallel call's workers' bytes together, over one core's bandwidth.", "",
            "Goals:", ""]
    out += [f"- {key}: {met}: {text}" for key, met, text in at_scale_goals(r)]
    scaled = [c for c in a.cases if c.numba_scaled and c.numba_linearity]
    if scaled:
        out += ["", "The Numba loop's time per iteration, where it was scaled, against the same at fewer "
                f"iterations (linear within {at_scale.LINEAR:.0%}: the scaling holds):", ""]
        for c in scaled:
            below, x = c.numba_linearity
            linear = abs(x - 1) <= at_scale.LINEAR
            out.append(f"- {at_scale_label(c)}: timed at {count_text(c.numba_timed)}, {x:.2f}x its time per "
                       f"iteration at {count_text(below)}: {'linear' if linear else 'NOT linear'}")
    out += ["", "Raw times (seconds, rounds kept, in round order):", "", "```"]
    out += [f"{c.case.name:<38} {name:<14} " + " ".join(f"{v:.4f}" for v in values)
            for c in a.cases for name, values in c.raw.items()]
    out += ["```", "", AT_SCALE_END]
    return out


def at_scale_readme_lines(r: Results):
    """The README's line on W9: the call of AT_SCALE_README with the most
    iterations that also ran on the small data."""
    if r.at_scale is None:
        return []
    function, shape, length = AT_SCALE_README
    cases = [c for c in at_scale_goal_cases(r.at_scale)
             if (c.case.function, c.case.q_shape, c.case.length) == (function, shape, length)]
    out = []
    for c in cases:
        e = c.estimates
        small = e["tarnel" + W9_SMALL] / c.small_replayed
        out.append(f"| W9 {at_scale_label(c)}, on {count_text(r.at_scale.rows)} rows as flat columns "
                   f"({small * 1e9:.2f} ns on {count_text(r.at_scale.small_rows)}) "
                   f"| {e['tarnel'] / c.replayed * 1e9:.2f} ns per replayed transition "
                   f"| {ratio(e.get('numba'), e['tarnel'])} | {ratio(e['tarnel'], e.get('floor'))} |")
    return out


def at_scale_console_lines(r: Results):
    if r.at_scale is None:
        return []
    lines = [f"  W9 {label}: tarnel {t}, {per} per replayed transition (small data {small}, {x}); Numba / tarnel "
             f"{nt}; tarnel / floor {tf}; tarnel / limit {tl}"
             for label, t, per, small, x, _, nt, _, tf, _, tl, _ in at_scale_rows(r)]
    return lines + [f"  {key}: {met}: {text}" for key, met, text in at_scale_goals(r)]


def raw_lines(r: Results, keys):
    return [f"{key:<4} {name:<26} " + " ".join(f"{v:.4f}" for v in values)
            for key in keys for name, values in r.raw[key].items()]


def flat_console_lines(r: Results):
    lines = []
    for key, label, conversion, construction, numpy_sum, list_path in flat_figures(r):
        fmt = per_transition(r.work[key])
        lines.append(f"  {key} {label}: conversion {fmt(conversion)}, NumPy's read {fmt(numpy_sum)} "
                     f"({ratio(conversion, numpy_sum)}), construction {fmt_time(construction)}, "
                     f"list path {fmt_time(list_path)} ({ratio(list_path, construction + conversion)} "
                     "the table's construction and conversion)")
    for key, growth, rows, episodes, exact in r.flat_memory_rows:
        lines.append(f"  memory  {key}: peak growth {growth / rows:.2f} bytes per transition, "
                     f"{(growth - FLAT_PER_TRANSITION * rows) / episodes:+.1f} bytes per episode beyond "
                     f"{FLAT_PER_TRANSITION} per transition ({growth / 2**20:.1f} MiB)")
    if r.flat_keys and not lines:
        lines.append("  W8: no build measured has EpisodeTable")
    return lines


def console_lines(r: Results):
    """The end of the run's console output: the table, memory, load."""
    env = r.machine
    lines = ([""] + (table_lines(r)[0] if r.array_keys else []) + [""] + flat_console_lines(r)
             + at_scale_console_lines(r))
    for key, name, value, (low, middle, high) in spread_rows(r):
        if name in ("tarnel / floor", "sequential / parallel throughput"):
            lines.append(f"  {key} {name}: {value:.2f}x; round by round {low:.2f}x, {middle:.2f}x, {high:.2f}x "
                         "(min, median, max)")
    if r.per_transition_rows:
        lines.append("")
        for function, growth, rows, goal, exact in r.per_transition_rows:
            lines.append(f"  memory  {function}: peak growth {growth / rows:.1f} bytes per transition "
                         f"({growth / 2**20:.1f} MiB for {rows} transitions; goal <= {goal})")
    if r.memory_rows:
        lines.append("")
        for title, growth, allowed, described, exact in r.memory_rows:
            lines.append(f"  memory  {title}: peak growth {growth / 2**20:.1f} MiB "
                         f"(bound {allowed / 2**20:.1f} MiB: {described})")
    lines.append(f"\ntotal {r.elapsed:.0f} s; load average {env['load']:.1f} at the start, "
                 f"{env['load_end']:.1f} at the end; {r.other_work}")
    if r.loaded:
        lines.append("warning: other processes were running; the times are noisy, W4's above all")
    return lines


def provenance(r: Results):
    """What the figures are worth: a quick run or a loaded machine says so."""
    notes = []
    if r.quick:
        notes.append(f"QUICK run ({r.scale_text} of the iterations)")
    if r.loaded:
        notes.append("other processes were running: the times are noisy, W4's above all")
    return notes


def results_text(r: Results, lines, goals, scale_block):
    env, wl, keys = r.machine, r.work, r.array_keys
    out = ["# Benchmark results", "",
           "Written by `python bench/run.py` (or `make bench`); do not edit by hand."]
    if r.quick:
        out += ["", f"**Figures from a quick run ({r.scale_text} of the iterations)"
                + (" on a loaded machine" if r.loaded else "")
                + ": they show that the harness works, not how fast tarnel is.**"]
    out += ["",
            f"- Machine: {env['cpu']}, {env['cores']} cores; load average {env['load']:.1f} "
            f"at the start, {env['load_end']:.1f} at the end"
            + f" ({r.other_work})",
            f"- Versions: tarnel {', '.join(sorted(set(r.versions.values())))}, Python {env['python']}, "
            f"NumPy {env['numpy']}, Numba {env['numba']}, floor built with {env['compiler']}"]
    for build in r.builds:
        out.append(f"- `{build.label}` measured: {build.source}"
                   + (" (OLDER than a file under src/: rebuild it)" if build.stale else ""))
    out += [f"- Date: {env['date']}; {method(r)}; "
            f"whole run {r.elapsed:.0f} s" + (f"; QUICK run ({r.scale_text} of the iterations)" if r.quick else ""),
            "",
            "## Times", ""]
    out += lines
    out += ["",
            "Ratios above 1 in `numba / tarnel` and `python / tarnel` mean tarnel is faster; "
            "`tarnel / floor` is how many times the floor's time tarnel takes."
            + "".join(f" `{label} / tarnel` is how many times the `tarnel` column's time `{label}` takes."
                      for label in r.labels[1:]),
            "",
            "- Workloads: " + "; ".join(
                f"{k} {wl[k].title}, {len(wl[k].episodes)} episodes, "
                + (f"{wl[k].iterations} iterations" if wl[k].iterations else "no training")
                for k in keys) + ". `quit_threshold` 0 everywhere: no run stops early.",
            "- Each build of tarnel runs in a process of its own, which builds the workloads from the same "
            "seed (the run stops unless a digest of its episodes matches this process's) and times each "
            "call there; the rounds interleave it with the peers.",
            "- W4 compares one `qlearn_forward_parallel` call (8 trainings of 100000 iterations) "
            "with 8 sequential `qlearn_forward` calls; its goal is on their ratio.",
            "- W5 (and W5b, W5c, with longer arrays) times the conversion alone (`max_iterations` 0), "
            "per episode array; W5d the same per row, on views of one large array, beside NumPy's "
            "`.sum()` of that array (one read of the same memory: the bandwidth the conversion "
            "cannot beat). The Numba "
            "peer's figure is its flattening into columns, the floor's a bare C++ conversion of "
            "the same arrays (pointers gathered outside the timing), Python's the conversion "
            "into tuples. Its `check_episodes` and `visit_counts` rows, where the module has those "
            "functions, time them on the same arrays, per transition.",
            "- python (scaled): plain Python on "
            + ", ".join(f"{k} {wl[k].python_share:.0%}" for k in keys)
            + " of the iterations (W5: of the arrays); its training time is divided by that share, "
            "its conversion time is not.",
            "- numba: `@njit` drivers with the same rules, sums and picks (NumPy's generator); "
            f"compilation ({r.compile_seconds:.1f} s, cached on disk) is outside the timings."
            if r.compile_seconds is not None else "- numba: not installed.",
            "- floor: bench/peers/floor.cpp, one bare function per workload: the module's "
            "generator and table sum in line, no checks, 16-byte transitions; built with the "
            "core's flags (-O3, no FMA contraction, baseline x86-64). Its time includes its "
            "conversion into those transitions from the episode arrays where they lie (their "
            "pointers gathered outside the timing, as W5's are).",
            "",
            "## Goals", "",
            f"A goal on a time whose ratio lies within {PRECISION:.0%} of it is \"{AT_GOAL}\": two quiet "
            "runs of the same builds give such a ratio up to that far apart (bench/limits.md), so one run "
            "cannot tell met from NOT met there.", ""]
    for key, met, text in goals:
        out.append(f"- {key}: {met}: {text}")
    out += ["", "## Spread of the ratios", "",
            f"Each ratio above is the {timing.ESTIMATOR} of one side's rounds over the {timing.ESTIMATOR} of "
            "the other's (`estimate`); beside it, the ratio of the two sides' times taken in the same "
            "round, from round to round (the plain Python peer runs in the first "
            f"{timing.PYTHON_ROUNDS} rounds only).", ""] + spread_lines(r)
    out += ["", "## Same work: the deterministic check", "",
            "Each peer, and each further build, against `tarnel` on single-episode inputs, tables and "
            "printed sums compared bit for bit; the first column names the workload the case "
            "stands for:", ""] + (["```"] + r.check_rows + ["```"] if r.check_rows
                                  else ["Not run: no workload of this run trains."])
    if r.per_transition_rows:
        rows = r.per_transition_rows[0][2]
        out += ["", "## Peak memory per transition", "",
                f"Growth of the peak resident set during one call of `tarnel` on {rows} transitions "
                "(40000 episodes of 50 to 150 steps, 500 x 6 table, `max_iterations` 1), in a fresh "
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
                "Growth of the peak resident set during one call of `tarnel`, in a fresh process "
                "(VmHWM after the call minus VmRSS before it).", "",
                "| call | peak growth | bound | bound made of |", "|---|---|---|---|"]
        for title, growth, allowed, described, exact in r.memory_rows:
            out.append(f"| {title} | {growth / 2**20:.2f} MiB | {allowed / 2**20:.2f} MiB | "
                       f"{described}{'' if exact else ' (peak not resettable: upper estimate)'} |")
        out += ["", "A stored history of 10^12 sums would need 8 TB; the driver keeps the window "
                "means instead, so 10^12 and 10^6 cost the same."]
    out += ["", "## Rounds set aside", "",
            f"The reference loop (fixed arithmetic, {r.reference_best * 1e3:.2f} ms at its best in this run) "
            "was timed before every run and at the end of every round; a round in which it took, at its "
            f"median, more than {PRECISION:.0%} longer than its best was set aside and run again, at most "
            f"{timing.EXTRA_ROUNDS:.0%} more rounds than asked for (bench/limits.md, \"Verdicts\"):", "",
            "| workload | rounds run | set aside |", "|---|---|---|"]
    out += [f"| {key} | {rounds} | {aside}" + (" (every round: the figures are from all of them)"
                                                 if aside == rounds else "") + " |"
            for key, (aside, rounds) in r.set_aside.items()]
    out += [""] + flat_section(r) + [""] + at_scale_section(r) + [""] + scale_block
    out += ["", "## Raw times (seconds, in round order)", "", "```"]
    out += raw_lines(r, keys)
    out += ["```", ""]
    notes_file = HERE / "limits.md"
    if notes_file.exists():
        out += [notes_file.read_text()]
    return "\n".join(out)


def readme_block(r: Results):
    """The README's summary: per workload tarnel's time and its ratios to
    Numba and the floor, and where the figures come from."""
    env = r.machine
    out = [README_START, ""]
    notes = provenance(r)
    if notes:
        out += ["Caution: " + "; ".join(notes) + ".", ""]
    out += ["| workload | tarnel | Numba / tarnel | tarnel / floor |", "|---|---|---|---|"]
    for key in r.array_keys:
        w, med = r.work[key], r.estimates[key]
        t, n, f = med["tarnel"], med.get("numba"), med["floor"]
        fmt = conversion_format(w) if w.conversion else fmt_time
        out.append(f"| {key} {w.title} | {fmt(t)} | {ratio(n, t)} | {ratio(t, f)} |")
        if "numpy sum" in med:
            out.append(f"| {key} NumPy `.sum()` of the same array (read bandwidth) | {fmt(med['numpy sum'])} "
                       "| - | - |")
        for function in ("check_episodes", "visit_counts"):
            if key == "W5" and f"tarnel {function}" in med:
                out.append(f"| {key} `{function}` on the same arrays | "
                           f"{per_transition(w)(med[f'tarnel {function}'])} | - | - |")
    for key, label, conversion, construction, numpy_sum, list_path in flat_figures(r):
        if label == "tarnel":
            fmt = per_transition(r.work[key])
            out += [f"| {key} {r.work[key].title} | {fmt(conversion)} | - | - |",
                    f"| {key} NumPy `.sum()` of the same columns (read bandwidth) | {fmt(numpy_sum)} | - | - |",
                    f"| {key} the list path (column_stack, astype, split, the call) | {fmt(list_path)} "
                    "| - | - |"]
    out += at_scale_readme_lines(r)
    build = r.builds[0]
    out += ["",
            f"The {timing.ESTIMATOR} of {r.repeat} interleaved rounds, {env['date']}, on {env['cores']} cores of "
            f"{env['cpu']} (Python {env['python']}, NumPy {env['numpy']}, Numba {env['numba']}); "
            f"`tarnel` is {build.summary}. `Numba / tarnel` above 1: "
            "tarnel is faster; `tarnel / floor`: how many times the time of bare C++ doing the same "
            "arithmetic tarnel takes. `bench/RESULTS.md` has every column, the goals and the "
            "same-work check."]
    out += ["", README_END]
    return out


def replace_block(text: str, lines: list[str], start_mark: str = README_START,
                  end_mark: str = README_END) -> str:
    start, end = text.index(start_mark), text.index(end_mark) + len(end_mark)
    return text[:start] + "\n".join(lines) + text[end:]


def block(text: str, start: str, end: str) -> list[str] | None:
    """The lines from `start` to `end` in text, markers included; None without them."""
    if start not in text or end not in text:
        return None
    return text[text.index(start):text.index(end) + len(end)].split("\n")


def scale_placeholder():
    return [SCALE_START, "", "## Scale: `make scale`", "",
            "Not run yet: `make scale` (bench/scale.py) writes its figures here.", "", SCALE_END]


def write(r: Results, results_path: Path = RESULTS, readme_path: Path | None = README):
    """RESULTS.md in full and, when the file has the markers, README's block.
    A run of W8 or W9 alone rewrites only their sections of RESULTS.md
    (the rest, README's block included, stays as the last full run left it);
    `make scale`'s section is kept as it is."""
    old = results_path.read_text() if results_path.exists() else ""
    if not r.array_keys:
        sections = ([("W8", flat_section(r), FLAT_START, FLAT_END)] if r.flat_keys else []) + (
            [("W9", at_scale_section(r), AT_SCALE_START, AT_SCALE_END)] if r.at_scale is not None else [])
        for name, lines, start, end in sections:
            if block(old, start, end) is not None:
                old = replace_block(old, lines, start, end)
            elif SCALE_START in old:  # a file from before the section: it goes where a full run puts it
                old = old.replace(SCALE_START, "\n".join(lines) + "\n\n" + SCALE_START)
            else:
                say(f"{results_path} has no {start} ... {end} section; run every workload once")
                continue
            results_path.write_text(old)
            say(f"wrote the {name} section of {results_path}")
        return
    lines, goals = table_lines(r)
    scale_block = block(old, SCALE_START, SCALE_END) or scale_placeholder()
    results_path.write_text(results_text(r, lines, goals, scale_block))
    say(f"wrote {results_path}")
    if readme_path is None:
        return
    text = readme_path.read_text()
    if README_START not in text or README_END not in text:
        say(f"{readme_path} has no {README_START} ... {README_END} block; left as it is")
        return
    readme_path.write_text(replace_block(text, readme_block(r)))
    say(f"wrote the results block of {readme_path}")
