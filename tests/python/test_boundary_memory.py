"""Episode arrays whose memory goes away before their episode is built.

An episode array that views another array (a slice, an item of a 3-D array)
keeps that array alive but not its memory: Python code that runs after `data`
was converted (a later argument's __float__ or __index__, the sequence's own
__getitem__ for a later item, a finaliser run when an earlier array is given
back) can resize the array at the end of the chain with refcheck=False, which
frees the memory under every view of it. Such a call must fail with the
training failure, never read the freed memory. The junk allocated after each
release reuses that memory, so a read of it would train on other values (and
AddressSanitizer stops the process at once).
"""

import subprocess
import sys
import textwrap
import warnings
import weakref

import numpy as np
import pytest

import tarnel
from conftest import episode

CHAIN = episode((0, 1, 1.0, 1, 0), (1, 0, -0.5, 0, 0), (0, 0, 2.0, 1, 1))
SHAPE = (2, 2)
EXTRA = {"td_learn_backward_parallel": (1, 2), "qlearn_forward_parallel": (2,)}


def released(k):
    return f"the memory that episode array {k} views was released or moved before its episode was built"


def reuse_freed_memory():
    return [np.full((4, 5), 1e300) for _ in range(64)]


def block_with_chain(rows=8):
    block = np.zeros((rows, 5))
    block[:len(CHAIN)] = CHAIN
    return block


class SubArray(np.ndarray):
    pass


def release_by_resize(block):
    block.resize((1, 5), refcheck=False)


def release_by_new_data(block):
    # Older NumPy releases still let `data` be replaced, which frees the
    # memory an owning array held.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        block.data = bytearray(block.nbytes)


def data_can_be_replaced():
    try:
        release_by_new_data(np.zeros(1))
    except AttributeError:
        return False
    return True


RELEASES = [release_by_resize,
            pytest.param(release_by_new_data, marks=pytest.mark.skipif(
                not data_can_be_replaced(), reason="this NumPy no longer lets `data` be replaced"))]


# How `data` views the block: (data, index of the viewing array).
FORMS = {
    "whole_slice": lambda block: ([block[:]], 0),
    "row_slice": lambda block: ([block[0:3]], 0),
    "second_array": lambda block: ([CHAIN.copy(), block[0:3]], 1),
    "subclass_view": lambda block: ([block.view(SubArray)[0:3].view(SubArray)], 0),
    "3d_data": lambda block: (block.reshape(2, 4, 5)[:, 0:3], 0),
}


class Releasing:
    """A number whose conversion first runs `release`."""

    def __init__(self, value, release):
        self.value, self.release = value, release

    def __float__(self):
        self.release()
        self.junk = reuse_freed_memory()
        return float(self.value)

    def __index__(self):
        self.release()
        self.junk = reuse_freed_memory()
        return int(self.value)


def call(name, data, q_shape=SHAPE, discount_factor=0.9, learning_rate=0.5, max_iterations=5):
    function = getattr(tarnel, name)
    return function(data, q_shape, discount_factor, learning_rate, max_iterations, *EXTRA.get(name, ()), False)


def expect_failure(capfd, training_failure, text, thunk):
    capfd.readouterr()
    with pytest.raises(training_failure) as caught:
        thunk()
    assert str(caught.value) == text
    out, err = capfd.readouterr()
    assert err == f"tarnel: {text}\n"
    return out


@pytest.mark.parametrize("release", RELEASES, ids=["resize", "new_data"])
@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("argument", ["q_shape", "discount_factor", "learning_rate", "max_iterations"])
def test_memory_released_by_a_later_argument(capfd, training_failure, form, argument, release):
    block = block_with_chain()
    data, k = FORMS[form](block)
    trigger = {
        "q_shape": lambda: {"q_shape": (Releasing(2, lambda: release(block)), 2)},
        "discount_factor": lambda: {"discount_factor": Releasing(0.9, lambda: release(block))},
        "learning_rate": lambda: {"learning_rate": Releasing(0.5, lambda: release(block))},
        "max_iterations": lambda: {"max_iterations": Releasing(5, lambda: release(block))},
    }[argument]()
    expect_failure(capfd, training_failure, released(k), lambda: call("qlearn_forward", data, **trigger))


