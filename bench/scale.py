"""A billion transitions in one call: recorded episodes as memory-mapped
columns on disk, trained in place through an EpisodeTable.

    python bench/scale.py [--data DIR] [--transitions N] [--iterations N] [--no-write]

Once, it writes the five columns (int32 state, int8 action, float32 reward,
int32 next state, bool terminal: 14 bytes a transition) and the episodes'
int64 end offsets as .npy files in DIR (default build/scale-data, or
$TARNEL_SCALE_DATA): episodes of 50 to 150 steps on a 100,000 x 8 table,
generated from a fixed seed in chunks of 10^7 rows, so the writer holds a
few hundred MB whatever the size. Later runs reuse the files when their
shapes and dtypes fit, and stop when they do not.

Then it opens them with mmap_mode="r", builds the table and times three
steps: the construction, the conversion (a fast_learn call with
max_iterations 0) and the training (fast_learn for --iterations, conversion
included). A sampler process reads this process's RssAnon every 50 ms: the
anonymous memory the call owns, apart from the columns' mapped pages
(RssFile, the kernel's cache), reported at the end. The figures are printed
and written into RESULTS.md's scale section.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import report
import timing
import workloads

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_DATA = ROOT / "build" / "scale-data"
SEED = 20240611
STATES, ACTIONS = 100_000, 8
SHORTEST, LONGEST = 50, 150
CHUNK = 10_000_000
DTYPES = {"state": np.int32, "action": np.int8, "reward": np.float32, "next_state": np.int32,
          "terminal": np.bool_}
# The goals at 10^9 transitions on a 24 GiB machine.
PEAK_ANON_GOAL = 17.5 * 2**30
CALL_GOAL = 120.0

# The sampler runs in a process of its own: tarnel keeps the GIL during a
# call, so a thread of this interpreter would not run until the call ends.
# It prints the peak RssAnon seen since the previous line of its input (a
# step's end) and ends at the end of its input.
SAMPLER = r"""
import re, select, sys
status = "/proc/%s/status" % sys.argv[1]
def anon():
    with open(status) as f:
        return int(re.search(r"RssAnon:\s+(\d+)", f.read()).group(1)) * 1024
peak = anon()
while True:
    ready, _, _ = select.select([sys.stdin], [], [], 0.05)
    peak = max(peak, anon())
    if ready:
        if not sys.stdin.readline():
            break
        print(peak, flush=True)
        peak = anon()
