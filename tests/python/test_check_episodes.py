"""`check_episodes`: the cells of episode data that training would not read
as recorded and the report listing them, the warnings, data that reads as
recorded (which every training function then takes), the calls it refuses
exactly as the training functions do; and `visit_counts` against NumPy."""

import inspect
import re
import sys
import warnings

import numpy as np
import pytest

import tarnel
from conftest import SIGNATURES, arguments, episode, table_of

SHAPE = (4, 2)
CLEAN = episode((0, 1, 1.0, 1, 0), (1, 0, -2.5, 3, 0), (3, 1, 0.0, 2, 1))
NAN, INF = float("nan"), float("inf")
NO_ROWS = "has no rows; td_learn_backward fails on it, the other functions learn nothing from it"
REWARD_NAN = "the entries training updates with it become NaN, and a NaN table sum disables the stop test"
REWARD_INF = ("the entries training updates with it become infinite or NaN, and a table sum that is not finite "
              "disables the stop test")


def report(kinds, lines, total=None):
    total = len(lines) if total is None else total
    order = f"the first {len(lines)} in data order:" if total > len(lines) else "each in data order:"
    return "\n".join([f"check_episodes found {total} problem{'' if total == 1 else 's'} in data:",
                      *(f"  {kind}" for kind in kinds), order, *(f"  {line}" for line in lines)])


def found(data, q_shape=SHAPE):
    with pytest.raises(ValueError) as caught:
        tarnel.check_episodes(data, q_shape)
    return str(caught.value)


# One faulty row of a (4, 2) table each, and what the report says of it.
FINDINGS = [
    ((NAN, 0, 0, 1, 0), "state NaN is not a number; training reads it as 0"),
    ((-1, 0, 0, 1, 0), "state -1 is negative; training reads it as 0"),
    ((-INF, 0, 0, 1, 0), "state -inf is negative; training reads it as 0"),
    ((INF, 0, 0, 1, 0), "state inf is infinite; training reads it as 18446744073709551615 and fails on it"),
    ((2.5, 0, 0, 1, 0), "state 2.5 is not an integer; training reads it as 2"),
    ((4.75, 0, 0, 1, 0), "state 4.75 is not an integer; training reads it as 4 and fails on it"),
    ((4, 0, 0, 1, 0), "state 4 is not below the number of states, 4; training fails on it"),
    ((1e20, 0, 0, 1, 0), "state 100000000000000000000 is not below the number of states, 4; training fails on it"),
    ((0, NAN, 0, 1, 0), "action NaN is not a number; training reads it as 0"),
    ((0, -0.5, 0, 1, 0), "action -0.5 is negative; training reads it as 0"),
    ((0, INF, 0, 1, 0), "action inf is infinite; training reads it as 18446744073709551615 and fails on it"),
    ((0, 1.25, 0, 1, 0), "action 1.25 is not an integer; training reads it as 1"),
    ((0, 2, 0, 1, 0), "action 2 is not below the number of actions, 2; training fails on it"),
    ((0, 0, NAN, 1, 0), f"reward NaN is not a number; {REWARD_NAN}"),
    ((0, 0, INF, 1, 0), f"reward inf is infinite; {REWARD_INF}"),
    ((0, 0, -INF, 1, 0), f"reward -inf is infinite; {REWARD_INF}"),
    ((0, 0, 0, NAN, 0), "next state NaN is not a number; training reads it as 0"),
    ((0, 0, 0, -3, 0), "next state -3 is negative; training reads it as 0"),
    ((0, 0, 0, INF, 0), "next state inf is infinite; training reads it as 18446744073709551615 and fails on it"),
    ((0, 0, 0, 0.5, 0), "next state 0.5 is not an integer; training reads it as 0"),
    ((0, 0, 0, 7, 0), "next state 7 is not below the number of states, 4; training fails on it"),
    ((0, 0, 0, 1, 0.5), "terminal 0.5 is neither 0 nor 1; training reads it as not terminal"),
    ((0, 0, 0, 1, -1), "terminal -1 is neither 0 nor 1; training reads it as not terminal"),
    ((0, 0, 0, 1, NAN), "terminal NaN is neither 0 nor 1; training reads it as not terminal"),
    ((0, 0, 0, 1, 1e-300), "terminal 0." + "0" * 299 + "1 is neither 0 nor 1; training reads it as not terminal"),
]


