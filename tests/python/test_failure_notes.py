"""Notes that say where in `data` a failed training comes from.

A TrainingFailure raised because of one transition, an empty episode or an
array of too few columns carries PEP 678 notes (`__notes__`) naming the
episode's position in `data`, the row and its values as recorded (in the
console number format). A failed parallel call carries one note per distinct
cause of its workers, naming them. The message, its args and the reports on
standard error stay what they were.
"""

import concurrent.futures
import multiprocessing
import pickle
import re
import sys
import traceback

import numpy as np
import pytest

import tarnel
from conftest import JOIN_FAILURE, PARALLEL, SEQUENTIAL, arguments, episode

CHAIN = episode((0, 1, 1.0, 1, 0), (1, 0, -0.5, 0, 0), (0, 0, 2.0, 1, 1))
# On a 4 x 2 table each rule first fails on another row of this episode:
# row 1's next state (forward rules), row 2's state (expected SARSA), row 3's
# action (the backward rule, which walks from the end and never checks row 4).
MIXED = episode((0, 1, 1.0, 1, 0), (3.0, 0, -2.5, 7.25, -0.0), (5.7, 1, 0.5, np.inf, 1),
                (-1.0, 2.0 ** 64, np.nan, 1e21, 0.0), (9, 9, 2.0, 9, 1))
DATA = [CHAIN, CHAIN, MIXED, CHAIN]

NEXT_STATE = ("index out of bounds: next state 7 is not below the number of states, 4",
              "episode 2 of data, row 1: state 3, action 0, reward -2.5, next state 7.25, terminal -0")
STATE = ("index out of bounds: state 5 is not below the number of states, 4",
         "episode 2 of data, row 2: state 5.7, action 1, reward 0.5, next state inf, terminal 1")
ACTION = ("index out of bounds: action 18446744073709551615 is not below the number of actions, 2",
          "episode 2 of data, row 3: state -1, action 18446744073709552000, reward NaN, "
          "next state 1000000000000000000000, terminal 0")
FIRST_FAILURE = {"qlearn_forward": NEXT_STATE, "fast_learn": NEXT_STATE, "learn_until_convergence": NEXT_STATE,
                 "double_q": NEXT_STATE, "qlearn_forward_parallel": NEXT_STATE, "expected_sarsa": STATE,
                 "td_learn_backward": ACTION, "td_learn_backward_parallel": ACTION}

EMPTY = "index out of range: the backward rule reads the last transition of an episode, but the episode has length 0"
COLUMNS = "index out of bounds: an episode array needs 5 columns (state, action, reward, next state, terminal flag) "


def failure(capfd, name, data, workers=1, max_iterations=1000):
    """The TrainingFailure of a call that must fail, and what it printed.
    A bootstrap sample of 100 of a few episodes draws each of them, and 1000
    picks find a bad one, except with negligible probability."""
    capfd.readouterr()
    with pytest.raises(tarnel.TrainingFailure) as caught:
        getattr(tarnel, name)(*arguments(name, data, (4, 2), 0.9, 0.5, max_iterations, sample_size=100,
                                         workers=workers))
    return caught.value, capfd.readouterr()


def reports(err, *texts):
    """Whether standard error holds these reports, each `(text, times)`, in
    any order: workers interleave."""
    return sorted(err.splitlines()) == sorted(f"tarnel: {text}" for text, times in texts for _ in range(times))


def expect(capfd, name, data, message, note, workers=1):
    """Checks the failure's message and note: a sequential call reports its
    message; a parallel one each worker's message, then the failed join."""
    error, printed = failure(capfd, name, data, workers)
    if name in PARALLEL:
        group = "worker 0 (1 of 1)" if workers == 1 else f"workers 0-{workers - 1} ({workers} of {workers})"
        assert (error.args, error.__notes__) == ((JOIN_FAILURE,), [f"{group}: {message}; {note}"])
        assert reports(printed.err, (message, workers), (JOIN_FAILURE, 1))
    else:
        assert (error.args, error.__notes__) == ((message,), [note])
        assert printed.err == f"tarnel: {message}\n"
    return error


@pytest.mark.parametrize("name", SEQUENTIAL + PARALLEL)
def test_a_rejected_transition_is_located(capfd, name):
    expect(capfd, name, DATA, *FIRST_FAILURE[name])


@pytest.mark.parametrize("name", PARALLEL)
def test_workers_failing_alike_share_one_note(capfd, name):
    # A single bad episode: every worker picks it and fails the same way.
    message, note = FIRST_FAILURE[name]
    expect(capfd, name, [MIXED], message, note.replace("episode 2", "episode 0"), workers=4)


