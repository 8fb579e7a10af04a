"""Interpreter exit while daemon threads are inside the kit's functions.

Every case is a small script whose daemon threads call one function in a loop
until the main thread ends the script; the interpreter then finalizes while
those threads are ended wherever they stand. Each run must exit 0: no abort,
no crash, no hang. OpenCV calls are left out: OpenCV itself aborts when a
thread is ended inside it.
"""

import functools
import os
import signal
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

LONG = os.environ.get("XALO_LONG") == "1"
RUNS = 30 if LONG else 2
CLOSED = "host='127.0.0.1', port=1"  # nothing listens there: every command fails fast

TEMPLATE = """\
import threading, time
{setup}
def call():
{body}
def loop():
    while True:
        try:
            call()
        except Exception:
            pass
for _ in range({threads}):
    threading.Thread(target=loop, daemon=True).start()
time.sleep({sleep})
"""


def script(setup, body, threads=2, sleep=0.2):
    return TEMPLATE.format(setup=textwrap.dedent(setup).strip(), threads=threads, sleep=sleep,
                           body=textwrap.indent(textwrap.dedent(body).strip(), "    "))


@functools.lru_cache(maxsize=None)
def hang_limit():
    """Seconds after which a run counts as hung: 30, plus ten times what this
    interpreter takes now to start and import the kit. An emulated board
    starts some ten times slower than the host, and slower still when the
    machine is loaded; a limit fixed for the host would fail it there."""
    begin = time.monotonic()
    subprocess.run([sys.executable, "-c", "import " + ", ".join(KIT_MODULES)], capture_output=True, timeout=600)
    return 30 + 10 * (time.monotonic() - begin)


KIT_MODULES = ("numpy", "xalo_sdk.redis.store_client", "xalo_sdk.redis.frame_packet", "xalo_sdk.redis.utils",
               "xalo_sdk.roi.zone_filter", "xalo_sdk.debug.leak_probe")


def outcome(code, run):
    limit = hang_limit()
    try:
        out = subprocess.run([sys.executable, "-c", code, str(run)], capture_output=True, text=True, timeout=limit)
    except subprocess.TimeoutExpired:
        return f"hang (killed after {limit:.0f} s)"
    if out.returncode == 0:
        return None
    rc = out.returncode
    how = f"signal {signal.Signals(-rc).name}" if rc < 0 else f"exit {rc}"
    return f"{how}: ...{out.stderr[-300:]!r}"


def run_many(code, runs=RUNS):
    """Runs the script `runs` times, two at a time; returns the failures."""
    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda i: outcome(code, i), range(runs)))
    return [f"run {i}: {r}" for i, r in enumerate(results) if r is not None]


def check(code, runs=RUNS):
    failures = run_many(code, runs)
    assert not failures, f"{len(failures)}/{runs} runs failed:\n" + "\n".join(failures[:5])


def cases(calls):
    return [pytest.param(body, id=name) for name, body in calls.items()]


# ---- store_client ---------------------------------------------------------------------

STORE_SETUP = "from xalo_sdk.redis.store_client import StoreClient\nc = StoreClient({where}, {mode})"

STORE_CALLS = {
    "write_frame_packet": "c.write_frame_packet({'frame': 'x' * 1000, 'n': 1}, 'exit_k', 5)",
    "write_frame_packet-delete": "c.write_frame_packet(None, 'exit_k')",
    "write_data": "c.write_data('exit_k', 'x' * 1000, 5)",
    "read_data": "c.read_data('exit_k')",
    "read_frame_packet": "c.read_frame_packet('exit_k')",
    "delete_data": "c.delete_data('exit_k')",
    "delete_many": "c.delete_many(['exit_k', 'exit_j'])",
    "scan_keys": "c.scan_keys('exit_*')",
}

# write_frame_packet-closed-background: two producers keep a one-item queue
# full while the writer fails fast (it aborted the process once).
STORE_CASES = [
    pytest.param(name, target, mode, id=f"{name}-{target}-{mode}")
    for name in STORE_CALLS
    for target in ("closed", "server")
    for mode in ("background", "direct")
    # Modes only differ for the payload writer; the other calls run in the caller's thread either way.
    if mode == "direct" or name == "write_frame_packet"
]


@pytest.mark.parametrize("name, target, mode", STORE_CASES)
def test_store_client_call_at_exit(redis_server, name, target, mode):
    where = CLOSED if target == "closed" else f"host='127.0.0.1', port={redis_server.port}"
    setup = STORE_SETUP.format(where=where, mode="workers=1" if mode == "background" else "thread=False")
    check(script(setup, STORE_CALLS[name]))


@pytest.mark.parametrize("where", ["closed", "server"])
def test_store_client_construction_at_exit(redis_server, where):
    port = 1 if where == "closed" else redis_server.port
    check(script("from xalo_sdk.redis.store_client import StoreClient", f"""
        c = StoreClient(host='127.0.0.1', port={port}, workers=1)
        c.write_frame_packet({{'n': 1}}, 'exit_k')
        c._shutdown_executor()
        StoreClient(thread=False, host='127.0.0.1', port={port}).read_data('exit_k')
    """))


