"""The builds of tarnel one run measures, each loaded in a process of its own
with its own sys.path (bench/build_worker.py), so two builds of the same
module can be timed side by side: the portable wheel of `make wheel`, the one
users install, heads the table as "tarnel"; the build `make module` leaves in
its build tree (g++ by default) follows as "tarnel g++". Without a wheel the
local build heads the table; without either, the environment's own tarnel.
"""

from __future__ import annotations

import dataclasses
import pickle
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
WHEEL_INSTALL = ROOT / "build" / "bench-wheel"


@dataclasses.dataclass
class Build:
    label: str           # its column's name
    path: Path | None    # first on sys.path in its process; None: the environment's own
    summary: str         # what it is, in a few words
    details: str = ""    # the file, its tag and compiler
    stale: bool = False  # older than a file under src/

    @property
    def source(self):
        return f"{self.summary} ({self.details})" if self.details else self.summary


def _newest_source() -> float:
    return max(p.stat().st_mtime for p in (ROOT / "src").rglob("*") if p.is_file())


def _module_file(directory: Path) -> Path | None:
    return next(iter(sorted(directory.glob("tarnel*.so"))), None)


def _compilers(module: Path) -> str:
    """The compilers named in the file's .comment section: g++ leaves its
    note there, Zig's clang none."""
    note = subprocess.run(["readelf", "-p", ".comment", str(module)], capture_output=True, text=True).stdout
    return " / ".join(sorted({m.strip() for m in re.findall(r"\]\s+(.*)", note)})) or "a compiler that left no note"


def wheel_build(wheel: Path) -> Build:
    """The wheel, installed without dependencies into build/bench-wheel when it
    is not the one installed there already."""
    stamp = WHEEL_INSTALL / ".installed-from"
    mark = f"{wheel.resolve()} {wheel.stat().st_mtime_ns}"
    if not stamp.exists() or stamp.read_text() != mark:
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
                        "--no-deps", "--upgrade", "--target", str(WHEEL_INSTALL), str(wheel)], check=True)
        stamp.write_text(mark)
    tags = [line.split(":", 1)[1].strip()
            for info in WHEEL_INSTALL.glob("tarnel-*.dist-info/WHEEL")
            for line in info.read_text().splitlines() if line.startswith("Tag:")]
    module = _module_file(WHEEL_INSTALL)
    return Build("tarnel", WHEEL_INSTALL, "the portable wheel of `make wheel`",
                 f"{wheel.name}, tag {', '.join(tags) or 'unknown'}, compiled by {_compilers(module)}",
                 stale=wheel.stat().st_mtime < _newest_source())


def local_build(directory: Path, label: str) -> Build:
    module = _module_file(directory)
    shown = module.relative_to(ROOT) if module.is_relative_to(ROOT) else module
    return Build(label, directory, "the local build of `make module`",
                 f"{shown}, compiled by {_compilers(module)}",
                 stale=module.stat().st_mtime < _newest_source())


def default_wheel() -> Path | None:
    wheels = sorted((ROOT / "dist").glob("tarnel-*.whl"), key=lambda p: p.stat().st_mtime)
    return wheels[-1] if wheels else None


def default_local_build() -> Path | None:
    """The local g++ build that `make module` keeps in build/cpp (the `cpp`
    CMake preset), used in place, never installed."""
    tree = ROOT / "build" / "cpp"
    return tree if _module_file(tree) else None


def find(wheel: Path | None, local: Path | None) -> list[Build]:
    builds = []
    if wheel is not None:
        builds.append(wheel_build(wheel))
    if local is not None:
        builds.append(local_build(local, "tarnel g++" if builds else "tarnel"))
    if not builds:
        builds.append(Build("tarnel", None, "the tarnel installed in this environment"))
    return builds


class Worker:
    """A build loaded in its own process (bench/build_worker.py), which builds
    the workloads from the same seed and answers requests; `ask` raises if
    the process reports an error."""

    def __init__(self, build: Build, scale: float):
        self.build = build
        self.process = subprocess.Popen(
            [sys.executable, str(HERE / "build_worker.py"), str(build.path or ""), repr(scale)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def ask(self, *request):
        pickle.dump(request, self.process.stdin)
        self.process.stdin.flush()
        try:
            status, value = pickle.load(self.process.stdout)
        except EOFError:
            raise RuntimeError(f"{self.build.label}: its process ended (status {self.process.wait()})") from None
        if status != "ok":
            raise RuntimeError(f"{self.build.label}: {value}")
        return value

    def timer(self, key: str, suffix: str):
        """A contender for timing.measure: the seconds of one run there."""
        return lambda: self.ask("time", key, suffix)

    def close(self) -> None:
        self.process.stdin.close()  # the end of its input ends it
        self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
