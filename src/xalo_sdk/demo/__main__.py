"""Demo: one frame's road from a producing module to a consuming one.

The producer names its key, builds the payload with a Base64 JPEG frame and
stores it through a background StoreClient; the consumer hears the "_notify"
message, reads and parses the payload, decodes the frame, filters its
detections by regions of interest and runs a leak-probe pass.

Uses the Redis server that REDIS_HOST names, or else starts a private
redis-server on a free loopback port and stops it at the end.
"""

import contextlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time


@contextlib.contextmanager
def redis_endpoint():
    host = os.environ.get("REDIS_HOST")
    if host:
        yield host, int(os.environ.get("REDIS_PORT", "6379"))
        return
    exe = shutil.which("redis-server")
    if exe is None:
        sys.exit("redis-server is not installed and REDIS_HOST is not set")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    workdir = tempfile.mkdtemp(prefix="xalo-demo-")
    proc = subprocess.Popen([exe, "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                             "--appendonly", "no", "--dir", workdir],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)
        print(f"started a private redis-server on 127.0.0.1:{port}")
        yield "127.0.0.1", port
    finally:
        proc.terminate()
        proc.wait(10)
        shutil.rmtree(workdir, ignore_errors=True)
        print("stopped the private redis-server")


class Detection:
    def __init__(self, tlwh, label):
        self.tlwh = tlwh
        self.info = {"label": label}


def main():
    import numpy as np
    import redis

    from xalo_sdk.debug.leak_probe import LeakProbeManager
    from xalo_sdk.redis.frame_packet import FramePacket
    from xalo_sdk.redis.store_client import StoreClient
    from xalo_sdk.redis.utils import gen_redis_key_local
    from xalo_sdk.roi.zone_filter import ZoneFilter

    camera = {"id": "cam-1", "type": "camera", "name": "gate"}
    detector = {"id": "det-1", "type": "detector", "name": "people"}
    tracker = {"id": "trk-1", "type": "tracker", "name": "tracks"}

    with redis_endpoint() as (host, port):
        key = gen_redis_key_local(detector["id"], 0)
        listener = redis.StrictRedis(host=host, port=port).pubsub()
        listener.subscribe(key + "_notify")
        listener.get_message(timeout=1)  # subscription confirmed

        # Producer: a 640x480 frame with two detections.
        frame = np.zeros((480, 640, 3), np.uint8)
        frame[100:300, 200:400] = (40, 160, 220)
        producer = FramePacket(0, detector, camera, 0)
        detections = [{"tlwh": [220, 120, 80, 160], "label": "person"},
                      {"tlwh": [500, 50, 60, 120], "label": "person"}]
        payload = producer.create_frame_packet(result=detections, frame=frame, with_base64=True)
        writer = StoreClient(thread=True, host=host, port=port)
        print(f"producer queued the payload under {key!r}: {writer.write_frame_packet(payload, key, ttl=30)}")

        # Consumer: wait for the notification, then read and parse.
        message = listener.get_message(timeout=5)
        while message is not None and message["type"] != "message":
            message = listener.get_message(timeout=5)
        print(f"consumer heard {key}_notify: {message and message['data']!r}")
        reader = StoreClient(thread=False, host=host, port=port)
        consumer = FramePacket(0, tracker, detector, 0)
        packet = consumer.parse_frame_packet(reader.read_frame_packet(key))
        decoded = packet["frame"]
        error = np.abs(decoded.astype(int) - frame.astype(int)).mean()
        print(f"decoded frame {decoded.shape}, mean JPEG error {error:.2f}; sender's source "
              f"{consumer.meta.source.source_key!r}, frame format {consumer.meta.frame_format.to_dict()}")

        # Regions of interest: a left-half include region with an exclude corner.
        regions = [{"roi_id": "left", "label": "left half", "include": True,
                    "points": [[0, 0], [0.5, 0], [0.5, 1], [0, 1]]},
                   {"roi_id": "corner", "label": "corner", "include": False,
                    "points": [[0, 0], [0.2, 0], [0.2, 0.2], [0, 0.2]]}]
        zones = ZoneFilter(regions, frame_sz=(640, 480))
        objects = [Detection(d["tlwh"], d["label"]) for d in packet["result"]]
        kept = zones.filter_in_roi(objects)
        print(f"{len(kept)} of {len(objects)} detections lie in a region: {[o.info for o in kept]}")

        LeakProbeManager().tracemalloc_check()
        print(f"keys of the node: {reader.scan_keys('redis_' + detector['id'] + '_*')}")
        print(f"deleted: {reader.delete_many([key])}")
        writer._shutdown_executor()
        listener.close()
    print("demo finished")


if __name__ == "__main__":
    main()