@pytest.mark.parametrize("shape", [(0, 5), (0, 3)])
@pytest.mark.parametrize("name", ["td_learn_backward", "td_learn_backward_parallel"])
def test_an_empty_episode_under_the_backward_rule_is_located(capfd, name, shape):
    # The position is the one in `data`, also from a worker's bootstrap sample.
    expect(capfd, name, [CHAIN, CHAIN, np.empty(shape), CHAIN], EMPTY, "episode 2 of data: no rows", workers=3)


@pytest.mark.parametrize("shape", [(3, 4), (2, 0)])
@pytest.mark.parametrize("name", SEQUENTIAL + PARALLEL)
def test_an_array_of_too_few_columns_is_located(capfd, name, shape):
    # Found while the episodes are built, on the calling thread: no worker
    # has started and nothing is printed.
    error, printed = failure(capfd, name, [CHAIN, np.zeros(shape), CHAIN], workers=3)
    message = COLUMNS + f"but has {shape[1]}"
    assert (error.args, error.__notes__) == ((message,), [f"episode 1 of data: shape {shape}"])
    assert (printed.out, printed.err) == ("", f"tarnel: {message}\n")


def numbers(runs):
    """[0, 1, 2, 5] from '0-2, 5'."""
    ends = [[int(k) for k in run.split("-")] for run in runs.split(", ")]
    return [k for run in ends for k in range(run[0], run[-1] + 1)]


def runs(workers):
    """'0-2, 5' from [0, 1, 2, 5]: ascending runs of consecutive numbers."""
    workers = sorted(workers)
    starts = [k for k in workers if k - 1 not in workers]
    ends = [k for k in workers if k + 1 not in workers]
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in zip(starts, ends))


def test_workers_failing_on_different_episodes_are_grouped_by_cause(capfd):
    # Four copies of one bad episode and samples of one: each worker fails on
    # the copy it drew, and the causes differ only in its position in `data`.
    # All sixteen draw the same one with probability 4^-15, about 1e-9.
    bad = episode((0, 0, 1.0, 0, 0), (7, 1, 0.5, 0, 0), (0, 0, 0.0, 0, 1))
    message = "index out of bounds: state 7 is not below the number of states, 4"
    capfd.readouterr()
    with pytest.raises(tarnel.TrainingFailure) as caught:
        tarnel.td_learn_backward_parallel([bad] * 4, (4, 2), 0.9, 0.5, 10, 1, 16, False)
    assert caught.value.args == (JOIN_FAILURE,)
    assert reports(capfd.readouterr().err, (message, 16), (JOIN_FAILURE, 1))
    pattern = re.compile(r"(workers?) ([-, 0-9]+) \((\d+) of 16\): " + re.escape(message) +
                         r"; episode ([0-3]) of data, row 1: state 7, action 1, reward 0.5, next state 0, terminal 0")
    groups = [pattern.fullmatch(note) for note in caught.value.__notes__]
    assert all(groups), caught.value.__notes__
    members = [numbers(m[2]) for m in groups]
    for m, workers in zip(groups, members):
        assert (m[1], m[2], int(m[3])) == ("worker" if len(workers) == 1 else "workers", runs(workers),
                                            len(workers))
    # A partition of the workers, one group per position, in the order of
    # each group's first worker.
    assert sorted(sum(members, [])) == list(range(16))
    assert 1 < len(groups) == len({m[4] for m in groups})
    assert [workers[0] for workers in members] == sorted(workers[0] for workers in members)


@pytest.mark.parametrize("name", ["expected_sarsa", "td_learn_backward_parallel"])
def test_notes_survive_pickling(capfd, name):
    error = expect(capfd, name, DATA, *FIRST_FAILURE[name])
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), copy.args, copy.__notes__) == (tarnel.TrainingFailure, error.args, error.__notes__)


def test_notes_cross_a_process_pool(capfd):
    message, note = STATE
    spawn = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=spawn) as pool:
        future = pool.submit(tarnel.expected_sarsa, DATA, (4, 2), 0.9, 0.5, 1000, False)
        with pytest.raises(tarnel.TrainingFailure) as caught:
            future.result(timeout=120)
    assert (caught.value.args, caught.value.__notes__) == ((message,), [note])
    # The worker reported on the standard error it inherited.
    assert capfd.readouterr().err == f"tarnel: {message}\n"


@pytest.mark.parametrize("name", ["td_learn_backward", "qlearn_forward_parallel"])
def test_notes_are_an_instance_list_shown_under_the_traceback(capfd, name):
    error = expect(capfd, name, DATA, *FIRST_FAILURE[name])
    # An instance attribute, as add_note keeps it from 3.11 on: 3.10 has it too.
    assert type(vars(error)["__notes__"]) is list
    if sys.version_info >= (3, 11):
        shown = traceback.format_exception(error)
        assert shown[-2:] == [f"tarnel.TrainingFailure: {error}\n", error.__notes__[0] + "\n"]
