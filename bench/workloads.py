"""The benchmark workloads: episode data generated from a fixed seed, and the
call each workload makes.

Every generated index is inside its table, so every peer can read the data
without the saturating index conversion and the bounds checks that tarnel
makes (the peers skip them, as their authors would).
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

SEED = 20240611


def slippery_grid_episodes(rng: np.random.Generator, count: int, side: int = 4,
                           shortest: int = 5, longest: int = 40) -> list[np.ndarray]:
    """Random walks on a side x side grid where a move goes the intended way
    one time in three and to either side otherwise. Every step costs 0.04,
    reaching the far corner pays 1 and restarts the walk at the near corner;
    the last step of every walk is terminal. Actions: 0 left, 1 down, 2
    right, 3 up. (The step cost makes every update move the table, so a
    convergence test on one update never passes.)"""
    moves = np.array([(0, -1), (1, 0), (0, 1), (-1, 0)])
    goal = side * side - 1
    episodes = []
    for _ in range(count):
        length = int(rng.integers(shortest, longest + 1))
        rows = np.zeros((length, 5))
        state = int(rng.integers(0, goal))
        for k in range(length):
            action = int(rng.integers(0, 4))
            actual = (action + int(rng.choice((-1, 0, 1)))) % 4
            r, c = divmod(state, side)
            r = min(max(r + moves[actual][0], 0), side - 1)
            c = min(max(c + moves[actual][1], 0), side - 1)
            reached = r * side + c
            reward = 1.0 if reached == goal else -0.04
            rows[k] = (state, action, reward, reached, 1.0 if k == length - 1 else 0.0)
            state = 0 if reached == goal else reached
        episodes.append(rows)
    return episodes


def random_graph_episodes(rng: np.random.Generator, count: int, states: int, actions: int,
                          shortest: int, longest: int) -> list[np.ndarray]:
    """Walks on a random graph: every (state, action) pair leads to one of two
    fixed successors; rewards are normal around a per-state mean. The last
    step of every walk is terminal. All walks advance in lockstep, one step
    at a time, and are cut to their lengths at the end."""
    successors = rng.integers(0, states, size=(states, actions, 2))
    means = rng.normal(size=states)
    lengths = rng.integers(shortest, longest + 1, size=count)
    walks = np.zeros((count, longest, 5))
    state = rng.integers(0, states, size=count)
    for k in range(longest):
        action = rng.integers(0, actions, size=count)
        reached = successors[state, action, rng.integers(0, 2, size=count)]
        walks[:, k, 0] = state
        walks[:, k, 1] = action
        walks[:, k, 2] = means[reached] + rng.normal(scale=0.5, size=count)
        walks[:, k, 3] = reached
        state = reached
    walks[np.arange(count), lengths - 1, 4] = 1.0
    return [np.ascontiguousarray(walks[j, :lengths[j]]) for j in range(count)]


@dataclass
class Workload:
    key: str
    title: str
    function: str            # tarnel's function name
    episodes: list = field(repr=False)
    q_shape: tuple = (16, 4)
    gamma: float = 0.9
    alpha: float = 0.1
    iterations: int = 0
    workers: int = 0         # W4 only: trainings per call
    note: str = ""

    def tarnel_args(self):
        return (self.episodes, self.q_shape, self.gamma, self.alpha, self.iterations)


def build_all(scale: float = 1.0) -> dict[str, Workload]:
    """All workloads. `scale` < 1 shrinks iteration counts (for a quick look);
    the published table uses 1."""
    rng = np.random.default_rng(SEED)
    grid = slippery_grid_episodes(rng, 2000)
    many_long = random_graph_episodes(rng, 20000, 500, 6, 50, 150)
    large = random_graph_episodes(rng, 2000, 5000, 20, 5, 40)
    tiny_arrays = random_graph_episodes(rng, 200000, 16, 4, 10, 10)

    def it(n):
        return max(1, int(n * scale))

    w = [
        Workload("W1", "small table 16x4, qlearn_forward", "qlearn_forward", grid, (16, 4),
                 iterations=it(500_000)),
        Workload("W2", "many long episodes 500x6, fast_learn", "fast_learn", many_long, (500, 6),
                 iterations=it(200_000)),
        Workload("W3", "large table 5000x20, qlearn_forward", "qlearn_forward", large, (5000, 20),
                 iterations=it(20_000)),
        Workload("W4", "8 trainings of W1, qlearn_forward_parallel", "qlearn_forward_parallel", grid,
                 (16, 4), iterations=it(100_000), workers=8),
        Workload("W5", "200000 arrays of 10 rows, conversion only", "qlearn_forward", tiny_arrays,
                 (16, 4), iterations=0),
        Workload("W6a", "W1 data, td_learn_backward", "td_learn_backward", grid, (16, 4),
                 iterations=it(500_000)),
        Workload("W6b", "W1 data, expected_sarsa", "expected_sarsa", grid, (16, 4),
                 iterations=it(500_000)),
        Workload("W6c", "W1 data, learn_until_convergence", "learn_until_convergence", grid, (16, 4),
                 iterations=it(500_000)),
        Workload("W6d", "W1 data, double_q", "double_q", grid, (16, 4), iterations=it(500_000)),
    ]
    return {x.key: x for x in w}
