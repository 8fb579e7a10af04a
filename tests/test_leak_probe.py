"""Leak probe: report texts, debug and plain passes, argument checks, tracing lifecycle."""

import inspect
import re
import threading
import tracemalloc
from fractions import Fraction
from types import SimpleNamespace as NS

import pytest

from xalo_sdk.debug import leak_probe
from xalo_sdk.debug.leak_probe import LeakProbeManager


class Recorder(list):
    info = list.append


@pytest.fixture(autouse=True)
def no_tracing_left():
    yield
    tracemalloc.stop()


def _marked():
    return "allocation site"  # marker


MARKED, FAR = _marked.__code__.co_firstlineno + 1, 10**6  # FAR: a line with no source to show


def fake_snapshot(sizes, calls):
    stats = [NS(size=s, traceback=[NS(filename=__file__, lineno=MARKED if i == 0 else FAR)])
             for i, s in enumerate(sizes)]
    snap = NS(statistics=lambda key_type: calls.append(key_type) or stats)
    snap.filter_traces = lambda filters: calls.append([(f.inclusive, f.filename_pattern) for f in filters]) or snap
    return snap


def entry(n, lineno, kib):
    return f"leak.tm -  #{n}: {__file__}:{lineno}: {kib}KiB"


SOURCE, TOTAL = 'leak.tm - \treturn "allocation site"  # marker', "leak.tm -  Total allocated size: 1.5 KiB"


# 384 B = 0.375 KiB and 128 B = 0.125 KiB: ties that Python's formatting rounds to even.
@pytest.mark.parametrize("limit, expected", [
    (2, ["leak.tm - Top 2 lines", entry(1, MARKED, "0.38"), SOURCE, entry(2, FAR, "0.12"),
         "leak.tm -  2 other: 1.0 KiB", TOTAL]),
    (4, ["leak.tm - Top 4 lines", entry(1, MARKED, "0.38"), SOURCE, entry(2, FAR, "0.12"),
         entry(3, FAR, "1.00"), entry(4, FAR, "0.05"), TOTAL]),
    (0, ["leak.tm - Top 0 lines", "leak.tm -  4 other: 1.5 KiB", TOTAL]),
])
def test_top_lines_report(limit, expected):
    log, calls = Recorder(), []
    LeakProbeManager(limit=limit, logger=log).display_top_trace_scripts(fake_snapshot([384, 128, 1024, 50], calls),
                                                                         key_type="traceback")
    assert log == expected
    assert calls == [[(False, "<frozen importlib._bootstrap>"), (False, "<unknown>")], "traceback"]


SHAPES = [
    ("H", r"leak\.tm - Top 3 lines"), ("E", r"leak\.tm -  #\d+: .+:\d+: \d+\.\d\dKiB"), ("S", r"leak\.tm - \t\S.*"),
    ("O", r"leak\.tm -  \d+ other: \d+\.\d KiB"), ("T", r"leak\.tm -  Total allocated size: \d+\.\d KiB"),
    ("M", r"leak\.tm - get_traced_memory: \d+, \d+"),
    ("F", r"leak\.tm - compare with first: ={23}"), ("f", r"leak\.tm - compare with first: .+:\d+: size=.+, count=.+"),
    ("L", r"leak\.tm - compare with last: ={23}"), ("l", r"leak\.tm - compare with last: .+:\d+: size=.+, count=.+"),
    ("B", r"leak\.gc - get_count \(before\): \(\d+, \d+, \d+\)"), ("C", r"leak\.gc - collect: \d+"),
    ("A", r"leak\.gc - get_count \(after\): \(\d+, \d+, \d+\)"),
]


def shape(lines):
    return "".join(next(t for t, rx in SHAPES if re.fullmatch(rx, line)) for line in lines)


