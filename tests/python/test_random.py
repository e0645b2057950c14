"""The random source as the drivers use it: every episode is picked, the
pick sequence does not repeat when the generator takes a fresh key after
65536 bytes of output, and a forked child draws other picks than its parent."""

import os
import threading

import numpy as np
import pytest

import tarnel
from conftest import SEQUENTIAL, arguments, episode

# The generator reseeds after this many 32-bit words of output.
RESEED_WORDS = 65536 // 4


def call(name, data, q_shape, max_iterations):
    return getattr(tarnel, name)(*arguments(name, data, q_shape, 0.9, 0.5, max_iterations))


def test_replays_pick_every_episode():
    # Two terminal one-step episodes on separate entries: with 2000
    # iterations both are picked (a miss has probability 2 * 2**-2000).
    data = [np.array([[0, 0, 1.0, 0, 1]]), np.array([[1, 1, 2.0, 0, 1]])]
    q = tarnel.qlearn_forward(data, (2, 2), 0.9, 0.5, 2000, False)
    assert q[0, 0] == 1.0 and q[1, 1] == 2.0


def test_picks_do_not_repeat_across_a_reseed():
    # Each call picks once from two episodes, which takes exactly one 32-bit
    # word (a draw for two choices is never rejected), and the table shows
    # which episode it was. A fresh thread starts a fresh generator, so pick k
    # uses word k: the first RESEED_WORDS picks come from the first key, the
    # next RESEED_WORDS from the second. A reseed that kept the old key would
    # restart the same stream, and each pick of the second run would equal
    # the pick at the same place in the first. With independent keys the
    # RESEED_WORDS pairs agree like fair coins: mean 8192, deviation 64.
    # Outside 8192 +- 1024 (16 deviations) has probability below 2 * e^-128
    # by Hoeffding's bound, so a correct generator fails this about never.
    data = [episode((0, 0, 1.0, 0, 1)), episode((1, 0, 1.0, 0, 1))]
    picks = []

    def draw():
        for _ in range(2 * RESEED_WORDS):
            picks.append(int(tarnel.qlearn_forward(data, (2, 1), 0.0, 1.0, 1, False)[1, 0]))

    thread = threading.Thread(target=draw)
    thread.start()
    thread.join()
    assert len(picks) == 2 * RESEED_WORDS
    first, second = np.array(picks[:RESEED_WORDS]), np.array(picks[RESEED_WORDS:])
    agreements = int(np.count_nonzero(first == second))
    assert abs(agreements - RESEED_WORDS // 2) <= 1024, agreements
    # Both runs pick both episodes about equally often, by the same bound.
    assert abs(int(first.sum()) - RESEED_WORDS // 2) <= 1024
    assert abs(int(second.sum()) - RESEED_WORDS // 2) <= 1024


@pytest.mark.parametrize("name", SEQUENTIAL)
def test_forked_child_draws_other_episodes_than_its_parent(name):
    # Sixteen two-step episodes, one per state, 200 picks: the table records
    # how often each state was picked, so two processes drawing the
    # same stream give the same table, and independent streams the same table
    # only with negligible probability. The parent has drawn before the fork,
    # so the child inherits a generator with words still buffered.
    data = [episode((s, 0, 1.0, s, 0), (s, 0, 1.0, s, 1)) for s in range(16)]

    def train():
        return call(name, data, (16, 1), 200).tobytes()

    train()
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # child: report its table and leave at once
        try:
            os.close(read_end)
            os.write(write_end, train())
        finally:
            os._exit(0)
    os.close(write_end)
    parent = train()
    with os.fdopen(read_end, "rb") as reader:
        child = reader.read()
    os.waitpid(pid, 0)
    assert len(child) == len(parent)
    assert child != parent
