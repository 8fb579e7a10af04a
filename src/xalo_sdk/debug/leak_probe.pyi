"""Memory profiling and garbage-collector diagnostics for the pipeline's containers."""

import copy as copy
import gc as gc
import linecache as linecache
import logging as logging
import threading as threading
import tracemalloc as tracemalloc
from typing import Any
from typing import Optional as Optional

from xalo_sdk.logging import get_logger as get_logger

class LeakProbeManager(threading.Thread):
    """Memory leak detector and GC diagnostic helper for long-running container processes."""

    logger: Any
    debug: bool
    _limit: int
    _first_tm_snapshot: Optional[tracemalloc.Snapshot]
    _last_tm_snapshot: Optional[tracemalloc.Snapshot]

    def __init__(self, limit: int = 10, logger: Optional[logging.Logger] = None, debug: bool = False) -> None: ...
    def tracemalloc_check(self) -> bool: ...
    def display_top_trace_scripts(self, snapshot: tracemalloc.Snapshot, key_type: str = "lineno") -> None: ...
    def compare_snapshots(self, cur_tm_snapshot: tracemalloc.Snapshot) -> None: ...
    def stop(self) -> None: ...
