"""The lines tarnel writes to standard output, collected or discarded.

tarnel writes its progress lines straight to file descriptor 1, not through
``sys.stdout``, so ``contextlib.redirect_stdout`` never sees them: this
context manager points the descriptor itself at a file for a block. (The
benchmarks keep their own, so they need nothing from examples/.)
"""

from __future__ import annotations

import contextlib
import os
import sys
import tempfile
from collections.abc import Iterator


@contextlib.contextmanager
def module_lines() -> Iterator[list[str]]:
    """The lines written to file descriptor 1 during the block, without their
    line ends; the list is filled when the block ends, also when it raises.
    Python's own buffer is flushed on both sides, so what Python printed
    before the block stays out of it and what it printed inside goes in."""
    lines: list[str] = []
    with tempfile.TemporaryFile() as sink:
        sys.stdout.flush()
        saved = os.dup(1)
        os.dup2(sink.fileno(), 1)
        try:
            yield lines
        finally:
            sys.stdout.flush()
            os.dup2(saved, 1)
            os.close(saved)
            sink.seek(0)
            lines.extend(sink.read().decode("utf-8", "replace").splitlines())


# The timed runs print a handful of lines at most: collecting them costs
# nothing measurable, and one mechanism serves both uses.
silenced = module_lines
