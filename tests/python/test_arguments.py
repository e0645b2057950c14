"""Argument binding and conversion at the module boundary: which calls are
refused, with which exception and text, and that accepted inputs of every
layout are read in their logical order."""

import collections
import inspect
import math
import operator
import re

import numpy as np
import pytest

import tarnel
from conftest import SIGNATURES, FloatLike, IndexLike, Raising, Unprintable, episode

# One function per parameter list: the 7-, 8- and 9-parameter shapes.
SHAPES = ["qlearn_forward", "qlearn_forward_parallel", "td_learn_backward_parallel"]

# Every iteration replays this one episode, so training is deterministic; the
# order of its rows matters (each bootstraps from the row written before).
CHAIN = episode((0, 1, 1.0, 1, 0), (1, 0, 2.0, 2, 0), (2, 1, -1.0, 3, 0), (3, 0, 0.5, 0, 1))
CHAIN_SHAPE = (4, 2)


def forward(data, q_shape=CHAIN_SHAPE, discount_factor=0.9, learning_rate=0.5, max_iterations=3,
            verbose=False, *rest):
    return tarnel.qlearn_forward(data, q_shape, discount_factor, learning_rate, max_iterations, verbose,
                                 *rest)


def raised(call, *args, **kwargs):
    with pytest.raises(BaseException) as caught:
        call(*args, **kwargs)
    return caught.value


def interpreter_text(operation, value):
    try:
        operation(value)
    except TypeError as error:
        return str(error)
    raise AssertionError(f"{operation} accepted {value!r}")


# ---------------------------------------------------------------- binding

def cpython_text(error):
    # Newer interpreters append a spelling hint to unexpected keywords; the
    # module's texts end where older ones did.
    return re.sub(r"\. Did you mean '.*'\?$", "", str(error))


# The table's constructor and log readers bind as the functions do, with the
# parameters their text signatures show (keyword-only ones among them).
BINDERS = {**{name: getattr(tarnel, name) for name in SHAPES}, "EpisodeTable": tarnel.EpisodeTable,
           "from_ids": tarnel.EpisodeTable.from_ids, "from_flags": tarnel.EpisodeTable.from_flags}


def python_twin(name):
    """A plain Python function of the same name and signature: CPython's own
    binding errors are the expected ones."""
    if name in SIGNATURES:
        parameters = ", ".join(SIGNATURES[name][:-1]) + f", {SIGNATURES[name][-1]}=None"
    else:
        parameters = BINDERS[name].__text_signature__[1:-1].removeprefix("$type, ")
    namespace = {}
    exec(f"def {name}({parameters}):\n    pass\n", namespace)
    return namespace[name]


def binding_faults(twin):
    """Calls with exactly one kind of binding fault: (id, positional count, keywords)."""
    parameters = inspect.signature(twin).parameters.values()
    names = [p.name for p in parameters]
    positional = [p.name for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD]
    keyword_only = [p.name for p in parameters if p.kind is p.KEYWORD_ONLY]
    n = len(positional)
    required = sum(p.default is p.empty for p in parameters)
    last_required = names[required - 1]
    yield "no arguments", 0, {}
    yield "one too many", n + 1, {}
    yield "four too many", n + 4, {}
    if keyword_only:
        yield "one too many with keyword-only", n + 1, {keyword_only[0]: 0}
    for missing in (1, 2, 3):
        yield f"missing {missing}", required - missing, {}
    yield "missing middle", 0, {names[0]: 0, last_required: 0}
    if required < len(names):
        yield "missing with optional given", required - 1, {names[-1]: 0}
    yield "missing first", 0, {name: 0 for name in names[1:required]}
    for key in ("bogus", "Data", "dat", "data_", "data\x00", "quit", "", "\u00e9", "\udc80"):
        yield f"unexpected {key!r}", n, {key: 0}
    yield "unexpected with all keywords", 0, {**{name: 0 for name in names}, "bogus": 0}
    yield "multiple first", required, {names[0]: 0}
    yield "multiple last required", required, {last_required: 0}
    if required < n:
        yield "multiple optional", n, {positional[-1]: 0}


