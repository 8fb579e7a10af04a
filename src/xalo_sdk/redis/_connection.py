"""Redis clients made from a URL, for StoreClient.from_url, REDIS_URL and peek.

Every mode is one of redis-py's own clients; this module only reads the URL:

    redis://[user:password@]host[:port][/db]        rediss://...  (TLS)
    unix:///path/to/socket[?db=N]
    redis+sentinel://[user:password@]host:port[,host:port...]/service[/db]
    redis+cluster://[user:password@]host:port[,host:port...]
    (rediss+sentinel://, rediss+cluster://: the same over TLS)

Query parameters are redis-py's connection options (``socket_timeout``,
``ssl_ca_certs``, ...); as in redis-py's own ``from_url``, a query parameter
wins over the same option given as a keyword. Replies are never decoded: the
store client relies on bytes. No text made here carries the password.
"""

import re
from urllib.parse import parse_qs, unquote

import redis
from redis.sentinel import SentinelConnectionPool

__all__ = ["client_from_url", "redact"]

_SCHEMES = ("redis", "rediss", "unix", "redis+sentinel", "rediss+sentinel", "redis+cluster", "rediss+cluster")
# Sizes and reply forms that the store client fixes itself.
_FIXED = ("decode_responses", "max_connections")
# What a Sentinel connection takes from the options besides sentinel_*.
_SENTINEL_SHARED = re.compile(r"^(socket_|ssl)")
# A user name shown in messages; any other user part is hidden whole.
_PLAIN_USER = re.compile(r"[A-Za-z0-9._~!$&'()*+,;=%-]*")


def redact(url):
    """The URL with its password (in the user part or the query) replaced by ***.

    The user part runs to the URL's last "@": a password may hold any
    character, and cutting too much from a message costs less than showing
    part of a password. The user name stays when it is plainly one.
    """
    head, sep, rest = url.partition("://")
    if not sep:
        head, rest = "", url
    else:
        head += sep
    at = rest.rfind("@")
    if at >= 0:
        user, colon, _ = rest[:at].partition(":")
        shown = user + ":***" if colon and _PLAIN_USER.fullmatch(user) else "***"
        if not colon and _PLAIN_USER.fullmatch(user):
            shown = user
        rest = shown + rest[at:]
    # A password given as a query parameter: everything after it, since an
    # unescaped "&" or "#" would cut it into what looks like more parameters.
    return head + re.sub(r"([?&][^=&]*password=).*", r"\1***", rest, flags=re.DOTALL | re.IGNORECASE)


def _secrets(url):
    """The texts of ``url`` that may hold a password, whole (see redact)."""
    rest = url.partition("://")[2] or url
    out = []
    at = rest.rfind("@")
    if at >= 0:
        user, colon, password = rest[:at].partition(":")
        out += [password] if colon and _PLAIN_USER.fullmatch(user) else [rest[:at]]
    out += [m.group(1) for m in re.finditer(r"[?&][^=&]*password=(.*)", rest, flags=re.DOTALL | re.IGNORECASE)]
    return [s for s in out if s]


def _leaks(text, secrets):
    """True when ``text`` shows a password or a piece of one: a library that
    misreads a URL cuts the password at the delimiters it knows and quotes
    the pieces (as a port, a host, an option name)."""
    for secret in secrets:
        for piece in [secret, unquote(secret)] + re.split(r"[#?/&=@:;,\s]+", secret):
            if len(piece) >= 4 and piece in text:
                return True
            if piece and any(q + piece + q in text for q in ("'", '"')):
                return True
    return False


def _fail(url, why):
    e = ValueError(f"invalid Redis URL {redact(url)!r}: {why}")
    e.redacted = True  # made from redact() and our own words only
    raise e


class _RedactedRepr:
    """A pool's repr without the password (some redis-py releases show it in
    the pool's repr, which the client's repr includes)."""

    def __repr__(self):
        password = self.connection_kwargs.get("password")
        text = super().__repr__()
        return text.replace(password, "***") if isinstance(password, str) and password else text


def _redacting(pool_class):
    return type(pool_class.__name__, (_RedactedRepr, pool_class), {"__module__": pool_class.__module__})


class _DisowningPool(redis.ConnectionPool):
    """A pool that owns none of its connections: how a release treats the
    connections a Sentinel pool disowns."""

    def owns_connection(self, connection):
        return False


def _disowned_slots_are_reclaimed():
    """Whether redis-py's pool gives back the slot of a connection it
    disowns on release (so from 8.2): tried on a pool of one connection."""
    try:
        pool = _DisowningPool(max_connections=1)
        connection = pool.make_connection()
        pool._in_use_connections.add(connection)
        pool.release(connection)
        return pool._created_connections == 0
    except AttributeError:  # a pool kept otherwise: nothing to mend
        return True


