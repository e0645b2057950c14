"""fast_learn seen from Python: the checkpoint lines written on descriptor 1,
the stop test on two checkpoint sums 25000 iterations apart, and the trained
table. A single-episode run is deterministic, so its table and lines are
derived by hand."""

import numpy as np
import pytest

import tarnel
from conftest import episode, expect_silent_training_failure


# With discount and learning rate 1, each replay adds 1 to Q[0, 0]: the entry
# counts the updates applied.
COUNTER = episode((0, 0, 1.0, 0, 0))
CONSTANT = episode((0, 0, -2.0, 0, 1))


@pytest.mark.parametrize(
    "data, q_shape, max_iterations, quit_threshold, lines, table",
    [
        # d = (50001 - 25001) / 25001, then (75001 - 50001) / 50001 < 0.5.
        (
            [COUNTER], (1, 1), 10**6, 0.5,
            ["Iteration: 50000, Qsum: 50001, d: 0.999960001599936",
             "Iteration: 75000, Qsum: 75001, d: 0.499990000199996"],
            [[75001.0]],
        ),
        # Equal negative sums: d is negative zero, below the default 0.001.
        ([CONSTANT], (1, 1), 10**6, None, ["Iteration: 50000, Qsum: -2, d: -0"], [[-2.0]]),
        # All-zero rewards: every sum is 0 and every d NaN, so all iterations run.
        (
            [episode((0, 1, 0.0, 1, 0), (1, 0, 0.0, 0, 1))], (2, 2), 75001, 1e9,
            ["Iteration: 50000, Qsum: 0, d: NaN", "Iteration: 75000, Qsum: 0, d: NaN"],
            np.zeros((2, 2)),
        ),
    ],
)
def test_single_episode_runs(capfd, data, q_shape, max_iterations, quit_threshold, lines, table):
    kw = {} if quit_threshold is None else {"quit_threshold": quit_threshold}
    result = tarnel.fast_learn(data, q_shape, 1.0, 1.0, max_iterations, True, **kw)
    out, _ = capfd.readouterr()
    assert out == "".join(line + "\n" for line in lines)
    np.testing.assert_array_equal(result, table)
    assert result.dtype == np.float64 and result.shape == q_shape and result.flags.f_contiguous


def test_verbose_off_prints_nothing_and_stops_alike(capfd):
    result = tarnel.fast_learn([COUNTER], (1, 1), 1.0, 1.0, 10**6, False, quit_threshold=0.5)
    assert capfd.readouterr().out == ""
    assert result[0, 0] == 75001.0


@pytest.mark.parametrize(
    "data, q_shape",
    [
        ([], (2, 2)),
        ([episode((5, 0, 1.0, 0, 1))], (2, 2)),  # state outside the table
    ],
)
def test_training_failure(capfd, data, q_shape):
    expect_silent_training_failure(capfd, lambda: tarnel.fast_learn(data, q_shape, 0.9, 0.1, 1, True))
