"""The eight learners, one record each: how to call it, what its table holds,
and how many iterations it ran, as its own printed lines tell."""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Callable

import numpy as np
import tarnel
from module_output import module_lines

from .environments import Settings, progress_bar

# learn_until_convergence measures at every CHECK_PERIOD-th iteration from
# iteration 0 on; the module does not expose the number, so it is named here.
CHECK_PERIOD = 25_000

Episodes = list[np.ndarray]
QShape = tuple[int, int]


def runs_all(lines: list[str], s: Settings) -> str:
    """A driver without an early stop: double_q."""
    return f"{s.iterations:,}"


def per_worker(lines: list[str], s: Settings) -> str:
    return "-"  # one count per worker, and the lines carry no worker number


def stopped_at_window_test(lines: list[str], s: Settings) -> str:
    """qlearn_forward, td_learn_backward, expected_sarsa and fast_learn print
    "Iteration: i, Qsum: S, d: d" at every convergence test (when verbose);
    the run stops at the first test where the threshold exceeds |d|, after
    i + 1 iterations."""
    tests = [line for line in lines if line.startswith("Iteration: ")]
    if not tests:
        return f"{s.iterations:,}"
    fields = dict(part.split(": ", 1) for part in tests[-1].split(", "))
    i, d = int(fields["Iteration"]), float(fields["d"])
    return f"{i + 1:,}" if s.quit_threshold > abs(d) else f"{s.iterations:,}"


def stopped_at_checkpoint(lines: list[str], s: Settings) -> str:
    """learn_until_convergence prints "i: E, P, D" at every checkpoint; the run
    stops at the first checkpoint where no entry moved by more than 1e-8."""
    checks = [line for line in lines if line[:1].isdigit()]
    if not checks:
        return f"{s.iterations:,}"
    head, rest = checks[-1].split(": ", 1)
    i, mean_change = int(head), float(rest.split(", ")[0])
    # A later checkpoint would have printed a line had the run gone on.
    stopped = i + CHECK_PERIOD < s.iterations or mean_change <= 1e-8
    return f"{i + 1:,}" if stopped else f"{s.iterations:,}"


@dataclasses.dataclass(frozen=True)
class Learner:
    name: str
    holds: str  # what its table holds, in a few words
    learns_optimal_q: bool  # whether its greedy policy should match value iteration's
    train: Callable[[Episodes, QShape, Settings], np.ndarray]  # the table, or the stack of a parallel one
    iterations_run: Callable[[list[str], Settings], str]


def sequential(name: str, verbose: bool) -> Callable[[Episodes, QShape, Settings], np.ndarray]:
    """The call of one of the six sequential functions, which share their parameters."""
    function = getattr(tarnel, name)

    def train(data: Episodes, q_shape: QShape, s: Settings) -> np.ndarray:
        return function(data, q_shape, s.discount, s.learning_rate, s.iterations, verbose, s.quit_threshold)

    return train


def qlearn_forward_parallel(data: Episodes, q_shape: QShape, s: Settings) -> np.ndarray:
    return tarnel.qlearn_forward_parallel(data, q_shape, s.discount, s.learning_rate, s.iterations, s.workers,
                                          False, s.quit_threshold)


def td_learn_backward_parallel(data: Episodes, q_shape: QShape, s: Settings) -> np.ndarray:
    # Each worker trains on its own resample of as many episodes as were recorded.
    return tarnel.td_learn_backward_parallel(data, q_shape, s.discount, s.learning_rate, s.iterations, len(data),
                                             s.workers, False, s.quit_threshold)


# The functions that print only when verbose are asked to, so that their
# iteration counts can be read off; learn_until_convergence and double_q
# print their lines either way.
LEARNERS = (
    Learner("qlearn_forward", "optimal Q", True, sequential("qlearn_forward", True), stopped_at_window_test),
    Learner("td_learn_backward", "returns of the behaviour policy", False, sequential("td_learn_backward", True),
            stopped_at_window_test),
    Learner("expected_sarsa", "own-row expected SARSA", False, sequential("expected_sarsa", True),
            stopped_at_window_test),
    Learner("td_learn_backward_parallel", "behaviour returns, bootstrap ensemble", False, td_learn_backward_parallel,
            per_worker),
    Learner("qlearn_forward_parallel", "optimal Q, ensemble", True, qlearn_forward_parallel, per_worker),
    Learner("fast_learn", "optimal Q", True, sequential("fast_learn", True), stopped_at_window_test),
    Learner("learn_until_convergence", "optimal Q until one episode changes nothing", True,
            sequential("learn_until_convergence", False), stopped_at_checkpoint),
    Learner("double_q", "optimal Q, double estimator", True, sequential("double_q", False), runs_all),
)

ENSEMBLES = ("qlearn_forward_parallel", "td_learn_backward_parallel")


@dataclasses.dataclass
class Trained:
    learner: Learner
    q: np.ndarray  # (S, A): the table, or the ensemble mean for the parallel functions
    stack: np.ndarray | None  # (workers, S, A) for the parallel functions
    seconds: float
    iterations: str  # iterations run, as far as the printed lines tell
    lines: list[str]


def train_all(data: Episodes, q_shape: QShape, settings: Settings, progress: bool,
              echo: Callable[[str, list[str]], None]) -> dict[str, Trained]:
    results = {}
    bar = progress_bar(progress, LEARNERS, desc="  training", unit="fn")
    for learner in bar:
        bar.set_postfix_str(learner.name)
        start = time.perf_counter()
        with module_lines() as lines:
            table = learner.train(data, q_shape, settings)
        seconds = time.perf_counter() - start
        echo(learner.name, lines)
        stack = table if table.ndim == 3 else None
        q = table.mean(axis=0) if stack is not None else table
        results[learner.name] = Trained(learner, q, stack, seconds, learner.iterations_run(lines, settings), lines)
    return results


# --------------------------------------------------------------------------
# Ensembles


@dataclasses.dataclass
class Spread:
    per_state: np.ndarray  # standard deviation of max_a Q across the stack, per state
    mean: float
    worst: float
    worst_state: int
    agree: int  # decision states where every member picks the same greedy action
    states: int


def spread(stack: np.ndarray, states: np.ndarray) -> Spread:
    values = stack.max(axis=2)  # (members, S)
    sd = values.std(axis=0, ddof=1) if len(stack) > 1 else np.zeros(values.shape[1])
    greedy = stack.argmax(axis=2)
    agree = int((greedy[:, states] == greedy[0, states]).all(axis=0).sum())
    worst = int(states[np.argmax(sd[states])])
    return Spread(sd, float(sd[states].mean()), float(sd[worst]), worst, agree, len(states))
