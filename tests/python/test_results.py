"""Result arrays: layout, flags and ownership of the tables handed to NumPy,
the zero table of a call without iterations, their lifetime, and table sizes
refused or failing before anything is allocated."""

import sys

import numpy as np
import pytest

import tarnel
from conftest import JOIN_FAILURE, PARALLEL, SEQUENTIAL, arguments, episode, unless_sanitized

CHAIN = episode((0, 1, 1.0, 1, 0), (1, 0, 2.0, 2, 0), (2, 1, -1.0, 3, 0), (3, 0, 0.5, 0, 1))
# The chain after one forward pass with discount 0.9 and rate 0.5, indexed
# [state, action]: each row bootstraps from a still-zero next row.
CHAIN_ONE_PASS = [[0.0, 0.5], [1.0, 0.0], [0.0, -0.5], [0.25, 0.0]]

EXTRA = {"td_learn_backward_parallel": (1, 3), "qlearn_forward_parallel": (3,)}


def call(name, data, q_shape, max_iterations, discount_factor=0.9, learning_rate=0.5):
    return getattr(tarnel, name)(data, q_shape, discount_factor, learning_rate, max_iterations,
                                 *EXTRA.get(name, ()), False)


def check_owned_fortran_table(result, shape):
    assert type(result) is np.ndarray
    assert result.dtype == np.float64 and result.dtype.isnative
    assert result.shape == shape
    empty = 0 in shape
    expected_strides, step = [], 8
    for extent in shape:
        expected_strides.append(0 if empty else step)
        step *= extent
    assert result.strides == tuple(expected_strides)
    assert result.flags.f_contiguous
    assert result.flags.c_contiguous == (empty or sum(extent != 1 for extent in shape) <= 1)
    assert result.flags.writeable and result.flags.aligned
    # The table's buffer is held by a private owner object, the array's base,
    # and by nothing else.
    assert not result.flags.owndata
    assert result.base is not None and not isinstance(result.base, np.ndarray)
    owner_references = sys.getrefcount(result.base)  # outside assert: its rewrite holds values
    assert owner_references == 2


@pytest.mark.parametrize("q_shape", [(4, 2), (1, 4), (4, 1), (1, 1), (0, 4), (4, 0), (0, 0), (3, 5)])
def test_zero_table_layout(q_shape):
    result = tarnel.qlearn_forward([], q_shape, 0.9, 0.5, 0, False)
    check_owned_fortran_table(result, q_shape)
    assert not result.any()


@pytest.mark.parametrize("name", SEQUENTIAL)
def test_max_iterations_zero_gives_the_zero_table_without_an_episode(capfd, name):
    # No iteration, so no pick from the empty list and no line, verbose or not.
    result = getattr(tarnel, name)([], (3, 2), 0.9, 0.1, 0, True)
    assert capfd.readouterr() == ("", "")
    check_owned_fortran_table(result, (3, 2))
    assert not result.any()


def test_trained_table_is_indexed_state_by_action():
    result = tarnel.qlearn_forward([CHAIN], (4, 2), 0.9, 0.5, 1, False)
    check_owned_fortran_table(result, (4, 2))
    assert result.tolist() == CHAIN_ONE_PASS
    # Column-major storage: the raw buffer lists the states of action 0 first.
    assert np.frombuffer(result.T.tobytes(), dtype=np.float64).tolist() == \
        [row[0] for row in CHAIN_ONE_PASS] + [row[1] for row in CHAIN_ONE_PASS]


@pytest.mark.parametrize("name", tarnel.__all__)
def test_every_function_returns_an_owned_fortran_table(capfd, name):
    result = call(name, [CHAIN], (4, 2), 2)
    workers = EXTRA.get(name, (0,))[-1]
    check_owned_fortran_table(result, (workers, 4, 2) if name in EXTRA else (4, 2))
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("parallel, sequential", [("qlearn_forward_parallel", "qlearn_forward"),
                                                  ("td_learn_backward_parallel", "td_learn_backward")])
