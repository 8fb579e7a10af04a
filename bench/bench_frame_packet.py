"""Cost of xalo_sdk.redis.frame_packet on the road of one frame and per frame.

1. One frame's road through a local Redis (create, write, read, parse; a
   640x480 frame as Base64 JPEG) against the bare library calls that road
   makes: imencode, b64encode, orjson.dumps, set, publish, get, orjson.loads,
   b64decode and imdecode.
2. The small operations a pipeline module runs for every frame, each against
   the same logic written in plain Python here.

Kit and baseline are timed in the same run: repeats alternate between the two
(order flipped every repeat) and the table reports the medians and the ratio.

    PYTHONPATH=src python bench/bench_frame_packet.py [--repeats N]
"""

import argparse
import base64
import json
import shutil
import socket
import statistics
import subprocess
import tempfile
import time
import timeit

import cv2
import numpy as np
import orjson
import redis

from bench_utils import scene  # the same camera-like test frame
from xalo_sdk.constants import PREFIX
from xalo_sdk.redis import utils
from xalo_sdk.redis.frame_packet import FramePacket, Meta, MetaSource
from xalo_sdk.redis.store_client import StoreClient

CAMERA = {"id": "cam-7", "type": "camera", "name": "gate"}
DETECTOR = {"id": "det-2", "type": "detector", "name": "people"}
TRACKER = {"id": "trk-1", "type": "tracker", "name": "tracks"}
DETECTIONS = [{"bbox": [10 * i, 20, 50, 80], "score": 0.9, "label": "person"} for i in range(5)]


# ---- the same logic in plain Python ---------------------------------------------------

class PyMetaSource:
    id = type = name = source_name = source_key = output_port_idx = frame_id = ts = None

    def __init__(self, src_node=None, src_output_port=None, src_name=None):
        if src_node is None:
            return
        self.id = src_node.get("id", None)
        self.type = src_node.get("type", None)
        self.name = src_node.get("name", None)
        self.source_name = src_name if src_name else f"{src_node.get('type')}_{src_output_port}"
        self.source_key = f"{src_node.get('id')}_{src_output_port}"
        self.output_port_idx = src_output_port
        self.frame_id = None
        self.ts = time.time()

    def update(self, source_info):
        for k, v in source_info.items():
            if v is None:
                continue
            if not hasattr(self, k) or getattr(self, k) != v:
                setattr(self, k, v)

    def to_dict(self):
        return self.__dict__


class PyMetaModule:
    id = type = feed_port_idx = None

    def __init__(self, cur_node=None, feed_port_idx=None):
        if cur_node is None:
            return
        self.id = cur_node.get("id", None)
        self.type = cur_node.get("type", None)
        self.feed_port_idx = feed_port_idx

    update = PyMetaSource.update
    to_dict = PyMetaSource.to_dict


class PyMetaFrameFormat:
    encoder = None
    with_base64 = False

    def __init__(self, **kwargs):
        for k, v in kwargs.items():
            setattr(self, k, v)

    update = PyMetaSource.update
    to_dict = PyMetaSource.to_dict


class PyMeta:
    def __init__(self, cur_node, feed_idx, src_node, src_port, src_name):
        self.ts = time.time()
        self.module = PyMetaModule(cur_node=cur_node, feed_port_idx=feed_idx)
        self.source = PyMetaSource(src_node=src_node, src_output_port=src_port, src_name=src_name)
        self.frame_format = PyMetaFrameFormat()

    def update_source(self, source_info=None):
        if source_info is None:
            source_info = {}
        self.source.update(source_info)

    def update_frame_format(self, frame_format_info=None):
        if frame_format_info is None:
            frame_format_info = {}
        self.frame_format.update(frame_format_info)

    def to_dict(self):
        return {"ts": time.time(), "source": self.source.to_dict(), "module": self.module.to_dict(),
                "frame_format": self.frame_format.to_dict()}


