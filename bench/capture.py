"""The lines tarnel writes to standard output, collected or discarded.

tarnel writes its progress lines straight to file descriptor 1, not through
``sys.stdout``, so ``contextlib.redirect_stdout`` never sees them: these
context managers point the descriptor itself elsewhere for a block. (The
same helper as examples/module_output.py, kept here so the benchmarks need
nothing from examples/.)
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
