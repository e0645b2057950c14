"""Offline Q-learning on Gymnasium's toy-text environments with all eight tarnel learners.

For each environment the demonstration

1. records episodes with a uniformly random behaviour policy into tarnel's
   episode arrays (state, action, reward, next state, terminal flag; an
   episode cut short by a time limit ends on a transition marked not terminal,
   since the state after it still has a future);
2. trains a Q table with each of the eight functions on the same recordings;
3. computes the optimal policy by value iteration on the environment's own
   transition model (``env.unwrapped.P``);
4. runs every greedy policy, the optimal one and the random behaviour policy
   in the environment, each on the same evaluation episodes (the environment
   seeded with the same seeds), and prints the comparison as a table;
5. reads the two parallel functions as ensembles: the spread of the learned
   state values across independent workers (``qlearn_forward_parallel``) and
   across bootstrap resamples of the episodes (``td_learn_backward_parallel``);
6. saves a figure: state values with greedy actions as arrows, the ensemble
   spreads and the evaluation results.

The module prints lines of its own on standard output (file descriptor 1).
The demonstration collects each call's lines, writes all of them unchanged to
``module-output-<env>.txt`` in the output folder and, by default, echoes the
first and last line of each call (``--module-output all`` echoes every line).

Needs gymnasium, matplotlib and tqdm (requirements-demo.txt); uses no network.

    python examples/demo.py [--env frozenlake --env cliffwalking] [--episodes N]
                            [--iterations N] [--output DIR] ...
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import os
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from pathlib import Path

import numpy as np

import tarnel

try:
    import gymnasium as gym
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from tqdm import tqdm
except ImportError as missing:  # pragma: no cover - message for a bare environment
    sys.exit(f"demo.py needs gymnasium, matplotlib and tqdm ({missing}); pip install -r requirements-demo.txt")


# --------------------------------------------------------------------------
# Environments


@dataclasses.dataclass(frozen=True)
class Task:
    """One environment and the settings the demonstration uses by default."""

    key: str
    title: str
    ids: tuple[str, ...]  # registered ids to try, newest first
    make_kwargs: dict
    episodes: int
    iterations: int
    learning_rate: float
    discount: float
    quit_threshold: float
    eval_episodes: int
    time_limit: int | None  # steps per episode when the environment sets none
    ends_only_at_goal: bool  # whether every termination is a success (else it needs a positive reward)
    # Plot direction (dx, dy) of each action, dy positive downwards, or a letter.
    glyphs: tuple[tuple[float, float] | str, ...]


TASKS = {
    "frozenlake": Task(
        key="frozenlake",
        title="FrozenLake 4x4, slippery",
        ids=("FrozenLake-v1",),
        make_kwargs={"map_name": "4x4", "is_slippery": True},
        episodes=30_000,
        iterations=4_000_000,
        learning_rate=0.01,
        discount=0.99,
        quit_threshold=1e-4,
        eval_episodes=2_000,
        time_limit=None,  # registered with 100 steps
        ends_only_at_goal=False,  # the holes end episodes too
        glyphs=((-1, 0), (0, 1), (1, 0), (0, -1)),  # left, down, right, up
    ),
    # Version 1 added a slippery variant; its default is the version-0 walk.
    "cliffwalking": Task(
        key="cliffwalking",
        title="CliffWalking",
        ids=("CliffWalking-v1", "CliffWalking-v0"),
        make_kwargs={},
        episodes=1_000,
        iterations=1_000_000,
        learning_rate=0.1,
        discount=0.99,
        quit_threshold=1e-4,
        eval_episodes=100,
        time_limit=200,
        ends_only_at_goal=True,  # the cliff sends the walker back to the start
        glyphs=((0, -1), (1, 0), (0, 1), (-1, 0)),  # up, right, down, left
    ),
    # Version 4 fixed the optional rainy and fickle modes; off, it is version 3.
    "taxi": Task(
        key="taxi",
        title="Taxi",
        ids=("Taxi-v4", "Taxi-v3"),
        make_kwargs={},
        episodes=1_000,
        iterations=1_000_000,
        learning_rate=0.1,
        discount=0.99,
        quit_threshold=1e-4,
        eval_episodes=500,
        time_limit=None,  # registered with 200 steps
        ends_only_at_goal=True,  # only a drop-off at the destination ends an episode
        glyphs=((0, 1), (0, -1), (1, 0), (-1, 0), "P", "D"),  # south, north, east, west, pick up, drop off
    ),
}


def make_env(task: Task) -> gym.Env:
    for env_id in task.ids:
        if env_id in gym.envs.registry:
            kwargs = dict(task.make_kwargs)
            if task.time_limit is not None:
                kwargs["max_episode_steps"] = task.time_limit
            return gym.make(env_id, **kwargs)
    raise SystemExit(f"none of {', '.join(task.ids)} is registered in gymnasium {gym.__version__}")


# --------------------------------------------------------------------------
# The environment's model: value iteration and the states where a choice is made


@dataclasses.dataclass
class Model:
    """Expected rewards and transition probabilities read from ``env.unwrapped.P``."""

    reward: np.ndarray  # (S, A) expected immediate reward
    going_on: np.ndarray  # (S, A, S) probability of reaching s' without the episode ending
    decision_states: np.ndarray  # states reachable from a start state, where an action is taken


def read_model(env: gym.Env) -> Model:
    base = env.unwrapped
    table = base.P
    n_states, n_actions = base.observation_space.n, base.action_space.n
    reward = np.zeros((n_states, n_actions))
    going_on = np.zeros((n_states, n_actions, n_states))
    for s in range(n_states):
        for a in range(n_actions):
            for prob, nxt, r, terminated in table[s][a]:
                reward[s, a] += prob * r
                if not terminated:
                    going_on[s, a, nxt] += prob
    # Breadth-first search over non-ending transitions from the start states.
    reached = np.asarray(base.initial_state_distrib) > 0
    frontier = reached.copy()
    while frontier.any():
        nxt = (going_on[frontier].sum(axis=(0, 1)) > 0) & ~reached
        reached |= nxt
        frontier = nxt
    return Model(reward, going_on, np.flatnonzero(reached))


def value_iteration(model: Model, discount: float, tolerance: float = 1e-12) -> np.ndarray:
    q = np.zeros_like(model.reward)
    while True:
        new_q = model.reward + discount * model.going_on @ q.max(axis=1)
        if np.abs(new_q - q).max() < tolerance:
            return new_q
        q = new_q


def optimal_actions(q_star: np.ndarray) -> np.ndarray:
    """(S, A) mask of the actions within rounding of the best one."""
    best = q_star.max(axis=1, keepdims=True)
    return q_star >= best - 1e-9 * np.maximum(1.0, np.abs(best))


# --------------------------------------------------------------------------
# Recording and evaluation


def progress_bar(progress: bool, iterable=None, **kwargs) -> tqdm:
    # disable=None lets tqdm hide the bar when standard error is no terminal.
    return tqdm(iterable, disable=None if progress else True, leave=False, **kwargs)


def record(env: gym.Env, episodes: int, seed: int, progress: bool) -> list[np.ndarray]:
    """Episodes of a uniformly random behaviour policy as (n, 5) float64 arrays."""
    rng = np.random.default_rng(seed)
    n_actions = env.action_space.n
    recorded = []
    for k in progress_bar(progress, range(episodes), desc="  recording", unit="ep"):
        state, _ = env.reset(seed=seed + k)
        rows = []
        while True:
            action = int(rng.integers(n_actions))
            nxt, reward, terminated, truncated, _ = env.step(action)
            # Truncation is not termination: the flag stays 0, so learners
            # that bootstrap still look at the next state's values.
            rows.append((state, action, reward, nxt, 1.0 if terminated else 0.0))
            state = nxt
            if terminated or truncated:
                break
        recorded.append(np.array(rows, dtype=np.float64))
    return recorded


@dataclasses.dataclass
class Score:
    success: float  # share of episodes that ended by reaching the goal with a positive last reward
    mean_return: float


def reached_goal(task: Task, reward: float, terminated: bool) -> bool:
    return terminated and (task.ends_only_at_goal or reward > 0)


def evaluate(env: gym.Env, task: Task, policy: Callable[[int], int], seeds: range, bar: tqdm) -> Score:
    successes = 0
    total = 0.0
    for seed in seeds:
        state, _ = env.reset(seed=seed)
        while True:
            state, reward, terminated, truncated, _ = env.step(policy(state))
            total += reward
            if terminated or truncated:
                successes += reached_goal(task, reward, terminated)
                break
        bar.update()
    return Score(successes / len(seeds), total / len(seeds))


# --------------------------------------------------------------------------
# Training with the eight functions


@contextlib.contextmanager
def module_lines() -> Iterator[list[str]]:
    """Collects what the module writes to file descriptor 1 during the block.

    The module writes its lines straight to the descriptor, bypassing
    sys.stdout, so the descriptor itself is pointed at a temporary file.
    """
    sys.stdout.flush()
    saved = os.dup(1)
    lines: list[str] = []
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 1)
        try:
            yield lines
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            sink.seek(0)
            lines.extend(sink.read().decode("utf-8", "replace").splitlines())


FUNCTIONS = {
    # name: what its table holds, in a few words
    "qlearn_forward": "optimal Q",
    "td_learn_backward": "returns of the behaviour policy",
    "expected_sarsa": "own-row expected SARSA",
    "td_learn_backward_parallel": "behaviour returns, bootstrap ensemble",
    "qlearn_forward_parallel": "optimal Q, ensemble",
    "fast_learn": "optimal Q",
    "learn_until_convergence": "optimal Q until one episode changes nothing",
    "double_q": "optimal Q, double estimator",
}


# Which quantity each function's table estimates, for the figure's colours.
FUNCTION_KIND = {
    "qlearn_forward": "learns optimal Q",
    "fast_learn": "learns optimal Q",
    "learn_until_convergence": "learns optimal Q",
    "double_q": "learns optimal Q",
    "qlearn_forward_parallel": "learns optimal Q",
    "td_learn_backward": "learns another quantity",
    "td_learn_backward_parallel": "learns another quantity",
    "expected_sarsa": "learns another quantity",
}
KIND_COLORS = {"learns optimal Q": "tab:blue", "learns another quantity": "tab:orange", "baseline": "tab:gray"}


@dataclasses.dataclass
class Trained:
    name: str
    q: np.ndarray  # (S, A): the table, or the ensemble mean for the parallel functions
    stack: np.ndarray | None  # (workers, S, A) for the parallel functions
    seconds: float
    iterations: str  # iterations run, as far as the printed lines tell
    lines: list[str]


def iterations_run(name: str, lines: list[str], max_iterations: int, quit_threshold: float) -> str:
    """How many iterations a training ran, read off its own progress lines."""
    if name.endswith("_parallel"):
        return "-"  # one count per worker, and the lines carry no worker number
    if name == "double_q":
        return f"{max_iterations:,}"  # never stops early
    if name == "learn_until_convergence":
        # "i: E, P, D" at every checkpoint; the run stops at the first
        # checkpoint where no entry moved by more than 1e-8.
        checks = [line for line in lines if line[:1].isdigit()]
        if not checks:
            return f"{max_iterations:,}"
        head, rest = checks[-1].split(": ", 1)
        i, mean_change = int(head), float(rest.split(", ")[0])
        stopped = i + 25_000 < max_iterations or mean_change <= 1e-8
        return f"{i + 1:,}" if stopped else f"{max_iterations:,}"
    # "Iteration: i, Qsum: S, d: d" at every test; the run stops at the
    # first test where the threshold exceeds |d|.
    tests = [line for line in lines if line.startswith("Iteration: ")]
    if not tests:
        return f"{max_iterations:,}"
    fields = dict(part.split(": ", 1) for part in tests[-1].split(", "))
    i, d = int(fields["Iteration"]), float(fields["d"])
    return f"{i + 1:,}" if quit_threshold > abs(d) else f"{max_iterations:,}"


def train_all(data, q_shape, settings, workers: int, progress: bool, echo: Callable[[str, list[str]], None]):
    gamma, alpha, iterations, threshold = settings
    calls = {
        "qlearn_forward": lambda: tarnel.qlearn_forward(data, q_shape, gamma, alpha, iterations, True, threshold),
        "td_learn_backward": lambda: tarnel.td_learn_backward(data, q_shape, gamma, alpha, iterations, True, threshold),
        "expected_sarsa": lambda: tarnel.expected_sarsa(data, q_shape, gamma, alpha, iterations, True, threshold),
        # Each worker trains on its own resample of as many episodes as were recorded.
        "td_learn_backward_parallel": lambda: tarnel.td_learn_backward_parallel(
            data, q_shape, gamma, alpha, iterations, len(data), workers, False, threshold
        ),
        "qlearn_forward_parallel": lambda: tarnel.qlearn_forward_parallel(
            data, q_shape, gamma, alpha, iterations, workers, False, threshold
        ),
        "fast_learn": lambda: tarnel.fast_learn(data, q_shape, gamma, alpha, iterations, True, threshold),
        "learn_until_convergence": lambda: tarnel.learn_until_convergence(
            data, q_shape, gamma, alpha, iterations, False, threshold
        ),
        "double_q": lambda: tarnel.double_q(data, q_shape, gamma, alpha, iterations, False, threshold),
    }
    results = {}
    bar = progress_bar(progress, calls.items(), desc="  training", unit="fn")
    for name, call in bar:
        bar.set_postfix_str(name)
        start = time.perf_counter()
        with module_lines() as lines:
            table = call()
        seconds = time.perf_counter() - start
        echo(name, lines)
        stack = table if table.ndim == 3 else None
        q = table.mean(axis=0) if stack is not None else table
        results[name] = Trained(name, q, stack, seconds, iterations_run(name, lines, iterations, threshold), lines)
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


# --------------------------------------------------------------------------
# Figure


def grid_of(task: Task, env: gym.Env, per_state: np.ndarray) -> np.ndarray:
    """Lays a per-state array out on the environment's grid."""
    if task.key == "taxi":
        # One slice of the 500 states: passenger waiting at Y, going to G.
        return per_state.reshape(5, 5, 5, 4)[:, :, 2, 1]
    rows, cols = (4, 12) if task.key == "cliffwalking" else env.unwrapped.desc.shape
    return per_state.reshape(rows, cols)


