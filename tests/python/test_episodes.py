"""Episode data as the drivers read it: the sequences of arrays accepted as
`data`, arrays of any memory layout read in their logical order, input arrays
never written, every array given back on every exit, and arrays resized or
retyped while the call converts its later arguments."""

import hashlib
import sys

import numpy as np
import pytest

import tarnel
from conftest import PARALLEL, SEQUENTIAL, arguments, episode

# Every iteration replays this one episode, so training is deterministic; the
# order of its rows matters (each bootstraps from the row written before).
CHAIN = episode((0, 1, 1.0, 1, 0), (1, 0, 2.0, 2, 0), (2, 1, -1.0, 3, 0), (3, 0, 0.5, 0, 1))
CHAIN_SHAPE = (4, 2)
# A two-state chain, for the (2, 2) tables of the calls below.
SHORT_CHAIN = episode((0, 1, 1.0, 1, 0), (1, 0, -0.5, 0, 0), (0, 0, 2.0, 1, 1))


def forward(data, q_shape=CHAIN_SHAPE, discount_factor=0.9, learning_rate=0.5, max_iterations=3):
    return tarnel.qlearn_forward(data, q_shape, discount_factor, learning_rate, max_iterations, False)


def call(name, data, q_shape=(2, 2), max_iterations=20, workers=2):
    """Calls any of the eight functions with learning parameters of no interest here."""
    return getattr(tarnel, name)(*arguments(name, data, q_shape, 0.9, 0.5, max_iterations,
                                            sample_size=len(data) or 1, workers=workers))


# ------------------------------------------------- the episode sequence

