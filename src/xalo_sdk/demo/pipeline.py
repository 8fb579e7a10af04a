"""Demo pipeline: a producing and a consuming module in two processes.

The producer renders a synthetic camera scene, builds one payload per frame
with `FramePacket` and stores it through a background `StoreClient` under its
local key. The consumer follows the key's "_notify" channel, reads and parses
each payload, decodes the frame, filters the detections by regions of
interest and runs a leak-probe pass now and then. The two share nothing but
the Redis server.

Uses the Redis server that REDIS_HOST / REDIS_PORT name, or else starts a
private redis-server on a free loopback port and stops it at the end.
"""

import argparse
import collections
import contextlib
import copy
import logging
import multiprocessing
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

CAMERA = {"id": "cam-1", "type": "camera", "name": "gate"}
DETECTOR = {"id": "det-1", "type": "detector", "name": "people"}
TRACKER = {"id": "trk-1", "type": "tracker", "name": "tracks"}
FRAME_TTL = 30  # seconds; a frame nobody reads expires


class DemoError(Exception):
    """Ends the demo with a one-line message."""


def parse_args(argv):
    def size(text):
        try:
            w, h = (int(v) for v in text.lower().split("x"))
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT, got {text!r}") from None
        if not (16 <= w <= 8192 and 16 <= h <= 8192):
            raise argparse.ArgumentTypeError("width and height must lie between 16 and 8192")
        return w, h

    p = argparse.ArgumentParser(prog="python -m xalo_sdk.demo", description=__doc__.split("\n\n")[0])
    p.add_argument("--duration", type=float, default=20.0, metavar="SECONDS",
                   help="how long the producer runs (default 20; Ctrl-C ends earlier)")
    p.add_argument("--road", choices=("jpg", "shm"), default="jpg",
                   help="how frames travel: JPEG inside the payload (default) or shared memory (one host only;"
                        " every third second goes the default road, for comparison)")
    p.add_argument("--fps", type=float, default=15.0, help="frames per second (default 15)")
    p.add_argument("--size", type=size, default=(640, 480), metavar="WxH", help="frame size (default 640x480)")
    p.add_argument("--objects", type=int, default=6, metavar="N", help="moving objects (default 6)")
    p.add_argument("--output", default="demo-last-frame.png", metavar="PATH",
                   help="annotated PNG of the last frame (default demo-last-frame.png)")
    p.add_argument("--leak-every", type=int, default=150, metavar="N",
                   help="leak-probe report every N frames, and once at the end (default 150)")
    opts = p.parse_args(argv)
    if opts.fps <= 0 or opts.duration < 0 or opts.objects < 0 or opts.leak_every < 1:
        p.error("--fps and --leak-every must be positive, --duration and --objects not negative")
    return opts


# ---- the Redis server ---------------------------------------------------------------

