"""Collecting or silencing the lines tarnel writes to standard output.

tarnel writes its progress lines straight to file descriptor 1, not through
``sys.stdout``, so ``contextlib.redirect_stdout`` never sees them. These
context managers point the descriptor itself somewhere else for the length
of a block:

    with module_lines() as lines:
        q = tarnel.qlearn_forward(data, (16, 4), 0.9, 0.1, 200_000, True)
    print(len(lines), "progress lines; the last:", lines[-1])

    with silenced():
        stack = tarnel.qlearn_forward_parallel(data, (16, 4), 0.9, 0.1, 200_000, 4, False)

The demonstration uses them (the benchmark keeps a copy of its own). Run as a script, it shows
both on a small random-walk task:

    python examples/module_output.py [--iterations N]
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import tempfile
from collections.abc import Iterator


@contextlib.contextmanager
def _descriptor_1_to(target: int) -> Iterator[None]:
    # Flushed on both sides, so what Python itself printed before the block
    # stays out of it, and what it printed inside goes in.
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(target, 1)
    try:
        yield
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)


@contextlib.contextmanager
def module_lines() -> Iterator[list[str]]:
    """The lines written to file descriptor 1 during the block, without their
    line ends; the list is filled when the block ends, also when it raises."""
    lines: list[str] = []
    with tempfile.TemporaryFile() as sink:
        try:
            with _descriptor_1_to(sink.fileno()):
                yield lines
        finally:
            sink.seek(0)
            lines.extend(sink.read().decode("utf-8", "replace").splitlines())


@contextlib.contextmanager
def silenced() -> Iterator[None]:
    """Discards what is written to file descriptor 1 during the block."""
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        with _descriptor_1_to(null):
            yield
    finally:
        os.close(null)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(
        description="Collect the progress lines of one training, then silence those of another.")
    parser.add_argument("--iterations", type=int, default=100_000, metavar="N",
                        help="max_iterations of each training (default: %(default)s)")
    args = parser.parse_args(argv)

    import numpy as np

    import tarnel

    # Random walks in a corridor of 5 cells; the step into cell 4 pays 1 and ends the walk.
    rng = np.random.default_rng(1)
    data = []
    for _ in range(200):
        rows, state = [], 0
        while state != 4 and len(rows) < 50:
            action = int(rng.integers(2))
            nxt = max(state - 1, 0) if action == 0 else state + 1
            rows.append((state, action, float(nxt == 4), nxt, float(nxt == 4)))
            state = nxt
        data.append(np.array(rows, dtype=np.float64))

    with module_lines() as lines:
        tarnel.fast_learn(data, (5, 2), 0.9, 0.1, args.iterations, True, 0.0)
    print(f"fast_learn wrote {len(lines)} lines to file descriptor 1, collected here:")
    for line in lines:
        print("   ", line)
    with silenced():
        tarnel.qlearn_forward_parallel(data, (5, 2), 0.9, 0.1, args.iterations, 2, True, 0.0)
    print("qlearn_forward_parallel's lines were silenced")


if __name__ == "__main__":
    main()
