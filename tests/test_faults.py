"""The background writer under server faults and contention, against
redis-servers of the tests' own that are killed, stopped and restarted."""

import collections
import json
import os
import signal
import socket
import threading
import time

import pytest
import redis

import redis_servers as rs
from xalo_sdk.redis import store_client
from xalo_sdk.redis.store_client import StoreClient

LONG = os.environ.get("XALO_LONG") == "1"
KILL_CYCLES = 5 if LONG else 1
STOP_SECONDS = 5.0 if LONG else 1.5
WRITES_PER_THREAD = 2000 if LONG else 200


@pytest.fixture
def log(monkeypatch):
    messages = []

    class Log:
        def warning(self, msg):
            messages.append(msg)

        error = warning

    monkeypatch.setattr(store_client, "logger", Log())
    return messages


class Producer(threading.Thread):
    """Writes {"n": i} under one key every 2 ms, far above 100 writes/s;
    keeps whatever a call raises."""

    def __init__(self, client, key):
        super().__init__(daemon=True)
        self.client, self.key = client, key
        self.n, self.errors, self.halt = 0, [], threading.Event()

    def run(self):
        while not self.halt.is_set():
            try:
                self.client.write_frame_packet({"n": self.n}, self.key)
            except BaseException as e:  # noqa: B036 - any raise is the failure looked for
                self.errors.append(e)
            self.n += 1
            time.sleep(0.002)

    def finish(self):
        self.halt.set()
        self.join(5)
        assert not self.is_alive() and self.errors == []


