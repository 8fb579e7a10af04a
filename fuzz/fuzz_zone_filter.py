"""Fuzz ZoneFilter construction and filter_in_roi against Shapely.

Regions are drawn mostly on a coarse grid, so that anchor points fall on
vertices and edges and polygons come out degenerate, touching or
self-intersecting; now and then a coordinate is arbitrary, huge or not a
number, and entries or boxes are malformed. A plain Shapely rendering of the
documented steps (Point, polygon.contains, the precomputed exclusion
intersections) filters a deep copy of the same input. Prepared attributes,
returned objects with their tags, and the number of logged failures must all
be identical.
"""

import copy

import _harness as h

import numpy as np
from shapely.geometry import Point, Polygon
from shapely.geometry.base import BaseGeometry

with h.atheris.instrument_imports():
    from xalo_sdk.constants import KEY
    from xalo_sdk.roi import zone_filter
    from xalo_sdk.roi.zone_filter import ZoneFilter

GRID = [0.0, 0.25, 0.5, 0.75, 1.0]
ODD = [float("nan"), float("inf"), -float("inf"), 1e300, -1e-300, 0.1, 1 / 3, 2.0, -0.5]
FRAME_SIZES = [None, (), (1000, 500), (4, 4), (1920, 1080, 3), (0, 0), [2, 0.5],
               (np.float64(0), np.float64(3)), ("x", 1), (5,), (1, 1)]
ANCHORS = [(0.5, 0.5), (0.5, 1.0), (0, 0), (1, 1), (0.25, 0.75), (0.5,), (0.5, 0.5, 0.5), None]


# ---- the reference ---------------------------------------------------------------------------

class RefZoneFilter:
    def __init__(self, polygons=None, frame_sz=None):
        self.polygons = copy.deepcopy(polygons) if polygons else None
        self.rois = polygons
        self.frame_sz = [float(frame_sz[0]), float(frame_sz[1])] if frame_sz else [1.0, 1.0]
        self._included_rois = []
        self._empty_polygon = None
        self._exclusion_intersections = {}
        if not self.rois:
            return
        for entry in self.rois:
            entry["points"] = np.array(entry["points"], dtype=np.float32)
            entry["shapely_polygon"] = Polygon(entry["points"])
        excluded = [entry for entry in self.rois if not entry["include"]]
        for entry in self.rois:
            if len(entry["points"]) == 0:
                self._empty_polygon = entry
            elif entry["include"]:
                self._included_rois.append(entry)
                overlaps = [entry["shapely_polygon"].intersection(ex["shapely_polygon"]) for ex in excluded]
                self._exclusion_intersections[id(entry)] = [g for g in overlaps if not g.is_empty]

    def filter_in_roi(self, det_or_trk, frame_sz=None, anchor_pt=(0.5, 0.5)):
        try:
            if not frame_sz:
                frame_sz = self.frame_sz
            if not self.rois:
                return det_or_trk
            fx, fy = frame_sz[0], frame_sz[1]
            ax, ay = anchor_pt
            result = []
            for item in det_or_trk:
                has_info = hasattr(item, "info")
                if has_info:
                    info = item.info
                    box = info.get("rect", item.tlwh)
                else:
                    box = item.tlwh
                x, y, w, hh = box
                rx, ry = x + w * ax, y + hh * ay
                if w > 1.0 and hh > 1.0:
                    rx, ry = rx / fx, ry / fy
                point = Point(rx, ry)
                matched = [e for e in self._included_rois if e["shapely_polygon"].contains(point)
                           and not any(g.contains(point) for g in self._exclusion_intersections.get(id(e), []))]
                if self._empty_polygon and not matched:
                    matched = [self._empty_polygon]
                if matched:
                    item_copy = copy.copy(item)
                    ids = [e.get("roi_id", "") for e in matched]
                    names = [e.get("label", "") for e in matched]
                    if has_info:
                        item_copy.info[KEY.ROI_ID] = ids
                        item_copy.info[KEY.ROI_NAME] = names
                    else:
                        item_copy.roi_id = ids
                        item_copy.roi_name = names
                    result.append(item_copy)
            return result
        except Exception as e:  # noqa: BLE001
            self.failures += 1
            return []

    failures = 0


# ---- input generation ------------------------------------------------------------------------

class Det:
    def __init__(self, idx, tlwh, info):
        self.idx = idx
        if tlwh is not None:
            self.tlwh = tlwh
        if info is not None:
            self.info = info


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
    return Det(idx, tlwh, info)


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
    reference = h.outcome(RefZoneFilter, copy.deepcopy(regions), frame_sz)
    if native[0] != reference[0] or native[0] == "raised" and native != reference:
        h.mismatch("ZoneFilter()", native, reference, data)
    if native[0] == "raised":
        return
    zfs = (native[1], reference[1])
    if prepared(zfs[0]) != prepared(zfs[1]):
        h.mismatch("prepared regions", prepared(zfs[0]), prepared(zfs[1]), data)

    failures = [0]
    zone_filter.exception_traceback = lambda logger, e: failures.__setitem__(0, failures[0] + 1)
    for call in range(fdp.ConsumeIntInRange(1, 3)):
        dets = [gen_det(fdp, i) for i in range(fdp.ConsumeIntInRange(0, 6))]
        if fdp.ConsumeIntInRange(0, 20) == 0:
            dets = h.pick(fdp, [None, 5, (), "ab"])
        args = (h.pick(fdp, FRAME_SIZES), h.pick(fdp, ANCHORS))
        inputs = (dets, copy.deepcopy(dets))
        before = failures[0], zfs[1].failures
        got = zfs[0].filter_in_roi(inputs[0], *args)
        want = zfs[1].filter_in_roi(inputs[1], *args)
        if returned(got, inputs[0]) != returned(want, inputs[1]):
            h.mismatch(f"filter_in_roi call {call}", returned(got, inputs[0]), returned(want, inputs[1]), data)
        if failures[0] - before[0] != zfs[1].failures - before[1]:
            h.mismatch("logged failures", failures[0] - before[0], zfs[1].failures - before[1], data)
        if isinstance(dets, list) and h.canon([comparable(vars(d)) for d in inputs[0]]) != \
                h.canon([comparable(vars(d)) for d in inputs[1]]):
            h.mismatch("objects after the call", inputs[0], inputs[1], data)


if __name__ == "__main__":
    h.run(test_one_input)
