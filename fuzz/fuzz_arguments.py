"""Fuzz target for argument conversion and episode building.

Each input is decoded into one call of one of the module's functions (the
eight training functions and check_episodes): episode
arrays of any dtype, shape, byte offset and strides (negative and zero ones
included) laid over a byte buffer filled from the input, and the other
parameters drawn from tables of ordinary, boundary and hostile values. Every
call must return a result of the right form or raise one of the errors the
module documents; nothing may write to an input buffer. When the call holds a
single float64 episode and a driver whose result is then deterministic, the
result must equal, byte for byte, the result for a contiguous copy of that
episode: a misread stride or offset shows up as a different table.

Run by `make fuzz` (FUZZ_TIME seconds), or directly:
    python fuzz/fuzz_arguments.py -max_total_time=60 [corpus dir]
"""

import hashlib
import sys
import warnings

import atheris
import numpy as np

import tarnel


def _training_failure_type():
    try:
        tarnel.qlearn_forward([], (1, 1), 0.9, 0.1, 1, False)
    except BaseException as error:  # noqa: BLE001 - the type is what we want
        return type(error)
    raise AssertionError("an empty episode list trained")


TRAINING_FAILURE = _training_failure_type()
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, TRAINING_FAILURE)

def is_table(result):
    return (isinstance(result, np.ndarray) and result.dtype == np.float64 and result.flags.f_contiguous
            and result.flags.writeable)


# Every callable the target reaches, by its name in the module, with what a
# result of it must be. Its parameters are read off its text signature and
# drawn from the tables below; a new function or type of the module gets one
# line here.
CALLS = {
    **{name: is_table for name in tarnel.__all__},
    "check_episodes": lambda result: result is None,
    "visit_counts": lambda result: isinstance(result, np.ndarray) and result.dtype == np.uint64,
}
FUNCTIONS = list(CALLS)
# Single-episode results of these do not depend on the random picks.
DETERMINISTIC = {"qlearn_forward", "td_learn_backward", "expected_sarsa", "fast_learn",
                 "learn_until_convergence", "check_episodes"}
DTYPES = ["f8", "f8", "f8", "f8", "f4", ">f8", "i8", "u1", "c16", "f2", "g"]
SMALL_OR_REFUSED = [0, 1, 2, 3, 4, 5, -1, 1 << 64, 1 << 63, (1 << 64) - 1, 1 << 62, True, False,
                    np.uint64(3), np.int8(-2), 2.0, "3", None]
REALS = [0.9, 0.1, 0.0, -0.0, 1.0, float("nan"), float("inf"), -float("inf"), 5e-324, 1e308, 2, True,
         np.float32(0.5), np.float16(0.25), 1j, "0.5", None, np.array([0.5]), np.array(0.5)]
SHAPES = [(2, 2), (3, 2), (1, 1), (4, 3), (0, 2), (2, 0), (0, 0), (8, 4), (1 << 40, 1 << 40), (1 << 63, 2),
          (0, 1 << 62), (2, -1), (2,), (2, 2, 2), [2, 2], None, (2.0, 2), (np.int64(2), np.uint8(2))]
FLAGS = [False, True, 0, 1, None, np.True_]
COLUMN_DTYPES = ["?", "i1", "u2", ">i4", "i8", "u8", "f2", "f4", ">f8", "f8", "c8", "M8[s]", "V3"]
OTHER_DATA = ["", "ab", b"", b"\x00", None, 3, {}, set(), range(2), (x for x in []), [[0, 0, 0, 0, 0]],
              [None], [np.float64(1.0)], [np.zeros(5)], [np.zeros((1, 5, 1))]]


@atheris.instrument_func
def episode_array(fdp):
    """An episode array over a byte buffer of its own, with the layout and
    dtype the input asks for, always within the buffer. Returns (array,
    buffer)."""
    dtype = np.dtype(DTYPES[fdp.ConsumeIntInRange(0, len(DTYPES) - 1)])
    rows = fdp.ConsumeIntInRange(0, 6)
    columns = fdp.ConsumeIntInRange(0, 7) if fdp.ConsumeBool() else 5
    size = dtype.itemsize
    # Element steps in items: Fortran or C order, gaps, reversal, repetition.
    row_step = fdp.ConsumeIntInRange(-3, 3)
    column_step = fdp.ConsumeIntInRange(-3, 3)
    if fdp.ConsumeBool():
        row_step, column_step = row_step * max(columns, 1), column_step
    else:
        row_step, column_step = row_step, column_step * max(rows, 1)
    strides = (row_step * size + fdp.ConsumeIntInRange(0, 3), column_step * size)
    offset = fdp.ConsumeIntInRange(0, 7)
    low = sum(min(0, (n - 1) * s) for n, s in zip((rows, columns), strides) if n)
    high = sum(max(0, (n - 1) * s) for n, s in zip((rows, columns), strides) if n)
    length = offset + high - low + size
    buffer = bytearray(length)
    if fdp.ConsumeBool():
        raw = fdp.ConsumeBytes(length)
        buffer[: len(raw)] = raw
    # NumPy itself refuses a layout that would leave the buffer.
    array = np.ndarray((rows, columns), dtype=dtype, buffer=buffer, offset=offset - low, strides=strides)
    if fdp.ConsumeBool() and dtype == np.float64:
        # Small indexes and terminal flags, so that some episodes train.
        array[...] = np.array([fdp.ConsumeIntInRange(0, 4) for _ in range(array.size)],
                              dtype=np.float64).reshape(array.shape) if array.size else array
    if fdp.ConsumeBool():
        array.flags.writeable = False
    return array, buffer