BINDING_CASES = [pytest.param(name, count, keywords, id=f"{name}-{label}")
                 for name in BINDERS for label, count, keywords in binding_faults(python_twin(name))]


@pytest.mark.parametrize("name, count, keywords", BINDING_CASES)
def test_binding_errors_match_cpython(name, count, keywords):
    args = tuple(range(count))
    expected = raised(python_twin(name), *args, **keywords)
    assert type(expected) is TypeError
    error = raised(BINDERS[name], *args, **keywords)
    assert type(error) is TypeError
    assert str(error) == cpython_text(expected)


def test_misspelled_bootstrap_keyword():
    error = raised(tarnel.td_learn_backward_parallel, [CHAIN], CHAIN_SHAPE, 0.9, 0.5, 1, iter_ql=1,
                   verbose=False, bootstrap_sample_size=1)
    assert str(error) == "td_learn_backward_parallel() got an unexpected keyword argument 'bootstrap_sample_size'"


@pytest.mark.parametrize("name", SHAPES)
def test_binding_fault_precedence(name):
    # Counts are checked before keywords, and keywords before missing
    # arguments; CPython checks the first two the other way round.
    function = getattr(tarnel, name)
    n = len(SIGNATURES[name])
    count = f"{name}() takes from {n - 1} to {n} positional arguments but {n + 1} were given"
    assert str(raised(function, *range(n + 1), bogus=0)) == count
    assert str(raised(function, *range(n + 1), data=0)) == count
    assert str(raised(function, bogus=0)) == f"{name}() got an unexpected keyword argument 'bogus'"
    assert str(raised(function, 0, data=0)) == f"{name}() got multiple values for argument 'data'"


def shuffled(parameters, values):
    keywords = dict(zip(parameters, values))
    order = sorted(keywords, key=lambda key: (len(key) * 7919) % 13)  # a fixed permutation
    assert order != list(parameters)
    return {key: keywords[key] for key in order}


@pytest.mark.parametrize("name, values", [
    ("qlearn_forward", ([CHAIN], CHAIN_SHAPE, 0.9, 0.5, 3, False, 0.25)),
    ("qlearn_forward_parallel", ([CHAIN], CHAIN_SHAPE, 0.9, 0.5, 3, 2, False, 0.25)),
    ("td_learn_backward_parallel", ([CHAIN], CHAIN_SHAPE, 0.9, 0.5, 3, 5, 2, False, 0.25)),
])
def test_keywords_in_any_order_bind_like_positions(capfd, name, values):
    function = getattr(tarnel, name)
    by_position = function(*values)
    printed = capfd.readouterr().out
    by_keyword = function(**shuffled(SIGNATURES[name], values))
    assert capfd.readouterr().out == printed  # the parallel driver prints its whole configuration
    np.testing.assert_array_equal(by_keyword, by_position)
    mixed = function(*values[:2], **shuffled(SIGNATURES[name][2:], values[2:]))
    np.testing.assert_array_equal(mixed, by_position)


# ------------------------------------------------------------- conversion

