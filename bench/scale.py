"""A billion transitions in one call: recorded episodes as memory-mapped
columns on disk, trained in place through an EpisodeTable.

    python bench/scale.py [--data DIR] [--transitions N] [--iterations N [N ...]] [--no-write]

Once, it writes the five columns (int32 state, int8 action, float32 reward,
int32 next state, bool terminal: 14 bytes a transition) and the episodes'
int64 end offsets as .npy files in DIR (default build/scale-data, or
$TARNEL_SCALE_DATA): episodes of 50 to 150 steps on a 100,000 x 8 table,
generated from a fixed seed in chunks of 10^7 rows, so the writer holds a
few hundred MB whatever the size. Later runs reuse the files when their
shapes and dtypes fit, and stop when they do not.

Then it opens them with mmap_mode="r", builds the table, reads every
column once (the warm-up: the columns are then in the kernel's cache, as
far as memory allows, and mapped into the process) and times one fast_learn
call per --iterations (default 10^6, then 10^8: about ten replays of each
episode). A sampler process reads this process's RssAnon every 50 ms: the
anonymous memory each call owns, apart from the columns' mapped pages
(RssFile, the kernel's cache), reported at the end. The figures are printed
and written into RESULTS.md's scale section and, from a run of 10^9
transitions with both default calls, into the README's sentence on it.
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
import textwrap
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
# The goals at 10^9 transitions on a 24 GiB machine, by a call's iterations:
# (seconds, peak anonymous memory). The 10^6-iteration call's time counts
# once the columns are in the kernel's cache (after the warm-up read).
GOALS = {10**6: (3.0, 4 * 2**30), 10**8: (150.0, 17.5 * 2**30)}
FULL = 10**9
# The README's sentence on this run, written by a run of FULL transitions.
README_START, README_END = "<!-- scale-sentence:start -->", "<!-- scale-sentence:end -->"

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
    parser.add_argument("--iterations", type=count, nargs="+", default=list(GOALS),
                        help="one fast_learn call per count, in order (default 10**6 10**8)")
    parser.add_argument("--no-write", action="store_true", help="leave RESULTS.md as it is")
    return parser.parse_args()


def say(*parts):
    print(*parts, flush=True)


def paths(directory: Path) -> dict[str, Path]:
    return {name: directory / f"{name}.npy" for name in (*workloads.COLUMNS, "ends")}


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
    ends = workloads.random_ends(rng, rows, SHORTEST, LONGEST)
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


def read_once(columns) -> int:
    """Reads every byte of the columns once, a chunk at a time; the bytes read."""
    total = 0
    for column in columns:
        flat = column.reshape(-1).view(np.uint8)
        for start in range(0, len(flat), CHUNK * 8):
            flat[start:start + CHUNK * 8].max()
        total += flat.nbytes
    return total


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
    calls = []
    try:
        sampler.step()  # the sampler is running
        columns = [np.load(path, mmap_mode="r") for path in paths(opts.data).values()]
        before = status()
        started = time.perf_counter()
        table = tarnel.EpisodeTable(*columns)
        construction = time.perf_counter() - started
        sampler.step()
        say("   reading the columns once ...")
        started = time.perf_counter()
        read_bytes = read_once(columns)
        warm_up = time.perf_counter() - started
        sampler.step()
        for iterations in opts.iterations:
            say(f"   fast_learn, {iterations} iterations ...")
            started = time.perf_counter()
            tarnel.fast_learn(table, shape, 0.9, 0.1, iterations, False, 0.0)
            calls.append({"iterations": iterations, "seconds": time.perf_counter() - started,
                          "peak_anon": sampler.step()})
            say(f"   {calls[-1]['seconds']:.2f} s, peak RssAnon {gib(calls[-1]['peak_anon'])}")
        after = status()
    finally:
        sampler.close()
    load_end = os.getloadavg()
    figures = {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), "transitions": rows,
        "episodes": len(columns[-1]), "disk_bytes": on_disk, "construction": construction,
        "warm_up": warm_up, "read_bytes": read_bytes, "calls": calls, "anon_before": before["RssAnon"],
        "rss_file": after["RssFile"], "vm_hwm": after["VmHWM"], "load_start": load_start, "load_end": load_end,
        "other_cores": others.cores(), "cores": os.cpu_count(), "memory": memory_total(),
        "tarnel": tarnel.__file__}
    for line in console_lines(figures):
        say(line)
    if not opts.no_write:
        write(figures)
    say(json.dumps(figures))


def memory_total() -> int:
    """The machine's memory in bytes (MemTotal)."""
    text = Path("/proc/meminfo").read_text()
    return int(re.search(r"MemTotal:\s+(\d+)", text).group(1)) * 1024


def write(f: dict) -> None:
    """The scale section of RESULTS.md and, from a full run, README's sentence."""
    text = report.RESULTS.read_text()
    if report.SCALE_START not in text:
        say(f"{report.RESULTS} has no {report.SCALE_START} section; left as it is")
    else:
        report.RESULTS.write_text(report.replace_block(text, section(f), report.SCALE_START, report.SCALE_END))
        say(f"wrote the scale section of {report.RESULTS}")
    by_count = {c["iterations"]: c for c in f["calls"]}
    readme = report.README.read_text()
    if f["transitions"] != FULL or any(n not in by_count for n in GOALS):
        say(f"{report.README} left as it is: its sentence is on {FULL} transitions and the calls of "
            f"{', '.join(map(str, GOALS))} iterations")
    elif README_START not in readme or README_END not in readme:
        say(f"{report.README} has no {README_START} ... {README_END} sentence; left as it is")
    else:
        report.README.write_text(report.replace_block(readme, readme_sentence(f, by_count), README_START,
                                                      README_END))
        say(f"wrote the scale sentence of {report.README}")


