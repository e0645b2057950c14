"""The examples in examples/, each run end to end with the small settings of
its own --quick option, plus the pieces of them where a fault would quietly
skew results: how recorded steps become episode rows, the optimal values the
demonstration compares against, the settings it trains with, its figure's
words for an all-zero spread, and the flat-table conversion.

Examples whose optional packages are missing are skipped; the test command
installs them all."""

import contextlib
import importlib
import importlib.util
import logging
import os
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest
from conftest import episode

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


def policies_printed(out):
    """name -> the 4 x 4 rows of arrows printed under "name:"."""
    lines = out.splitlines()
    return {line[:-1]: [row.split() for row in lines[k + 1:k + 5]] for k, line in enumerate(lines) if line.endswith(":")}


def test_grid_demo(tmp_path):
    out = run_example("grid_demo.py", cwd=tmp_path)
    policies = policies_printed(out)
    assert set(policies) == {"qlearn_forward", "td_learn_backward", "expected_sarsa"}
    for name, rows in policies.items():
        assert rows[3][3] == "G", name
        assert all(len(row) == 4 and set(row) <= set("<v>^G") for row in rows), name
    # The corner next to the goal on the bottom row, and the cell above the
    # goal, must point at it: the step into the goal pays 1 and ends the
    # episode. Not so for td_learn_backward, whose return never credits the
    # step's own reward.
    for name in ("qlearn_forward", "expected_sarsa"):
        assert policies[name][3][2] == ">", (name, policies[name])
        assert policies[name][2][3] == "v", (name, policies[name])


HELP_CASES = [
    # The packages an example imports before reading its options, and what
    # it prints once it runs, which it must not print when asked for help.
    ("grid_demo.py", (), "transitions"),
    ("flat_table.py", ("pandas",), "Q table shape"),
    ("minari_dataset.py", (), "recorded"),
    ("dask_sweep.py", (), "cluster:"),
    ("module_output.py", (), "file descriptor 1"),
    ("demo", ("gymnasium", "matplotlib", "tqdm"), "tarnel demonstration"),
]


def test_every_example_is_asked_for_help():
    examples = {p.name for p in EXAMPLES.iterdir()
                if p.suffix == ".py" or (p / "__main__.py").is_file()}
    assert examples == {name for name, _, _ in HELP_CASES}


@pytest.mark.parametrize("name, packages, run_marker", HELP_CASES)
def test_help_describes_and_does_not_run(name, packages, run_marker, tmp_path):
    for package in packages:
        pytest.importorskip(package)
    out = run_example(name, "--help", cwd=tmp_path)
    assert out.startswith("usage: ")
    assert run_marker not in out
    assert "(default: None)" not in out
    assert list(tmp_path.iterdir()) == []


# --------------------------------------------------------------------------
# Collecting the module's own output


@pytest.fixture(scope="module")
def module_output():
    return load_example("module_output")


@pytest.mark.parametrize("fails", [False, True])
def test_module_lines_collects_descriptor_1_and_gives_it_back(module_output, capfd, training_failure, fails):
    print("before", flush=True)
    with pytest.raises(training_failure) if fails else contextlib.nullcontext():
        with module_output.module_lines() as lines:
            os.write(1, b"written to the descriptor\n")
            tarnel.qlearn_forward_parallel([episode((0, 0, 1.0, 0, 1))], (1, 1), 0.9, 0.1, 1, 1, False)
            if fails:
                tarnel.qlearn_forward([], (1, 1), 0.9, 0.1, 1, False)
    assert lines[0] == "written to the descriptor"
    assert lines[1].startswith("Q learning forward parallel, config: Qlearner { q_shape: (1, 1)")
    assert len(lines) == 2
    os.write(1, b"after\n")
    out, err = capfd.readouterr()
    assert out == "before\nafter\n"
    assert ("the episode list is empty" in err) == fails