class NamelessType(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class NonStrNameType(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)


class Nameless(metaclass=NamelessType):
    pass


class NonStrName(metaclass=NonStrNameType):
    pass


NO_NAME = "<failed to extract type name>"


def cannot_convert(parameter, value, target):
    return f"argument '{parameter}': '{type(value).__qualname__}' object cannot be converted to '{target}'"


def index_error(parameter, value):
    return f"argument '{parameter}': " + interpreter_text(operator.index, value)


def float_error(parameter, value):
    return f"argument '{parameter}': " + interpreter_text(math.sqrt, value)


def mismatch(array):
    return f"argument 'data': type mismatch:\n from={array.dtype}, to=float64"


def dimensions(nd):
    return f"argument 'data': dimensionality mismatch:\n from={nd}, to=2"


NEGATIVE = "can't convert negative int to unsigned"
TOO_BIG = "int too big to convert"
GENERATOR = (row for row in [CHAIN])

# (parameter index, value, exception type, exact text)
REFUSED = [
    (0, GENERATOR, TypeError, "argument 'data': 'generator' object cannot be converted to 'Sequence'"),
    (0, 5, TypeError, cannot_convert("data", 5, "Sequence")),
    (0, None, TypeError, cannot_convert("data", None, "Sequence")),
    (0, {0: CHAIN}, TypeError, cannot_convert("data", {}, "Sequence")),
    (0, Nameless(), TypeError, f"argument 'data': '{NO_NAME}' object cannot be converted to 'Sequence'"),
    (0, CHAIN, TypeError, dimensions(1)),
    (0, [CHAIN[0]], TypeError, dimensions(1)),
    (0, [np.array(1.0)], TypeError, dimensions(0)),
    (0, [CHAIN[None]], TypeError, dimensions(3)),
    (0, [CHAIN.astype(np.float32)], TypeError, mismatch(CHAIN.astype(np.float32))),
    (0, [CHAIN.astype(np.int64)], TypeError, mismatch(CHAIN.astype(np.int64))),
    (0, [CHAIN.astype(">f8")], TypeError, mismatch(CHAIN.astype(">f8"))),
    (0, [CHAIN.astype(object)], TypeError, mismatch(CHAIN.astype(object))),
    (1, [4, 2], TypeError, cannot_convert("q_shape", [], "PyTuple")),
    (1, np.array([4, 2]), TypeError, cannot_convert("q_shape", np.array([4, 2]), "PyTuple")),
    (1, None, TypeError, cannot_convert("q_shape", None, "PyTuple")),
    (1, Nameless(), TypeError, f"argument 'q_shape': '{NO_NAME}' object cannot be converted to 'PyTuple'"),
    (1, (4, 2, 1), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (1, (), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    (1, (4, -1), OverflowError, NEGATIVE),
    (1, (-1, 2), OverflowError, NEGATIVE),
    (1, (2**64, 2), OverflowError, TOO_BIG),
    (1, (4, 2.0), TypeError, index_error("q_shape", 2.0)),
    (1, (4, "2"), TypeError, index_error("q_shape", "2")),
    (2, "0.9", TypeError, float_error("discount_factor", "0.9")),
    (2, None, TypeError, float_error("discount_factor", None)),
    (3, "0.5", TypeError, float_error("learning_rate", "0.5")),
    (4, 1.0, TypeError, index_error("max_iterations", 1.0)),
    (4, "3", TypeError, index_error("max_iterations", "3")),
    (4, np.float64(3), TypeError, index_error("max_iterations", np.float64(3))),
    (4, -1, OverflowError, NEGATIVE),
    (4, 2**64, OverflowError, TOO_BIG),
    (4, Raising(TypeError(Unprintable())), TypeError,
     "argument 'max_iterations': <unprintable TypeError object>"),
    (5, 1, TypeError, cannot_convert("verbose", 1, "PyBool")),
    (5, 0, TypeError, cannot_convert("verbose", 0, "PyBool")),
    (5, np.bool_(True), TypeError, cannot_convert("verbose", np.bool_(True), "PyBool")),
    (5, None, TypeError, cannot_convert("verbose", None, "PyBool")),
    (5, "True", TypeError, cannot_convert("verbose", "", "PyBool")),
    (5, Nameless(), TypeError, f"argument 'verbose': '{NO_NAME}' object cannot be converted to 'PyBool'"),
    (5, NonStrName(), TypeError, f"argument 'verbose': '{NO_NAME}' object cannot be converted to 'PyBool'"),
    (6, "x", TypeError, float_error("quit_threshold", "x")),
]


@pytest.mark.parametrize("index, value, kind, text", REFUSED,
                         ids=[f"{SIGNATURES['qlearn_forward'][row[0]]}-{type(row[1]).__name__}-{n}" for n, row in enumerate(REFUSED)])
def test_refused_arguments(index, value, kind, text):
    args = [[CHAIN], CHAIN_SHAPE, 0.9, 0.5, 3, False]
    args[index:index + 1] = [value]
    error = raised(tarnel.qlearn_forward, *args)
    assert type(error) is kind
    assert str(error) == text
    assert error.__cause__ is None


@pytest.mark.parametrize("data", ["abc", type("Text", (str,), {})("abc"), ""], ids=["str", "str subclass", "empty str"])
def test_str_is_not_an_episode_sequence(data):
    error = raised(forward, data)
    assert type(error) is TypeError
    assert str(error).startswith("argument 'data': ")


@pytest.mark.parametrize("item, name", [([1.0] * 5, "list"), (Nameless(), NO_NAME), (np.float64(1), "float64"),
                                         ("abc", "str")])
def test_episode_that_is_not_an_array_names_its_type(item, name):
    error = raised(forward, [CHAIN, item])
    assert type(error) is TypeError
    assert str(error).startswith("argument 'data': ")
    assert f"'{name}'" in str(error)


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_each_function_names_its_own_parameters(name):
    parameters = SIGNATURES[name]
    valid = {"data": [CHAIN], "q_shape": CHAIN_SHAPE, "discount_factor": 0.9, "learning_rate": 0.5,
             "verbose": False, "quit_threshold": None}
    for k, parameter in enumerate(parameters):
        args = [valid.get(p, 1) for p in parameters]
        args[k] = object()
        error = raised(getattr(tarnel, name), *args)
        assert type(error) is TypeError
        assert str(error).startswith(f"argument '{parameter}': "), str(error)


Shape = collections.namedtuple("Shape", "states actions")


@pytest.mark.parametrize("index, value, same_as", [
    (1, Shape(4, 2), CHAIN_SHAPE),
    (1, (np.int64(4), np.uint8(2)), CHAIN_SHAPE),
    (1, (IndexLike(4), True + True), CHAIN_SHAPE),
    (2, 1, 1.0),
    (2, True, 1.0),
    (2, np.float32(0.9), float(np.float32(0.9))),
    (2, FloatLike(0.9), 0.9),
    (2, IndexLike(1), 1.0),
    (3, np.float64(0.5), 0.5),
    (4, True, 1),
    (4, np.int64(3), 3),
    (4, np.uint64(3), 3),
    (4, IndexLike(3), 3),
    (5, True, False),  # verbose prints nothing before the first check
    (6, None, 0.001),
    (6, 1, 1.0),
], ids=lambda v: type(v).__name__)
def test_accepted_arguments_convert_to_their_value(index, value, same_as):
    args = [[CHAIN], CHAIN_SHAPE, 0.9, 0.5, 3, False, None]
    expected = list(args)
    args[index], expected[index] = value, same_as
    np.testing.assert_array_equal(tarnel.qlearn_forward(*args), tarnel.qlearn_forward(*expected))


@pytest.mark.parametrize("q_shape, max_iterations", [((2**64 - 1, 0), 0), ((2, 2), 2**64 - 1)])
def test_largest_unsigned_values_pass_conversion(capfd, training_failure, q_shape, max_iterations):
    # Neither fits in memory, so training refuses them; conversion must not.
    error = raised(tarnel.qlearn_forward, [], q_shape, 0.9, 0.5, max_iterations, False)
    assert type(error) is training_failure
    assert "exceeds the largest possible allocation" in str(error)
    assert capfd.readouterr().err == f"tarnel: {error}\n"


def test_quit_threshold_absent_none_and_given(capfd):
    # A slow learner: at the first check (iteration 50000) the relative change
    # of the window means is about 0.25, so 0.5 stops there and 0.001 does not.
    data = [episode((0, 0, 1.0, 0, 1))]

    def run(max_iterations, *quit_threshold, **keywords):
        return tarnel.qlearn_forward(data, (1, 1), 0.9, 2e-4, max_iterations, False, *quit_threshold, **keywords)

    default = run(75001)
    np.testing.assert_array_equal(run(75001, None), default)
    np.testing.assert_array_equal(run(75001, quit_threshold=None), default)
    np.testing.assert_array_equal(run(75001, 0.001), default)
    stopped = run(75001, 0.5)
    np.testing.assert_array_equal(stopped, run(50001))
    assert stopped[0, 0] != default[0, 0]
    assert capfd.readouterr().out == ""


def test_type_error_from_a_conversion_keeps_its_cause():
    cause = ValueError("the cause")
    error = TypeError("not an index")
    error.__cause__ = cause
    wrapped = raised(forward, [CHAIN], CHAIN_SHAPE, 0.9, 0.5, Raising(error))
    assert type(wrapped) is TypeError and wrapped is not error
    assert str(wrapped) == "argument 'max_iterations': not an index"
    assert wrapped.__cause__ is cause


@pytest.mark.parametrize("error", [type("IndexTypeError", (TypeError,), {})("subclass"), ValueError("value"),
                                   RuntimeError("runtime")], ids=lambda e: type(e).__name__)
def test_other_conversion_errors_pass_unchanged(error):
    assert raised(forward, [CHAIN], CHAIN_SHAPE, 0.9, 0.5, Raising(error)) is error


@pytest.mark.parametrize("args, kind, text", [
    (("x", [4, 2], 0.9, 0.5, 3, 1), TypeError, "argument 'data': "),
    (([CHAIN.astype(np.float32), "x"], CHAIN_SHAPE, 0.9, 0.5, 3, False), TypeError, mismatch(np.zeros(1, np.float32))),
    ((["x", CHAIN.astype(np.float32)], CHAIN_SHAPE, 0.9, 0.5, 3, False), TypeError, cannot_convert("data", "", "PyArray")),
    (([CHAIN], (4, 2, 1), "x", 0.5, 3, 1), ValueError, "expected tuple"),
    (([CHAIN], (4, -1), "x", 0.5, 3, 1), OverflowError, NEGATIVE),
    (([CHAIN], CHAIN_SHAPE, "x", "y", 3, 1), TypeError, "argument 'discount_factor': "),
    (([CHAIN], CHAIN_SHAPE, 0.9, "y", -1, 1), TypeError, "argument 'learning_rate': "),
    (([CHAIN], CHAIN_SHAPE, 0.9, 0.5, -1, 1, "x"), OverflowError, NEGATIVE),
    (([CHAIN], CHAIN_SHAPE, 0.9, 0.5, 3, 1, "x"), TypeError, "argument 'verbose': "),
], ids=["data", "first item", "first item not array", "q_shape", "q_shape item", "discount_factor",
        "learning_rate", "max_iterations", "verbose"])
def test_first_failing_parameter_is_reported(args, kind, text):
    error = raised(tarnel.qlearn_forward, *args)
    assert type(error) is kind
    assert str(error).startswith(text)


@pytest.mark.parametrize("name, args, kind, text", [
    ("td_learn_backward_parallel", (1.0, 1.0, 1, 1), TypeError, "argument 'max_iterations': "),
    ("td_learn_backward_parallel", (1, 1.0, 1.0, 1), TypeError, "argument 'boostrap_sample_size': "),
    ("td_learn_backward_parallel", (1, 1, -1, 1), OverflowError, NEGATIVE),
    ("td_learn_backward_parallel", (1, 1, 1, 1), TypeError, "argument 'verbose': "),
    ("qlearn_forward_parallel", (1, 1.0, 1), TypeError, "argument 'ql_iter': "),
], ids=["max_iterations", "boostrap_sample_size", "iter_ql", "verbose", "ql_iter"])
def test_first_failing_count_is_reported(name, args, kind, text):
    error = raised(getattr(tarnel, name), [CHAIN], CHAIN_SHAPE, 0.9, 0.5, *args, "x")
    assert type(error) is kind
    assert str(error).startswith(text)


@pytest.mark.parametrize("container", [lambda a: [CHAIN, a], lambda a: np.array([a, a], dtype=">f8")])
def test_non_native_byte_order_is_refused(container):
    swapped = CHAIN.astype(">f8")
    assert np.array_equal(swapped, CHAIN)
    with pytest.raises(TypeError) as caught:
        forward(container(swapped))
    assert str(caught.value) == "argument 'data': type mismatch:\n from=>f8, to=float64"


def test_an_equivalent_float64_descriptor_is_accepted():
    # A dtype carrying metadata is a descriptor of its own, equivalent to
    # NumPy's float64 instance but not that instance.
    plain = episode((0, 1, 1.0, 1, 0), (1, 0, 0.5, 0, 1))
    other = plain.astype(np.dtype(np.float64, metadata={"unit": "reward"}))
    assert other.dtype == np.float64 and other.dtype is not plain.dtype
    got = tarnel.qlearn_forward([other], (2, 2), 0.9, 0.5, 20, False)
    assert got.tobytes() == tarnel.qlearn_forward([plain], (2, 2), 0.9, 0.5, 20, False).tobytes()