def cell_labels(task: Task, env: gym.Env) -> dict[tuple[int, int], str]:
    if task.key == "frozenlake":
        desc = env.unwrapped.desc
        return {(r, c): desc[r, c].decode() for r in range(desc.shape[0]) for c in range(desc.shape[1]) if desc[r, c] != b"F"}
    if task.key == "cliffwalking":
        labels = {(3, c): "cliff" for c in range(1, 11)}
        labels.update({(3, 0): "S", (3, 11): "G"})
        return labels
    return {(0, 0): "R", (0, 4): "G", (4, 0): "Y", (4, 3): "B"}


def draw_grid(ax, task, env, model, values, actions, title, cmap="viridis", vmin=None, vmax=None, wrong=None):
    grid = grid_of(task, env, values)
    decision = np.zeros(values.shape, dtype=bool)
    decision[model.decision_states] = True
    shown = np.ma.masked_where(~grid_of(task, env, decision), grid)
    image = ax.imshow(shown, cmap=cmap, vmin=vmin, vmax=vmax)
    ax.set_facecolor("#d9d9d9")
    labels = cell_labels(task, env)
    action_grid = grid_of(task, env, actions) if actions is not None else None
    wrong_grid = grid_of(task, env, wrong) if wrong is not None else None
    mask = grid_of(task, env, decision)
    for (r, c), text in labels.items():
        if not mask[r, c]:
            ax.text(c, r, text, ha="center", va="center", fontsize=8, color="#444444")
        else:
            ax.text(c - 0.42, r - 0.3, text, ha="left", va="center", fontsize=7, color="white")
    if action_grid is not None:
        for r in range(grid.shape[0]):
            for c in range(grid.shape[1]):
                if not mask[r, c]:
                    continue
                color = "red" if wrong_grid is not None and wrong_grid[r, c] else "white"
                glyph = task.glyphs[int(action_grid[r, c])]
                if isinstance(glyph, str):
                    ax.text(c, r, glyph, ha="center", va="center", fontsize=9, color=color, weight="bold")
                else:
                    dx, dy = glyph
                    ax.annotate(
                        "", xy=(c + 0.3 * dx, r + 0.3 * dy), xytext=(c - 0.3 * dx, r - 0.3 * dy),
                        arrowprops={"arrowstyle": "->", "color": color, "lw": 1.5},
                    )
    ax.set_xticks([])
    ax.set_yticks([])
    ax.set_title(title, fontsize=9)
    return image


