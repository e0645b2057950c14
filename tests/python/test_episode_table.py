"""EpisodeTable: flat columns of any numeric type read as the episodes they
stand for. NumPy's own astype is the oracle of every value; a call on a
table must do exactly what the same call does on list(table)."""

import pickle
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

import tarnel
from conftest import SIGNATURES, arguments, unless_sanitized

rng = np.random.default_rng(3)
ROWS = 700  # several blocks of rows, so one episode comes in several pieces
STATE = rng.integers(0, 6, ROWS)
ACTION = rng.integers(0, 3, ROWS)
REWARD = rng.standard_normal(ROWS)
NEXT = rng.integers(0, 6, ROWS)
TERMINAL = rng.random(ROWS) < 0.05


def strided(values, dtype):
    """Every other element of a wider array."""
    wide = np.zeros(2 * len(values), dtype=dtype)
    wide[::2] = values
    return wide[::2]


def memmapped(values, dtype, path):
    np.save(path, np.asarray(values, dtype=dtype))
    return np.load(path, mmap_mode="r")


LAYOUTS = {
    "logged": lambda tmp: (STATE.astype(np.int32), ACTION.astype(np.int8), REWARD.astype(np.float32),
                           NEXT.astype(np.int32), TERMINAL),
    "wide": lambda tmp: (STATE.astype(np.uint64), ACTION.astype(np.int16), REWARD.astype(np.float16),
                         NEXT.astype(np.uint8), TERMINAL.astype(np.float64)),
    "strided, big-endian": lambda tmp: (strided(STATE, ">i4"), strided(ACTION, np.uint16), strided(REWARD, ">f8"),
                                        strided(NEXT, np.int64), strided(TERMINAL, np.int8)),
    "memory-mapped": lambda tmp: (memmapped(STATE, np.int32, tmp / "s.npy"), ACTION.astype(np.uint32),
                                  memmapped(REWARD, np.float32, tmp / "r.npy"), NEXT, TERMINAL),
    "lists": lambda tmp: (STATE.tolist(), ACTION.tolist(), REWARD.tolist(), NEXT.tolist(), TERMINAL.tolist()),
}


