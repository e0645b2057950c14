"""Notes that locate a bad item of `data`.

A TypeError raised while an item of `data` is converted names the item's
position and what it is in its notes (`__notes__`), followed by the way to
convert it where NumPy can. The error's type, text and args stay what they
were; only notes are added. Notes live in the instance's __dict__, so they
are there on Python 3.10 too and survive pickling.
"""

import pickle
import sys
import traceback

import numpy as np
import pytest

import tarnel
from conftest import arguments, episode

CHAIN = episode((0, 1, 1.0, 1, 0), (1, 0, -0.5, 0, 0), (0, 0, 2.0, 1, 1))
FIX = "convert it with np.asarray(episode, dtype=np.float64)"


class Rows(np.ndarray):
    pass


def named(qualname):
    kind = type("Named", (), {})
    kind.__qualname__ = qualname
    return kind()


def not_array(qualname):
    return f"argument 'data': '{qualname}' object cannot be converted to 'PyArray'"


def mismatch(dtype):
    return f"argument 'data': type mismatch:\n from={dtype}, to=float64"


def dimensionality(nd):
    return f"argument 'data': dimensionality mismatch:\n from={nd}, to=2"


# (item, the error's text, its first note after "episode K of data: ",
# whether the conversion hint follows)
CASES = {
    "list_of_lists": (CHAIN.tolist(), not_array("list"), "type list, not a NumPy array", True),
    "tuple_of_rows": (tuple(map(tuple, CHAIN)), not_array("tuple"), "type tuple, not a NumPy array", True),
    "memoryview": (memoryview(CHAIN), not_array("memoryview"), "type memoryview, not a NumPy array", True),
    "float64_scalar": (np.float64(1.0), not_array("float64"), "type float64, not a NumPy array", False),
    "none": (None, not_array("NoneType"), "type NoneType, not a NumPy array", False),
    "dict": ({0: CHAIN}, not_array("dict"), "type dict, not a NumPy array", False),
    "str": ("0,1,1.0,1,0", not_array("str"), "type str, not a NumPy array", False),
    "bytes": (b"\x00" * 8, not_array("bytes"), "type bytes, not a NumPy array", False),
    "awkward_name": (named("a\x00b\udcff"), not_array("a\x00b\udcff"), "type a\x00b\udcff, not a NumPy array", False),
    "int64": (CHAIN.astype(np.int64), mismatch("int64"), "dtype int64, shape (3, 5)", True),
    "float32": (CHAIN.astype(np.float32), mismatch("float32"), "dtype float32, shape (3, 5)", True),
    "byte_swapped": (CHAIN.astype(">f8"), mismatch(">f8"), "dtype >f8, shape (3, 5)", True),
    "object": (CHAIN.astype(object), mismatch("object"), "dtype object, shape (3, 5)", True),
    "subclass": (CHAIN.astype(np.int32).view(Rows), mismatch("int32"), "dtype int32, shape (3, 5)", True),
    "empty_int": (np.zeros((0, 5), np.int8), mismatch("int8"), "dtype int8, shape (0, 5)", True),
    # np.asarray does not change the number of dimensions: no hint.
    "one_row": (CHAIN[0], dimensionality(1), "dtype float64, shape (5,)", False),
    "zero_d": (np.array(1.0), dimensionality(0), "dtype float64, shape ()", False),
    "three_d_int": (np.zeros((2, 3, 5), np.int32), dimensionality(3), "dtype int32, shape (2, 3, 5)", False),
}


def bad_data(item, position):
    return [CHAIN] * position + [item] + [CHAIN]


def raised(data, name="qlearn_forward", **changed):
    given = dict(zip(("q_shape", "discount_factor", "learning_rate", "max_iterations"), ((2, 2), 0.9, 0.5, 5)))
    with pytest.raises(BaseException) as caught:
        getattr(tarnel, name)(*arguments(name, data, **{**given, **changed}))
    return caught.value


@pytest.mark.parametrize("position", [0, 3])
@pytest.mark.parametrize("case", CASES)
def test_bad_item_is_located(case, position):
    item, text, what, fixable = CASES[case]
    error = raised(bad_data(item, position))
    assert type(error) is TypeError
    assert (str(error), error.args) == (text, (text,))
    expected = [f"episode {position} of data: {what}"] + ([FIX] if fixable else [])
    assert error.__notes__ == expected
    # An instance attribute, as add_note keeps it from 3.11 on: 3.10 has it too.
    assert vars(error)["__notes__"] == expected


def test_items_of_a_three_d_array_are_located():
    error = raised(np.zeros((4, 3, 5), dtype=">f8"))
    assert str(error) == mismatch(">f8")
    assert error.__notes__ == ["episode 0 of data: dtype >f8, shape (3, 5)", FIX]


@pytest.mark.parametrize("name", tarnel.__all__)
def test_every_function_locates_bad_items(name):
    error = raised(bad_data(CHAIN.tolist(), 1), name)
    assert error.__notes__ == ["episode 1 of data: type list, not a NumPy array", FIX]


@pytest.mark.parametrize("case", ["list_of_lists", "int64", "one_row"])
def test_notes_survive_pickling(case):
    item, text, what, fixable = CASES[case]
    error = raised(bad_data(item, 2))
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), copy.args, copy.__notes__) == (TypeError, (text,), error.__notes__)


@pytest.mark.skipif(sys.version_info < (3, 11), reason="tracebacks show notes from Python 3.11 on")
def test_tracebacks_show_the_notes():
    error = raised(bad_data(CHAIN.astype(np.int64), 1))
    shown = traceback.format_exception_only(type(error), error)
    assert shown[-2:] == ["episode 1 of data: dtype int64, shape (3, 5)\n", FIX + "\n"]


class Count:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


def test_errors_of_other_arguments_get_no_location():
    error = raised([CHAIN], learning_rate="x")
    assert str(error) == "argument 'learning_rate': must be real number, not str"
    assert not hasattr(error, "__notes__")


def test_a_wrapped_error_keeps_its_own_notes():
    original = TypeError("not an index")
    original.__notes__ = ["the caller's note"]
    error = raised([CHAIN], max_iterations=Count(original))
    assert error is not original
    assert (str(error), error.__notes__) == ("argument 'max_iterations': not an index", ["the caller's note"])


def test_the_sequences_own_errors_pass_unchanged():
    # Nothing is known of an item the sequence failed to give.
    original = TypeError("no item")

    class Episodes:
        def __len__(self):
            return 2

        def __getitem__(self, k):
            if k == 1:
                raise original
            return CHAIN

    error = raised(Episodes())
    assert str(error) == "argument 'data': no item"
    assert not hasattr(error, "__notes__")