FORMS = {"list": list, "table": table_of}


@pytest.mark.parametrize("form", FORMS.values(), ids=FORMS)
@pytest.mark.parametrize("row, line", FINDINGS, ids=[line.split(";")[0] for _, line in FINDINGS])
def test_each_fault_is_one_finding(row, line, form):
    # The faulty row is the second of the third episode.
    data = form([CLEAN, CLEAN, episode((1, 1, 0.5, 2, 0), row)])
    assert found(data).splitlines()[-1] == f"  episode 2 of data, row 1: {line}"


def test_a_terminal_flag_that_is_not_1_leaves_the_next_state_read():
    # Both cells are findings, in column order: a flag of 0.5 does not end
    # the episode, so the next state -1 is read.
    assert found([episode((0, 0, 0, -1, 0.5))]).splitlines()[-2:] == [
        "  episode 0 of data, row 0: next state -1 is negative; training reads it as 0",
        "  episode 0 of data, row 0: terminal 0.5 is neither 0 nor 1; training reads it as not terminal"]


# Data every transition of which reads as recorded.
CLEAN_DATA = {
    "plain": [CLEAN],
    "table edges": [episode((3, 1, 0, 3, 0), (0, 0, -1e300, 1, 1))],
    "sentinels on terminal rows": [episode((0, 0, 1, 1, 0), (1, 1, 1, -1, 1)), episode((2, 0, 1, NAN, 1)),
                                   episode((3, 1, 0, 3.5, 1))],
    "negative zeros": [episode((-0.0, -0.0, -0.0, -0.0, -0.0), (0, 1, 0, 1, 1))],
    "a walk cut while it stays at state 0": [episode((1, 0, 0, 0, 0), (0, 0, 0, 0, 0))],
    "further columns ignored": [np.hstack([CLEAN, np.full((3, 2), NAN)])],
    "3-D data": np.stack([CLEAN, CLEAN[::-1]]),
    "Fortran order": [np.asfortranarray(CLEAN)],
}


@pytest.mark.parametrize("data", CLEAN_DATA.values(), ids=CLEAN_DATA)
def test_clean_data_returns_none(data):
    assert tarnel.check_episodes(data, SHAPE) is None


@pytest.mark.parametrize("name", SIGNATURES)
@pytest.mark.parametrize("data", CLEAN_DATA.values(), ids=CLEAN_DATA)
def test_training_takes_what_the_check_passes(capfd, name, data):
    table = getattr(tarnel, name)(*arguments(name, data, SHAPE, 0.9, 0.5, 20, sample_size=2, workers=2))
    assert np.isfinite(table).all()
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("name", ["qlearn_forward", "double_q"])
@pytest.mark.parametrize("row", [row for row, line in FINDINGS if line.endswith("fails on it")])
def test_training_fails_where_the_check_says_so(capfd, training_failure, name, row):
    # One episode, so every iteration replays the faulty row.
    with pytest.raises(training_failure) as caught:
        getattr(tarnel, name)([episode(row)], SHAPE, 0.9, 0.5, 5, False)
    assert str(caught.value).startswith("index out of bounds: ")
    assert capfd.readouterr().err == f"tarnel: {caught.value}\n"