def test_busy_writer_full_queue_repeated(redis_server):
    # The server holds the writer's SET past the shutdown's join while
    # producers keep the queue full and displace its items.
    pause = redis_server.pause_command(400)
    setup = f"""
        import redis
        from xalo_sdk.redis.store_client import StoreClient
        c = StoreClient(host='127.0.0.1', port={redis_server.port}, workers=1)
        c.write_frame_packet({{'first': 1}}, 'exit_busy')
        redis.StrictRedis(port={redis_server.port}).execute_command(*{pause!r})
    """
    code = script(setup, "c.write_frame_packet({'frame': 'x' * 1000}, 'exit_busy')", sleep=0.1)
    failures = []
    for i in range(RUNS):  # one at a time: each run needs the server paused for itself
        result = outcome(code, i)
        redis_server.unpause()
        if result is not None:
            failures.append(f"run {i}: {result}")
    assert not failures, f"{len(failures)}/{RUNS} runs failed:\n" + "\n".join(failures[:5])


# ---- frame_packet ---------------------------------------------------------------------

FP_SETUP = """
    from xalo_sdk.redis.frame_packet import FramePacket, Meta, MetaFrameFormat, MetaModule, MetaSource
    CAM = {'id': 'cam', 'type': 'camera', 'name': 'front'}
    DET = {'id': 'det', 'type': 'detector'}
    packet = FramePacket(0, DET, CAM, 1, 'main')
    sent = FramePacket(0, CAM).create_frame_packet(result=[1, 2], ext_info={'x': 1})
    text = __import__('json').dumps(sent).encode()
"""

FP_CALLS = {
    "MetaSource": "s = MetaSource(CAM, 0, 'n'); s.update({'frame_id': 3, 'name': None}); s.to_dict()",
    "MetaModule": "m = MetaModule(DET, 2); m.update({'feed_port_idx': 1}); m.to_dict()",
    "MetaFrameFormat": "f = MetaFrameFormat(encoder='.jpg'); f.update({'with_base64': True}); f.to_dict()",
    "Meta": """
        m = Meta(DET, 0, CAM, 1, None)
        m.update_source({'frame_id': 5}); m.update_module({'x': 1}); m.update_frame_format({'encoder': None})
        m.to_dict()
    """,
    "FramePacket": "FramePacket(0, DET, CAM, 1, 'main')",
    "create_frame_packet": "packet.create_frame_packet(result=[{'box': [1, 2, 3, 4]}], ext_info={'k': 'v'})",
    "create_frame_packet-preview": "packet.create_frame_packet(version=0)",
    "parse_frame_packet-dict": "packet.parse_frame_packet(dict(sent))",
    "parse_frame_packet-bytes": "packet.parse_frame_packet(text)",
    "error-paths": "MetaModule().update({1: 2})",
}


@pytest.mark.parametrize("body", cases(FP_CALLS))
def test_frame_packet_call_at_exit(body):
    check(script(FP_SETUP, body))


# ---- utils ----------------------------------------------------------------------------

UTILS_SETUP = """
    import numpy as np
    from xalo_sdk.redis import utils
    img = np.zeros((48, 64, 3), np.uint8)
    raw = img.tobytes()
"""

UTILS_CALLS = {
    "gen_redis_key_local": "utils.gen_redis_key_local('node', 3)",
    "gen_redis_key_status": "utils.gen_redis_key_status('node')",
    "img_to_str-raw": "utils.img_to_str(img)",
    "str_to_img-raw": "utils.str_to_img(raw)",
    "str_to_img-raw-base64": "utils.str_to_img(utils.img_to_str(img, with_base64=True), with_base64=True)",
    "error-paths": "utils.img_to_str(5); utils.str_to_img(5)",  # logged, neutral result
}


@pytest.mark.parametrize("body", cases(UTILS_CALLS))
def test_utils_call_at_exit(body):
    check(script(UTILS_SETUP, body))


# ---- zone_filter ----------------------------------------------------------------------

ZF_SETUP = """
    from xalo_sdk.roi.zone_filter import ZoneFilter
    def regions():
        return [{'points': [(0, 0), (0.5, 0), (0.5, 0.5), (0, 0.5)], 'include': True, 'roi_id': 'a', 'label': 'A'},
                {'points': [(0.1, 0.1), (0.2, 0.1), (0.2, 0.2)], 'include': False}]
    class Det:
        def __init__(self, tlwh, info=None):
            self.tlwh = tlwh
            if info is not None:
                self.info = info
    zf = ZoneFilter(regions(), (640, 480))
    dets = [Det([10, 10, 20, 20]), Det([600, 400, 10, 10], {}), Det([90, 90, 1, 1])]
"""

ZF_CALLS = {
    "ZoneFilter": "ZoneFilter(regions(), (640, 480))",
    "filter_in_roi": "zf.filter_in_roi(dets)",
    "filter_in_roi-anchor": "zf.filter_in_roi(dets, (320, 240), (0.5, 1.0))",
    "error-paths": "zf.filter_in_roi([object()])",  # logged, empty result
}


@pytest.mark.parametrize("body", cases(ZF_CALLS))
def test_zone_filter_call_at_exit(body):
    check(script(ZF_SETUP, body))


# ---- leak_probe -----------------------------------------------------------------------

LP_SETUP = """
    import tracemalloc
    from xalo_sdk.debug.leak_probe import LeakProbeManager
    probe = LeakProbeManager(debug=False)
    tracemalloc.start()
    snap = tracemalloc.take_snapshot()
    probe._first_tm_snapshot = probe._last_tm_snapshot = snap
"""

LP_CALLS = {
    "LeakProbeManager": "LeakProbeManager(limit=3)",
    "tracemalloc_check": "probe.tracemalloc_check()",
    "display_top_trace_scripts": "probe.display_top_trace_scripts(snap)",
    "compare_snapshots": "probe.compare_snapshots(snap)",
    "stop": "LeakProbeManager().stop()",
}


@pytest.mark.parametrize("body", cases(LP_CALLS))
def test_leak_probe_call_at_exit(body):
    check(script(LP_SETUP, body))