"""


def count(text: str) -> int:
    """A count written as 1000000, 1_000_000, 1e6 or 10**6."""
    m = re.fullmatch(r"\s*(\d+)\s*\*\*\s*(\d+)\s*", text)
    if m:
        return int(m.group(1)) ** int(m.group(2))
    value = float(text.replace("_", ""))
    if value != int(value) or value < 0:
        raise argparse.ArgumentTypeError(f"not a count: {text}")
    return int(value)


def options():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data", type=Path, default=Path(os.environ.get("TARNEL_SCALE_DATA", DEFAULT_DATA)),
                        help="where the columns are kept (default $TARNEL_SCALE_DATA or build/scale-data)")
    parser.add_argument("--transitions", type=count, default=10**9, help="rows (default 10**9)")
    parser.add_argument("--iterations", type=count, default=10**6, help="fast_learn's max_iterations "
                        "(default 10**6)")
    parser.add_argument("--no-write", action="store_true", help="leave RESULTS.md as it is")
    return parser.parse_args()


def say(*parts):
    print(*parts, flush=True)


def paths(directory: Path) -> dict[str, Path]:
    return {name: directory / f"{name}.npy" for name in (*workloads.COLUMNS, "ends")}


def episode_ends(rng: np.random.Generator, rows: int) -> np.ndarray:
    """End offsets of episodes of SHORTEST to LONGEST steps covering `rows`
    rows, the last one cut to fit."""
    lengths = rng.integers(SHORTEST, LONGEST + 1, size=rows // SHORTEST + 1)
    ends = np.cumsum(lengths)
    ends = ends[:np.searchsorted(ends, rows) + 1]
    ends[-1] = rows
    return ends


def write_columns(directory: Path, rows: int) -> None:
    """Every column chunk by chunk into memory-mapped .npy files, under
    temporary names renamed at the end, so a run cut short leaves nothing
    that a later one would take for finished columns."""
    need = rows * sum(np.dtype(t).itemsize for t in DTYPES.values()) + 8 * (rows // SHORTEST + 1)
    directory.mkdir(parents=True, exist_ok=True)
    free = shutil.disk_usage(directory).free
    if free < need * 1.05:
        sys.exit(f"{directory}: {free / 1e9:.1f} GB free, the columns need {need / 1e9:.1f} GB")
    rng = np.random.default_rng(SEED)
    ends = episode_ends(rng, rows)
    final = paths(directory)
    partial = {name: path.with_suffix(".partial") for name, path in final.items()}
    with open(partial["ends"], "wb") as f:  # np.save would add ".npy" to the name
        np.save(f, ends, allow_pickle=False)
    files = {name: np.lib.format.open_memmap(partial[name], mode="w+", dtype=DTYPES[name], shape=(rows,))
             for name in workloads.COLUMNS}
    started = time.perf_counter()
    for start in range(0, rows, CHUNK):
        stop = min(start + CHUNK, rows)
        n = stop - start
        files["state"][start:stop] = rng.integers(0, STATES, size=n, dtype=np.int32)
        files["action"][start:stop] = rng.integers(0, ACTIONS, size=n, dtype=np.int8)
        files["reward"][start:stop] = rng.standard_normal(size=n, dtype=np.float32)
        files["next_state"][start:stop] = rng.integers(0, STATES, size=n, dtype=np.int32)
        terminal = np.zeros(n, dtype=np.bool_)
        last = ends[np.searchsorted(ends, start, side="right"):np.searchsorted(ends, stop, side="right")]
        terminal[last - 1 - start] = True
        files["terminal"][start:stop] = terminal
        if (start // CHUNK) % 10 == 9:
            say(f"   {stop} of {rows} rows, {time.perf_counter() - started:.0f} s")
    for name, column in files.items():
        column.flush()
    del files
    for name in final:
        os.replace(partial[name], final[name])


def columns_present(directory: Path, rows: int) -> bool:
    """True when every file is there with the shape and dtype asked for; stops
    on files of another shape or dtype rather than overwrite them."""
    found = {name: path for name, path in paths(directory).items() if path.exists()}
    if not found:
        return False
    problems = []
    for name, path in paths(directory).items():
        if name not in found:
            problems.append(f"{path.name} is missing")
            continue
        array = np.load(path, mmap_mode="r")
        if name == "ends":
            if array.dtype != np.int64 or array.ndim != 1 or len(array) == 0 or array[-1] != rows:
                problems.append(f"{path.name}: {array.dtype} {array.shape}, not int64 ending at {rows}")
        elif array.dtype != DTYPES[name] or array.shape != (rows,):
            problems.append(f"{path.name}: {array.dtype} {array.shape}, not {np.dtype(DTYPES[name])} ({rows},)")
    if problems:
        sys.exit(f"{directory} holds other columns than {rows} transitions: " + "; ".join(problems)
                 + ". Remove them or choose another --data.")
    return True


def disk_bytes(directory: Path) -> int:
    return sum(path.stat().st_blocks * 512 for path in paths(directory).values())


def status() -> dict[str, int]:
    text = Path("/proc/self/status").read_text()
    return {key: int(re.search(key + r":\s+(\d+)", text).group(1)) * 1024
            for key in ("RssAnon", "RssFile", "VmHWM")}


class Sampler:
    """The peak RssAnon of this process per step, from a process of its own."""

    def __init__(self):
        self.process = subprocess.Popen([sys.executable, "-c", SAMPLER, str(os.getpid())],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def step(self) -> int:
        """The peak since the previous step's end."""
        self.process.stdin.write("\n")
        self.process.stdin.flush()
        return int(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def gib(n: float) -> str:
    return f"{n / 2**30:.2f} GiB"


def main() -> None:
    opts = options()
    rows = opts.transitions
    load_start = os.getloadavg()
    others = timing.OtherWork()
    say(f"scale: {rows} transitions in {opts.data}; load average {load_start[0]:.2f}")
    if columns_present(opts.data, rows):
        say("   reusing the columns there")
    else:
        say(f"   writing the columns ({rows * 14 / 1e9:.1f} GB) ...")
        started = time.perf_counter()
        write_columns(opts.data, rows)
        say(f"   written in {time.perf_counter() - started:.0f} s")
    on_disk = disk_bytes(opts.data)

    import tarnel

    shape = (STATES, ACTIONS)
    sampler = Sampler()
    try:
        sampler.step()  # the sampler is running
        columns = [np.load(path, mmap_mode="r") for path in paths(opts.data).values()]
        before = status()
        started = time.perf_counter()
        table = tarnel.EpisodeTable(*columns)
        construction = time.perf_counter() - started
        peak_construction = sampler.step()

        started = time.perf_counter()
        tarnel.fast_learn(table, shape, 0.9, 0.1, 0, False, 0.0)
        conversion = time.perf_counter() - started
        peak_conversion = sampler.step()

        started = time.perf_counter()
        tarnel.fast_learn(table, shape, 0.9, 0.1, opts.iterations, False, 0.0)
        training = time.perf_counter() - started
        peak_training = sampler.step()
        after = status()
    finally:
        sampler.close()
    load_end = os.getloadavg()
    peak = max(peak_construction, peak_conversion, peak_training)
    figures = {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), "transitions": rows,
        "episodes": len(columns[-1]), "iterations": opts.iterations, "disk_bytes": on_disk,
        "construction": construction, "conversion": conversion, "training": training,
        "anon_before": before["RssAnon"], "peak_anon": peak, "peak_anon_conversion": peak_conversion,
        "peak_anon_training": peak_training, "rss_file": after["RssFile"], "vm_hwm": after["VmHWM"],
        "load_start": load_start, "load_end": load_end, "other_cores": others.cores(), "cores": os.cpu_count(),
        "tarnel": tarnel.__file__}
    for line in console_lines(figures):
        say(line)
    if not opts.no_write:
        text = report.RESULTS.read_text()
        if report.SCALE_START not in text:
            say(f"{report.RESULTS} has no {report.SCALE_START} section; left as it is")
        else:
            report.RESULTS.write_text(report.replace_block(text, section(figures), report.SCALE_START,
                                                           report.SCALE_END))
            say(f"wrote the scale section of {report.RESULTS}")
    say(json.dumps(figures))


