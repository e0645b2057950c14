"""The benchmark workloads: episode data generated from a fixed seed, and what
each contender runs on it (tarnel's call, the Numba peer, the C++ floor and
the plain Python peer).

Every generated index is inside its table, so every peer can read the data
without the saturating index conversion and the bounds checks that tarnel
makes (the peers skip them, as their authors would).
"""

from __future__ import annotations

import functools
import hashlib
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np

SEED = 20240611


def slippery_grid_episodes(rng: np.random.Generator, count: int, side: int = 4,
                           shortest: int = 5, longest: int = 40) -> list[np.ndarray]:
    """Random walks on a side x side grid where a move goes the intended way
    one time in three and to either side otherwise. Every step costs 0.04,
    reaching the far corner pays 1 and restarts the walk at the near corner;
    the last step of every walk is terminal. Actions: 0 left, 1 down, 2
    right, 3 up. (The step cost makes every update move the table, so a
    convergence test on one update never passes.)"""
    moves = np.array([(0, -1), (1, 0), (0, 1), (-1, 0)])
    goal = side * side - 1
    episodes = []
    for _ in range(count):
        length = int(rng.integers(shortest, longest + 1))
        rows = np.zeros((length, 5))
        state = int(rng.integers(0, goal))
        for k in range(length):
            action = int(rng.integers(0, 4))
            actual = (action + int(rng.choice((-1, 0, 1)))) % 4
            r, c = divmod(state, side)
            r = min(max(r + moves[actual][0], 0), side - 1)
            c = min(max(c + moves[actual][1], 0), side - 1)
            reached = r * side + c
            reward = 1.0 if reached == goal else -0.04
            rows[k] = (state, action, reward, reached, 1.0 if k == length - 1 else 0.0)
            state = 0 if reached == goal else reached
        episodes.append(rows)
    return episodes


def random_graph_episodes(rng: np.random.Generator, count: int, states: int, actions: int,
                          shortest: int, longest: int) -> list[np.ndarray]:
    """Walks on a random graph: every (state, action) pair leads to one of two
    fixed successors; rewards are normal around a per-state mean. The last
    step of every walk is terminal. All walks advance in lockstep, one step
    at a time, and are cut to their lengths at the end."""
    successors = rng.integers(0, states, size=(states, actions, 2))
    means = rng.normal(size=states)
    lengths = rng.integers(shortest, longest + 1, size=count)
    walks = np.zeros((count, longest, 5))
    state = rng.integers(0, states, size=count)
    for k in range(longest):
        action = rng.integers(0, actions, size=count)
        reached = successors[state, action, rng.integers(0, 2, size=count)]
        walks[:, k, 0] = state
        walks[:, k, 1] = action
        walks[:, k, 2] = means[reached] + rng.normal(scale=0.5, size=count)
        walks[:, k, 3] = reached
        state = reached
    walks[np.arange(count), lengths - 1, 4] = 1.0
    return [np.ascontiguousarray(walks[j, :lengths[j]]) for j in range(count)]


def conversion_rows(rng: np.random.Generator, rows: int, length: int, states: int,
                    actions: int) -> tuple[np.ndarray, list[np.ndarray]]:
    """One (rows, 5) array of transitions inside a states x actions table,
    every `length`-th row terminal, and its views of `length` rows each (the
    episodes of one recorded array, as a user slices them)."""
    big = np.empty((rows, 5))
    big[:, 0] = rng.integers(0, states, size=rows)
    big[:, 1] = rng.integers(0, actions, size=rows)
    big[:, 2] = rng.normal(size=rows)
    big[:, 3] = rng.integers(0, states, size=rows)
    big[:, 4] = 0.0
    big[length - 1::length, 4] = 1.0
    return big, [big[i:i + length] for i in range(0, rows, length)]


# The columns of an EpisodeTable, in its constructor's order.
COLUMNS = ("state", "action", "reward", "next_state", "terminal")