@contextlib.contextmanager
def redis_endpoint():
    if "REDIS_HOST" in os.environ or "REDIS_PORT" in os.environ:
        host = os.environ.get("REDIS_HOST") or "localhost"
        try:
            port = int(os.environ.get("REDIS_PORT") or 6379)
        except ValueError:
            raise DemoError(f"REDIS_PORT is not a port number: {os.environ['REDIS_PORT']!r}") from None
        yield host, port
        return
    exe = shutil.which("redis-server")
    if exe is None:
        raise DemoError("redis-server is not installed and neither REDIS_HOST nor REDIS_PORT is set")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    workdir = tempfile.mkdtemp(prefix="xalo-demo-")
    # A session of its own: Ctrl-C in the terminal must not stop the server
    # before the demo has finished with it.
    proc = subprocess.Popen([exe, "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                             "--appendonly", "no", "--dir", workdir],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                if proc.poll() is not None or time.monotonic() > deadline:
                    raise DemoError("the private redis-server did not start") from None
                time.sleep(0.02)
        print(f"started a private redis-server on 127.0.0.1:{port}", flush=True)
        yield "127.0.0.1", port
    finally:
        proc.terminate()
        proc.wait(10)
        shutil.rmtree(workdir, ignore_errors=True)
        print("stopped the private redis-server", flush=True)


def check_reachable(host, port):
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    # One attempt: a server that is not there should be reported at once.
    conn = redis.Redis(host=host, port=port, socket_connect_timeout=2, socket_timeout=2, retry=Retry(NoBackoff(), 0))
    try:
        conn.ping()
    except redis.RedisError as e:
        raise DemoError(f"cannot reach Redis at {host}:{port}: {e}") from None
    finally:
        conn.close()


def setup_logging():
    logging.basicConfig(level=logging.INFO, stream=sys.stderr, format="%(name)s: %(message)s")


ROADS = {"jpg": "JPEG in the payload (default)", "shm": "shared memory"}


def road_of(frames, opts):
    """The road of frame number `frames`: with --road shm every third second
    of frames goes the default road, so that the summary can set the two side
    by side, measured under the same load."""
    second = max(1, round(opts.fps))
    return "jpg" if opts.road == "shm" and frames // second % 3 == 2 else opts.road


def keys():
    from xalo_sdk.redis.utils import gen_redis_key_local, gen_redis_key_status

    return gen_redis_key_local(DETECTOR["id"], 0), gen_redis_key_status(DETECTOR["id"])


# ---- producer -----------------------------------------------------------------------

def run_producer(host, port, opts, ready, stop):
    setup_logging()
    try:
        produce(host, port, opts, ready, stop)
    except Exception as e:  # one line, no traceback: the parent reports the exit code
        print(f"producer: {type(e).__name__}: {e}", file=sys.stderr, flush=True)
        sys.exit(1)


def produce(host, port, opts, ready, stop):
    import orjson

    from xalo_sdk.demo.scene import Scene
    from xalo_sdk.redis.frame_packet import FramePacket
    from xalo_sdk.redis.store_client import StoreClient
    from xalo_sdk.redis.utils import Encoder

    key, status_key = keys()
    scene = Scene(opts.size[0], opts.size[1], opts.objects)
    packet = FramePacket(0, DETECTOR, CAMERA, 0)
    period = 1.0 / opts.fps
    frames = 0
    encoders = {"jpg": Encoder.JPG, "shm": Encoder.SHM}
    # The consumer must be listening before the first frame is announced.
    while not ready.wait(0.1):
        if stop.is_set():
            return
    with StoreClient(host=host, port=port) as client:
        start = time.monotonic()
        while not stop.is_set() and time.monotonic() - start < opts.duration:
            image, detections = scene.step(frames)
            packet.meta.source.frame_id = frames
            encoder = encoders[road_of(frames, opts)]
            payload = packet.create_frame_packet(result=detections, frame=image, encoder=encoder, with_base64=True)
            # The payload's source entry is the record's live mapping and is
            # serialised later, by the writer: give it this frame's own copy,
            # or it may be stored with the next frame's id.
            payload["meta"]["source"] = dict(payload["meta"]["source"])
            client.write_frame_packet(payload, key, ttl=FRAME_TTL)
            frames += 1
            stop.wait(max(0.0, start + frames * period - time.monotonic()))
        # close() drops writes still pending: wait until the last frame is
        # stored (being last, it cannot have been displaced).
        # (read_data, not read_frame_packet: a lost server should end this
        # loop with its error, not log a warning every round.)
        deadline = time.monotonic() + 5
        while frames and time.monotonic() < deadline:
            stored = client.read_data(key)
            if stored and orjson.loads(stored)["meta"]["source"].get("frame_id") == frames - 1:
                break
            time.sleep(0.01)
        client.write_data(status_key, {"frames": frames, "done": True}, ttl=FRAME_TTL)


# ---- consumer -----------------------------------------------------------------------

class Detection:
    """The object filter_in_roi takes: a box in ``tlwh``; tags go into ``info``."""

    def __init__(self, entry):
        self.tlwh, self.info = entry["tlwh"], entry


class Progress:
    """One live status line: rewritten in place on a terminal, once a second otherwise."""

    def __init__(self, stream=sys.stderr):
        self.stream = stream
        self.tty = stream.isatty()
        self.last = 0.0
        self.shown = False

    def show(self, text, force=False):
        now = time.monotonic()
        if not force and now - self.last < (0.25 if self.tty else 1.0):
            return
        self.last = now
        if self.tty:
            self.stream.write("\r\033[K" + text)
            self.shown = True
        else:
            self.stream.write(text + "\n")
        self.stream.flush()

    def clear(self):
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()
            self.shown = False


class LeakSummary:
    """The leak probe's logger: one line per pass instead of some forty.

    The probe's own lines are kept (and passed on at debug level to the
    "tracemalloc" logger); `flush` reports the pass they make up as one line
    on the "leak probe" logger: the traced memory, its growth since the first
    pass, the source line that grew most since the probe's first snapshot and
    what the garbage collector found.
    """

    def __init__(self):
        self.lines = []
        self.first_traced = None
        self.detail = logging.getLogger("tracemalloc")
        self.out = logging.getLogger("leak probe")

    def info(self, message):
        self.lines.append(message)
        self.detail.debug(message)

    def flush(self, frames):
        lines, self.lines = self.lines, []
        parts = []
        for line in lines:
            head, _, value = line.partition(": ")
            if head == "leak.tm - get_traced_memory":
                traced, peak = (int(v) for v in value.split(", "))
                if self.first_traced is None:
                    self.first_traced = traced
                parts.append(f"traced {traced / 2**20:.1f} MiB (peak {peak / 2**20:.1f} MiB,"
                             f" {(traced - self.first_traced) / 2**20:+.1f} MiB since the first pass)")
        grown = next((line.split(": ", 1)[1] for line in lines
                      if line.startswith("leak.tm - compare with first: ") and "size=" in line), None)
        if grown:  # "<file>:<line>: size=12 KiB (+3 KiB), count=..."
            where, _, rest = grown.partition(": size=")
            change = rest.partition("(")[2].partition(")")[0]
            parts.append(f"grew most since start: {os.path.basename(where)} {change}")
        collected = next((line.rpartition(": ")[2] for line in lines if line.startswith("leak.gc - collect: ")), None)
        if collected is not None:
            parts.append(f"gc found {collected} unreachable")
        self.out.info(f"after {frames} frames: " + "; ".join(parts))


class RoadStats:
    """Latencies and rate of the frames that came one road.

    The rate counts the intervals between consecutive frames of the road, so
    the time spent on the other road does not count against it. The latency
    of the road's first frame is left out: it pays the road's one-time set-up
    (on the shared-memory road, making the ring: some 20 ms).
    """

    def __init__(self):
        self.frames = 0
        self.latencies = []
        self.intervals = 0
        self.span = 0.0
        self.last = None

    def record(self, latency, now, continued):
        self.frames += 1
        if self.frames > 1:
            self.latencies.append(latency)
        if continued:
            self.intervals += 1
            self.span += now - self.last
        self.last = now

    def rate(self):
        return self.intervals / self.span if self.span > 0 else 0.0


def percentiles(latencies):
    if not latencies:
        return float("nan"), float("nan")
    s = sorted(latencies)
    pick = lambda q: s[min(len(s) - 1, int(q * len(s)))] * 1000.0  # noqa: E731
    return pick(0.50), pick(0.99)


class Stats:
    def __init__(self, regions):
        self.stored = 0  # notifications heard: one per stored frame
        self.processed = 0
        self.produced = None  # from the producer's status record
        self.highest = -1
        self.latencies = []
        self.kept = collections.Counter()
        self.dropped = 0
        self.objects = 0
        self.current = collections.Counter()  # kept per region in the newest frame
        self.current_dropped = 0
        self.names = [r["label"] for r in regions if r["include"]]
        self.arrivals = collections.deque()
        self.first = None
        self.roads = {road: RoadStats() for road in ROADS}
        self.road = None  # of the frame processed last

    def record(self, frame_id, latency, kept, objects, road="jpg"):
        now = time.monotonic()
        self.roads[road].record(latency, now, road == self.road)
        self.road = road
        self.first = self.first or now
        self.processed += 1
        self.highest = max(self.highest, frame_id)
        self.latencies.append(latency)
        self.arrivals.append(now)
        while now - self.arrivals[0] > 2.0:
            self.arrivals.popleft()
        self.current = collections.Counter(name for k in kept for name in k.info.get("roi_name", []))
        self.kept.update(self.current)
        self.objects += objects
        self.current_dropped = objects - len(kept)
        self.dropped += self.current_dropped

    def fps(self):
        if len(self.arrivals) < 2:
            return 0.0
        return (len(self.arrivals) - 1) / max(1e-9, self.arrivals[-1] - self.arrivals[0])

    def percentiles(self):
        return percentiles(self.latencies)

    def displaced(self):
        # While running, the newest frame's notification may still be on its
        # way; the count is exact once the producer has reported its total.
        produced = self.produced if self.produced is not None else self.highest
        return max(0, produced - self.stored)

    def line(self):
        p50, p99 = self.percentiles()
        regions = ", ".join(f"{n} {self.current.get(n, 0)}" for n in self.names)
        return (f"frames {self.processed} | {self.fps():4.1f} fps | latency p50 {p50:.1f} ms p99 {p99:.1f} ms"
                f" | displaced {self.displaced()} | kept now: {regions}, dropped {self.current_dropped}")

    def side_by_side(self, road):
        """The summary's road rows for a run that also sent frames the default
        road: one column per road."""
        columns = []
        for name in (road, "jpg"):
            got = self.roads[name]
            p50, p99 = percentiles(got.latencies)
            columns.append([ROADS[name], str(got.frames), f"{got.rate():.1f} fps",
                            f"{p50:.1f} / {p99:.1f} ms"])
        width = max(len(v) for v in columns[0])
        names = ["roads side by side", "frames processed on the road", "throughput",
                 "latency p50 / p99 (built -> filtered)"]
        return [(n, f"{a:<{width}}  {b}") for n, a, b in zip(names, *columns)]

    def summary(self, output, road="jpg"):
        p50, p99 = self.percentiles()
        elapsed = (self.arrivals[-1] - self.first) if self.first and self.processed > 1 else 0.0
        rate = (self.processed - 1) / elapsed if elapsed > 0 else 0.0
        produced = self.produced if self.produced is not None else "unknown"
        rows = [
            ("frames produced", produced),
            ("frames stored (notified)", self.stored),
            ("displaced writes (never stored)", self.displaced()),
            ("frames processed", self.processed),
            ("stored but overwritten before read", max(0, self.stored - self.processed)),
            ("road", ROADS[road]),
            ("throughput", f"{rate:.1f} fps"),
            ("latency p50 / p99 (built -> filtered)", f"{p50:.1f} / {p99:.1f} ms"),
        ]
        if road != "jpg":
            rows[-3:] = self.side_by_side(road)
        rows += [("objects seen", self.objects)]
        rows += [(f"kept in {n}", f"{self.kept.get(n, 0)}  ({self.kept.get(n, 0) / max(1, self.processed):.2f}"
                                 " per frame)") for n in self.names]
        rows += [("dropped (outside or excluded)", self.dropped), ("annotated last frame", output)]
        width = max(len(r[0]) for r in rows)
        lines = ["", "summary", "-" * (width + 24)]
        lines += [f"{name:<{width}}  {value}" for name, value in rows]
        return "\n".join(lines)


def run_consumer(host, port, opts, ready, abort):
    setup_logging()
    try:
        code = consume(host, port, opts, ready, abort)
    except Exception as e:
        print(f"consumer: {type(e).__name__}: {e}", file=sys.stderr, flush=True)
        code = 1
    sys.exit(code)


def consume(host, port, opts, ready, abort):
    import cv2
    import redis

    from xalo_sdk.debug.leak_probe import LeakProbeManager
    from xalo_sdk.demo.scene import ANCHOR, REGIONS, annotate
    from xalo_sdk.redis.frame_packet import FramePacket
    from xalo_sdk.redis.store_client import StoreClient
    from xalo_sdk.roi.zone_filter import ZoneFilter

    key, status_key = keys()
    listener = redis.Redis(host=host, port=port).pubsub(ignore_subscribe_messages=True)
    listener.subscribe(key + "_notify", status_key + "_notify")
    for _ in range(2):  # both confirmations, so that no notification is missed
        listener.get_message(timeout=5)
    ready.set()

    stats = Stats(REGIONS)
    progress = Progress()
    packet = FramePacket(0, TRACKER, DETECTOR, 0)
    # The filter prepares its region entries in place: give it a copy and keep
    # the plain description for drawing.
    zones = ZoneFilter(copy.deepcopy(REGIONS), frame_sz=opts.size)
    leaks = LeakSummary()
    probe = LeakProbeManager(limit=5, logger=leaks, debug=True)
    last = None
    done_at = None
    code = 0
    with StoreClient(thread=False, host=host, port=port) as reader:
        try:
            while not abort.is_set():
                message = listener.get_message(timeout=0.2)
                if message is None:
                    if done_at is not None and time.monotonic() - done_at > 1.0:
                        break  # a last notification that never came: its frame was displaced
                    continue
                if message["channel"].decode() == status_key + "_notify":
                    status = reader.read_frame_packet(status_key) or {}
                    stats.produced = status.get("frames", 0)
                    done_at = time.monotonic()
                    if stats.highest >= stats.produced - 1:
                        break
                    continue
                stats.stored += 1
                data = reader.read_frame_packet(key)
                if data is None:
                    continue  # expired or unreadable (the client logged why)
                parsed = packet.parse_frame_packet(data)
                frame_id = parsed["meta"]["source"].get("frame_id", -1)
                if frame_id <= stats.highest:
                    continue  # read already, for an earlier notification
                detections = parsed["result"]
                kept = zones.filter_in_roi([Detection(d) for d in detections], anchor_pt=ANCHOR)
                encoder = parsed["meta"].get("frame_format", {}).get("encoder")
                stats.record(frame_id, time.time() - parsed["meta"]["ts"], kept, len(detections),
                             "shm" if encoder == "shm" else "jpg")
                last = (parsed["frame"], detections, {id(k.info) for k in kept}, frame_id)
                progress.show(stats.line())
                if stats.processed % opts.leak_every == 0:
                    progress.clear()
                    probe.tracemalloc_check()
                    leaks.flush(stats.processed)
                if done_at is not None and stats.highest >= stats.produced - 1:
                    break
        except redis.RedisError as e:
            progress.clear()
            print(f"consumer: lost Redis at {host}:{port}: {e}", file=sys.stderr, flush=True)
            code = 1
        progress.show(stats.line(), force=True)
        progress.clear()
        # Once at the end, unless the last frame's pass has just run.
        if code == 0 and (stats.processed == 0 or stats.processed % opts.leak_every != 0):
            probe.tracemalloc_check()
            leaks.flush(stats.processed)
            reader.delete_many([key, status_key])
    probe.stop()
    listener.close()

    output = "(no frame)"
    if last is not None and last[0] is not None:
        frame, detections, kept_ids, frame_id = last
        footer = (f"frame {frame_id}: {len(kept_ids)} kept, {len(detections) - len(kept_ids)} dropped"
                  f"  (anchor: bottom centre)")
        if cv2.imwrite(opts.output, annotate(frame, REGIONS, detections, kept_ids, footer)):
            output = opts.output
        else:
            output = f"could not write {opts.output}"
            code = 1
    print(stats.summary(output, opts.road), flush=True)
    return code


# ---- the two processes --------------------------------------------------------------

def run(opts):
    with redis_endpoint() as (host, port):
        check_reachable(host, port)
        ctx = multiprocessing.get_context("spawn")
        ready, stop, abort = ctx.Event(), ctx.Event(), ctx.Event()
        # Children start with Ctrl-C ignored (an ignored signal stays ignored
        # across exec); this process turns it into a clean stop instead.
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            consumer = ctx.Process(target=run_consumer, args=(host, port, opts, ready, abort), name="consumer")
            producer = ctx.Process(target=run_producer, args=(host, port, opts, ready, stop), name="producer")
            consumer.start()
            producer.start()

            def interrupted(*_):
                if not stop.is_set():
                    print("\nstopping ...", file=sys.stderr, flush=True)
                stop.set()

            signal.signal(signal.SIGINT, interrupted)
            deadline = time.monotonic() + 60
            while not ready.wait(0.1):
                if not consumer.is_alive() or stop.is_set() or time.monotonic() > deadline:
                    stop.set()
                    abort.set()
                    consumer.join(5)
                    producer.join(5)
                    raise DemoError("the consumer did not start")
            print(f"producer and consumer running for {opts.duration:g} s at {opts.fps:g} fps "
                  f"({opts.size[0]}x{opts.size[1]}, {opts.objects} objects); Ctrl-C stops", flush=True)
            while producer.is_alive():
                producer.join(0.2)
                if not consumer.is_alive():
                    stop.set()
            if producer.exitcode != 0:
                abort.set()
            consumer.join(15)
            if consumer.is_alive():
                abort.set()
                consumer.join(5)
            if consumer.is_alive():
                consumer.terminate()
                consumer.join()
                raise DemoError("the consumer did not finish")
            return 0 if producer.exitcode == 0 and consumer.exitcode == 0 else 1
        finally:
            signal.signal(signal.SIGINT, previous)


def main(argv=None):
    opts = parse_args(argv)
    try:
        return run(opts)
    except DemoError as e:
        print(f"demo: {e}", file=sys.stderr)
        return 1
