"""Learn a 4 x 4 grid from random-walk episodes and print the greedy policies.

The agent starts in the top-left corner; the bottom-right corner is the goal
(reward 1, terminal); every other step costs nothing. Episodes are recorded
with a uniformly random behaviour policy, then three learners train offline
on the same recordings.

    python examples/grid_demo.py [--episodes N] [--iterations N] [--seed N]
"""

import argparse

import numpy as np

import tarnel

SIZE = 4
STATES = SIZE * SIZE
GOAL = STATES - 1
MOVES = {0: (0, -1), 1: (1, 0), 2: (0, 1), 3: (-1, 0)}  # left, down, right, up
ARROWS = "<v>^"


def step(state: int, action: int) -> int:
    row, col = divmod(state, SIZE)
    d_row, d_col = MOVES[action]
    row = min(max(row + d_row, 0), SIZE - 1)
    col = min(max(col + d_col, 0), SIZE - 1)
    return row * SIZE + col


def record(rng: np.random.Generator, episodes: int, max_steps: int = 60) -> list[np.ndarray]:
    recorded = []
    for _ in range(episodes):
        rows = []
        state = 0
        for _ in range(max_steps):
            action = int(rng.integers(4))
            nxt = step(state, action)
            done = nxt == GOAL
            rows.append((state, action, 1.0 if done else 0.0, nxt, 1.0 if done else 0.0))
            state = nxt
            if done:
                break
        recorded.append(np.array(rows, dtype=np.float64))
    return recorded


def show(name: str, q: np.ndarray) -> None:
    print(f"{name}:")
    for row in range(SIZE):
        cells = []
        for col in range(SIZE):
            s = row * SIZE + col
            cells.append("G" if s == GOAL else ARROWS[int(q[s].argmax())])
        print("   " + " ".join(cells))


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--episodes", type=int, default=500, metavar="N", help="random walks to record (default: %(default)s)")
    parser.add_argument("--iterations", type=int, default=200_000, metavar="N",
                        help="max_iterations of each training (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=7, metavar="N", help="seed of the random walks (default: %(default)s)")
    args = parser.parse_args(argv)

    data = record(np.random.default_rng(args.seed), args.episodes)
    print(f"{len(data)} episodes, {sum(len(e) for e in data)} transitions")
    for name in ("qlearn_forward", "td_learn_backward", "expected_sarsa"):
        q = getattr(tarnel, name)(data, (STATES, 4), 0.9, 0.1, args.iterations, False)
        show(name, q)


if __name__ == "__main__":
    main()