def test_ten_findings_are_shown_and_all_are_counted():
    # Five findings in each row of `bad`, in column order.
    bad = episode(*[(-1, -1, NAN, -1, 0.5)] * 2)
    cells = ["state -1 is negative", "action -1 is negative", "reward NaN is not a number", "next state -1 is negative",
             "terminal 0.5 is neither 0 nor 1"]
    then = ["training reads it as 0"] * 2 + [REWARD_NAN, "training reads it as 0", "training reads it as not terminal"]
    lines = [f"episode {k} of data, row {r}: {c}; {t}" for k in (1, 3, 4) for r in (0, 1) for c, t in zip(cells, then)]
    missing = "; it may mark a missing next state at the end of an episode whose terminal flag is not 1"
    kinds = lambda *rows: [f"{n} rows: {c} (first: episode 1 of data, row 0)" + missing * (c[0] == "n")  # noqa: E731
                           for n, c in zip(rows, cells)]

    assert found([CLEAN, bad, CLEAN, bad, bad]) == report(kinds(*[6] * 5), lines[:10], total=30)
    assert found([CLEAN, bad]) == report(kinds(*[2] * 5), lines[:10])
    one_more = episode((0, 0, 0, -9, 1), (0, 0, 0, 0, 2))
    assert found([CLEAN, bad, one_more]) == report(kinds(2, 2, 2, 2, 3), lines[:10], total=11)


def test_empty_episodes():
    # An array without rows needs no columns at all.
    assert found([CLEAN, np.zeros((0, 5)), np.zeros((0, 3))]) == report(
        ["2 episodes have no rows (first: episode 1 of data)"],
        [f"episode 1 of data {NO_ROWS}", f"episode 2 of data {NO_ROWS}"])
    assert found(np.zeros((2, 0, 5))) == report(["2 episodes have no rows (first: episode 0 of data)"],
                                                [f"episode 0 of data {NO_ROWS}", f"episode 1 of data {NO_ROWS}"])


CUT = ("a terminal state has no future, so these flags are probably time-limit cuts (truncations) recorded as "
       "terminations: give such a row terminal flag 0")
PADDING = "this looks like padding, which training replays as transitions from state 0 by action 0: drop those rows"

# Data, the report it raises (None: it passes) and the warnings it gives.
WHOLE_DATA = {
    "1-based next states": ([episode((1, 0, -1, 2, 0), (2, 1, -1, 4, 1))] * 2, None, [
        "2 terminal rows: next state 4 is not below the number of states, 4 (first: episode 0 of data, row 1); "
        "training does not read it there, but states may be 1-based or shifted"]),
    "1-based states": ([episode((4, 0, -1, 1, 0), (1, 1, -1, 3, 1))], report(
        ["1 row: state 4 is not below the number of states, 4 (first: episode 0 of data, row 0); states may be 1-based"],
        ["episode 0 of data, row 0: state 4 is not below the number of states, 4; training fails on it"]), []),
    "cut marked terminal": ([episode((0, 1, -1, 1, 0), (1, 0, -1, 2, 1)), episode((2, 1, -1, 3, 1))], None, [
        f"1 terminal row leads to 1 state that also starts recorded transitions (first: episode 0 of data, row 1, "
        f"next state 2); {CUT}"]),
    "padded 3-D": (np.stack([CLEAN, episode((1, 0, -2.5, 2, 1), (0,) * 5, (0,) * 5), np.zeros((3, 5))]), None, [
        "2 episodes end in all-zero rows that follow a terminal row or fill the episode, 5 rows in all (first: "
        f"episode 1 of data, rows 1 to 2); {PADDING}"]),
    "no episodes": ([], report(["data has no episodes"], ["data has no episodes; training fails on it, having no "
                                                         "episode to replay"]), []),
    "too few columns": ([np.zeros((1, 4)), episode((0, 0, 0.5, 2, 0))], report(
        ["1 episode has fewer than 5 columns (first: episode 0 of data, with 4)"],
        ["episode 0 of data has 4 columns, but a transition needs 5 (state, action, reward, next state, terminal "
         "flag); training fails on it"]), []),
}


@pytest.mark.parametrize("form", FORMS.values(), ids=FORMS)
@pytest.mark.parametrize("data, raised, warned", WHOLE_DATA.values(), ids=WHOLE_DATA)
def test_whole_data_findings_and_warnings(data, raised, warned, form):
    if form is table_of:
        if any(np.shape(e)[1] < 5 for e in data):
            pytest.skip("a table has its five columns")
        data = table_of(data)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert (tarnel.check_episodes(data, SHAPE) if raised is None else found(data)) == raised
    assert [(w.category, str(w.message), w.filename) for w in caught] == [
        (tarnel.DataWarning, text, __file__) for text in warned]
    if warned:  # the suite turns warnings into errors
        with pytest.raises(tarnel.DataWarning, match=re.escape(warned[0])):
            tarnel.check_episodes(data, SHAPE)


