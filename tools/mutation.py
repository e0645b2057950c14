"""Mutation check of the core and the boundary.

Makes one small change at a time to a C++ source under src/ (a flipped
comparison, a swapped operator, a constant, a deleted call), rebuilds
incrementally and runs the fast tests: the C++ tests and the Python suite
without the examples. A change the tests notice is killed; one they do not
notice survives and is listed, because either it is equivalent to the
original or a behaviour goes unguarded.

A change under src/python is put to the Python suite alone (the C++ tests do
not link the boundary, and only the module is rebuilt); any other change to
the C++ tests first, which are quick and catch most changes to the core. The
Python files run in the order of KILL_ORDER, quick and sharp ones first, and
stop at the first failure. Each step has a time limit of a few times what
the unmutated tree takes; a mutant that runs past it counts as killed.

Mutants found equivalent to the original are recorded, with the reason, in
tools/mutation-equivalent.txt, one a line, keyed by what they change rather
than where, so an entry stays true while the code around it moves:

    src/support/random.cpp | if (drawn > limit) { | > -> >=  # why no test can tell them apart

(the file, the mutated line's text stripped of surrounding whitespace, and
the original and its replacement, a deleted statement's replacement written
as "(deleted)"). An entry covers every line of the file with that text and
that change; where the same text recurs and only one occurrence is
equivalent, a fourth field names the nearest non-blank line above it:

    src/support/random.cpp | if (got < 0) { | 0 -> 1 | after: const long got = read(buffer);  # why

The report leaves the matched mutants out of the killed share and lists them
apart, and ends with the entries that match none of the mutants the tool can
make of the files under --only (sampled or not): their line was rewritten or
deleted, so they need another look.

The sources are copied into build/mutation/tree and mutated there, so the
working tree is never touched, even when a run is interrupted. Results are
kept in build/mutation/results.json, keyed by the mutated file's content, so
a second run only tries what changed; --retry-survivors tries the survivors
again after tests were added.

    python tools/mutation.py [--sample N] [--seed S] [--only PATH_PREFIX ...] [--jobs J]
                             [--retry-survivors]
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
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "mutation"
TREE = WORK / "tree"
BUILD = WORK / "build"
RESULTS = WORK / "results.json"
EQUIVALENT = ROOT / "tools" / "mutation-equivalent.txt"

# Everything the build and the fast tests read.
COPIED = ["src", "tests", "CMakeLists.txt", "pyproject.toml"]
PYTEST = ["-m", "pytest", "-x", "-q", "-p", "no:cacheprovider"]
# Left out: the slow files that exercise the examples, the documents or whole processes,
# and the checks of the installed wheel, which the build directory is not.
SLOW_TESTS = {"test_examples.py", "test_processes.py", "test_build.py", "test_readme.py"}
# Python test files most likely to notice a change, quickest first; the
# others follow in name order, so a new file is never left out.
KILL_ORDER = ["test_results.py", "test_arguments.py", "test_boundary_memory.py", "test_texts.py",
              "test_learn.py", "test_double_q.py", "test_fast_learn.py", "test_learn_until_convergence.py",
              "test_parallel.py", "test_faults.py",
              "test_numpy_api.py", "test_module.py"]
# A mutant's step may take this many times the unmutated tree's, plus a
# margin for a machine busy with other work; past that it counts as killed.
TIME_FACTOR, TIME_MARGIN = 3, 30


@dataclasses.dataclass(frozen=True)
class Mutant:
    path: str      # relative to the tree
    line: int      # 1-based
    column: int    # 0-based, in the line
    original: str
    replacement: str
    text: str      # the whole line, stripped
    above: str     # the nearest non-blank line above it, stripped

    def key(self, digest: str) -> str:
        return f"{self.path}@{digest}:{self.line}:{self.column}:{self.original}->{self.replacement}"

    def change(self) -> str:
        return f"{self.original.strip()} -> {self.replacement.strip() or '(deleted)'}"

    def describe(self) -> str:
        return f"{self.path}:{self.line}: {self.change()}"

    def records(self) -> tuple[str, str]:
        """The two ways tools/mutation-equivalent.txt can name this mutant:
        by its line's text, and by that text and the line above."""
        record = f"{self.path} | {self.text} | {self.change()}"
        return record, f"{record} | after: {self.above}"

    @property
    def area(self) -> str:
        return "/".join(self.path.split("/")[:2])


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
# Lines that compile to nothing in the tested build are left alone: comments,
# preprocessor lines, declarations, and assert(), which the Release build
# compiles out (its mutants are equivalent by construction).
SKIPPED_LINE = re.compile(r"^\s*(?://|#|\*|/\*|static_assert|assert\(|namespace|using |template|[{}]\s*$)")


