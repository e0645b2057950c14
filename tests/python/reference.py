"""A plain-Python reference of the sequential driver and its rules.

Written from the rules' definitions, independently of the C++ code, for
single-episode inputs, where every pick is that episode and training is
deterministic. Python floats are IEEE doubles, so with the same order of
operations the results must match bit for bit.
"""

from __future__ import annotations

import math
from decimal import Decimal

import numpy as np

LOWEST = -1.7976931348623157e308


def ordered_sum(values) -> float:
    """Eight partial sums over the largest multiple of 8, paired (0,4)..(3,7), then the tail."""
    values = list(values)
    k = len(values) - len(values) % 8
    partial = [0.0] * 8
    for i in range(k):
        partial[i % 8] += values[i]
    total = 0.0
    for j in range(4):
        total += partial[j] + partial[j + 4]
    for x in values[k:]:
        total += x
    return total


def console(x: float) -> str:
    """Shortest round-trip decimal, never an exponent, no fractional part when integral."""
    if math.isnan(x):
        return "NaN"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if math.isinf(x):
        return sign + "inf"
    text = format(Decimal(repr(abs(x))), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return sign + text


def divide(a: float, b: float) -> float:
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(np.float64(a) / np.float64(b))


class Table:
    """Column-major table: entry (s, a) at s + a * states."""

    def __init__(self, states: int, actions: int):
        self.states, self.actions = states, actions
        self.values = [0.0] * (states * actions)

    def get(self, s, a):
        return self.values[s + a * self.states]

    def set(self, s, a, v):
        self.values[s + a * self.states] = v

    def array(self):
        return np.array(self.values, dtype=np.float64).reshape((self.actions, self.states)).T


def transitions(rows):
    for row in rows:
        s, a, r, s2, done = row[:5]
        yield int(s), int(a), float(r), int(s2), float(done) == 1.0


def one_step(q: Table, rows, gamma, alpha, bootstrap):
    """Forward Q and expected SARSA: the same update, bootstrapping a
    non-terminal transition from bootstrap(s, s2)."""
    for s, a, r, s2, done in transitions(rows):
        old = q.get(s, a)
        target = r if done else r + bootstrap(s, s2) * gamma
        q.set(s, a, (target - old) * alpha + old)


def forward(q: Table, rows, gamma, alpha):
    def row_maximum(_, s2):
        m = LOWEST
        for b in range(q.actions):
            x = q.get(s2, b)
            if x > m:
                m = x
        return m

    one_step(q, rows, gamma, alpha, row_maximum)


def backward(q: Table, rows, gamma, alpha):
    steps = list(transitions(rows))
    g = steps[-1][2]
    keep = 1.0 - alpha
    for s, a, r, _, _ in reversed(steps[:-1]):
        q.set(s, a, alpha * g + q.get(s, a) * keep)
        g = g * gamma + r


def expected_sarsa(q: Table, rows, gamma, alpha):
    def row_mean(s, _):
        row = [q.get(s, b) for b in range(q.actions)]
        return (ordered_sum(row) if q.states == 1 else sum_in_order(row)) / q.actions

    one_step(q, rows, gamma, alpha, row_mean)


def sum_in_order(values):
    total = 0.0
    for x in values:
        total += x
    return total


RULES = {"qlearn_forward": forward, "td_learn_backward": backward, "expected_sarsa": expected_sarsa}


def learn(rule, rows, shape, gamma, alpha, max_iterations, verbose, quit_threshold=0.001):
    """Returns (table as an array, printed text, iterations run)."""
    q = Table(*shape)
    history = []
    lines = []
    for i in range(max_iterations):
        rule(q, rows, gamma, alpha)
        history.append(ordered_sum(q.values))
        if i >= 50000 and i % 25000 == 0:
            recent = ordered_sum(history[i - 25000 : i]) / 25000
            older = ordered_sum(history[i - 50000 : i - 25000]) / 25000
            d = divide(recent - older, older)
            if verbose:
                lines.append(f"Iteration: {i}, Qsum: {console(history[i])}, d: {console(d)}\n")
            if quit_threshold > abs(d):
                return q.array(), "".join(lines), i + 1
    return q.array(), "".join(lines), max_iterations
