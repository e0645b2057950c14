"""The exact texts of every error: Python's own texts (a type's name, a
converter's TypeError) come through unchanged, NUL characters and lone
surrogates included; the failures the module words itself read exactly so,
on the exception and in the report on standard error."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tarnel
from conftest import JOIN_FAILURE, SANITIZED, SEQUENTIAL, SIGNATURES, Raising, Unprintable, episode

CHAIN = episode((0, 1, 1.0, 1, 0), (1, 0, -0.5, 0, 0), (0, 0, 2.0, 1, 1))

# Texts that a detour through C strings or UTF-8 would cut or refuse.
AWKWARD = ["a\x00b", "\x00", "\udcff", "x\udc80y\x00z\u00e9"]

# One function per parameter list: the 7-, 8- and 9-parameter shapes.
SHAPES = ["qlearn_forward", "td_learn_backward_parallel", "qlearn_forward_parallel"]
VALID = {"data": [CHAIN], "q_shape": (2, 2), "discount_factor": 0.9, "learning_rate": 0.5,
         "max_iterations": 3, "boostrap_sample_size": 1, "iter_ql": 1, "ql_iter": 1, "verbose": False,
         "quit_threshold": None}


def raised(call, *args, **kwargs):
    with pytest.raises(BaseException) as caught:
        call(*args, **kwargs)
    return caught.value


def call_with(name, **replaced):
    arguments = {p: replaced.get(p, VALID[p]) for p in SIGNATURES[name]}
    return getattr(tarnel, name)(**arguments)


def object_named(qualname):
    """An instance of a type whose __qualname__ is `qualname`."""
    kind = type("Named", (), {})
    kind.__qualname__ = qualname
    return kind()


# ----------------------------------------------------------- type names

# Each place a type's name is quoted: (parameter, value holding the named
# object, conversion target).
NAMED_PLACES = [
    ("data", lambda obj: obj, "Sequence"),
    ("data", lambda obj: [CHAIN, obj], "PyArray"),
    ("q_shape", lambda obj: obj, "PyTuple"),
    ("verbose", lambda obj: obj, "PyBool"),
]


@pytest.mark.parametrize("qualname", AWKWARD, ids=ascii)
@pytest.mark.parametrize("parameter, holder, target", NAMED_PLACES, ids=lambda v: v if isinstance(v, str) else "")
def test_type_names_come_through_unchanged(parameter, holder, target, qualname):
    error = raised(call_with, "qlearn_forward", **{parameter: holder(object_named(qualname))})
    assert type(error) is TypeError
    assert str(error) == f"argument '{parameter}': '{qualname}' object cannot be converted to '{target}'"


# ------------------------------------------------ converters' TypeErrors

def holding(parameter, obj):
    # q_shape's items are converted like counts; verbose takes no converter.
    return (2, obj) if parameter == "q_shape" else obj


CONVERTED = sorted({(name, p) for name in SHAPES for p in SIGNATURES[name] if p != "verbose"})


@pytest.mark.parametrize("text", AWKWARD, ids=ascii)
@pytest.mark.parametrize("name, parameter", CONVERTED, ids=lambda v: v)
def test_type_error_texts_come_through_unchanged(name, parameter, text):
    cause = ValueError("kept")
    original = TypeError(text)
    original.__cause__ = cause
    error = raised(call_with, name, **{parameter: holding(parameter, Raising(original))})
    assert type(error) is TypeError and error is not original
    assert str(error) == f"argument '{parameter}': {text}"
    assert error.__cause__ is cause


@pytest.mark.parametrize("name, parameter", CONVERTED, ids=lambda v: v)
def test_only_an_unprintable_type_error_gets_the_placeholder(name, parameter):
    error = raised(call_with, name, **{parameter: holding(parameter, Raising(TypeError(Unprintable())))})
    assert str(error) == f"argument '{parameter}': <unprintable TypeError object>"


# --------------------------------------------------- the module's own texts

def forward(data, q_shape=(2, 2), max_iterations=5):
    return tarnel.qlearn_forward(data, q_shape, 0.9, 0.5, max_iterations, False)


def run(name, data, q_shape=(2, 2), max_iterations=5, extra=None):
    extra = extra if extra is not None else {"td_learn_backward_parallel": (1, 1),
                                             "qlearn_forward_parallel": (1,)}.get(name, ())
    return getattr(tarnel, name)(data, q_shape, 0.9, 0.5, max_iterations, *extra, False)


class ResizingRate:
    def __init__(self, array):
        self.array = array

    def __float__(self):
        self.array.resize((1, 5), refcheck=False)
        return 0.5


def resized_while_converting():
    array = CHAIN.copy()
    return tarnel.qlearn_forward([array], (2, 2), 0.9, ResizingRate(array), 5, False)


NAN = math.nan
# A valid terminal row: the backward rule never updates an episode's last one.
LAST = (0, 0, 1.0, 0, 1)

# (id, call, exact text, reports on standard error before the text's own):
# every failure text the module words itself that a call can reach.
OWN_TEXTS = [
    *[(f"empty list {n}", lambda n=n: run(n, []), "cannot pick an episode: the episode list is empty", [])
      for n in SEQUENTIAL],
    ("empty list forward parallel", lambda: run("qlearn_forward_parallel", []), JOIN_FAILURE,
     ["cannot pick an episode: the episode list is empty"]),
    ("empty list backward parallel", lambda: run("td_learn_backward_parallel", []),
     "cannot draw a bootstrap sample: the episode list is empty", []),
    *[(f"state {n}", lambda n=n: run(n, [episode((2, 0, 1.0, 0, 0), LAST)]),
       "index out of bounds: state 2 is not below the number of states, 2", []) for n in SEQUENTIAL],
    *[(f"action {n}", lambda n=n: run(n, [episode((1, 7, 1.0, 0, 0), LAST)]),
       "index out of bounds: action 7 is not below the number of actions, 2", []) for n in SEQUENTIAL],
    # The backward rule and expected SARSA never read the next state.
    *[(f"next state {n}", lambda n=n: run(n, [episode((1, 1, 1.0, 3, 0), LAST)]),
       "index out of bounds: next state 3 is not below the number of states, 2", [])
      for n in SEQUENTIAL if n not in ("td_learn_backward", "expected_sarsa")],
    ("state in a worker", lambda: run("qlearn_forward_parallel", [episode((9, 0, 1.0, 0, 1))]), JOIN_FAILURE,
     ["index out of bounds: state 9 is not below the number of states, 2"]),
    ("four columns", lambda: forward([np.zeros((1, 4))]),
     "index out of bounds: an episode array needs 5 columns (state, action, reward, next state, terminal flag) "
     "but has 4", []),
    ("empty episode backward", lambda: run("td_learn_backward", [np.zeros((0, 5))]),
     "index out of range: the backward rule reads the last transition of an episode, but the episode has "
     "length 0", []),
    ("empty table until convergence", lambda: run("learn_until_convergence", [np.zeros((0, 5))], (0, 2), 1),
     "empty input: the mean absolute difference of a Q table of shape (0, 2) is undefined, the table has no "
     "entries", []),
    ("history", lambda: forward([CHAIN], max_iterations=2**62),
     "a history of 4611686018427387904 table sums exceeds the largest possible allocation", []),
    ("table extents", lambda: forward([CHAIN], (2**40, 2**40)),
     "table of 1099511627776 x 1099511627776 entries exceeds the largest possible allocation", []),
    ("table bytes", lambda: forward([CHAIN], (1, 2**61)),
     "table of 2305843009213693952 entries exceeds the largest possible allocation", []),
    ("bootstrap indices", lambda: run("td_learn_backward_parallel", [CHAIN], extra=(2**62, 1)),
     "a bootstrap index list of 4611686018427387904 indices exceeds the largest possible allocation", []),
    ("bootstrap sample", lambda: run("td_learn_backward_parallel", [CHAIN], extra=(2**59, 1)),
     "a bootstrap sample of 576460752303423488 episodes exceeds the largest possible allocation", []),
    ("undefined order", lambda: run("double_q", [episode(*[(0, 0, NAN, 0, 0)] * 3)], (1, 1), 1),
     "undefined order: row 0 of the updated table holds NaN at action 0, so its best action cannot be chosen",
     []),
    ("zero-row table too tall", lambda: forward([], (2**64 - 1, 0), 0),
     "table of 18446744073709551615 x 0 entries exceeds the largest possible allocation", []),
    ("resized while converting", resized_while_converting,
     "episode array 0 was resized or retyped while the call's arguments were being converted", []),
]


@pytest.mark.parametrize("thunk, text, earlier", [row[1:] for row in OWN_TEXTS], ids=[row[0] for row in OWN_TEXTS])
def test_own_failure_texts(capfd, training_failure, thunk, text, earlier):
    capfd.readouterr()
    with pytest.raises(training_failure) as caught:
        thunk()
    assert caught.value.args == (text,)
    out, err = capfd.readouterr()
    assert err == "".join(f"tarnel: {line}\n" for line in [*earlier, text])
    assert out in ("", "Q learning forward parallel, config: Qlearner { q_shape: (2, 2), discount_factor: 0.9, "
                       "learning_rate: 0.5, max_iterations: 5, quit_threshold: 0.001, verbose: false }\n")


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer ends the process when an allocation fails")
@pytest.mark.parametrize("name, extra", [("qlearn_forward_parallel", "1"), ("td_learn_backward_parallel", "1, 1")])
def test_worker_stopped_by_a_failed_allocation(name, extra):
    # A 4 GiB table under a 256 MiB allowance: the worker's allocation fails,
    # the worker reports how it stopped, and the call fails as a whole.
    code = textwrap.dedent(f"""
        import resource, sys
        import numpy as np, tarnel
        ep = np.array([[0, 1, 1.0, 1, 0]])
        tarnel.qlearn_forward([ep], (2, 2), 0.9, 0.1, 1, False)
        with open("/proc/self/status") as status:
            size = int(next(l for l in status if l.startswith("VmSize:")).split()[1]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20),) * 2)
        try:
            tarnel.{name}([ep], (1 << 26, 8), 0.9, 0.1, 1, {extra}, False)
        except BaseException as error:
            print(type(error).__name__, str(error), sep=": ")
        """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1"))
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == f"TrainingFailure: {JOIN_FAILURE}"
    assert done.stderr == f"tarnel: a worker stopped: std::bad_alloc\ntarnel: {JOIN_FAILURE}\n"