# double_q flips a coin at every update, so two of its calls never agree.
@pytest.mark.parametrize("name", [name for name in SIGNATURES if name != "double_q"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_a_call_on_a_table_is_the_call_on_its_episodes(capfd, tmp_path, layout, name):
    # One episode: every pick and every bootstrap sample is the same, so both
    # calls are deterministic and must agree bit for bit, printed lines too.
    table = tarnel.EpisodeTable(*LAYOUTS[layout](tmp_path), [ROWS])
    results = []
    for data in (table, list(table)):
        capfd.readouterr()
        results.append((getattr(tarnel, name)(*arguments(name, data, (6, 3), 0.9, 0.25, 300, True, workers=2)),
                        capfd.readouterr()))
    (table_result, table_printed), (list_result, list_printed) = results
    assert table_result.tobytes() == list_result.tobytes()
    assert table_printed == list_printed


def test_episodes_slices_and_pickles_are_numpys_rows():
    reward = REWARD.astype(np.float16)
    reward[:6] = [6e-8, -3e-5, np.inf, np.nan, -0.0, 65504]  # subnormal halves and the special values
    columns = (STATE.astype(np.int32), ACTION.astype(np.int8), reward, strided(NEXT, ">u2"), TERMINAL)
    ends = [0, 5, 5, 300, 301, 690, ROWS]
    table = tarnel.EpisodeTable(*columns, np.array(ends, dtype=np.int16))
    rows = np.column_stack(columns).astype(np.float64)
    starts = [0, *ends[:-1]]
    expected = [rows[a:b] for a, b in zip(starts, ends)]
    assert len(table) == len(ends)
    for got, want in zip(table, expected, strict=True):
        assert got.flags.c_contiguous and got.dtype == np.float64 and got.shape == want.shape
        assert got.tobytes() == want.tobytes()
    assert table[-1].tobytes() == expected[-1].tobytes()
    part = table[2:5]
    assert [a.tobytes() for a in part] == [a.tobytes() for a in expected[2:5]]
    for copy in (pickle.loads(pickle.dumps(table)), pickle.loads(pickle.dumps(part))):
        original = table if len(copy) == len(table) else part
        assert [a.tobytes() for a in copy] == [a.tobytes() for a in original]
    assert repr(part) == ("EpisodeTable(3 episodes, 296 rows; state int32, action int8, reward float16, "
                          "next_state >u2, terminal bool)")
    with pytest.raises(IndexError, match="^episode index out of range$"):
        table[len(ends)]


# A table's episodes are converted as the training picks them: a call that
# never picks the episode never reads its rejected row, and one that does
# fails there, as the same call on its episode arrays fails.
@pytest.mark.parametrize("iterations", [0, 1000])
def test_a_failure_is_located_in_the_table(capfd, iterations):
    state = np.array([0, 1, 0, 1, 5, 0], dtype=np.int8)
    # Episodes 0 and 1 are empty, so every failing pick is episode 2's row 2.
    table = tarnel.EpisodeTable(state, np.zeros(6, int), np.ones(6), np.ones(6, int), np.zeros(6, bool), [0, 0, 6])
    if iterations == 0:
        assert not tarnel.qlearn_forward(table, (2, 1), 0.9, 0.5, iterations, False).any()
        assert capfd.readouterr().err == ""
        return
    notes = []
    for data in (table, list(table)):
        with pytest.raises(tarnel.TrainingFailure) as caught:
            tarnel.qlearn_forward(data, (2, 1), 0.9, 0.5, iterations, False)
        notes.append((str(caught.value), caught.value.__notes__))
    assert notes[0] == notes[1] == ("index out of bounds: state 5 is not below the number of states, 2",
                                    ["episode 2 of data, row 4: state 5, action 0, reward 1, next state 1, "
                                     "terminal 0"])
    assert capfd.readouterr().err == 2 * f"tarnel: {notes[0][0]}\n"


GOOD = [np.zeros(4, int), np.zeros(4, int), np.zeros(4), np.zeros(4, int), np.zeros(4, bool), [2, 4]]


@pytest.mark.parametrize("position, value, error, message", [
    (2, np.zeros(4, complex), TypeError, "column 'reward' has dtype complex128: a column holds booleans, integers, "
                                         "or floats of 16, 32 or 64 bits"),
    (0, np.array(list("abcd")), TypeError, "column 'state' has dtype <U1: "),
    (4, np.zeros(4, "M8[s]"), TypeError, "column 'terminal' has dtype datetime64[s]: "),
    (1, np.zeros((4, 2)), ValueError, "column 'action' has 2 dimensions: it must be 1-D"),
    (3, np.zeros(5), ValueError, "columns of unequal lengths: 'state' has 4 rows, 'next_state' has 5"),
    (5, [2.0, 4.0], TypeError, "ends has dtype float64: it must hold integers"),
    (5, ["2", "4"], TypeError, "ends has dtype <U1: it must hold integers"),
    (5, [3, 2, 4], ValueError, "ends[1] is 2, below ends[0], 3: ends never decrease"),
    (5, [-1, 4], ValueError, "ends[0] is -1: an end is a row number, from 0 to the 4 rows"),
    (5, [2, 5], ValueError, "ends[1] is 5: an end is a row number, from 0 to the 4 rows"),
    (5, [2, 3], ValueError, "ends[1], the last end, is 3: it must be the number of rows, 4"),
    (5, [], ValueError, "ends is empty: the last end must be the number of rows, 4"),
])
def test_refusals(position, value, error, message):
    given = list(GOOD)
    given[position] = value
    with pytest.raises(error) as caught:
        tarnel.EpisodeTable(*given)
    assert str(caught.value).startswith(message)


NAMED = 'data["state"], data["action"], data["reward"], data["next_state"], data["terminal"]'
TABLE_SHAPED = {
    "dict": (lambda: {name: np.zeros(3) for name in ("state", "action", "reward", "next_state", "terminal")}, NAMED),
    "data frame": (lambda: pytest.importorskip("pandas").DataFrame({"state": np.zeros(3)}), NAMED),
    "2-D array": (lambda: np.zeros((3, 5)), "*data[:, :5].T"),
    "list": (lambda: [np.zeros((3, 5), np.float32)], None),
}


@pytest.mark.parametrize("make, columns", TABLE_SHAPED.values(), ids=TABLE_SHAPED)
def test_table_shaped_data_gets_the_table_line(make, columns):
    data = make()
    with pytest.raises(TypeError) as caught:
        tarnel.qlearn_forward(data, (2, 2), 0.9, 0.1, 10, False)
    line = (f"data reads as one table of transitions, not a sequence of episodes: pass tarnel.EpisodeTable({columns}, "
            "ends), with ends[k] the row after episode k's last")
    assert (line in getattr(caught.value, "__notes__", [])) == (columns is not None)


def test_a_table_gives_its_columns_back():
    state = np.zeros(4, dtype=np.int64)
    held = weakref.ref(state)
    table = tarnel.EpisodeTable(state, *GOOD[1:])
    del state, table
    assert held() is None


@unless_sanitized
@pytest.mark.skipif(sys.platform != "linux", reason="reads the peak resident set from /proc")
def test_building_the_ends_of_many_episodes_takes_their_size_once():
    # The ends are kept as 8 bytes per episode, reserved at once. Grown as
    # they are read instead, the list would hold its old room and its new one
    # together each time it outgrows a power of two: up to twice their size
    # for 2^22 + 1 episodes. Measured as the growth of the peak resident set
    # (set back right before the call) in a fresh interpreter; the zero
    # columns are never touched, so they take no resident page.
    code = textwrap.dedent("""
        import re
        import numpy as np, tarnel
        def status(key):
            with open("/proc/self/status") as f:
                return int(re.search(key + r":\\s+(\\d+)", f.read()).group(1)) * 1024
        n = (1 << 22) + 1
        column, ends = np.zeros(n, np.int8), np.arange(1, n + 1)
        tarnel.EpisodeTable(*[column[:1]] * 5, [1])
        before = status("VmRSS")
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
        except OSError:
            raise SystemExit("the peak resident set cannot be set back")
        table = tarnel.EpisodeTable(*[column] * 5, ends)
        print((status("VmHWM") - before) / n)
        """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    if done.returncode != 0 and "cannot be set back" in done.stderr:
        pytest.skip(done.stderr.strip())
    assert done.returncode == 0, done.stderr
    assert float(done.stdout) < 12


@pytest.mark.skipif(sys.platform != "linux", reason="resizes in place")
def test_a_column_resized_after_construction_fails_the_call(capfd):
    state = np.zeros(4, dtype=np.int64)
    table = tarnel.EpisodeTable(state, *GOOD[1:])
    state.resize(1 << 16, refcheck=False)  # moves its memory
    message = "column 'state' of the episode table was resized or retyped after the table was built"
    with pytest.raises(tarnel.TrainingFailure, match=f"^{message}$"):
        tarnel.qlearn_forward(table, (1, 1), 0.9, 0.5, 10, False)
    assert capfd.readouterr().err == f"tarnel: {message}\n"


# Three episodes written out by hand (state, action, reward, next state,
# terminal), and the logs that keep them: ids, and rows in any order.
A, B, C = [(20, 1, .5, 21, 0), (21, 0, 1, 22, 1)], [(30, 0, 0, 31, 0)], [(10, 0, 0, 11, 0), (11, 1, 0, 12, 0), (12, 1, 2, 13, 1)]
ROWS_OF = {"grouped": A + B + C, "interleaved": [C[0], A[0], C[1], B[0], A[1], C[2]],
           "shuffled": [C[2], A[1], B[0], C[0], A[0], C[1]]}
# Flags: an episode ended by a terminal, one cut by a timeout, a one-row cut,
# then the log stops mid-episode.
OBS, NEXT_OBS = np.array([0, 1, 2, 5, 6, 8, 0, 1], np.uint8), [1, 2, 3, 6, 7, 9, 1, 2]
ACT, REW = [1, 1, 0, 0, 1, 0, 1, 0], np.array([0, 0, 1, 0, 0, 0, 0, .5], np.float32)
TERM, TIME = np.array([0, 0, 1, 0, 0, 0, 0, 0], bool), np.array([0, 0, 0, 0, 1, 1, 0, 0], bool)


def from_ids(name, ids, dtype, steps=None):
    state, *columns = np.array(ROWS_OF[name]).T
    state = state.astype(np.int16)
    return tarnel.EpisodeTable.from_ids(np.array(ids, dtype), state, *columns, step=steps), state


TABLE_LAYOUTS = {
    "constructor, (N, 1) columns": (lambda: ((t := tarnel.EpisodeTable(np.array(A + B)[:, :1], *np.array(A + B)[:, 1:].T,
                                                                  [2, 3])), t.state), [A, B], 0, False),
    "ids grouped": (lambda: from_ids("grouped", [2, 2, 5, 7, 7, 7], np.int64), [A, B, C], 0, False),
    "ids interleaved": (lambda: from_ids("interleaved", [[100], [-3], [100], [0], [-3], [100]], np.int8),
                        [A, B, C], 0, True),
    "ids shuffled, with step": (lambda: from_ids("shuffled", [2**64 - 1, 5, 2**63, 2**64 - 1, 5, 2**64 - 1],
                                                 np.uint64, [2, 1, 0, 0, 0, 1]), [A, B, C], 0, True),
    "flags, next observations": (
        lambda: (tarnel.EpisodeTable.from_flags(OBS[:, None], ACT, REW, TERM, TIME, next_observations=NEXT_OBS), OBS),
        [list(zip(OBS[a:b], ACT[a:b], REW[a:b], NEXT_OBS[a:b], TERM[a:b])) for a, b in [(0, 3), (3, 5), (5, 6), (6, 8)]],
        0, False),
    "flags, next states from the following rows": (
        lambda: (tarnel.EpisodeTable.from_flags(OBS, ACT, REW, TERM, TIME), OBS),
        [[(0, 1, 0, 1, 0), (1, 1, 0, 2, 0), (2, 0, 1, -1, 1)], [(5, 0, 0, 6, 0)], [(0, 1, 0, 1, 0)]], 3, True),
    "flags, terminals only, float observations": (
        lambda: (tarnel.EpisodeTable.from_flags(OBS.astype(np.float32), ACT, REW, TERM), OBS),
        [[(0, 1, 0, 1, 0), (1, 1, 0, 2, 0), (2, 0, 1, np.nan, 1)],
         [(5, 0, 0, 6, 0), (6, 1, 0, 8, 0), (8, 0, 0, 0, 0), (0, 1, 0, 1, 0)]], 1, True),
}


@pytest.mark.parametrize("make, expected, left_out, copied", TABLE_LAYOUTS.values(), ids=TABLE_LAYOUTS)
def test_layouts_give_the_episodes_written_out(make, expected, left_out, copied):
    table, given_state = make()
    assert len(table) == len(expected)
    for got, want in zip(table, expected):
        np.testing.assert_array_equal(got, np.array(want, dtype=np.float64).reshape(-1, 5))
    assert np.shares_memory(table.state, given_state) != copied
    rows = sum(map(len, expected))
    assert repr(table).startswith(f"EpisodeTable({len(expected)} episodes, {rows} rows"
                                  + (f", {left_out} row{'s' * (left_out > 1)} left out;" if left_out else ";"))
    # The attributes give a slice's own rows and ends back, read-only.
    for part in (table, table[1:]):
        columns = (part.state, part.action, part.reward, part.next_state, part.terminal)
        assert not any(c.flags.writeable for c in columns)
        again = tarnel.EpisodeTable(*columns, part.ends)
        assert [e.tobytes() for e in again] == [e.tobytes() for e in part]


IDS = {"episode": [2, 2, 5, 7], "state": [0, 1, 2, 3], "action": [0] * 4, "reward": [0.0] * 4, "next_state": [1, 2, 3, 4],
       "terminal": [0, 1, 0, 1]}
FLAGS = {"observations": [0, 1, 2, 3], "actions": [0] * 4, "rewards": [0.0] * 4, "terminals": [0, 1, 0, 1],
         "timeouts": [0] * 4, "next_observations": [1, 2, 3, 4]}
UNEQUAL = "columns of unequal lengths: "
STATES = "states must be indexes, one per row, so it must be 1-D or of shape (N, 1)"


@pytest.mark.parametrize("base, given, error, message", [
    (IDS, {"episode": [0.0, np.nan, 1.0, 1.0]}, TypeError, "column 'episode' has dtype float64: it must hold integers"),
    (IDS, {"episode": [True] * 4}, TypeError, "column 'episode' has dtype bool: it must hold integers"),
    (IDS, {"step": [0.5] * 4}, TypeError, "column 'step' has dtype float64: it must hold integers"),
    (IDS, {"state": np.zeros((4, 2))}, ValueError, "column 'state' has 2 dimensions: it must be 1-D"),
    (IDS, {"terminal": [0] * 5}, ValueError, UNEQUAL + "'episode' has 4 rows, 'terminal' has 5"),
    (IDS, {"step": [0] * 3}, ValueError, UNEQUAL + "'episode' has 4 rows, 'step' has 3"),
    (FLAGS, {"observations": np.zeros((4, 2))}, ValueError, f"column 'observations' has shape (4, 2): {STATES}"),
    (FLAGS, {"next_observations": np.zeros((4, 3))}, ValueError, f"column 'next_observations' has shape (4, 3): {STATES}"),
    (FLAGS, {"rewards": np.zeros(4, complex)}, TypeError, "column 'rewards' has dtype complex128: a column holds "
                                                          "booleans, integers, or floats of 16, 32 or 64 bits"),
    (FLAGS, {"timeouts": [0] * 3}, ValueError, UNEQUAL + "'observations' has 4 rows, 'timeouts' has 3"),
])
def test_log_refusals(base, given, error, message):
    build = tarnel.EpisodeTable.from_ids if base is IDS else tarnel.EpisodeTable.from_flags
    with pytest.raises(error) as caught:
        build(**{**base, **given})
    assert str(caught.value) == message
