"""Faults and load: failing workers, refused threads, impossible bootstrap
sizes, memory exhaustion, standard output lost or a SIGPIPE already pending,
and concurrent Python threads.

Limits that would also bind the test runner (RLIMIT_AS, RLIMIT_NPROC, a
changed user) are set in a child interpreter.
"""

import importlib.util
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import tarnel
from conftest import JOIN_FAILURE, PARALLEL, SANITIZED, SEQUENTIAL, arguments, episode, table_of

# AddressSanitizer reserves terabytes of shadow address space at start-up, so
# an address-space limit cannot be tested in a sanitized process; and its
# operator new ends the process instead of throwing when memory runs out.
needs_address_limit = pytest.mark.skipif(SANITIZED, reason="RLIMIT_AS cannot bind under AddressSanitizer")

# A two-state chain whose result depends on the order of its rows.
CHAIN = episode((0, 1, 1.0, 1, 0), (1, 0, -0.5, 0, 0), (0, 0, 2.0, 1, 1))
# Fails every rule on its first row: state 9 lies outside the tables used here.
BAD = episode((9, 0, 1.0, 0, 0), (0, 0, 1.0, 0, 1))

def call(name, data, q_shape=(2, 2), max_iterations=20, workers=2):
    """Calls any of the eight functions with learning parameters of no interest here."""
    return getattr(tarnel, name)(*arguments(name, data, q_shape, 0.9, 0.5, max_iterations,
                                            sample_size=len(data) or 1, workers=workers))


def native_threads():
    return len(os.listdir("/proc/self/task"))


def threads_settle_to(expected):
    """Whether this process's thread count comes down to `expected`: a joined
    thread may stay listed for a moment while the kernel reaps it."""
    deadline = time.monotonic() + 2.0
    while native_threads() > expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return native_threads() == expected


def run_child(code, timeout=120):
    """Runs `code` in a fresh interpreter (inheriting the environment, so a
    sanitized run stays sanitized); returns (exit code, the lines it reported,
    stderr)."""
    prelude = textwrap.dedent("""
        import os, resource, sys
        import numpy as np
        import tarnel

        def vm_size():
            with open("/proc/self/status") as status:
                line = next(l for l in status if l.startswith("VmSize:"))
            return int(line.split()[1]) * 1024

        def limit_address_space(extra):
            limit = vm_size() + extra
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        def threads(expected=None):
            # Waits a moment for joined threads to be reaped down to `expected`.
            import time
            deadline = time.monotonic() + 2.0
            while expected is not None and len(os.listdir("/proc/self/task")) > expected:
                if time.monotonic() > deadline:
                    break
                time.sleep(0.01)
            return len(os.listdir("/proc/self/task"))

        def outcome(thunk):
            try:
                result = thunk()
            except BaseException as error:
                return type(error).__name__ + ": " + str(error)
            return "ok " + str(result.shape)

        def report(*values):
            # Marked, to tell these lines from the module's own output.
            print("=>", *values, flush=True)

        ep = np.array([[0, 1, 1.0, 1, 0], [1, 0, -0.5, 0, 0], [0, 0, 2.0, 1, 1]])
        # Warm up: the NumPy API, the exception type and this thread's generator.
        tarnel.qlearn_forward([ep], (2, 2), 0.9, 0.1, 1, False)
    """)
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env)
    reported = [line[3:] for line in done.stdout.splitlines() if line.startswith("=> ")]
    return done.returncode, reported, done.stdout + done.stderr


# --- workers ---------------------------------------------------------------