@atheris.instrument_func
def episode_table(fdp, buffers):
    """An EpisodeTable over columns of the input's dtypes and steps, each over a
    byte buffer of its own, with ends that may or may not fit them; None when
    the table refuses them, as it may only with TypeError or ValueError."""
    rows = fdp.ConsumeIntInRange(0, 12)
    columns = []
    for _ in range(5):
        dtype = np.dtype(COLUMN_DTYPES[fdp.ConsumeIntInRange(0, len(COLUMN_DTYPES) - 1)])
        step = fdp.ConsumeIntInRange(1, 3)
        length = rows + (fdp.ConsumeIntInRange(-1, 1) if fdp.ConsumeIntInRange(0, 7) == 0 else 0)
        buffer = bytearray(fdp.ConsumeBytes(max(length, 0) * step * dtype.itemsize).ljust(
            max(length, 0) * step * dtype.itemsize, b"\0"))
        buffers.append(buffer)
        columns.append(np.frombuffer(buffer, dtype=dtype)[::step] if length > 0 else np.zeros(0, dtype))
    ends = sorted(fdp.ConsumeIntInRange(0, rows) for _ in range(fdp.ConsumeIntInRange(0, 4))) + [rows]
    if fdp.ConsumeIntInRange(0, 7) == 0:
        ends = [fdp.ConsumeIntInRange(-2, rows + 2) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    try:
        return tarnel.EpisodeTable(*columns, np.array(ends, dtype=np.int64))
    except (TypeError, ValueError):
        return None


@atheris.instrument_func
def decode(fdp):
    name = FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]
    buffers = []
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind <= 1:
        episodes = []
        for _ in range(fdp.ConsumeIntInRange(0, 3)):
            array, buffer = episode_array(fdp)
            episodes.append(array)
            buffers.append(buffer)
        data = episodes if kind == 0 else tuple(episodes)
    elif kind == 2:
        array, buffer = episode_array(fdp)
        buffers.append(buffer)
        data = np.stack([array] * fdp.ConsumeIntInRange(1, 3)) if fdp.ConsumeBool() else array
    elif kind == 3 or (data := episode_table(fdp, buffers)) is None:
        data = OTHER_DATA[fdp.ConsumeIntInRange(0, len(OTHER_DATA) - 1)]

    def pick(table):
        return table[fdp.ConsumeIntInRange(0, len(table) - 1)]

    values = {"data": data, "q_shape": pick(SHAPES), "discount_factor": pick(REALS),
              "learning_rate": pick(REALS), "max_iterations": pick(SMALL_OR_REFUSED),
              "boostrap_sample_size": pick(SMALL_OR_REFUSED), "iter_ql": pick(SMALL_OR_REFUSED),
              "ql_iter": pick(SMALL_OR_REFUSED), "verbose": pick(FLAGS), "quit_threshold": pick(REALS)}
    if fdp.ConsumeIntInRange(0, 3) != 0:  # mostly valid values, to get past conversion
        values.update(q_shape=pick(SHAPES[:8]), discount_factor=0.9, learning_rate=0.5,
                      max_iterations=fdp.ConsumeIntInRange(0, 5),
                      boostrap_sample_size=fdp.ConsumeIntInRange(0, 3), iter_ql=fdp.ConsumeIntInRange(0, 3),
                      ql_iter=fdp.ConsumeIntInRange(0, 3), verbose=False, quit_threshold=None)
    parameters = list(getattr(tarnel, name).__text_signature__.strip("()").replace("=None", "").split(", "))
    return name, {p: values[p] for p in parameters}, buffers, fdp.ConsumeBool()


def cheap(arguments):
    """Counts that keep a call short: large accepted values would only make the
    drivers run long (three of them have no bound on their iterations but
    max_iterations) or start very many threads, which is not the subject. A
    bootstrap sample too large to size fails before any work."""
    for name in ("max_iterations", "boostrap_sample_size", "iter_ql", "ql_iter"):
        value = arguments.get(name, 0)
        if not isinstance(value, (int, np.integer)):
            continue  # refused by conversion
        value = int(value)
        unsizable = name == "boostrap_sample_size" and value >= 1 << 61
        if 5 < value < 1 << 64 and not unsizable:
            return False
    return True


def call(name, arguments, by_keyword):
    function = getattr(tarnel, name)
    try:
        return function(**arguments) if by_keyword else function(*arguments.values())
    except ALLOWED as error:
        return error


def outcome_key(outcome):
    if isinstance(outcome, BaseException):
        return (type(outcome), str(outcome))
    if isinstance(outcome, np.ndarray):
        return (outcome.shape, outcome.tobytes())
    return outcome


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    name, arguments, buffers, by_keyword = decode(fdp)
    if not cheap(arguments):
        return
    digests = [hashlib.sha256(b).digest() for b in buffers]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        outcome = call(name, arguments, by_keyword)
    if not isinstance(outcome, BaseException):
        assert CALLS[name](outcome), (name, outcome)
    assert [hashlib.sha256(b).digest() for b in buffers] == digests, "an input buffer was written"
    episodes = arguments["data"]
    if (name in DETERMINISTIC and isinstance(episodes, list) and len(episodes) == 1
            and isinstance(episodes[0], np.ndarray) and episodes[0].dtype == np.float64
            and episodes[0].ndim == 2):
        copy = dict(arguments, data=[np.ascontiguousarray(episodes[0])])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            again = call(name, copy, by_keyword)
        assert outcome_key(outcome) == outcome_key(again), (episodes[0].strides, outcome, again)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
