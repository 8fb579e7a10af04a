"""Redis servers as a production site runs them, on loopback ports: TLS with a
certificate authority of our own, ACL users, a master with a replica watched by
a Sentinel, and a three-master Cluster. The config names and ACL syntax are
those of Redis 6.0 (the boards' version), which later versions still take.

Shared by the tests and bench/bench_store_client.py.
"""

import os
import shutil
import socket
import subprocess
import tempfile
import time

import redis

# Cluster nodes talk over a bus on their port + 10000 (Redis 6.0 cannot move
# it), so their ports are taken below 55536 with both numbers free.
BUS_OFFSET = 10000


def free_port(cluster=False):
    for _ in range(200):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if not cluster:
            return port
        if port + BUS_OFFSET < 65536:
            try:
                with socket.socket() as s:
                    s.bind(("127.0.0.1", port + BUS_OFFSET))
                return port
            except OSError:
                pass
    raise RuntimeError("no free port pair for a cluster node")


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if predicate():
                return
        except (OSError, redis.RedisError):
            pass
        time.sleep(0.02)
    raise RuntimeError(f"timed out waiting for {what}")


class Server:
    """One redis-server (or Sentinel) from a config file of its own."""

    def __init__(self, workdir, lines, sentinel=False, cluster=False):
        self.port = free_port(cluster)
        self.dir = tempfile.mkdtemp(prefix="node-", dir=workdir)
        self.conf = os.path.join(self.dir, "redis.conf")
        self.socket = os.path.join(self.dir, "redis.sock")
        tls = any(line.startswith("tls-") for line in lines)
        base = ["bind 127.0.0.1", f"dir {self.dir}"]
        base += [f"tls-port {self.port}", "port 0"] if tls else [f"port {self.port}"]
        if not sentinel:
            base += ['save ""', "appendonly no"]
        with open(self.conf, "w") as f:
            f.write("\n".join(base + list(lines)) + "\n")
        self.sentinel = sentinel
        self.proc = None

    def start(self):
        exe = shutil.which("redis-server")
        if exe is None:
            raise RuntimeError("redis-server is not installed (make test installs it)")
        args = [exe, self.conf] + (["--sentinel"] if self.sentinel else [])
        self.log = open(os.path.join(self.dir, "server.log"), "wb")
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT)

        def listening():
            if self.proc.poll() is not None:
                raise RuntimeError("redis-server ended at start:\n" + self.output())
            socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
            return True

        wait_until(listening, 10, f"redis-server on port {self.port}")
        return self

    def output(self):
        self.log.flush()
        with open(os.path.join(self.dir, "server.log"), errors="replace") as f:
            return f.read()[-2000:]

    def kill(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait(10)
            self.proc = None

    def stop(self):
        if self.proc is not None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.kill()
            self.proc = None
            self.log.close()


class Certificates:
    """A CA, a server certificate for 127.0.0.1 and localhost, a client
    certificate, and a second CA that signed neither (the wrong one)."""

    def __init__(self, workdir):
        self.dir = os.path.join(workdir, "tls")
        os.makedirs(self.dir)
        # The extensions a strict verifier (Python 3.13 on) asks for: key
        # usage on the CA, key identifiers, a server name on the server's.
        ca_conf = self._write("ca.cnf", "[req]\ndistinguished_name = dn\nx509_extensions = ext\n[dn]\n[ext]\n"
                              "basicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n"
                              "subjectKeyIdentifier = hash\n")
        for ca in ("ca", "other-ca"):
            self._key(ca)
            self._openssl("req", "-x509", "-new", "-config", ca_conf, "-key", self.path(ca + ".key"), "-days", "2",
                          "-subj", f"/CN=xalo test {ca}", "-out", self.path(ca + ".crt"))
        leaf = ("basicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\n"
                "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n")
        self._signed("server", self._write("server.ext", leaf + "extendedKeyUsage = serverAuth\n"
                                           "subjectAltName = IP:127.0.0.1, DNS:localhost\n"))
        self._signed("client", self._write("client.ext", leaf + "extendedKeyUsage = clientAuth\n"))

    def _write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)
        return self.path(name)

    def path(self, name):
        return os.path.join(self.dir, name)

    def _openssl(self, *args):
        subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def _key(self, name):
        # EC keys: made at once, also under emulation.
        self._openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", self.path(name + ".key"))

    def _signed(self, name, ext):
        self._key(name)
        self._openssl("req", "-new", "-key", self.path(name + ".key"), "-subj", f"/CN={name}",
                      "-out", self.path(name + ".csr"))
        self._openssl("x509", "-req", "-in", self.path(name + ".csr"), "-CA", self.path("ca.crt"),
                      "-CAkey", self.path("ca.key"), "-CAcreateserial", "-days", "2",
                      "-out", self.path(name + ".crt"), "-extfile", ext)

    def server_lines(self):
        return [f"tls-cert-file {self.path('server.crt')}", f"tls-key-file {self.path('server.key')}",
                f"tls-ca-cert-file {self.path('ca.crt')}", "tls-auth-clients yes"]

    def client_options(self, ca="ca.crt"):
        return {"ssl_ca_certs": self.path(ca), "ssl_certfile": self.path("client.crt"),
                "ssl_keyfile": self.path("client.key"), "ssl_cert_reqs": "required"}


