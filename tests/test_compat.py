"""Payloads across releases: each earlier release reads this one's and the other way round.

`make compat` builds the earlier releases from their commits and names their
interpreters in XALO_COMPAT_PYTHONS ("0.2.0=/path/python,..."); without it
these tests are skipped.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

RELEASES = dict(item.split("=", 1) for item in os.environ.get("XALO_COMPAT_PYTHONS", "").split(",") if item)
pytestmark = pytest.mark.skipif(not RELEASES, reason="make compat builds the earlier releases to test against")

WRITE = """
    import json, sys
    import numpy as np
    from xalo_sdk.redis.frame_packet import FramePacket
    from xalo_sdk.redis.utils import Encoder
    frame = (np.arange(37 * 53 * 3) % 251).astype(np.uint8).reshape(37, 53, 3)
    encoder = {"jpg": Encoder.JPG, "bmp": Encoder.BMP, "raw": None, "shm": "shm"}[sys.argv[1]]
    producer = FramePacket(0, {"id": "cam-1", "type": "camera"})
    payload = producer.create_frame_packet(result=[{"label": "person", "bbox": [1, 2, 3, 4]}], frame=frame,
                                           encoder=encoder, with_base64=True)
    print(json.dumps(payload))
"""

READ = """
    import hashlib, json, sys
    from xalo_sdk.redis import utils
    from xalo_sdk.redis.frame_packet import FramePacket
    seen = []
    utils.logger = type("L", (), {"warning": staticmethod(lambda m: seen.append(str(m)))})
    data = FramePacket(0, {"id": "det-1", "type": "detector"}).parse_frame_packet(json.loads(sys.stdin.read()))
    frame = data["frame"]
    print(json.dumps({"result": data["result"], "module": data["meta"]["module"], "warnings": seen,
                      "frame": None if frame is None else
                      [list(frame.shape), str(frame.dtype), hashlib.sha256(frame.tobytes()).hexdigest()]}))
"""


def run(python, script, arg="", data=None):
    got = subprocess.run([python, "-c", textwrap.dedent(script), arg], input=data, capture_output=True, text=True,
                         timeout=120, env=dict(os.environ, PYTHONPATH=""))
    assert got.returncode == 0, got.stderr
    return got.stdout


@pytest.mark.parametrize("release", sorted(RELEASES))
@pytest.mark.parametrize("encoding", ["jpg", "bmp", "raw"])
@pytest.mark.parametrize("writer", ["earlier", "this"])
def test_payloads_cross_releases_both_ways(release, encoding, writer):
    old = RELEASES[release]
    payload = run(old if writer == "earlier" else sys.executable, WRITE, encoding)
    theirs = json.loads(run(sys.executable if writer == "earlier" else old, READ, data=payload))
    ours = json.loads(run(old if writer == "earlier" else sys.executable, READ, data=payload))
    assert theirs == ours
    assert theirs["frame"] is not None and theirs["warnings"] == []
    assert theirs["result"] == [{"label": "person", "bbox": [1, 2, 3, 4]}] and theirs["module"]["id"] == "cam-1"


@pytest.mark.parametrize("release", sorted(RELEASES))
def test_an_earlier_release_names_the_shared_memory_encoder_it_does_not_know(release):
    got = json.loads(run(RELEASES[release], READ, data=run(sys.executable, WRITE, "shm")))
    assert got["frame"] is None
    assert [w.split(".")[0] for w in got["warnings"]] == ["Not defined encoder shm"]