@pytest.mark.parametrize("name", tarnel.__all__)
def test_every_function_checks_the_memory(capfd, training_failure, name):
    block = block_with_chain()
    rate = Releasing(0.5, lambda: release_by_resize(block))
    out = expect_failure(capfd, training_failure, released(0),
                         lambda: call(name, [block[0:3]], learning_rate=rate))
    assert out == ""  # nothing trained, not even the configuration line


def test_memory_released_while_the_sequence_is_read(capfd, training_failure):
    # The sequence's own __getitem__ for the second array frees the memory
    # under the first, which was already accepted.
    block = block_with_chain()

    class Episodes:
        def __len__(self):
            return 2

        def __getitem__(self, k):
            if k == 1:
                release_by_resize(block)
                self.junk = reuse_freed_memory()
                return CHAIN.copy()
            if k == 0:
                return block[0:3]
            raise IndexError(k)

    expect_failure(capfd, training_failure, released(0), lambda: call("qlearn_forward", Episodes()))


# Array 0 of the test below: over its own memory, or a view of the block
# that array 1 views too (whose memory was then found in place when array 0
# was read, and must be tested again).
DOOMED_FIRST = {
    "own_memory": lambda block, doomed: CHAIN.copy().view(doomed),
    "same_block": lambda block, doomed: block[0:3].view(doomed),
}


@pytest.mark.parametrize("first", DOOMED_FIRST)
def test_memory_released_by_giving_back_an_earlier_array(capfd, training_failure, first):
    # Array 0 is given back as soon as its episode is built; the call holds
    # its last reference, so its finaliser runs then and frees the memory
    # under array 1 before that is read.
    block = block_with_chain()

    class Doomed(np.ndarray):
        def __del__(self):
            release_by_resize(block)
            reuse_freed_memory()

    class Episodes:
        def __len__(self):
            return 2

        def __getitem__(self, k):
            return [lambda: DOOMED_FIRST[first](block, Doomed), lambda: block[0:3]][k]()

    expect_failure(capfd, training_failure, released(1), lambda: call("qlearn_forward", Episodes()))


# The first array of `data`: one over its own memory, read where it lies,
# and one over foreign memory, read from a copy taken at conversion.
FIRST = {
    "own_memory": lambda rows: rows.copy(),
    "foreign_memory": lambda rows: np.frombuffer(bytearray(rows.tobytes())).reshape(-1, 5),
}


@pytest.mark.parametrize("first", FIRST)
def test_arrays_are_given_back_right_after_their_episodes(first):
    # Every array, copied or not, is held until its episode is built, then
    # given back in order: the finaliser of array 0 runs after the later
    # arguments were converted and before array 1 is read, and here rewrites
    # array 1 (a view; the test keeps only its block) into CHAIN.
    events = []
    later = block_with_chain()
    later[:, 2] = 5.0

    def first_given_back():
        events.append("array 0 given back")
        later[:] = block_with_chain()

    class Episodes:
        def __len__(self):
            return 2

        def __getitem__(self, k):
            array = [lambda: FIRST[first](CHAIN), lambda: later[0:3]][k]()
            weakref.finalize(array, *[(first_given_back,), (events.append, "array 1 given back")][k])
            return array

    class Rate:
        def __float__(self):
            events.append("learning_rate converted")
            return 0.5

    got = call("qlearn_forward", Episodes(), learning_rate=Rate(), max_iterations=30)
    assert events == ["learning_rate converted", "array 0 given back", "array 1 given back"]
    # Both episodes were CHAIN when read, so the table is the single-episode one.
    assert got.tobytes() == call("qlearn_forward", [CHAIN], max_iterations=30).tobytes()


# Changes that leave the memory where it is: the call reads it as it now is.
KEPT = {
    "block_reshaped": lambda block, other: setattr(block, "shape", (5, 8)),
    "block_retyped": lambda block, other: setattr(block, "dtype", np.int64),
    "block_retyped_to_smaller_items": lambda block, other: setattr(block, "dtype", np.float32),
    "block_resized_to_its_own_size": lambda block, other: block.resize((5, 8), refcheck=False),
    "other_array_resized": lambda block, other: other.resize((1, 5), refcheck=False),
    "another_view_taken": lambda block, other: block[::2].sum(),
}


