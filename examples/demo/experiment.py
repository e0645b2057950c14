"""One environment's run: record, train all eight, solve the model, evaluate
every greedy policy on the same episodes."""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
from tqdm import tqdm

from .environments import (Model, Score, Settings, Task, evaluate, make_env, progress_bar, read_model,
                           reached_goal, record, value_iteration)
from .learners import ENSEMBLES, Spread, Trained, spread, train_all


@dataclasses.dataclass
class Outcome:
    task: Task
    env: object  # the gymnasium environment, kept for the figure's grid layout
    settings: Settings
    episodes: int  # recorded
    transitions: int
    model: Model
    q_star: np.ndarray
    trained: dict[str, Trained]  # by learner name, in the order of LEARNERS
    scores: dict[str, Score]  # by learner name, plus "optimal" and "random behaviour"
    seeds: range  # the evaluation episodes' environment seeds
    spreads: dict[str, Spread]  # the two ensembles'
    log_path: Path


def echo_to(log, mode: str) -> Callable[[str, list[str]], None]:
    """Writes a call's module lines to the log, and shows all, the first and
    last, or none of them."""

    def echo(name: str, lines: list[str]) -> None:
        log.write(f"# {name}: {len(lines)} lines\n")
        log.writelines(line + "\n" for line in lines)
        if mode == "none" or not lines:
            return
        if mode == "all" or len(lines) <= 2:
            shown = lines
        else:
            shown = [lines[0], f"  ... {len(lines) - 2} more lines", lines[-1]]
        tqdm.write(f"[{name}]")
        for line in shown:
            tqdm.write(line)

    return echo


def run(task: Task, settings: Settings, seed: int, out: Path, progress: bool, echo_mode: str) -> Outcome:
    s = settings
    env = make_env(task)
    n_states, n_actions = env.observation_space.n, env.action_space.n
    print(f"\n== {task.title} ({env.spec.id}): {n_states} states, {n_actions} actions ==")
    print(f"discount {s.discount}, learning rate {s.learning_rate}, up to {s.iterations:,} iterations, "
          f"quit threshold {s.quit_threshold}")

    start = time.perf_counter()
    data = record(env, s.episodes, seed, progress)
    steps = sum(len(e) for e in data)
    goals = sum(reached_goal(task, e[-1, 2], e[-1, 4] == 1) for e in data if len(e))
    print(f"recorded {len(data):,} episodes of a uniformly random policy: {steps:,} transitions, "
          f"{goals:,} ending at the goal ({time.perf_counter() - start:.1f} s)")

    model = read_model(env)
    q_star = value_iteration(model, s.discount)

    log_path = out / f"module-output-{task.key}.txt"
    with log_path.open("w") as log:
        trained = train_all(data, (n_states, n_actions), s, progress, echo_to(log, echo_mode))

    # Every policy meets the same evaluation episodes: the environment is
    # reset with the same seeds for each, so differences come from the policies.
    seeds = range(seed + 1_000_000, seed + 1_000_000 + s.eval_episodes)
    rng = np.random.default_rng(seed)
    policies: dict[str, Callable[[int], int]] = {"optimal": lambda x, p=q_star.argmax(axis=1): int(p[x])}
    for name, t in trained.items():
        policies[name] = lambda x, p=t.q.argmax(axis=1): int(p[x])
    policies["random behaviour"] = lambda x: int(rng.integers(n_actions))
    scores = {}
    with progress_bar(progress, total=len(policies) * len(seeds), desc="  evaluating", unit="ep") as bar:
        for name, policy in policies.items():
            scores[name] = evaluate(env, task, policy, seeds, bar)

    spreads = {name: spread(trained[name].stack, model.decision_states) for name in ENSEMBLES}
    return Outcome(task, env, s, len(data), steps, model, q_star, trained, scores, seeds, spreads, log_path)