def test_module_output_example_collects_one_training_and_silences_another(tmp_path):
    out = run_example("module_output.py", "--iterations", 75_001, cwd=tmp_path)
    assert out.startswith("fast_learn wrote 2 lines to file descriptor 1, collected here:\n"
                          "    Iteration: 50000, Qsum: ")
    assert "\n    Iteration: 75000, Qsum: " in out
    assert out.endswith("\nqlearn_forward_parallel's lines were silenced\n")
    assert "config" not in out


def test_silenced_discards_descriptor_1_and_gives_it_back(module_output, capfd):
    with module_output.silenced():
        os.write(1, b"dropped\n")
        tarnel.qlearn_forward_parallel([episode((0, 0, 1.0, 0, 1))], (1, 1), 0.9, 0.1, 1, 2, False)
    os.write(1, b"kept\n")
    assert capfd.readouterr().out == "kept\n"


# --------------------------------------------------------------------------
# The demonstration


@pytest.fixture(scope="module")
def demo():
    for package in ("gymnasium", "matplotlib", "tqdm"):
        pytest.importorskip(package)
    # The package imports the output-capture helper beside it in examples/.
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))
    package = importlib.import_module("demo")
    for part in ("cli", "environments", "experiment", "figure", "learners", "report"):
        importlib.import_module(f"demo.{part}")
    return package


def test_demo_runs_and_writes_its_figure(demo, tmp_path):
    out = run_example("demo", "--quick", "--output", tmp_path / "out", "--no-progress", cwd=tmp_path)
    quick = demo.environments.QUICK
    assert f"up to {quick['iterations']:,} iterations" in out
    assert f"recorded {quick['episodes']:,} episodes" in out
    assert f"on {quick['eval_episodes']:,} evaluation episodes" in out
    assert f"Ensembles of {quick['workers']} workers" in out
    for name in demo.report.ROW_NAMES:
        assert out.count(f"\n{name} ") == 2, name  # one table row per environment, frozenlake and cliffwalking
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
    env = demo.environments.make_env(demo.environments.TASKS[key])
    limit = env.spec.max_episode_steps
    episodes = demo.environments.record(env, 60, seed=3, progress=False)
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
    environments = demo.environments
    model = environments.read_model(environments.make_env(environments.TASKS["cliffwalking"]))
    gamma = 0.9
    q = environments.value_iteration(model, gamma)
    start = 36
    assert q[start].max() == pytest.approx(-(1 - gamma**13) / (1 - gamma), rel=1e-9)
    # Cliff cells and the goal are never a place to act from.
    assert set(range(37, 48)).isdisjoint(model.decision_states)
    assert len(model.decision_states) == 37


def test_optimal_frozen_lake_policy_reaches_the_goal_three_times_in_four(demo):
    # FrozenLake's registration notes an optimum of 0.74 for the 100-step limit.
    environments = demo.environments
    model = environments.read_model(environments.make_env(environments.TASKS["frozenlake"]))
    policy = environments.value_iteration(model, 0.99).argmax(axis=1)
    states = np.arange(16)
    value = np.zeros(16)
    for _ in range(100):
        value = model.reward[states, policy] + model.going_on[states, policy] @ value
    assert value[0] == pytest.approx(0.74, abs=0.005)


@pytest.mark.parametrize("given, field, value", [
    (["--discount", "0"], "discount", 0.0),
    (["--learning-rate", "0"], "learning_rate", 0.0),
    (["--iterations", "0"], "iterations", 0),
    (["--quit-threshold", "0"], "quit_threshold", 0.0),
    (["--discount", "1"], "discount", 1.0),
    (["--quick", "--iterations", "0"], "iterations", 0),
    (["--quick"], "workers", 2),
    ([], "episodes", 1_000),
])
def test_demo_settings_take_every_given_value_zeros_included(demo, given, field, value):
    args = demo.cli.parser().parse_args(given)
    settings = demo.cli.settings_for("cliffwalking", args)
    assert getattr(settings, field) == value
    # What was not given comes from the environment, or from --quick.
    defaults = demo.environments.TASKS["cliffwalking"].settings
    quick = demo.environments.QUICK if "--quick" in given else {}
    for other in ("episodes", "eval_episodes", "learning_rate"):
        if other != field:
            assert getattr(settings, other) == quick.get(other, getattr(defaults, other))