class _ReclaimingSentinelPool(_RedactedRepr, SentinelConnectionPool):
    """redis-py's SentinelConnectionPool, whose release gives back the slot of
    a connection it disowns. It disowns every connection that never found a
    master and every one to a master since replaced, and before redis-py 8.2
    each such release kept the slot: after max_connections of them, every
    command failed with "Too many connections", for good."""

    def release(self, connection):
        reclaim = connection.pid == self.pid and not self.owns_connection(connection)
        with self._lock:
            reclaim = reclaim and connection in self._in_use_connections
        super().release(connection)
        if reclaim:
            with self._lock:
                self._created_connections -= 1


_sentinel_pool = None


def sentinel_pool_class():
    """The pool class of Sentinel clients: _ReclaimingSentinelPool where
    redis-py keeps the slots, else redis-py's own."""
    global _sentinel_pool
    if _sentinel_pool is None:
        reclaimed = _disowned_slots_are_reclaimed()
        _sentinel_pool = _redacting(SentinelConnectionPool) if reclaimed else _ReclaimingSentinelPool
    return _sentinel_pool


def _query_options(url, query):
    """The query's options, typed as redis-py types them."""
    from redis.connection import URL_QUERY_ARGUMENT_PARSERS

    out = {}
    for name, values in parse_qs(query).items():
        parser = URL_QUERY_ARGUMENT_PARSERS.get(name)
        try:
            out[name] = parser(values[0]) if parser else values[0]
        except (TypeError, ValueError):
            _fail(url, f"bad value for {name!r}")
    return out


def _nodes(url, hosts, default_port):
    """[(host, port), ...] from 'h1:p1,h2,[::1]:p3'."""
    nodes = []
    for part in hosts.split(","):
        m = re.fullmatch(r"(\[[^\]]+\]|[^:\[\]]+)(?::(\d{1,5}))?", part)
        if m is None:
            _fail(url, "each host must be host[:port] (a password's '/', '@' or ':' must be percent-encoded)")
        port = int(m.group(2)) if m.group(2) else default_port
        if not 0 < port < 65536:
            _fail(url, "port out of range")
        nodes.append((unquote(m.group(1).strip("[]")), port))
    return nodes


def _split(url):
    """(scheme, username, password, hosts, path, query) of a URL with several hosts."""
    m = re.fullmatch(r"([a-z+]+)://(?:([^/?]*)@)?([^/?]*)([^?]*)(?:\?(.*))?", url, re.IGNORECASE | re.DOTALL)
    if m is None:
        _fail(url, "expected scheme://[user:password@]host:port[,host:port...]/...")
    scheme, userinfo, hosts, path, query = m.groups()
    user, _, password = (userinfo or "").partition(":")
    return scheme.lower(), unquote(user) or None, unquote(password) or None, hosts, path, query or ""


def _pool_size_and_options(url, options, query):
    for name in _FIXED:
        if name in options or name in query:
            _fail(url, f"{name} is set by the store client")
    merged = dict(options)
    merged.update(query)
    return merged


def _credentials(kwargs, user, password, tls):
    """The URL's user, password and TLS switch, over any given as options."""
    if user:
        kwargs["username"] = user
    if password:
        kwargs["password"] = password
    if tls:
        kwargs["ssl"] = True


def _sentinel(url, tls, max_connections, options):
    from redis import StrictRedis
    from redis.sentinel import Sentinel

    _, user, password, hosts, path, query = _split(url)
    kwargs = _pool_size_and_options(url, options, _query_options(url, query))
    parts = [unquote(p) for p in path.split("/") if p]
    if not parts or len(parts) > 2:
        _fail(url, "the path must be /service_name[/db]")
    if len(parts) == 2:
        if not parts[1].isdigit():
            _fail(url, "the database must be a number")
        kwargs.setdefault("db", int(parts[1]))
    _credentials(kwargs, user, password, tls)
    # The Sentinels take their own credentials (sentinel_username,
    # sentinel_password) and share the socket and TLS settings.
    sentinel_kwargs = {k[len("sentinel_"):]: kwargs.pop(k) for k in list(kwargs) if k.startswith("sentinel_")}
    sentinel_kwargs.update({k: v for k, v in kwargs.items() if _SENTINEL_SHARED.match(k)})
    sentinel = Sentinel(_nodes(url, hosts, 26379), sentinel_kwargs=sentinel_kwargs, **kwargs)
    return sentinel.master_for(parts[0], redis_class=StrictRedis,
                               connection_pool_class=sentinel_pool_class(),
                               max_connections=max_connections, decode_responses=False)


def _cluster(url, tls, max_connections, options):
    from redis.cluster import ClusterNode, RedisCluster

    _, user, password, hosts, path, query = _split(url)
    kwargs = _pool_size_and_options(url, options, _query_options(url, query))
    if path.strip("/") or kwargs.get("db", 0) != 0:
        _fail(url, "a cluster has only database 0 and no path")
    kwargs.pop("db", None)
    _credentials(kwargs, user, password, tls)
    nodes = [ClusterNode(h, p) for h, p in _nodes(url, hosts, 6379)]
    return RedisCluster(startup_nodes=nodes, max_connections=max_connections, decode_responses=False, **kwargs)