class PyFramePacket:
    frame = None
    result = None

    def __init__(self, feed_idx, cur_node, src_node=None, src_port=None, src_name=None):
        self.meta = PyMeta(cur_node=cur_node, feed_idx=feed_idx, src_node=src_node, src_port=src_port,
                           src_name=src_name)

    def create_frame_packet(self, version=1, ext_info=None, result=None, frame=None, encoder=utils.Encoder.JPG,
                            with_base64=False):
        if not version > 0:
            return None if frame is None else utils.img_to_base64str(image=frame)
        meta_data = self.meta.to_dict()
        if ext_info and isinstance(ext_info, dict):
            for k, v in ext_info.items():
                meta_data[k] = v
        if result is None:
            result = []
        frame_as_text = None
        if frame is not None:
            if encoder is None:
                encoder = self.meta.frame_format.encoder
            if with_base64 is None:
                with_base64 = self.meta.frame_format.with_base64
            frame_as_text = utils.img_to_str(image=frame, encoder=encoder, with_base64=with_base64)
            meta_data["frame_format"] = {"encoder": encoder, "with_base64": with_base64}
        return {"meta": meta_data, "result": result, "frame": frame_as_text}

    def parse_frame_packet(self, data, version=1, encoder=None, with_base64=None):
        if version == 0:
            return utils.base64_to_img(b64_bytes=data)
        if isinstance(data, bytes):
            data = json.loads(data.decode())
        meta_info = data.get("meta", {})
        self.meta.update_source(source_info=meta_info.get("source"))
        self.meta.update_frame_format(meta_info.get("frame_format"))
        frame_data = data.get("frame", None)
        if frame_data:
            if encoder is None:
                encoder = self.meta.frame_format.encoder
            if with_base64 is None:
                with_base64 = self.meta.frame_format.with_base64
            data["frame"] = utils.str_to_img(img_as_str=frame_data, encoder=encoder, with_base64=with_base64)
        else:
            data["frame"] = None
        return data


def py_gen_redis_key_local(node_id, port):
    return f"{PREFIX.REDIS.LOCAL}_{node_id}_{port}"


# ---- a private redis-server -------------------------------------------------------------

class Server:
    def __enter__(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.dir = tempfile.mkdtemp(prefix="xalo-bench-")
        self.proc = subprocess.Popen(
            [shutil.which("redis-server") or "/usr/bin/redis-server", "--port", str(self.port),
             "--bind", "127.0.0.1", "--save", "", "--appendonly", "no", "--dir", self.dir],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return self
            except OSError:
                if time.monotonic() > deadline:
                    raise RuntimeError("redis-server did not start")
                time.sleep(0.02)

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)


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
    env = {"fp": FramePacket(0, DETECTOR, CAMERA, 0), "py": PyFramePacket(0, DETECTOR, CAMERA, 0),
           "meta": Meta(DETECTOR, 0, CAMERA, 0, None), "pymeta": PyMeta(DETECTOR, 0, CAMERA, 0, None),
           "src": MetaSource(CAMERA, 0), "pysrc": PyMetaSource(CAMERA, 0), "DETECTIONS": DETECTIONS,
           "key": utils.gen_redis_key_local, "pykey": py_gen_redis_key_local}
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


# ---- timing --------------------------------------------------------------------------------

def measure(kit, bare, repeats, budget_ns):
    """Median ns per call of each side; short batches, finely interleaved, so
    that load from elsewhere on the machine falls on both sides alike."""
    one = max(bare.timeit(3) / 3 * 1e9, 1.0)
    n = max(1, int(budget_ns // one))
    kit_t, bare_t = [], []
    for r in range(repeats):
        pair = ((kit, kit_t), (bare, bare_t)) if r % 2 == 0 else ((bare, bare_t), (kit, kit_t))
        for timer, sink in pair:
            sink.append(timer.timeit(n) / n * 1e9)
    return statistics.median(kit_t), statistics.median(bare_t)


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