@pytest.mark.parametrize("ids, q_shape", [(("FrozenLake-v1",), (16, 4)), (("CliffWalking-v1", "CliffWalking-v0"),
                                          (48, 4)), (("Taxi-v4", "Taxi-v3"), (500, 6))], ids=lambda x: str(x[0]))
def test_recorded_gymnasium_data_passes_without_warning(ids, q_shape):
    gym = pytest.importorskip("gymnasium")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # whatever the environments say of themselves
        env = gym.make(next(i for i in ids if i in gym.envs.registry), max_episode_steps=200)
        rng, data = np.random.default_rng(0), []
        for seed in range(300):
            state, _ = env.reset(seed=seed)
            rows, done = [], False
            while not done:
                nxt, reward, terminated, truncated, _ = env.step(action := int(rng.integers(q_shape[1])))
                rows.append((state, action, reward, nxt, terminated))
                state, done = nxt, terminated or truncated
            data.append(np.array(rows, dtype=np.float64))
    assert tarnel.check_episodes(data, q_shape) is None  # a warning would be an error here


@pytest.mark.parametrize("form", [list, np.stack, table_of])
def test_visit_counts_against_np_add_at(form):
    rng = np.random.default_rng(5)
    rows = rng.integers(-1, 7, size=(40, 6, 5)) + rng.choice([0, 0.5], size=(40, 6, 5))
    rows[rng.random(rows.shape) < 0.1] = NAN
    counts = tarnel.visit_counts(form(list(rows) + [np.zeros((0, 5))] * (form is not np.stack)), (5, 3))
    # As training reads them: truncated, NaN and negatives as 0.
    s, a = (np.where(np.isnan(c) | (c < 0), 0, np.trunc(c)).ravel() for c in (rows[..., 0], rows[..., 1]))
    inside = (s < 5) & (a < 3)
    expected = np.zeros((5, 3), dtype=np.uint64)
    np.add.at(expected, (s[inside].astype(int), a[inside].astype(int)), 1)
    assert counts.dtype == np.uint64 and counts.flags.f_contiguous and counts.flags.writeable
    np.testing.assert_array_equal(counts, expected)


def test_rows_are_numbered_in_the_views_order():
    stored = episode((0, 0, 0, 1, 0), (9, 0, 0, 1, 0), (1, 1, 0, 3, 1))
    assert found([stored[::-1]]).splitlines()[-1] == (
        "  episode 0 of data, row 1: state 9 is not below the number of states, 4; training fails on it")


def test_the_table_shape_decides_the_range():
    assert tarnel.check_episodes([CLEAN], (2**64 - 1, 2)) is None
    assert found([CLEAN], (4, 1)) == report(
        ["2 rows: action 1 is not below the number of actions, 1 (first: episode 0 of data, row 0); actions may be "
         "1-based"],
        ["episode 0 of data, row 0: action 1 is not below the number of actions, 1; training fails on it",
         "episode 0 of data, row 2: action 1 is not below the number of actions, 1; training fails on it"])


def test_arrays_are_given_back():
    arrays = [CLEAN.copy(), episode((-1, 0, 0, 1, 1))]
    before = [sys.getrefcount(a) for a in arrays]
    tarnel.check_episodes(arrays[:1], SHAPE)
    try:  # not pytest.raises, whose record of the traceback would hold the arrays
        tarnel.check_episodes(arrays, SHAPE)
    except ValueError:
        pass
    assert [sys.getrefcount(a) for a in arrays] == before


# ------------------------------------------------------------ the function

