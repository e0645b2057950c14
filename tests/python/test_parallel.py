"""The parallel trainings seen from Python: the configuration line, the
layout of the returned stack, agreement with the sequential functions, and
failures that come only after every worker thread has finished."""

import os
import time

import numpy as np
import pytest

import tarnel
from conftest import JOIN_FAILURE, episode


# Three steps through a 3-state chain, ending in a terminal step.
CHAIN = episode((0, 1, 1.0, 1, 0), (1, 0, -0.5, 2, 0), (2, 1, 2.0, 0, 1))
# State 9 lies outside every table used here.
BAD = episode((9, 0, 1.0, 0, 0), (0, 0, 1.0, 0, 1))


def forward(data, q_shape, ql_iter, max_iterations=100, verbose=False, **kw):
    return tarnel.qlearn_forward_parallel(data, q_shape, 0.9, 0.1, max_iterations, ql_iter, verbose, **kw)


def backward(data, q_shape, iter_ql, sample_size=2, max_iterations=100, verbose=False, **kw):
    return tarnel.td_learn_backward_parallel(
        data, q_shape, 0.9, 0.1, max_iterations, sample_size, iter_ql, verbose, **kw
    )


DRIVERS = {"forward": forward, "backward": backward}


def native_threads():
    # Worker threads are invisible to the threading module; the kernel's
    # list of this process's tasks is not.
    return len(os.listdir("/proc/self/task"))


def settles_to(expected):
    # A joined thread may stay listed for a moment while the kernel reaps it.
    deadline = time.monotonic() + 2.0
    while native_threads() > expected:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


PREFIX = "Q learning forward parallel, config: "


@pytest.mark.parametrize(
    "args, kw, text",
    [
        (
            ((16, 4), 0.9, 0.1, 1000, 2, False),
            {},
            "Qlearner { q_shape: (16, 4), discount_factor: 0.9, learning_rate: 0.1, "
            "max_iterations: 1000, quit_threshold: 0.001, verbose: false }",
        ),
        (
            ((3, 2), 1.0, 0.001, 7, 1, True),
            {"quit_threshold": 1e-5},
            "Qlearner { q_shape: (3, 2), discount_factor: 1.0, learning_rate: 0.001, "
            "max_iterations: 7, quit_threshold: 1e-5, verbose: true }",
        ),
        (
            ((5, 1), 0.0, 1.5e-5, 0, 0, False),
            {"quit_threshold": 1e16},
            "Qlearner { q_shape: (5, 1), discount_factor: 0.0, learning_rate: 1.5e-5, "
            "max_iterations: 0, quit_threshold: 1e16, verbose: false }",
        ),
    ],
)
def test_configuration_line_is_written_whole_on_descriptor_1(capfd, args, kw, text):
    # Below 50000 iterations no progress line exists, so the configuration
    # line is all there is, whatever verbose says.
    tarnel.qlearn_forward_parallel([CHAIN], *args, **kw)
    out, err = capfd.readouterr()
    assert out == PREFIX + text + "\n"
    assert err == ""


def test_configuration_line_comes_before_a_failing_training(capfd):
    with pytest.raises(BaseException) as caught:
        forward([BAD], (3, 2), 2)
    assert str(caught.value) == JOIN_FAILURE
    out, err = capfd.readouterr()
    assert out.startswith(PREFIX) and out.count("\n") == 1
    assert err.count("tarnel: index out of bounds: state 9 is not below the number of states, 3\n") == 2
    assert err.count(f"tarnel: {JOIN_FAILURE}\n") == 1 and err.count("\n") == 3


def test_backward_driver_prints_nothing_when_not_verbose(capfd):
    # Past iteration 50000 a verbose training would print progress lines.
    backward([CHAIN], (3, 2), 2, max_iterations=60000)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("driver", DRIVERS)
@pytest.mark.parametrize("shape", [(4, 3), (0, 3), (5, 0)])
def test_no_worker_gives_an_empty_stack_with_zero_strides(driver, shape):
    stack = DRIVERS[driver]([CHAIN], shape, 0)
    assert stack.shape == (0, *shape)
    assert stack.dtype == np.float64
    assert stack.strides == (0, 0, 0)


