"""Per-call cost of the kit's native functions against the same logic compiled with Cython.

The twins are the reference package's modules (tests/reference/): the kit's
logic written as plain Python, with the same module globals looked up at each
call, the same attribute reads and writes, the same keyword calls between
records. They are compiled with Cython 3 (default
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
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import timeit

try:
    import xalo_sdk  # noqa: F401
except ImportError:  # run from a checkout without PYTHONPATH
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "src"))

import numpy as np

from _timing import measure
from xalo_sdk.redis import utils
from xalo_sdk.redis.frame_packet import FramePacket, Meta
from xalo_sdk.roi.zone_filter import ZoneFilter

CAMERA = {"id": "cam-7", "type": "camera", "name": "gate"}
DETECTOR = {"id": "det-2", "type": "detector", "name": "people"}
DETECTIONS = [{"bbox": [10 * i, 20, 50, 80], "score": 0.9, "label": "person"} for i in range(5)]

# ---- the twins: the reference package's modules, compiled ------------------------------

REFERENCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "reference")
sys.path.insert(0, os.path.dirname(REFERENCE))  # the compiled twins import the reference's own modules
TWINS = {"twin_utils": "utils.py", "twin_frame_packet": "frame_packet.py", "twin_zone_filter": "zone_filter.py"}


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
        # Compiled as a .py file (Python's grammar, not Cython's), its
        # annotations left untyped as in the interpreter.
        py = os.path.join(directory, name + ".py")
        shutil.copyfile(os.path.join(REFERENCE, source), py)
        c = os.path.join(directory, name + ".c")
        cmd = (f"{sys.executable} -m cython -3 -X annotation_typing=False -o {c} {py} && "
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