@pytest.mark.parametrize("given, complaint", [
    (["--discount", "1.5"], "argument --discount: must be between 0 and 1, not 1.5"),
    (["--discount", "-0.1"], "argument --discount: must be between 0 and 1, not -0.1"),
    (["--episodes", "0"], "argument --episodes: must be at least 1, not 0"),
    (["--workers", "0"], "argument --workers: must be at least 1, not 0"),
    (["--eval-episodes", "0"], "argument --eval-episodes: must be at least 1, not 0"),
    (["--iterations", "-1"], "argument --iterations: must be at least 0, not -1"),
    (["--iterations", "many"], "argument --iterations: invalid integer value: 'many'"),
])
def test_demo_refuses_settings_it_cannot_run(demo, capsys, given, complaint):
    with pytest.raises(SystemExit) as exit_:
        demo.cli.parser().parse_args(given)
    assert exit_.value.code == 2
    err = capsys.readouterr().err
    assert complaint in err


def test_demo_help_names_each_default_once(demo):
    text = demo.cli.parser().format_help()
    # Options are separated by a line that starts with two spaces and a dash.
    options = ["  -" + part for part in text.split("\n  -")[1:]]
    assert len(options) > 10
    for option in options:
        assert option.count("default") <= 1, option


@pytest.mark.parametrize("printed, iterations, quit_threshold, expected", [
    # learn and fast_learn: the last test line tells where the run stopped.
    (["Iteration: 50000, Qsum: 3, d: 0.5", "Iteration: 75000, Qsum: 3, d: 0.00001"], 10**6, 1e-4, "75,001"),
    (["Iteration: 50000, Qsum: 3, d: 0.5", "Iteration: 75000, Qsum: 3, d: 0.001"], 100_000, 1e-4, "100,000"),
    ([], 40_000, 1e-4, "40,000"),
])
def test_demo_reads_where_a_window_test_stopped(demo, printed, iterations, quit_threshold, expected):
    s = demo.cli.settings_for("frozenlake", demo.cli.parser().parse_args(
        ["--iterations", str(iterations), "--quit-threshold", str(quit_threshold)]))
    assert demo.learners.stopped_at_window_test(printed, s) == expected


@pytest.mark.parametrize("printed, iterations, expected", [
    # learn_until_convergence: a line at every checkpoint; a run that went on
    # past the last line's checkpoint would have printed the next one.
    (["0: 0, 0, 0"], 10**6, "1"),
    (["0: 0.5, 0, 1", "25000: 0.25, 3, 0.5"], 10**6, "25,001"),
    (["0: 0.5, 0, 1", "25000: 0.25, 3, 0.5"], 50_000, "50,000"),
    (["0: 0.5, 0, 1", "25000: 0.25, 3, 0.5"], 50_001, "25,001"),
    (["0: 0.5, 0, 1", "25000: 0, 3, 0"], 50_000, "25,001"),
])
def test_demo_reads_where_a_convergence_run_stopped(demo, printed, iterations, expected):
    s = demo.cli.settings_for("frozenlake", demo.cli.parser().parse_args(["--iterations", str(iterations)]))
    assert demo.learners.stopped_at_checkpoint(printed, s) == expected


@pytest.mark.parametrize("value, text", [
    (-20_000.0, "-20,000"), (-2029.58, "-2,030"), (-200.0, "-200"), (-13.0, "-13"),
    (0.751, "0.751"), (0.0125, "0.0125"), (0.0, "0"),
])
def test_demo_bar_labels_write_returns_in_full(demo, value, text):
    assert demo.figure.format_return(value) == text