def flat_columns(rng: np.random.Generator, rows: int, states: int, actions: int) -> dict[str, np.ndarray]:
    """Transitions as a replay buffer or an offline dataset keeps them: one
    row per transition in four flat columns of small dtypes (int32 states,
    int8 actions, float32 rewards, 14 bytes a row with the terminal flag),
    every index inside the table. Vectorised, so 2x10^7 rows take a second."""
    return {"state": rng.integers(0, states, size=rows, dtype=np.int32),
            "action": rng.integers(0, actions, size=rows, dtype=np.int8),
            "reward": rng.standard_normal(size=rows, dtype=np.float32),
            "next_state": rng.integers(0, states, size=rows, dtype=np.int32)}


def terminal_flags(rows: int, ends: np.ndarray) -> np.ndarray:
    """The bool terminal column that flags the last row of every episode."""
    terminal = np.zeros(rows, dtype=np.bool_)
    terminal[ends - 1] = True
    return terminal


def episode_ends(rows: int, length: int) -> tuple[np.ndarray, np.ndarray]:
    """(the end offsets of episodes of `length` rows, the bool terminal column
    that flags the last row of each)."""
    ends = np.arange(length, rows + 1, length, dtype=np.int64)
    return ends, terminal_flags(rows, ends)


def random_ends(rng: np.random.Generator, rows: int, shortest: int, longest: int) -> np.ndarray:
    """End offsets of episodes of `shortest` to `longest` rows covering `rows`
    rows, the last one cut to fit."""
    lengths = rng.integers(shortest, longest + 1, size=rows // shortest + 1)
    ends = np.cumsum(lengths)
    ends = ends[:np.searchsorted(ends, rows) + 1]
    ends[-1] = rows
    return ends


@dataclass
class FlatData:
    """Episodes as an EpisodeTable's five columns (COLUMNS) and their ends,
    in the form every W9 contender reads: tarnel through a table, the Numba
    loop and the floor from the columns themselves."""

    columns: dict = field(repr=False)
    ends: np.ndarray = field(repr=False)

    @property
    def rows(self) -> int:
        return len(self.columns["state"])

    @property
    def episodes(self) -> int:
        return len(self.ends)

    @property
    def mean_length(self) -> float:
        return self.rows / self.episodes

    def column_list(self) -> list[np.ndarray]:
        return [self.columns[name] for name in COLUMNS]

    @functools.cached_property
    def starts(self) -> np.ndarray:
        """The n + 1 row offsets of the episodes (a 0, then the ends), which the
        Numba loop and the floor take; made once, outside their timings."""
        return np.concatenate((np.zeros(1, dtype=np.int64), self.ends))

    def table(self, tarnel):
        return tarnel.EpisodeTable(*self.column_list(), self.ends)

    def episode_arrays(self) -> list[np.ndarray]:
        """The same episodes as (rows, 5) float64 arrays, as the list form takes them."""
        block = np.column_stack(self.column_list()).astype(np.float64)
        return np.split(block, self.ends[:-1])


def flat_data(rng: np.random.Generator, rows: int, states: int, actions: int, shortest: int,
              longest: int) -> FlatData:
    """flat_columns' transitions in episodes of `shortest` to `longest` rows."""
    ends = random_ends(rng, rows, shortest, longest)
    return FlatData(flat_columns(rng, rows, states, actions) | {"terminal": terminal_flags(rows, ends)}, ends)


# W9, training at scale: the same columns as W8's, 2x10^7 rows, in episodes
# of about 10 and about 100 rows (from half to one and a half times that),
# on a 16 x 4 and a 100,000 x 8 table, against the same calls on 2x10^5 rows
# of the same generator, whose records stay in the caches.
W9_ROWS = 20_000_000
W9_SMALL_ROWS = 200_000
W9_TABLES = ((16, 4), (100_000, 8))
W9_LENGTHS = (10, 100)
W9_ITERATIONS = (10**3, 10**5, 10**6, 10**7)
# td_learn_backward sums the table after every iteration, as `learn` does:
# on the large table those sums are the call (about 27 us an iteration,
# bench/limits.md), so it runs to 10^5 iterations there.
W9_SUMMED_LARGE = 10**5
# The calls on 2x10^5 rows run to this many iterations; the Numba loop is
# timed at most at this many (bench/limits.md), and at most at
# W9_NUMBA_SUMMED_LARGE where it sums the large table every iteration.
W9_SMALL_ITERATIONS = 10**6
W9_NUMBA_ITERATIONS = 10**6
W9_NUMBA_SUMMED_LARGE = 10**4
# qlearn_forward_parallel: 2 trainings at 10^6 iterations, small table.
W9_PARALLEL = (2, 10**6)
W9_SMALL = " small"  # the suffix of a call's run on the small data


@dataclass(frozen=True)
class ScaleCase:
    """One W9 call: a function on one (table, episode length) of the data."""

    function: str
    q_shape: tuple[int, int]
    length: int  # the episodes' mean length
    iterations: int
    workers: int = 0
    with_small: bool = True  # also run on the 2x10^5 rows
    numba_iterations: int = 0  # the Numba loop's, its time scaled by iterations / these

    @property
    def name(self) -> str:
        states, actions = self.q_shape
        return f"{self.function} {states}x{actions} ~{self.length} {self.iterations}"

    @property
    def data_key(self) -> tuple:
        return self.q_shape, self.length

    @property
    def picks(self) -> int:
        return self.iterations * max(1, self.workers)


@dataclass
class AtScale:
    data: dict = field(repr=False)  # data_key -> FlatData of W9_ROWS rows
    small: dict = field(repr=False)  # data_key -> FlatData of W9_SMALL_ROWS rows
    cases: list = field(repr=False)  # ScaleCase, each (function, table, length) by growing iterations

    @property
    def rows(self) -> int:
        return next(iter(self.data.values())).rows

    @property
    def small_rows(self) -> int:
        return next(iter(self.small.values())).rows


def at_scale(scale: float) -> AtScale:
    """W9's data and calls; `scale` < 1 shrinks rows and iterations alike."""
    rng = np.random.default_rng([SEED, 9])

    def it(n):
        return max(1, int(n * scale))

    sizes = {"data": max(20_000, int(W9_ROWS * scale)), "small": max(2_000, int(W9_SMALL_ROWS * scale))}
    sets = {name: {} for name in sizes}
    for name, rows in sizes.items():
        ends = {length: random_ends(rng, rows, length // 2, length * 3 // 2) for length in W9_LENGTHS}
        for shape in W9_TABLES:
            columns = flat_columns(rng, rows, *shape)
            for length, e in ends.items():
                sets[name][shape, length] = FlatData(columns | {"terminal": terminal_flags(rows, e)}, e)
    cases = []
    for length in W9_LENGTHS:
        for shape in W9_TABLES:
            large = shape[0] * shape[1] >= 16384
            for function in ("fast_learn", "td_learn_backward"):
                summed_large = large and function == "td_learn_backward"
                for n in W9_ITERATIONS:
                    if summed_large and n > W9_SUMMED_LARGE:
                        continue
                    numba = W9_NUMBA_SUMMED_LARGE if summed_large else W9_NUMBA_ITERATIONS
                    cases.append(ScaleCase(function, shape, length, it(n), with_small=n <= W9_SMALL_ITERATIONS,
                                           numba_iterations=min(it(n), it(numba))))
        workers, n = W9_PARALLEL
        cases.append(ScaleCase("qlearn_forward_parallel", W9_TABLES[0], length, it(n), workers,
                               numba_iterations=it(n)))
    return AtScale(sets["data"], sets["small"], cases)


@dataclass
class Workload:
    key: str
    title: str
    function: str            # tarnel's function name
    episodes: list = field(repr=False)
    q_shape: tuple = (16, 4)
    gamma: float = 0.9
    alpha: float = 0.1
    iterations: int = 0
    workers: int = 0         # W4 only: trainings per call
    # The plain Python peer runs this share of the iterations (W5: of the
    # arrays); its training time is divided by it, its conversion time not.
    python_share: float = 0.01
    note: str = ""
    # Conversion workloads (W5...) time `data`'s conversion alone and are
    # reported per array or, with `per_row`, per row beside NumPy's .sum()
    # of `anchor`, the one array their episodes view.
    conversion: bool = False
    per_row: bool = False
    anchor: np.ndarray | None = field(default=None, repr=False)
    # Flat workloads (W8...) keep their transitions as the five columns of an
    # EpisodeTable (COLUMNS) with its ends, not as episode arrays; each build
    # times the table's conversion, NumPy's read of the same columns and the
    # list path a user writes today (column_stack, astype, split, the call).
    columns: dict | None = field(default=None, repr=False)
    ends: np.ndarray | None = field(default=None, repr=False)
    # W9 (training at scale) holds its data and calls here, and runs its
    # calls one by one against their own peers (bench/at_scale.py).
    at_scale: AtScale | None = field(default=None, repr=False)

    @property
    def flat(self) -> bool:
        return self.columns is not None

    @property
    def on_arrays(self) -> bool:
        """Trained or converted from episode arrays (W1 to W7)."""
        return not self.flat and self.at_scale is None

    @property
    def rows(self) -> int:
        return len(self.columns["state"]) if self.flat else sum(len(e) for e in self.episodes)

    @property
    def episode_count(self) -> int:
        return len(self.ends) if self.flat else len(self.episodes)

    def tarnel_args(self):
        return (self.episodes, self.q_shape, self.gamma, self.alpha, self.iterations)


def build_all(scale: float = 1.0) -> dict[str, Workload]:
    """All workloads. `scale` < 1 shrinks iteration counts (for a quick look);
    the published table uses 1."""
    rng = np.random.default_rng(SEED)
    grid = slippery_grid_episodes(rng, 2000)
    many_long = random_graph_episodes(rng, 20000, 500, 6, 50, 150)
    large = random_graph_episodes(rng, 2000, 5000, 20, 5, 40)
    tiny_arrays = random_graph_episodes(rng, 200000, 16, 4, 10, 10)
    hundreds = random_graph_episodes(rng, 20000, 16, 4, 100, 100)
    thousands = random_graph_episodes(rng, 2000, 16, 4, 1000, 1000)
    # The large conversion: 20 million rows (a tenth in a quick run).
    large_rows = max(1000, int(20_000_000 * scale) // 1000 * 1000)
    anchor, large_views = conversion_rows(rng, large_rows, 1000, 500, 6)
    # The flat columns: 20 million rows (a tenth in a quick run), shared by
    # both episode lengths, which differ only in ends and terminal flags.
    flat = flat_columns(rng, large_rows, 500, 6)
    short_ends, short_terminal = episode_ends(large_rows, 10)
    long_ends, long_terminal = episode_ends(large_rows, 1000)
    scaled = at_scale(scale)

    def it(n):
        return max(1, int(n * scale))

    w = [
        Workload("W1", "small table 16x4, qlearn_forward", "qlearn_forward", grid, (16, 4),
                 iterations=it(500_000)),
        Workload("W2", "many long episodes 500x6, fast_learn", "fast_learn", many_long, (500, 6),
                 iterations=it(200_000)),
        Workload("W3", "large table 5000x20, qlearn_forward", "qlearn_forward", large, (5000, 20),
                 iterations=it(20_000)),
        Workload("W4", "8 trainings of W1, qlearn_forward_parallel", "qlearn_forward_parallel", grid,
                 (16, 4), iterations=it(100_000), workers=8),
        Workload("W5", "200000 arrays of 10 rows, conversion only", "qlearn_forward", tiny_arrays,
                 (16, 4), iterations=0, python_share=0.1, conversion=True),
        Workload("W5b", "20000 arrays of 100 rows, conversion only", "qlearn_forward", hundreds,
                 (16, 4), iterations=0, python_share=0.1, conversion=True),
        Workload("W5c", "2000 arrays of 1000 rows, conversion only", "qlearn_forward", thousands,
                 (16, 4), iterations=0, python_share=0.1, conversion=True),
        Workload("W5d", f"{large_rows} rows in views of 1000, conversion only", "fast_learn", large_views,
                 (500, 6), iterations=0, python_share=0.001, conversion=True, per_row=True, anchor=anchor),
        Workload("W6a", "W1 data, td_learn_backward", "td_learn_backward", grid, (16, 4),
                 iterations=it(500_000)),
        Workload("W6b", "W1 data, expected_sarsa", "expected_sarsa", grid, (16, 4),
                 iterations=it(500_000)),
        Workload("W6c", "W1 data, learn_until_convergence", "learn_until_convergence", grid, (16, 4),
                 iterations=it(500_000)),
        Workload("W6d", "W1 data, double_q", "double_q", grid, (16, 4), iterations=it(500_000)),
        Workload("W7", "W1 data (short episodes), fast_learn", "fast_learn", grid, (16, 4),
                 iterations=it(500_000)),
        Workload("W8a", f"{large_rows} rows as flat columns, episodes of 10, converted at once", "fast_learn",
                 [], (500, 6), iterations=converting_at_once(len(short_ends)),
                 columns=flat | {"terminal": short_terminal}, ends=short_ends),
        Workload("W8b", f"{large_rows} rows as flat columns, episodes of 1000, converted at once",
                 "fast_learn", [], (500, 6), iterations=converting_at_once(len(long_ends)),
                 columns=flat | {"terminal": long_terminal}, ends=long_ends),
        Workload("W9", f"training on {scaled.rows} rows as flat columns", "fast_learn", [],
                 iterations=max(c.iterations for c in scaled.cases), at_scale=scaled),
    ]
    return {x.key: x for x in w}


def digest(work: dict[str, Workload]) -> str:
    """A hash of every workload's episodes and call, so processes that build
    the workloads apart can show they hold the same work."""
    h = hashlib.sha256()
    for w in work.values():
        h.update(repr((w.key, w.function, w.q_shape, w.gamma, w.alpha, w.iterations, w.workers)).encode())
        for e in w.episodes:
            h.update(np.ascontiguousarray(e).tobytes())
        flats = [w] if w.flat else []
        if w.at_scale is not None:
            h.update(repr(w.at_scale.cases).encode())
            flats = [*w.at_scale.data.values(), *w.at_scale.small.values()]
        for f in flats:
            for name in COLUMNS:
                h.update(f.columns[name].data)
            h.update(f.ends.data)
    return h.hexdigest()


def timed(call: Callable[[], object]) -> float:
    """Seconds one call takes."""
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def tarnel_runs(tarnel, w: Workload) -> dict[str, Callable[[], object]]:
    """What one build of tarnel runs on workload w, by the suffix of its column
    name ("" for the workload's own call). W4 adds the 8 sequential calls its
    parallel call is set against; W5 adds the validation and the visit
    counts alone, on modules that offer them."""
    if w.flat:
        return flat_runs(tarnel, w)
    if w.at_scale is not None:
        return at_scale_runs(tarnel, w.at_scale)
    args = w.tarnel_args()
    if w.key == "W4":
        return {"": lambda: tarnel.qlearn_forward_parallel(*args, w.workers, False, 0.0),
                " sequential": lambda: [tarnel.qlearn_forward(*args, False, 0.0) for _ in range(w.workers)]}
    f = getattr(tarnel, w.function)
    runs = {"": lambda: f(*args, False, 0.0)}
    if w.key == "W5" and hasattr(tarnel, "check_episodes"):
        def check():
            # W5's walks end on terminal rows into states they also start
            # from, which the check warns about: the warning is not timed.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", getattr(tarnel, "DataWarning", Warning))
                tarnel.check_episodes(w.episodes, w.q_shape)
        runs[" check_episodes"] = check
    if w.key == "W5" and hasattr(tarnel, "visit_counts"):
        runs[" visit_counts"] = lambda: tarnel.visit_counts(w.episodes, w.q_shape)
    return runs


def converting_at_once(episodes: int) -> int:
    """The fewest picks with which a call converts a table of `episodes` at
    once, in its order: half the episodes. A call with fewer converts only
    the episodes it picks, as it picks them."""
    return (episodes + 1) // 2


def flat_runs(tarnel, w: Workload) -> dict[str, Callable[[], object]]:
    """A flat workload's runs in one build's process: the call on a table
    built once (its conversion at once, and the training of its
    `iterations`, converting_at_once), the table's construction alone,
    NumPy's read of the same columns (the sum of each, the bandwidth the
    conversion cannot beat, in the same process), and the list path a user
    writes today with the same iterations, timed as a whole. Nothing on a
    build without the table."""
    if not hasattr(tarnel, "EpisodeTable"):
        return {}
    columns = [w.columns[name] for name in COLUMNS]
    table = tarnel.EpisodeTable(*columns, w.ends)
    f = getattr(tarnel, w.function)

    def list_path():
        block = np.column_stack(columns).astype(np.float64)
        return f(np.split(block, w.ends[:-1]), w.q_shape, w.gamma, w.alpha, w.iterations, False, 0.0)

    return {"": lambda: f(table, w.q_shape, w.gamma, w.alpha, w.iterations, False, 0.0),
            " construction": lambda: tarnel.EpisodeTable(*columns, w.ends),
            " numpy sum": lambda: [c.sum() for c in columns],
            " list path": list_path}


def at_scale_call(tarnel, case: ScaleCase, table) -> Callable[[], object]:
    f = getattr(tarnel, case.function)
    shape, n = case.q_shape, case.iterations
    if case.workers:
        return lambda: f(table, shape, 0.9, 0.1, n, case.workers, False, 0.0)
    return lambda: f(table, shape, 0.9, 0.1, n, False, 0.0)


def at_scale_runs(tarnel, work: AtScale) -> dict[str, Callable[[], object]]:
    """W9's calls in one build's process, on tables built once: each call by
    its name, and on the small data by its name and W9_SMALL. Nothing on a
    build without the table."""
    if not hasattr(tarnel, "EpisodeTable"):
        return {}
    tables = {key: d.table(tarnel) for key, d in work.data.items()}
    small = {key: d.table(tarnel) for key, d in work.small.items()}
    runs = {}
    for case in work.cases:
        runs[case.name] = at_scale_call(tarnel, case, tables[case.data_key])
        if case.with_small:
            runs[case.name + W9_SMALL] = at_scale_call(tarnel, case, small[case.data_key])
    return runs


def peer_runs(w: Workload) -> dict[str, Callable[[], float]]:
    """name -> callable returning the seconds of one run of that peer on w."""
    # Imported here, not at the top: the processes that time a build of
    # tarnel load the workloads and need none of the peers.
    from peers import floor, python_peers
    try:
        from peers import numba_peers
    except ImportError:  # the table then has no Numba figures
        numba_peers = None

    if not w.on_arrays:  # flat_runs in each build's process; W9: bench/at_scale.py
        return {}
    args = w.tarnel_args()
    runs = {}
    if numba_peers is not None:
        runs["numba"] = lambda: timed(lambda: numba_peers.run(w.function, *args, 0.0, w.workers))
    if w.conversion:
        prepared = floor.convert_prepared(w.episodes)
        runs["floor"] = lambda: timed(lambda: floor.convert(prepared, w.q_shape[0]))
        if w.anchor is not None:
            # The read-bandwidth anchor: NumPy reading the same memory once.
            runs["numpy sum"] = lambda: timed(w.anchor.sum)
    else:
        flat = floor.prepare(w.episodes)
        runs["floor"] = lambda: timed(lambda: floor.run(w.function, *args, 0.0, w.workers, prepared=flat))
    share = w.python_share

    def python_scaled():
        if w.conversion:
            count = max(1, int(len(w.episodes) * share))
            _, _, convert, _ = python_peers.run(w.function, w.episodes[:count], w.q_shape, w.gamma,
                                                w.alpha, 0)
            return convert / share
        its = max(1, int(w.iterations * share))
        _, _, convert, train = python_peers.run(w.function, w.episodes, w.q_shape, w.gamma, w.alpha,
                                                its, 0.0, w.workers)
        return convert + train * w.iterations / its
    runs["python"] = python_scaled
    return runs
