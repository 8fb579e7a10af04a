"""StoreClient against a real redis-server."""

import os
import queue
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
import redis

from xalo_sdk.redis import store_client
from xalo_sdk.redis.store_client import StoreClient


class Recorder:
    def __init__(self):
        self.records = []

    def warning(self, msg):
        self.records.append(("warning", msg))

    def error(self, msg):
        self.records.append(("error", msg))


@pytest.fixture
def rec(monkeypatch):
    r = Recorder()
    monkeypatch.setattr(store_client, "logger", r)
    return r


@pytest.fixture
def clients():
    made = []

    def make(*args, **kwargs):
        c = StoreClient(*args, **kwargs)
        made.append(c)
        return c

    yield make
    for c in made:
        c._shutdown_executor()


def wait_for(predicate, timeout=3.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return False


class GatedClient(StoreClient):
    """A client whose writer blocks on the first item until released."""

    def __init__(self, *args, **kwargs):
        self.taken = threading.Event()
        self.release = threading.Event()
        self.written = []
        super().__init__(*args, **kwargs)

    def _write_(self, data, redis_key, ttl=None):
        if not self.taken.is_set():
            self.taken.set()
            self.release.wait(5)
        self.written.append(redis_key)
        return super()._write_(data, redis_key, ttl)


# ---- construction -------------------------------------------------------------------

def test_default_construction(monkeypatch):
    registered = []

    class FakeAtexit:
        @staticmethod
        def register(fn):
            registered.append(fn)

    monkeypatch.setattr(store_client, "atexit", FakeAtexit)
    c = StoreClient()
    try:
        pool = c._redis_client.connection_pool
        assert (pool.connection_kwargs["host"], pool.connection_kwargs["port"]) == ("localhost", 6379)
        assert pool.max_connections == 10
        assert pool.connection_kwargs.get("decode_responses", False) is False
        assert c._queue.maxsize == 2
        assert c._worker.name == "StoreClientWorker" and c._worker.daemon and c._worker.is_alive()
        assert c._executor is None
        assert registered == [c._shutdown_executor]
        assert list(vars(c)) == ["_use_thread", "_redis_client", "_executor", "_queue", "_worker", "_stop_evt"]
    finally:
        c._shutdown_executor()
    assert not wait_for(c._worker.is_alive, 1.0)


@pytest.mark.parametrize("workers, connections, queue_size", [
    (3, 15, 3), (0, 10, 1), (-5, 10, 1), (2.9, 10, 2), (4, 20, 4),
])
def test_sizes_follow_workers(clients, workers, connections, queue_size):
    c = clients(port=1, workers=workers)
    assert c._redis_client.connection_pool.max_connections == connections
    assert c._queue.maxsize == queue_size
    assert sum(t.name == "StoreClientWorker" and t.is_alive() for t in threading.enumerate()) >= 1


@pytest.mark.parametrize("thread", [False, 0, "", None])
def test_direct_mode_starts_nothing(monkeypatch, thread):
    monkeypatch.setattr(store_client, "atexit", None)  # any use would fail
    before = threading.active_count()
    c = StoreClient(thread=thread, port=1)
    assert (c._use_thread, c._queue, c._worker) == (False, None, None)
    assert threading.active_count() == before
    c._shutdown_executor()
    c._shutdown_executor()
    assert c._stop_evt.is_set()


def run_python(code, env=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env={**os.environ, **(env or {})}, timeout=60)


def test_redis_host_is_read_once_at_import():
    out = run_python("""
        import os
        from xalo_sdk.redis.store_client import StoreClient
        os.environ["REDIS_HOST"] = "later.example"
        host = lambda c: c._redis_client.connection_pool.connection_kwargs["host"]
        print(host(StoreClient(thread=False)), host(StoreClient(thread=False, host="explicit")))
    """, env={"REDIS_HOST": "at-import.example"})
    assert out.stdout.split() == ["at-import.example", "explicit"], out.stderr


# ---- write path ---------------------------------------------------------------------

def test_direct_write_with_ttl_and_notification(clients, redis_server, redis_conn, subscriber):
    subscriber.subscribe("k_notify")
    c = clients(thread=False, port=redis_server.port)
    assert c.write_frame_packet({"a": 1}, "k", 5) is True
    assert redis_conn.get("k") == b'{"a":1}'
    assert 0 < redis_conn.ttl("k") <= 5
    assert subscriber.messages() == [("k_notify", "1")]


@pytest.mark.parametrize("ttl, expected", [(None, -1), (2.9, 2), (100, 100)])
def test_ttl_forms(clients, redis_server, redis_conn, ttl, expected):
    c = clients(thread=False, port=redis_server.port)
    assert c.write_frame_packet({"a": 1}, "k", ttl=ttl)
    assert redis_conn.ttl("k") in (expected, expected - 1) if expected > 0 else redis_conn.ttl("k") == -1


def test_background_write_is_stored_and_announced(clients, redis_server, redis_conn, subscriber):
    subscriber.subscribe("bg_notify")
    c = clients(port=redis_server.port)
    payload = {"meta": {"ts": 1.5}, "result": [1, 2], "frame": "abc"}
    assert c.write_frame_packet(payload, "bg", 10) is True
    assert wait_for(lambda: redis_conn.get("bg") is not None)
    assert c.read_frame_packet("bg") == payload
    assert 0 < redis_conn.ttl("bg") <= 10
    assert subscriber.messages() == [("bg_notify", "1")]


@pytest.mark.parametrize("thread", [True, False])
def test_none_payload_deletes_without_notification(clients, redis_server, redis_conn, subscriber, thread):
    subscriber.subscribe("gone_notify")
    c = clients(thread=thread, port=redis_server.port)
    redis_conn.set("gone", b"x")
    assert c.write_frame_packet(None, "gone") is True
    assert redis_conn.get("gone") is None
    assert c.write_frame_packet(None, "gone") is False
    assert subscriber.messages() == []


def test_oldest_pending_write_is_displaced(clients, redis_server, redis_conn):
    c = GatedClient(port=redis_server.port, workers=2)
    try:
        assert c.write_frame_packet({"v": "x"}, "X") is True
        assert c.taken.wait(2)
        results = [c.write_frame_packet({"v": name}, name) for name in "ABC"]
        assert results == [True, True, True]
        assert [item[1] for item in c._queue.queue] == ["B", "C"]
        c.release.set()
        assert wait_for(lambda: redis_conn.get("C") is not None)
        assert c.written == ["X", "B", "C"]
        assert redis_conn.get("A") is None
        # C is visible once stored; its task_done follows the notification.
        assert wait_for(lambda: c._queue.unfinished_tasks == 0)
    finally:
        c.release.set()
        c._shutdown_executor()


def test_shutdown_drops_queued_items_and_later_writes_are_synchronous(redis_server, redis_conn):
    c = GatedClient(port=redis_server.port)
    c.write_frame_packet({"v": 0}, "first")
    assert c.taken.wait(2)
    c.write_frame_packet({"v": 1}, "queued")
    threading.Timer(0.1, c.release.set).start()
    c._shutdown_executor()
    c._shutdown_executor()
    assert (c._use_thread, c._queue, c._executor) == (False, None, None)
    assert c._worker is not None
    assert wait_for(lambda: not c._worker.is_alive())
    assert redis_conn.get("queued") is None
    assert c.write_frame_packet({"v": 2}, "after") is True
    assert redis_conn.get("after") == b'{"v":2}'


def test_write_data_stores_values_unchanged(clients, redis_server, redis_conn, subscriber):
    class Sub(dict):
        pass

    subscriber.subscribe("s_notify", "b_notify", "d_notify")
    c = clients(port=redis_server.port)
    assert c.write_data("s", "text") and c.write_data("b", b"\x00\xff") and c.write_data("d", Sub(a=1), 7)
    assert redis_conn.mget("s", "b", "d") == [b"text", b"\x00\xff", b'{"a":1}']
    assert 0 < redis_conn.ttl("d") <= 7
    assert sorted(subscriber.messages()) == [("b_notify", "1"), ("d_notify", "1"), ("s_notify", "1")]
    with pytest.raises(redis.exceptions.DataError):
        c.write_data("bad", object())


class FlakyClient:
    """Wraps a redis client; set or publish can be made to misbehave."""

    def __init__(self, inner, set_reply=None, publish_error=None):
        self.inner, self.set_reply, self.publish_error = inner, set_reply, publish_error

    def set(self, *args, **kwargs):
        return self.set_reply if self.set_reply is not None else self.inner.set(*args, **kwargs)

    def publish(self, channel, message):
        if self.publish_error:
            raise self.publish_error
        return self.inner.publish(channel, message)


@pytest.mark.parametrize("method", ["_write_", "write_data"])
def test_publish_failure_is_a_warning(clients, redis_server, redis_conn, rec, method):
    c = clients(thread=False, port=redis_server.port)
    c._redis_client = FlakyClient(c._redis_client, publish_error=redis.exceptions.ConnectionError("down"))
    call = c._write_ if method == "_write_" else (lambda d, k: c.write_data(k, d))
    assert call({"a": 1}, "pk") is True
    assert redis_conn.get("pk") == b'{"a":1}'
    assert rec.records == [("warning", "Failed to publish notification to pk_notify: down")]


def test_false_set_reply_is_not_announced(clients, redis_server, subscriber, rec):
    subscriber.subscribe("nx_notify")
    c = clients(thread=False, port=redis_server.port)
    c._redis_client = FlakyClient(c._redis_client, set_reply=False)
    assert c.write_frame_packet({"a": 1}, "nx") is False
    assert c.write_data("nx", "v") is False
    assert subscriber.messages(0.2) == [] and rec.records == []


def test_unreachable_server(clients, rec):
    bg = clients(host="127.0.0.1", port=1)
    assert bg.write_frame_packet({"a": 1}, "lost") is True
    assert wait_for(lambda: rec.records)
    level, msg = rec.records[0]
    assert level == "error" and msg.startswith("Failed to write data to redis`lost` - ")
    direct = clients(thread=False, host="127.0.0.1", port=1)
    assert direct._write_({"a": 1}, "lost2") is False
    with pytest.raises(redis.exceptions.ConnectionError):
        direct.write_data("lost3", "v")


def test_writer_survives_an_unserialisable_payload(clients, redis_server, redis_conn, rec):
    c = clients(port=redis_server.port)
    assert c.write_frame_packet({"frame": b"raw bytes"}, "bad") is True
    assert wait_for(lambda: rec.records)
    assert rec.records[0][0] == "error" and rec.records[0][1].startswith("Failed to write data to redis`bad` - ")
    assert c.write_frame_packet({"ok": True}, "good")
    assert wait_for(lambda: redis_conn.get("good") == b'{"ok":true}')
    # "good" is visible once stored; its task_done follows the notification.
    assert c._worker.is_alive() and wait_for(lambda: c._queue.unfinished_tasks == 0)


def test_writer_survives_a_server_restart(clients, redis_server, redis_conn, rec):
    c = clients(port=redis_server.port)
    c.write_frame_packet({"n": 0}, "r")
    assert wait_for(lambda: redis_conn.get("r") is not None)
    redis_server.restart()
    n = 0

    def landed():
        nonlocal n
        n += 1
        c.write_frame_packet({"n": n}, "r")
        time.sleep(0.05)
        try:
            return redis_conn.get("r") is not None
        except redis.exceptions.ConnectionError:
            return False

    assert wait_for(landed, timeout=10)
    assert c._worker.is_alive()


# ---- reads, deletes and scans -------------------------------------------------------

def test_reads(clients, redis_server, redis_conn, rec):
    c = clients(thread=False, port=redis_server.port)
    assert c.read_data("missing") is None and c.read_frame_packet("missing") is None
    redis_conn.set("s", "text")
    assert c.read_data("s") == b"text"
    redis_conn.set("list", "[1, 2]")
    redis_conn.set("num", "3.5")
    assert c.read_frame_packet("list") == [1, 2] and c.read_frame_packet("num") == 3.5
    assert rec.records == []
    redis_conn.set("img", b"\xff\xd8\xff\xe0 not json")
    assert c.read_frame_packet("img") is None
    assert len(rec.records) == 1 and rec.records[0][1].startswith("Failed to get redis frame from img - ")
    with pytest.raises(TypeError):
        c.read_frame_packet(1)
    assert len(rec.records) == 1


def test_delete_many_and_scan_keys(clients, redis_server, redis_conn):
    c = clients(thread=False, port=redis_server.port)
    assert c.delete_many([]) == 0
    assert c.scan_keys("redis_n1_*") == []
    for k in ["redis_n1_0", "redis_n1_1", "redis_n2_0"]:
        redis_conn.set(k, "v")
    keys = c.scan_keys("redis_n1_*")
    assert sorted(keys) == ["redis_n1_0", "redis_n1_1"] and all(type(k) is str for k in keys)
    assert c.delete_many(["redis_n1_0", "nope"]) == 1
    assert c.delete_many(["redis_n1_1", "redis_n2_0"]) == 2
    assert c.delete_data("redis_n1_1") is False


# ---- interpreter exit ---------------------------------------------------------------

def test_exit_with_a_busy_writer_neither_hangs_nor_crashes(redis_server):
    # The server holds the writer's SET past the shutdown's join, so the writer
    # is ended while the interpreter finalizes.
    code = """
        import sys, time, redis
        from xalo_sdk.redis.store_client import StoreClient
        port, pause = int(sys.argv[1]), sys.argv[2:]
        c = StoreClient(port=port)
        redis.StrictRedis(port=port).execute_command(*pause)
        for i in range(5):
            c.write_frame_packet({"i": i, "pad": "x" * 1000}, "exit_key")
        time.sleep(0.05)
    """
    for i in range(12):
        pause = [str(part) for part in redis_server.pause_command(480 + 10 * i)]
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(code), str(redis_server.port), *pause],
                             capture_output=True, text=True, timeout=30)
        redis_server.unpause()
        assert out.returncode == 0, out.stderr