@pytest.mark.parametrize("name", ["qlearn_forward_parallel", "td_learn_backward_parallel"])
def test_one_bad_episode_drawn_by_some_of_64_workers(capfd, name):
    # Nine good episodes and one bad one, three picks per worker: a forward
    # worker misses the bad one with probability 0.9^3 = 0.73, so all 64 miss
    # it with probability 0.73^64, about 2e-9; a backward worker's sample of
    # ten holds it with probability 0.65. Some workers fail, most do not.
    data = [CHAIN] * 9 + [BAD]
    before = native_threads()
    with pytest.raises(BaseException) as caught:
        call(name, data, max_iterations=3, workers=64)
    assert not isinstance(caught.value, Exception)
    assert str(caught.value) == JOIN_FAILURE
    assert threads_settle_to(before)
    err = capfd.readouterr().err.splitlines()
    failed_workers = sum("state 9" in line for line in err)
    assert 1 <= failed_workers < 64
    assert err.count("tarnel: " + JOIN_FAILURE) == 1
    # The process is unharmed: the same call without the bad episode works.
    assert call(name, data[:-1], max_iterations=3, workers=64).shape == (64, 2, 2)


@pytest.mark.parametrize("setup", ["address_space", "process_count"])
@pytest.mark.parametrize("name", ["qlearn_forward_parallel", "td_learn_backward_parallel"])
def test_refused_thread_creation_fails_and_leaves_no_thread(setup, name):
    # Root is exempt from RLIMIT_NPROC, so the child first becomes `nobody`;
    # an address space too small for more than a few 8 MiB thread stacks works
    # for any user. Either way thread creation is refused after a few workers
    # of 2^40 asked for.
    if setup == "address_space" and SANITIZED:
        pytest.skip("RLIMIT_AS cannot bind under AddressSanitizer")
    if setup == "process_count" and os.geteuid() != 0 and os.getuid() != 0:
        pytest.skip("needs root to switch to an unprivileged user")
    limit = ("limit_address_space(64 << 20)" if setup == "address_space" else
             "os.setgid(65534); os.setuid(65534); resource.setrlimit(resource.RLIMIT_NPROC, (6, 6))")
    if name == "qlearn_forward_parallel":
        thunk = "tarnel.qlearn_forward_parallel([ep], (2, 2), 0.9, 0.1, 5000, 1 << 40, False)"
    else:
        thunk = "tarnel.td_learn_backward_parallel([ep], (2, 2), 0.9, 0.1, 5000, 3, 1 << 40, False)"
    code, out, err = run_child(f"""
        before = threads()
        {limit}
        report(outcome(lambda: {thunk}))
        report(threads(before) - before)
        # Refused once, the limit still holds, but a single worker can start.
        report(outcome(lambda: {thunk.replace("1 << 40", "1")}))
        """)
    assert code == 0, err
    assert out == ["TrainingFailure: the operating system refused to start a worker thread", "0",
                   "ok (1, 2, 2)"], err


# --- sizes and memory --------------------------------------------------------

@pytest.mark.parametrize("size, error", [
    (1 << 62, "TrainingFailure"),
    pytest.param(1 << 58, "MemoryError", marks=pytest.mark.skipif(
        SANITIZED, reason="AddressSanitizer ends the process when an allocation fails")),
])
def test_impossible_bootstrap_sample_sizes(size, error):
    # 2^62 indices cannot even be sized; 2^58 can (2 EiB) but not be had.
    code, out, err = run_child(f"""
        f = tarnel.td_learn_backward_parallel
        report(outcome(lambda: f([ep], (2, 2), 0.9, 0.1, 5, {size}, 2, False)))
        report(threads(1))
        """)
    assert code == 0, err
    assert out[0].split(":")[0] == error, err
    assert out[1] == "1"


