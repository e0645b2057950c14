"""Throughput of the parallel forward training against the sequential one.

Runs one sequential ``qlearn_forward`` and ``qlearn_forward_parallel`` with
1, 2 and 4 workers on the same episodes, every training doing exactly
``--iterations`` iterations (a quit threshold of 0 never stops early), and
prints training iterations per second with the ratios against the
sequential run and against one worker, all measured in the same run. Each
figure is the best of ``--repeat`` runs. The last column is the process's
CPU time over the wall time of that run: about the number of workers on an
idle machine, less when other work competes for the cores, in which case
the wall-clock ratios understate the scaling.

    python bench/parallel_scaling.py [--iterations N] [--repeat R]
"""

import argparse
import os
import time

import numpy as np
import tarnel
from capture import silenced  # bench/, the script's own directory


def make_episodes(rng, count, length, states, actions):
    episodes = []
    for _ in range(count):
        e = np.empty((length, 5))
        e[:, 0] = rng.integers(0, states, length)
        e[:, 1] = rng.integers(0, actions, length)
        e[:, 2] = rng.normal(size=length)
        e[:, 3] = rng.integers(0, states, length)
        e[:, 4] = 0.0
        e[-1, 4] = 1.0
        episodes.append(e)
    return episodes


def cpu_seconds():
    t = os.times()
    return t.user + t.system


def best_time(run, repeat):
    """(wall seconds, CPU seconds) of the fastest of `repeat` runs."""
    best = (float("inf"), 0.0)
    for _ in range(repeat):
        start, cpu = time.perf_counter(), cpu_seconds()
        # The parallel function always writes its configuration line to
        # file descriptor 1; keep it out of the table.
        with silenced():
            run()
        best = min(best, (time.perf_counter() - start, cpu_seconds() - cpu))
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=2_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    states, actions = 64, 8
    data = make_episodes(np.random.default_rng(7), 200, 20, states, actions)
    shape = (states, actions)
    common = (0.9, 0.1, args.iterations)

    rows = []
    t = best_time(lambda: tarnel.qlearn_forward(data, shape, *common, False, 0.0), args.repeat)
    rows.append(("sequential", 1, *t))
    for workers in (1, 2, 4):
        t = best_time(
            lambda: tarnel.qlearn_forward_parallel(data, shape, *common, workers, False, 0.0), args.repeat
        )
        rows.append((f"parallel x{workers}", workers, *t))

    sequential = args.iterations / rows[0][2]
    one_worker = args.iterations / rows[1][2]
    print(f"{os.cpu_count()} CPUs, {args.iterations} iterations per training, table {states}x{actions}, "
          f"best of {args.repeat}")
    print(f"{'run':<14}{'seconds':>10}{'iterations/s':>16}{'vs sequential':>16}{'vs 1 worker':>14}{'cpu/wall':>10}")
    for name, workers, seconds, cpu in rows:
        rate = workers * args.iterations / seconds
        print(
            f"{name:<14}{seconds:>10.3f}{rate:>16,.0f}{rate / sequential:>16.2f}"
            f"{rate / one_worker:>14.2f}{cpu / seconds:>10.2f}"
        )


if __name__ == "__main__":
    main()
