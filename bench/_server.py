"""A private redis-server for the benchmarks: a free loopback port,
persistence off, for one run only."""

import shutil
import socket
import subprocess
import sys
import tempfile
import time


class Server:
    def __init__(self, prefix="xalo-bench-"):
        self.prefix = prefix

    def __enter__(self):
        exe = shutil.which("redis-server")
        if exe is None:
            sys.exit("redis-server is not installed (make system-deps installs it)")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.dir = tempfile.mkdtemp(prefix=self.prefix)
        self.proc = subprocess.Popen(
            [exe, "--port", str(self.port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
             "--dir", self.dir], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return self
            except OSError:
                if time.monotonic() > deadline:
                    raise RuntimeError("redis-server did not start")
                time.sleep(0.02)

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)
