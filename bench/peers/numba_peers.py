"""Numba peers: each driver and rule written as a Numba user would write them
with @njit, from the same definitions tarnel follows: the same order of
floating-point operations, the same table sum after every iteration where
the driver has one, and one uniform random pick per iteration (NumPy's
generator inside Numba, one stream per thread).

Episodes are flattened once per call into columns (state, action, reward,
next state, done) and per-episode offsets; that preparation is part of the
timed call, as tarnel's conversion is part of its call. No bounds are
checked (Numba does not check indexes by default); the benchmark data is in
range.
"""

from __future__ import annotations

import numpy as np
from numba import njit, prange

from . import CHECK_START, PERIOD, flatten

LOWEST = -1.7976931348623157e308


def columns(episodes):
    rows, starts = flatten(episodes)
    return (rows[:, 0].astype(np.int64), rows[:, 1].astype(np.int64), rows[:, 2].copy(),
            rows[:, 3].astype(np.int64), rows[:, 4] == 1.0, starts)


@njit(cache=True, inline="always")
def table_sum(x):
    n = x.size
    whole = n - n % 8
    p0 = p1 = p2 = p3 = p4 = p5 = p6 = p7 = 0.0
    for k in range(0, whole, 8):
        p0 += x[k]
        p1 += x[k + 1]
        p2 += x[k + 2]
        p3 += x[k + 3]
        p4 += x[k + 4]
        p5 += x[k + 5]
        p6 += x[k + 6]
        p7 += x[k + 7]
    total = 0.0
    total += p0 + p4
    total += p1 + p5
    total += p2 + p6
    total += p3 + p7
    for k in range(whole, n):
        total += x[k]
    return total


# --- the three rules -------------------------------------------------------

@njit(cache=True, inline="always")
def forward_rule(q, S, A, gamma, alpha, st, ac, rw, nx, dn, begin, end):
    for k in range(begin, end):
        idx = st[k] + ac[k] * S
        old = q[idx]
        target = rw[k]
        if not dn[k]:
            m = LOWEST
            j = nx[k]
            for a in range(A):
                x = q[j + a * S]
                if x > m:
                    m = x
            target = rw[k] + m * gamma
        q[idx] = (target - old) * alpha + old


@njit(cache=True, inline="always")
def backward_rule(q, S, A, gamma, alpha, st, ac, rw, nx, dn, begin, end):
    if end == begin:
        raise IndexError("empty episode")
    keep = 1.0 - alpha
    g = rw[end - 1]
    for k in range(end - 2, begin - 1, -1):
        idx = st[k] + ac[k] * S
        q[idx] = alpha * g + q[idx] * keep
        g = g * gamma + rw[k]


@njit(cache=True, inline="always")
def sarsa_rule(q, S, A, gamma, alpha, st, ac, rw, nx, dn, begin, end):
    for k in range(begin, end):
        s = st[k]
        idx = s + ac[k] * S
        old = q[idx]
        target = rw[k]
        if not dn[k]:
            if S == 1:
                row = table_sum(q[:A])
            else:
                row = 0.0
                for a in range(A):
                    row += q[s + a * S]
            target = rw[k] + (row / A) * gamma
        q[idx] = (target - old) * alpha + old


# --- drivers ---------------------------------------------------------------