def test_stacked_tables_are_indexed_worker_state_action(capfd, parallel, sequential):
    # With one episode every worker's training is the sequential one.
    stack = call(parallel, [CHAIN], (4, 2), 3)
    table = call(sequential, [CHAIN], (4, 2), 3)
    assert table.any()
    for worker in range(stack.shape[0]):
        np.testing.assert_array_equal(stack[worker], table)
    assert capfd.readouterr().err == ""  # the configuration line goes to standard output


def test_caller_holds_the_only_reference():
    result = tarnel.qlearn_forward([CHAIN], (4, 2), 0.9, 0.5, 1, False)
    references = sys.getrefcount(result)
    assert references == 2


def test_results_outlive_the_call_and_own_separate_buffers():
    first = tarnel.qlearn_forward([CHAIN], (4, 2), 0.9, 0.5, 1, False)
    second = tarnel.qlearn_forward([CHAIN], (4, 2), 0.9, 0.5, 1, False)
    first[0, 0] = 7.0
    first[3, 1] = -7.0
    assert second.tolist() == CHAIN_ONE_PASS
    assert first[0, 0] == 7.0 and first[3, 1] == -7.0
    view = first[:, 1]
    del first
    assert view.tolist() == [0.5, 0.0, -0.5, -7.0]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@unless_sanitized
def test_dropped_results_and_failed_calls_free_their_tables(capfd, training_failure):
    # A leaked 64 x 64 table per call would add 320 MB, a leaked 512 x 512
    # one per failed call 600 MB; allow a few MB of allocator noise.
    for _ in range(200):
        tarnel.qlearn_forward([], (64, 64), 0.9, 0.5, 0, False)
    before = resident_bytes()
    for _ in range(10**4):
        tarnel.qlearn_forward([], (64, 64), 0.9, 0.5, 0, False)
    for _ in range(300):
        with pytest.raises(training_failure):
            tarnel.qlearn_forward([], (512, 512), 0.9, 0.5, 1, False)
    assert resident_bytes() - before < 16 << 20
    assert capfd.readouterr().err == "tarnel: cannot pick an episode: the episode list is empty\n" * 300


# (function, table shape, iterations): shapes whose element count or byte size
# exceeds the signed 64-bit range, even when the other extent is 0, refused
# with no iteration to run, and refused by every function when there are.
IMPOSSIBLE_SIZES = [
    *[("qlearn_forward", q_shape, 0) for q_shape in [(2**40, 2**40), (2**63, 2), (2, 2**63),
                                                     (2**64 - 1, 2**64 - 1), (0, 2**63), (2**63, 0), (0, 2**62)]],
    *[(name, q_shape, 20) for q_shape in [(1 << 40, 1 << 40), (1 << 63, 2), (1, 1 << 61)]
      for name in SEQUENTIAL + PARALLEL],
]


@pytest.mark.parametrize("name, q_shape, max_iterations", IMPOSSIBLE_SIZES)
def test_impossible_table_sizes_fail_before_allocating(capfd, training_failure, name, q_shape, max_iterations):
    # Asking for such a table would either fail (a MemoryError) or, where the
    # size wraps around, allocate a small wrong one; the size check comes first.
    data = [CHAIN] if max_iterations else []
    with pytest.raises(training_failure) as caught:
        getattr(tarnel, name)(*arguments(name, data, q_shape, 0.9, 0.5, max_iterations))
    reports = capfd.readouterr().err.splitlines()
    if name in PARALLEL:
        # The one worker fails on its table, and so the call.
        assert str(caught.value) == JOIN_FAILURE
        assert len(reports) == 2
    else:
        assert len(reports) == 1
    assert reports[0].startswith("tarnel: ") and reports[0].endswith(" exceeds the largest possible allocation")
    assert reports[-1] == f"tarnel: {caught.value}"


@pytest.mark.parametrize("q_shape", [(0, 2**59), (2**59, 0)])
def test_empty_table_with_one_large_extent(q_shape):
    check_owned_fortran_table(tarnel.qlearn_forward([], q_shape, 0.9, 0.5, 0, False), q_shape)


@unless_sanitized
@pytest.mark.parametrize("q_shape", [(2**20, 2**20), (2**28, 2**30)])
def test_table_that_does_not_fit_in_memory_raises_memory_error(q_shape):
    with pytest.raises(MemoryError):
        tarnel.qlearn_forward([], q_shape, 0.9, 0.5, 0, False)
