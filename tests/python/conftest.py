"""Shared helpers of the Python suite.

`SIGNATURES` is the one table of the eight functions' parameter lists, which
every test of binding, conversion and texts reads. `episode(*rows)` builds one
episode array; `arguments(name, ...)` a complete positional argument list for
any function; the `training_failure` fixture gives the exception type raised
by failed trainings, read off a failing call rather than off the module's
attribute, so a test of that attribute has something to compare with. The
hostile objects the tests hand the module (`Unprintable`, `Raising`,
`IndexLike`, `FloatLike`) are here too.
"""

import contextlib
import os
import tempfile

import numpy as np
import pytest

import tarnel

# Under AddressSanitizer (its runtime preloaded into the interpreter) a failed
# allocation ends the process and freed memory is held back, so checks of
# MemoryError and of resident memory cannot run there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
unless_sanitized = pytest.mark.skipif(SANITIZED, reason="not meaningful under AddressSanitizer")

JOIN_FAILURE = "joining a worker thread returned an error"

# The parameters of each function, in order; the last is the optional one.
_SEQUENTIAL_PARAMETERS = ("data", "q_shape", "discount_factor", "learning_rate", "max_iterations", "verbose",
                          "quit_threshold")
SIGNATURES = {
    "qlearn_forward": _SEQUENTIAL_PARAMETERS,
    "td_learn_backward": _SEQUENTIAL_PARAMETERS,
    "expected_sarsa": _SEQUENTIAL_PARAMETERS,
    "td_learn_backward_parallel": ("data", "q_shape", "discount_factor", "learning_rate", "max_iterations",
                                   "boostrap_sample_size", "iter_ql", "verbose", "quit_threshold"),
    "qlearn_forward_parallel": ("data", "q_shape", "discount_factor", "learning_rate", "max_iterations",
                                "ql_iter", "verbose", "quit_threshold"),
    "fast_learn": _SEQUENTIAL_PARAMETERS,
    "learn_until_convergence": _SEQUENTIAL_PARAMETERS,
    "double_q": _SEQUENTIAL_PARAMETERS,
}
SEQUENTIAL = [name for name, parameters in SIGNATURES.items() if parameters is _SEQUENTIAL_PARAMETERS]
PARALLEL = ["qlearn_forward_parallel", "td_learn_backward_parallel"]


def episode(*rows):
    """A C-contiguous float64 (n, 5) episode: rows of (state, action, reward, next state, terminal)."""
    return np.array(rows, dtype=np.float64).reshape(len(rows), 5)


def arguments(name, data, q_shape, discount_factor, learning_rate, max_iterations, verbose=False, *,
              sample_size=1, workers=1):
    """The required arguments of `name`, in order: the parallel functions take
    their sample size and worker count from the keywords."""
    counts = {"boostrap_sample_size": sample_size, "iter_ql": workers, "ql_iter": workers}
    given = {"data": data, "q_shape": q_shape, "discount_factor": discount_factor, "learning_rate": learning_rate,
             "max_iterations": max_iterations, "verbose": verbose, **counts}
    return [given[p] for p in SIGNATURES[name][:-1]]


@contextlib.contextmanager
def captured_stderr():
    """Descriptor 2 redirected to a file for the block; yields a list that
    holds the text written there once the block ends. For code outside any
    test (collection, session fixtures), where capfd is not available."""
    text = []
    with tempfile.TemporaryFile() as sink:
        saved = os.dup(2)
        os.dup2(sink.fileno(), 2)
        try:
            yield text
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            text.append(sink.read().decode())


def training_failure_type():
    """The exception type of a failed training, read off a call that must fail
    (its report on standard error is checked and kept out of the log)."""
    with captured_stderr() as err:
        try:
            tarnel.qlearn_forward([], (1, 1), 0.9, 0.1, 1, False)
        except BaseException as error:  # noqa: BLE001 - the type is what we want
            failure = error
        else:
            failure = None
    if failure is None:
        raise AssertionError("training on an empty episode list did not fail")
    assert err == [f"tarnel: {failure}\n"], err
    return type(failure)


def expect_silent_training_failure(capfd, call):
    """Runs `call`, which must fail with the training-failure exception (a
    BaseException that is no Exception, with a message), print nothing on
    standard output and report that message on standard error."""
    capfd.readouterr()
    with pytest.raises(BaseException) as caught:
        call()
    assert not isinstance(caught.value, Exception)
    assert str(caught.value)
    out, err = capfd.readouterr()
    assert out == ""
    assert err == f"tarnel: {caught.value}\n"


def expect_reports(err, *texts):
    """Whether standard error holds exactly these reports, in this order."""
    return err == "".join(f"tarnel: {text}\n" for text in texts)


@pytest.fixture(scope="session")
def training_failure():
    return training_failure_type()


class Unprintable:
    """An object whose str() raises."""

    def __str__(self):
        raise RuntimeError("cannot print")


class Raising:
    """Every numeric and sequence hook raises `error`: an exception, or a
    callable (an exception type) that makes a new one each time."""

    def __init__(self, error):
        self.error = error

    def _raise(self, *_):
        raise self.error if isinstance(self.error, BaseException) else self.error()

    __index__ = __float__ = __len__ = __getitem__ = _raise

    def __repr__(self):
        return f"Raising({getattr(self.error, '__name__', self.error)!r})"


class IndexLike:
    """A number by __index__ alone."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexLike({self.value!r})"


class FloatLike:
    """A number by __float__ alone."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatLike({self.value!r})"


def table_of(episodes):
    """The same episodes as a tarnel.EpisodeTable over float64 columns."""
    rows = np.concatenate([np.asarray(e)[:, :5] for e in episodes]) if len(episodes) else np.zeros((0, 5))
    return tarnel.EpisodeTable(*rows.T, np.cumsum([len(e) for e in episodes], dtype=np.int64))