def _single(url, max_connections, options):
    import redis
    from redis.connection import parse_url

    query = url.partition("?")[2]
    _pool_size_and_options(url, options, parse_qs(query))
    # redis-py's parser puts parts of a malformed URL into its messages (the
    # port text, which an unescaped "/" in a password turns into part of the
    # password): check it here first and say what is wrong in our words.
    _, _, _, hosts, path, _ = _split(url)
    if url.lower().startswith("unix://"):
        if not path:
            _fail(url, "unix:// needs the socket's path")
    else:
        _nodes(url, hosts, 6379)
        if len(hosts.split(",")) != 1:
            _fail(url, "several hosts need redis+sentinel:// or redis+cluster://")
        if path.strip("/") and not path.strip("/").isdigit():
            _fail(url, "the path must be the database number")
    parse_url(url)
    pool = _redacting(redis.ConnectionPool).from_url(url, max_connections=max_connections, decode_responses=False, **options)
    return redis.StrictRedis(connection_pool=pool)


def _connection_check(url, client):
    """Make (without connecting) one connection as the pool will, so that an
    option redis-py does not know fails here rather than at the first command,
    in the writer's log."""
    pool = client.connection_pool
    try:
        pool.connection_class(**pool.connection_kwargs)
    except TypeError as e:
        raise ValueError(f"invalid Redis URL {redact(url)!r}: {e}") from None


def _client(url, scheme, max_connections, options):
    if "#" in url:
        # urllib takes the rest for a fragment and redis-py drops it: a
        # password would be cut short, or its tail read as the port.
        _fail(url, "a '#' (in a password, say) must be percent-encoded as %23")
    if scheme.endswith("+sentinel"):
        client = _sentinel(url, scheme.startswith("rediss"), max_connections, options)
    elif scheme.endswith("+cluster"):
        return _cluster(url, scheme.startswith("rediss"), max_connections, options)
    else:
        client = _single(url, max_connections, options)
    _connection_check(url, client)
    return client


def client_from_url(url, max_connections, options):
    """A redis-py client for ``url`` with a pool of at most ``max_connections``
    connections per server; ``options`` (a dict) go to redis-py."""
    if not isinstance(url, str):
        raise TypeError("the Redis URL must be a str")
    scheme = url.partition("://")[0].lower() if "://" in url else ""
    if scheme not in _SCHEMES:
        raise ValueError(f"invalid Redis URL {redact(url)!r}: the scheme must be one of "
                         + ", ".join(s + "://" for s in _SCHEMES))
    # No socket timeouts unless asked for, whatever the redis-py release (8.0
    # made 5 s its default); a Unix socket's connection takes no connect
    # timeout before redis-py 5.0, and needs none.
    options = dict(options)
    options.setdefault("socket_timeout", None)
    if scheme != "unix":
        options.setdefault("socket_connect_timeout", None)
    try:
        return _client(url, scheme, max_connections, options)
    except Exception as e:
        if getattr(e, "redacted", False):
            e.__context__ = None  # what our words replace (a parser's, quoting the value)
            raise
        secrets = _secrets(url)
        if not secrets or not any(_leaks(str(x), secrets) for x in _chain(e)):
            raise
        kind = type(e).__name__
    # Raised outside the handler, so that no chained exception keeps the text.
    raise ValueError(f"invalid Redis URL {redact(url)!r}: {kind} from redis-py, whose text would show part "
                     "of the password (percent-encode its '/', '?', '#', '@', ':', '&')")


def _chain(e):
    seen = []
    while e is not None and e not in seen:
        seen.append(e)
        e = e.__cause__ or e.__context__
    return seen


def short_cause(error):
    """The failure in one short line, as the writer's log lines give it
    (redis-py's Sentinel errors carry the repr of every client they tried)."""
    from xalo_sdk.redis import store_client  # loaded by then: only it makes clients

    return store_client._short_cause(error).rstrip(".")


# How long a new URL client waits for its first connection before it goes on.
CONNECT_WAIT = 5.0


def connect_now(client, wait=CONNECT_WAIT):
    """Open one pooled connection of a new client (a PING), waiting at most
    ``wait`` seconds. None when it answered, else the text of a warning; the
    client stays usable either way and connects when the server answers."""
    import threading

    outcome = []

    def ping():
        try:
            client.ping()
            outcome.append(None)
        except Exception as e:  # what the writer would meet: told, not raised
            outcome.append(e)

    # A thread of its own, so that a server that accepts but never answers
    # (stopped, or a TLS port that hangs) holds the constructor only so long.
    thread = threading.Thread(target=ping, name="StoreClientConnect", daemon=True)
    thread.start()
    thread.join(wait)
    if outcome and outcome[0] is None:
        return None
    cause = f"no answer within {wait:g} s" if not outcome else short_cause(outcome[0])
    pool = getattr(client, "connection_pool", None)
    password = getattr(pool, "connection_kwargs", {}).get("password")
    if isinstance(password, str) and password:
        cause = cause.replace(password, "***")
    return ("Redis not reachable when the client was made (" + cause + "); writes go on and are stored "
            "once it answers")
