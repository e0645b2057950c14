"""The environments: their settings, their own transition model, recording
episodes and running policies in them."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable

import gymnasium as gym
import numpy as np
from tqdm import tqdm


@dataclasses.dataclass(frozen=True)
class Settings:
    """What one environment's run records, trains and evaluates with."""

    episodes: int
    iterations: int  # max_iterations of every training
    learning_rate: float
    discount: float
    quit_threshold: float
    eval_episodes: int
    workers: int  # trainings per call of the two parallel functions


# The small settings of --quick: every environment in seconds.
QUICK = {"episodes": 300, "iterations": 60_000, "eval_episodes": 20, "workers": 2}


@dataclasses.dataclass(frozen=True)
class Task:
    """One environment and the settings the demonstration uses by default."""

    key: str
    title: str
    ids: tuple[str, ...]  # registered ids to try, newest first
    make_kwargs: dict
    settings: Settings
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
        settings=Settings(episodes=30_000, iterations=4_000_000, learning_rate=0.01, discount=0.99,
                          quit_threshold=1e-4, eval_episodes=2_000, workers=8),
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
        settings=Settings(episodes=1_000, iterations=1_000_000, learning_rate=0.1, discount=0.99,
                          quit_threshold=1e-4, eval_episodes=100, workers=8),
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
        settings=Settings(episodes=1_000, iterations=1_000_000, learning_rate=0.1, discount=0.99,
                          quit_threshold=1e-4, eval_episodes=500, workers=8),
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


def value_iteration(model: Model, discount: float, tolerance: float = 1e-12, sweeps: int = 100_000) -> np.ndarray:
    q = np.zeros_like(model.reward)
    for _ in range(sweeps):
        new_q = model.reward + discount * model.going_on @ q.max(axis=1)
        if np.abs(new_q - q).max() < tolerance:
            return new_q
        q = new_q
    # A discount of 1 where some policy never ends its episodes.
    raise SystemExit(f"value iteration did not settle in {sweeps:,} sweeps with discount {discount}")


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
