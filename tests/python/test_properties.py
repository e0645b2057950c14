"""Property tests of the boundary: any object for any parameter of any of the
eight functions either converts or fails with exactly the error that a plain
Python model of the conversion predicts; nothing else ever escapes and no
input array is written. Argument binding is checked against CPython's own
binding of a Python function with the same signature.

Time is bounded by the example counts below and by keeping every accepted
count small (the drivers' run time grows with them), not by a per-example
deadline, which would only flake on a slow or sanitized build.
"""

import ctypes
import hashlib
import math
import operator
import re
import warnings

import numpy as np
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import tarnel
from conftest import SIGNATURES, FloatLike, IndexLike, Raising, Unprintable, training_failure_type

TRAINING_FAILURE = training_failure_type()
# capfd is read afresh in every example, so sharing it between them is safe.
EXAMPLES = settings(max_examples=1000, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much,
                                           HealthCheck.function_scoped_fixture])

PARAMETERS = SIGNATURES
COUNTS = {"max_iterations", "boostrap_sample_size", "iter_ql", "ql_iter"}

VALID_EPISODE = np.array([[0, 1, 1.0, 1, 0], [1, 0, -0.5, 0, 1]])
VALID = {"data": [VALID_EPISODE], "q_shape": (2, 2), "discount_factor": 0.9, "learning_rate": 0.1,
         "max_iterations": 3, "boostrap_sample_size": 2, "iter_ql": 2, "ql_iter": 2, "verbose": False,
         "quit_threshold": None}

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]


# --- the model of conversion ------------------------------------------------------

def qualname(value):
    return type(value).__qualname__


def as_unsigned(value):
    index = operator.index(value)
    if index < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if index >= 1 << 64:
        raise OverflowError("int too big to convert")
    return index


def as_float(value):
    math.isnan(value)  # goes through PyFloat_AsDouble, as the module does
    return value


def as_flag(value):
    if type(value) is not bool:
        raise TypeError(f"'{qualname(value)}' object cannot be converted to 'PyBool'")
    return value


def as_shape(value):
    if not isinstance(value, tuple):
        raise TypeError(f"'{qualname(value)}' object cannot be converted to 'PyTuple'")
    if len(value) != 2:
        raise ValueError(f"expected tuple of length 2, but got tuple of length {len(value)}")
    return as_unsigned(value[0]), as_unsigned(value[1])


class NoText(TypeError):
    """A TypeError whose exact text is the module's own choice; only the
    fragment given must appear in it."""


def as_data(value):
    if isinstance(value, str):
        raise NoText("str")
    if not _sequence_check(value):
        raise TypeError(f"'{qualname(value)}' object cannot be converted to 'Sequence'")
    for item in value:
        if not isinstance(item, np.ndarray):
            raise NoText(qualname(item))
        if item.ndim != 2:
            raise TypeError(f"dimensionality mismatch:\n from={item.ndim}, to=2")
        if item.dtype != np.float64:
            raise TypeError(f"type mismatch:\n from={item.dtype}, to=float64")
    return value


CONVERT = {"data": as_data, "q_shape": as_shape, "discount_factor": as_float, "learning_rate": as_float,
           "verbose": as_flag, "quit_threshold": lambda v: v if v is None else as_float(v)}


def convert(name, value):
    return CONVERT.get(name, as_unsigned)(value)


def text_of(error):
    try:
        return str(error)
    except Exception:  # noqa: BLE001 - the model of an unprintable exception
        return f"<unprintable {type(error).__name__} object>"


def expected_error(name, value):
    """What the call must fail with when `value` is given for parameter
    `name`: (type, text, fragment, type of __cause__), where a fragment that
    is not None means the text only starts so and contains the fragment; or
    None when the value converts."""
    try:
        convert(name, value)
    except BaseException as error:  # noqa: BLE001 - every error is modelled
        cause = type(error.__cause__)
        if isinstance(error, NoText):
            return TypeError, f"argument '{name}': ", str(error), cause
        if type(error) is TypeError:
            return TypeError, f"argument '{name}': " + text_of(error), None, cause
        return type(error), text_of(error), None, cause
    return None


