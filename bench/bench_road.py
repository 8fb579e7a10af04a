"""One frame's hop between two modules on each road: the documented one
(JPEG + Base64 inside the JSON payload) and shared memory (Encoder.SHM).

A hop is what two pipeline modules do per frame: build the payload, store it
with a direct write, read it back and parse it (decoding the frame). Both
roads use the same private redis-server and are timed interleaved in one run
(order flipped every repeat); the table gives medians and how many times
faster the shared-memory road is.

    PYTHONPATH=src python bench/bench_road.py [--repeats N]
"""

import argparse

import numpy as np

from _server import Server
from _timing import measure
from bench_frame_packet import CAMERA, DETECTIONS, DETECTOR, TRACKER
from bench_utils import scene
from xalo_sdk.redis import utils
from xalo_sdk.redis.frame_packet import FramePacket
from xalo_sdk.redis.store_client import StoreClient

TARGETS = {(640, 480): 8.0, (1920, 1080): 15.0}


def hop(port, img, encoder, with_base64):
    key = utils.gen_redis_key_local(DETECTOR["id"], 0)
    client = StoreClient(thread=False, host="127.0.0.1", port=port)
    producer = FramePacket(0, DETECTOR, CAMERA, 0)
    consumer = FramePacket(0, TRACKER, DETECTOR, 0)

    def one():
        payload = producer.create_frame_packet(result=DETECTIONS, frame=img, encoder=encoder,
                                               with_base64=with_base64)
        client.write_frame_packet(payload, key)
        return consumer.parse_frame_packet(client.read_frame_packet(key))["frame"]

    return one


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=21)
    args = parser.parse_args()
    missed = 0
    with Server() as server:
        print(f"{'hop':12} {'jpg+b64 ms':>11} {'shm ms':>9} {'faster':>8}  target")
        for size, target in TARGETS.items():
            img = scene(*size)
            jpg = hop(server.port, img, utils.Encoder.JPG, True)
            shm = hop(server.port, img, utils.Encoder.SHM, False)
            assert np.array_equal(shm(), img) and jpg().shape == img.shape
            shm_ns, jpg_ns = measure(shm, jpg, args.repeats, budget_ns=6e7)
            ratio = jpg_ns / shm_ns
            verdict = "ok" if ratio >= target else "MISSED"
            missed += verdict != "ok"
            print(f"{'%dx%d' % size:12} {jpg_ns / 1e6:11.2f} {shm_ns / 1e6:9.3f} {ratio:7.1f}x  >= {target:g}x "
                  f"{verdict}")
    return 1 if missed else 0


if __name__ == "__main__":
    raise SystemExit(main())
