"""A Minari dataset recorded on a Gymnasium environment, loaded back and learned from.

Minari's ``DataCollector`` wraps an environment and records every step;
``create_dataset`` writes the episodes to the local dataset folder, and
``minari.load_dataset`` reads them back. A Minari episode holds one more
observation than actions (the state after the last step), so
``episode_table`` takes ``observations[:-1]`` of each episode as its states
and ``observations[1:]`` as its next states, joins each field's arrays into
one column, and makes an EpisodeTable of the columns, with the episodes'
lengths giving their ends; an episode cut by the time limit is truncated,
not terminated, and stays so.

Everything stays on this machine: the datasets go to ``--root`` (a
temporary folder by default, through MINARI_DATASETS_PATH) and nothing is
downloaded.

    python examples/minari_dataset.py [--episodes N] [--iterations N] [--root DIR] [--quick]

Needs ``minari[create,hdf5]`` (the collector needs jax; the HDF5 store
writes each episode in constant time, where the Arrow store's bookkeeping
grows with the episodes already written), Pillow (which creating a dataset
imports) and gymnasium.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import warnings
from pathlib import Path

import numpy as np

import tarnel

DATASET_ID = "tarnel/frozenlake-random-v0"

# The small settings of --quick: a run in seconds.
QUICK = {"episodes": 60, "iterations": 60_000}


def episode_table(episodes: list) -> tarnel.EpisodeTable:
    """Minari ``EpisodeData`` of a discrete environment as one table, in their
    own dtypes: each field's arrays joined into one column."""
    observations = [np.asarray(e.observations) for e in episodes]
    return tarnel.EpisodeTable(
        np.concatenate([o[:-1] for o in observations]),
        np.concatenate([e.actions for e in episodes]),
        np.concatenate([e.rewards for e in episodes]),
        np.concatenate([o[1:] for o in observations]),
        np.concatenate([e.terminations for e in episodes]),
        np.cumsum([len(e) for e in episodes]),
    )


def record(episodes: int, seed: int):
    import gymnasium as gym
    import minari

    env = minari.DataCollector(gym.make("FrozenLake-v1", map_name="4x4", is_slippery=True), data_format="hdf5")
    env.action_space.seed(seed)
    for k in range(episodes):
        env.reset(seed=seed + k)
        while True:
            _, _, terminated, truncated, _ = env.step(env.action_space.sample())
            if terminated or truncated:
                break
    with warnings.catch_warnings():
        # Minari asks for contact details and a code link to publish with a dataset.
        warnings.filterwarnings("ignore", message=".* is set to None", category=UserWarning)
        dataset = env.create_dataset(
            dataset_id=DATASET_ID,
            algorithm_name="uniformly random policy",
            author="tarnel examples",
            description="FrozenLake 4x4 slippery, uniformly random actions",
        )
    env.close()
    return dataset


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Record a Minari dataset and learn from it.")
    parser.add_argument("--episodes", type=int, default=1_000, metavar="N", help="episodes to record (default: %(default)s)")
    parser.add_argument("--iterations", type=int, default=500_000, metavar="N",
                        help="max_iterations of the training (default: %(default)s)")
    parser.add_argument("--root", type=Path, help="Minari dataset folder (default: a temporary folder)")
    parser.add_argument("--seed", type=int, default=0, metavar="N", help="seed of the recording (default: %(default)s)")
    parser.add_argument("--quick", action="store_true",
                        help="small settings, for a run in seconds: " + ", ".join(f"--{k} {v}" for k, v in QUICK.items()))
    args, _ = parser.parse_known_args(argv)
    if args.quick:
        parser.set_defaults(**QUICK)  # options given still win
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as scratch:
        # Minari reads its root folder when a dataset is created or loaded.
        os.environ["MINARI_DATASETS_PATH"] = str(args.root or scratch)
        import minari

        if DATASET_ID in minari.list_local_datasets():
            minari.delete_dataset(DATASET_ID)
        recorded = record(args.episodes, args.seed)
        print(f"recorded {recorded.total_episodes:,} episodes, {recorded.total_steps:,} steps into {DATASET_ID}")

        dataset = minari.load_dataset(DATASET_ID)
        episodes = list(dataset.iterate_episodes())
        table = episode_table(episodes)
        n_states = int(dataset.observation_space.n)
        n_actions = int(dataset.action_space.n)
        print(f"loaded {len(table):,} episodes back; {sum(len(e) for e in episodes):,} transitions, "
              f"{sum(int(e.rewards[-1] > 0) for e in episodes)} reaching the goal")
        print(table)

        q = tarnel.qlearn_forward(table, (n_states, n_actions), 0.99, 0.02, args.iterations, False, 1e-4)

        # The recovered environment is the one the data came from.
        env = dataset.recover_environment()
        wins = 0
        runs = 200
        for k in range(runs):
            state, _ = env.reset(seed=10_000 + k)
            while True:
                state, reward, terminated, truncated, _ = env.step(int(q[state].argmax()))
                if terminated or truncated:
                    wins += reward > 0
                    break
        print(f"greedy policy of qlearn_forward reaches the goal in {wins} of {runs} episodes")


if __name__ == "__main__":
    main()
