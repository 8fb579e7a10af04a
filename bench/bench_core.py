"""Per-call cost of the kit's native functions against the same logic compiled with Cython.

The twins below are the kit's logic written as plain Python: the same module
globals looked up at each call, the same attribute reads and writes, the same
keyword calls between records. They are compiled with Cython 3 (default
directives, the interpreter's own C flags) into a temporary directory when the
benchmark starts, so the table compares the kit's native call path with what
the usual compiled-Python route gives for the same code, on the same machine.

Kit and twin are timed in the same run: repeats alternate between the two
(order flipped every repeat) and the table reports medians per call and the
ratio kit / Cython; the target is a ratio of at most 1.0.

    PYTHONPATH=src python bench/bench_core.py [--quick] [--repeats N] [--instructions]

Wall time on a shared machine moves by tens of percent between runs;
--instructions counts each side's instructions per call under valgrind's
callgrind instead, which repeats exactly (a few minutes).

Cython and a C compiler are needed; Cython is pip-installed into the running
virtual environment when it is missing there.
"""

import argparse
import importlib
import json
import os
import re
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import timeit

try:
    import xalo_sdk  # noqa: F401
except ImportError:  # run from a checkout without PYTHONPATH
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "src"))

import numpy as np

from xalo_sdk.redis import utils
from xalo_sdk.redis.frame_packet import FramePacket, Meta
from xalo_sdk.roi.zone_filter import ZoneFilter

CAMERA = {"id": "cam-7", "type": "camera", "name": "gate"}
DETECTOR = {"id": "det-2", "type": "detector", "name": "people"}
DETECTIONS = [{"bbox": [10 * i, 20, 50, 80], "score": 0.9, "label": "person"} for i in range(5)]

# ---- the twins, as plain Python source -------------------------------------------------

TWIN_UTILS = '''
import base64
import cv2
import numpy as np
from xalo_sdk.constants import PREFIX
from xalo_sdk.logging.logger import get_logger

logger = get_logger("REDIS")


class Encoder:
    JPG = ".jpg"
    BMP = ".bmp"


def gen_redis_key_local(node_id, port):
    return f"{PREFIX.REDIS.LOCAL}_{node_id}_{port}"


def img_to_str(image, encoder=None, with_base64=False):
    try:
        if encoder is None:
            img_as_bytes = image.tobytes()
            if with_base64 is True:
                return base64.b64encode(img_as_bytes).decode("ascii")
            return img_as_bytes
        enc = encoder.lower()
        if enc == Encoder.BMP or enc == Encoder.JPG:
            ret, encoded_img = cv2.imencode(enc, image)
            if not ret:
                logger.warning(f"Failed to encode image with mode {encoder}")
                return None
            if with_base64 is True:
                return base64.b64encode(encoded_img).decode("ascii")
            return encoded_img.tobytes()
        logger.warning(f"Not defined encoder {encoder}. It should be one of [{Encoder.JPG}, {Encoder.BMP}]")
        return None
    except Exception as e:
        logger.warning(e)
        return None


def resize(img, zoom=1.0, size=None):
    if img is None:
        return None
    try:
        if size is not None and isinstance(size, tuple):
            img_w, img_h = size
            target_size = (int(img_w), int(img_h))
        elif zoom != 1.0:
            h, w = img.shape[:2]
            target_size = (int(w * zoom), int(h * zoom))
        else:
            return img
        if img.shape[1] == target_size[0] and img.shape[0] == target_size[1]:
            return img
        return cv2.resize(img, target_size)
    except Exception as err:
        logger.warning(err)
        return None
'''

