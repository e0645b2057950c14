"""tarnel against its alternatives, on the same work, in the same run.

    python bench/run.py [--repeat N] [--only W1,W3] [--quick] [--no-write] [--no-pin]
                        [--wheel PATH|none] [--local-build DIR|none] [--results PATH] [--readme PATH|none]

For each workload (bench/workloads.py) it times tarnel, a Numba peer, a
plain Python peer (on a fraction of the iterations, scaled) and a bare C++
floor, interleaved round by round after a warm-up round, every timed
process pinned to one core (bench/timing.py), and prints the minimum of
each contender's rounds, the ratios, and their spread from round to round. tarnel is the portable wheel of `make wheel` and, beside
it, the local build of `make module`, each in a process of its own
(bench/builds.py). Before any timing every peer and build must reproduce
the first build's table (and its printed sums) bit for bit on
single-episode inputs (bench/same_work.py). Then it measures peak memory in
fresh processes (bench/memory.py). The report (bench/report.py) goes to
bench/RESULTS.md and, in short, to README.md's results block.

W8a and W8b keep their transitions as flat columns (an EpisodeTable): each
build's process times the table's conversion beside NumPy's read of the same
columns and the list path a user writes today; `--only W8a,W8b` runs them
alone and rewrites only their section of RESULTS.md.

W9 trains on 2x10^7 transitions as flat columns, call by call against the
same call on 2x10^5, the Numba loop over the columns, the floor and the
machine's limit (bench/at_scale.py), in the first build's process only;
`--only W9` runs it alone and rewrites only its section. `--scale 0.01`
shrinks every workload's rows and iterations, W9's included, to check the
harness end to end in a minute.

Every round is timed beside a fixed reference loop, and a round it shows
slowed is set aside and run again (bench/timing.py).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
from pathlib import Path

import at_scale
import builds
import memory
import report
import same_work
import timing
import workloads
from peers import floor
from report import fmt_time, say

# Rounds per workload: enough that the minimum of each contender settles
# from one run to the next (bench/limits.md, "How the figures are taken").
REPEAT = 11


def path_or_none(text: str) -> Path | None:
    return None if text == "none" else Path(text)


def options():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=REPEAT, help="rounds per workload (minimum)")
    parser.add_argument("--only", help="comma-separated workload keys, e.g. W1,W3")
    parser.add_argument("--quick", action="store_true",
                        help="a tenth of the iterations, every workload, check and report still run")
    parser.add_argument("--scale", type=float,
                        help="this share of the iterations (and of W8's and W9's rows); --quick is 0.1")
    parser.add_argument("--no-write", action="store_true", help="write neither RESULTS.md nor README.md")
    parser.add_argument("--skip-check", action="store_true")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--no-pin", action="store_true",
                        help="leave the timed processes free to move between cores (for comparison)")
    parser.add_argument("--wheel", type=path_or_none, default=builds.default_wheel(),
                        help="the wheel timed as `tarnel` (default: the newest in dist/; none: no wheel)")
    parser.add_argument("--local-build", type=path_or_none, default=builds.default_local_build(),
                        help="a directory holding a built module, timed beside the wheel "
                             "(default: `make module`'s build tree; none: no local build)")
    parser.add_argument("--results", type=Path, default=report.RESULTS, help="where RESULTS.md goes")
    parser.add_argument("--readme", type=path_or_none, default=report.README,
                        help="the README whose results block is rewritten (none: no README)")
    return parser.parse_args()


def stop(message):
    say(message)
    sys.exit(1)


def check_same_work(workers, wl, keys, with_numba):
    """The same-work check (bench/same_work.py); stops the run on any
    difference. Returns its lines for the report."""
    missing = same_work.unchecked(wl, keys)
    if missing:
        stop(f"no same-work case stands for {', '.join(missing)}")
    say("Same-work check (single-episode inputs, bit for bit):")
    failures, rows = same_work.compare(wl, {w.build.label: w.ask("check") for w in workers},
                                       same_work.peers(with_numba), say)
    if "W9" in keys:
        more, ahead = same_work.floor_ahead_rows(wl, say)
        failures += more
        rows += ahead
    if failures:
        stop(f"{failures} result(s) differ from tarnel's; timings would compare different work.")
    if "W6c" in keys:
        for w in workers:
            last = w.ask("last_checkpoint", "W6c")
            if not same_work.runs_to_the_end(wl["W6c"], last):
                stop(f"W6c stopped early at checkpoint {last} in {w.build.label}; its timing would not "
                     "cover the work.")
    return rows


def time_all(workers, infos, wl, keys, repeat, core):
    """(estimates, raw times, W4's spare-core probe, rounds set aside and run
    by workload, W9's results or None) of every workload in keys: each
    build's runs, in its own process, then the peers. Every timed process
    runs on `core` (None: wherever the system puts it), but for W4's and
    W9's parallel calls, which run on every core."""
    estimates, raw, spare_cores, set_aside, scaled = {}, {}, {}, {}, None
    pids = [os.getpid()] + [worker.process.pid for worker in workers]
    if core is not None:
        timing.set_affinity(pids, {core})
    for key in keys:
        w = wl[key]
        say(f"timing {key}: {w.title} ...")
        if w.at_scale is not None:
            # The first build only: a second would double W9's minutes.
            if infos[workers[0].build.label]["runs"][key]:
                scaled = at_scale.time_cases(workers[0], w.at_scale, repeat,
                                             lambda: timing.all_cores(pids, core), say)
                set_aside[key] = (sum(c.set_aside for c in scaled.cases), sum(c.rounds for c in scaled.cases))
            else:
                say(f"   {workers[0].build.label} has no EpisodeTable")
            continue
        contenders = {worker.build.label + suffix: worker.timer(key, suffix)
                      for worker in workers for suffix in infos[worker.build.label]["runs"][key]}
        contenders |= workloads.peer_runs(w)
        if key == "W4":
            with timing.all_cores(pids, core):
                measured, spare_cores[key] = timing.spare_cores_around(lambda: timing.measure(contenders, repeat))
            probe = spare_cores[key]
            say(f"   two threads of fixed work ran at {probe[0]:.2f}x and {probe[1]:.2f}x the "
                "throughput of one, before and after")
        else:
            measured = timing.measure(contenders, repeat)
        estimates[key], raw[key] = measured.estimates, measured.times
        set_aside[key] = (measured.set_aside, measured.rounds)
        say("   " + ", ".join(f"{n} {fmt_time(s)}" for n, s in estimates[key].items()))
        if measured.set_aside:
            say(f"   {measured.set_aside} of {measured.rounds} rounds set aside: the reference loop ran more than "
                f"{timing.PRECISION:.0%} slower than its best")
    return estimates, raw, spare_cores, set_aside, scaled


def main():
    opts = options()
    started = time.perf_counter()
    others = timing.OtherWork()
    scale = opts.scale if opts.scale is not None else 0.1 if opts.quick else 1.0
    measured = builds.find(opts.wheel, opts.local_build)
    try:
        import numba
        numba_version = numba.__version__
    except ImportError:
        numba_version = None

    with contextlib.ExitStack() as stack:
        # Started first: each builds the workloads while this process does.
        workers = [stack.enter_context(builds.Worker(b, scale)) for b in measured]
        env = report.machine(numba_version)
        say(f"{env['cpu']} | {env['cores']} cores | Python {env['python']} | NumPy {env['numpy']} | "
            f"Numba {env['numba']} | {env['compiler']} | {env['date']}")
        for b in measured:
            say(f"{b.label}: {b.source}")
            if b.stale:
                say(f"warning: {b.label} is older than a file under src/; rebuild it")
        say("building the C++ floor ...")
        floor.library()
        wl = workloads.build_all(scale)
        keys = opts.only.split(",") if opts.only else list(wl)
        if numba_version is not None:
            say("compiling the Numba peers ...")
        compile_seconds = timing.compile_numba(wl["W1"].episodes[:3])

        infos = {w.build.label: w.ask("info") for w in workers}
        digest = workloads.digest(wl)
        for label, info in infos.items():
            if info["digest"] != digest:
                stop(f"{label}'s process built other workloads than this one; timings would compare "
                     "different work.")
        # The check stands for the timed trainings; runs that train nothing skip it.
        trains = any(wl[k].iterations for k in keys)
        check_rows = ([] if opts.skip_check or not trains
                      else check_same_work(workers, wl, keys, numba_version is not None))
        core = None if opts.no_pin else timing.timed_core()
        if core is not None:
            say(f"every timed process runs on core {core} (W4: on every core)")
        estimates, raw, spare_cores, set_aside, scaled = time_all(workers, infos, wl, keys, opts.repeat, core)

    first = measured[0].path
    on_arrays = any(wl[k].on_arrays for k in keys)
    mem_rows = [] if opts.skip_memory or not on_arrays else memory.measure_memory(first)
    per_rows = [] if opts.skip_memory or not on_arrays else memory.measure_memory_per_transition(first)
    flat_rows = [] if opts.skip_memory else memory.measure_flat_memory(first, keys)
    env["load_end"] = os.getloadavg()[0]
    env["other_cores"] = others.cores()
    results = report.Results(
        machine=env, builds=measured, versions={label: info["version"] for label, info in infos.items()},
        work=wl, keys=keys, estimates=estimates, raw=raw, spare_cores=spare_cores, check_rows=check_rows,
        memory_rows=mem_rows, per_transition_rows=per_rows, flat_memory_rows=flat_rows,
        compile_seconds=compile_seconds, pinned_to=core,
        repeat=opts.repeat, quick=scale != 1.0, elapsed=time.perf_counter() - started,
        set_aside=set_aside, reference_best=timing.Reference.best, at_scale=scaled, scale=scale)
    for line in report.console_lines(results):
        say(line)
    if not opts.no_write:
        report.write(results, opts.results, opts.readme)


if __name__ == "__main__":
    main()