def draw_task(subfig, task, env, model, q_star, trained, spreads, scores):
    grid_shape = grid_of(task, env, np.zeros(q_star.shape[0])).shape
    wide = grid_shape[1] / grid_shape[0] > 2
    axes = subfig.subplots(2, 3, gridspec_kw={"width_ratios": [1.6, 1.6, 1.2] if wide else [1, 1, 1.1]})
    v_star = q_star.max(axis=1)
    learned = trained["qlearn_forward"].q
    v_lo, v_hi = float(v_star[model.decision_states].min()), float(v_star[model.decision_states].max())
    best = optimal_actions(q_star)
    greedy = learned.argmax(axis=1)
    wrong = ~best[np.arange(len(greedy)), greedy]
    slice_note = " (passenger at Y, to G)" if task.key == "taxi" else ""
    im = draw_grid(axes[0, 0], task, env, model, v_star, q_star.argmax(axis=1),
                   f"optimal (value iteration): V*, policy{slice_note}", vmin=v_lo, vmax=v_hi)
    subfig.colorbar(im, ax=axes[0, 0], shrink=0.8)
    im = draw_grid(axes[0, 1], task, env, model, learned.max(axis=1), greedy,
                   "qlearn_forward: max Q, greedy action\n(red: not an optimal action)", vmin=v_lo, vmax=v_hi, wrong=wrong)
    subfig.colorbar(im, ax=axes[0, 1], shrink=0.8)
    for ax, name, what in (
        (axes[1, 0], "qlearn_forward_parallel", "across workers"),
        (axes[1, 1], "td_learn_backward_parallel", "across bootstrap samples"),
    ):
        s = spreads[name]
        # An ensemble that agrees to the last bit (a deterministic
        # environment learned to convergence) gets a plain 0-1 scale.
        top = float(s.per_state[model.decision_states].max())
        im = draw_grid(ax, task, env, model, s.per_state, None, f"{name}\nsd of max Q {what}", cmap="magma",
                       vmin=0.0, vmax=top if top > 0 else 1.0)
        subfig.colorbar(im, ax=ax, shrink=0.8)
    gs = axes[0, 2].get_gridspec()
    axes[0, 2].remove()
    axes[1, 2].remove()
    bars = subfig.add_subplot(gs[:, 2])
    names = list(FUNCTIONS) + ["random behaviour"]
    y = np.arange(len(names))
    colors = [KIND_COLORS[FUNCTION_KIND.get(n, "baseline")] for n in names]
    bars.barh(y, [scores[n].success for n in names], color=colors)
    optimum = scores["optimal"].success
    bars.axvline(optimum, color="black", linestyle="--")
    bars.axvspan(max(optimum - 0.1, 0.0), optimum, color="tab:green", alpha=0.15)
    for k, n in enumerate(names):
        bars.text(0.01, k, f"return {scores[n].mean_return:.3g}", va="center", fontsize=7,
                  transform=bars.get_yaxis_transform())
    bars.set_xlim(0, 1.05)
    bars.set_yticks(y, names, fontsize=8)
    bars.invert_yaxis()
    bars.set_xlabel("success rate (mean return per episode written on each bar)", fontsize=8)
    handles = [plt.Rectangle((0, 0), 1, 1, color=c) for c in KIND_COLORS.values()]
    handles += [plt.Line2D([], [], color="black", linestyle="--"), plt.Rectangle((0, 0), 1, 1, color="tab:green", alpha=0.15)]
    bars.legend(handles, list(KIND_COLORS) + ["optimal policy", "within 0.1 of optimal"], fontsize=7,
                loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=3)
    bars.set_title("greedy policies in the environment", fontsize=9)
    subfig.suptitle(task.title, fontsize=11, weight="bold")