@needs_address_limit
@pytest.mark.parametrize("name", SEQUENTIAL + PARALLEL)
def test_memory_exhaustion_raises_and_the_process_goes_on(name):
    # A 4 GiB table under a 256 MiB allowance. A sequential driver raises
    # MemoryError; a parallel worker's failed allocation fails the worker and
    # so the call. Afterwards the process trains normally within the limit.
    code, out, err = run_child(f"""
        import tarnel
        f = tarnel.{name}
        extra = {{"td_learn_backward_parallel": (1, 2), "qlearn_forward_parallel": (2,)}}.get("{name}", ())
        limit_address_space(256 << 20)
        report(outcome(lambda: f([ep], (1 << 26, 8), 0.9, 0.1, 1, *extra, False)))
        report(outcome(lambda: f([ep], (2, 2), 0.9, 0.1, 1, *extra, False)))
        """)
    assert code == 0, err
    first, second = out
    allowed = ["MemoryError"]
    if name.endswith("parallel"):
        allowed.append("TrainingFailure: " + JOIN_FAILURE)
    assert first.startswith(tuple(allowed)), err
    assert second.startswith("ok (")


@needs_address_limit
def test_memory_exhaustion_while_building_episodes():
    # The episode array itself fits; its training records (16 bytes per row
    # against the array's 40, 80 MB in all) do not fit beside it.
    code, out, err = run_child("""
        big = np.zeros((5_000_000, 5))
        before = sys.getrefcount(big)
        limit_address_space(48 << 20)
        report(outcome(lambda: tarnel.qlearn_forward([big], (2, 2), 0.9, 0.1, 1, False)))
        report(sys.getrefcount(big) == before)
        """)
    assert code == 0, err
    assert out == ["MemoryError: ", "True"], err


# A failing call of each kind, and the error it raises when memory is there.
# Made from the sweep's own frame: an allocation failed while an exception
# crosses more Python frames makes CPython itself raise SystemError.
FAILING = {
    "located": (tarnel.qlearn_forward, ([CHAIN, BAD], (2, 2), 0.9, 0.5, 20, False), None),
    "workers": (tarnel.qlearn_forward_parallel, ([BAD], (2, 2), 0.9, 0.5, 20, 2, False), None),
    "notes": (tarnel.qlearn_forward, ([CHAIN, BAD.astype(np.float32)], (2, 2), 0.9, 0.5, 20, False), TypeError),
    "findings": (tarnel.check_episodes, ([BAD, episode()], (2, 2)), ValueError),
    "table": (tarnel.EpisodeTable, ([0, 1], [0, 1], [0.5, 1], [1, 0], [0, 1], [1]), ValueError),
    "located in a table": (tarnel.qlearn_forward, (table_of([CHAIN, BAD]), (2, 2), 0.9, 0.5, 20, False), None),
    "table note": (tarnel.qlearn_forward, ({"state": [1]}, (2, 2), 0.9, 0.5, 20, False), TypeError),
    "visit counts": (tarnel.visit_counts, ([CHAIN, BAD.astype(np.float32)], (2, 2)), TypeError),
}


@pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None, reason="needs _testcapi.set_nomemory")
@pytest.mark.parametrize("kind", FAILING)
def test_a_failed_allocation_gives_the_calls_own_error_or_memory_error(capfd, training_failure, kind):
    import _testcapi
    function, args, own = FAILING[kind]
    own = own or training_failure
    with pytest.raises(own):
        function(*args)
    reports, raised = set(capfd.readouterr().err.splitlines()), set()
    for k in range(200):  # each of the call's first 200 allocations fails in turn
        _testcapi.set_nomemory(k, k + 1)
        try:
            function(*args)
        except BaseException as error:  # noqa: BLE001 - every outcome is checked
            raised.add(type(error))
        finally:
            _testcapi.remove_mem_hooks()
    assert raised <= {own, MemoryError} and own in raised, raised
    assert set(capfd.readouterr().err.splitlines()) <= reports