TWIN_FRAME_PACKET = '''
import time
import json
from xalo_sdk.redis.utils import img_to_str, str_to_img, Encoder, base64_to_img, img_to_base64str


class MetaSource:
    id = None
    type = None
    name = None
    source_name = None
    source_key = None
    output_port_idx = None
    frame_id = None
    ts = None

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


class MetaModule:
    id = None
    type = None
    feed_port_idx = None

    def __init__(self, cur_node=None, feed_port_idx=None):
        if cur_node is None:
            return
        self.id = cur_node.get("id", None)
        self.type = cur_node.get("type", None)
        self.feed_port_idx = feed_port_idx

    def update(self, module_info):
        for k, v in module_info.items():
            if v is None:
                continue
            if not hasattr(self, k) or getattr(self, k) != v:
                setattr(self, k, v)

    def to_dict(self):
        return self.__dict__


class MetaFrameFormat:
    encoder = None
    with_base64 = False

    def __init__(self, **kwargs):
        for k, v in kwargs.items():
            setattr(self, k, v)

    def update(self, frame_format_info):
        for k, v in frame_format_info.items():
            if v is None:
                continue
            if not hasattr(self, k) or getattr(self, k) != v:
                setattr(self, k, v)

    def to_dict(self):
        return self.__dict__


class Meta:
    def __init__(self, cur_node, feed_idx, src_node, src_port, src_name):
        self.ts = time.time()
        self.module = MetaModule(cur_node=cur_node, feed_port_idx=feed_idx)
        self.source = MetaSource(src_node=src_node, src_output_port=src_port, src_name=src_name)
        self.frame_format = MetaFrameFormat()

    def update_source(self, source_info=None):
        if source_info is None:
            source_info = {}
        self.source.update(source_info)

    def update_frame_format(self, frame_format_info=None):
        if frame_format_info is None:
            frame_format_info = {}
        self.frame_format.update(frame_format_info)

    def update_module(self, module_info=None):
        if module_info is None:
            module_info = {}
        self.module.update(module_info)

    def to_dict(self):
        return {"ts": time.time(), "source": self.source.to_dict(), "module": self.module.to_dict(),
                "frame_format": self.frame_format.to_dict()}


class FramePacket:
    frame = None
    result = None

    def __init__(self, feed_idx, cur_node, src_node=None, src_port=None, src_name=None):
        self.meta = Meta(cur_node=cur_node, feed_idx=feed_idx, src_node=src_node, src_port=src_port,
                         src_name=src_name)

    def create_frame_packet(self, version=1, ext_info=None, result=None, frame=None, encoder=Encoder.JPG,
                            with_base64=False):
        if not version > 0:
            return None if frame is None else img_to_base64str(image=frame)
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
            frame_as_text = img_to_str(image=frame, encoder=encoder, with_base64=with_base64)
            meta_data["frame_format"] = {"encoder": encoder, "with_base64": with_base64}
        return {"meta": meta_data, "result": result, "frame": frame_as_text}

    def parse_frame_packet(self, data, version=1, encoder=None, with_base64=None):
        if version == 0:
            return base64_to_img(b64_bytes=data)
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
            data["frame"] = str_to_img(img_as_str=frame_data, encoder=encoder, with_base64=with_base64)
        else:
            data["frame"] = None
        return data
'''

TWIN_ZONE_FILTER = '''
import copy
from shapely.geometry import Point
from xalo_sdk.constants import KEY
from xalo_sdk.logging import exception_traceback, get_logger
from xalo_sdk.roi.zone_filter import RoiData

logger = get_logger("ZoneFilter")


class ZoneFilter:
    def __init__(self, polygons=None, frame_sz=None):
        if polygons:
            raise NotImplementedError("the twin holds the region-free set only")
        self.polygons = None
        self.rois = polygons
        self.frame_sz = [float(frame_sz[0]), float(frame_sz[1])] if frame_sz else [1.0, 1.0]
        self._included_rois = []
        self._empty_polygon = None
        self._exclusion_intersections = {}

    def filter_in_roi(self, det_or_trk, frame_sz=None, anchor_pt=(0.5, 0.5)):
        try:
            if not frame_sz:
                frame_sz = self.frame_sz
            if not self.rois:
                return det_or_trk
            fx, fy = frame_sz[0], frame_sz[1]
            ax, ay = anchor_pt
            included = self._included_rois
            empty_polygon = self._empty_polygon
            out = []
            for item in det_or_trk:
                has_info_attr = hasattr(item, "info")
                if has_info_attr:
                    info = item.info
                    box = info.get("rect", item.tlwh)
                else:
                    box = item.tlwh
                x, y, w, h = box
                rx, ry = x + w * ax, y + h * ay
                if w > 1.0 and h > 1.0:
                    rx, ry = rx / fx, ry / fy
                point = Point(rx, ry)
                matched_polygons = []
                for polygon in included:
                    if self._is_point_in_polygon(point, polygon):
                        if not self._is_point_excluded_for_polygon(point, polygon):
                            matched_polygons.append(polygon)
                if empty_polygon and not matched_polygons:
                    item_copy = copy.copy(item)
                    self._assign_roi_info(item_copy, [empty_polygon], has_info_attr)
                    out.append(item_copy)
                elif matched_polygons:
                    item_copy = copy.copy(item)
                    self._assign_roi_info(item_copy, matched_polygons, has_info_attr)
                    out.append(item_copy)
            return out
        except Exception as e:
            exception_traceback(logger, e)
            return []

    @staticmethod
    def _is_point_in_polygon(point_shapely, polygon):
        return polygon["shapely_polygon"].contains(point_shapely)

    def _is_point_excluded_for_polygon(self, point_shapely, polygon):
        for geometry in self._exclusion_intersections.get(id(polygon), []):
            if geometry.contains(point_shapely):
                return True
        return False

    @staticmethod
    def _assign_roi_info(item_copy, matched_polygons, has_info_attr):
        ids = [p.get(RoiData.ROI_ID_KEY, "") for p in matched_polygons]
        names = [p.get(RoiData.ROI_LABEL_KEY, "") for p in matched_polygons]
        if has_info_attr:
            item_copy.info[KEY.ROI_ID] = ids
            item_copy.info[KEY.ROI_NAME] = names
        else:
            item_copy.roi_id = ids
            item_copy.roi_name = names
'''