def test_scan_keys_leaves_out_a_key_that_is_not_utf8(clients, redis_server, redis_conn, rec):
    c = clients(thread=False, port=redis_server.port)
    for k in [b"scan_a", "scan_\u00e9".encode(), b"scan_\xff\xfe"]:
        redis_conn.set(k, "v")
    assert sorted(c.scan_keys("scan_*")) == ["scan_a", "scan_\u00e9"]
    assert rec.records == [("warning", "Skipped a key that is not UTF-8: b'scan_\\xff\\xfe'")]


# ---- flush and stats ----------------------------------------------------------------

def test_flush_and_stats_count_stored_and_displaced(redis_server, redis_conn):
    c = GatedClient(port=redis_server.port, workers=2)
    try:
        assert c.flush(0) is True  # nothing pending
        c.write_frame_packet({"v": "x"}, "X")
        assert c.taken.wait(2)
        for name in "ABC":
            c.write_frame_packet({"v": name}, name)
        assert c.flush(0.05) is False  # X is still being written
        c.release.set()
        assert c.flush(5) is True
        assert redis_conn.mget("X", "B", "C") == [b'{"v":"x"}', b'{"v":"B"}', b'{"v":"C"}']
        assert c.stats() == {"queued": 4, "stored": 3, "displaced": 1, "failed": 0, "dropped": 0, "last_error": None}
    finally:
        c.release.set()
        c.close()
    # Stopped: synchronous, counted too, and flush has nothing to wait for.
    assert c.write_frame_packet({"v": 1}, "D") and c.flush() is True
    assert c.stats()["stored"] == 4


