"""Offline tabular Q-learning from recorded episodes.

Every function takes the episodes as a sequence of 2-D float64 arrays, one
row per transition with the columns (state, action, reward, next state,
terminal flag, exactly 1.0 when terminal); further columns are ignored. ``q_shape`` is the pair
(number of states, number of actions). Each call trains a new table from
zero by replaying episodes picked uniformly at random and returns it as a
new Fortran-ordered float64 array; nothing is kept between calls.

Randomness cannot be seeded: every thread draws from its own generator,
seeded from the operating system. Calls hold the interpreter lock until they
return. Progress lines go straight to file descriptor 1, not through
``sys.stdout``. A failure inside training (an index outside ``q_shape``, no
episodes to pick from, a failed worker) raises ``tarnel.TrainingFailure``,
which derives from BaseException, not Exception, and pickles by name, so it
crosses process boundaries.
"""

from collections.abc import Iterator, Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, final, overload

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "qlearn_forward",
    "td_learn_backward",
    "expected_sarsa",
    "td_learn_backward_parallel",
    "qlearn_forward_parallel",
    "fast_learn",
    "learn_until_convergence",
    "double_q",
]

@final
class EpisodeTable:
    """Episodes kept as flat columns, one element per transition; every
    function takes one as ``data`` and reads the columns in place.

    Each column is a 1-D array (or anything ``np.asarray`` makes one of) of
    booleans, integers or floats, all of one length N; a column of shape
    (N, 1) is read as 1-D. ``ends`` holds the episodes' end offsets: episode
    k is rows ``ends[k-1]`` (0 for the first) up to ``ends[k]``; it never
    decreases and its last end is N.

    ``EpisodeTable.from_ids`` builds one from a log with an episode id on
    each row, in any order; ``EpisodeTable.from_flags`` from one that marks
    episode ends with terminal and timeout flags. The attributes ``state``,
    ``action``, ``reward``, ``next_state`` and ``terminal`` are read-only
    views of the table's rows of each column, and ``ends`` its end offsets
    counted from its first row, so ``EpisodeTable(t.state, t.action,
    t.reward, t.next_state, t.terminal, t.ends)`` has the episodes of ``t``.
    """

    def __new__(
        cls,
        state: Any,
        action: Any,
        reward: Any,
        next_state: Any,
        terminal: Any,
        ends: Any,
    ) -> EpisodeTable: ...
    @classmethod
    def from_ids(
        cls,
        episode: Any,
        state: Any,
        action: Any,
        reward: Any,
        next_state: Any,
        terminal: Any,
        *,
        step: Any = None,
    ) -> EpisodeTable:
        """A table of a log whose rows carry their episode's id: episodes in
        increasing id (ids need not be consecutive), an episode's rows in
        increasing ``step`` when it is given, otherwise in the order they
        stand. Columns already in that order are read in place; otherwise
        the table holds one reordered copy of them."""
    @classmethod
    def from_flags(
        cls,
        observations: Any,
        actions: Any,
        rewards: Any,
        terminals: Any,
        timeouts: Any = None,
        *,
        next_observations: Any = None,
    ) -> EpisodeTable:
        """A table of a log that marks episode ends with flags: an episode
        ends after every row whose ``terminals`` or ``timeouts`` flag is set,
        and after the last row. ``next_observations``, when given, is the
        next-state column; without it a row's next state is the following
        row's observation, a terminal row's is -1 (NaN for float
        observations), and a row whose next observation was not stored (the
        last of an episode cut by a timeout, or of a log that stops
        mid-episode) is left out, which the repr counts."""
    @property
    def state(self) -> NDArray[Any]: ...
    @property
    def action(self) -> NDArray[Any]: ...
    @property
    def reward(self) -> NDArray[Any]: ...
    @property
    def next_state(self) -> NDArray[Any]: ...
    @property
    def terminal(self) -> NDArray[Any]: ...
    @property
    def ends(self) -> NDArray[np.uint64]: ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, key: SupportsIndex, /) -> NDArray[np.float64]: ...
    @overload
    def __getitem__(self, key: slice, /) -> EpisodeTable: ...
    def __iter__(self) -> Iterator[NDArray[np.float64]]: ...

_Episodes: TypeAlias = Sequence[NDArray[np.float64]] | NDArray[np.float64] | EpisodeTable
"""A sequence of (transitions, 5+) float64 arrays, one (episodes, transitions, 5+) array, or an EpisodeTable."""

class TrainingFailure(BaseException):
    """A training failed: bad episode data, an empty episode list, a failed
    worker or an impossible table size."""

