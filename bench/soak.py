"""Soak run: memory stays flat over a long run of the kit's calls.

Two phases after a warm-up:
- a million small calls, mixed: key builders, the metadata records' update
  and to_dict, create_frame_packet without a frame, filter_in_roi on a small
  frame, str_to_img of raw bytes;
- 5,000 full frame roads: create_frame_packet with a 640 x 480 frame as Base64
  JPEG, a direct write through StoreClient to a private redis-server,
  read_frame_packet, parse_frame_packet, filter_in_roi on the result.

After each phase it prints the growth of the resident set (VmRSS of
/proc/self/status) and of the memory traced by tracemalloc. Growth of either
beyond 1 MB fails the run (exit status 1). Reference leaks in the native
modules show as traced growth; leaks of native allocations as RSS growth.

    python bench/soak.py            # the full run, a few minutes
    python bench/soak.py --small    # a fiftieth of it, for a quick check
"""

import argparse
import gc
import sys
import time
import tracemalloc

import numpy as np

from _server import Server
from xalo_sdk.redis import utils
from xalo_sdk.redis.frame_packet import FramePacket
from xalo_sdk.redis.store_client import StoreClient
from xalo_sdk.roi.zone_filter import ZoneFilter

LIMIT_KB = 1024
CALLS_PER_ROUND = 10


def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


class Det:
    def __init__(self, tlwh, info=None):
        self.tlwh = tlwh
        if info is not None:
            self.info = info


REGIONS = [
    {"points": [(0.0, 0.0), (0.6, 0.0), (0.6, 1.0), (0.0, 1.0)], "include": True, "roi_id": 1, "label": "left"},
    {"points": [(0.4, 0.0), (1.0, 0.0), (1.0, 1.0), (0.4, 1.0)], "include": True, "roi_id": 2, "label": "right"},
    {"points": [(0.5, 0.5), (0.7, 0.5), (0.7, 0.7), (0.5, 0.7)], "include": False, "roi_id": 3},
]


def small_round(packet, zone, dets, raw):
    """One round of CALLS_PER_ROUND cheap calls."""
    utils.gen_redis_key_local("node-1", 2)
    utils.gen_redis_key_status("node-1")
    packet.meta.source.update({"frame_id": 7, "extra": "v"})
    packet.meta.source.to_dict()
    packet.meta.frame_format.update({"encoder": utils.Encoder.JPG, "with_base64": True})
    packet.meta.module.to_dict()
    packet.create_frame_packet(result=[1, 2])
    zone.filter_in_roi(dets)
    utils.str_to_img(raw)
    packet.meta.to_dict()


def frame_road(producer, consumer, client, zone, frame, result, key):
    """One frame from a producing module to a consuming one, through Redis."""
    data = producer.create_frame_packet(result=result, frame=frame, with_base64=True)
    if not client.write_frame_packet(data, key, 60):
        raise RuntimeError("write failed")
    received = consumer.parse_frame_packet(client.read_frame_packet(key))
    if received["frame"] is None:
        raise RuntimeError("frame did not decode")
    dets = [Det(r["tlwh"], {"score": r["score"]}) for r in received["result"]]
    return zone.filter_in_roi(dets, frame_sz=(640, 480))


def settle():
    gc.collect()
    return rss_kb(), tracemalloc.get_traced_memory()[0], tracemalloc.get_tracemalloc_memory()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--small", action="store_true", help="a fiftieth of the counts, for a quick check")
    parser.add_argument("--calls", type=int, default=1_000_000, help="small calls (default: a million)")
    parser.add_argument("--roads", type=int, default=5_000, help="full frame roads (default: 5,000)")
    args = parser.parse_args()
    if args.small:
        args.calls //= 50
        args.roads //= 50
    rounds = max(1, args.calls // CALLS_PER_ROUND)

    cam = {"id": "cam-1", "type": "camera", "name": "gate"}
    producer = FramePacket(0, cam)
    consumer = FramePacket(0, {"id": "det-1", "type": "detector"}, cam, 0)
    packet = FramePacket(1, {"id": "n", "type": "t"}, cam, 0, "front")
    zone = ZoneFilter(REGIONS, (640, 480))
    small_dets = [Det([0.1, 0.1, 0.1, 0.1]), Det([100, 100, 40, 80], {"k": 1}), Det([0.55, 0.55, 0.05, 0.05])]
    raw = bytes(range(256)) * 4
    rng = np.random.default_rng(0)
    frame = (np.indices((480, 640, 3)).sum(axis=0) % 256).astype(np.uint8)
    frame[::7, ::5] = rng.integers(0, 256, frame[::7, ::5].shape, dtype=np.uint8)
    result = [{"tlwh": [int(x), 200, 60, 120], "score": 0.9} for x in range(0, 600, 100)]

    with Server("xalo-soak-") as server:
        client = StoreClient(thread=False, host="127.0.0.1", port=server.port)
        key = utils.gen_redis_key_local("cam-1", 0)

        def run_small(n):
            for _ in range(n):
                small_round(packet, zone, small_dets, raw)

        def run_roads(n):
            for _ in range(n):
                frame_road(producer, consumer, client, zone, frame, result, key)

        # Warm-up: caches, pools and allocator arenas reach their working size,
        # first untraced, then again under tracemalloc (its own tables grow too).
        run_small(max(1, rounds // 10))
        run_roads(max(1, args.roads // 10))
        tracemalloc.start()
        run_small(max(1, rounds // 50))
        run_roads(max(1, args.roads // 50))

        failed = False
        print(f"{'phase':<28}{'seconds':>9}{'RSS KB':>10}{'RSS growth':>12}{'traced growth':>15}")
        for name, run, n in ((f"{rounds * CALLS_PER_ROUND:,} small calls", run_small, rounds),
                             (f"{args.roads:,} frame roads", run_roads, args.roads)):
            rss0, traced0, tm_own0 = settle()
            t0 = time.perf_counter()
            run(n)
            seconds = time.perf_counter() - t0
            rss1, traced1, tm_own1 = settle()
            # tracemalloc's own bookkeeping lives in the RSS too; it is not the kit's.
            rss_growth = rss1 - rss0 - (tm_own1 - tm_own0) // 1024
            traced_growth = (traced1 - traced0) // 1024
            print(f"{name:<28}{seconds:>9.1f}{rss1:>10}{rss_growth:>10} KB{traced_growth:>12} KB")
            failed |= rss_growth >= LIMIT_KB or traced_growth >= LIMIT_KB
        client.delete_data(key)

    print("FAIL: memory grew by 1 MB or more" if failed else "OK: growth below 1 MB in every phase")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