def strip_strings(line: str) -> str:
    """The line with string and character literals and a trailing comment
    blanked, so operators inside them are not mutated."""
    out = re.sub(r'"(?:[^"\\]|\\.)*"', lambda m: " " * len(m.group(0)), line)
    out = re.sub(r"'(?:[^'\\]|\\.)'", lambda m: " " * len(m.group(0)), out)
    cut = out.find("//")
    return out if cut < 0 else out[:cut] + " " * (len(out) - cut)


def mutants_of(path: Path, relative: str) -> list[Mutant]:
    found = []
    above = ""
    for number, line in enumerate(path.read_text().splitlines(), start=1):
        text, previous = line.strip(), above
        if text:
            above = text
        if SKIPPED_LINE.match(line):
            continue
        code = strip_strings(line)
        for pattern, replacement in SWAPS:
            for match in re.finditer(pattern, code):
                found.append(Mutant(relative, number, match.start(), match.group(0), replacement, text, previous))
        if DELETABLE.match(code) and code.count("(") == code.count(")"):
            found.append(Mutant(relative, number, 0, line, "", text, previous))
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


def run(command: list[str], cwd: Path, env: dict | None = None, timeout: float | None = None) -> str:
    """'passed', 'failed' or 'timeout'. The command runs in a process group
    of its own, which is killed whole when time runs out: a hung test left
    behind by its runner would go on taking a core from every later mutant."""
    with subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          start_new_session=True) as process:
        try:
            code = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            code = None
        finally:
            # Also what a runner that gave up on a test left running.
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()
    if code is None:
        return "timeout"
    return "passed" if code == 0 else "failed"


def copy_tree() -> None:
    """Brings the copy up to date with the working tree. Only files whose
    content differs are written, with a fresh time stamp, so the build
    redoes what changed, including a file an interrupted run left mutated."""
    TREE.mkdir(parents=True, exist_ok=True)
    for name in COPIED:
        source = ROOT / name
        files = [source] if source.is_file() else sorted(
            f for f in source.rglob("*")
            if f.is_file() and "__pycache__" not in f.parts and ".hypothesis" not in f.parts)
        for file in files:
            target = TREE / file.relative_to(ROOT)
            if target.exists() and target.read_bytes() == file.read_bytes():
                continue
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(file, target)


def python_tests() -> list[str]:
    present = {p.name for p in (TREE / "tests" / "python").glob("test_*.py")} - SLOW_TESTS
    ordered = [name for name in KILL_ORDER if name in present]
    ordered += sorted(present - set(ordered))
    return [f"tests/python/{name}" for name in ordered]


class Checker:
    """Builds the copy and puts it to the fast tests, within time limits
    taken from the unmutated tree."""

    def __init__(self, jobs: int):
        self.jobs = jobs
        self.env = dict(os.environ, PYTHONPATH=str(BUILD), PYTHONDONTWRITEBYTECODE="1")
        self.limits = {"ctest": None, "pytest": None}

    def build(self, boundary_only: bool = False) -> bool:
        command = ["cmake", "--build", str(BUILD), "-j", str(self.jobs)]
        if boundary_only:
            command += ["--target", "tarnel"]
        return run(command, TREE) == "passed"

    def step(self, name: str) -> str:
        timeout = self.limits[name]
        if name == "ctest":
            command = ["ctest", "--test-dir", str(BUILD), "--stop-on-failure", "-j", str(self.jobs)]
            if timeout:
                command += ["--timeout", str(int(timeout))]
            return run(command, TREE, timeout=timeout)
        return run([sys.executable, *PYTEST, *python_tests()], TREE, env=self.env, timeout=timeout)

    def calibrate(self) -> bool:
        """Runs the unmutated tree's tests, which must pass, and sets the limits."""
        for name in self.limits:
            started = time.monotonic()
            if self.step(name) != "passed":
                return False
            taken = time.monotonic() - started
            self.limits[name] = TIME_FACTOR * taken + TIME_MARGIN
            print(f"unmutated {name}: {taken:.0f} s (limit {self.limits[name]:.0f} s)", flush=True)
        return True

    def verdict(self, mutant: Mutant) -> str:
        boundary = mutant.path.startswith("src/python/")
        if not self.build(boundary_only=boundary):
            return "stillborn"
        for name in (["pytest"] if boundary else ["ctest", "pytest"]):
            outcome = self.step(name)
            if outcome != "passed":
                return "killed" if outcome == "failed" else "timeout"
        return "survived"


def read_equivalent() -> dict[str, str]:
    """The recorded equivalent mutants: their record, to the reason."""
    entries = {}
    if EQUIVALENT.exists():
        for line in EQUIVALENT.read_text().splitlines():
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            record, _, reason = line.partition("  # ")
            entries[record.strip()] = reason.strip()
    return entries