def cheap(arguments):
    """Whether a call with these (converting) arguments runs in no time: small
    counts, and a table that is small or so big that it is refused unmade."""
    counts = [as_unsigned(arguments[n]) for n in arguments if n in COUNTS]
    states, actions = as_shape(arguments["q_shape"])
    refused = max(states, 1) * max(actions, 1) * 8 > (1 << 63) - 1
    return all(c <= 8 for c in counts) and (states * actions <= 4096 or refused)


# --- arbitrary objects ------------------------------------------------------------

class Boom(Exception):
    """Raised by the hostile objects below; the module must pass it on as it is."""


class OwnTypeError(TypeError):
    """Not exactly TypeError, so never given the parameter's name."""


class Episodes:
    """A sequence by __getitem__ alone, whose __len__ lies or raises."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length()
        return self.length

    def __getitem__(self, k):
        return self.items[k]

    def __repr__(self):
        return f"Episodes({self.items!r}, {self.length!r})"


def chained_type_error():
    error = TypeError("chained")
    error.__cause__ = KeyError("cause")
    return error


# Accepted small values, and values at and beyond every limit that are
# refused before any work (the drivers' run time grows with accepted ones).
INTS = st.one_of(st.integers(0, 4), st.sampled_from([1 << 60, 1 << 62, (1 << 63) - 1, 1 << 63, (1 << 64) - 1,
                                                      1 << 64, 1 << 100, -1, -(1 << 63), -(1 << 100)]))
FLOATS = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([-0.0, 5e-324, 1e308, 0.5])
SCALAR_DTYPES = ["?", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f2", "f4", "f8", "g", "c8", "c16",
                 "M8[s]", "m8[s]", "U3", "S3", ">i8", ">f8"]
ARRAY_DTYPES = SCALAR_DTYPES + ["O", [("a", "f8")], [("a", "u1"), ("b", "f8")]]
# Mostly indexes inside a (2, 2) table, so that some episodes train.
ELEMENTS = [0.0] * 4 + [1.0] * 4 + [0.5, 2.0, 3.0, -1.0, 2.9, float("nan"), float("inf"), 1e30]


def numpy_scalar(dtype, value):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        try:
            return np.array(value).astype(dtype)[()]
        except (TypeError, ValueError, OverflowError):
            return np.zeros((), dtype)[()]


def unaligned(array):
    buffer = bytearray(array.nbytes + 1)
    view = np.frombuffer(buffer, dtype=array.dtype, count=array.size, offset=1).reshape(array.shape)
    view[...] = array
    return view


# Memory layouts of the same values: transposed, reversed (negative strides),
# strided, Fortran order, repeated rows (zero strides) and unaligned.
LAYOUTS = [
    lambda a: a,
    lambda a: a.T,
    lambda a: a[::-1],
    lambda a: a[..., ::-1],
    lambda a: a[..., ::2],
    np.asfortranarray,
    lambda a: np.broadcast_to(a[:1], a.shape) if a.shape[0] else a,
    lambda a: unaligned(a) if a.dtype.kind in "fiuc" else a,
]


@st.composite
def arrays(draw, dtypes=st.sampled_from(ARRAY_DTYPES), shapes=hnp.array_shapes(min_dims=0, max_dims=4,
                                                                                  min_side=0, max_side=5)):
    dtype = np.dtype(draw(dtypes))
    shape = draw(shapes)
    if dtype.kind == "f":
        values = draw(st.lists(st.sampled_from(ELEMENTS), min_size=int(np.prod(shape)),
                               max_size=int(np.prod(shape))))
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")  # 1e30 overflows float16
            array = np.array(values).astype(dtype).reshape(shape)
    else:
        array = np.zeros(shape, dtype=dtype)
    if array.ndim:
        array = draw(st.sampled_from(LAYOUTS))(array)
    array.flags.writeable = draw(st.booleans()) and array.flags.writeable
    return array


EPISODE_ARRAYS = arrays(dtypes=st.sampled_from(["f8"] * 4 + ARRAY_DTYPES),
                        shapes=st.one_of(hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=7),
                                         hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=5)))

HOSTILE = st.one_of(
    st.builds(IndexLike, INTS | FLOATS | st.just("3")),
    st.builds(FloatLike, FLOATS | INTS | st.just("3")),
    st.builds(Raising, st.sampled_from([Boom, TypeError, OwnTypeError, ValueError, OverflowError, MemoryError,
                                        chained_type_error,
                                        lambda: TypeError(Unprintable())])),
)

SCALARS = st.one_of(
    st.none(), st.booleans(), INTS, FLOATS, st.text(max_size=4), st.binary(max_size=4),
    st.complex_numbers(max_magnitude=1e3),
    st.builds(numpy_scalar, st.sampled_from(SCALAR_DTYPES), INTS | FLOATS),
    st.sampled_from([np.True_, np.False_, Ellipsis, object(), type, range(3), {}, set(), slice(1)]),
)

ANYTHING = st.recursive(
    st.one_of(SCALARS, HOSTILE, arrays()),
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.tuples(inner), st.tuples(inner, inner),
                            st.tuples(inner, inner, inner),
                            st.dictionaries(st.text(max_size=2), inner, max_size=2)),
    max_leaves=6,
)

# Anything, with plain and hostile scalars and pairs (for `q_shape`) as
# likely as all containers and arrays together.
VALUES = st.one_of(SCALARS, HOSTILE, st.tuples(INTS, INTS),
                   st.tuples(INTS | SCALARS | HOSTILE, INTS | SCALARS | HOSTILE), ANYTHING)

DATA = st.one_of(
    st.lists(EPISODE_ARRAYS, max_size=4),
    st.lists(EPISODE_ARRAYS, max_size=3).map(tuple),
    st.lists(st.one_of(EPISODE_ARRAYS, ANYTHING), max_size=3),
    arrays(dtypes=st.sampled_from(["f8", "f4", ">f8"]),
           shapes=hnp.array_shapes(min_dims=1, max_dims=4, min_side=0, max_side=5)),
    st.builds(Episodes, st.lists(EPISODE_ARRAYS, max_size=3),
              st.sampled_from([0, 1, 100, (1 << 62), Boom, TypeError, OverflowError])),
    st.builds(lambda items: (item for item in items), st.lists(EPISODE_ARRAYS, max_size=2)),
    st.sampled_from(["", "abc", b"", b"ab", bytearray(b"a"), range(2), range(0), memoryview(b"")]),
    ANYTHING,
)


# --- properties -------------------------------------------------------------------

def digest_inputs(value):
    arrays_in = [v for v in (value if isinstance(value, (list, tuple)) else []) if isinstance(v, np.ndarray)]
    if isinstance(value, np.ndarray):
        arrays_in.append(value)
    return [(hashlib.sha256(a.tobytes()).hexdigest() if a.dtype.kind != "O" else None, a.flags.writeable)
            for a in arrays_in]


def check_result(name, arguments, result):
    states, actions = as_shape(arguments["q_shape"])
    shape = (states, actions)
    if name == "td_learn_backward_parallel":
        shape = (as_unsigned(arguments["iter_ql"]), *shape)
    if name == "qlearn_forward_parallel":
        shape = (as_unsigned(arguments["ql_iter"]), *shape)
    assert type(result) is np.ndarray
    assert result.dtype == np.float64 and result.shape == shape
    assert result.flags.f_contiguous and result.flags.writeable and result.base is not None


def call_with(function, arguments, by_keyword):
    """The result of the call, or the exception it raised."""
    try:
        return function(**arguments) if by_keyword else function(*arguments.values())
    except BaseException as error:  # noqa: BLE001 - every outcome is checked by the caller
        return error


@EXAMPLES
@given(st.data())
def test_any_object_for_any_parameter(capfd, data):
    name = data.draw(st.sampled_from(tarnel.__all__), label="function")
    parameters = PARAMETERS[name]
    position = data.draw(st.integers(0, len(parameters) - 1), label="position")
    parameter = parameters[position]
    value = data.draw(DATA if parameter == "data" else VALUES, label="value")
    arguments = {p: VALID[p] for p in parameters}
    arguments[parameter] = value
    by_keyword = data.draw(st.booleans(), label="by keyword")
    function = getattr(tarnel, name)
    before = digest_inputs(value)
    # Warnings (a complex number's lost imaginary part, NumPy 1's deprecated
    # bool index) are the same for the model and the module, and are not the
    # subject here.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = expected_error(parameter, value)
        if expected is None:
            assume(cheap(arguments))
        capfd.readouterr()
        outcome = call_with(function, arguments, by_keyword)
        check_outcome(name, parameter, arguments, expected, outcome)
    check_reports(capfd.readouterr().err, outcome)
    assert digest_inputs(value) == before


def check_reports(err, outcome):
    """A failed training is reported on standard error, beside the reports
    of failed workers (a failed join is reported when it is seen, possibly
    before later workers report); nothing else is."""
    if isinstance(outcome, TRAINING_FAILURE):
        reports = err.splitlines()
        assert f"tarnel: {outcome}" in reports, err
        assert all(line.startswith("tarnel: ") for line in reports), err
    else:
        assert err == "", err


def check_outcome(name, parameter, arguments, expected, outcome):
    if isinstance(outcome, BaseException):
        error = outcome
        event(f"{parameter}: {type(error).__name__}")
        if expected is None:
            # Everything converted: only training itself may fail.
            assert isinstance(error, (TRAINING_FAILURE, MemoryError)), repr(error)
        else:
            kind, text, fragment, cause = expected
            assert type(error) is kind, (repr(error), expected)
            if fragment is None:
                assert str(error) == text
            else:
                assert str(error).startswith(text) and fragment in str(error)
            assert type(error.__cause__) is cause
    else:
        event(f"{parameter}: converted and trained")
        assert expected is None, expected
        check_result(name, arguments, outcome)


def python_twin(name):
    """A Python function with the same name and signature, for CPython's own
    binding errors."""
    parameters = PARAMETERS[name]
    namespace = {}
    exec(f"def {name}({', '.join(parameters[:-1])}, {parameters[-1]}=None): pass", namespace)  # noqa: S102
    return namespace[name]


@EXAMPLES
@given(st.data())
def test_binding_matches_cpython(data):
    name = data.draw(st.sampled_from(tarnel.__all__), label="function")
    parameters = PARAMETERS[name]
    positional = data.draw(st.integers(0, len(parameters) + 2), label="positional")
    names = st.one_of(st.sampled_from(parameters), st.text(max_size=4), st.just("\ud800"),
                      st.just("bootstrap_sample_size"))
    keywords = data.draw(st.lists(names, max_size=len(parameters), unique=True), label="keywords")
    values = [VALID.get(p, 0) for p in parameters] + ["extra"] * 3
    args = values[:positional]
    kwargs = {k: VALID.get(k, 0) for k in keywords}
    try:
        python_twin(name)(*args, **kwargs)
    except TypeError as error:
        # CPython 3.13 and later append a guess at the intended keyword; the
        # module's texts stop before it.
        expected = re.sub(r"\. Did you mean '[^']*'\?\Z", "", str(error))
    else:
        expected = None
    if positional > len(parameters):
        # The count of positional arguments is checked before any keyword
        # (CPython looks at the keywords first).
        expected = (f"{name}() takes from {len(parameters) - 1} to {len(parameters)} positional arguments "
                    f"but {positional} were given")
    try:
        getattr(tarnel, name)(*args, **kwargs)
    except TypeError as error:
        assert str(error) == expected
    else:
        assert expected is None