TWINS = {"twin_utils": TWIN_UTILS, "twin_frame_packet": TWIN_FRAME_PACKET, "twin_zone_filter": TWIN_ZONE_FILTER}


# ---- building the twins ----------------------------------------------------------------

def ensure_cython():
    try:
        import Cython  # noqa: F401
        return True
    except ImportError:
        pass
    if sys.prefix == sys.base_prefix:
        print(f"Cython is missing; install it with:  {sys.executable} -m pip install 'Cython>=3'", file=sys.stderr)
        return False
    print("Cython is missing; installing it into this virtual environment", file=sys.stderr)
    if subprocess.call([sys.executable, "-m", "pip", "install", "--quiet", "Cython>=3"]) != 0:
        print(f"could not install Cython; try:  {sys.executable} -m pip install 'Cython>=3'", file=sys.stderr)
        return False
    importlib.invalidate_caches()
    return True


def build_twins(directory):
    """Compile each twin to an extension module in `directory` and import it."""
    cc = (sysconfig.get_config_var("CC") or "cc").split()
    flags = (sysconfig.get_config_var("CFLAGS") or "-O2").split() + (sysconfig.get_config_var("CCSHARED") or
                                                                      "-fPIC").split()
    include = sysconfig.get_paths()["include"]
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    jobs = []
    for name, source in TWINS.items():
        pyx = os.path.join(directory, name + ".pyx")
        with open(pyx, "w") as f:
            f.write(textwrap.dedent(source))
        c = os.path.join(directory, name + ".c")
        cmd = (f"{sys.executable} -m cython -3 -o {c} {pyx} && "
               f"{' '.join(cc)} {' '.join(flags)} -w -shared -I{include} {c} -o {os.path.join(directory, name + suffix)}")
        jobs.append(subprocess.Popen(cmd, shell=True))
        if len(jobs) == 2:  # two at a time: a shared two-core machine
            if jobs.pop(0).wait() != 0:
                raise RuntimeError("building a Cython twin failed")
    for job in jobs:
        if job.wait() != 0:
            raise RuntimeError("building a Cython twin failed")
    sys.path.insert(0, directory)
    mods = {name: importlib.import_module(name) for name in TWINS}
    for name, mod in mods.items():
        if not mod.__file__.endswith(suffix):
            raise RuntimeError(f"{name} did not load as a compiled module")
    return mods


# ---- cases --------------------------------------------------------------------------------

def cases(tw):
    cu, cf, cz = tw["twin_utils"], tw["twin_frame_packet"], tw["twin_zone_filter"]
    img = np.zeros((24, 32, 3), np.uint8)  # small, so the call itself dominates
    env = {
        "utils": utils, "cu": cu, "img": img, "Meta": Meta, "CMeta": cf.Meta,
        "CAMERA": CAMERA, "DETECTOR": DETECTOR, "DETECTIONS": DETECTIONS,
        "zf": ZoneFilter(), "czf": cz.ZoneFilter(), "dets": [object() for _ in range(3)],
        "fp": FramePacket(0, DETECTOR, CAMERA, 0), "cfp": cf.FramePacket(0, DETECTOR, CAMERA, 0),
    }
    # Two received payloads without a frame that differ in time stamp and
    # frame id, as consecutive frames do: each parse takes over two values.
    sent = FramePacket(0, CAMERA, CAMERA, 0).create_frame_packet(result=DETECTIONS)
    a, b = json.loads(json.dumps(sent)), json.loads(json.dumps(sent))
    a["meta"]["source"].update(ts=1.5, frame_id=1)
    b["meta"]["source"].update(ts=2.5, frame_id=2)
    env.update(a=a, b=b)

    # Both sides give the same results before anything is timed.
    assert utils.resize(img) is img and cu.resize(img) is img
    assert env["zf"].filter_in_roi(env["dets"]) is env["dets"] is env["czf"].filter_in_roi(env["dets"])
    assert utils.gen_redis_key_local("cam", 2) == cu.gen_redis_key_local("cam", 2)
    assert utils.img_to_str(img) == cu.img_to_str(img)

    def shape(d):
        return {k: shape(v) if isinstance(v, dict) else (type(v) if k == "ts" else v) for k, v in d.items()}

    assert shape(Meta(DETECTOR, 0, CAMERA, 0, None).to_dict()) == shape(cf.Meta(DETECTOR, 0, CAMERA, 0, None).to_dict())
    assert shape(env["fp"].create_frame_packet(result=DETECTIONS)) == shape(
        env["cfp"].create_frame_packet(result=DETECTIONS))
    assert shape(env["fp"].parse_frame_packet(dict(a))) == shape(env["cfp"].parse_frame_packet(dict(a)))
    assert shape(env["fp"].meta.to_dict()) == shape(env["cfp"].meta.to_dict())

    return env, [
        ("resize identity", "utils.resize(img)", "cu.resize(img)"),
        ("filter_in_roi, no regions", "zf.filter_in_roi(dets)", "czf.filter_in_roi(dets)"),
        ("Meta(...)", "Meta(DETECTOR, 0, CAMERA, 0, None)", "CMeta(DETECTOR, 0, CAMERA, 0, None)"),
        ("create_frame_packet, no frame", "fp.create_frame_packet(result=DETECTIONS)",
         "cfp.create_frame_packet(result=DETECTIONS)"),
        ("gen_redis_key_local", "utils.gen_redis_key_local('cam', 2)", "cu.gen_redis_key_local('cam', 2)"),
        ("parse_frame_packet dict x2", "fp.parse_frame_packet(a); fp.parse_frame_packet(b)",
         "cfp.parse_frame_packet(a); cfp.parse_frame_packet(b)"),
        ("img_to_str raw 32x24", "utils.img_to_str(img)", "cu.img_to_str(img)"),
    ]


