"""Types of the counts that the store client, its subscriptions and the
shared-memory road report (``stats()``, ``figures()``, ``shm_figures()``).

For annotations and type checkers only: the kit builds plain dictionaries.
"""

# Only the classes are the module's names (see payload_types).
import typing as t


class WriteStats(t.TypedDict):
    """``StoreClient.stats()``: the payload writes since the client was made."""

    queued: int
    stored: int
    displaced: int
    failed: int
    dropped: int
    last_error: t.Optional[str]


class ClientFigures(t.TypedDict):
    """``StoreClient.figures()``: the write counts and the reads'."""

    queued: int
    stored: int
    displaced: int
    failed: int
    dropped: int
    reads: int
    reads_none: int
    read_errors: int
    read_bytes: int


class SubscriptionStats(t.TypedDict):
    """``Subscription.stats()``."""

    notifications: int
    gaps: int
    reconnects: int
    connected: bool
    last_error: t.Optional[str]


class ShmFigures(t.TypedDict):
    """``utils.shm_figures()``: frames through shared memory; ``not_read`` by reason."""

    written: int
    not_written: int
    read: int
    not_read: t.Dict[str, int]
