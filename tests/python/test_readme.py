"""The Python examples of README.md and CONTRIBUTING.md, run as a reader
would paste them: a file's ```python blocks in order, in one fresh
interpreter, so each block sees the names the blocks before it defined.

A block that needs an optional package says so, either with an HTML comment
right before its fence, `<!-- requires: gymnasium -->`, or with a first
line `# requires: gymnasium`; it is left out when the package is missing."""

import importlib.util
import json
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

FENCE = re.compile(
    r"(?:^[ ]*<!--[ ]*requires:(?P<comment>[^>]*?)-->[ ]*\n)?"
    r"^(?P<indent>[ ]*)```python[ ]*\n(?P<code>.*?)^(?P=indent)```[ ]*$",
    re.MULTILINE | re.DOTALL,
)
FIRST_LINE_REQUIRES = re.compile(r"#[ ]*requires:(?P<packages>.*)")

# Runs in the fresh interpreter: each block compiled as lines of its
# document, so a traceback quotes the document's own line, and executed in
# __main__'s namespace (functions defined there pickle as a script's would);
# the first block that raises ends the run with its traceback and status 1.
RUNNER = r"""
import json, sys, traceback
import __main__
for _label, _document, _line, _code in json.load(sys.stdin):
    try:
        exec(compile("\n" * (_line - 1) + _code, _document, "exec"), __main__.__dict__)
    except BaseException:
        sys.stdout.flush()
        print(f"\n{_label} raised:", file=sys.stderr)
        traceback.print_exc()
        sys.exit(1)
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
"""


def python_blocks(text):
    """(first line number, code, required packages) of each ```python block."""
    blocks = []
    for match in FENCE.finditer(text):
        code = textwrap.dedent(match["code"])
        packages = match["comment"] or ""
        first = FIRST_LINE_REQUIRES.fullmatch(code.partition("\n")[0].strip())
        if first:
            packages += "," + first["packages"]
        line = text.count("\n", 0, match.start("code")) + 1
        blocks.append((line, code, [p.strip() for p in packages.split(",") if p.strip()]))
    return blocks


def missing(package):
    try:
        return importlib.util.find_spec(package) is None
    except ModuleNotFoundError:  # a dotted name whose parent is missing
        return True


@pytest.mark.parametrize("document", ["README.md", "CONTRIBUTING.md"])
def test_python_blocks_run_in_order(document):
    blocks = python_blocks((ROOT / document).read_text(encoding="utf-8"))
    assert blocks, f"{document} has no ```python block"
    run = [(f"{document}, block {k} (line {line})", document, line, code)
           for k, (line, code, packages) in enumerate(blocks, 1)
           if not any(missing(p) for p in packages)]
    done = subprocess.run(
        [sys.executable, "-c", RUNNER], input=json.dumps(run),
        cwd=ROOT, capture_output=True, encoding="utf-8", errors="replace", timeout=600,
    )
    if done.returncode != 0:
        pytest.fail(f"standard output:\n{done.stdout}\nstandard error:\n{done.stderr}", pytrace=False)