def landed_after(conn, key, n, timeout):
    """True once the key holds a write numbered above n."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            value = conn.get(key)
        except redis.exceptions.ConnectionError:
            value = None
        if value is not None and json.loads(value)["n"] > n:
            return True
        time.sleep(0.01)
    return False


@pytest.fixture
def writer(own_redis, log):
    client = StoreClient(host="127.0.0.1", port=own_redis.port, workers=2)
    producer = Producer(client, "fault_key")
    producer.start()
    conn = redis.StrictRedis(host="127.0.0.1", port=own_redis.port)
    assert landed_after(conn, "fault_key", -1, 5)
    yield client, producer, conn
    producer.halt.set()
    client._shutdown_executor()
    conn.close()


def test_writer_rides_out_a_killed_and_restarted_server(own_redis, writer, log):
    client, producer, conn = writer
    for _ in range(KILL_CYCLES):
        own_redis.kill()
        time.sleep(0.3)
        own_redis.start()  # same port
        assert landed_after(conn, "fault_key", producer.n, 1.0), "no write landed within 1 s of the restart"
        assert client._worker.is_alive()
    producer.finish()
    assert any(m.startswith("Failed to write data to redis`fault_key` - ") for m in log)


def test_writer_rides_out_a_stopped_server(own_redis, writer):
    client, producer, conn = writer
    own_redis.proc.send_signal(signal.SIGSTOP)
    try:
        before = producer.n
        time.sleep(STOP_SECONDS)
        # The writer waits on the stopped server; the callers must not.
        assert producer.n - before > 20
        assert client._worker.is_alive()
        assert len(client._queue.queue) <= client._queue.maxsize
    finally:
        own_redis.proc.send_signal(signal.SIGCONT)
    assert landed_after(conn, "fault_key", producer.n, 2.0)
    assert client._worker.is_alive()
    producer.finish()


class CountingClient(StoreClient):
    """Counts the stores of every key, whichever thread performs them."""

    def __init__(self, *args, **kwargs):
        self.stores = collections.Counter()
        self.lock = threading.Lock()
        super().__init__(*args, **kwargs)

    def _write_(self, data, redis_key, ttl=None):
        with self.lock:
            self.stores[redis_key] += 1
        return super()._write_(data, redis_key, ttl)


@pytest.mark.parametrize("workers", [1, 8])
def test_eight_producers_share_one_client(own_redis, log, workers):
    client = CountingClient(host="127.0.0.1", port=own_redis.port, workers=workers)
    errors = []

    def produce(t):
        for i in range(WRITES_PER_THREAD):
            try:
                assert client.write_frame_packet({"t": t, "i": i}, f"p_{t}_{i}", 60) is True
            except BaseException as e:  # noqa: B036
                errors.append(e)

    threads = [threading.Thread(target=produce, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(60)
    try:
        joiner = threading.Thread(target=client._queue.join, daemon=True)
        joiner.start()
        joiner.join(5)
        assert not joiner.is_alive(), f"queue.join() hangs, {client._queue.unfinished_tasks} tasks unfinished"
        assert errors == [] and log == []
        assert client.stores and max(client.stores.values()) == 1, "a payload was stored twice"
        keys = sorted(client.stores)
        conn = redis.StrictRedis(host="127.0.0.1", port=own_redis.port)
        expected = [json.dumps({"t": int(k.split("_")[1]), "i": int(k.split("_")[2])}, separators=(",", ":"))
                    for k in keys]
        assert [v.decode() for v in conn.mget(keys)] == expected
        assert client._worker.is_alive()
    finally:
        client._shutdown_executor()


class Interposer:
    """A relay in front of a redis-server for one connection: it calls hook(n)
    before it passes on the client's n-th send, and counts the bytes of the
    reply to each send in `replies` (a client waits for it before it sends again)."""

    def __init__(self, upstream):
        self.hook, self.replies = None, []
        listener = socket.create_server(("127.0.0.1", 0))
        self.port = listener.getsockname()[1]

        def serve():
            client, _ = listener.accept()
            server = socket.create_connection(("127.0.0.1", upstream))
            threading.Thread(target=self._pump, args=(server, client, False), daemon=True).start()
            self._pump(client, server, True)

        threading.Thread(target=serve, daemon=True).start()

    def _pump(self, src, dst, sends):
        while True:
            data = src.recv(1 << 20)
            if not data:
                return dst.close()
            if sends:
                self.replies.append(0)
                if self.hook:
                    self.hook(len(self.replies))
            else:
                self.replies[-1] += len(data)
            dst.sendall(data)


MiB = 1 << 20


# A writer changes the key between the reader's commands: before its send
# number `at`, the key gets `grown` bytes.
@pytest.mark.parametrize("limit, before, at, grown, read", [
    (1000, None, 2, 100_000, None),               # missing, then set
    (MiB, 600_000, 3, 3 * MiB, 600_000),           # one frame, then a huge one
    (6 * MiB, 5 * MiB, 3, 12 * MiB, None),          # over the one-trip window, then over the limit
], ids=["appears", "replaced", "grows"])
def test_a_read_never_asks_for_more_than_the_limit(redis_server, redis_conn, monkeypatch, log,
                                                   limit, before, at, grown, read):
    monkeypatch.setenv("XALO_MAX_PAYLOAD_BYTES", str(limit))
    relay = Interposer(redis_server.port)
    c = StoreClient(thread=False, host="127.0.0.1", port=relay.port)
    assert c.read_data("other") is None  # connected
    if before is not None:
        redis_conn.set("hostile", b"x" * before)
    relay.replies.clear()
    relay.hook = lambda n: n == at and redis_conn.set("hostile", b"y" * grown)
    got = c.read_data("hostile")
    assert (None if got is None else len(got)) == read
    assert max(relay.replies) <= limit + 100, f"replies of {relay.replies} bytes"


def test_a_stall_longer_than_redis_py_timeouts_is_waited_out(own_redis, log):
    clients = [StoreClient(host="127.0.0.1", port=own_redis.port),
               StoreClient.from_url(f"redis://127.0.0.1:{own_redis.port}")]
    for c in clients:
        assert c.write_data("stall", "before")
    reads = []
    reader = threading.Thread(target=lambda: reads.append(clients[0].read_data("stall")), daemon=True)
    own_redis.proc.send_signal(signal.SIGSTOP)
    try:
        for i, c in enumerate(clients):
            assert c.write_frame_packet({"i": i}, f"stall_{i}")
        reader.start()
        time.sleep(5.5)  # redis-py 8 gives up after 5 s by default
    finally:
        own_redis.proc.send_signal(signal.SIGCONT)
    assert [c.flush(10) for c in clients] == [True, True]
    reader.join(10)
    assert [c.stats()["stored"] for c in clients] == [1, 1] and reads == [b"before"] and log == []
    for c in clients:
        c.close()


@pytest.mark.parametrize("guard", ["min-replicas-to-write", "XALO_WAIT_REPLICAS"])
def test_a_write_no_replica_took_is_counted_failed(tmp_path, monkeypatch, log, guard):
    conf = ["repl-diskless-sync-delay 0"]
    if guard == "min-replicas-to-write":
        conf += ["min-replicas-to-write 1", "min-replicas-max-lag 10"]
    else:
        monkeypatch.setenv("XALO_WAIT_REPLICAS", "1")
        # Long enough for a replica on a loaded machine; the failing write waits it out.
        monkeypatch.setenv("XALO_WAIT_TIMEOUT_MS", "1500")
    master = rs.Server(str(tmp_path), conf).start()
    replica = rs.Server(str(tmp_path), [f"replicaof 127.0.0.1 {master.port}"]).start()
    conn = redis.StrictRedis(port=master.port)
    c = StoreClient(host="127.0.0.1", port=master.port)
    try:
        # Writable (a good replica for min-replicas-to-write) and acknowledging.
        rs.wait_until(lambda: conn.set("probe", 1) and conn.wait(1, 1000) == 1, 10, "the replica")
        assert c.write_frame_packet({"n": 1}, "k") and c.flush(5)
        replica.kill()
        rs.wait_until(lambda: conn.info("replication")["connected_slaves"] == 0, 10, "the replica's loss")
        assert c.write_frame_packet({"n": 2}, "k") and c.flush(5)
        stats = c.stats()
        assert (stats["stored"], stats["failed"]) == (1, 1), log
        assert log == [stats["last_error"]] and log[0].startswith("Failed to write data to redis`k` - ")
    finally:
        c.close()
        conn.close()
        master.stop()
        replica.stop()
