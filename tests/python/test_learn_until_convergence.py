"""learn_until_convergence seen from Python: the checkpoint line written on
descriptor 1 at every 25000th iteration from 0 whatever verbose says, the stop
at the first checkpoint whose update moved no entry by more than 1e-8, and the
trained table."""

import math

import numpy as np
import pytest

import tarnel
from conftest import episode, expect_silent_training_failure


JUST_ABOVE = math.nextafter(1e-8, 1.0)  # shortest form 1.0000000000000002e-08
A = "0.000000010000000000000002"


@pytest.mark.parametrize(
    "data, q_shape, max_iterations, lines, table",
    [
        # One update leaves an all-zero table unchanged: stop after it.
        ([episode((0, 1, 0.0, 1, 0), (1, 0, 0.0, 0, 1))], (2, 2), 10**6, ["0: 0, 0, 0"], np.zeros((2, 2))),
        # A change of exactly 1e-8 still counts as none.
        ([episode((0, 0, 1e-8, 0, 1))], (1, 1), 10**6, ["0: 0.00000001, 0, 0.00000001"], [[1e-8]]),
        ([episode((0, 0, JUST_ABOVE, 0, 1))], (1, 1), 10**6, [f"0: {A}, 0, {A}", f"25000: 0, {A}, 0"],
         [[JUST_ABOVE]]),
        # Each replay adds 1 to Q[0, 0]. The comparison is with the table one
        # update earlier, not with the previous checkpoint's.
        (
            [episode((0, 0, 1.0, 0, 0))], (1, 2), 50001,
            ["0: 0.5, 0, 1", "25000: 0.5, 25000, 1", "50000: 0.5, 50000, 1"],
            [[50001.0, 0.0]],
        ),
        ([episode((0, 0, np.nan, 0, 1))], (1, 1), 25001, ["0: NaN, 0, NaN", "25000: NaN, NaN, NaN"], [[np.nan]]),
        # An episode without transitions changes nothing.
        ([np.empty((0, 5))], (2, 3), 10**6, ["0: 0, 0, 0"], np.zeros((2, 3))),
    ],
)
@pytest.mark.parametrize("verbose, kw", [(True, {}), (False, {"quit_threshold": 1e9})])
def test_single_episode_runs(capfd, data, q_shape, max_iterations, lines, table, verbose, kw):
    # discount and learning rate 1: terminal transitions write their reward.
    result = tarnel.learn_until_convergence(data, q_shape, 1.0, 1.0, max_iterations, verbose, **kw)
    out, _ = capfd.readouterr()
    assert out == "".join(line + "\n" for line in lines)
    np.testing.assert_array_equal(result, table)
    assert result.dtype == np.float64 and result.shape == q_shape and result.flags.f_contiguous


@pytest.mark.parametrize(
    "data, q_shape",
    [
        ([], (2, 2)),
        # A table without entries has no mean difference; it fails at the
        # first checkpoint before its line.
        ([np.empty((0, 5))], (0, 2)),
        ([episode((0, 0, 1.0, 7, 0))], (2, 2)),  # next state outside the table
    ],
)
def test_training_failure(capfd, data, q_shape):
    expect_silent_training_failure(capfd, lambda: tarnel.learn_until_convergence(data, q_shape, 0.9, 0.1, 1, False))
