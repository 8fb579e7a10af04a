"""Cost of StoreClient's write path over the bare calls it makes.

- background: the caller's cost of write_frame_packet (queue not full, writer
  busy) against a bare queue.Queue.put_nowait of the same tuple;
- background, queue full: write_frame_packet displacing the oldest item
  against the bare get_nowait + task_done + put_nowait;
- direct: write_frame_packet against the bare orjson.dumps + redis-py set +
  publish that it makes, through a private redis-server;
- TLS: the store step that the background writer runs for each payload
  (`_write_`) on a client made by from_url over TLS, against the same step
  over plain TCP to the same server (TLS and TCP ports of one redis-server);
- failover (--failover): a Sentinel's master killed while the background
  writer stores a payload every 10 ms; prints the time from the kill to the
  first payload stored on the promoted replica.

    PYTHONPATH=src python bench/bench_store_client.py [--repeats N] [--failover]
"""

import argparse
import queue
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

import orjson
import redis

from xalo_sdk.redis.store_client import StoreClient

from _timing import header, measure, row

sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parent.parent / "tests"))
import redis_servers  # noqa: E402  (the tests' TLS and Sentinel set-ups)

BATCH = 500


class BusyWriterClient(StoreClient):
    """A background client whose writer stays busy, so queued items pile up."""

    def __init__(self, *args, **kwargs):
        self.release = threading.Event()
        super().__init__(*args, **kwargs)

    def _write_(self, data, redis_key, ttl=None):
        self.release.wait()
        return True


def start_redis():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    workdir = tempfile.mkdtemp(prefix="xalo-bench-")
    proc = subprocess.Popen([shutil.which("redis-server"), "--port", str(port), "--bind", "127.0.0.1",
                             "--save", "", "--appendonly", "no", "--dir", workdir],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return proc, port, workdir
        except OSError:
            time.sleep(0.02)
    raise RuntimeError("redis-server did not start")


def payload():
    return {"meta": {"ts": time.time(), "source": {"id": "cam1", "type": "camera", "frame_id": 7},
                     "module": {"id": "det", "type": "detector", "feed_port_idx": 0},
                     "frame_format": {"encoder": ".jpg", "with_base64": True}},
            "result": [{"label": "person", "score": 0.91, "tlwh": [10, 20, 30, 80]}] * 5,
            "frame": "QUJD" * 2000}


def drain(q):
    while True:
        try:
            q.get_nowait()
            q.task_done()
        except queue.Empty:
            return


def background_cases(repeats):
    data = payload()
    client = BusyWriterClient(port=1, workers=BATCH + 2)
    client.write_frame_packet(data, "k", 5)  # the writer takes it and stays busy
    time.sleep(0.3)
    bare_q = queue.Queue(maxsize=BATCH + 2)
    item = (data, "k", 5)
    row("background write", *measure(
        lambda: client.write_frame_packet(data, "k", 5), lambda: bare_q.put_nowait(item), repeats,
        n=BATCH, reset=lambda: (drain(client._queue), drain(bare_q))))

    full = BusyWriterClient(port=1, workers=2)
    full.write_frame_packet(data, "k", 5)
    time.sleep(0.3)
    full_q = queue.Queue(maxsize=2)

    def fill():
        for q in (full._queue, full_q):
            while not q.full():
                q.put_nowait(item)

    def bare_displace():
        try:
            full_q.put_nowait(item)
        except queue.Full:
            full_q.get_nowait()
            full_q.task_done()
            full_q.put_nowait(item)

    row("background write, queue full", *measure(
        lambda: full.write_frame_packet(data, "k", 5), bare_displace, repeats, n=BATCH, reset=fill))
    for c in (client, full):
        c.release.set()
        c._shutdown_executor()


def direct_case(repeats, port):
    data = payload()
    client = StoreClient(thread=False, host="127.0.0.1", port=port)
    bare = redis.StrictRedis(connection_pool=redis.ConnectionPool(host="127.0.0.1", port=port,
                                                                  max_connections=10, decode_responses=False))

    def bare_write():
        if bare.set("k", orjson.dumps(data), ex=5):
            bare.publish("k_notify", "1")
        return True

    kit = lambda: client.write_frame_packet(data, "k", 5)  # noqa: E731
    kit(), bare_write()
    row("direct write", *measure(kit, bare_write, repeats, budget_ns=2e7))


def tls_case(repeats):
    data = payload()
    workdir = tempfile.mkdtemp(prefix="xalo-bench-tls-")
    certs = redis_servers.Certificates(workdir)
    tcp_port = redis_servers.free_port()
    server = redis_servers.Server(workdir, certs.server_lines() + [f"port {tcp_port}"]).start()
    try:
        tls = StoreClient.from_url(f"rediss://127.0.0.1:{server.port}", thread=False, **certs.client_options())
        tcp = StoreClient(thread=False, host="127.0.0.1", port=tcp_port)
        for c in (tls, tcp):
            assert c._write_(data, "k", 5)
        row("background store step, TLS/TCP", *measure(lambda: tls._write_(data, "k", 5),
                                                      lambda: tcp._write_(data, "k", 5), repeats, budget_ns=2e7))
    finally:
        server.stop()
        shutil.rmtree(workdir, ignore_errors=True)


def failover_case():
    workdir = tempfile.mkdtemp(prefix="xalo-bench-fo-")
    s = redis_servers.SentinelSet(workdir)
    try:
        c = StoreClient.from_url(s.url())
        promoted = redis.StrictRedis(port=s.replica.port)
        c.write_frame_packet({"n": 0}, "fo")
        time.sleep(0.3)
        s.master.kill()
        killed = time.monotonic()
        n = 0
        while time.monotonic() - killed < 60:
            n += 1
            c.write_frame_packet({"n": n}, "fo")
            time.sleep(0.01)
            if promoted.get("fo") not in (None, b'{"n":0}'):
                break
        print(f"failover: kill of the master to the first write stored on the promoted replica: "
              f"{time.monotonic() - killed:.2f} s (Sentinel down-after 300 ms)")
        c.close()
    finally:
        for server in s.servers():
            server.stop()
        shutil.rmtree(workdir, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=101)
    parser.add_argument("--failover", action="store_true", help="also time a Sentinel failover")
    args = parser.parse_args()
    proc, port, workdir = start_redis()
    try:
        header()
        background_cases(args.repeats)
        direct_case(args.repeats, port)
        tls_case(args.repeats)
        if args.failover:
            failover_case()
    finally:
        proc.terminate()
        proc.wait(10)
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