class DataWarning(UserWarning):
    """Episode data that reads as recorded but is almost certainly wrong: next
    states beyond the table on terminal rows (states numbered from 1),
    terminal flags on time-limit cuts, padding rows, next states taken from
    the row that starts the next episode, rows out of order. Issued by
    ``check_episodes``; filter it, or turn it into an error, with the
    warnings module."""

__version__: str

def check_episodes(data: _Episodes, q_shape: tuple[SupportsIndex, SupportsIndex]) -> None:
    """Checks episode data before training; returns None when every transition reads as recorded.

    Takes ``data`` and ``q_shape`` as the training functions do, and refuses a
    wrong type or dtype with their TypeError. Every problem with the data's
    content raises ValueError: a state, action or next state that is NaN,
    negative, infinite, fractional or not below ``q_shape``; a reward that is
    NaN or infinite; a terminal flag other than 0 or 1; an episode without
    rows or with fewer than 5 columns; data without episodes. The report
    counts each kind of problem with its first location and, where one fits,
    its likely cause, then lists the first ten in data order. The next state
    is checked only on rows whose flag is not 1.0, the only ones that read it.

    Warns with ``tarnel.DataWarning`` about data that reads as recorded but is
    almost certainly wrong: next states at or above ``q_shape[0]`` on terminal
    rows (states numbered from 1, or shifted), terminal next states that also
    start recorded transitions (time-limit cuts recorded as terminations),
    episodes ending in all-zero rows (padding), episodes whose last rows lead
    to the first state of the episode after them (next states taken from the
    following row of a log: use ``EpisodeTable.from_flags``), and episodes of
    one row or rows that do not lead to the state of the row after them (rows
    out of order: use ``EpisodeTable.from_ids``). Not in ``__all__``.
    """

def visit_counts(data: _Episodes, q_shape: tuple[SupportsIndex, SupportsIndex]) -> NDArray[np.uint64]:
    """The data's support: how many recorded transitions start at each state and action.

    Returns a new (states, actions) uint64 array in Fortran order. State and
    action are read as training reads them; a row whose state or action reads
    outside ``q_shape`` is not counted. Training never changes the value of a
    pair the data does not visit, so a greedy policy may prefer such a pair
    only because its value stayed 0; restrict it to visited actions with
    ``np.where(counts > 0, q, -np.inf).argmax(axis=1)``. Not in ``__all__``.
    """


def qlearn_forward(
    data: _Episodes,
    q_shape: tuple[SupportsIndex, SupportsIndex],
    discount_factor: SupportsFloat | SupportsIndex,
    learning_rate: SupportsFloat | SupportsIndex,
    max_iterations: SupportsIndex,
    verbose: bool,
    quit_threshold: SupportsFloat | SupportsIndex | None = None,
) -> NDArray[np.float64]:
    """Q-learning: learns the optimal policy's values from episodes recorded by any policy.

    Each transition moves Q[s, a] towards r + discount * max Q[s', :] (r
    alone when terminal). Sums the whole table after every iteration, which
    dominates the time on large tables (use ``fast_learn`` there). From
    iteration 50000 on, every 25000 iterations, compares the mean table sum
    of the last 25000 iterations with that of the 25000 before and stops
    when ``quit_threshold`` (default 0.001) exceeds the relative change.
    Prints "Iteration: i, Qsum: S, d: d" at each such test when ``verbose``.
    Returns the (states, actions) table.
    """

def td_learn_backward(
    data: _Episodes,
    q_shape: tuple[SupportsIndex, SupportsIndex],
    discount_factor: SupportsFloat | SupportsIndex,
    learning_rate: SupportsFloat | SupportsIndex,
    max_iterations: SupportsIndex,
    verbose: bool,
    quit_threshold: SupportsFloat | SupportsIndex | None = None,
) -> NDArray[np.float64]:
    """Values of the policy that recorded the episodes, learnt by walking each episode backwards.

    Caveat: it leaves out each step's own reward: Q[s, a] moves towards the
    discounted sum of the rewards after the step, and the last transition's
    entry is never updated. Stops as ``qlearn_forward``, and sums the whole
    table after every iteration as it does. Prints "Iteration: i, Qsum: S,
    d: d" at each stop test when ``verbose``. Returns the (states, actions)
    table.
    """

def expected_sarsa(
    data: _Episodes,
    q_shape: tuple[SupportsIndex, SupportsIndex],
    discount_factor: SupportsFloat | SupportsIndex,
    learning_rate: SupportsFloat | SupportsIndex,
    max_iterations: SupportsIndex,
    verbose: bool,
    quit_threshold: SupportsFloat | SupportsIndex | None = None,
) -> NDArray[np.float64]:
    """Moves Q[s, a] towards r + discount * mean Q[s, :] (r alone when terminal).

    Caveat: it averages the row of the transition's own state, not the next
    state's; the next state is not read, so value does not travel from one
    state to the next. Stops as ``qlearn_forward``, and sums the whole table
    after every iteration as it does. Prints "Iteration: i, Qsum: S, d: d"
    at each stop test when ``verbose``. Returns the (states, actions) table.
    """

