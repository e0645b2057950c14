"""Shared helpers of the Python suite.

`episode(*rows)` builds one episode array; the `training_failure` fixture
gives the exception type raised by failed trainings, which the module does
not export as an attribute.
"""

import os

import numpy as np
import pytest

import tarnel

# Under AddressSanitizer (its runtime preloaded into the interpreter) a failed
# allocation ends the process and freed memory is held back, so checks of
# MemoryError and of resident memory cannot run there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
unless_sanitized = pytest.mark.skipif(SANITIZED, reason="not meaningful under AddressSanitizer")


def episode(*rows):
    """A C-contiguous float64 (n, 5) episode: rows of (state, action, reward, next state, terminal)."""
    return np.array(rows, dtype=np.float64).reshape(len(rows), 5)


def training_failure_type():
    """The exception type of a failed training, read off a call that must fail."""
    try:
        tarnel.qlearn_forward([], (1, 1), 0.9, 0.1, 1, False)
    except BaseException as error:  # noqa: BLE001 - the type is what we want
        return type(error)
    raise AssertionError("training on an empty episode list did not fail")


def expect_silent_training_failure(capfd, call):
    """Runs `call`, which must fail with the training-failure exception (a
    BaseException that is no Exception, with a message), print nothing on
    standard output and report on standard error."""
    with pytest.raises(BaseException) as caught:
        call()
    assert not isinstance(caught.value, Exception)
    assert str(caught.value)
    out, err = capfd.readouterr()
    assert out == ""
    assert err


@pytest.fixture(scope="session")
def training_failure():
    return training_failure_type()
