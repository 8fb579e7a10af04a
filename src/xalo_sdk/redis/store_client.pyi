"""Redis store client of a pipeline module."""

import logging
import queue
import threading
from types import TracebackType
from typing import Any, Iterator, List, Literal, Optional, Type, TypeVar, Union

import redis

from xalo_sdk.redis.payload_types import Payload
from xalo_sdk.redis.stats_types import ClientFigures, SubscriptionStats, WriteStats

logger: logging.Logger
STRICT: bool

_Client = TypeVar("_Client", bound="StoreClient")

class Subscription:
    """The notifications of one or more keys, made by StoreClient.subscribe."""

    def __init__(self, redis_client: Any, keys: Union[str, List[str]], idle: float = 1.0) -> None: ...
    def get(self, timeout: Optional[float] = None) -> Optional[str]:
        """The next key stored (every key once after a gap), or None on timeout or when closed."""
    def __iter__(self) -> Iterator[str]: ...
    def __next__(self) -> str: ...
    def stats(self) -> SubscriptionStats:
        """notifications, gaps, reconnects, connected, last_error."""
    @property
    def keys(self) -> List[str]: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Subscription": ...
    def __exit__(self, *exc: object) -> Literal[False]: ...

class StoreClient:
    """Represents a redis client specified for the containers."""

    # The private members are declared because they are part of the class's
    # contract: the writer thread runs _worker_loop, which hands each queued
    # item to _write_; atexit holds _shutdown_executor; the write and read
    # methods read the attributes afresh at each use, so code that stops or
    # redirects a client (tests, shutdown hooks) assigns them.
    _use_thread: bool
    _redis_client: redis.StrictRedis
    _executor: None
    _queue: Optional[queue.Queue]
    _worker: Optional[threading.Thread]
    _stop_evt: threading.Event

    def __init__(self, thread: bool = True, host: str = ..., port: int = 6379, workers: int = 2) -> None: ...
    def _shutdown_executor(self) -> None: ...
    def _worker_loop(self) -> None: ...
    def _write_(self, data: dict, redis_key: str, ttl: Optional[int] = None) -> bool: ...
    def write_frame_packet(self, data: Union[Payload, dict, None], redis_key: str, ttl: Optional[int] = None) -> bool: ...
    def delete_data(self, redis_key: str) -> bool: ...
    def delete_many(self, redis_keys: list) -> int: ...
    def scan_keys(self, pattern: str) -> list: ...
    def write_data(self, redis_key: str, data: Union[str, dict], ttl: Optional[int] = None) -> bool: ...
    def read_data(self, redis_key: str) -> Optional[bytes]: ...
    def read_frame_packet(self, redis_key: str) -> Optional[Payload]: ...
    @classmethod
    def from_url(cls: Type[_Client], url: str, thread: bool = True, workers: int = 2, **options: Any) -> _Client:
        """Create a client connected by a Redis URL (redis://, rediss://, unix://,
        redis+sentinel://, redis+cluster://); options go to redis-py."""
    def subscribe(self, keys: Union[str, List[str]], idle: float = 1.0) -> Subscription:
        """Listen for the stores of keys, with this client's connection settings; pings after idle seconds of silence."""
    def close(self) -> None:
        """Stop the background writer; pending writes are dropped, later writes are synchronous."""
    def flush(self, timeout: Optional[float] = None) -> bool:
        """Wait until every payload queued before the call has been stored, displaced or has failed."""
    def stats(self) -> WriteStats:
        """Payload write counts since construction: queued, stored, displaced, failed, dropped, last_error."""
    def figures(self) -> ClientFigures:
        """Counts for monitoring: stats()'s and reads, reads_none, read_errors, read_bytes."""
    def __enter__(self) -> "StoreClient": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> Literal[False]: ...