@pytest.mark.parametrize("name", ["check_episodes", "visit_counts"])
def test_attribute_and_signature(name):
    function = getattr(tarnel, name)
    assert name not in tarnel.__all__ and function.__doc__.startswith(("Checks episode data", "The data's support"))
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "tarnel" and function.__self__ is tarnel
    assert function.__text_signature__ == "(data, q_shape)"
    parameters = list(inspect.signature(function).parameters.values())
    assert [p.name for p in parameters] == ["data", "q_shape"]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is inspect.Parameter.empty
               for p in parameters)


def check_episodes(data, q_shape):  # the plain Python twin: CPython's binding errors are the expected ones
    pass


@pytest.mark.parametrize("args, keywords", [
    ((), {}),
    ((0,), {}),
    ((0, 1, 2), {}),
    ((0, 1, 2, 3, 4), {}),
    ((), {"data": 0}),
    ((), {"q_shape": 0}),
    ((0, 1), {"bogus": 0}),
    ((0,), {"Data": 0}),
    ((0,), {"data": 0}),
    ((0, 1), {"q_shape": 0}),
    ((), {"data": 0, "q_shape": 1, "quit_threshold": None}),
], ids=repr)
def test_binding_errors_match_cpython(args, keywords):
    with pytest.raises(TypeError) as expected:
        check_episodes(*args, **keywords)
    with pytest.raises(TypeError) as caught:
        tarnel.check_episodes(*args, **keywords)
    # Newer interpreters append a spelling hint to unexpected keywords; the
    # module's texts end where older ones did.
    assert str(caught.value) == re.sub(r"\. Did you mean '.*'\?$", "", str(expected.value))


def test_keywords_bind_like_positions():
    bad = [episode((0, 0, 0, 9, 0))]
    text = found(bad)
    with pytest.raises(ValueError) as caught:
        tarnel.check_episodes(q_shape=SHAPE, data=bad)
    assert str(caught.value) == text
    assert tarnel.check_episodes([CLEAN], q_shape=SHAPE) is None


def training_error(data, q_shape):
    with pytest.raises(BaseException) as caught:
        tarnel.qlearn_forward(data, q_shape, 0.9, 0.5, 1, False)
    return caught.value


@pytest.mark.parametrize("data, q_shape", [
    ("abc", SHAPE),
    (None, SHAPE),
    ((row for row in [CLEAN]), SHAPE),
    (CLEAN, SHAPE),
    ([CLEAN, [1.0] * 5], SHAPE),
    ([CLEAN.astype(np.float32)], SHAPE),
    ([CLEAN.astype(">f8")], SHAPE),
    ([CLEAN[None]], SHAPE),
    ([CLEAN], [4, 2]),
    ([CLEAN], (4, 2, 1)),
    ([CLEAN], (4, -1)),
    ([CLEAN], (2**64, 2)),
    ([CLEAN], (4, 2.0)),
], ids=["str", "None", "generator", "2-D data", "list item", "float32", "big-endian", "3-D item", "list shape",
        "three sizes", "negative size", "huge size", "float size"])
def test_refused_arguments_as_training_refuses_them(data, q_shape):
    expected = training_error(data, q_shape)
    assert isinstance(expected, (TypeError, ValueError, OverflowError))
    with pytest.raises(type(expected)) as caught:
        tarnel.check_episodes(data, q_shape)
    assert type(caught.value) is type(expected) and str(caught.value) == str(expected)


class ResizingIndex:
    """A size whose conversion first resizes `array` and reuses its memory."""

    def __init__(self, array):
        self.array = array

    def __index__(self):
        self.array.resize((1, 5), refcheck=False)
        self.junk = [np.full((4, 5), 1e300) for _ in range(64)]
        return 2


def test_array_resized_by_a_later_argument(capfd, training_failure):
    data = [CLEAN.copy(), CLEAN.copy()]
    with pytest.raises(training_failure) as caught:
        tarnel.check_episodes(data, (4, ResizingIndex(data[1])))
    text = "episode array 1 was resized or retyped while the call's arguments were being converted"
    assert str(caught.value) == text
    assert capfd.readouterr().err == f"tarnel: {text}\n"


