"""Cost of xalo_sdk.redis.frame_packet on the road of one frame and per frame.

1. One frame's road through a local Redis (create, write, read, parse; a
   640x480 frame as Base64 JPEG) against the bare library calls that road
   makes: imencode, b64encode, orjson.dumps, set, publish, get, orjson.loads,
   b64decode and imdecode.
2. The small operations a pipeline module runs for every frame, each against
   the same logic in plain Python: the reference package (tests/reference/).

Kit and baseline are timed in the same run: repeats alternate between the two
(order flipped every repeat) and the table reports the medians and the ratio.

    PYTHONPATH=src python bench/bench_frame_packet.py [--repeats N]
"""

import argparse
import base64
import json
import os
import sys
import timeit

import cv2
import numpy as np
import orjson
import redis

from _server import Server
from _timing import measure
from bench_utils import scene  # the same camera-like test frame
from xalo_sdk.redis import utils
from xalo_sdk.redis.frame_packet import FramePacket, Meta, MetaSource
from xalo_sdk.redis.store_client import StoreClient

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from reference import frame_packet as reference, utils as reference_utils  # noqa: E402

CAMERA = {"id": "cam-7", "type": "camera", "name": "gate"}
DETECTOR = {"id": "det-2", "type": "detector", "name": "people"}
TRACKER = {"id": "trk-1", "type": "tracker", "name": "tracks"}
DETECTIONS = [{"bbox": [10 * i, 20, 50, 80], "score": 0.9, "label": "person"} for i in range(5)]


# ---- cases ---------------------------------------------------------------------------------

def road_cases(port):
    img = scene(640, 480)
    key = utils.gen_redis_key_local(DETECTOR["id"], 0)
    client = StoreClient(thread=False, host="127.0.0.1", port=port)
    producer = FramePacket(0, DETECTOR, CAMERA, 0)
    consumer = FramePacket(0, TRACKER, DETECTOR, 0)

    def kit():
        payload = producer.create_frame_packet(result=DETECTIONS, frame=img, with_base64=True)
        client.write_frame_packet(payload, key)
        return consumer.parse_frame_packet(client.read_frame_packet(key))["frame"]

    conn = redis.StrictRedis(connection_pool=redis.ConnectionPool(
        host="127.0.0.1", port=port, max_connections=10, decode_responses=False))
    meta = producer.create_frame_packet(frame=img, with_base64=True)["meta"]
    channel = key + "_notify"

    def bare():
        ok, buf = cv2.imencode(".jpg", img)
        payload = {"meta": meta, "result": DETECTIONS, "frame": base64.b64encode(buf).decode("ascii")}
        conn.set(key, orjson.dumps(payload), ex=None)
        conn.publish(channel, "1")
        data = orjson.loads(conn.get(key))
        return cv2.imdecode(np.frombuffer(base64.b64decode(data["frame"]), dtype=np.uint8), -1)

    assert np.array_equal(kit(), bare())
    return [("road 640x480 jpg+b64", kit, bare)]


def small_cases():
    env = {"fp": FramePacket(0, DETECTOR, CAMERA, 0), "py": reference.FramePacket(0, DETECTOR, CAMERA, 0),
           "meta": Meta(DETECTOR, 0, CAMERA, 0, None), "pymeta": reference.Meta(DETECTOR, 0, CAMERA, 0, None),
           "src": MetaSource(CAMERA, 0), "pysrc": reference.MetaSource(CAMERA, 0), "DETECTIONS": DETECTIONS,
           "key": utils.gen_redis_key_local, "pykey": reference_utils.gen_redis_key_local}
    # Two received sources that differ in time stamp and frame id, as
    # consecutive frames do: each update takes over two values.
    sent = FramePacket(0, CAMERA, CAMERA, 0).create_frame_packet(result=DETECTIONS)
    a, b = json.loads(json.dumps(sent)), json.loads(json.dumps(sent))
    a["meta"]["source"].update(ts=1.5, frame_id=1)
    b["meta"]["source"].update(ts=2.5, frame_id=2)
    env.update(a=a, b=b, sa=a["meta"]["source"], sb=b["meta"]["source"])
    assert env["key"]("cam", 2) == env["pykey"]("cam", 2)
    return env, [
        ("Meta.to_dict", "meta.to_dict()", "pymeta.to_dict()"),
        ("MetaSource.update x2", "src.update(sa); src.update(sb)", "pysrc.update(sa); pysrc.update(sb)"),
        ("create_frame_packet, no frame", "fp.create_frame_packet(result=DETECTIONS)",
         "py.create_frame_packet(result=DETECTIONS)"),
        ("parse_frame_packet dict x2", "fp.parse_frame_packet(a); fp.parse_frame_packet(b)",
         "py.parse_frame_packet(a); py.parse_frame_packet(b)"),
        ("gen_redis_key_local", "key('cam', 2)", "pykey('cam', 2)"),
    ]


# ---- report --------------------------------------------------------------------------------

def row(name, k, b, unit, scale, target):
    verdict = "ok" if k / b <= target else "MISSED"
    print(f"{name:32} {k / scale:10.2f} {b / scale:10.2f} {(k - b) / scale:9.2f} {k / b:7.3f}  "
          f"<= {target:<5} {verdict}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=101)
    args = parser.parse_args()

    with Server() as server:
        print(f"{'road of one frame':32} {'kit us':>10} {'bare us':>10} {'diff us':>9} {'ratio':>7}  target")
        for name, kit, bare in road_cases(server.port):
            k, b = measure(timeit.Timer(kit), timeit.Timer(bare), args.repeats, 2e7)
            row(name, k, b, "us", 1e3, 1.05)

    env, cases = small_cases()
    print(f"\n{'per-frame operation':32} {'kit ns':>10} {'python ns':>10} {'diff ns':>9} {'ratio':>7}  target")
    for name, kit, twin in cases:
        k, b = measure(timeit.Timer(kit, globals=env), timeit.Timer(twin, globals=env), args.repeats, 2e6)
        row(name, k, b, "ns", 1, 0.6)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