def td_learn_backward_parallel(
    data: _Episodes,
    q_shape: tuple[SupportsIndex, SupportsIndex],
    discount_factor: SupportsFloat | SupportsIndex,
    learning_rate: SupportsFloat | SupportsIndex,
    max_iterations: SupportsIndex,
    boostrap_sample_size: SupportsIndex,
    iter_ql: SupportsIndex,
    verbose: bool,
    quit_threshold: SupportsFloat | SupportsIndex | None = None,
) -> NDArray[np.float64]:
    """Bootstrap spread: ``iter_ql`` trainings of ``td_learn_backward``, each on its own resample.

    Each worker thread (one per training) trains on ``boostrap_sample_size``
    episodes drawn with replacement (the keyword is spelled so), with the
    caveat of ``td_learn_backward``. Workers print its lines, in any order,
    when ``verbose``. Returns the (iter_ql, states, actions) stack of the
    workers' tables.
    """

def qlearn_forward_parallel(
    data: _Episodes,
    q_shape: tuple[SupportsIndex, SupportsIndex],
    discount_factor: SupportsFloat | SupportsIndex,
    learning_rate: SupportsFloat | SupportsIndex,
    max_iterations: SupportsIndex,
    ql_iter: SupportsIndex,
    verbose: bool,
    quit_threshold: SupportsFloat | SupportsIndex | None = None,
) -> NDArray[np.float64]:
    """Ensemble: ``ql_iter`` independent trainings of ``qlearn_forward`` on the same episodes.

    Starts one worker thread per training and joins them all. Always prints
    "Q learning forward parallel, config: Qlearner { ... }" first, whatever
    ``verbose`` says; workers print the lines of ``qlearn_forward``, in any
    order, when ``verbose``. Returns the (ql_iter, states, actions) stack
    of the workers' tables.
    """

def fast_learn(
    data: _Episodes,
    q_shape: tuple[SupportsIndex, SupportsIndex],
    discount_factor: SupportsFloat | SupportsIndex,
    learning_rate: SupportsFloat | SupportsIndex,
    max_iterations: SupportsIndex,
    verbose: bool,
    quit_threshold: SupportsFloat | SupportsIndex | None = None,
) -> NDArray[np.float64]:
    """Q-learning for large tables: ``qlearn_forward`` with a cheaper stop test.

    Sums the table only every 25000 iterations; from iteration 50000 on it
    compares that sum with the one 25000 iterations earlier and stops when
    ``quit_threshold`` (default 0.001) exceeds the relative change. Prints
    "Iteration: i, Qsum: S, d: d" at each test when ``verbose``. Returns the
    (states, actions) table.
    """

def learn_until_convergence(
    data: _Episodes,
    q_shape: tuple[SupportsIndex, SupportsIndex],
    discount_factor: SupportsFloat | SupportsIndex,
    learning_rate: SupportsFloat | SupportsIndex,
    max_iterations: SupportsIndex,
    verbose: bool,
    quit_threshold: SupportsFloat | SupportsIndex | None = None,
) -> NDArray[np.float64]:
    """Q-learning until, at a checkpoint (every 25000 iterations from 0), one episode moved no entry by more than 1e-8.

    Caveat: it compares one update's change, so with sparse rewards the
    first update often changes nothing and it returns the all-zero table
    after one iteration. Always prints "i: E, P, D" at each checkpoint (mean
    absolute change, previous table sum, change of the sum); ``verbose`` and
    ``quit_threshold`` have no effect. Returns the (states, actions) table.
    """

def double_q(
    data: _Episodes,
    q_shape: tuple[SupportsIndex, SupportsIndex],
    discount_factor: SupportsFloat | SupportsIndex,
    learning_rate: SupportsFloat | SupportsIndex,
    max_iterations: SupportsIndex,
    verbose: bool,
    quit_threshold: SupportsFloat | SupportsIndex | None = None,
) -> NDArray[np.float64]:
    """Double Q-learning: two tables, a coin per transition picks the one updated; the other values its best next action.

    Always runs all ``max_iterations`` iterations and always prints
    "Iteration: i, Qsum1 S1, Qsum2 S2" every 25000 iterations from 0;
    ``verbose`` and ``quit_threshold`` have no effect. Returns the mean of
    the two (states, actions) tables.
    """
