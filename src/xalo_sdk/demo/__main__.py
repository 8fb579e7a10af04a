"""Demo: a store-client round trip through Redis.

Uses the Redis server that REDIS_HOST names, or else starts a private
redis-server on a free loopback port and stops it at the end.
"""

import contextlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time


@contextlib.contextmanager
def redis_endpoint():
    host = os.environ.get("REDIS_HOST")
    if host:
        yield host, int(os.environ.get("REDIS_PORT", "6379"))
        return
    exe = shutil.which("redis-server")
    if exe is None:
        sys.exit("redis-server is not installed and REDIS_HOST is not set")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    workdir = tempfile.mkdtemp(prefix="xalo-demo-")
    proc = subprocess.Popen([exe, "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                             "--appendonly", "no", "--dir", workdir],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)
        print(f"started a private redis-server on 127.0.0.1:{port}")
        yield "127.0.0.1", port
    finally:
        proc.terminate()
        proc.wait(10)
        shutil.rmtree(workdir, ignore_errors=True)
        print("stopped the private redis-server")


def main():
    import redis

    from xalo_sdk.redis.store_client import StoreClient

    with redis_endpoint() as (host, port):
        key = "redis_demo-node_0"
        listener = redis.StrictRedis(host=host, port=port).pubsub()
        listener.subscribe(key + "_notify")
        listener.get_message(timeout=1)  # subscription confirmed

        client = StoreClient(thread=True, host=host, port=port)
        payload = {"meta": {"ts": time.time()}, "result": [{"label": "person", "score": 0.9}], "frame": None}
        queued = client.write_frame_packet(payload, key, ttl=30)
        print(f"queued payload under {key!r}: {queued}")

        message = listener.get_message(timeout=5)
        while message is not None and message["type"] != "message":
            message = listener.get_message(timeout=5)
        print(f"notification on {key}_notify: {message and message['data']!r}")

        back = client.read_frame_packet(key)
        print(f"read back: {back}")
        assert back == payload, "round trip changed the payload"
        print(f"keys of the node: {client.scan_keys('redis_demo-node_*')}")
        print(f"deleted: {client.delete_many([key])}")
        client._shutdown_executor()
        listener.close()
    print("demo finished")


if __name__ == "__main__":
    main()