def test_debug_passes_log_in_order():
    log = Recorder()
    probe = LeakProbeManager(limit=3, logger=log, debug=True)
    assert log == [] and tracemalloc.is_tracing()
    kept = [bytearray(1000) for _ in range(200)]
    assert probe.tracemalloc_check() is True
    first = log[:]
    del log[:]
    kept.append([str(i) * 10 for i in range(2000)])
    probe.tracemalloc_check()
    assert re.fullmatch(r"H(ES?){3}O?TMFf{1,10}BCA", shape(first))
    assert re.fullmatch(r"H(ES?){3}O?TMFf{1,10}Ll{1,10}BCA", shape(log))
    assert re.findall(r"#(\d+):", "".join(first)) == ["1", "2", "3"]
    assert any(__file__ in line for line in first if line.startswith("leak.tm - compare with first: "))


def test_compare_lists_ten_differences_per_baseline():
    log = Recorder()
    probe = LeakProbeManager(logger=log)
    probe._first_tm_snapshot, probe._last_tm_snapshot = "one", "two"
    probe.compare_snapshots(NS(compare_to=lambda base, key: [(base, key, i) for i in range(12)]))
    assert log == [f"leak.tm - compare with {block}: {line}" for block, base in [("first", "one"), ("last", "two")]
                   for line in ["=" * 23] + [(base, "lineno", i) for i in range(10)]]


def test_plain_pass_only_collects(monkeypatch):
    collected, log = [], Recorder()
    monkeypatch.setattr(leak_probe, "gc", NS(collect=lambda: collected.append(1)))
    probe = LeakProbeManager(logger=log)
    assert probe.tracemalloc_check() is True and probe.tracemalloc_check() is True
    assert collected == [1, 1] and log == [] and not tracemalloc.is_tracing()
    assert probe._first_tm_snapshot is None and probe._last_tm_snapshot is None


@pytest.mark.parametrize("limit, stored", [(5.9, 5), (True, 1), (7, 7), (Fraction(7, 2), 3)])
def test_limit_converted(limit, stored):
    probe = LeakProbeManager(limit=limit)
    assert type(probe._limit) is int and probe._limit == stored


@pytest.mark.parametrize("bad, name", [("5", "str"), (None, "NoneType"), ([3], "list")])
def test_limit_refused_before_anything_is_set(bad, name):
    probe = LeakProbeManager.__new__(LeakProbeManager)
    with pytest.raises(TypeError) as err:
        probe.__init__(bad)
    assert str(err.value) == f"Argument 'limit' has incorrect type (expected int, got {name})"
    assert probe.__dict__ == {}


def test_stop_ends_tracing_only_for_a_debug_manager():
    tracemalloc.start()
    LeakProbeManager().stop()  # tracing started elsewhere stays on
    assert tracemalloc.is_tracing()
    probe = LeakProbeManager(logger=Recorder(), debug=True)
    probe.tracemalloc_check()
    probe.stop()
    assert not tracemalloc.is_tracing() and None not in (probe._first_tm_snapshot, probe._last_tm_snapshot)
    with pytest.raises(RuntimeError):
        probe.tracemalloc_check()
    probe = LeakProbeManager(logger=Recorder())
    probe.debug = True  # switched on without tracing
    with pytest.raises(RuntimeError):
        probe.tracemalloc_check()


def test_manager_is_an_unstarted_thread_with_text_annotations(monkeypatch):
    monkeypatch.setattr(leak_probe, "get_logger", lambda name: ("logger of", name))
    probe, cls = LeakProbeManager(), LeakProbeManager
    assert isinstance(probe, threading.Thread) and not probe.is_alive() and probe.name.startswith("Thread-")
    assert probe.logger == ("logger of", "tracemalloc")
    assert str(inspect.signature(cls)) == (
        "(limit: 'int' = 10, logger: 'Optional[logging.Logger]' = None, debug: 'bool' = False)")
    assert [getattr(cls, name).__annotations__ for name in
            ("display_top_trace_scripts", "compare_snapshots", "tracemalloc_check", "stop")] == [
        {"snapshot": "tracemalloc.Snapshot", "key_type": "str", "return": "None"},
        {"cur_tm_snapshot": "tracemalloc.Snapshot", "return": "None"}, {"return": "bool"}, {"return": "None"}]
    assert cls.__doc__.startswith("Memory leak detector and GC diagnostic helper for long-running container")