def test_flush_waits_for_the_queue_in_use(redis_server):
    c = GatedClient(port=redis_server.port, workers=2)
    try:
        c.write_frame_packet({"v": "x"}, "X")
        assert c.taken.wait(2)
        c.write_frame_packet({"v": "a"}, "A")
        c._queue = queue.Queue()  # redirected: what the old queue holds will never be written
        c.write_frame_packet({"v": "b"}, "B")
        assert c.flush(0.2) is False  # X is still being written
        c.release.set()
        assert c.flush(5) is True and c.written == ["X", "B"]
    finally:
        c.release.set()
        c.close()


@pytest.mark.parametrize("thread", [True, False])
def test_stats_count_failures_with_their_text(clients, rec, thread):
    c = clients(thread=thread, host="127.0.0.1", port=1)
    c.write_frame_packet({"a": 1}, "lost")
    assert c.flush(5) is True
    stats = c.stats()
    assert (stats["queued"], stats["stored"], stats["failed"]) == (int(thread), 0, 1)
    assert stats["last_error"] == rec.records[-1][1]
    assert stats["last_error"].startswith("Failed to write data to redis`lost` - ")


# ---- strict mode --------------------------------------------------------------------

@pytest.mark.parametrize("payload", [{"frame": b"jpeg bytes"}, {"result": [np.float32(0.5)]}],
                         ids=["bytes-frame", "numpy-scalar"])
def test_strict_background_write_refuses_what_cannot_be_serialised(clients, monkeypatch, rec, payload):
    c = clients(host="127.0.0.1", port=1)
    assert c.write_frame_packet(payload, "k") is True  # not strict: queued
    monkeypatch.setattr(store_client, "STRICT", True)
    with pytest.raises(TypeError):
        c.write_frame_packet(payload, "k")
    assert c.write_frame_packet({"ok": 1}, "k") is True
