"""A hyperparameter sweep run as tasks on a Dask distributed cluster.

Each task trains one Q table with ``qlearn_forward`` for one pair of
(learning rate, discount factor) on FrozenLake episodes and scores the
greedy policy exactly on the environment's transition model: its
probability of reaching the goal within the 100-step limit. The episodes,
recorded straight into the columns of one ``tarnel.EpisodeTable``, and the
model are scattered to the workers once (a table pickles as its columns, in
their own small dtypes); tasks carry only their two numbers and return a
small record.

By default the cluster is a ``LocalCluster`` of worker processes on this
machine. Give ``--scheduler tcp://host:8786`` to send the same tasks to a
running cluster instead, which is how a sweep grows past one machine (the
workers there need numpy and tarnel installed).

A training that fails (bad episode data) raises tarnel.TrainingFailure,
which derives from BaseException. Dask's blocking ``gather`` and
``Future.result`` hand on only Exceptions and would wait for such a task
for ever, so the sweep waits for all tasks, then reads each failed task's
exception from its future and reports it.

One thread per worker process: a tarnel call holds the interpreter lock
until it returns, so threads of one process would only take turns, and a
long call keeps the worker from answering its scheduler meanwhile (Dask
warns about an unresponsive event loop for calls of several seconds). A
scheduler that misses a worker's heartbeats for
``distributed.scheduler.worker-ttl`` (5 minutes by default) removes it,
with the episodes scattered to it, so the sweep turns that off for its own
cluster; a cluster given with ``--scheduler`` needs the same setting (or a
ttl above the longest training) in its scheduler's configuration.

    python examples/dask_sweep.py [--scheduler ADDRESS] [--workers N] [--episodes N] [--iterations N] [--quick]

It exits with status 1 if any training failed.

Needs dask[distributed] and gymnasium (the latter only where the sweep starts).
"""

from __future__ import annotations

import argparse
import contextlib
import itertools
import time

import numpy as np

# The small settings of --quick: a run in seconds, two trainings on one worker.
QUICK = {"workers": 1, "episodes": 400, "iterations": 60_000, "learning_rates": [0.1, 0.5], "discounts": [0.9]}


def record(episodes: int, seed: int):
    """Random-policy FrozenLake episodes as a table, and the model to score policies on."""
    import gymnasium as gym

    import tarnel

    env = gym.make("FrozenLake-v1", map_name="4x4", is_slippery=True)
    rng = np.random.default_rng(seed)
    # State, action, reward, next state, terminal: one list per column, one
    # element per step; an episode ends after its last step.
    columns = [[] for _ in range(5)]
    ends = []
    for k in range(episodes):
        state, _ = env.reset(seed=seed + k)
        while True:
            action = int(rng.integers(4))
            nxt, reward, terminated, truncated, _ = env.step(action)
            for column, value in zip(columns, (state, action, reward, nxt, terminated)):
                column.append(value)
            state = nxt
            if terminated or truncated:
                break
        ends.append(len(columns[0]))
    dtypes = (np.int8, np.int8, np.float32, np.int8, bool)  # as small as the values allow
    data = tarnel.EpisodeTable(*(np.array(c, dtype=t) for c, t in zip(columns, dtypes)), ends)
    n_states, n_actions = env.observation_space.n, env.action_space.n
    reward = np.zeros((n_states, n_actions))
    going_on = np.zeros((n_states, n_actions, n_states))
    for s in range(n_states):
        for a in range(n_actions):
            for prob, nxt, r, terminated in env.unwrapped.P[s][a]:
                reward[s, a] += prob * r
                if not terminated:
                    going_on[s, a, nxt] += prob
    return data, (reward, going_on)


def success_probability(policy: np.ndarray, model, steps: int = 100) -> float:
    """Probability that the policy reaches the goal from state 0 within ``steps`` steps."""
    reward, going_on = model
    states = np.arange(len(policy))
    value = np.zeros(len(policy))
    for _ in range(steps):
        value = reward[states, policy] + going_on[states, policy] @ value
    return float(value[0])


def train_and_score(payload, learning_rate: float, discount: float, iterations: int) -> dict:
    """One task: runs on a worker."""
    import tarnel

    data, model = payload
    start = time.perf_counter()
    q = tarnel.qlearn_forward(data, model[0].shape, discount, learning_rate, iterations, False, 1e-4)
    return {
        "learning_rate": learning_rate,
        "discount": discount,
        "success": success_probability(q.argmax(axis=1), model),
        "seconds": time.perf_counter() - start,
    }


def sweep(client, data, model, grid, iterations: int) -> tuple[list[dict], list[tuple]]:
    """Runs one task per (learning rate, discount) pair; returns the records of
    the tasks that finished and (learning rate, discount, exception) for
    those that failed."""
    from dask.distributed import wait

    # One copy of the episodes per worker, not one per task.
    [payload] = client.scatter([(data, model)], broadcast=True)
    futures = [
        client.submit(train_and_score, payload, lr, gamma, iterations, pure=False)
        for lr, gamma in grid
    ]
    wait(futures)
    failed = [(*pair, f.exception()) for pair, f in zip(grid, futures) if f.status == "error"]
    results = client.gather([f for f in futures if f.status != "error"])
    return results, failed


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Hyperparameter sweep of qlearn_forward on a Dask cluster.")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: start a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the LocalCluster")
    parser.add_argument("--episodes", type=int, default=5_000, help="episodes to record")
    parser.add_argument("--iterations", type=int, default=1_000_000, help="max_iterations of every training")
    parser.add_argument("--learning-rates", type=float, nargs="+", default=[0.005, 0.02, 0.1, 0.3])
    parser.add_argument("--discounts", type=float, nargs="+", default=[0.9, 0.99])
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--quick", action="store_true", help="small settings, for a run in seconds: " + ", ".join(
        f"--{k.replace('_', '-')} {' '.join(map(str, v)) if isinstance(v, list) else v}" for k, v in QUICK.items()))
    args, _ = parser.parse_known_args(argv)
    if args.quick:
        parser.set_defaults(**QUICK)  # options given still win
    args = parser.parse_args(argv)

    import dask
    from dask.distributed import Client, LocalCluster

    data, model = record(args.episodes, args.seed)
    if args.scheduler is None:
        # The scheduler runs in this process and reads the setting when it
        # starts: a worker busy in one long training is not taken for dead.
        dask.config.set({"distributed.scheduler.worker-ttl": None})
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None)
    else:
        cluster = contextlib.nullcontext()
    with cluster, Client(args.scheduler or cluster) as client:
        print(f"cluster: {client.scheduler.address}, {len(client.scheduler_info()['workers'])} workers")
        grid = list(itertools.product(args.learning_rates, args.discounts))
        results, failed = sweep(client, data, model, grid, args.iterations)

    # The best any policy can do, for reference: value iteration on the model
    # with the 100-step horizon itself.
    reward, going_on = model
    value = np.zeros(reward.shape[0])
    for _ in range(100):
        value = (reward + going_on @ value).max(axis=1)
    optimum = value[0]

    print(f"{len(results)} trainings on {len(data):,} episodes; best possible success probability {optimum:.3f}")
    print(f"{'learning rate':>13}  {'discount':>8}  {'success':>7}  {'seconds':>7}")
    for r in sorted(results, key=lambda r: -r["success"]):
        print(f"{r['learning_rate']:>13g}  {r['discount']:>8g}  {r['success']:>7.3f}  {r['seconds']:>7.2f}")
    for lr, gamma, error in failed:
        print(f"learning rate {lr:g}, discount {gamma:g}: failed: {type(error).__name__}: {error}")
    return 1 if failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
