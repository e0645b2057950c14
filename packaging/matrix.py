"""The Python suite against one built wheel, under every CPython on this machine.

    python packaging/matrix.py dist/tarnel-*.whl

One stable-ABI wheel serves CPython 3.10 and every later version, so it is
tested as users get it: installed, with whatever NumPy pip resolves for that
interpreter, into a virtual environment that holds nothing else but the test
runner. Interpreters are found through pyenv or as `python3.X` on PATH; each
version from 3.10 to the newest one found (or the newest release known here,
if that is later) that is missing gets a line saying so. The oldest
interpreter also runs with the oldest NumPy the module supports.

The examples' smoke tests need their own packages and the leak tests take
the longest; both run once, in the development environment, so here the
rest of the suite runs.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VENVS = ROOT / "build" / "matrix"
OLDEST = (3, 10)
# The newest CPython release when this was written: a machine without it is
# told so, even when it has nothing newer either.
NEWEST_KNOWN = (3, 14)
LAST_TRIED = (3, 19)
OLDEST_NUMPY = "numpy==1.26.*"
TEST_REQUIREMENTS = ROOT / "requirements-test.txt"
LEFT_OUT = ["tests/python/test_examples.py", "tests/python/test_leaks.py"]
PIP = ["-m", "pip", "--quiet", "--disable-pip-version-check"]


def dotted(version):
    return f"{version[0]}.{version[1]}"


def interpreter(version):
    """The path of a CPython of this minor version, or None."""
    name = f"python{dotted(version)}"
    candidates = []
    if shutil.which("pyenv"):
        prefix = subprocess.run(["pyenv", "prefix", dotted(version)], capture_output=True, text=True)
        if prefix.returncode == 0 and prefix.stdout.strip():
            candidates.append(Path(prefix.stdout.strip().splitlines()[0]) / "bin" / name)
    on_path = shutil.which(name)
    if on_path:
        candidates.append(Path(on_path))
    for candidate in candidates:
        # A pyenv shim answers for versions it does not have, so ask the
        # interpreter itself.
        probe = subprocess.run([str(candidate), "-c", "import sys, venv; print(sys.version_info[:2])"],
                               capture_output=True, text=True)
        if probe.returncode == 0 and probe.stdout.strip() == str(tuple(version)):
            return candidate
    return None


def environment():
    """The caller's environment less what would point the runs elsewhere."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV", "PYTHONHOME")}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def prepare(python, venv, wheel, numpy, env):
    """A virtual environment with the wheel, its NumPy and the test runner."""
    if not (venv / "bin" / "python").exists():
        subprocess.run([str(python), "-m", "venv", "--clear", str(venv)], check=True, env=env)
    py = str(venv / "bin" / "python")
    # Eager upgrades, so each run tests the newest NumPy the interpreter
    # resolves to (or the pinned one), not whatever an earlier run left.
    subprocess.run([py, *PIP, "install", "--upgrade", "--upgrade-strategy", "eager", str(wheel),
                    "-r", str(TEST_REQUIREMENTS), *([numpy] if numpy else [])], check=True, env=env)
    # The same version number as an earlier build: reinstall it.
    subprocess.run([py, *PIP, "install", "--force-reinstall", "--no-deps", str(wheel)], check=True, env=env)
    return py


def run_suite(py, env):
    """Runs the suite, echoing it, and returns (exit status, summary line)."""
    command = [py, "-m", "pytest", "-q", "-p", "no:cacheprovider", *(f"--ignore={p}" for p in LEFT_OUT)]
    process = subprocess.Popen(command, cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True)
    last = ""
    for line in process.stdout:
        sys.stdout.write(line)
        if line.strip():
            last = line.strip()
    sys.stdout.flush()
    return process.wait(), last.strip("= ")


def describe(py, env):
    """CPython and NumPy versions of an environment, and where tarnel loads from."""
    code = "import platform, numpy, tarnel; print(platform.python_version(), numpy.__version__, tarnel.__file__)"
    out = subprocess.run([py, "-c", code], cwd=ROOT, env=env, capture_output=True, text=True, check=True)
    return out.stdout.split()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheel", type=Path)
    options = parser.parse_args()
    wheel = options.wheel.resolve()
    if not re.fullmatch(r"tarnel-.*-abi3-.*\.whl", wheel.name):
        parser.error(f"{wheel.name} is not a stable-ABI tarnel wheel")

    env = environment()
    found = {}
    for minor in range(OLDEST[1], LAST_TRIED[1] + 1):
        python = interpreter((3, minor))
        if python:
            found[(3, minor)] = python
    newest = max([*found, NEWEST_KNOWN])
    for minor in range(OLDEST[1], newest[1] + 1):
        if (3, minor) not in found:
            print(f"matrix: CPython 3.{minor} not found (neither through pyenv nor as python3.{minor} on PATH); "
                  "not tested", flush=True)
    if not found:
        print("matrix: no CPython 3.10 or later found", flush=True)
        return 1

    runs = [(version, None) for version in sorted(found)]
    runs.append((min(found), OLDEST_NUMPY))
    results = []
    for version, numpy in runs:
        venv = VENVS / (dotted(version) + ("-numpy1" if numpy else ""))
        print(f"\nmatrix: CPython {dotted(version)} ({found[version]}), "
              f"{numpy or 'newest NumPy'}, in {venv.relative_to(ROOT)}", flush=True)
        start = time.monotonic()
        py = prepare(found[version], venv, wheel, numpy, env)
        python_version, numpy_version, location = describe(py, env)
        if not location.startswith(str(venv)):
            print(f"matrix: tarnel loads from {location}, not from the wheel installed in {venv}")
            results.append((python_version, numpy_version, 1, "tarnel not loaded from the wheel"))
            continue
        status, summary = run_suite(py, env)
        results.append((python_version, numpy_version, status, f"{summary} ({time.monotonic() - start:.0f} s "
                                                                  "with the set-up)"))

    print(f"\nmatrix: {wheel.name}, the suite less {', '.join(Path(p).name for p in LEFT_OUT)}")
    for python_version, numpy_version, status, summary in results:
        print(f"  CPython {python_version:8} NumPy {numpy_version:8} {'ok  ' if status == 0 else 'FAIL'} {summary}")
    return 0 if all(status == 0 for _, _, status, _ in results) else 1


if __name__ == "__main__":
    sys.exit(main())