@pytest.mark.parametrize("members, spread_top, words", [
    (8, 0.0, "all zero: the 8 members\nagree to the last bit"),
    (1, 0.0, "one member: no spread"),
    (8, 2.5, None),
])
def test_demo_spread_panel_says_all_zero_in_words(demo, members, spread_top, words):
    import matplotlib.pyplot as plt

    environments, learners = demo.environments, demo.learners
    states = np.arange(37)  # the cliff walk's decision states
    per_state = np.zeros(48)
    per_state[5] = spread_top
    outcome = SimpleNamespace(
        task=environments.TASKS["cliffwalking"], env=None, model=SimpleNamespace(decision_states=states),
        spreads={"qlearn_forward_parallel": learners.Spread(per_state, 0.0, spread_top, 5, 37, 37)},
        trained={"qlearn_forward_parallel": SimpleNamespace(stack=np.zeros((members, 48, 4)))},
    )
    fig = plt.figure()
    try:
        ax = fig.add_subplot()
        demo.figure.draw_spread(fig, ax, outcome, "qlearn_forward_parallel", "across workers")
        texts = [t.get_text() for t in ax.texts]
        colour_bars = len(fig.axes) - 1
        image = ax.images[0]
        if words is None:
            assert colour_bars == 1
            assert image.get_clim() == (0.0, spread_top)
            assert not any("all zero" in t for t in texts)
        else:
            # No colour bar whose one colour would mean nothing; the words instead.
            assert colour_bars == 0
            assert words in texts
    finally:
        plt.close(fig)


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
    assert len(flat_table.episodes_from_frame(frame.iloc[:0], order=None)) == 0


def test_flat_table_example(flat_table, tmp_path):
    pytest.importorskip("pyarrow")
    out = run_example("flat_table.py", "--quick", cwd=tmp_path)
    assert f"EpisodeTable({flat_table.QUICK['episodes']} episodes, " in out and "Q table shape (16, 4)" in out
    # Given its own Parquet file the example reads that instead; options
    # given on the command line win over --quick's.
    path = tmp_path / "mine.parquet"
    flat_table.random_walk_table(40, seed=1).to_parquet(path)
    out = run_example("flat_table.py", "--parquet", path, "--quick", "--iterations", 1_000, cwd=tmp_path)
    assert "EpisodeTable(40 episodes, " in out


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
    episodes = list(dataset.iterate_episodes())
    table = minari_example.episode_table(episodes)
    assert len(table) == 25
    for episode, rows in zip(episodes, table):
        assert len(rows) == len(episode.rewards)
        assert np.array_equal(rows[1:, 0], rows[:-1, 3])
        assert rows[0, 0] == 0  # FrozenLake starts in the corner
        assert np.array_equal(rows[:, 4], episode.terminations)
        assert rows[-1, 4] == 1 or episode.truncations[-1]


def test_minari_example(minari_example, tmp_path):
    out = run_example("minari_dataset.py", "--quick", "--root", tmp_path / "root", cwd=tmp_path)
    episodes = minari_example.QUICK["episodes"]
    assert f"recorded {episodes} episodes" in out and f"loaded {episodes} episodes back" in out
    assert (tmp_path / "root").is_dir()  # nothing went to the user's own dataset folder


# --------------------------------------------------------------------------
# Dask


@pytest.fixture
def dask_sweep():
    pytest.importorskip("gymnasium")
    pytest.importorskip("dask.distributed")
    return load_example("dask_sweep")


def quick_sweep_summary(dask_sweep):
    quick = dask_sweep.QUICK
    trainings = len(quick["learning_rates"]) * len(quick["discounts"])
    return f"{trainings} trainings on {quick['episodes']} episodes"


def test_dask_sweep_on_its_own_local_cluster(dask_sweep, tmp_path):
    out = run_example("dask_sweep.py", "--quick", cwd=tmp_path)
    assert f", {dask_sweep.QUICK['workers']} workers" in out
    assert quick_sweep_summary(dask_sweep) in out


def test_dask_sweep_on_a_given_scheduler(dask_sweep, tmp_path):
    import dask.distributed as distributed

    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        out = run_example("dask_sweep.py", "--scheduler", cluster.scheduler_address, "--quick", cwd=tmp_path)
    assert f"cluster: {cluster.scheduler_address}" in out
    assert quick_sweep_summary(dask_sweep) in out


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