@pytest.mark.parametrize("output", ["pipe_without_reader", "same_with_sigpipe_default", "closed"])
def test_lost_standard_output_does_not_stop_training(output):
    # Progress and configuration lines to a pipe nobody reads (EPIPE, or a
    # SIGPIPE that would kill the process at its default action) or to a
    # closed descriptor are lost; the trainings are not.
    code, out, err = run_child(f"""
        import signal
        if "{output}" == "closed":
            os.close(1)
        else:
            read_end, write_end = os.pipe()
            os.dup2(write_end, 1)
            os.close(read_end)
            os.close(write_end)
            if "{output}" == "same_with_sigpipe_default":
                signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        results = [tarnel.qlearn_forward_parallel([ep], (2, 2), 0.9, 0.1, 60000, 2, True),
                   tarnel.learn_until_convergence([ep], (2, 2), 0.9, 0.1, 60000, True),
                   tarnel.double_q([ep], (2, 2), 0.9, 0.1, 60000, True)]
        sys.stderr.write("shapes " + " ".join(str(r.shape) for r in results) + "\\n")
        """)
    assert code == 0, err
    assert "shapes (2, 2, 2) (2, 2) (2, 2)" in err


# A SIGPIPE already pending (blocked) before a call belongs to the caller: a
# write of the call that meets a broken pipe takes back only the SIGPIPE it
# raised itself, if any, and never the caller's. Each runs the call with fd 1 a
# pipe without reader and checks the pending set before and after.
@pytest.mark.parametrize("pending_before", [True, False], ids=["pending", "not_pending"])
@pytest.mark.parametrize("thunk", [
    "tarnel.learn_until_convergence([ep], (2, 2), 0.9, 0.1, 1, False)",  # its line at iteration 0
    "tarnel.double_q([ep], (2, 2), 0.9, 0.1, 1, False)",  # likewise
    "tarnel.qlearn_forward_parallel([ep], (2, 2), 0.9, 0.1, 1, 1, False)",  # the configuration line
], ids=["learn_until_convergence", "double_q", "qlearn_forward_parallel"])
def test_pending_sigpipe_stays_pending_after_a_lost_write(thunk, pending_before):
    code, out, err = run_child(f"""
        import signal
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_BLOCK, {{signal.SIGPIPE}})
        if {pending_before}:
            signal.raise_signal(signal.SIGPIPE)  # directed at this thread, which blocks it
        report(signal.SIGPIPE in signal.sigpending())
        saved = os.dup(1)
        read_end, write_end = os.pipe()
        os.dup2(write_end, 1)
        os.close(read_end)
        os.close(write_end)
        result = outcome(lambda: {thunk})
        os.dup2(saved, 1)
        report(result)
        report(signal.SIGPIPE in signal.sigpending())
        """)
    assert code == 0, err
    shape = "(1, 2, 2)" if "parallel" in thunk else "(2, 2)"
    assert out == [str(pending_before), f"ok {shape}", str(pending_before)], err


# --- processes and threads ----------------------------------------------------

def test_concurrent_calls_from_python_threads_get_their_own_results(capfd):
    # With a single episode every pick is that episode, so the deterministic
    # drivers give one exact table; eight threads calling all of them at once
    # must each see exactly the table a lone call gives.
    names = ["qlearn_forward", "td_learn_backward", "expected_sarsa", "fast_learn",
             "learn_until_convergence", "qlearn_forward_parallel", "td_learn_backward_parallel"]
    shapes = [(2, 2), (3, 2), (2, 3)]
    expected = {(n, s): call(n, [CHAIN], q_shape=s, max_iterations=50) for n in names for s in shapes}
    failures = []
    start = threading.Barrier(8)

    def worker(k):
        try:
            start.wait()
            for round_ in range(6):
                for n in names:
                    s = shapes[(k + round_) % len(shapes)]
                    got = call(n, [CHAIN], q_shape=s, max_iterations=50)
                    if not np.array_equal(got, expected[n, s]):
                        failures.append((k, n, s))
                # A failing call between the good ones must not disturb anyone.
                try:
                    call("qlearn_forward", [BAD], max_iterations=1)
                except BaseException:  # noqa: BLE001 - the training failure is expected
                    pass
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append((k, repr(error)))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    # Each failing call reported once, in whole lines.
    assert capfd.readouterr().err == "tarnel: index out of bounds: state 9 is not below the number of states, 2\n" * 48
