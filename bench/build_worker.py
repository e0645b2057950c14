"""One build of tarnel, loaded in a process of its own and timed there on
request (bench/builds.py starts it and asks).

    python bench/build_worker.py DIRECTORY SCALE

DIRECTORY goes first on sys.path before tarnel is imported (empty: the
environment's own tarnel); SCALE is workloads.build_all's. Requests come as
pickled tuples on standard input, answers go back pickled on the original
standard output: ("ok", value) or ("error", traceback). File descriptor 1
itself then points at standard error, so nothing tarnel prints can mix into
the answers. Ends at the end of its input.
"""

from __future__ import annotations

import os
import pickle
import sys
import traceback


def main() -> None:
    directory, scale = sys.argv[1], float(sys.argv[2])
    answers = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    if directory:
        sys.path.insert(0, directory)

    import tarnel
    import same_work
    import workloads
    from capture import silenced

    work = workloads.build_all(scale)
    runs = {key: workloads.tarnel_runs(tarnel, w) for key, w in work.items()}

    def info():
        return {"file": tarnel.__file__, "version": getattr(tarnel, "__version__", None) or _version(),
                "digest": workloads.digest(work),
                "runs": {key: list(r) for key, r in runs.items()}}

    def time_run(key, suffix):
        with silenced():
            return workloads.timed(runs[key][suffix])

    handlers = {
        "info": info,
        "time": time_run,
        "check": lambda: same_work.tarnel_results(tarnel, work),
        "last_checkpoint": lambda key: same_work.last_checkpoint(tarnel, work[key]),
    }
    while True:
        try:
            name, *arguments = pickle.load(sys.stdin.buffer)
        except EOFError:
            return
        try:
            answer = ("ok", handlers[name](*arguments))
        except Exception:  # reported by the asking side, which stops the run
            answer = ("error", traceback.format_exc())
        pickle.dump(answer, answers)
        answers.flush()


def _version() -> str:
    try:
        from importlib.metadata import version
        return version("tarnel")
    except Exception:
        return "unknown"


if __name__ == "__main__":
    main()