def tls_server(workdir):
    certs = Certificates(workdir)
    return Server(workdir, certs.server_lines()).start(), certs


# The ACL server: "default" off, an administrator, and a module's user that
# may touch only its own keys (Redis 6.0 syntax: no channel rules).
ADMIN = ("admin", "admin-pw")
MODULE = ("det-1", "s3cr/et:p@ss")


def server_version():
    out = subprocess.run([shutil.which("redis-server") or "redis-server", "--version"],
                         capture_output=True, text=True).stdout
    v = out.split("v=", 1)[1].split()[0]
    return tuple(int(x) for x in v.split(".")[:2])


def acl_server(workdir):
    # From 6.2 on, users get no channel unless granted; 6.0 knows neither the
    # setting nor channel rules, and lets every user publish anywhere.
    pubsub = ["acl-pubsub-default allchannels"] if server_version() >= (6, 2) else []
    server = Server(workdir, pubsub + [
        "user default off",
        f"user {ADMIN[0]} on >{ADMIN[1]} ~* +@all",
        f"user {MODULE[0]} on >{MODULE[1]} ~mod_* +get +set +strlen +del +scan +publish +ping +select +subscribe",
    ])
    with open(server.conf, "a") as f:
        f.write(f"unixsocket {server.socket}\nunixsocketperm 700\n")
    return server.start()


def admin(server, **kw):
    return redis.StrictRedis(host="127.0.0.1", port=server.port, username=ADMIN[0], password=ADMIN[1], **kw)


def master_fields(conn, service):
    """SENTINEL MASTER as a dict (parsed by redis-py 8, a flat list before): its
    sentinel_master fails on redis-py 7.0."""
    reply = conn.execute_command("SENTINEL", "MASTER", service)
    return reply if isinstance(reply, dict) else dict(zip(reply[::2], reply[1::2]))


class SentinelSet:
    """A master, its replica and one Sentinel (or `sentinels` of them, with a
    majority quorum) that fails over within about a second of the master's
    death (`down_after` milliseconds of silence, and the election)."""

    SERVICE = "xalo-master"

    def __init__(self, workdir, sentinels=1, down_after=300):
        # No wait before the replica's first full sync (7.0 syncs diskless
        # after 5 seconds by default).
        self.master = Server(workdir, ["repl-diskless-sync-delay 0"]).start()
        self.replica = Server(workdir, [f"replicaof 127.0.0.1 {self.master.port}"]).start()
        wait_until(lambda: redis.StrictRedis(port=self.replica.port).info("replication")["master_link_status"]
                   == "up", 10, "the replica's link")
        self.sentinels = [Server(workdir, [
            f"sentinel monitor {self.SERVICE} 127.0.0.1 {self.master.port} {sentinels // 2 + 1}",
            f"sentinel down-after-milliseconds {self.SERVICE} {down_after}",
            f"sentinel failover-timeout {self.SERVICE} 3000",
        ], sentinel=True).start() for _ in range(sentinels)]
        self.sentinel = self.sentinels[0]
        for s in self.sentinels:
            conn = redis.StrictRedis(port=s.port, decode_responses=True)
            wait_until(lambda: any(r["port"] == self.replica.port for r in conn.sentinel_slaves(self.SERVICE))
                       and int(master_fields(conn, self.SERVICE)["num-other-sentinels"]) == sentinels - 1,
                       20, "the Sentinels to see the replica and each other")
            conn.close()

    def sentinel_master(self):
        """The port of the master that the Sentinel names now."""
        conn = redis.StrictRedis(port=self.sentinel.port)
        try:
            return int(conn.execute_command("SENTINEL", "GET-MASTER-ADDR-BY-NAME", self.SERVICE)[1])
        finally:
            conn.close()

    def url(self):
        return "redis+sentinel://" + ",".join(f"127.0.0.1:{s.port}" for s in self.sentinels) + "/" + self.SERVICE

    def servers(self):
        return self.sentinels + [self.replica, self.master]


class Cluster:
    """Three masters, joined with redis-cli --cluster create."""

    def __init__(self, workdir):
        self.nodes = [Server(workdir, ["cluster-enabled yes", "cluster-config-file nodes.conf",
                                       "cluster-node-timeout 2000"], cluster=True).start() for _ in range(3)]
        # stdin answers the confirmation prompt (--cluster-yes is newer than 6.0).
        out = subprocess.run(["redis-cli", "--cluster", "create", *(f"127.0.0.1:{n.port}" for n in self.nodes)],
                             input="yes\n", capture_output=True, text=True, timeout=60)
        if out.returncode != 0:
            raise RuntimeError("redis-cli --cluster create failed:\n" + out.stdout[-2000:] + out.stderr[-2000:])
        for n in self.nodes:
            wait_until(lambda: redis.StrictRedis(port=n.port).cluster("info")["cluster_state"] == "ok",
                       20, "the cluster to be ok")

    def url(self):
        return "redis+cluster://" + ",".join(f"127.0.0.1:{n.port}" for n in self.nodes[:2])

    def servers(self):
        return self.nodes
