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
    # Each call picks once from two episodes, and the table shows which. A
    # fresh thread starts a fresh generator, so the calls below read its
    # stream from the first word; a pick takes one word or more (draws can be
    # rejected), so 32768 picks read well past several reseed points. A
    # reseed that kept the old key would restart the same stream, and the
    # first WINDOW picks would come again, exactly, a reseed later. With fresh
    # keys, for any one lag the picks agree with their counterparts like fair
    # coins: 2048 or more of the same 2048 at one of fewer than 32768 lags has
    # probability below 2^15 * e^-256 by Hoeffding's bound (the test fails at
    # 3/4 of WINDOW), so a correct generator fails this about never.
    window = 2048
    data = [episode((0, 0, 1.0, 0, 1)), episode((1, 0, 1.0, 0, 1))]
    picks = []

    def draw():
        for _ in range(2 * RESEED_WORDS):
            picks.append(int(tarnel.qlearn_forward(data, (2, 1), 0.0, 1.0, 1, False)[1, 0]))

    thread = threading.Thread(target=draw)
    thread.start()
    thread.join()
    assert len(picks) == 2 * RESEED_WORDS
    picks = np.array(picks, dtype=np.int8)
    later = np.lib.stride_tricks.sliding_window_view(picks, window)[1:]
    most = max(int(np.count_nonzero(later[k:k + 1024] == picks[:window], axis=1).max())
               for k in range(0, len(later), 1024))
    assert most < window * 3 // 4, f"the first {window} picks came again with {most} agreeing"
    # Both episodes are picked about equally often: 16384 +- 2048 is 22
    # deviations, again about never outside for a fair pick.
    assert abs(int(picks.sum()) - RESEED_WORDS) <= 2048


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
