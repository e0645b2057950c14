"""The examples in examples/, each run end to end with small settings, plus
the pieces of them where a fault would quietly skew results: how recorded
steps become episode rows, the optimal values the demonstration compares
against, and the flat-table conversion.

Examples whose optional packages are missing are skipped; the test command
installs them all."""

import importlib.util
import logging
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tarnel

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run_example(name, *args, cwd):
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *map(str, args)],
        cwd=cwd, capture_output=True, text=True, timeout=600,
    )
    assert done.returncode == 0, f"{name} failed:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def load_example(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


def test_grid_demo(tmp_path):
    out = run_example("grid_demo.py", cwd=tmp_path)
    # The corner next to the goal on the bottom row must point at it.
    for name in ("qlearn_forward", "td_learn_backward", "expected_sarsa"):
        assert f"{name}:" in out


# --------------------------------------------------------------------------
# The demonstration


@pytest.fixture(scope="module")
def demo():
    for package in ("gymnasium", "matplotlib", "tqdm"):
        pytest.importorskip(package)
    return load_example("demo")


def test_demo_runs_and_writes_its_figure(demo, tmp_path):
    out = run_example(
        "demo.py", "--env", "frozenlake", "--env", "cliffwalking", "--episodes", 300, "--iterations", 60_000,
        "--eval-episodes", 20, "--workers", 2, "--output", tmp_path / "out", "--no-progress",
        cwd=tmp_path,
    )
    for name in list(demo.FUNCTIONS) + ["optimal", "random behaviour"]:
        assert out.count(f"\n{name} ") == 2, name  # one table row per environment
    assert "across bootstrap resamples" in out
    figure = tmp_path / "out" / "tarnel-demo.png"
    assert f"figure written to {figure.relative_to(tmp_path)}" in out or f"figure written to {figure}" in out
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "| qlearn_forward |" in (tmp_path / "out" / "results.md").read_text()
    # The module's own lines reach the log unchanged, and the first and last
    # of each call are echoed.
    log = (tmp_path / "out" / "module-output-frozenlake.txt").read_text()
    assert "Q learning forward parallel, config: Qlearner { q_shape: (16, 4)" in log
    assert "\n0: 0, 0, 0\n" in log or "\n0: " in log  # learn_until_convergence's first checkpoint
    assert "Q learning forward parallel, config: " in out


@pytest.mark.parametrize("key", ["cliffwalking", "frozenlake"])
def test_recorded_rows_chain_and_keep_truncation_apart(demo, key):
    task = demo.TASKS[key]
    env = demo.make_env(task)
    limit = env.spec.max_episode_steps
    episodes = demo.record(env, 60, seed=3, progress=False)
    assert len(episodes) == 60
    cut = 0
    for rows in episodes:
        assert rows.shape[1] == 5 and rows.dtype == np.float64
        # Each step starts where the previous one ended...
        assert np.array_equal(rows[1:, 0], rows[:-1, 3])
        # ...only the last step can end the episode...
        assert not rows[:-1, 4].any()
        # ...and a walk stopped by the time limit is not marked terminal.
        if rows[-1, 4] == 0:
            assert len(rows) == limit
            cut += 1
    if key == "cliffwalking":
        assert cut > 0  # random walks rarely cross the whole cliff in 200 steps


def test_optimal_values_match_the_shortest_cliff_walk(demo):
    # The best walk along the cliff edge takes 13 steps at -1 each, so from
    # the start V* is the discounted sum of 13 rewards of -1.
    env = demo.make_env(demo.TASKS["cliffwalking"])
    model = demo.read_model(env)
    gamma = 0.9
    q = demo.value_iteration(model, gamma)
    start = 36
    assert q[start].max() == pytest.approx(-(1 - gamma**13) / (1 - gamma), rel=1e-9)
    # Cliff cells and the goal are never a place to act from.
    assert set(range(37, 48)).isdisjoint(model.decision_states)
    assert len(model.decision_states) == 37


def test_optimal_frozen_lake_policy_reaches_the_goal_three_times_in_four(demo):
    # FrozenLake's registration notes an optimum of 0.74 for the 100-step limit.
    env = demo.make_env(demo.TASKS["frozenlake"])
    model = demo.read_model(env)
    policy = demo.value_iteration(model, 0.99).argmax(axis=1)
    states = np.arange(16)
    value = np.zeros(16)
    for _ in range(100):
        value = model.reward[states, policy] + model.going_on[states, policy] @ value
    assert value[0] == pytest.approx(0.74, abs=0.005)


# --------------------------------------------------------------------------
# Flat tables


@pytest.fixture(scope="module")
def flat_table():
    pytest.importorskip("pandas")
    return load_example("flat_table")


def reference_episodes(frame):
    """Row by row: the slow, obvious conversion."""
    grouped = {}
    for row in frame.sort_values(["episode_id", "step"]).itertuples():
        grouped.setdefault(row.episode_id, []).append(
            (row.state, row.action, row.reward, row.next_state, float(row.terminated)))
    return [np.array(grouped[k], dtype=np.float64) for k in sorted(grouped)]


@pytest.mark.parametrize("episodes", [1, 7, 300])
def test_flat_table_split_matches_row_by_row(flat_table, episodes):
    frame = flat_table.random_walk_table(episodes, seed=episodes)
    got = flat_table.episodes_from_frame(frame)
    want = reference_episodes(frame)
    assert len(got) == len(want) == episodes
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w)


