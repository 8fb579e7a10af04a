"""One frame's hop between two modules on each road: the documented one
(JPEG + Base64 inside the JSON payload) and shared memory (Encoder.SHM).

A hop is what two pipeline modules do per frame: build the payload, store it
with a direct write, read it back and parse it (decoding the frame). Both
roads use the same private redis-server and are timed interleaved in one run
(order flipped every repeat, each side in batches of its own ~60 ms); the
table gives medians and how many times faster the shared-memory road is.

The last column is the shared-memory hop against its floor: the same hop
with no frame in the payload, plus two plain copies of the pixels. What
remains above 1 is the ring's own cost; the floor itself is mostly Redis
round trips (a store is SET then PUBLISH, a read one GETRANGE).

--pin runs this process and its redis-server on one CPU, as a measure of
the round trips' share: on a virtual machine a wake-up across CPUs costs
far more than on a board.

    PYTHONPATH=src python bench/bench_road.py [--repeats N] [--pin]
"""

import argparse
import os

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

    if encoder is None:  # the floor: metadata only, and the pixels copied twice
        def one():
            sent = img.copy()
            client.write_frame_packet(producer.create_frame_packet(result=DETECTIONS), key)
            consumer.parse_frame_packet(client.read_frame_packet(key))
            return sent.copy()
        return one

    def one():
        payload = producer.create_frame_packet(result=DETECTIONS, frame=img, encoder=encoder,
                                               with_base64=with_base64)
        client.write_frame_packet(payload, key)
        return consumer.parse_frame_packet(client.read_frame_packet(key))["frame"]

    return one


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=21)
    parser.add_argument("--pin", action="store_true", help="this process and redis-server on one CPU")
    args = parser.parse_args()
    missed = 0
    with Server() as server:
        if args.pin:
            cpu = min(os.sched_getaffinity(0))
            for pid in (0, server.proc.pid):
                os.sched_setaffinity(pid, {cpu})
        print(f"{'hop':12} {'jpg+b64 ms':>11} {'shm ms':>9} {'faster':>8}  {'target':12} {'floor ms':>9} "
              f"{'shm/floor':>9}")
        for size, target in TARGETS.items():
            img = scene(*size)
            jpg = hop(server.port, img, utils.Encoder.JPG, True)
            shm = hop(server.port, img, utils.Encoder.SHM, False)
            floor = hop(server.port, img, None, False)
            assert np.array_equal(shm(), img) and jpg().shape == img.shape
            shm_ns, jpg_ns = measure(shm, jpg, args.repeats, budget_ns=6e7, each_own_budget=True)
            shm2_ns, floor_ns = measure(shm, floor, args.repeats, budget_ns=6e7)
            ratio = jpg_ns / shm_ns
            verdict = "ok" if ratio >= target else "MISSED"
            missed += verdict != "ok"
            print(f"{'%dx%d' % size:12} {jpg_ns / 1e6:11.2f} {shm_ns / 1e6:9.3f} {ratio:7.1f}x  "
                  f"{'>= %gx %s' % (target, verdict):12} {floor_ns / 1e6:9.3f} {shm2_ns / floor_ns:9.2f}")
    return 1 if missed else 0


if __name__ == "__main__":
    raise SystemExit(main())
