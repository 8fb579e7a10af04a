"""Timing shared by the benchmarks: the kit and its baseline in the same run.

Short batches, finely interleaved (the order flips every repeat), so that load
from elsewhere on the machine falls on both sides alike; medians per call.
"""

import statistics
import time
import timeit


def per_call(fn, n, reset=None):
    """ns per call of fn(), or of a timeit.Timer's statement (no call overhead)."""
    if reset is not None:
        reset()
    if isinstance(fn, timeit.Timer):
        return fn.timeit(n) / n * 1e9
    t0 = time.perf_counter_ns()
    for _ in range(n):
        fn()
    return (time.perf_counter_ns() - t0) / n


def measure(kit, bare, repeats, budget_ns=4e6, n=None, reset=None):
    """Median ns per call of kit() and bare(); reset() runs untimed before each batch."""
    if n is None:
        one = max(per_call(bare, 3, reset), 1.0)
        n = max(1, int(budget_ns // one))
    kit_t, bare_t = [], []
    for r in range(repeats):
        pair = ((kit, kit_t), (bare, bare_t)) if r % 2 == 0 else ((bare, bare_t), (kit, kit_t))
        for fn, sink in pair:
            sink.append(per_call(fn, n, reset))
    return statistics.median(kit_t), statistics.median(bare_t)


def header(width=32):
    print(f"{'case':{width}} {'kit us':>10} {'bare us':>10} {'diff us':>9} {'ratio':>7}")


def row(name, kit_ns, bare_ns, width=32):
    print(f"{name:{width}} {kit_ns / 1e3:10.2f} {bare_ns / 1e3:10.2f} {(kit_ns - bare_ns) / 1e3:9.2f} "
          f"{kit_ns / bare_ns:7.3f}")