def test_flat_table_keeps_row_order_without_a_step_column(flat_table):
    import pandas as pd

    frame = pd.DataFrame({
        "episode_id": [5, 2, 5, 2, 5],
        "state": [0, 9, 1, 8, 2], "action": [0] * 5, "reward": [0.0] * 5,
        "next_state": [1, 8, 2, 7, 3], "terminated": [False, False, False, True, True],
    })
    got = flat_table.episodes_from_frame(frame, order=None)
    assert [e[:, 0].tolist() for e in got] == [[9, 8], [0, 1, 2]]
    assert flat_table.episodes_from_frame(frame.iloc[:0], order=None) == []


def test_flat_table_example(flat_table, tmp_path):
    pytest.importorskip("pyarrow")
    out = run_example("flat_table.py", "--episodes", 300, "--iterations", 60_000, cwd=tmp_path)
    assert "300 episode arrays; table shape (16, 4)" in out
    # Given its own Parquet file the example reads that instead.
    path = tmp_path / "mine.parquet"
    flat_table.random_walk_table(40, seed=1).to_parquet(path)
    out = run_example("flat_table.py", "--parquet", path, "--iterations", 1_000, cwd=tmp_path)
    assert "40 episode arrays" in out


# --------------------------------------------------------------------------
# Minari


@pytest.fixture
def minari_example(tmp_path, monkeypatch):
    pytest.importorskip("gymnasium")
    pytest.importorskip("minari")
    pytest.importorskip("jax")  # Minari's collector needs it
    pytest.importorskip("h5py")
    monkeypatch.setenv("MINARI_DATASETS_PATH", str(tmp_path / "datasets"))
    return load_example("minari_dataset")


# Minari's collector removes its scratch folder by hand on close and leaves
# the TemporaryDirectory object to warn when it is collected.
@pytest.mark.filterwarnings("ignore:Implicitly cleaning up:ResourceWarning")
def test_minari_episodes_pair_each_observation_with_the_next(minari_example):
    import minari

    recorded = minari_example.record(25, seed=4)
    dataset = minari.load_dataset(minari_example.DATASET_ID)
    assert dataset.total_episodes == recorded.total_episodes == 25
    for episode in dataset.iterate_episodes():
        rows = minari_example.episode_array(episode)
        assert len(rows) == len(episode.rewards)
        assert np.array_equal(rows[1:, 0], rows[:-1, 3])
        assert rows[0, 0] == 0  # FrozenLake starts in the corner
        assert np.array_equal(rows[:, 4], episode.terminations)
        assert rows[-1, 4] == 1 or episode.truncations[-1]


def test_minari_example(minari_example, tmp_path):
    out = run_example("minari_dataset.py", "--episodes", 60, "--iterations", 60_000,
                      "--root", tmp_path / "root", cwd=tmp_path)
    assert "recorded 60 episodes" in out and "loaded 60 episodes back" in out
    assert (tmp_path / "root").is_dir()  # nothing went to the user's own dataset folder


# --------------------------------------------------------------------------
# Dask


SWEEP = ("--episodes", 400, "--iterations", 60_000, "--learning-rates", 0.1, 0.5, "--discounts", 0.9)


def test_dask_sweep_on_its_own_local_cluster(tmp_path):
    pytest.importorskip("gymnasium")
    pytest.importorskip("dask.distributed")
    out = run_example("dask_sweep.py", "--workers", 1, *SWEEP, cwd=tmp_path)
    assert ", 1 workers" in out
    assert "2 trainings on 400 episodes" in out


def test_dask_sweep_on_a_given_scheduler(tmp_path):
    pytest.importorskip("gymnasium")
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        out = run_example("dask_sweep.py", "--scheduler", cluster.scheduler_address, *SWEEP, cwd=tmp_path)
    assert f"cluster: {cluster.scheduler_address}" in out
    assert "2 trainings on 400 episodes" in out


def test_dask_sweep_reports_failed_trainings(capfd, monkeypatch):
    distributed = pytest.importorskip("dask.distributed")
    # Under its own name from a directory on the path, which the spawned
    # workers inherit, so they can import the task function.
    monkeypatch.syspath_prepend(str(EXAMPLES))
    monkeypatch.delitem(sys.modules, "dask_sweep", raising=False)
    example = importlib.import_module("dask_sweep")
    # A next state outside the 2 x 2 table: every training fails.
    data = [np.array([[0, 0, 1.0, 1, 1]]), np.array([[0, 0, 1.0, 9, 0]])]
    model = (np.zeros((2, 2)), np.zeros((2, 2, 2)))
    try:
        with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                                      dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR) as cluster, \
                distributed.Client(cluster) as client:
            results, failed = example.sweep(client, data, model, [(0.1, 0.9), (0.5, 0.9)], 1000)
    finally:
        sys.modules.pop("dask_sweep", None)
    assert results == []
    assert [(lr, gamma) for lr, gamma, _ in failed] == [(0.1, 0.9), (0.5, 0.9)]
    message = "index out of bounds: next state 9 is not below the number of states, 2"
    assert all(type(error) is tarnel.TrainingFailure and str(error) == message for _, _, error in failed)
    # Reported on the standard error the workers inherited.
    assert message in capfd.readouterr().err
