"""The command line: settings per environment, overridden by what is given,
zeros included."""

from __future__ import annotations

import argparse
import dataclasses
import time
from pathlib import Path

from . import __doc__ as package_doc
from .environments import QUICK, TASKS, Settings
from .experiment import run
from .figure import save_figure
from .report import markdown_section, print_outcome

DEFAULT_ENVS = ["frozenlake", "cliffwalking"]


def count(minimum: int):
    def parse(text: str) -> int:
        value = int(text)
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        return value

    parse.__name__ = "integer"  # named in argparse's "invalid integer value" message
    return parse


def discount(text: str) -> float:
    value = float(text)
    if not 0.0 <= value <= 1.0:  # value iteration needs it; the module itself takes any
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, not {value}")
    return value


def option(field: str) -> str:
    return "--" + field.replace("_", "-")


def per_environment(field: str, fmt: str = ",") -> str:
    """The defaults of one setting, for the help text."""
    values = {key: format(getattr(task.settings, field), fmt) for key, task in TASKS.items()}
    if len(set(values.values())) == 1:
        shown = f"default {next(iter(values.values()))}"
    else:
        shown = "default per environment: " + ", ".join(f"{key} {value}" for key, value in values.items())
    quick = f"; with --quick {format(QUICK[field], fmt)}" if field in QUICK else ""
    return f"({shown}{quick})"


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python examples/demo", description=package_doc.split("\n\n")[0])
    p.add_argument("--env", action="append", choices=sorted(TASKS), dest="envs",
                   help=f"environment to run; repeat for several (default: {' and '.join(DEFAULT_ENVS)})")
    p.add_argument("--quick", action="store_true",
                   help="small settings that run in seconds: " + ", ".join(f"{option(k)} {v:,}" for k, v in QUICK.items()))
    p.add_argument("--episodes", type=count(1), metavar="N",
                   help=f"episodes to record {per_environment('episodes')}")
    p.add_argument("--iterations", type=count(0), metavar="N",
                   help=f"max_iterations of every training {per_environment('iterations')}")
    p.add_argument("--learning-rate", type=float, metavar="RATE",
                   help=f"learning rate {per_environment('learning_rate', 'g')}")
    p.add_argument("--discount", type=discount, metavar="GAMMA",
                   help=f"discount factor, 0 to 1 {per_environment('discount', 'g')}")
    p.add_argument("--quit-threshold", type=float, metavar="T",
                   help=f"quit_threshold of every training {per_environment('quit_threshold', 'g')}")
    p.add_argument("--workers", type=count(1), metavar="N",
                   help=f"workers of the two parallel functions {per_environment('workers')}")
    p.add_argument("--eval-episodes", type=count(1), metavar="N",
                   help=f"evaluation episodes per policy {per_environment('eval_episodes')}")
    p.add_argument("--seed", type=int, default=0,
                   help="seed of the behaviour policy and first environment seed; training itself "
                        "cannot be seeded (default: %(default)s)")
    p.add_argument("--output", type=Path, default=Path("build/demo"), metavar="DIR",
                   help="folder for the figure, the tables and the module's output (default: %(default)s)")
    p.add_argument("--module-output", choices=("brief", "all", "none"), default="brief",
                   help="echo of the module's own lines: first and last per call, all, or none; all are "
                        "kept in the folder's log either way (default: %(default)s)")
    p.add_argument("--no-progress", action="store_true", help="no progress bars")
    return p


def settings_for(key: str, args: argparse.Namespace) -> Settings:
    """The environment's settings, then --quick's, then every option given."""
    settings = TASKS[key].settings
    if args.quick:
        settings = dataclasses.replace(settings, **QUICK)
    given = {f.name: getattr(args, f.name) for f in dataclasses.fields(Settings) if getattr(args, f.name) is not None}
    return dataclasses.replace(settings, **given)


def main(argv: list[str] | None = None) -> None:
    args = parser().parse_args(argv)
    envs = args.envs or DEFAULT_ENVS
    args.output.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    print(f"tarnel demonstration: {', '.join(envs)}; behaviour policy: uniformly random")
    outcomes = []
    for key in envs:
        outcome = run(TASKS[key], settings_for(key, args), args.seed, args.output, not args.no_progress,
                      args.module_output)
        print_outcome(outcome)
        outcomes.append(outcome)
    figure = args.output / "tarnel-demo.png"
    save_figure(figure, outcomes)
    results = args.output / "results.md"
    results.write_text("# tarnel demonstration\n\n" + "\n".join(markdown_section(o) for o in outcomes))
    print(f"\nfigure written to {figure}")
    print(f"tables written to {results}")
    print(f"total {time.perf_counter() - start:.1f} s")
