"""The figures for monitoring: StoreClient.figures, utils.shm_figures and the Prometheus collector."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("prometheus_client", reason="prometheus_client is the metrics extra; the board has none")

SCENARIO = """
    import json, os, sys
    import numpy as np
    from prometheus_client import CollectorRegistry, generate_latest
    from xalo_sdk import metrics
    from xalo_sdk.redis import utils
    from xalo_sdk.redis.store_client import StoreClient

    up = StoreClient(thread=False, host="127.0.0.1", port=int(sys.argv[1]))
    down = StoreClient(thread=False, host="127.0.0.1", port=int(sys.argv[2]))
    sub = up.subscribe("metrics-key")
    up.write_data("metrics-key", "12345")
    assert sub.get(timeout=5) == "metrics-key"
    up.write_frame_packet({"a": 1}, "metrics-packet")
    assert up.read_data("metrics-key") == b"12345" and up.read_data("metrics-missing") is None
    assert up.read_frame_packet("metrics-packet") == {"a": 1}
    try:
        down.read_data("metrics-key")
    except Exception:
        pass
    ref = utils.img_to_str(np.zeros((4, 5), np.uint8), "shm")
    assert utils.str_to_img(ref, "shm") is not None and utils.str_to_img("shm1:bad", "shm") is None
    registry = CollectorRegistry()
    metrics.register(up, subscription=sub, registry=registry)
    metrics.register(down, name="down", registry=registry)
    text = generate_latest(registry).decode()
    pid = os.fork()
    if pid == 0:  # a child's counts start at zero
        ok = utils.shm_figures()["written"] == 0 and up.figures()["reads"] == 0
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    print(json.dumps({"text": text, "child": status, "stats": sorted(up.stats())}))
"""


def test_figures_reach_the_collector(redis_server, redis_conn):
    from conftest import free_port

    run = subprocess.run([sys.executable, "-c", textwrap.dedent(SCENARIO), str(redis_server.port), str(free_port())],
                         capture_output=True, text=True, timeout=60, env=dict(os.environ, REDIS_URL=""))
    assert run.returncode == 0, run.stderr
    got = json.loads(run.stdout)
    samples = {line.rsplit(" ", 1)[0]: float(line.rsplit(" ", 1)[1])
               for line in got["text"].splitlines() if line and not line.startswith("#")}
    expected = {
        'xalo_writes_stored_total{client="default"}': 1,  # the payload, not write_data's
        'xalo_writes_failed_total{client="default"}': 0, 'xalo_reads_total{client="default"}': 3,
        'xalo_reads_none_total{client="default"}': 1, 'xalo_read_bytes_total{client="default"}': 5 + len(b'{"a":1}'),
        'xalo_read_errors_total{client="default"}': 0, 'xalo_read_errors_total{client="down"}': 1,
        'xalo_notifications_total{client="default"}': 1, 'xalo_notification_gaps_total{client="default"}': 0,
        "xalo_shm_frames_written_total": 1, "xalo_shm_frames_read_total": 1,
        'xalo_shm_frames_not_read_total{reason="malformed"}': 1, 'xalo_shm_frames_not_read_total{reason="gone"}': 0,
    }
    assert {k: samples.get(k) for k in expected} == expected
    assert got["child"] == 0
    # stats() keeps its keys for the code that reads it.
    assert got["stats"] == ["displaced", "dropped", "failed", "last_error", "queued", "stored"]
