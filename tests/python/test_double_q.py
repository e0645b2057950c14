"""double_q seen from Python: the progress line at every 25000th iteration
from 0 whatever verbose says, the mean of the two tables as the result, and
the failure on a not-a-number in the choosing table's row. Which table a
transition updates is a coin of the thread's generator, so the cases here are
built to come out the same on either side of the coin (the C++ tests pin the
coin with a seeded generator)."""

import numpy as np
import pytest

import tarnel
from conftest import episode, expect_silent_training_failure


TERMINAL = episode((0, 1, 1.0, 0, 1))


@pytest.mark.parametrize("verbose, kw", [(True, {}), (False, {"quit_threshold": 1e9})])
def test_lines_at_0_and_25000(capfd, verbose, kw):
    # Learning rate 0.5: the first update puts 0.5 in one table; by iteration
    # 25000 both tables have reached the reward (each needs about 54 updates).
    result = tarnel.double_q([TERMINAL], (2, 2), 0.9, 0.5, 25001, verbose, **kw)
    lines = capfd.readouterr().out.splitlines(keepends=True)
    assert lines[0] in ("Iteration: 0, Qsum1 0.5, Qsum2 0\n", "Iteration: 0, Qsum1 0, Qsum2 0.5\n")
    assert lines[1:] == ["Iteration: 25000, Qsum1 1, Qsum2 1\n"]
    np.testing.assert_array_equal(result, [[0.0, 1.0], [0.0, 0.0]])
    assert result.dtype == np.float64 and result.flags.f_contiguous


def test_one_iteration_is_the_mean_of_the_tables(capfd):
    result = tarnel.double_q([TERMINAL], (2, 2), 0.9, 0.5, 1, False)
    assert capfd.readouterr().out in (
        "Iteration: 0, Qsum1 0.5, Qsum2 0\n",
        "Iteration: 0, Qsum1 0, Qsum2 0.5\n",
    )
    np.testing.assert_array_equal(result, [[0.0, 0.25], [0.0, 0.0]])


def test_terminal_next_state_is_not_read(capfd):
    result = tarnel.double_q([episode((1, 0, 2.0, 1e12, 1))], (2, 1), 0.9, 1.0, 1, False)
    np.testing.assert_array_equal(result, [[0.0], [1.0]])


# 64 terminal NaN writes to Q[1, 0] reach both tables (all on one side has
# probability 2^-63), so the step that follows chooses in a row holding NaN
# whichever table it updates.
NAN_IN_BOTH = episode(*([(1, 0, np.nan, 0, 1)] * 64), (0, 0, 0.0, 1, 0))


@pytest.mark.parametrize(
    "data, q_shape",
    [
        ([], (2, 2)),
        ([NAN_IN_BOTH], (2, 2)),
        ([episode((0, 2, 1.0, 0, 1))], (2, 2)),  # action outside the table
        ([episode((0, 0, 1.0, 2, 0))], (2, 2)),  # next state outside the table
    ],
)
def test_training_failure(capfd, data, q_shape):
    expect_silent_training_failure(capfd, lambda: tarnel.double_q(data, q_shape, 0.9, 0.5, 1, True))


@pytest.mark.parametrize("data, learning_rate, note", [
    # The NaN episode is picked in 64 iterations but with probability 2^-64.
    ([TERMINAL, NAN_IN_BOTH], 0.5, "episode 1 of data, row 0: reward NaN, the first reward in data that is not "
                                   "finite (check_episodes lists them all)"),
    # Six updates: one table takes a third, after an infinite one and a NaN.
    ([episode(*[(0, 0, 1.0, 0, 0)] * 6)], np.inf, "every reward in data is finite: discount_factor or learning_rate "
                                                  "made the updates overflow to infinity, and infinities met"),
], ids=["reward", "parameters"])
@pytest.mark.parametrize("form", ["arrays", "table"])
def test_a_nan_failure_notes_where_the_nan_came_from(capfd, data, learning_rate, note, form):
    if form == "table":  # read from its columns: the episodes never picked are never converted
        rows = np.concatenate(data)
        data = tarnel.EpisodeTable(*rows[:, :5].T, np.cumsum([len(e) for e in data]))
    with pytest.raises(BaseException) as caught:
        tarnel.double_q(data, (2, 2), 0.9, learning_rate, 64, False)
    assert str(caught.value).startswith("undefined order: ") and caught.value.__notes__ == [note]
    assert capfd.readouterr().err == f"tarnel: {caught.value}\n"  # the first pick may print its line
