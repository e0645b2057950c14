"""Mutation check of the core and the boundary.

Makes one small change at a time to a C++ source under src/ (a flipped
comparison, a swapped operator, a constant, a deleted call), rebuilds
incrementally and runs the fast tests: the C++ tests and the Python suite
without the examples. A change the tests notice is killed; one they do not
notice survives and is listed, because either it is equivalent to the
original or a behaviour goes unguarded.

The sources are copied into build/mutation/tree and mutated there, so the
working tree is never touched, even when a run is interrupted. Results are
kept in build/mutation/results.json, keyed by the mutated file's content, so
a second run only tries what changed.

    python tools/mutation.py [--sample N] [--seed S] [--only PATH_PREFIX] [--jobs J]
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "mutation"
TREE = WORK / "tree"
BUILD = WORK / "build"
RESULTS = WORK / "results.json"

# Everything the build and the fast tests read.
COPIED = ["src", "tests", "CMakeLists.txt", "pyproject.toml"]
FAST_TESTS = ["-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "tests/python",
              "--ignore=tests/python/test_examples.py", "--ignore=tests/python/test_processes.py"]
TIMEOUT = 300  # seconds for one mutant's tests; a hang counts as killed


@dataclasses.dataclass(frozen=True)
class Mutant:
    path: str      # relative to the tree
    line: int      # 1-based
    column: int    # 0-based, in the line
    original: str
    replacement: str

    def key(self, digest: str) -> str:
        return f"{self.path}@{digest}:{self.line}:{self.column}:{self.original}->{self.replacement}"

    def describe(self) -> str:
        return f"{self.path}:{self.line}: '{self.original}' -> '{self.replacement}'"


# Binary operators are written with a space on each side, which keeps
# template brackets, pointers (->) and shifts out of the way.
SWAPS = [
    (r" == ", " != "), (r" != ", " == "),
    (r" < ", " <= "), (r" <= ", " < "), (r" > ", " >= "), (r" >= ", " > "),
    (r" \+ ", " - "), (r" - ", " + "), (r" \* ", " / "), (r" / ", " * "),
    (r" && ", " || "), (r" \|\| ", " && "),
    (r" \+= ", " -= "), (r" -= ", " += "),
    (r"\btrue\b", "false"), (r"\bfalse\b", "true"),
    (r"(?<![\w.])0(?![\w.])", "1"), (r"(?<![\w.])1(?![\w.])", "0"),
    (r"\+\+", "--"),
    (r"(?<=[(\s])!(?=[\w(])", ""),
]
# A whole statement that is a call, a return or a jump, on one line.
DELETABLE = re.compile(r"^\s*(?:[A-Za-z_][\w:]*(?:(?:\.|->)[A-Za-z_]\w*)*\(.*\)|return|break|continue);\s*$")
SKIPPED_LINE = re.compile(r"^\s*(?://|#|\*|/\*|static_assert|namespace|using |template|[{}]\s*$)")


def strip_strings(line: str) -> str:
    """The line with string and character literals and a trailing comment
    blanked, so operators inside them are not mutated."""
    out = re.sub(r'"(?:[^"\\]|\\.)*"', lambda m: " " * len(m.group(0)), line)
    out = re.sub(r"'(?:[^'\\]|\\.)'", lambda m: " " * len(m.group(0)), out)
    cut = out.find("//")
    return out if cut < 0 else out[:cut] + " " * (len(out) - cut)


def mutants_of(path: Path, relative: str) -> list[Mutant]:
    found = []
    for number, line in enumerate(path.read_text().splitlines(), start=1):
        if SKIPPED_LINE.match(line):
            continue
        code = strip_strings(line)
        for pattern, replacement in SWAPS:
            for match in re.finditer(pattern, code):
                found.append(Mutant(relative, number, match.start(), match.group(0), replacement))
        if DELETABLE.match(code) and code.count("(") == code.count(")"):
            found.append(Mutant(relative, number, 0, line, ""))
    return found


def apply(mutant: Mutant, text: str) -> str:
    lines = text.split("\n")
    line = lines[mutant.line - 1]
    if mutant.original == line and mutant.replacement == "":
        lines[mutant.line - 1] = ""
    else:
        end = mutant.column + len(mutant.original)
        assert line[mutant.column:end] == mutant.original
        lines[mutant.line - 1] = line[:mutant.column] + mutant.replacement + line[end:]
    return "\n".join(lines)


def run(command: list[str], cwd: Path, env: dict | None = None, timeout: float | None = None) -> bool:
    try:
        done = subprocess.run(command, cwd=cwd, env=env, timeout=timeout,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return False
    return done.returncode == 0


def copy_tree() -> None:
    TREE.mkdir(parents=True, exist_ok=True)
    for name in COPIED:
        source, target = ROOT / name, TREE / name
        if source.is_dir():
            shutil.copytree(source, target, dirs_exist_ok=True,
                            ignore=shutil.ignore_patterns("__pycache__", ".hypothesis"))
        else:
            shutil.copy2(source, target)


def build(jobs: int) -> bool:
    return run(["cmake", "--build", str(BUILD), "-j", str(jobs)], TREE)


def tests_pass(env: dict) -> bool:
    # The C++ tests first: they are quick and catch most changes to the core.
    if not run(["ctest", "--test-dir", str(BUILD), "--stop-on-failure", "-j", "2"], TREE, timeout=TIMEOUT):
        return False
    return run([sys.executable, *FAST_TESTS], TREE, env=env, timeout=TIMEOUT)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sample", type=int, default=0, help="try N mutants drawn at random (0: all)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--only", default="src/", help="mutate only files under this prefix")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    args = parser.parse_args()

    copy_tree()
    configure = ["cmake", "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                 f"-DPython_EXECUTABLE={sys.executable}"]
    if not run(configure, TREE) or not build(args.jobs):
        print("the unmutated tree does not build", file=sys.stderr)
        return 2
    env = dict(os.environ, PYTHONPATH=str(BUILD), PYTHONDONTWRITEBYTECODE="1")
    if not tests_pass(env):
        print("the unmutated tree fails its fast tests", file=sys.stderr)
        return 2

    sources = sorted(p for p in (TREE / "src").rglob("*") if p.suffix in (".cpp", ".h"))
    mutants, digests = [], {}
    for path in sources:
        relative = str(path.relative_to(TREE))
        if not relative.startswith(args.only):
            continue
        digests[relative] = hashlib.sha256(path.read_bytes()).hexdigest()[:16]
        mutants += mutants_of(path, relative)
    if args.sample and args.sample < len(mutants):
        mutants = random.Random(args.seed).sample(mutants, args.sample)
        mutants.sort(key=lambda m: (m.path, m.line, m.column))

    results = json.loads(RESULTS.read_text()) if RESULTS.exists() else {}
    started = time.monotonic()
    for index, mutant in enumerate(mutants, start=1):
        key = mutant.key(digests[mutant.path])
        if key not in results:
            path = TREE / mutant.path
            original = path.read_text()
            path.write_text(apply(mutant, original))
            try:
                if not build(args.jobs):
                    results[key] = "stillborn"
                else:
                    results[key] = "survived" if tests_pass(env) else "killed"
            finally:
                path.write_text(original)
                # Same content, new time stamp: the next build puts it back.
                os.utime(path)
            RESULTS.write_text(json.dumps(results, indent=0, sort_keys=True))
        print(f"[{index}/{len(mutants)}] {results[key]:9} {mutant.describe()}", flush=True)
    build(args.jobs)

    outcome = [results[m.key(digests[m.path])] for m in mutants]
    killed, survived = outcome.count("killed"), outcome.count("survived")
    print(f"\n{len(mutants)} mutants in {time.monotonic() - started:.0f} s: {killed} killed, "
          f"{survived} survived, {outcome.count('stillborn')} did not build")
    if killed + survived:
        print(f"killed share: {100 * killed / (killed + survived):.1f}%")
    for mutant, result in zip(mutants, outcome):
        if result == "survived":
            print("survivor:", mutant.describe())
    return 0


if __name__ == "__main__":
    sys.exit(main())