# NumPy 2.5 deprecates the shape and dtype setters, the only in-place forms
# of those changes; they run where the setters are still plain.
SETTERS_DEPRECATED = np.lib.NumpyVersion(np.__version__) >= "2.5.0.dev0"


@pytest.mark.parametrize("change", [
    pytest.param(c, marks=pytest.mark.skipif(c.startswith(("block_reshaped", "block_retyped")) and SETTERS_DEPRECATED,
                                             reason="NumPy deprecates the shape and dtype setters"))
    for c in KEPT])
def test_memory_kept_in_place_is_read(change):
    block, other = block_with_chain(), block_with_chain()
    data = [block[0:3], other[0:3].copy()]
    rate = Releasing(0.5, lambda: KEPT[change](block, other))
    got = call("qlearn_forward", data, learning_rate=rate, max_iterations=30)
    # Both arrays still hold CHAIN, so whichever is picked, the table is the
    # single-episode one.
    assert np.array_equal(data[0], CHAIN)
    assert got.tobytes() == call("qlearn_forward", [CHAIN], max_iterations=30).tobytes()


def test_blocks_are_given_back_with_their_last_array():
    # A block held while its arrays are read must not outlive the call.
    blocks = [block_with_chain() for _ in range(3)]
    data = [blocks[0][0:3], blocks[0][0:3], blocks[1][0:3], blocks[0][0:3], blocks[2][0:3]]
    before = [sys.getrefcount(b) for b in blocks]
    call("qlearn_forward", data)
    assert [sys.getrefcount(b) for b in blocks] == before
    with pytest.raises(TypeError):
        call("qlearn_forward", data, learning_rate="x")
    assert [sys.getrefcount(b) for b in blocks] == before


# Arrays over memory that another object owns: what frees it may lie behind
# that object, out of sight, so these arrays are read when `data` is
# converted, and later changes do not reach the call.
FOREIGN = {
    "as_strided": lambda block: np.lib.stride_tricks.as_strided(block, shape=(3, 5), strides=block.strides),
    "memoryview": lambda block: np.asarray(memoryview(block))[0:3],
    "sliding_window": lambda block: np.lib.stride_tricks.sliding_window_view(block, (3, 5))[0, 0],
    "bytearray": lambda block: np.frombuffer(bytearray(block.tobytes()), dtype=np.float64).reshape(-1, 5)[0:3],
}


@pytest.mark.parametrize("form", FOREIGN)
def test_arrays_over_foreign_memory_are_read_as_converted(form):
    block = block_with_chain()
    array = FOREIGN[form](block)

    def overwrite_then_release():
        block[:] = 7.0
        release_by_resize(block)

    rate = Releasing(0.5, overwrite_then_release)
    got = call("qlearn_forward", [array], learning_rate=rate, max_iterations=30)
    assert got.tobytes() == call("qlearn_forward", [CHAIN], max_iterations=30).tobytes()


@pytest.mark.parametrize("form", FOREIGN)
def test_arrays_over_foreign_memory_are_still_checked(capfd, training_failure, form):
    # Read from its copy, the array must still be what was accepted.
    array = FOREIGN[form](block_with_chain())
    rate = Releasing(0.5, lambda: array.__setstate__((1, (5, 3), array.dtype, False, array.tobytes())))
    expect_failure(capfd, training_failure, "episode array 0 was resized or retyped while the call's arguments "
                   "were being converted", lambda: call("qlearn_forward", [array], learning_rate=rate))


def test_foreign_memory_without_the_mmap_module():
    # Memory owned by something that is not an array is copied when accepted;
    # when mmap cannot be imported no owner can be a memory map, and the
    # failed import must leave no error behind.
    code = textwrap.dedent("""
        import sys
        sys.modules["mmap"] = None
        import numpy as np
        import tarnel
        rows = np.array([[0, 1, 1.0, 1, 0], [1, 0, 0.5, 0, 1]], dtype=np.float64)
        foreign = np.frombuffer(bytearray(rows.tobytes()), dtype=np.float64).reshape(2, 5)
        got = tarnel.qlearn_forward([foreign], (2, 2), 0.9, 0.5, 20, False)
        assert got.tobytes() == tarnel.qlearn_forward([rows], (2, 2), 0.9, 0.5, 20, False).tobytes()
        print("ok")
        """)
    done = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")
