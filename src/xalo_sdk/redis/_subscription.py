"""The notifications of a store client's keys, as StoreClient.subscribe gives them.

A subscription listens on the ``<key>_notify`` channels through redis-py's own
pubsub, on a connection made with the settings of the client that made it (the
same URL, TLS, user, Unix socket, Sentinel service or Cluster). Its connection
has a short socket timeout of its own and, when nothing arrived for ``idle``
seconds, it sends PING: a server that does not answer within ``idle`` seconds
more is taken as gone, even when no socket error says so (a frozen process, a
dead link). A lost subscription is made again, through the Sentinels for a
Sentinel client (who name the master after a failover), on the next node for a
Cluster client (a plain PUBLISH reaches every node).
"""

import collections
import itertools
import time

import redis
from redis.backoff import NoBackoff
from redis.connection import UnixDomainSocketConnection
from redis.retry import Retry

from xalo_sdk.logging.logger import get_logger
from xalo_sdk.redis._connection import sentinel_pool_class
from xalo_sdk.redis._connection import short_cause as _cause

__all__ = ["Subscription"]

# Errors that end a connection but not the subscription: it is made again.
_LOST = (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError, OSError)


def _own_settings(kwargs, timeout, unix=False):
    """Connection options of the subscription: the client's own, with a socket
    timeout, no health check of redis-py's (the idle check does that) and no
    retries inside redis-py (a loss must reach us at once)."""
    kw = dict(kwargs)
    kw.pop("connection_pool", None)
    kw.update(socket_timeout=timeout, health_check_interval=0, retry=Retry(NoBackoff(), 0),
              decode_responses=False)
    kw.pop("retry_on_error", None)
    if not unix:
        kw["socket_connect_timeout"] = timeout
    return kw


class _Plain:
    """redis-py clients for one server or the nodes of a cluster."""

    def __init__(self, pools, timeout):
        self._clients = []
        for pool in pools:
            unix = issubclass(pool.connection_class, UnixDomainSocketConnection)
            own = redis.ConnectionPool(connection_class=pool.connection_class, max_connections=2,
                                       **_own_settings(pool.connection_kwargs, timeout, unix))
            self._clients.append(redis.Redis(connection_pool=own))
        self._turn = itertools.cycle(self._clients)

    def next_client(self):
        return next(self._turn)

    def close(self):
        for c in self._clients:
            c.connection_pool.disconnect()


class _Sentinel:
    """The master of a Sentinel service, asked for again at each connection."""

    def __init__(self, pool, timeout):
        from redis.sentinel import Sentinel

        manager = pool.sentinel_manager
        nodes = [(s.connection_pool.connection_kwargs["host"], s.connection_pool.connection_kwargs["port"])
                 for s in manager.sentinels]
        sentinel_kwargs = _own_settings(manager.sentinel_kwargs, timeout)
        self._sentinel = Sentinel(nodes, sentinel_kwargs=sentinel_kwargs,
                                  **_own_settings(manager.connection_kwargs, timeout))
        self._client = self._sentinel.master_for(pool.service_name, redis_class=redis.Redis, max_connections=2,
                                                 connection_pool_class=sentinel_pool_class())

    def next_client(self):
        return self._client

    def close(self):
        self._client.connection_pool.disconnect()
        for s in self._sentinel.sentinels:
            s.connection_pool.disconnect()


def _clients_like(redis_client, timeout):
    from redis.cluster import RedisCluster
    from redis.sentinel import SentinelConnectionPool

    if isinstance(redis_client, RedisCluster):
        nodes = [n for n in redis_client.get_nodes() if n.redis_connection is not None]
        return _Plain([n.redis_connection.connection_pool for n in nodes], timeout)
    pool = redis_client.connection_pool
    if isinstance(pool, SentinelConnectionPool):
        return _Sentinel(pool, timeout)
    return _Plain([pool], timeout)