# ---- timing ---------------------------------------------------------------------------------

def measure(kit, twin, repeats, budget_ns):
    """Median ns per call of each side; short batches, finely interleaved, so
    that load from elsewhere on the machine falls on both sides alike."""
    one = max(twin.timeit(3) / 3 * 1e9, 1.0)
    n = max(1, int(budget_ns // one))
    kit_t, twin_t = [], []
    for r in range(repeats):
        pair = ((kit, kit_t), (twin, twin_t)) if r % 2 == 0 else ((twin, twin_t), (kit, kit_t))
        for timer, sink in pair:
            sink.append(timer.timeit(n) / n * 1e9)
    return statistics.median(kit_t), statistics.median(twin_t)


def count_instructions(directory, rows, calls):
    """Instructions per call of each side, counted by callgrind: repeatable
    where wall time on a shared machine is not. Each side runs `calls` calls
    in a child process; a child that makes no call is subtracted."""
    env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")

    def refs(case, side, n):
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
               os.path.abspath(__file__), "--child", directory, str(case), side, str(n)]
        err = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True).stderr
        return int(re.search(r"I\s+refs:\s+([\d,]+)", err).group(1).replace(",", ""))

    base = refs(0, "kit", 0)
    return [((refs(i, "kit", calls) - base) / calls, (refs(i, "twin", calls) - base) / calls)
            for i in range(len(rows))]


def child(directory, case, side, calls):
    sys.path.insert(0, directory)
    env, rows = cases({name: importlib.import_module(name) for name in TWINS})
    timeit.Timer(rows[case][1 if side == "kit" else 2], globals=env).timeit(calls)


def report(rows, results, unit, target=1.0):
    print(f"{'case':32} {'kit ' + unit:>9} {'cython ' + unit:>10} {'diff':>8} {'ratio':>7}  target")
    for (name, _, _), (k, c) in zip(rows, results):
        print(f"{name:32} {k:9.1f} {c:10.1f} {k - c:8.1f} {k / c:7.3f}  <= {target:<4} "
              f"{'ok' if k / c <= target else 'MISSED'}")


def main():
    if len(sys.argv) == 6 and sys.argv[1] == "--child":
        return child(sys.argv[2], int(sys.argv[3]), sys.argv[4], int(sys.argv[5]))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=None, help="batches per side (default 101, quick 21)")
    parser.add_argument("--quick", action="store_true", help="fewer, shorter batches")
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions per call with valgrind's callgrind instead of timing")
    args = parser.parse_args()
    repeats = args.repeats or (21 if args.quick else 101)
    budget = 5e5 if args.quick else 2e6

    if not ensure_cython():
        return 2
    import Cython
    with tempfile.TemporaryDirectory(prefix="xalo-cytwins-") as tmp:
        env, rows = cases(build_twins(tmp))
        print(f"Cython {Cython.__version__}, Python {sys.version.split()[0]}; ", end="")
        if args.instructions:
            print("instructions per call, timing loop included on both sides\n")
            report(rows, count_instructions(tmp, rows, 2000 if args.quick else 20000), "ins")
            return 0
        loop = statistics.median(timeit.Timer("pass").repeat(5, 100000)) / 100000 * 1e9
        print(f"timing loop {loop:.1f} ns per call, included on both sides\n")
        report(rows, [measure(timeit.Timer(kit, globals=env), timeit.Timer(twin, globals=env), repeats, budget)
                      for _, kit, twin in rows], "ns")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