def goals(f: dict) -> list[tuple[bool, str]]:
    full = f["transitions"] >= 10**9
    scope = "" if full else f" (the goal is set for 10^9 transitions; this run had {f['transitions']})"
    return [(f["peak_anon"] <= PEAK_ANON_GOAL,
             f"peak RssAnon {gib(f['peak_anon'])} (goal <= {PEAK_ANON_GOAL / 2**30:g} GiB){scope}"),
            (f["training"] <= CALL_GOAL,
             f"the whole call, conversion and {f['iterations']} iterations, {f['training']:.1f} s "
             f"(goal <= {CALL_GOAL:g} s){scope}")]


def console_lines(f: dict) -> list[str]:
    n = f["transitions"]
    lines = [f"{n} transitions, {f['episodes']} episodes, {f['disk_bytes'] / 1e9:.2f} GB on disk",
             f"  construction {f['construction']:.3f} s",
             f"  conversion   {f['conversion']:.2f} s ({f['conversion'] / n * 1e9:.2f} ns/transition)",
             f"  training     {f['training']:.2f} s ({f['iterations']} iterations, conversion included)",
             f"  RssAnon {gib(f['anon_before'])} before, peak {gib(f['peak_anon'])} "
             f"({(f['peak_anon'] - f['anon_before']) / n:.2f} bytes per transition above it); "
             f"RssFile {gib(f['rss_file'])} at the end (the columns' mapped pages)",
             f"  load average {f['load_start'][0]:.2f} at the start, {f['load_end'][0]:.2f} at the end"]
    lines += [f"  goal {'met' if met else 'NOT met'}: {text}" for met, text in goals(f)]
    return lines


def section(f: dict) -> list[str]:
    n = f["transitions"]
    others = f["other_cores"]
    loaded = others > timing.OTHER_WORK_CORES
    out = [report.SCALE_START, "", "## Scale: `make scale`", "",
           f"Measured {f['date']} by bench/scale.py on {f['cores']} cores; load average "
           f"{f['load_start'][0]:.2f} at the start, {f['load_end'][0]:.2f} at the end"
           + f" (other processes took {others:.2f} of a core on average"
           + (": the times are noisy)" if loaded else ")") + "."]
    if n < 10**9:
        out += ["", f"**A small run ({n} transitions, not 10^9): it shows that the script works; the "
                "goals are set for 10^9 transitions.**"]
    out += ["",
            f"{n} transitions in {f['episodes']} episodes of {SHORTEST} to {LONGEST} steps, a "
            f"{STATES} x {ACTIONS} table, five .npy columns (int32, int8, float32, int32, bool) and the "
            f"int64 ends: {f['disk_bytes'] / 1e9:.2f} GB on disk, opened with `mmap_mode=\"r\"`.", "",
            "| step | wall time |", "|---|---|",
            f"| `EpisodeTable(...)` on the mapped columns | {f['construction']:.3f} s |",
            f"| conversion (`fast_learn`, `max_iterations` 0) | {f['conversion']:.2f} s "
            f"({f['conversion'] / n * 1e9:.2f} ns/transition) |",
            f"| training (`fast_learn`, {f['iterations']} iterations, conversion included) | "
            f"{f['training']:.2f} s |", "",
            "The conversion is the first call to read the mapped columns, so it also maps their pages "
            "into the process (from the kernel's cache or the disk); the training call reads them again.",
            "",
            f"Anonymous memory (RssAnon sampled every 50 ms): {gib(f['anon_before'])} before the calls, "
            f"peak {gib(f['peak_anon'])} ({gib(f['peak_anon_conversion'])} during the conversion, "
            f"{gib(f['peak_anon_training'])} during the training). The columns' mapped pages at the end "
            f"(RssFile, the kernel's cache): {gib(f['rss_file'])}.", ""]
    out += [f"- {'met' if met else 'NOT met'}: {text}" for met, text in goals(f)]
    out += ["", report.SCALE_END]
    return out


if __name__ == "__main__":
    main()
