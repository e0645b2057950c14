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

The demonstration and the benchmarks use them.
"""

from __future__ import annotations

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
