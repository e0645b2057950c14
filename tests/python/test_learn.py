"""The sequential driver behind qlearn_forward, td_learn_backward and
expected_sarsa, checked against the plain-Python reference on single-episode
inputs (deterministic: every pick is that episode)."""

import math

import numpy as np
import pytest

import tarnel
from reference import RULES, console, learn

FUNCTIONS = {name: getattr(tarnel, name) for name in RULES}

# A small chain with a terminal end; rewards make every rule move.
CHAIN = np.array(
    [
        [0, 1, 0.5, 1, 0],
        [1, 0, -1.0, 2, 0],
        [2, 1, 2.0, 0, 0],
        [0, 0, 1.0, 3, 1],
    ]
)


@pytest.mark.parametrize("name", sorted(RULES))
@pytest.mark.parametrize("iterations", [1, 2, 17])
def test_rules_match_reference(name, iterations):
    expected, _, _ = learn(RULES[name], CHAIN, (4, 2), 0.9, 0.3, iterations, False)
    got = FUNCTIONS[name]([CHAIN], (4, 2), 0.9, 0.3, iterations, False)
    np.testing.assert_array_equal(got, expected)
    assert got.tobytes() == np.asfortranarray(expected).tobytes()


# A self-loop with reward 1, discount 1 and rate 1 counts the iterations:
# the single entry ends at the number of iterations run.
COUNTER = np.array([[0, 0, 1.0, 0, 0]])


@pytest.mark.parametrize(
    "max_iterations, threshold, runs",
    [
        (50000, 3.0, 50000),  # no check before 50001 iterations
        (50001, 3.0, 50001),  # one check, at the last iteration, which stops
        (120000, 1.9, 75001),
        (200000, 0.5, 100001),
        (120000, 0.0, 120000),
        (120000, -1.0, 120000),
        (120000, math.nan, 120000),
        (10**12, 3.0, 50001),  # a huge bound costs no memory when training stops early
    ],
)
def test_stop_rule(capfd, max_iterations, threshold, runs):
    q = tarnel.qlearn_forward([COUNTER], (1, 1), 1.0, 1.0, max_iterations, False, threshold)
    assert q[0, 0] == runs
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("name", sorted(RULES))
@pytest.mark.parametrize("max_iterations, threshold", [(50000, 0.001), (50001, 0.001), (100001, 1e-12)])
def test_verbose_lines_match_reference(capfd, name, max_iterations, threshold):
    expected, lines, _ = learn(RULES[name], CHAIN, (4, 2), 0.9, 0.3, max_iterations, True, threshold)
    got = FUNCTIONS[name]([CHAIN], (4, 2), 0.9, 0.3, max_iterations, True, threshold)
    assert capfd.readouterr().out == lines
    np.testing.assert_array_equal(got, expected)


def test_verbose_counter_lines(capfd):
    tarnel.qlearn_forward([COUNTER], (1, 1), 1.0, 1.0, 200000, True, 0.5)
    d50 = (37500.5 - 12500.5) / 12500.5
    d75 = (62500.5 - 37500.5) / 37500.5
    d100 = (87500.5 - 62500.5) / 62500.5
    assert capfd.readouterr().out == (
        f"Iteration: 50000, Qsum: 50001, d: {console(d50)}\n"
        f"Iteration: 75000, Qsum: 75001, d: {console(d75)}\n"
        f"Iteration: 100000, Qsum: 100001, d: {console(d100)}\n"
    )


def test_negative_sums_keep_the_sign_of_d(capfd):
    falling = np.array([[0, 0, -1.0, 0, 0]])
    q = tarnel.qlearn_forward([falling], (1, 1), 1.0, 1.0, 50001, True, 0.0)
    assert q[0, 0] == -50001
    d = (-37500.5 + 12500.5) / -12500.5
    assert capfd.readouterr().out == f"Iteration: 50000, Qsum: -50001, d: {console(d)}\n"


def test_zero_rewards_give_nan_and_never_stop(capfd):
    zero = np.array([[0, 0, 0.0, 0, 0], [0, 1, 0.0, 1, 1]])
    q = tarnel.expected_sarsa([zero], (2, 2), 0.9, 0.5, 75001, True, 1e300)
    assert not q.any()
    assert capfd.readouterr().out == (
        "Iteration: 50000, Qsum: 0, d: NaN\nIteration: 75000, Qsum: 0, d: NaN\n"
    )


@pytest.mark.parametrize("name", sorted(RULES))
def test_empty_list_fails_at_the_first_pick(name, capfd):
    with pytest.raises(BaseException) as info:
        FUNCTIONS[name]([], (3, 2), 0.9, 0.1, 1, False)
    assert not isinstance(info.value, Exception)
    assert "empty" in str(info.value)
    assert capfd.readouterr().err == f"tarnel: {info.value}\n"


@pytest.mark.parametrize(
    "name, row, fails",
    [
        ("qlearn_forward", [5, 0, 1.0, 0, 1], True),  # state out of range
        ("qlearn_forward", [0, 0, 1.0, 10**9, 1], False),  # terminal: next state unchecked
        ("qlearn_forward", [0, 0, 1.0, 3, 0], True),  # next state out of range
        ("expected_sarsa", [0, 0, 1.0, 10**9, 0], False),  # next state never read
        ("expected_sarsa", [0, 2, 1.0, 0, 0], True),  # action out of range
        ("td_learn_backward", [7, 7, 1.0, 7, 0], False),  # single transition: no change
    ],
)
def test_index_checks(capfd, name, row, fails):
    data = [np.array([row], dtype=np.float64)]
    if fails:
        with pytest.raises(BaseException, match="index out of bounds") as caught:
            FUNCTIONS[name](data, (3, 2), 0.9, 0.5, 3, False)
        assert capfd.readouterr().err == f"tarnel: {caught.value}\n"
    else:
        expected, _, _ = learn(RULES[name], data[0], (3, 2), 0.9, 0.5, 3, False)
        np.testing.assert_array_equal(FUNCTIONS[name](data, (3, 2), 0.9, 0.5, 3, False), expected)
        assert capfd.readouterr() == ("", "")


def test_only_empty_episodes(capfd):
    empties = [np.zeros((0, 5)), np.zeros((0, 3))]
    assert not tarnel.qlearn_forward(empties, (2, 2), 0.9, 0.5, 100, False).any()
    assert not tarnel.expected_sarsa(empties, (2, 2), 0.9, 0.5, 100, False).any()
    with pytest.raises(BaseException, match="length 0") as caught:
        tarnel.td_learn_backward(empties, (2, 2), 0.9, 0.5, 100, False)
    assert capfd.readouterr().err == f"tarnel: {caught.value}\n"