class Subscription:
    """The notifications of one or more keys; made by ``StoreClient.subscribe``.

    ``get(timeout)`` returns the next key that was stored, ``None`` after
    ``timeout`` seconds without one; iterating gives keys until ``close()``.
    After a gap (the connection was lost, or the server stopped answering, and
    the subscription was made again) every key is given once, as if notified,
    so that a consumer reads what it may have missed; ``stats()["gaps"]``
    counts the gaps. Use a subscription from one thread.
    """

    def __init__(self, redis_client, keys, idle=1.0):
        if isinstance(keys, str):
            keys = [keys]
        keys = list(dict.fromkeys(keys))
        if not all(isinstance(k, str) for k in keys):
            raise TypeError("keys must be a str or a list of str")
        if not keys:
            raise ValueError("no key to subscribe to")
        idle = float(idle)
        if not 0 < idle < 3600:
            raise ValueError("idle must be more than 0 and less than 3600 seconds")
        self._keys = keys
        self._by_channel = {(k + "_notify").encode("utf-8", "surrogateescape"): k for k in keys}
        self._idle = idle
        self._clients = _clients_like(redis_client, idle)
        self._pubsub = None
        self._ready = collections.deque()  # keys to give before reading more
        self._closed = False
        self._last_heard = 0.0
        self._ping_sent = None
        self._down_since = None  # when the subscription was lost, None while it holds
        self._next_try = 0.0
        self._backoff = 0.0
        self._counts = {"notifications": 0, "gaps": 0, "reconnects": 0}
        self._last_error = None
        try:
            self._connect()
        except _LOST as e:
            self._lost(e, "not made yet")

    # -- the connection ---------------------------------------------------------

    def _connect(self):
        pubsub = self._clients.next_client().pubsub()
        try:
            pubsub.subscribe(*self._by_channel)
            # Wait for the confirmations: a key stored after this returns is heard.
            waiting = set(self._by_channel)
            deadline = time.monotonic() + self._idle
            while waiting:
                left = deadline - time.monotonic()
                msg = pubsub.get_message(timeout=max(left, 0)) if left > 0 else None
                if msg is None:
                    if time.monotonic() >= deadline:
                        raise redis.exceptions.TimeoutError(f"no answer to SUBSCRIBE within {self._idle:g} s")
                elif msg["type"] == "subscribe":
                    waiting.discard(msg["channel"])
                elif msg["type"] == "message":
                    self._take(msg)
        except BaseException:
            self._drop(pubsub)
            raise
        self._pubsub = pubsub
        self._last_heard = time.monotonic()
        self._ping_sent = None

    @staticmethod
    def _drop(pubsub):
        try:
            pubsub.close()
        except Exception:
            pass

    def _lost(self, error, what="lost"):
        if self._closed:  # close() from another thread ended a get()
            return
        if self._pubsub is not None:
            self._drop(self._pubsub)
            self._pubsub = None
        self._last_error = _cause(error)
        if self._down_since is None:
            self._down_since = time.monotonic()
            self._counts["gaps"] += 1
            get_logger("REDIS").warning(f"Subscription to {self._what()} {what}: {self._last_error}; "
                                        "subscribing again")
        self._next_try = time.monotonic()
        self._backoff = 0.05

    def _retry(self, deadline):
        """One attempt to subscribe again when it is due; False when the
        caller's deadline comes first."""
        wait = self._next_try - time.monotonic()
        if wait > 0:
            if deadline is not None and deadline < self._next_try:
                time.sleep(max(deadline - time.monotonic(), 0))
                return False
            time.sleep(wait)
        try:
            self._connect()
        except _LOST as e:
            self._last_error = _cause(e)
            self._backoff = min(self._backoff * 2, self._idle, 0.5)
            self._next_try = time.monotonic() + self._backoff
            return True
        took = time.monotonic() - self._down_since
        self._down_since = None
        self._counts["reconnects"] += 1
        self._ready.extend(self._keys)
        get_logger("REDIS").warning(f"Subscription to {self._what()} made again after {took:.1f} s")
        return True

    def _what(self):
        return repr(self._keys[0]) + (f" and {len(self._keys) - 1} more keys" if len(self._keys) > 1 else "")

    def _take(self, msg):
        key = self._by_channel.get(msg["channel"])
        if key is not None:
            self._counts["notifications"] += 1
            self._ready.append(key)

    # -- the caller's side ------------------------------------------------------

    def get(self, timeout=None):
        """The next key that was stored (or given again after a gap), or None
        when ``timeout`` seconds (None: no limit) pass first or the
        subscription is closed."""
        deadline = None if timeout is None else time.monotonic() + max(float(timeout), 0.0)
        while not self._closed:
            if self._ready:
                return self._ready.popleft()
            if self._pubsub is None:
                if not self._retry(deadline):
                    return None
                continue
            now = time.monotonic()
            due = (self._last_heard if self._ping_sent is None else self._ping_sent) + self._idle
            wait = max(due - now, 0.0)
            if deadline is not None:
                wait = min(wait, max(deadline - now, 0.0))
            try:
                msg = self._pubsub.get_message(timeout=wait)
            except _LOST as e:
                self._lost(e)
                continue
            now = time.monotonic()
            if msg is not None:
                self._last_heard, self._ping_sent = now, None
                if msg["type"] == "message":
                    self._take(msg)
                continue
            if now >= due:
                if self._ping_sent is not None:
                    self._lost(redis.exceptions.TimeoutError(f"no answer to PING within {self._idle:g} s"))
                    continue
                try:
                    self._pubsub.ping()
                    self._ping_sent = now
                except _LOST as e:
                    self._lost(e)
                continue
            if deadline is not None and now >= deadline:
                return None
        return None

    def __iter__(self):
        return self

    def __next__(self):
        key = self.get()
        if key is None:
            raise StopIteration
        return key

    def stats(self):
        """Counts since the subscription was made: ``notifications`` heard,
        ``gaps`` (times it was lost or not yet made), ``reconnects`` (times
        it was made again), ``connected`` and ``last_error`` (the text of the
        last failure, or None)."""
        return dict(self._counts, connected=self._pubsub is not None, last_error=self._last_error)

    @property
    def keys(self):
        return list(self._keys)

    def close(self):
        """Unsubscribe and close the connection; get() returns None from then on."""
        self._closed = True
        if self._pubsub is not None:
            self._drop(self._pubsub)
            self._pubsub = None
        self._clients.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        c = self._counts
        return (f"<Subscription {self._what()} notifications={c['notifications']} gaps={c['gaps']} "
                f"reconnects={c['reconnects']}{' closed' if self._closed else ''}>")