def readme_sentence(f: dict, by_count: dict) -> list[str]:
    short, long = (by_count[n] for n in GOALS)
    text = (f"On a {f['cores']}-core, {f['memory'] / 2**30:.0f} GiB machine, `make scale` built a table over "
            f"10^9 transitions ({f['episodes'] / 1e6:.0f} million episodes) memory-mapped from `.npy` files "
            f"({f['disk_bytes'] / 1e9:.0f} GB on disk). Once the columns were in the kernel's cache (reading "
            f"them once first took {f['warm_up']:.0f} s), `fast_learn` ran 10^6 iterations on it in "
            f"{short['seconds']:.1f} s with {short['peak_anon'] / 2**30:.2f} GiB of anonymous memory at its "
            f"peak, and 10^8 iterations, about ten replays of every episode, in {long['seconds']:.0f} s with "
            f"{long['peak_anon'] / 2**30:.2f} GiB (`bench/RESULTS.md`).")
    return [README_START] + textwrap.wrap(text, 76, break_long_words=False, break_on_hyphens=False) + [README_END]


def goals(f: dict) -> list[tuple[str, str]]:
    """(verdict, text) for every call with a goal: the time's within the
    bench's precision band (report.verdict), the memory's plain, as the
    memory goals of `make bench` are."""
    scope = "" if f["transitions"] >= FULL else f" (set for 10^9 transitions; this run had {f['transitions']})"
    out = []
    for call in f["calls"]:
        if call["iterations"] not in GOALS:
            continue
        seconds, memory = GOALS[call["iterations"]]
        out.append((report.verdict(call["seconds"], seconds, at_least=False),
                    f"{call['iterations']} iterations in {call['seconds']:.1f} s (goal <= {seconds:g} s){scope}"))
        out.append((report.counted(call["peak_anon"] <= memory),
                    f"{call['iterations']} iterations: peak RssAnon {gib(call['peak_anon'])} (goal <= "
                    f"{memory / 2**30:g} GiB){scope}"))
    return out


def replays(f: dict, call: dict) -> float:
    """How many times the call replays each episode, on average."""
    return call["iterations"] / f["episodes"]


def console_lines(f: dict) -> list[str]:
    n = f["transitions"]
    lines = [f"{n} transitions, {f['episodes']} episodes, {f['disk_bytes'] / 1e9:.2f} GB on disk",
             f"  construction {f['construction']:.3f} s",
             f"  warm-up read {f['warm_up']:.2f} s ({f['read_bytes'] / f['warm_up'] / 1e9:.2f} GB/s)"]
    lines += [f"  fast_learn   {c['seconds']:.2f} s ({c['iterations']} iterations, {replays(f, c):.2f} replays per "
              f"episode), peak RssAnon {gib(c['peak_anon'])} ({(c['peak_anon'] - f['anon_before']) / n:.2f} "
              "bytes per transition above the start)" for c in f["calls"]]
    lines += [f"  RssAnon {gib(f['anon_before'])} before the calls; RssFile {gib(f['rss_file'])} at the end "
              "(the columns' mapped pages)",
              f"  load average {f['load_start'][0]:.2f} at the start, {f['load_end'][0]:.2f} at the end"]
    lines += [f"  goal {met}: {text}" for met, text in goals(f)]
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
    if n < FULL:
        out += ["", f"**A small run ({n} transitions, not 10^9): it shows that the script works; the "
                "goals are set for 10^9 transitions.**"]
    out += ["",
            f"{n} transitions in {f['episodes']} episodes of {SHORTEST} to {LONGEST} steps, a "
            f"{STATES} x {ACTIONS} table, five .npy columns (int32, int8, float32, int32, bool) and the "
            f"int64 ends: {f['disk_bytes'] / 1e9:.2f} GB on disk, opened with `mmap_mode=\"r\"`.", "",
            "| step | wall time | peak RssAnon |", "|---|---|---|",
            f"| `EpisodeTable(...)` on the mapped columns | {f['construction']:.3f} s | - |",
            f"| the warm-up: every column read once | {f['warm_up']:.2f} s "
            f"({f['read_bytes'] / f['warm_up'] / 1e9:.2f} GB/s) | - |"]
    out += [f"| `fast_learn`, {c['iterations']} iterations ({replays(f, c):.2f} replays per episode) | "
            f"{c['seconds']:.2f} s | {gib(c['peak_anon'])} |" for c in f["calls"]]
    out += ["",
            "The warm-up read maps every page of the columns into the process, from the disk or the "
            "kernel's cache, and leaves them in that cache as far as memory allows, so the calls after it "
            "time the training, not the disk.", "",
            f"Anonymous memory (RssAnon sampled every 50 ms): {gib(f['anon_before'])} before the calls; "
            "each call's peak in the table. The columns' mapped pages at the end (RssFile, the kernel's "
            f"cache): {gib(f['rss_file'])}.", ""]
    out += [f"- {met}: {text}" for met, text in goals(f)]
    out += ["", report.SCALE_END]
    return out


if __name__ == "__main__":
    main()
