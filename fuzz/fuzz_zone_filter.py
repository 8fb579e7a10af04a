"""Fuzz ZoneFilter construction and filter_in_roi against Shapely.

Regions are drawn mostly on a coarse grid, so that anchor points fall on
vertices and edges and polygons come out degenerate, touching or
self-intersecting; now and then a coordinate is arbitrary, huge or not a
number, and entries or boxes are malformed. The reference package's filter
(plain Python on Shapely: Point, polygon.contains, the precomputed exclusion
intersections) filters a deep copy of the same input. Prepared attributes,
returned objects with their tags, and the logged failures must all be
identical.
"""

import copy

import _harness as h

import numpy as np
from shapely.geometry.base import BaseGeometry

with h.atheris.instrument_imports():
    from reference import zone_filter as ref_zone_filter
    from xalo_sdk.roi import zone_filter
    from xalo_sdk.roi.zone_filter import ZoneFilter

GRID = [0.0, 0.25, 0.5, 0.75, 1.0]
ODD = [float("nan"), float("inf"), -float("inf"), 1e300, -1e-300, 0.1, 1 / 3, 2.0, -0.5]
FRAME_SIZES = [None, (), (1000, 500), (4, 4), (1920, 1080, 3), (0, 0), [2, 0.5],
               (np.float64(0), np.float64(3)), ("x", 1), (5,), (1, 1)]
ANCHORS = [(0.5, 0.5), (0.5, 1.0), (0, 0), (1, 1), (0.25, 0.75), (0.5,), (0.5, 0.5, 0.5), None]


# ---- input generation ------------------------------------------------------------------------

def coord(fdp):
    n = fdp.ConsumeIntInRange(0, 19)
    if n < 15:
        return h.pick(fdp, GRID)
    if n < 18:
        return fdp.ConsumeFloatInRange(-0.5, 1.5)
    return h.pick(fdp, ODD)


def gen_region(fdp):
    n = fdp.ConsumeIntInRange(0, 15)
    count = 0 if n < 2 else 3 if n < 5 else 4 if n < 11 else fdp.ConsumeIntInRange(1, 7)
    entry = {"points": [(coord(fdp), coord(fdp)) for _ in range(count)],
             "include": h.pick(fdp, [True, True, False, False, 1, 0, None, "x"])}
    if fdp.ConsumeIntInRange(0, 4) == 0:
        del entry[h.pick(fdp, ["points", "include"])]
    if fdp.ConsumeBool():
        entry["roi_id"] = fdp.ConsumeIntInRange(0, 9)
    if fdp.ConsumeBool():
        entry["label"] = fdp.ConsumeUnicodeNoSurrogates(3)
    return entry


def gen_box(fdp):
    n = fdp.ConsumeIntInRange(0, 15)
    if n < 7:  # a point box on the grid
        return [coord(fdp), coord(fdp), 0.0, 0.0]
    if n < 10:  # a fraction box
        return [coord(fdp), coord(fdp), h.pick(fdp, GRID), h.pick(fdp, GRID)]
    if n < 13:  # a pixel box of a 1000 x 500 frame
        return [fdp.ConsumeIntInRange(0, 1000), fdp.ConsumeIntInRange(0, 500),
                h.pick(fdp, [2, 40, 1.0, 1.5, 250]), h.pick(fdp, [2, 80, 1.0, 100.5])]
    return h.pick(fdp, [[0.1, 0.1, 0.2], (0.5, 0.5, 0, 0), None, "abcd", [1, 2, "3", 4],
                        np.array([0.25, 0.25, 0.5, 0.5])])


def gen_det(fdp, idx):
    tlwh = gen_box(fdp)
    n = fdp.ConsumeIntInRange(0, 5)
    info = None if n < 3 else {"k": idx} if n < 5 else {"k": idx, "rect": gen_box(fdp)}
    if fdp.ConsumeIntInRange(0, 30) == 0:
        info = 5  # no get
    return h.Det(idx, tlwh, info)


# ---- comparison ------------------------------------------------------------------------------

def comparable(value):
    if isinstance(value, BaseGeometry):
        return ("geometry", value.geom_type, value.wkb)
    if isinstance(value, dict):
        return {k: comparable(v) for k, v in value.items()}
    if isinstance(value, list):
        return [comparable(v) for v in value]
    return value


def prepared(zf):
    rois = zf.rois or []
    index = {id(e): i for i, e in enumerate(rois)}
    return h.canon([
        comparable(zf.polygons), comparable(rois), zf.frame_sz,
        [index[id(e)] for e in zf._included_rois],
        None if zf._empty_polygon is None else index[id(zf._empty_polygon)],
        [(index[k], comparable(v)) for k, v in zf._exclusion_intersections.items()],
    ])


def returned(result, given):
    if result is given:
        return ("the argument itself",)
    if not isinstance(result, list):
        return ("not a list", repr(result))
    given_ids = {id(g) for g in given} if isinstance(given, list) else set()
    return h.canon([[id(o) in given_ids, comparable(vars(o))] for o in result])


def test_one_input(data):
    fdp = h.atheris.FuzzedDataProvider(data)
    n = fdp.ConsumeIntInRange(0, 9)
    regions = None if n == 0 else [] if n == 1 else [gen_region(fdp) for _ in range(fdp.ConsumeIntInRange(1, 4))]
    frame_sz = h.pick(fdp, FRAME_SIZES)
    native = h.outcome(ZoneFilter, copy.deepcopy(regions), frame_sz)
    reference = h.outcome(ref_zone_filter.ZoneFilter, copy.deepcopy(regions), frame_sz)
    if native[0] != reference[0] or native[0] == "raised" and native != reference:
        h.mismatch("ZoneFilter()", native, reference, data)
    if native[0] == "raised":
        return
    zfs = (native[1], reference[1])
    if prepared(zfs[0]) != prepared(zfs[1]):
        h.mismatch("prepared regions", prepared(zfs[0]), prepared(zfs[1]), data)

    failures = [[], []]
    zone_filter.exception_traceback = lambda logger, e: failures[0].append(type(e).__name__)
    ref_zone_filter.exception_traceback = lambda logger, e: failures[1].append(type(e).__name__)
    for call in range(fdp.ConsumeIntInRange(1, 3)):
        dets = [gen_det(fdp, i) for i in range(fdp.ConsumeIntInRange(0, 6))]
        if fdp.ConsumeIntInRange(0, 20) == 0:
            dets = h.pick(fdp, [None, 5, (), "ab"])
        args = (h.pick(fdp, FRAME_SIZES), h.pick(fdp, ANCHORS))
        inputs = (dets, copy.deepcopy(dets))
        got = zfs[0].filter_in_roi(inputs[0], *args)
        want = zfs[1].filter_in_roi(inputs[1], *args)
        if returned(got, inputs[0]) != returned(want, inputs[1]):
            h.mismatch(f"filter_in_roi call {call}", returned(got, inputs[0]), returned(want, inputs[1]), data)
        if failures[0] != failures[1]:
            h.mismatch("logged failures", failures[0], failures[1], data)
        if isinstance(dets, list) and h.canon([comparable(vars(d)) for d in inputs[0]]) != \
                h.canon([comparable(vars(d)) for d in inputs[1]]):
            h.mismatch("objects after the call", inputs[0], inputs[1], data)


if __name__ == "__main__":
    h.run(test_one_input)