class Episodes:
    """A sequence whose reported length need not match its items."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, k):
        return self.items[k]


class FailingAfterFirst:
    def __init__(self, first, kind, message):
        self.first, self.kind, self.message = first, kind, message

    def __len__(self):
        return 2

    def __getitem__(self, k):
        if k == 0:
            return self.first
        raise self.kind(self.message)


def object_array(*items):
    array = np.empty(len(items), dtype=object)
    array[:] = [None] * len(items)
    for k, item in enumerate(items):
        array[k] = item
    return array


SubArray = type("SubArray", (np.ndarray,), {})


@pytest.mark.parametrize("data", [
    (CHAIN,),
    np.stack([CHAIN]),
    np.stack([CHAIN, CHAIN]),
    [CHAIN.view(SubArray)],
    object_array(CHAIN),
    Episodes([CHAIN, CHAIN], 2**62),
    Episodes([CHAIN, CHAIN], sys.maxsize),
    Episodes([CHAIN], 0),
    Episodes([CHAIN], RuntimeError("no length")),
    Episodes([CHAIN], -1),
], ids=["tuple", "3-D", "3-D twice", "ndarray subclass", "object array", "length 2**62", "length maxsize",
        "length 0", "length raises", "negative length"])
def test_episode_sequences(data):
    # Replaying copies of one episode gives the table of that episode alone.
    np.testing.assert_array_equal(forward(data), forward([CHAIN]))


@pytest.mark.parametrize("kind, text", [
    (RuntimeError, "boom"),
    (TypeError, "argument 'data': boom"),
])
def test_iteration_errors(kind, text):
    episode_array = CHAIN.copy()
    before = sys.getrefcount(episode_array)
    try:  # not pytest.raises, whose record of the traceback would hold the array
        forward(FailingAfterFirst(episode_array, kind, "boom"))
    except BaseException as error:
        assert type(error) is kind and str(error) == text
    else:
        pytest.fail("iteration error not raised")
    assert sys.getrefcount(episode_array) == before


def test_episode_arrays_are_released_on_every_exit(capfd, training_failure):
    # The call holds each array until its episode is built; no exit may keep one.
    arrays = [CHAIN.copy(), CHAIN.copy()]
    before = [sys.getrefcount(a) for a in arrays]
    calls = [
        ((4, 2, 1), 0.9, 3, False, None),       # q_shape refused
        (CHAIN_SHAPE, 0.9, 3, 1, None),         # verbose refused
        (CHAIN_SHAPE, 0.9, 3, False, "x"),      # quit_threshold refused
        ((2, 2), 0.9, 3, False, None),          # training fails: state 3 outside the table
        (CHAIN_SHAPE, 0.9, 3, False, None),     # success
    ]
    for q_shape, discount, iterations, verbose, quit_threshold in calls:
        for data in (arrays, [arrays[0], np.zeros(5)], tuple(arrays)):
            try:
                tarnel.qlearn_forward(data, q_shape, discount, 0.5, iterations, verbose, quit_threshold)
            except BaseException as error:
                assert isinstance(error, (TypeError, ValueError, training_failure))
    del data
    assert [sys.getrefcount(a) for a in arrays] == before
    # Only the two trainings that got as far as state 3 reported anything.
    assert capfd.readouterr().err == "tarnel: index out of bounds: next state 2 is not below the number of states, 2\n" * 2


# --------------------------------------------- layouts read in logical order

def with_extra_columns(e):
    return np.hstack([e, np.full((len(e), 3), 99.0)])


def column_slice(e):
    wide = np.full((len(e), 10), 7.0)
    wide[:, ::2] = e
    return wide[:, ::2]


def every_other_row(e):
    tall = np.full((2 * len(e), 5), 7.0)
    tall[::2] = e
    return tall[::2]


def reversed_rows(e):
    return np.ascontiguousarray(e[::-1])[::-1]


def reversed_columns(e):
    return np.ascontiguousarray(e[:, ::-1])[:, ::-1]


def reversed_both(e):
    return np.ascontiguousarray(e[::-1, ::-1])[::-1, ::-1]


def read_only(e):
    copy = e.copy()
    copy.flags.writeable = False
    return copy


def unaligned(array, offset=1):
    """A copy of `array` at a byte offset of a byte buffer: unaligned data."""
    buffer = bytearray(array.nbytes + offset)
    view = np.frombuffer(buffer, dtype=np.float64, count=array.size, offset=offset).reshape(array.shape)
    view[...] = array
    assert not view.flags.aligned
    return view


LAYOUTS = [np.asfortranarray, lambda e: np.ascontiguousarray(e.T).T, with_extra_columns, column_slice,
           every_other_row, reversed_rows, reversed_columns, reversed_both, read_only, unaligned]
LAYOUT_IDS = ["fortran", "transposed", "extra columns", "column slice", "every other row", "reversed rows",
              "reversed columns", "reversed both", "read-only", "unaligned"]


def test_row_order_matters_for_the_chain():
    # Guards the layout tests below: reading the rows in memory order
    # instead of logical order would change the table.
    assert not np.array_equal(forward([CHAIN[::-1].copy()]), forward([CHAIN]))


@pytest.mark.parametrize("layout", LAYOUTS, ids=LAYOUT_IDS)
def test_layouts_are_read_in_logical_order(layout):
    view = layout(CHAIN)
    np.testing.assert_array_equal(view[:, :5], CHAIN)
    owner = view
    while isinstance(owner.base, np.ndarray):
        owner = owner.base
    before = (view.tobytes(), owner.tobytes(), view.flags.writeable)
    np.testing.assert_array_equal(forward([view]), forward([CHAIN]))
    assert (view.tobytes(), owner.tobytes(), view.flags.writeable) == before


def test_zero_row_stride_repeats_a_row():
    row = episode((0, 1, 1.0, 1, 1))[0]
    repeated = np.broadcast_to(row, (3, 5))
    assert repeated.strides[0] == 0
    np.testing.assert_array_equal(forward([repeated]), forward([np.array([row] * 3)]))


def episodes_along_last_axis(e):
    return np.moveaxis(np.stack([e, e], axis=2), 2, 0)


def reversed_rows_in_3d(e):
    return np.ascontiguousarray(np.stack([e])[:, ::-1])[:, ::-1]


@pytest.mark.parametrize("layout", [episodes_along_last_axis, reversed_rows_in_3d])
def test_non_contiguous_3d_data(layout):
    data = layout(CHAIN)
    assert data.ndim == 3 and not data.flags.c_contiguous
    np.testing.assert_array_equal(forward(data), forward([CHAIN]))


# ---------------------------------------------------- input arrays never written



def digest(array):
    return hashlib.sha256(np.ascontiguousarray(array).tobytes()).hexdigest() + str(array.__array_interface__)


@pytest.mark.parametrize("name", SEQUENTIAL + PARALLEL)
@pytest.mark.parametrize("writeable", [True, False])
def test_input_arrays_are_never_written(name, writeable):
    data = [SHORT_CHAIN.copy(), episode((1, 1, 3.0, 0, 1)), np.asfortranarray(SHORT_CHAIN)]
    for array in data:
        array.flags.writeable = writeable
    before = [digest(a) for a in data]
    call(name, data, max_iterations=200)
    assert [digest(a) for a in data] == before
    assert all(a.flags.writeable == writeable for a in data)


def field_of_structured(array):
    """The same values as the field of a packed structured array: rows 41 bytes apart."""
    record = np.dtype([("flag", "u1"), ("row", "f8", (array.shape[1],))])
    records = np.zeros(array.shape[0], dtype=record)
    records["row"] = array
    return records["row"]


LONG = episode(*[(s % 3, s % 2, float(s), (s + 1) % 3, float(s == 9)) for s in range(10)])
STRIDED_VIEWS = {
    "fortran": np.asfortranarray,
    "every_other_row": lambda a: np.repeat(a, 2, axis=0)[::2],
    "every_other_column": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "negative_row_stride": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "negative_column_stride": lambda a: np.ascontiguousarray(a[:, ::-1])[:, ::-1],
    "transposed_storage": lambda a: np.ascontiguousarray(a.T).T,
    "extra_columns": lambda a: np.hstack([a, np.full((a.shape[0], 3), np.nan)])[:, :5],
    "unaligned": unaligned,
    "unaligned_odd_offset": lambda a: unaligned(a, 3),
    "structured_field": field_of_structured,
    "slab_of_3d": lambda a: np.stack([np.zeros_like(a), a])[1],
    "broadcast_rows": lambda a: np.broadcast_to(a[2], a.shape),
}


@pytest.mark.parametrize("layout", STRIDED_VIEWS)
@pytest.mark.parametrize("name", ["qlearn_forward", "td_learn_backward"])
def test_any_layout_reads_like_a_contiguous_copy(layout, name):
    # One episode makes these drivers deterministic, and both rules read the
    # rows in order (backward TD from the end), so the table is a fingerprint
    # of the rows as read.
    view = STRIDED_VIEWS[layout](LONG)
    contiguous = np.ascontiguousarray(view)
    assert np.array_equal(view, contiguous)
    got = call(name, [view], q_shape=(3, 2), max_iterations=30)
    want = call(name, [contiguous], q_shape=(3, 2), max_iterations=30)
    assert got.tobytes() == want.tobytes()


def test_reading_order_is_the_views_not_the_memorys():
    reversed_view = LONG[::-1]
    got = call("qlearn_forward", [reversed_view], q_shape=(3, 2), max_iterations=30)
    assert got.tobytes() == call("qlearn_forward", [reversed_view.copy()], q_shape=(3, 2),
                                 max_iterations=30).tobytes()
    assert got.tobytes() != call("qlearn_forward", [LONG], q_shape=(3, 2), max_iterations=30).tobytes()


# Each runs from a later argument's conversion, after the view of `data` was
# taken: the array's buffer or layout changes under the call.
MUTATIONS = {
    "resize_smaller": lambda a: a.resize((1, 5), refcheck=False),
    "resize_larger": lambda a: a.resize((4096, 5), refcheck=False),
    # The same element count: the buffer stays, only shape and strides change.
    "reshape": lambda a: a.resize((a.shape[1], a.shape[0]), refcheck=False),
    # Unpickling into the array replaces its dtype and its buffer.
    "retype": lambda a: a.__setstate__((1, a.shape, np.dtype(np.int64), False, a.tobytes())),
    # Only the dtype changes, over the same buffer. NumPy has no other way to
    # do that than the setter, which it deprecates from 2.5 on, so this case
    # runs where the setter is still plain.
    "retype_in_place": lambda a: setattr(a, "dtype", np.int64),
}
DTYPE_SETTER_DEPRECATED = np.lib.NumpyVersion(np.__version__) >= "2.5.0.dev0"


@pytest.mark.parametrize("mutation", [
    pytest.param(m, marks=pytest.mark.skipif(m == "retype_in_place" and DTYPE_SETTER_DEPRECATED,
                                             reason="NumPy deprecates setting the dtype"))
    for m in MUTATIONS])
@pytest.mark.parametrize("position", [0, 2])
def test_array_changed_while_converting_arguments(capfd, training_failure, mutation, position):
    data = [SHORT_CHAIN.copy() for _ in range(3)]

    class Rate:
        def __float__(self):
            MUTATIONS[mutation](data[position])
            # Reuse the freed memory, so a read of the old view would see junk.
            self.junk = [np.full((4, 5), 1e300) for _ in range(64)]
            return 0.5

    with pytest.raises(training_failure) as caught:
        tarnel.qlearn_forward(data, (2, 2), 0.9, Rate(), 5, False)
    assert f"episode array {position} was resized or retyped" in str(caught.value)
    assert capfd.readouterr().err == f"tarnel: {caught.value}\n"


def test_array_changed_by_giving_back_an_earlier_one(capfd, training_failure):
    # Each array is given back as soon as its episode is built; when the call
    # held the last reference, that runs the array's finaliser, which here
    # frees the buffer of the next array before it is read.
    target = SHORT_CHAIN.copy()

    class Doomed(np.ndarray):
        def __del__(self):
            target.resize((1, 5), refcheck=False)

    class Episodes:
        def __len__(self):
            return 2

        def __getitem__(self, k):
            return [lambda: SHORT_CHAIN.copy().view(Doomed), lambda: target][k]()

    with pytest.raises(training_failure) as caught:
        tarnel.qlearn_forward(Episodes(), (2, 2), 0.9, 0.5, 5, False)
    assert "episode array 1 was resized or retyped" in str(caught.value)
    assert capfd.readouterr().err == f"tarnel: {caught.value}\n"
