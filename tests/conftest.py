"""Shared fixtures: a private redis-server for the whole session."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest
from hypothesis import HealthCheck, settings

# Property tests run the same examples on every run and never fail for being
# slow on a loaded machine.
settings.register_profile("kit", derandomize=True, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("kit")


def pytest_configure(config):
    config.addinivalue_line("markers", "long: a soak that runs only with XALO_LONG=1")


def pytest_collection_modifyitems(config, items):
    if os.environ.get("XALO_LONG") == "1":
        return
    skip = pytest.mark.skip(reason="long form: set XALO_LONG=1")
    for item in items:
        if "long" in item.keywords:
            item.add_marker(skip)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RedisServer:
    """A redis-server on a free loopback port, persistence off."""

    def __init__(self):
        self.port = free_port()
        self.dir = tempfile.mkdtemp(prefix="xalo-redis-")
        self.proc = None

    def start(self):
        exe = shutil.which("redis-server")
        if exe is None:
            pytest.fail("redis-server is not installed (make test installs it)")
        self.proc = subprocess.Popen(
            [exe, "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", "--dir", self.dir],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.02)
        raise RuntimeError("redis-server did not start")

    def version(self):
        import redis

        conn = redis.StrictRedis(host="127.0.0.1", port=self.port)
        try:
            text = conn.info("server")["redis_version"]
        finally:
            conn.close()
        return tuple(int(part) for part in text.split(".")[:2])

    def pause_command(self, ms):
        """A CLIENT PAUSE that holds writes for `ms` milliseconds: writes only
        where the server knows that mode (6.2 on), else all clients.
        XALO_REDIS_PAUSE_ALL=1 takes the older road on any server."""
        self.pause_all = os.environ.get("XALO_REDIS_PAUSE_ALL") == "1" or self.version() < (6, 2)
        return ["CLIENT", "PAUSE", int(ms)] + ([] if self.pause_all else ["WRITE"])

    def unpause(self):
        """Ends the pause; an older server has no CLIENT UNPAUSE, there the
        pause is waited out (a paused server answers nothing until then)."""
        import redis

        conn = redis.StrictRedis(host="127.0.0.1", port=self.port)
        try:
            conn.ping() if self.pause_all else conn.execute_command("CLIENT", "UNPAUSE")
        finally:
            conn.close()

    def stop(self):
        if self.proc is not None:
            self.proc.terminate()
            self.proc.wait(10)
            self.proc = None

    def restart(self):
        self.stop()
        self.start()

    def kill(self):
        self.proc.kill()
        self.proc.wait(10)
        self.proc = None


@pytest.fixture(scope="session")
def redis_server():
    server = RedisServer()
    server.start()
    yield server
    server.stop()
    shutil.rmtree(server.dir, ignore_errors=True)


@pytest.fixture
def own_redis():
    """A redis-server of the test's own, free to be killed, stopped and restarted."""
    server = RedisServer()
    server.start()
    yield server
    if server.proc is not None:
        server.proc.send_signal(signal.SIGCONT)
        server.stop()
    shutil.rmtree(server.dir, ignore_errors=True)


@pytest.fixture
def redis_conn(redis_server):
    """A plain redis-py client on an empty database."""
    import redis

    conn = redis.StrictRedis(host="127.0.0.1", port=redis_server.port)
    conn.flushdb()
    yield conn
    conn.close()


@pytest.fixture
def subscriber(redis_server):
    """Subscribe to channels and collect the messages that arrive."""
    import redis

    conn = redis.StrictRedis(host="127.0.0.1", port=redis_server.port)
    pubsub = conn.pubsub()

    class Subscriber:
        def subscribe(self, *channels):
            pubsub.subscribe(*channels)
            # Wait for the confirmations so that no publish is missed.
            confirmed = 0
            deadline = time.monotonic() + 5
            while confirmed < len(channels) and time.monotonic() < deadline:
                msg = pubsub.get_message(timeout=0.1)
                confirmed += msg is not None and msg["type"] == "subscribe"

        def messages(self, wait=0.5):
            out = []
            deadline = time.monotonic() + wait
            while time.monotonic() < deadline:
                msg = pubsub.get_message(timeout=0.05)
                if msg is not None and msg["type"] == "message":
                    out.append((msg["channel"].decode(), msg["data"].decode()))
            return out

    yield Subscriber()
    pubsub.close()
    conn.close()


@pytest.fixture(autouse=True)
def _no_redis_host(monkeypatch):
    # Tests choose their server explicitly.
    if "REDIS_HOST" in os.environ:
        monkeypatch.delenv("REDIS_HOST")