def reason_of(mutant: Mutant, equivalent: dict[str, str]) -> str | None:
    """Why the mutant is recorded as equivalent, or None if it is not; an
    entry naming the line above is the more particular one."""
    plain, in_context = mutant.records()
    return equivalent.get(in_context, equivalent.get(plain))


def stale_entries(equivalent: dict[str, str], every: list[Mutant], prefixes: tuple[str, ...]) -> list[str]:
    """The entries for files under the prefixes that match none of the
    mutants. Checked against every mutant of the files, not the sample, so
    that an entry is called stale only when no run could match it; an entry
    for a file that is gone is stale too."""
    known = {record for mutant in every for record in mutant.records()}
    return [e for e in equivalent if e.partition(" | ")[0].startswith(prefixes) and e not in known]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sample", type=int, default=0, help="try N mutants drawn at random (0: all)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--only", action="append",
                        help="mutate only files under this prefix (repeatable; default src/)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--retry-survivors", action="store_true",
                        help="try again the survivors the results file holds (after adding tests)")
    args = parser.parse_args()
    prefixes = tuple(args.only or ["src/"])

    copy_tree()
    configure = ["cmake", "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                 f"-DPython_EXECUTABLE={sys.executable}"]
    checker = Checker(args.jobs)
    if run(configure, TREE) != "passed" or not checker.build():
        print("the unmutated tree does not build", file=sys.stderr)
        return 2

    sources = sorted(p for p in (TREE / "src").rglob("*") if p.suffix in (".cpp", ".h"))
    every, digests = [], {}
    for path in sources:
        relative = str(path.relative_to(TREE))
        if not relative.startswith(prefixes):
            continue
        digests[relative] = hashlib.sha256(path.read_bytes()).hexdigest()[:16]
        every += mutants_of(path, relative)
    mutants = every
    if args.sample and args.sample < len(mutants):
        mutants = random.Random(args.seed).sample(mutants, args.sample)
        mutants.sort(key=lambda m: (m.path, m.line, m.column))

    equivalent = read_equivalent()
    stale = stale_entries(equivalent, every, prefixes)

    results = json.loads(RESULTS.read_text()) if RESULTS.exists() else {}
    pending = [m for m in mutants if reason_of(m, equivalent) is None and (
        results.get(m.key(digests[m.path])) is None
        or (args.retry_survivors and results[m.key(digests[m.path])] == "survived"))]
    if pending and not checker.calibrate():
        print("the unmutated tree fails its fast tests", file=sys.stderr)
        return 2

    started = time.monotonic()
    for index, mutant in enumerate(mutants, start=1):
        key = mutant.key(digests[mutant.path])
        if mutant in pending:
            path = TREE / mutant.path
            original = path.read_text()
            path.write_text(apply(mutant, original))
            try:
                results[key] = checker.verdict(mutant)
            finally:
                path.write_text(original)
                # Same content, new time stamp: the next build puts it back.
                os.utime(path)
            RESULTS.write_text(json.dumps(results, indent=0, sort_keys=True))
        outcome = "equivalent" if reason_of(mutant, equivalent) is not None else results[key]
        print(f"[{index}/{len(mutants)}] {outcome:10} {mutant.describe()}", flush=True)
    checker.build()

    def outcome_of(mutant: Mutant) -> str:
        if reason_of(mutant, equivalent) is not None:
            return "equivalent"
        result = results[mutant.key(digests[mutant.path])]
        return "killed" if result == "timeout" else result

    outcomes = [outcome_of(m) for m in mutants]
    print(f"\n{len(mutants)} mutants in {time.monotonic() - started:.0f} s")
    areas = sorted({m.area for m in mutants})
    for area in areas + ["all"]:
        counted = [o for m, o in zip(mutants, outcomes) if area in ("all", m.area)]
        killed, survived = counted.count("killed"), counted.count("survived")
        share = f"{100 * killed / (killed + survived):.1f}%" if killed + survived else "-"
        print(f"{area:15} {len(counted):4} tried, {killed:4} killed, {survived:3} survived, "
              f"{counted.count('equivalent'):3} equivalent, {counted.count('stillborn'):3} did not build; "
              f"killed share of non-equivalent: {share}")
    for mutant, outcome in zip(mutants, outcomes):
        if outcome == "equivalent":
            print("equivalent:", mutant.describe(), " #", reason_of(mutant, equivalent))
    for mutant, outcome in zip(mutants, outcomes):
        if outcome == "survived":
            print("survivor:", mutant.describe())
            print("  as an equivalent-mutant entry:", mutant.records()[0])
    print(f"\nequivalent-mutant entries matching no mutant: {len(stale)}")
    for record in stale:
        print(" ", record, " #", equivalent[record])
    return 0


if __name__ == "__main__":
    sys.exit(main())
