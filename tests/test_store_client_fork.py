"""A background client made before os.fork(), used in the child."""

import os
import signal
import threading
import time

import pytest

from xalo_sdk.redis.store_client import StoreClient

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() of a threaded process


def fork_child(body):
    """Runs body() in a forked child; its truth value is the child's exit status 0."""
    pid = os.fork()
    if pid == 0:
        ok = False
        try:
            ok = bool(body())
        finally:
            os._exit(0 if ok else 1)
    return pid


def reap(pids, timeout=20.0):
    """Exit statuses by pid; a child still running at the deadline is killed and reported as 'hang'."""
    statuses, deadline = {}, time.monotonic() + timeout
    while len(statuses) < len(pids) and time.monotonic() < deadline:
        for pid in pids:
            if pid not in statuses:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    statuses[pid] = os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") \
                        else status >> 8
        time.sleep(0.01)
    for pid in set(pids) - set(statuses):
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        statuses[pid] = "hang"
    return statuses


@pytest.mark.parametrize("forks", [pytest.param(3, id="short"),
                                   pytest.param(20, id="many", marks=pytest.mark.long)])
def test_children_store_their_writes_while_the_parent_floods(redis_server, redis_conn, forks):
    c = StoreClient(host="127.0.0.1", port=redis_server.port, workers=1)
    halt = threading.Event()

    def flood():
        n = 0
        while not halt.is_set() and n < 200000:
            c.write_frame_packet({"n": n}, "fork_flood")
            n += 1

    flooder = threading.Thread(target=flood, daemon=True)
    flooder.start()

    def child(i):
        key = f"fork_child_{i}"
        return (c.write_frame_packet({"child": i}, key) and c.flush(5)
                and c.read_frame_packet(key) == {"child": i})

    try:
        pids = []
        for i in range(forks):
            pids.append(fork_child(lambda i=i: child(i)))
            time.sleep(0.005)
    finally:
        halt.set()
        flooder.join(5)
    statuses = reap(pids)
    c.close()
    assert list(statuses.values()) == [0] * forks


def test_writes_pending_at_the_fork_stay_the_parents(redis_server, redis_conn):
    class Gated(StoreClient):
        def __init__(self, *args, **kwargs):
            self.taken, self.release, self.stored = threading.Event(), threading.Event(), []
            super().__init__(*args, **kwargs)

        def _write_(self, data, redis_key, ttl=None):
            if not self.taken.is_set():
                self.taken.set()
                self.release.wait(5)
            self.stored.append(redis_key)
            return super()._write_(data, redis_key, ttl)

    c = Gated(host="127.0.0.1", port=redis_server.port)
    try:
        c.write_frame_packet({"v": 0}, "parent_busy")
        assert c.taken.wait(2)
        c.write_frame_packet({"v": 1}, "parent_pending")
        c.stored.clear()
        # The child writes one key of its own and stores only that.
        pid = fork_child(lambda: c.write_frame_packet({"v": 2}, "child_own") and c.flush(5)
                         and c.stored == ["child_own"])
        assert reap([pid]) == {pid: 0}
        c.release.set()
        assert c.flush(5)
        assert c.stored == ["parent_busy", "parent_pending"]
        assert redis_conn.get("child_own") == b'{"v":2}'
    finally:
        c.release.set()
        c.close()

