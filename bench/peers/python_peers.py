"""Plain Python peers: each driver and rule written as a careful Python user
would write them, with the same order of floating-point operations (Python
floats are IEEE doubles), the table as a flat column-major list, and the
`random` module for the picks and coins.

They are far too slow to run a whole workload, so the harness runs them on
a fraction of the iterations and scales the training time (see run.py).
The conversion of the episode arrays is timed apart and not scaled.
"""

from __future__ import annotations

import math
import random
import time
from functools import reduce
from operator import add

from . import CHECK_START, PERIOD

LOWEST = -1.7976931348623157e308


def convert(episodes):
    """Each episode as a list of (state, action, reward, next state, done)."""
    return [[(int(s), int(a), r, int(s2), d == 1.0) for s, a, r, s2, d in e[:, :5].tolist()]
            for e in episodes]


def table_sum(x):
    n = len(x)
    whole = n - n % 8
    p = [reduce(add, x[j:whole:8], 0.0) for j in range(8)]
    total = 0.0
    total += p[0] + p[4]
    total += p[1] + p[5]
    total += p[2] + p[6]
    total += p[3] + p[7]
    for v in x[whole:]:
        total += v
    return total


def forward_rule(q, S, gamma, alpha, episode):
    for s, a, r, s2, done in episode:
        idx = s + a * S
        old = q[idx]
        if done:
            target = r
        else:
            m = LOWEST
            for x in q[s2::S]:
                if x > m:
                    m = x
            target = r + m * gamma
        q[idx] = (target - old) * alpha + old


def backward_rule(q, S, gamma, alpha, episode):
    if not episode:
        raise IndexError("empty episode")
    keep = 1.0 - alpha
    g = episode[-1][2]
    for k in range(len(episode) - 2, -1, -1):
        s, a, r, _, _ = episode[k]
        idx = s + a * S
        q[idx] = alpha * g + q[idx] * keep
        g = g * gamma + r


def sarsa_rule(q, S, gamma, alpha, episode):
    A = len(q) // S
    for s, a, r, _, done in episode:
        idx = s + a * S
        old = q[idx]
        if done:
            target = r
        else:
            if S == 1:
                row = table_sum(q[:A])
            else:
                row = 0.0
                for x in q[s::S]:
                    row += x
            target = r + (row / A) * gamma
        q[idx] = (target - old) * alpha + old


RULES = {"qlearn_forward": forward_rule, "td_learn_backward": backward_rule,
         "expected_sarsa": sarsa_rule}


def learn(rule, eps, S, A, gamma, alpha, iterations, quit_threshold):
    q = [0.0] * (S * A)
    history = [0.0] * iterations
    trace = []
    n = len(eps)
    pick = random.randrange
    for i in range(iterations):
        rule(q, S, gamma, alpha, eps[pick(n)])
        history[i] = table_sum(q)
        if i >= CHECK_START and i % PERIOD == 0:
            recent = table_sum(history[i - PERIOD:i]) / PERIOD
            older = table_sum(history[i - 2 * PERIOD:i - PERIOD]) / PERIOD
            d = _divide(recent - older, older)
            trace += [i, history[i], d]
            if quit_threshold > abs(d):
                break
    return q, trace


def _divide(a, b):
    """IEEE division, which Python refuses for a zero divisor: a signed
    infinity, or NaN for 0/0 and NaN/0."""
    if b != 0.0 or a != a:
        return a / b if b != 0.0 else a
    if a == 0.0:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def fast_learn(eps, S, A, gamma, alpha, iterations, quit_threshold):
    q = [0.0] * (S * A)
    sums = []
    trace = []
    n = len(eps)
    pick = random.randrange
    for i in range(iterations):
        forward_rule(q, S, gamma, alpha, eps[pick(n)])
        if i % PERIOD:
            continue
        sums.append(table_sum(q))
        if i < CHECK_START:
            continue
        d = _divide(sums[-1] - sums[-2], sums[-2])
        trace += [i, sums[-1], d]
        if quit_threshold > abs(d):
            break
    return q, trace


def learn_until_convergence(eps, S, A, gamma, alpha, iterations, quit_threshold):
    q = [0.0] * (S * A)
    previous = q[:]
    trace = []
    n = len(eps)
    pick = random.randrange
    for i in range(iterations):
        episode = eps[pick(n)]
        checkpoint = i % PERIOD == 0
        if checkpoint:  # the table one update earlier is read only here
            previous = q[:]
        forward_rule(q, S, gamma, alpha, episode)
        if not checkpoint:
            continue
        diffs = [abs(x - y) for x, y in zip(q, previous)]
        total = reduce(add, diffs, 0.0)
        p = table_sum(previous)
        trace += [i, total / (S * A), p, table_sum(q) - p]
        if all(x <= 1e-8 for x in diffs):
            break
    return q, trace


def double_q(eps, S, A, gamma, alpha, iterations, quit_threshold):
    q1 = [0.0] * (S * A)
    q2 = [0.0] * (S * A)
    trace = []
    n = len(eps)
    pick = random.randrange
    coin = random.random
    for i in range(iterations):
        for s, a, r, s2, done in eps[pick(n)]:
            u, v = (q1, q2) if coin() < 0.5 else (q2, q1)
            idx = s + a * S
            old = u[idx]
            if done:
                target = r
            else:
                best = 0
                current = u[s2]
                for b in range(A):
                    x = u[s2 + b * S]
                    if x > current:
                        best, current = b, x
                    elif not x <= current:
                        raise ValueError("undefined order")
                target = r + v[s2 + best * S] * gamma
            u[idx] = (target - old) * alpha + old
        if i % PERIOD == 0:
            trace += [i, table_sum(q1), table_sum(q2)]
    return [(x + y) / 2.0 for x, y in zip(q1, q2)], trace


def run(function, episodes, q_shape, gamma, alpha, iterations, quit_threshold=0.0, workers=0):
    """Returns (table as a flat column-major list, trace, conversion seconds,
    training seconds)."""
    S, A = q_shape
    start = time.perf_counter()
    eps = convert(episodes)
    converted = time.perf_counter()
    if function == "qlearn_forward_parallel":
        # No threads in plain Python: the trainings run one after another.
        tables = [learn(forward_rule, eps, S, A, gamma, alpha, iterations, quit_threshold)[0]
                  for _ in range(workers)]
        q, trace = tables, None
    elif iterations == 0:
        q, trace = [0.0] * (S * A), None
    elif function in RULES:
        q, trace = learn(RULES[function], eps, S, A, gamma, alpha, iterations, quit_threshold)
    else:
        q, trace = globals()[function](eps, S, A, gamma, alpha, iterations, quit_threshold)
    done = time.perf_counter()
    return q, trace, converted - start, done - converted
