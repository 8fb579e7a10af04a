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


def calls_in(fn, budget_ns, reset=None):
    """How many calls of fn fill about budget_ns."""
    return max(1, int(budget_ns // max(per_call(fn, 3, reset), 1.0)))


def measure(kit, bare, repeats, budget_ns=4e6, n=None, reset=None, each_own_budget=False):
    """Median ns per call of kit() and bare(); reset() runs untimed before each batch.

    A batch has n calls, by default as many as bare() makes in budget_ns; with
    each_own_budget, each side fills the budget with its own calls, so that a
    fast side is timed over a steady run too and not only on its first calls
    after the other side's."""
    if n is None:
        n = calls_in(bare, budget_ns, reset)
    n_kit = calls_in(kit, budget_ns, reset) if each_own_budget else n
    kit_t, bare_t = [], []
    for r in range(repeats):
        pair = ((kit, kit_t, n_kit), (bare, bare_t, n)) if r % 2 == 0 else ((bare, bare_t, n), (kit, kit_t, n_kit))
        for fn, sink, calls in pair:
            sink.append(per_call(fn, calls, reset))
    return statistics.median(kit_t), statistics.median(bare_t)


def header(width=32):
    print(f"{'case':{width}} {'kit us':>10} {'bare us':>10} {'diff us':>9} {'ratio':>7}")


def row(name, kit_ns, bare_ns, width=32):
    print(f"{name:{width}} {kit_ns / 1e3:10.2f} {bare_ns / 1e3:10.2f} {(kit_ns - bare_ns) / 1e3:9.2f} "
          f"{kit_ns / bare_ns:7.3f}")
