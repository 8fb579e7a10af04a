"""The client's public lifecycle: close() and use as a context manager."""

import atexit
import gc
import threading
import time
import weakref

import pytest

from xalo_sdk.redis.store_client import StoreClient


@pytest.mark.parametrize("thread", [True, False])
def test_close_stops_the_writer_and_is_idempotent(redis_server, redis_conn, monkeypatch, thread):
    registered = []
    monkeypatch.setattr(atexit, "register", registered.append)
    unregistered = []
    monkeypatch.setattr(atexit, "unregister", unregistered.append)
    c = StoreClient(thread=thread, port=redis_server.port)
    worker = c._worker
    c.close()
    c.close()
    assert (c._use_thread, c._queue, c._executor) == (False, None, None)
    assert c._stop_evt.is_set()
    if worker is not None:
        worker.join(1)
        assert not worker.is_alive()
    # Each close() removes the exit hook that construction registered (if any).
    assert len(registered) == int(thread) and len(unregistered) == 2
    assert all(u == r for u in unregistered for r in registered)
    # A closed client still works, synchronously.
    assert c.write_frame_packet({"v": 1}, "k") is True
    assert redis_conn.get("k") == b'{"v":1}'


def test_context_manager_closes_and_lets_exceptions_through(redis_server):
    with StoreClient(port=redis_server.port) as c:
        assert isinstance(c, StoreClient) and c._use_thread
    assert not c._use_thread and c._queue is None
    with pytest.raises(KeyError):
        with StoreClient(port=redis_server.port) as c:
            raise KeyError("boom")
    assert not c._use_thread
    assert c.__exit__(None, None, None) is False


def test_a_closed_client_can_be_freed(redis_server):
    c = StoreClient(port=redis_server.port)
    c.close()
    c._worker.join(1)
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is None


def writers():
    return [t for t in threading.enumerate() if t.name == "StoreClientWorker"]


def wait_gone(threads, timeout=5.0):
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    return not any(t.is_alive() for t in threads)


@pytest.mark.parametrize("count", [1, 50])
def test_dropped_clients_are_freed_with_their_writers(redis_server, monkeypatch, count):
    from test_store_client import wait_for

    hooks = []
    monkeypatch.setattr(atexit, "register", hooks.append)
    monkeypatch.setattr(atexit, "unregister", lambda f: hooks.remove(f))
    clients = [StoreClient(host="127.0.0.1", port=redis_server.port) for _ in range(count)]
    clients[0].write_frame_packet({"v": 1}, "dropped")  # one that has written
    threads = [c._worker for c in clients]
    refs = [weakref.ref(c) for c in clients]
    del clients
    # A writer holds its client from the start of a round to its wait on the
    # queue; one caught there (a slow board starting 50) frees it just after.
    def freed():
        gc.collect()
        return all(r() is None for r in refs)

    assert wait_for(freed, timeout=5.0)
    assert wait_gone(threads)
    assert hooks == []


def test_close_wakes_an_idle_writer(redis_server):
    # Each writer waits on its queue; close() must not wait out that wait.
    clients = [StoreClient(host="127.0.0.1", port=redis_server.port) for _ in range(10)]
    t0 = time.monotonic()
    for c in clients:
        c.close()
    assert time.monotonic() - t0 < 1.0  # ten polls of the writer would take 2 s
    assert not any(c._worker.is_alive() for c in clients)



@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() of a threaded process
@pytest.mark.parametrize("event", ["close", "fork"])
def test_counts_add_up_after_close_and_in_a_forked_child(redis_server, redis_conn, event):
    from test_store_client import GatedClient, wait_for
    from test_store_client_fork import fork_child, reap

    c = GatedClient(port=redis_server.port, workers=2)
    try:
        c.write_frame_packet({"v": 0}, "busy")
        assert c.taken.wait(2)
        c.write_frame_packet({"v": 1}, "pending")  # queued behind the write the writer holds
        if event == "fork":
            zero = {"queued": 0, "stored": 0, "displaced": 0, "failed": 0, "dropped": 0, "last_error": None}
            pid = fork_child(lambda: c.stats() == zero and c.write_frame_packet({"v": 2}, "child") and c.flush(5)
                             and c.stats() == dict(zero, queued=1, stored=1))
            assert reap([pid]) == {pid: 0}
            return
        c.close()  # the writer is held past the close's wait: "pending" is dropped
        c.release.set()
        assert c.flush(5) is False
        assert wait_for(lambda: c.stats()["stored"] == 1)
        assert (c.stats()["queued"], c.stats()["dropped"]) == (2, 1)
        assert redis_conn.get("pending") is None
    finally:
        c.release.set()
        c.close()

