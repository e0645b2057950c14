"""Episodes kept as one flat table of transitions, trained on as a tarnel.EpisodeTable.

Logged experience often lives in a data frame or a Parquet file: one row per
transition, with an episode id column and a step column giving the order
within the episode. ``episodes_from_frame`` sorts the rows, finds where the
episode id changes, and hands the five learning columns to an EpisodeTable
as they are, small integer and float dtypes included: no Python loop runs
per row, and no float64 block or per-episode array is made.

Run without arguments it makes such a table from random walks on a 4 x 4
grid (goal in the bottom-right corner), stores it as Parquet, reads it
back, trains, and prints the greedy policy. With ``--parquet FILE`` it
reads your own file instead (columns as in ``COLUMNS`` plus the episode id
and step columns).

    python examples/flat_table.py [--parquet FILE] [--episodes N] [--iterations N] [--quick]

Needs pandas; Parquet also needs pyarrow.
"""

from __future__ import annotations

import argparse
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd

import tarnel

# The learning columns, in the order tarnel reads them.
COLUMNS = ("state", "action", "reward", "next_state", "terminated")

SIZE = 4
GOAL = SIZE * SIZE - 1

# The small settings of --quick: a run in seconds.
QUICK = {"episodes": 300, "iterations": 60_000}


def episodes_from_frame(
    frame: pd.DataFrame,
    episode: str = "episode_id",
    order: str | None = "step",
    columns: tuple[str, ...] = COLUMNS,
) -> tarnel.EpisodeTable:
    """The frame's episodes as a table over its columns, episodes in id order.

    Rows are ordered by ``order`` within each episode (a stable sort, so
    without an order column the table's own row order is kept).
    """
    keys = [episode] if order is None else [episode, order]
    frame = frame.sort_values(keys, kind="stable")
    ids = frame[episode].to_numpy()
    # An episode ends where the next row's id differs, and at the last row;
    # an empty frame has no episodes, so no ends.
    ends = np.append(np.flatnonzero(ids[1:] != ids[:-1]) + 1, len(ids)) if len(ids) else []
    return tarnel.EpisodeTable(*(frame[c].to_numpy() for c in columns), ends)


def random_walk_table(episodes: int, seed: int = 0, max_steps: int = 40) -> pd.DataFrame:
    """Random walks on the grid as a flat table; every episode is walked for all
    of its steps at once, the steps after reaching the goal then dropped."""
    rng = np.random.default_rng(seed)
    moves = np.array([(0, -1), (1, 0), (0, 1), (-1, 0)])  # left, down, right, up
    actions = rng.integers(4, size=(episodes, max_steps))
    row = np.zeros(episodes, dtype=np.int64)
    col = np.zeros(episodes, dtype=np.int64)
    states = np.empty((episodes, max_steps), dtype=np.int64)
    nexts = np.empty_like(states)
    for t in range(max_steps):  # a loop over time steps, vectorised over episodes
        states[:, t] = row * SIZE + col
        row = np.clip(row + moves[actions[:, t], 0], 0, SIZE - 1)
        col = np.clip(col + moves[actions[:, t], 1], 0, SIZE - 1)
        nexts[:, t] = row * SIZE + col
    at_goal = nexts == GOAL
    reached = np.cumsum(at_goal, axis=1)
    keep = (reached == 0) | (at_goal & (reached == 1))  # up to and including the first arrival
    episode_id, step = np.nonzero(keep)
    # The small dtypes a log would keep them in.
    frame = pd.DataFrame({
        "episode_id": episode_id.astype(np.int32),
        "step": step.astype(np.int16),
        "state": states[keep].astype(np.int16),
        "action": actions[keep].astype(np.int8),
        "reward": at_goal[keep].astype(np.float32),
        "next_state": nexts[keep].astype(np.int16),
        "terminated": at_goal[keep],  # walks cut at max_steps end not terminated
    })
    # Logged tables rarely arrive in order; the conversion must not care.
    return frame.sample(frac=1.0, random_state=seed).reset_index(drop=True)


def show_policy(q: np.ndarray) -> None:
    arrows = "<v>^"
    for r in range(SIZE):
        print("   " + " ".join("G" if r * SIZE + c == GOAL else arrows[int(q[r * SIZE + c].argmax())] for c in range(SIZE)))


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Train from a flat table of transitions.")
    parser.add_argument("--parquet", type=Path, help="Parquet file to read instead of the generated table")
    parser.add_argument("--episodes", type=int, default=2_000, metavar="N",
                        help="episodes in the generated table (default: %(default)s)")
    parser.add_argument("--iterations", type=int, default=200_000, metavar="N",
                        help="max_iterations of the training (default: %(default)s)")
    parser.add_argument("--quick", action="store_true",
                        help="small settings, for a run in seconds: " + ", ".join(f"--{k} {v}" for k, v in QUICK.items()))
    args, _ = parser.parse_known_args(argv)
    if args.quick:
        parser.set_defaults(**QUICK)  # options given still win
    args = parser.parse_args(argv)

    if args.parquet is None:
        with tempfile.TemporaryDirectory() as folder:
            path = Path(folder) / "transitions.parquet"
            random_walk_table(args.episodes).to_parquet(path, index=False)
            frame = pd.read_parquet(path)
        print(f"generated {len(frame):,} transitions of {args.episodes:,} random walks, stored as Parquet and read back")
    else:
        frame = pd.read_parquet(args.parquet)
        print(f"read {len(frame):,} transitions from {args.parquet}")

    episodes = episodes_from_frame(frame)
    n_states = int(max(frame["state"].max(), frame["next_state"].max())) + 1
    n_actions = int(frame["action"].max()) + 1
    print(episodes)
    print(f"Q table shape ({n_states}, {n_actions})")
    q = tarnel.qlearn_forward(episodes, (n_states, n_actions), 0.9, 0.1, args.iterations, False)
    if args.parquet is None:
        print("greedy policy of qlearn_forward (G = goal):")
        show_policy(q)
    else:
        print("greedy action per state:", q.argmax(axis=1).tolist())


if __name__ == "__main__":
    main()
