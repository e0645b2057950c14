"""Peak memory of one tarnel call, measured in a fresh process.

    python bench/memory_probe.py '{"data": "grid", "function": "qlearn_forward",
                                   "shape": [16, 4], "args": [1000000, false], "warm": [1, false],
                                   "path": ""}'

Builds the workload's episodes ("grid": the W1 data, "graph": the W3
data, "long": 40000 walks of 50 to 150 steps on the W2 graph of 500 x 6,
about 4 million transitions; "flat10" and "flat1000": the W8 columns, 2x10^7
rows in episodes of 10 or 1000, as one EpisodeTable), makes one small warm-up call (the thread's generator, the NumPy
bridge and the allocator's pools are set up on first use), then measures the
growth of the peak resident set during the real call: VmHWM after it minus
VmRSS before it. bench/memory.py starts one process per case, so no case
inherits another's peak. "path", when not empty, goes first on sys.path
before tarnel is imported (the build measured). Prints one line of JSON.
"""

from __future__ import annotations

import gc
import json
import re
import sys
from pathlib import Path

import numpy as np
import workloads  # bench/, the script's own directory


def status() -> dict[str, int]:
    """VmHWM (the peak resident set) and VmRSS, in bytes."""
    text = Path("/proc/self/status").read_text()
    return {key: int(re.search(key + r":\s+(\d+)", text).group(1)) * 1024 for key in ("VmHWM", "VmRSS")}


def reset_peak() -> bool:
    """Sets VmHWM back to the current resident set, where the kernel allows it;
    without that the growth measured is an upper estimate."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def flat_table(tarnel, rng: np.random.Generator, length: int):
    """(the W8 columns of 2x10^7 rows in episodes of `length` as a table, rows,
    episodes). The columns are anonymous memory, resident before the call."""
    rows = 20_000_000
    columns = workloads.flat_columns(rng, rows, 500, 6)
    ends, columns["terminal"] = workloads.episode_ends(rows, length)
    return tarnel.EpisodeTable(*(columns[name] for name in workloads.COLUMNS), ends), rows, len(ends)


def main() -> None:
    case = json.loads(sys.argv[1])
    if case.get("path"):
        sys.path.insert(0, case["path"])
    import tarnel

    rng = np.random.default_rng(workloads.SEED)
    if case["data"].startswith("flat"):
        episodes, rows, count = flat_table(tarnel, rng, int(case["data"][len("flat"):]))
    else:
        if case["data"] == "grid":
            episodes = workloads.slippery_grid_episodes(rng, 2000)
        elif case["data"] == "long":
            episodes = workloads.random_graph_episodes(rng, 40000, 500, 6, 50, 150)
        else:
            episodes = workloads.random_graph_episodes(rng, 2000, 5000, 20, 5, 40)
        rows, count = int(sum(len(e) for e in episodes)), len(episodes)
    function = getattr(tarnel, case["function"])
    shape = tuple(case["shape"])
    function(episodes[:2], shape, 0.9, 0.1, *case["warm"])
    gc.collect()
    before = status()["VmRSS"]
    exact = reset_peak()
    # A table's call given "converting at once" picks the fewest times that
    # convert it whole.
    args = [workloads.converting_at_once(count) if a == "converting at once" else a for a in case["args"]]
    result = function(episodes, shape, 0.9, 0.1, *args)
    peak = status()["VmHWM"]
    print(json.dumps({"growth": peak - before, "exact": exact, "result_bytes": result.nbytes,
                      "rows": rows, "episodes": count}))


if __name__ == "__main__":
    main()
