"""A failed training inside a worker process reaches the caller as
tarnel.TrainingFailure with its message: through a ProcessPoolExecutor, and
through a Dask cluster of worker processes and multiprocessing.Pool with the
patterns the README shows.

Every wait has a time limit, so a failure that gets lost on its way back
fails the test instead of hanging the suite.
"""

import concurrent.futures
import logging
import multiprocessing

import pytest

import tarnel
from conftest import episode

# A next state outside the 2 x 2 table: every learner fails on its first update.
BAD = [episode((0, 0, 1.0, 7, 0), (0, 1, 1.0, 0, 1))]
ARGUMENTS = (BAD, (2, 2), 0.9, 0.1, 10, False)
WAIT = 120  # seconds; a worker starts and imports NumPy well within this


def expected_message(capfd):
    with pytest.raises(tarnel.TrainingFailure) as caught:
        tarnel.qlearn_forward(*ARGUMENTS)
    assert capfd.readouterr().err == f"tarnel: {caught.value}\n"
    return str(caught.value)


def check_arrived(capfd, failure, message):
    assert type(failure) is tarnel.TrainingFailure
    assert str(failure) == message
    # The worker reported it on the standard error it inherited.
    assert message in capfd.readouterr().err


# Spawned workers, so the test does not depend on the platform's default
# start method (fork in a threaded process is deprecated).
@pytest.fixture(scope="module")
def spawn():
    return multiprocessing.get_context("spawn")


def test_process_pool_executor(capfd, spawn):
    message = expected_message(capfd)
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=spawn) as pool:
        future = pool.submit(tarnel.qlearn_forward, *ARGUMENTS)
        with pytest.raises(tarnel.TrainingFailure) as caught:
            future.result(timeout=WAIT)
        # The worker survives a failed training: the next task runs in it.
        assert pool.submit(tarnel.qlearn_forward, [episode((0, 0, 1.0, 1, 1))], (2, 2), 0.9, 0.5, 1,
                           False).result(timeout=WAIT)[0, 0] == 0.5
    check_arrived(capfd, caught.value, message)


def train_in_pool(data):
    """The README's task function for multiprocessing.Pool."""
    try:
        return tarnel.qlearn_forward(data, (2, 2), 0.9, 0.1, 10, False)
    except tarnel.TrainingFailure as failure:
        raise RuntimeError(f"training failed: {failure}") from None


def test_multiprocessing_pool_with_the_documented_pattern(capfd, spawn):
    message = expected_message(capfd)
    with spawn.Pool(1) as pool:
        result = pool.map_async(train_in_pool, [BAD])
        with pytest.raises(RuntimeError) as caught:
            result.get(timeout=WAIT)
    assert str(caught.value) == f"training failed: {message}"
    assert message in capfd.readouterr().err


def test_dask_local_cluster(capfd):
    distributed = pytest.importorskip("distributed")
    message = expected_message(capfd)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        future = client.submit(tarnel.qlearn_forward, *ARGUMENTS, pure=False)
        # Dask's blocking result() and gather() hand on only Exceptions and
        # never return for another BaseException; the failed future holds it
        # (the README's pattern).
        distributed.wait([future], timeout=WAIT)
        assert future.status == "error"
        failure = future.exception(timeout=WAIT)
    check_arrived(capfd, failure, message)