def test_backward_driver_with_no_worker_accepts_an_empty_list():
    assert backward([], (2, 2), 0).shape == (0, 2, 2)


@pytest.mark.parametrize("driver", DRIVERS)
@pytest.mark.parametrize("n, shape", [(1, (3, 2)), (3, (3, 2)), (4, (5, 3))])
def test_stack_is_column_major(driver, n, shape):
    stack = DRIVERS[driver]([CHAIN], shape, n)
    states, _ = shape
    assert stack.shape == (n, *shape)
    assert stack.strides == (8, 8 * n, 8 * n * states)
    assert stack.flags.f_contiguous


@pytest.mark.parametrize(
    "driver, sequential",
    [("forward", tarnel.qlearn_forward), ("backward", tarnel.td_learn_backward)],
)
def test_one_episode_gives_the_sequential_table_in_every_slab(driver, sequential):
    # Every pick is the one episode, so each worker's training is the
    # sequential one exactly; 60000 iterations pass the first stop check.
    stack = DRIVERS[driver]([CHAIN], (3, 2), 3, max_iterations=60000)
    expected = sequential([CHAIN], (3, 2), 0.9, 0.1, 60000, False)
    for k in range(3):
        np.testing.assert_array_equal(stack[k], expected)
    assert np.any(expected != 0.0)


@pytest.mark.parametrize("driver", DRIVERS)
@pytest.mark.parametrize("workers", [1, 4])
def test_bad_episode_fails_every_worker_and_leaves_no_thread(capfd, driver, workers):
    before = native_threads()
    with pytest.raises(BaseException) as caught:
        DRIVERS[driver]([BAD], (3, 2), workers)
    assert not isinstance(caught.value, Exception)
    assert str(caught.value) == JOIN_FAILURE
    assert settles_to(before)
    # Each worker reported its own failure, and the failed join was reported
    # once, when it was detected, possibly while later workers still ran.
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == workers + 1
    assert sum(JOIN_FAILURE in line for line in lines) == 1


def test_empty_samples_fail_only_when_training(capfd):
    with pytest.raises(BaseException) as caught:
        backward([CHAIN], (3, 2), 3, sample_size=0, max_iterations=1)
    assert not isinstance(caught.value, Exception)
    assert str(caught.value) == JOIN_FAILURE
    # Each of the three workers found its sample empty; the join failure
    # comes when the first failed worker is joined, so anywhere after it.
    reports = capfd.readouterr().err.splitlines()
    assert sorted(reports) == sorted(["tarnel: cannot pick an episode: the episode list is empty"] * 3
                                     + [f"tarnel: {JOIN_FAILURE}"])
    stack = backward([CHAIN], (3, 2), 3, sample_size=0, max_iterations=0)
    assert stack.shape == (3, 3, 2) and not stack.any()


@pytest.mark.parametrize("sample_size", [0, 4])
def test_empty_list_fails_the_backward_driver_before_any_worker(capfd, sample_size):
    with pytest.raises(BaseException) as caught:
        backward([], (3, 2), 2, sample_size=sample_size)
    assert not isinstance(caught.value, Exception)
    # No worker started, so there is no join failure, only the driver's own.
    assert str(caught.value) != JOIN_FAILURE
    assert capfd.readouterr().err.count("\n") == 1


def test_each_backward_worker_trains_on_its_own_sample():
    # One marked state per episode (the backward rule writes entry (i, 0) of
    # a two-step episode at state i), and samples of one episode: each slab
    # shows exactly one marked state. Over 40 workers drawing from 4 episodes
    # every episode is drawn at least once except with probability
    # 4 * (3/4)^40, about 4e-5.
    data = [episode((i, 0, 0.0, i, 0), (i, 0, 1.0, i, 1)) for i in range(4)]
    stack = backward(data, (4, 1), 40, sample_size=1, max_iterations=1)
    written = [np.flatnonzero(stack[k, :, 0]) for k in range(40)]
    assert all(len(w) == 1 for w in written)
    assert {int(w[0]) for w in written} == {0, 1, 2, 3}