def save_figure(path: Path, panels: list[tuple]) -> None:
    heights = []
    for task, env, *_ in panels:
        rows, cols = grid_of(task, env, np.zeros(env.observation_space.n)).shape
        heights.append(5.0 if cols / rows > 2 else 6.2)
    fig = plt.figure(figsize=(15, sum(heights)), layout="constrained")
    subfigs = fig.subfigures(len(panels), 1, height_ratios=heights, squeeze=False)[:, 0]
    for subfig, panel in zip(subfigs, panels):
        draw_task(subfig, *panel)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --------------------------------------------------------------------------
# Reporting


def table(header: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(str(x)) for x in column) for column in zip(header, *rows)]
    align = ["<"] + [">"] * (len(header) - 1)
    align[1] = "<"

    def line(cells):
        return "  ".join(f"{str(c):{a}{w}}" for c, a, w in zip(cells, align, widths)).rstrip()

    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def markdown(header: list[str], rows: list[list[str]]) -> str:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


def run_task(task: Task, args, out: Path, echo_mode: str):
    progress = not args.no_progress
    episodes = args.episodes or task.episodes
    iterations = args.iterations or task.iterations
    alpha = args.learning_rate or task.learning_rate
    gamma = args.discount or task.discount
    threshold = task.quit_threshold if args.quit_threshold is None else args.quit_threshold
    eval_episodes = args.eval_episodes or task.eval_episodes

    env = make_env(task)
    n_states, n_actions = env.observation_space.n, env.action_space.n
    print(f"\n== {task.title} ({env.spec.id}): {n_states} states, {n_actions} actions ==")
    print(f"discount {gamma}, learning rate {alpha}, up to {iterations:,} iterations, quit threshold {threshold}")

    start = time.perf_counter()
    data = record(env, episodes, args.seed, progress)
    steps = sum(len(e) for e in data)
    goals = sum(reached_goal(task, e[-1, 2], e[-1, 4] == 1) for e in data if len(e))
    print(f"recorded {len(data):,} episodes of a uniformly random policy: {steps:,} transitions, "
          f"{goals:,} ending at the goal ({time.perf_counter() - start:.1f} s)")

    model = read_model(env)
    q_star = value_iteration(model, gamma)

    log_path = out / f"module-output-{task.key}.txt"
    log = log_path.open("w")

    def echo(name: str, lines: list[str]) -> None:
        log.write(f"# {name}: {len(lines)} lines\n")
        log.writelines(line + "\n" for line in lines)
        if echo_mode == "none" or not lines:
            return
        shown = lines if echo_mode == "all" or len(lines) <= 2 else [lines[0], f"  ... {len(lines) - 2} more lines", lines[-1]]
        tqdm.write(f"[{name}]")
        for line in shown:
            tqdm.write(line)

    trained = train_all(data, (n_states, n_actions), (gamma, alpha, iterations, threshold), args.workers, progress, echo)
    log.close()

    # Every policy meets the same evaluation episodes: the environment is
    # reset with the same seeds for each, so differences come from the policies.
    seeds = range(args.seed + 1_000_000, args.seed + 1_000_000 + eval_episodes)
    rng = np.random.default_rng(args.seed)
    policies: dict[str, Callable[[int], int]] = {"optimal": lambda s, p=q_star.argmax(axis=1): int(p[s])}
    for name, t in trained.items():
        policies[name] = lambda s, p=t.q.argmax(axis=1): int(p[s])
    policies["random behaviour"] = lambda s: int(rng.integers(n_actions))
    scores = {}
    with progress_bar(progress, total=len(policies) * len(seeds), desc="  evaluating", unit="ep") as bar:
        for name, policy in policies.items():
            scores[name] = evaluate(env, task, policy, seeds, bar)

    best = optimal_actions(q_star)
    states = model.decision_states
    header = ["function", "learns", "iterations", "time s", "success", "vs optimal", "mean return", "optimal actions"]
    rows = []
    for name in ["optimal"] + list(FUNCTIONS) + ["random behaviour"]:
        s = scores[name]
        if name in trained:
            t = trained[name]
            greedy = t.q.argmax(axis=1)
            agree = int(best[states, greedy[states]].sum())
            row = [name, FUNCTIONS[name], t.iterations, f"{t.seconds:.2f}"]
            row_tail = [f"{agree}/{len(states)}"]
        else:
            row = [name, "value iteration" if name == "optimal" else "data's policy", "-", "-"]
            row_tail = [f"{len(states)}/{len(states)}" if name == "optimal" else "-"]
        row += [f"{s.success:.3f}", f"{s.success - scores['optimal'].success:+.3f}", f"{s.mean_return:.2f}"] + row_tail
        rows.append(row)
    print(f"\nGreedy policies on {eval_episodes:,} evaluation episodes (environment seeds {seeds.start}..{seeds.stop - 1}):")
    print(table(header, rows))

    spreads = {name: spread(trained[name].stack, states) for name in ("qlearn_forward_parallel", "td_learn_backward_parallel")}
    print(f"\nEnsembles of {args.workers} workers (spread = standard deviation of max_a Q(s, a) across members):")
    for name, what in (("qlearn_forward_parallel", "workers on the same episodes"),
                       ("td_learn_backward_parallel", "bootstrap resamples of the episodes")):
        sp = spreads[name]
        where = f" (state {sp.worst_state})" if sp.worst > 0 else ""
        print(f"  {name}: across {what}: mean spread {sp.mean:.4g}, largest {sp.worst:.4g}{where}; "
              f"all members pick the same greedy action in {sp.agree} of {sp.states} states")

    verdict = []
    for name in ("qlearn_forward", "fast_learn", "double_q"):
        gap = scores["optimal"].success - scores[name].success
        verdict.append(f"{name} {'within' if gap <= 0.1 else 'NOT within'} 0.1")
    print("\nsuccess rate against the optimal policy's: " + ", ".join(verdict))
    print(f"module output: {log_path}")

    env_id = env.spec.id
    md = [f"## {task.title} ({env_id})", "",
          f"{len(data):,} episodes, {steps:,} transitions; discount {gamma}, learning rate {alpha}, "
          f"up to {iterations:,} iterations, quit threshold {threshold}; {eval_episodes:,} evaluation episodes.", "",
          markdown(header, rows), ""]
    panel = (task, env, model, q_star, trained, spreads, scores)
    return panel, "\n".join(md)


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--env", action="append", choices=sorted(TASKS), dest="envs",
                        help="environment to run (repeat for several; default: frozenlake and cliffwalking)")
    parser.add_argument("--episodes", type=int, help="episodes to record (default: per environment)")
    parser.add_argument("--iterations", type=int, help="max_iterations of every training (default: per environment)")
    parser.add_argument("--learning-rate", type=float, help="learning rate (default: per environment)")
    parser.add_argument("--discount", type=float, help="discount factor (default: per environment)")
    parser.add_argument("--quit-threshold", type=float, help="quit_threshold of every training (default: per environment)")
    parser.add_argument("--workers", type=int, default=8, help="workers of the two parallel functions")
    parser.add_argument("--eval-episodes", type=int, help="evaluation episodes per policy (default: per environment)")
    parser.add_argument("--seed", type=int, default=0,
                        help="seed of the behaviour policy and first environment seed (training itself cannot be seeded)")
    parser.add_argument("--output", type=Path, default=Path("build/demo"), help="folder for the figure and logs")
    parser.add_argument("--module-output", choices=("brief", "all", "none"), default="brief",
                        help="echo of the module's own lines: first and last per call, all, or none (all are kept in the log)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bars")
    return parser.parse_args(argv)


def main(argv=None) -> None:
    args = parse_args(argv)
    envs = args.envs or ["frozenlake", "cliffwalking"]
    args.output.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    print(f"tarnel demonstration: {', '.join(envs)}; behaviour policy: uniformly random")
    panels, md = [], []
    for key in envs:
        panel, text = run_task(TASKS[key], args, args.output, args.module_output)
        panels.append(panel)
        md.append(text)
    figure = args.output / "tarnel-demo.png"
    save_figure(figure, panels)
    (args.output / "results.md").write_text("# tarnel demonstration\n\n" + "\n".join(md))
    print(f"\nfigure written to {figure}")
    print(f"tables written to {args.output / 'results.md'}")
    print(f"total {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