def _make_learn(rule):
    @njit(cache=True)
    def learn(st, ac, rw, nx, dn, starts, S, A, gamma, alpha, iterations, quit_threshold):
        q = np.zeros(S * A)
        history = np.zeros(iterations)
        trace = np.zeros(3 * (iterations // PERIOD + 1))
        t = 0
        n = starts.size - 1
        for i in range(iterations):
            e = np.random.randint(0, n)
            rule(q, S, A, gamma, alpha, st, ac, rw, nx, dn, starts[e], starts[e + 1])
            history[i] = table_sum(q)
            if i >= CHECK_START and i % PERIOD == 0:
                recent = table_sum(history[i - PERIOD:i]) / PERIOD
                older = table_sum(history[i - 2 * PERIOD:i - PERIOD]) / PERIOD
                d = (recent - older) / older
                trace[t] = i
                trace[t + 1] = history[i]
                trace[t + 2] = d
                t += 3
                if quit_threshold > abs(d):
                    break
        return q, trace[:t]
    return learn


learn_forward = _make_learn(forward_rule)
learn_backward = _make_learn(backward_rule)
learn_sarsa = _make_learn(sarsa_rule)


@njit(cache=True)
def fast_learn_driver(st, ac, rw, nx, dn, starts, S, A, gamma, alpha, iterations, quit_threshold):
    q = np.zeros(S * A)
    sums = np.zeros(iterations // PERIOD + 1)
    trace = np.zeros(3 * (iterations // PERIOD + 1))
    t = 0
    n = starts.size - 1
    for i in range(iterations):
        e = np.random.randint(0, n)
        forward_rule(q, S, A, gamma, alpha, st, ac, rw, nx, dn, starts[e], starts[e + 1])
        if i % PERIOD != 0:
            continue
        k = i // PERIOD
        sums[k] = table_sum(q)
        if i < CHECK_START:
            continue
        d = (sums[k] - sums[k - 1]) / sums[k - 1]
        trace[t] = i
        trace[t + 1] = sums[k]
        trace[t + 2] = d
        t += 3
        if quit_threshold > abs(d):
            break
    return q, trace[:t]


@njit(cache=True)
def until_convergence_driver(st, ac, rw, nx, dn, starts, S, A, gamma, alpha, iterations,
                             quit_threshold):
    # The table one update earlier matters only at a checkpoint, so it is
    # copied just before a checkpoint's update (what tarnel does as well).
    q = np.zeros(S * A)
    previous = q.copy()
    trace = np.zeros(4 * (iterations // PERIOD + 1))
    t = 0
    n = starts.size - 1
    for i in range(iterations):
        e = np.random.randint(0, n)
        checkpoint = i % PERIOD == 0
        if checkpoint:
            previous[:] = q
        forward_rule(q, S, A, gamma, alpha, st, ac, rw, nx, dn, starts[e], starts[e + 1])
        if not checkpoint:
            continue
        total = 0.0
        same = True
        for k in range(q.size):
            diff = abs(q[k] - previous[k])
            total += diff
            if not diff <= 1e-8:
                same = False
        p = table_sum(previous)
        trace[t] = i
        trace[t + 1] = total / (S * A)
        trace[t + 2] = p
        trace[t + 3] = table_sum(q) - p
        t += 4
        if same:
            break
    return q, trace[:t]


@njit(cache=True)
def double_q_driver(st, ac, rw, nx, dn, starts, S, A, gamma, alpha, iterations, quit_threshold):
    q1 = np.zeros(S * A)
    q2 = np.zeros(S * A)
    trace = np.zeros(3 * (iterations // PERIOD + 1))
    t = 0
    n = starts.size - 1
    for i in range(iterations):
        e = np.random.randint(0, n)
        for k in range(starts[e], starts[e + 1]):
            if np.random.random() < 0.5:
                u, v = q1, q2
            else:
                u, v = q2, q1
            idx = st[k] + ac[k] * S
            old = u[idx]
            target = rw[k]
            if not dn[k]:
                j = nx[k]
                best = 0
                for a in range(A):
                    x = u[j + a * S]
                    current = u[j + best * S]
                    if x > current:
                        best = a
                    elif not x <= current:
                        raise ValueError("undefined order")
                target = rw[k] + v[j + best * S] * gamma
            u[idx] = (target - old) * alpha + old
        if i % PERIOD == 0:
            trace[t] = i
            trace[t + 1] = table_sum(q1)
            trace[t + 2] = table_sum(q2)
            t += 3
    for k in range(q1.size):
        q1[k] = (q1[k] + q2[k]) / 2.0
    return q1, trace[:t]


@njit(cache=True, parallel=True)
def forward_parallel_driver(st, ac, rw, nx, dn, starts, S, A, gamma, alpha, iterations,
                            quit_threshold, workers):
    stack = np.zeros((workers, S * A))
    for w in prange(workers):
        q, _ = learn_forward(st, ac, rw, nx, dn, starts, S, A, gamma, alpha, iterations,
                             quit_threshold)
        stack[w, :] = q
    return stack


DRIVERS = {
    "qlearn_forward": learn_forward,
    "td_learn_backward": learn_backward,
    "expected_sarsa": learn_sarsa,
    "fast_learn": fast_learn_driver,
    "learn_until_convergence": until_convergence_driver,
    "double_q": double_q_driver,
}


def run(function, episodes, q_shape, gamma, alpha, iterations, quit_threshold=0.0, workers=0):
    """Same inputs as the tarnel function; returns (table, trace), or for the
    parallel function the (workers, states, actions) stack."""
    return run_columns(function, columns(episodes), q_shape, gamma, alpha, iterations, quit_threshold, workers)


def run_columns(function, data, q_shape, gamma, alpha, iterations, quit_threshold=0.0, workers=0):
    """The same drivers on columns as they lie (state, action, reward, next
    state, done, and the n + 1 episode offsets), of whatever dtypes: what a
    user with an EpisodeTable's columns runs (W9)."""
    S, A = q_shape
    if function == "qlearn_forward_parallel":
        stack = forward_parallel_driver(*data, S, A, gamma, alpha, iterations, quit_threshold,
                                        workers)
        return np.asfortranarray(stack.reshape(workers, A, S).transpose(0, 2, 1)), None
    if iterations == 0:  # conversion only
        return np.zeros((S, A), order="F"), None
    q, trace = DRIVERS[function](*data, S, A, gamma, alpha, iterations, quit_threshold)
    return q.reshape((A, S)).T, trace
