"""The codec routes of the image string forms against the plain library calls.

Three tables, each timed interleaved in one run (medians per call):
  - str_to_img of Base64 JPEG text against today's route written out
    (base64.b64decode + cv2.imdecode), target at most 0.75;
  - the same against simplejpeg.decode_jpeg + pybase64.b64decode, when both
    are importable (pip install simplejpeg pybase64), target at most 1.0;
  - one hop of the default road (create_frame_packet with a Base64 JPEG,
    store, read, parse_frame_packet) at 1080p against the same hop with the
    kit's plain route (base64 module and cv2.imdecode; what the kit took
    before its faster routes), target at least 1.4x faster.
Every compared pair is checked to give the same array first.

    PYTHONPATH=src python bench/bench_codecs.py [--repeats N]
"""

import argparse
import base64
import types

import cv2
import numpy as np

from _server import Server
from _timing import measure
from bench_road import hop
from bench_utils import bare_str_to_img, scene
from xalo_sdk.redis import utils

SIZES = ((640, 480), (1920, 1080))


def simplejpeg_route():
    try:
        import pybase64
        import simplejpeg
    except ImportError:
        return None
    return lambda text: simplejpeg.decode_jpeg(pybase64.b64decode(text.encode("ascii")), colorspace="BGR",
                                               fastdct=False, fastupsample=False)


class PlainRoute:
    """utils.cv2 and utils.base64 replaced by stand-ins with the same
    functions: the kit then calls the modules, as before its faster routes."""

    def __enter__(self):
        self.saved = utils.cv2, utils.base64
        utils.cv2 = types.SimpleNamespace(imdecode=cv2.imdecode, imencode=cv2.imencode, resize=cv2.resize)
        utils.base64 = types.SimpleNamespace(b64decode=base64.b64decode, b64encode=base64.b64encode)

    def __exit__(self, *exc):
        utils.cv2, utils.base64 = self.saved


def plain(fn):
    def run():
        with PlainRoute():
            return fn()
    return run


def report(name, kit_ns, other_ns, target, faster=False):
    value = other_ns / kit_ns if faster else kit_ns / other_ns
    ok = value >= target if faster else value <= target
    print(f"{name:44} {kit_ns / 1e6:9.3f} {other_ns / 1e6:9.3f} {value:7.3f}{'x' if faster else ' '} "
          f"{('>= %gx' if faster else '<= %g') % target:>8} {'ok' if ok else 'MISSED'}")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=41)
    args = parser.parse_args()
    print("routes:", utils.codec_routes())
    print(f"{'case':44} {'kit ms':>9} {'other ms':>9} {'ratio':>8} {'target':>8}")
    ok = True
    other = simplejpeg_route()
    for w, h in SIZES:
        text = utils.img_to_str(scene(w, h), ".jpg", True)
        kit = lambda t=text: utils.str_to_img(t, ".jpg", True)
        want = bare_str_to_img(text)
        assert np.array_equal(kit(), want)
        ok &= report(f"str_to_img {w}x{h} / base64+cv2.imdecode", *measure(kit, lambda t=text: bare_str_to_img(t),
                                                                              args.repeats), 0.75)
        if other is not None:
            assert np.array_equal(other(text), want)
            ok &= report(f"str_to_img {w}x{h} / pybase64+simplejpeg",
                         *measure(kit, lambda t=text: other(t), args.repeats), 1.0)
    if other is None:
        print("(simplejpeg or pybase64 not importable: pip install simplejpeg pybase64 for that comparison)")
    with Server() as server:
        one = hop(server.port, scene(1920, 1080), utils.Encoder.JPG, True)
        assert np.array_equal(one(), plain(one)())
        ok &= report("one hop, Base64 JPEG, 1920x1080 / plain route",
                     *measure(one, plain(one), args.repeats, budget_ns=6e7), 1.4, faster=True)
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