def test_memory_released_by_giving_back_an_earlier_array(capfd, training_failure):
    # Array 0 is given back as soon as it is checked; its finaliser then
    # frees the memory under array 1, which is checked before it is read.
    block = np.zeros((8, 5))
    block[:3] = CLEAN

    class Doomed(np.ndarray):
        def __del__(self):
            block.resize((1, 5), refcheck=False)

    class Episodes:
        def __len__(self):
            return 2

        def __getitem__(self, k):
            return [lambda: CLEAN.copy().view(Doomed), lambda: block[0:3]][k]()

    with pytest.raises(training_failure) as caught:
        tarnel.check_episodes(Episodes(), SHAPE)
    text = "the memory that episode array 1 views was released or moved before its episode was built"
    assert str(caught.value) == text
    assert capfd.readouterr().err == f"tarnel: {text}\n"


# Twelve walks of three rows from cell k % 4, stepping right (from cell 0 a
# first step left, an all-zero row); the even ones end in the goal, 9, the odd
# ones are cut by a timeout. Cell 9 starts nothing.
WALKS = [[(0, 0, 0, 0, 0), (0, 1, 0, 1, 0), (1, 1, 0, 2, 0)] if k % 4 == 0 else
         [(s, 1, 0, s + 1, 0) for s in range(k % 4, k % 4 + 3)] for k in range(12)]
for k, walk in enumerate(WALKS):
    walk[-1] = walk[-1][:2] + ((1, 9, 1) if k % 2 == 0 else walk[-1][2:])
LOG = np.array(WALKS, dtype=np.float64)  # walk, step, column
IDS, STEPS = np.indices(LOG.shape[:2])
FOLLOWING = np.append(LOG[1:, 0, 0], LOG[-1, -1, 0])  # each walk's last next state guessed from the next row
FIX = "build the table with tarnel.EpisodeTable.from_ids, which groups the rows by episode id and orders each episode's rows by step"


@pytest.mark.parametrize("faulty, clean, text", [
    (lambda: [np.array(w[:2] + [(*w[2][:3], FOLLOWING[k], w[2][4])]) for k, w in enumerate(WALKS)],
     lambda: tarnel.EpisodeTable.from_flags(LOG[..., 0].ravel(), LOG[..., 1].ravel(), LOG[..., 2].ravel(),
                                            LOG[..., 4].ravel(), ((STEPS == 2) & (IDS % 2 == 1)).ravel()),
     "11 of 12 episodes end in a row whose next state is the first state of the episode after it (first: episode 0 of "
     "data, row 2, next state 1); these next states were probably taken from the following row of the log, which "
     "starts another episode, and training replays the 5 such rows without a terminal flag as steps into it: build "
     "the table with tarnel.EpisodeTable.from_flags, which takes next states within each episode"),
    (lambda: list(LOG.transpose(1, 0, 2).reshape(-1, 1, 5)),  # step by step, each row its own episode
     lambda: tarnel.EpisodeTable.from_ids(IDS.T.ravel(), *LOG.transpose(2, 1, 0).reshape(5, -1), step=STEPS.T.ravel()),
     "30 of 36 episodes are one row long and end without a terminal flag (first: episode 0 of data, row 0); the rows "
     f"of the log probably stand out of order, cut into episodes wherever the episode id changes: {FIX}"),
    (lambda: list(LOG[:, ::-1]),
     lambda: tarnel.EpisodeTable.from_ids(IDS.ravel(), *LOG[:, ::-1].reshape(-1, 5).T, step=STEPS[:, ::-1].ravel()),
     "24 of 24 rows lead to a next state that is not the state of the row after them in their episode (first: episode "
     f"0 of data, row 0, next state 9); the rows of the log probably stand out of order: {FIX}"),
], ids=["next states from the following row", "one row per episode", "rows out of order within episodes"])
def test_a_layout_warning_fires_alone_on_its_layout_and_not_on_the_table_built_right(faulty, clean, text):
    # Each faulty layout would also show terminal states that start
    # transitions, or padding; the layout explains them.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tarnel.check_episodes(faulty(), (10, 2))
    assert [str(w.message) for w in caught] == [text]
    assert tarnel.check_episodes(clean(), (10, 2)) is None
