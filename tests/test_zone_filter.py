"""Region preparation, filtering and tagging of xalo_sdk.roi.zone_filter, and its
native point decisions checked against Shapely decision for decision."""

import copy
import copyreg
import dataclasses
import gc
import inspect
import os
import re
import signal
import subprocess
import sys
import threading
import time
import types

import numpy as np
import pytest
import shapely
import shapely.lib
from shapely.geometry import LineString, Point, Polygon

from reference import zone_filter as reference
from xalo_sdk.constants import KEY
from xalo_sdk.roi import zone_filter
from xalo_sdk.roi.zone_filter import RoiData, ZoneFilter


def square(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def region(points, include=True, **extra):
    return {"points": points, "include": include, **extra}


class Det:
    def __init__(self, tlwh, info=None):
        self.tlwh = tlwh
        if info is not None:
            self.info = info


def at(x, y, k=None):
    """A zero-size box whose default anchor is exactly (x, y), numbered k in its info."""
    return Det([x, y, 0.0, 0.0], None if k is None else {"k": k})


def tags(obj):
    if hasattr(obj, "info"):
        return obj.info.get(KEY.ROI_ID), obj.info.get(KEY.ROI_NAME)
    return obj.roi_id, obj.roi_name


@pytest.fixture
def failures(monkeypatch):
    """Replaces exception_traceback; returns the (logger, exception) pairs it got."""
    seen = []
    monkeypatch.setattr(zone_filter, "exception_traceback", lambda logger, e: seen.append((logger, e)))
    return seen


@pytest.fixture
def shapely_calls(monkeypatch):
    """Counts point-in-geometry decisions that reach Shapely."""
    count = [0]
    for name in ("contains_scalar", "contains"):
        if hasattr(shapely.lib, name):
            real = getattr(shapely.lib, name)
            monkeypatch.setattr(shapely.lib, name, lambda *a, real=real, **kw: count.__setitem__(0, count[0] + 1)
                                or real(*a, **kw))
    return count


# ---- module and construction -------------------------------------------------------------

def test_module_surface():
    assert [n for n in vars(zone_filter) if not n.startswith("__")] == [
        "copy", "np", "Polygon", "Point", "KEY", "STRICT", "exception_traceback", "get_logger", "logger", "RoiData",
        "ZoneFilter", "check_regions"]
    assert zone_filter.__doc__.splitlines()[0] == (
        "v 0.1.0-performance: precompute exclusion intersections, use shapely only, avoid deepcopy")
    assert zone_filter.logger.name == "ZoneFilter"
    assert [(k, v) for k, v in vars(RoiData).items() if not k.startswith("__")] == [
        ("POLYGON_INFO", "polygon_roi"), ("ROI_ID_KEY", "roi_id"), ("ROI_LABEL_KEY", "label"),
        ("INCLUDE_KEY", "include"), ("POINTS_KEY", "points"), ("POLYGON_EDGE", 1)]
    assert ZoneFilter.__bases__ == (object,) and ZoneFilter.__doc__ is None
    assert str(inspect.signature(ZoneFilter.filter_in_roi)) == "(self, det_or_trk, frame_sz=None, anchor_pt=(0.5, 0.5))"
    assert ":param anchor_pt: anchored position of tracking result or detection result" in (
        ZoneFilter.filter_in_roi.__doc__)
    assert ZoneFilter.__init__.__doc__.startswith("check the point in polygon area")
    assert isinstance(inspect.getattr_static(ZoneFilter, "_assign_roi_info"), staticmethod)


@pytest.mark.parametrize("polygons", [None, []])
def test_no_regions(polygons):
    zf = ZoneFilter(polygons)
    assert (zf.polygons, zf.rois, zf._included_rois, zf._empty_polygon, zf._exclusion_intersections) == (
        None, polygons, [], None, {})
    assert list(vars(zf)) == ["polygons", "rois", "frame_sz", "_included_rois", "_empty_polygon",
                              "_exclusion_intersections"]
    for det in (None, [at(0.5, 0.5)], 7):
        assert zf.filter_in_roi(det, anchor_pt="not looked at") is det


@pytest.mark.parametrize("frame_sz, expected", [
    (None, [1.0, 1.0]), ((), [1.0, 1.0]), ([], [1.0, 1.0]), ((1920, 1080), [1920.0, 1080.0]),
    ((1920, 1080, 3), [1920.0, 1080.0]), (("640", 480.5), [640.0, 480.5])])
def test_frame_size(frame_sz, expected):
    assert ZoneFilter(None, frame_sz).frame_sz == expected


@pytest.mark.parametrize("exclude, kinds", [
    (square(0.5, 0, 2, 1), ["Polygon"]), (square(2, 2, 3, 3), []), (square(1, 0, 2, 1), ["LineString"])])
def test_exclusion_overlaps(exclude, kinds):
    regions = [region(square(0, 0, 1, 1)), region(exclude, False)]
    zf = ZoneFilter(regions)
    assert zf._included_rois == [regions[0]]
    assert [g.geom_type for g in zf._exclusion_intersections[id(regions[0])]] == kinds


def test_entries_are_prepared_in_place():
    given = [region(square(0, 0, 1, 1), roi_id=1), region([], False, roi_id="w1"), region([], True, roi_id="w2"),
             region(square(0, 0, 2, 2), False)]
    zf = ZoneFilter(given)
    assert zf.rois is given and zf.polygons == [region(square(0, 0, 1, 1), roi_id=1), region([], False, roi_id="w1"),
                                                 region([], True, roi_id="w2"), region(square(0, 0, 2, 2), False)]
    assert all(e["points"].dtype == np.float32 for e in given) and given[1]["shapely_polygon"].is_empty
    assert zf._empty_polygon is given[2] and zf._included_rois == [given[0]]
    assert given[0]["shapely_polygon"].equals(Polygon(square(0, 0, 1, 1)))


@pytest.mark.parametrize("regions, error", [
    ([region(square(0, 0, 1, 1)), {"points": []}], KeyError), ([{"include": True}], KeyError),
    ([region([(0, 0), (1, 1)])], ValueError), ([region([("a", 1)] * 3)], ValueError)])
def test_construction_errors(regions, error):
    with pytest.raises(error):
        ZoneFilter(regions)


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), 1e300])
@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")
def test_non_finite_vertices_are_refused_before_any_overlap(bad):
    # An overlap of such polygons aborts the process in some GEOS builds.
    regions = [region(square(0, 0, 1, 1)), region([(0.5, 0), (bad, 0), (0.5, 1)], False)]
    with pytest.raises(ValueError, match="region entry 1 has a vertex that is not finite"):
        ZoneFilter(regions)


SQUARE = square(0.25, 0.25, 0.75, 0.75)


@pytest.mark.parametrize("regions, frame_sz, message", [
    ([{"points": SQUARE, "roi_id": "a"}], None, "region entry 0 (roi_id='a'): 'include' is missing"),
    ([region(SQUARE), region(SQUARE, 1, label="L")], None,
     "region entry 1 (label='L'): 'include' must be True or False, not int"),
    ([region(SQUARE), region([(0, 0), (1, 1)], roi_id=7, label="L")], None,
     "region entry 1 (roi_id=7, label='L'): 'points' has 2 points; a region needs at least 3"),
    ([region([(0, 0, 0), (1, 0, 0), (1, 1, 0)])], None, "region entry 0: point 0 is not two finite numbers: (0, 0, 0)"),
    ([region([(0, 0), (1, "a"), (1, 1)])], None, "region entry 0: point 1 is not two finite numbers: (1, 'a')"),
    ([region([(0, 0), (1, float("nan")), (1, 1)])], None, "point 1 is not two finite numbers"),
    ([region([(0, 0), (1, 0), (1, 1)]), region([(0, 0), (2, 0), (1, 1)])], (640, 480),
     "region entry 1: point 1 (2, 0) lies outside the frame"),
    ([{"include": True}], None, "region entry 0: 'points' is missing"),
    ([region(5)], None, "region entry 0: 'points' is not a list of points but int"),
    (["lane"], None, "region entry 0: not a dict but str"),
    ([region(SQUARE), region([(0, 0), (1, 1), (1, 0), (0, 1)], False, roi_id="x")], None,
     "region entry 1 (roi_id='x'): 'points' is not a valid polygon (Self-intersection")])
def test_region_check(regions, frame_sz, message, monkeypatch):
    given = copy.deepcopy(regions)
    with pytest.raises(ValueError, match=re.escape(message)):
        zone_filter.check_regions(regions, frame_sz)
    monkeypatch.setattr(zone_filter, "STRICT", True)
    with pytest.raises(ValueError, match=re.escape(message)):
        ZoneFilter(regions, frame_sz)
    assert regions == given  # refused before any entry was prepared


@pytest.mark.parametrize("regions, frame_sz", [
    (None, (640, 480)), ([], None), ([region([], False)], (640, 480)),
    ([region(square(0, 0, 1, 1), roi_id="a"), region(np.array(SQUARE), False)], (640, 480)),
    ([region(square(0, 0, 100, 100))], None)])
def test_valid_regions_pass_the_check(regions, frame_sz, monkeypatch):
    assert zone_filter.check_regions(regions, frame_sz) is None
    monkeypatch.setattr(zone_filter, "STRICT", True)
    assert ZoneFilter(regions, frame_sz).rois is regions


def ring(n):
    return [(0.5 + 0.4 * np.cos(2 * np.pi * i / n), 0.5 + 0.4 * np.sin(2 * np.pi * i / n)) for i in range(n)]


@pytest.mark.parametrize("regions, said", [
    (1000, None), (1001, "region list of 1001 regions and 3003 vertices: more than a board affords (1000 regions, "),
    (1, "region list of 1 regions and 100001 vertices")])
def test_check_warns_of_a_region_list_a_board_cannot_afford(regions, said, caplog):
    entries = [region(ring(100001 if regions == 1 else 3)) for _ in range(regions)]
    zone_filter.check_regions(entries)
    warnings = [r.getMessage() for r in caplog.records if r.name == "ZoneFilter"]
    assert warnings == ([] if said is None else [warnings[0]]) and (said is None or warnings[0].startswith(said))


BOW_TIE = [(0, 0), (1, 1), (1, 0), (0, 1)]  # a left and a right triangle meeting at (0.5, 0.5)


@pytest.mark.parametrize("regions, kept", [
    ([region(BOW_TIE), region(SQUARE, False)], [0]),
    ([region(SQUARE), region(BOW_TIE, False)], [2])])
def test_a_bow_tie_filters_by_its_area_without_strict_mode(regions, kept, failures):
    dets = [at(0.125, 0.5, 0), at(0.375, 0.5, 1), at(0.5, 0.375, 2)]
    assert [d.info["k"] for d in ZoneFilter(regions).filter_in_roi(dets)] == kept and not failures


# ---- filtering ------------------------------------------------------------------------

# Binary fractions, so that the float32 vertices sit exactly where written.
A, B, E = square(0, 0, 0.625, 1), square(0.375, 0, 1, 1), square(0, 0, 0.5, 0.5)


@pytest.mark.parametrize("regions, x, y, expected", [
    ([region(A, roi_id="a", label="A")], 0.25, 0.75, (["a"], ["A"])),
    ([region(A, roi_id="a"), region(B, roi_id="b")], 0.625, 0.75, (["b"], [""])),  # on A's edge: not in A
    ([region(A, roi_id="a"), region(B, label="B")], 0.5, 0.75, (["a", ""], ["", "B"])),
    ([region(A, roi_id="a"), region(B, roi_id="b"), region(E, False)], 0.75, 0.25, (["b"], [""])),
    ([region(A, roi_id="a"), region(B, roi_id="b"), region(E, False)], 0.45, 0.25, None),
    ([region(A, roi_id="a"), region(E, False), region([], roi_id="w", label="W")], 0.25, 0.25, (["w"], ["W"])),
    ([region(A, roi_id="a"), region([], False, roi_id="w")], 0.75, 0.5, (["w"], [""])),
    ([region(E, False)], 0.75, 0.75, None),
    ([region([], roi_id="w")], 5.0, -3.0, (["w"], [""]))])
def test_matching_and_tags(regions, x, y, expected):
    zf = ZoneFilter(regions)
    out = zf.filter_in_roi([at(x, y)])
    assert [tags(o) for o in out] == ([] if expected is None else [expected])


# Two include regions side by side, sharing the edge x = 0.5, and an exclude
# region inside the left one; the letters are those of the README's picture.
LEFT, RIGHT, HOLE = square(0, 0, 0.5, 1), square(0.5, 0, 1, 1), square(0.125, 0.25, 0.375, 0.75)


@pytest.mark.parametrize("x, y, expected", [
    (0.25, 0.125, ["left"]),   # a: inside an include region
    (0.0, 0.5, None),          # b: on its outer edge
    (0.25, 1.0, None),         # b: on its outer edge
    (0.125, 0.5, ["left"]),    # c: on the exclude region's edge, inside the include region
    (0.25, 0.5, None),         # d: inside the exclude region
    (0.5, 0.5, None)])         # e: on the edge the two include regions share
def test_region_edges(x, y, expected):
    zf = ZoneFilter([region(LEFT, roi_id="left"), region(RIGHT, roi_id="right"), region(HOLE, False)])
    assert [tags(o)[0] for o in zf.filter_in_roi([at(x, y)])] == ([] if expected is None else [expected])


@pytest.mark.parametrize("box, frame_sz, anchor_pt, anchor", [
    ([100, 50, 40, 80], (1000, 500), (0.5, 0.5), (0.12, 0.18)),
    ([0.1, 0.1, 0.2, 0.2], (1000, 500), (0.5, 0.5), (0.2, 0.2)),
    ([0.3, 0.3, 1.0, 80], (1000, 500), (0.5, 0.5), (0.8, 40.3)),
    ([100, 50, 40, 80], (1000, 500), (0.5, 1.0), (0.12, 0.26)),
    ([100, 50, 40, 80], None, (0, 1), (0.1, 0.26)),
    (np.array([100, 0, 50, 0, 40, 0, 80, 0.0])[::2], None, (0.5, 0.5), (0.12, 0.18)),
    (np.array([100, 50, 40, 80], ">f8"), None, (0.5, 0.5), (0.12, 0.18)),
    (np.array([100, 50, 40, 80], np.float32), None, np.array([0.5, 0.5]), (0.12, 0.18))])
def test_anchor_point(box, frame_sz, anchor_pt, anchor):
    """The anchor lands in a tiny square around the expected point, and not next to it."""
    (x, y), d = anchor, 1e-4
    zf = ZoneFilter([region(square(x - d, y - d, x + d, y + d), roi_id="hit")], (1000, 500))
    assert [tags(o)[0] for o in zf.filter_in_roi([Det(box)], frame_sz, anchor_pt)] == [["hit"]]
    zf = ZoneFilter([region(square(x + d, y + d, x + 3 * d, y + 3 * d))], (1000, 500))
    assert zf.filter_in_roi([Det(box)], frame_sz, anchor_pt) == []


def test_copies_and_shared_info():
    zf = ZoneFilter([region(A, roi_id="a", label="A")])
    with_info, plain = Det([9, 9, 0, 0], {"rect": [0.1, 0.1, 0.0, 0.0]}), Det([0.1, 0.1, 0.0, 0.0])
    out = zf.filter_in_roi((d for d in [with_info, plain]))
    assert out[0] is not with_info and out[0].info is with_info.info and tags(with_info) == (["a"], ["A"])
    assert tags(out[1]) == (["a"], ["A"]) and not hasattr(plain, "roi_id")
    second = zf.filter_in_roi([with_info])
    assert with_info.info[KEY.ROI_ID] is second[0].info[KEY.ROI_ID] is not out[0].info  # new lists every time


class Props:
    """Records the order in which the filter reads its attributes."""
    def __init__(self, log, **attrs):
        self.__dict__.update(attrs, _log=log)

    def __getattribute__(self, name):
        if not name.startswith("_"):
            object.__getattribute__(self, "_log").append(name)
        return object.__getattribute__(self, name)


def test_read_order():
    log = []
    zf = ZoneFilter([region(A)])
    zf.filter_in_roi([Props(log, info={"rect": [0.1, 0.1, 0, 0]}, tlwh=[5, 5, 5, 5]), Props(log, tlwh=[0.1] * 4)])
    # hasattr, read, tlwh and the copy's info twice; then hasattr and tlwh
    assert log == ["info", "info", "tlwh", "info", "info", "info", "tlwh"]


FAILING_FRAMES = [
    ([at(0.1, 0.1), object()], None, (0.5, 0.5), AttributeError),
    ([Det([1, 2, 3])], None, (0.5, 0.5), ValueError),
    ([Det([0.1, 0.1, 0, 0], {"rect": [1, 2, 3, 4, 5]})], None, (0.5, 0.5), ValueError),
    ([Det([0.1, 0.1, 0, 0], ["no get"])], None, (0.5, 0.5), AttributeError),
    ([Det(["a", 0.1, 0, 0])], None, (0.5, 0.5), TypeError),
    ([Det([100, 50, 40, 80])], (0, 0), (0.5, 0.5), ZeroDivisionError),
    ([Det([100, 50, 40, 80])], (1,), (0.5, 0.5), IndexError),
    ([at(0.1, 0.1)], None, (0.5,), ValueError),
    ([at(0.1, 0.1)], np.array([2.0, 3.0]), (0.5, 0.5), ValueError),
    (5, None, (0.5, 0.5), TypeError),
    ([types.SimpleNamespace(tlwh=[0.1, 0.1, 0, 0], __slots__=None)], None, (0.5, 0.5), None)]


@pytest.mark.parametrize("det, frame_sz, anchor_pt, error", FAILING_FRAMES)
def test_failures_log_once_and_give_an_empty_list(det, frame_sz, anchor_pt, error, failures):
    zf = ZoneFilter([region(A)], (1000, 500))
    out = zf.filter_in_roi(det, frame_sz, anchor_pt)
    if error is None:
        assert len(out) == 1 and not failures
        return
    assert out == [] and len(failures) == 1
    assert failures[0][0] is zone_filter.logger and type(failures[0][1]) is error


@pytest.mark.parametrize("det, frame_sz, anchor_pt, error", [f for f in FAILING_FRAMES if f[3]])
def test_strict_mode_raises_what_it_would_log(det, frame_sz, anchor_pt, error, failures, monkeypatch):
    monkeypatch.setattr(zone_filter, "STRICT", True)
    with pytest.raises(error):
        ZoneFilter([region(A)], (1000, 500)).filter_in_roi(det, frame_sz, anchor_pt)
    assert not failures


def test_strict_mode_raises_the_very_error(failures, monkeypatch):
    monkeypatch.setattr(zone_filter, "STRICT", True)
    error = RuntimeError("broken")
    with pytest.raises(RuntimeError) as caught:
        ZoneFilter([region(A)]).filter_in_roi([InfoRaises(error)])
    assert caught.value is error and caught.traceback[-1].name == "info" and not failures


class InfoRaises:
    def __init__(self, error):
        self.error, self.tlwh = error, [0.1, 0.1, 0.0, 0.0]

    @property
    def info(self):
        raise self.error


@pytest.mark.parametrize("error, passes", [(AttributeError("none"), True), (RuntimeError("broken"), False)])
def test_info_is_probed_as_hasattr_does(error, passes, failures):
    out = ZoneFilter([region(A, roi_id="a")]).filter_in_roi([InfoRaises(error)])
    assert [tags(o) for o in out] == ([(["a"], [""])] if passes else []) and len(failures) == (not passes)


@pytest.mark.parametrize("box, frame_sz, errstate, outcome", [
    ([np.nan, 0.1, 0.0, 0.0], None, {}, []), ([np.inf, 0.1, 0.0, 0.0], None, {}, []),
    (np.array([100, 50, 40, 80.0]), [0.0, 0.0], {"divide": "ignore"}, []),
    (np.array([100, 50, 40, 80.0]), (np.float64(0), np.float64(1)), {"divide": "raise"}, FloatingPointError),
    (np.array([1.5e308, 0.1, 1e308, 0.0]), None, {"over": "raise"}, FloatingPointError),
    (np.array([1.5e308, 0.1, 1e308, 0.0]), None, {"over": "ignore"}, [])])
@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")  # Shapely's own, on NaN
def test_non_finite_anchors_and_numpy_error_settings(box, frame_sz, errstate, outcome, failures):
    zf = ZoneFilter([region(A, roi_id="a")])
    with np.errstate(**errstate):
        out = zf.filter_in_roi([Det(box)], frame_sz)
    assert out == [] and [type(e) for _, e in failures] == ([] if outcome == [] else [outcome])


def test_failure_keeps_tags_already_written(failures, monkeypatch):
    zf = ZoneFilter([region(A, roi_id="a")])
    first, logger = Det([0.1, 0.1, 0, 0], {}), object()
    monkeypatch.setattr(zone_filter, "logger", logger)
    assert zf.filter_in_roi([first, object()]) == [] and first.info[KEY.ROI_ID] == ["a"]
    assert [(lg, type(e)) for lg, e in failures] == [(logger, AttributeError)]
    monkeypatch.setattr(zone_filter, "exception_traceback", lambda *a: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        zf.filter_in_roi([object()])


def test_base_exceptions_pass_through(failures):
    class Interrupting:
        @property
        def tlwh(self):
            raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        ZoneFilter([region(A)]).filter_in_roi([Interrupting()])
    assert not failures


# ---- copies ---------------------------------------------------------------------------------

def plain_class():
    class Track:
        def __init__(self):
            self.tlwh, self.score = [0.1, 0.1, 0.0, 0.0], 0.5
    return Track


def slotted_class():
    class Slotted:
        __slots__ = ("tlwh", "roi_id", "roi_name")
        def __init__(self):
            self.tlwh = [0.1, 0.1, 0.0, 0.0]
    return Slotted


def hooked_class():
    class Hooked(plain_class()):
        copies = 0
        def __copy__(self):
            type(self).copies += 1
            return type(self)()
    return Hooked


def frozen_class():
    @dataclasses.dataclass(frozen=True)
    class Frozen:
        tlwh: tuple = (0.1, 0.1, 0.0, 0.0)
    return Frozen


@pytest.mark.parametrize("make", [plain_class, slotted_class, hooked_class, frozen_class])
def test_copies_are_copy_copy(make, failures):
    cls = make()
    objs = [cls() for _ in range(3)]
    zf = ZoneFilter([region(A, roi_id="a")])
    out = zf.filter_in_roi(objs)
    if make is frozen_class:  # its copies refuse the tag attributes
        assert out == [] and len(failures) == 1
        return
    assert [type(o) for o in out] == [cls] * 3 and all(o is not i for o, i in zip(out, objs))
    assert all(tags(o) == (["a"], [""]) for o in out)
    assert getattr(cls, "copies", 3) == 3
    if make is plain_class:
        assert cls.__slotnames__ == [] and [vars(o) for o in out] == [
            {"tlwh": o.tlwh, "score": 0.5, "roi_id": ["a"], "roi_name": [""]} for o in objs]


def reducing_class():
    class Reducing(plain_class()):
        def __reduce_ex__(self, protocol):
            return (type(self), (), {"tlwh": self.tlwh, "reduced": True})
    return Reducing


def dictless_class():
    class Dictless:
        __slots__ = ("tlwh", "info")
        def __init__(self):
            self.tlwh, self.info = [0.1, 0.1, 0.0, 0.0], {}
    return Dictless


@pytest.mark.parametrize("make", [plain_class, slotted_class, reducing_class, dictless_class])
def test_copies_equal_copy_copy_when_read_back(make, failures):
    cls = make()
    zf = ZoneFilter([region(A, roi_id="a")])
    for _ in range(200):  # many copies: a layout slip shows as lost attributes or a crash
        obj = cls()
        out = zf.filter_in_roi([obj])
        twin = copy.copy(obj)
        assert len(out) == 1 and type(out[0]) is type(twin) and out[0] is not obj
        assert out[0].tlwh is obj.tlwh
        if hasattr(twin, "__dict__"):
            got = {k: v for k, v in vars(out[0]).items() if k not in ("roi_id", "roi_name")}
            assert got == vars(twin) and vars(out[0]) is not vars(obj)
            assert all(getattr(out[0], k) is v for k, v in got.items())
    assert not failures


def derived_class():
    class Derived(plain_class()):
        kind = "track"
    return Derived


def data_class():
    @dataclasses.dataclass
    class Record:
        tlwh: list = dataclasses.field(default_factory=lambda: [0.1, 0.1, 0.0, 0.0])
    return Record


# On every interpreter and with its private details left alone
# (XALO_PLAIN_INTERPRETER=1): the decision rests on public facts only.
@pytest.mark.parametrize("make", [plain_class, derived_class, data_class])
def test_plain_objects_are_copied_natively(make):
    zf = ZoneFilter([region(A, roi_id="a")])
    Track = make()
    zf.filter_in_roi([Track()])  # the first copy goes through copy.copy
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename == copy.__file__:
            calls.append(frame.f_code.co_name)
    sys.setprofile(profile)
    try:
        out = zf.filter_in_roi([Track() for _ in range(3)])
    finally:
        sys.setprofile(None)
    assert len(out) == 3 and calls == []


def hook_copy(cls, made):
    cls.__copy__ = lambda self: made.append(self) or plain_class()()


def hook_reduce(cls, made):
    cls.__reduce_ex__ = lambda self, protocol: made.append(self) or (plain_class(), ())


def register_reducer(cls, made):
    copyreg.pickle(cls, lambda obj: made.append(obj) or (plain_class(), ()))


@pytest.mark.parametrize("during_call", [False, True])
@pytest.mark.parametrize("hook", [hook_copy, hook_reduce, register_reducer])
def test_copy_hooks_added_after_native_copies_are_used(hook, during_call):
    # Whether a class copies natively is decided once per class and call; a
    # hook added to the class, or a reducer registered for it, before a call
    # or by Python code the call runs, must end that.
    Track = plain_class()
    zf = ZoneFilter([region(A, roi_id="a")])
    zf.filter_in_roi([Track()])
    zf.filter_in_roi([Track()])  # copied natively from here on
    made = []

    class Hooking:
        @property
        def tlwh(self):
            hook(Track, made)
            return [0.1, 0.1, 0.0, 0.0]
    try:
        objs = [Track(), Track()]
        if not during_call:
            hook(Track, made)
        frame = [Track(), Hooking()] + objs if during_call else objs
        assert len(zf.filter_in_roi(frame)) == len(frame) and made == objs
    finally:
        copyreg.dispatch_table.pop(Track, None)


def test_interpreter_fallbacks_pass_the_filter_and_packet_tests():
    # Every interpreter detail the kit relies on has a plain fallback; the
    # filter's and the packet's tests are run again with all of them taken.
    here = os.path.dirname(__file__)
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-m", "not long", "-x",
         os.path.join(here, "test_zone_filter.py"), os.path.join(here, "test_frame_packet.py"),
         "-k", "not fallbacks"],
        env=dict(os.environ, XALO_PLAIN_INTERPRETER="1"), capture_output=True, text=True, timeout=1200)
    assert run.returncode == 0, run.stdout[-3000:]


def test_copy_module_and_globals_are_read_at_each_use(monkeypatch):
    zf = ZoneFilter([region(A, roi_id="a", label="A")])
    made = []
    fake_copy = types.SimpleNamespace(copy=lambda o: made.append(o) or Det(o.tlwh, o.info))
    monkeypatch.setattr(zone_filter, "copy", fake_copy)
    monkeypatch.setattr(zone_filter, "RoiData", types.SimpleNamespace(ROI_ID_KEY="label", ROI_LABEL_KEY="roi_id"))
    monkeypatch.setattr(zone_filter, "KEY", types.SimpleNamespace(ROI_ID="i", ROI_NAME="n"))
    d = Det([0.1, 0.1, 0, 0], {})
    out = zf.filter_in_roi([d])
    assert made == [d] and out[0].info == {"i": ["A"], "n": ["a"]}


# ---- the plain route: overridden helpers and changed region data --------------------------------

def test_overridden_helpers_are_honoured():
    calls = []

    class Everywhere(ZoneFilter):
        @staticmethod
        def _is_point_in_polygon(point_shapely, polygon):
            calls.append((point_shapely.x, point_shapely.y, polygon["roi_id"]))
            return True

    zf = Everywhere([region(A, roi_id="a"), region(B, roi_id="b"), region(E, False)], (1000, 500))
    out = zf.filter_in_roi([Det([100, 50, 40, 80]), at(5.0, 5.0)])
    assert calls == [(0.12, 0.18, "a"), (0.12, 0.18, "b"), (5.0, 5.0, "a"), (5.0, 5.0, "b")]
    assert [tags(o)[0] for o in out] == [["b"], ["a", "b"]]  # the first lies in A's overlap with E

    zf = ZoneFilter([region(A, roi_id="a")])
    zf._assign_roi_info = lambda c, matched, has_info: setattr(c, "seen", [m["roi_id"] for m in matched])
    assert zf.filter_in_roi([at(0.1, 0.1)])[0].seen == ["a"]


def test_changed_region_data_is_followed(monkeypatch):
    zf = ZoneFilter([region(A, roi_id="a"), region(E, False)])
    entry = zf._included_rois[0]
    inside_e, outside_a = at(0.25, 0.25), at(0.75, 0.75)
    assert zf.filter_in_roi([inside_e, outside_a]) == []
    entry["shapely_polygon"] = Polygon(square(0, 0, 1, 1))
    assert len(zf.filter_in_roi([inside_e, outside_a])) == 1
    zf._exclusion_intersections[id(entry)].clear()
    assert len(zf.filter_in_roi([inside_e, outside_a])) == 2
    zf._exclusion_intersections[id(entry)].append(LineString([(0, 0.5), (1, 0.5)]))
    assert len(zf.filter_in_roi([at(0.2, 0.5), outside_a])) == 1
    zf._included_rois = []
    assert zf.filter_in_roi([inside_e]) == []
    points = []
    monkeypatch.setattr(zone_filter, "Point", lambda x, y: points.append((x, y)) or Point(x, y))
    zf._included_rois = [entry]
    assert len(zf.filter_in_roi([inside_e, outside_a])) == 2 and points == [(0.25, 0.25), (0.75, 0.75)]


def test_filters_survive_copies_and_deletion():
    zf = ZoneFilter([region(A, roi_id="a")])
    twin = copy.deepcopy(zf)
    del zf
    assert [tags(o)[0] for o in twin.filter_in_roi([at(0.1, 0.1)])] == [["a"]]


# ---- native decisions against Shapely ------------------------------------------------------------

def star(rng, n):
    angles, radii = np.sort(rng.uniform(0, 2 * np.pi, n)), rng.uniform(0.05, 0.45, n)
    return np.stack([0.5 + radii * np.cos(angles), 0.5 + radii * np.sin(angles)], 1).astype(np.float32)


def polygon_vertices(kind, rng):
    n = int(rng.integers(3, 20))
    if kind == "star":
        return star(rng, n)
    if kind == "crossing":  # random vertex order: self-intersecting
        return rng.uniform(0, 1, (n, 2)).astype(np.float32)
    if kind == "grid":  # collinear runs, spikes, zero-area and self-touching rings
        return (rng.integers(0, 5, (n, 2)) / 4).astype(np.float32)
    v = star(rng, n)  # self-touching: the ring comes back through one of its vertices
    j = int(rng.integers(0, n))
    return np.concatenate([v, [v[j], v[(j + n // 2) % n]]]).astype(np.float32)


def probe_points(rng, geometries, k):
    """Vertices, points on and next to edges, collinear extensions, points level with vertices, random points."""
    pts = []
    for g in geometries:
        for ring in [g] if isinstance(g, np.ndarray) else shapely.get_rings(shapely.get_parts(g)):
            v = np.asarray(ring if isinstance(ring, np.ndarray) else shapely.get_coordinates(ring), np.float64)
            for a, b in zip(v, np.roll(v, -1, axis=0)):
                pts += [tuple(a + t * (b - a)) for t in (0.0, 0.5, 0.25, 2.0, -1.0, 1 / 3)]
                pts += [(a[0] - 0.01, a[1]), (a[0] + 0.01, a[1])]
    pts += [tuple(p) for p in rng.uniform(-0.05, 1.05, (k, 2))]
    return pts + [(float(np.float32(x)), float(np.float32(y))) for x, y in pts[:60]]


def decisions(zf, pts):
    return {o.info["k"] for o in zf.filter_in_roi([at(x, y, k) for k, (x, y) in enumerate(pts)])}


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("kind", ["star", "crossing", "grid", "touching"])
def test_point_in_polygon_matches_shapely(kind, seed, shapely_calls):
    rng = np.random.default_rng(seed * 31 + len(kind))
    for _ in range(12):
        v = polygon_vertices(kind, rng)
        zf = ZoneFilter([region(v.tolist())])
        poly = zf._included_rois[0]["shapely_polygon"]
        pts = probe_points(rng, [v], 150)
        shapely_calls[0] = 0
        got = decisions(zf, pts)
        assert shapely_calls[0] == 0  # all decided natively
        assert got == {k for k, (x, y) in enumerate(pts) if poly.contains(Point(x, y))}


def many_vertices(kind, n, rng):
    """Rings long enough to be located through their band index."""
    if kind == "star":
        return star(rng, n)
    if kind == "grid":  # horizontal edges and vertices on band borders
        return (rng.integers(0, 9, (n, 2)) / 8).astype(np.float32)
    i = np.arange(n // 2)
    if kind == "comb":  # teeth spanning the whole height, listed in every band
        x, y = np.stack([i, i + 0.5], 1).ravel() / n, np.stack([i % 2, 1 - i % 2], 1).ravel()
        return np.concatenate([np.stack([x, y], 1), [(1, -1)]]).astype(np.float32)
    step = np.stack([np.stack([i, i], 1), np.stack([i + 1, i], 1)], 1).reshape(-1, 2) / n  # stairs
    return np.concatenate([step, [(0, 0.5)]]).astype(np.float32)


@pytest.mark.parametrize("n", [40, 300, 700])
@pytest.mark.parametrize("kind", ["star", "grid", "comb", "stairs"])
def test_many_vertex_rings_match_shapely(kind, n, shapely_calls):
    rng = np.random.default_rng(n + len(kind))
    v = many_vertices(kind, n, rng)
    excluded = [region(star(rng, n).tolist(), False)] if kind == "star" else []
    zf = ZoneFilter([region(v.tolist())] + excluded)
    poly = zf._included_rois[0]["shapely_polygon"]
    stored = zf._exclusion_intersections[id(zf._included_rois[0])]
    lo, hi = float(v[:, 1].min()), float(v[:, 1].max())
    # Heights where band borders fall for any power-of-two band count, at vertex x and random x.
    levels = [lo + (hi - lo) * j / 1024 for j in range(1025)]
    pts = probe_points(rng, [v] + stored, 500) + [(float(x), y) for y in levels for x in (
        v[int(rng.integers(0, n)), 0], rng.uniform(-0.05, 1.05))]
    shapely_calls[0] = 0
    got = decisions(zf, pts)
    assert shapely_calls[0] == 0
    assert got == {k for k, (x, y) in enumerate(pts) if poly.contains(Point(x, y)) and not any(
        g.contains(Point(x, y)) for g in stored)}


EXCLUDES = {
    "polygon": square(0.5, -1, 2, 0.5),
    "hole": [(0.1, 0.1), (0.9, 0.1), (0.9, 0.9), (0.1, 0.9), (0.1, 0.5), (0.3, 0.5), (0.3, 0.7), (0.7, 0.7),
             (0.7, 0.3), (0.3, 0.3), (0.3, 0.5), (0.1, 0.5)],
    "multipolygon": [(0.2, 1.5), (0.2, 0.5), (0.4, 0.5), (0.4, 1.2), (0.6, 1.2), (0.6, 0.5), (0.8, 0.5), (0.8, 1.5)],
    "touching parts": [(0.2, 0.2), (0.5, 0.5), (0.8, 0.2), (0.8, 0.8), (0.5, 0.5), (0.2, 0.8)],
    "line": square(1, 0.2, 2, 0.8),
}


@pytest.mark.parametrize("name", list(EXCLUDES))
def test_exclusions_match_shapely(name, shapely_calls):
    include = np.array([(0, 0), (1, 0), (1, 1), (0.5, 1.1), (0, 1)], np.float32)
    zf = ZoneFilter([region(include.tolist()), region(np.float32(EXCLUDES[name]).tolist(), False)])
    poly = zf._included_rois[0]["shapely_polygon"]
    stored = zf._exclusion_intersections[id(zf._included_rois[0])]
    assert len(stored) == 1 and (name != "hole" or len(stored[0].interiors) == 1)
    pts = probe_points(np.random.default_rng(3), [include] + stored, 2000)
    shapely_calls[0] = 0
    got = decisions(zf, pts)
    assert shapely_calls[0] == sum(p == (0.5, 0.5) for p in pts if name == "touching parts")  # where parts touch
    expected = {k for k, (x, y) in enumerate(pts) if poly.contains(Point(x, y)) and not stored[0].contains(Point(x, y))}
    shapely.prepare([poly, stored[0]])  # prepared geometries locate points by another route
    assert got == expected == {k for k, (x, y) in enumerate(pts)
                               if poly.contains(Point(x, y)) and not stored[0].contains(Point(x, y))}


@pytest.mark.parametrize("geometry", [
    Polygon(square(0, 0, 1e-120, 1e-120)), LineString([(0.1, 0.1), (0.4, 0.4)]), Polygon(),
    shapely.GeometryCollection([Point(0.2, 0.2), Polygon(square(0.3, 0.3, 0.5, 0.5))])])
def test_other_geometries_are_asked(geometry):
    zf = ZoneFilter([region(square(0, 0, 1, 1))])
    zf._exclusion_intersections[id(zf._included_rois[0])][:] = [geometry]
    pts = [(0.2, 0.2), (0.25, 0.25), (0.4, 0.4), (1e-121, 1e-121), (1e-200, 0.5), (0.5, 1e-300)]
    assert decisions(zf, pts) == {k for k, (x, y) in enumerate(pts) if not geometry.contains(Point(x, y))
                                  and 0 < x < 1 and 0 < y < 1}


def random_item(rng, k):
    """Objects as detectors and trackers hand them over: pixel or fractional boxes, lists, tuples or arrays."""
    frac = rng.random() < 0.4
    x, y = rng.uniform(-0.1, 1.1, 2) * (1 if frac else (1920, 1080))
    w, h = rng.uniform(0, 0.2, 2) if frac else rng.uniform(0.5, 200, 2)
    box = [x, y, w, h]
    form = k % 5
    box = [float(v) for v in box] if form == 0 else tuple(int(v) for v in box) if form == 1 else np.array(
        box, np.float32 if form == 2 else np.float64)
    if form == 4:
        return Det([0, 0, 0, 0], {"rect": box, "k": k})
    return Det(box, {"k": k} if form % 2 else None)


@pytest.mark.parametrize("seed", range(3))
def test_whole_frames_match_the_plain_algorithm(seed):
    rng = np.random.default_rng(seed)
    regions = [region(star(rng, int(rng.integers(8, 21))).tolist(), rng.random() < 0.7, roi_id=i, label=f"r{i}")
               for i in range(6)] + [region([], roi_id="w")] * (seed % 2)
    zf, plain = ZoneFilter(copy.deepcopy(regions), (1920, 1080)), reference.ZoneFilter(regions, (1920, 1080))
    for anchor_pt in [(0.5, 0.5), (0.5, 1.0), (0, 1)]:
        r = np.random.default_rng(seed + 10)
        expected = plain.filter_in_roi([random_item(r, k) for k in range(400)], None, anchor_pt)
        r = np.random.default_rng(seed + 10)
        got = zf.filter_in_roi([random_item(r, k) for k in range(400)], None, anchor_pt)
        assert [(type(o), tags(o), o.info.get("k") if hasattr(o, "info") else None) for o in got] == [
            (type(o), tags(o), o.info.get("k") if hasattr(o, "info") else None) for o in expected]


# ---- long frames -----------------------------------------------------------------------------

def tagged(obj):
    return KEY.ROI_ID in obj.info


def long_frame(n):
    """n objects, each matching every one of 4 regions, so that a call takes a while."""
    return ZoneFilter([region(square(0, 0, 1, 1), roi_id=i) for i in range(4)]), [at(0.5, 0.5, k) for k in range(n)]


def test_long_frames_let_other_threads_run():
    zf, frame = long_frame(100_000)
    seen, started, stop = [], threading.Event(), threading.Event()

    def tick():
        started.set()
        for _ in range(100_000):
            if stop.is_set():
                return
            # the first object read before the last one: a call begun and not yet ended
            seen.append((tagged(frame[0]), tagged(frame[-1])))
            time.sleep(0.0005)

    thread = threading.Thread(target=tick)
    thread.start()
    started.wait(10)
    try:
        assert len(zf.filter_in_roi(frame)) == len(frame)
    finally:
        stop.set()
        thread.join(60)
    assert (True, False) in seen


@pytest.fixture
def default_sigint():
    # A garbage-collector callback (hypothesis installs one) can be the Python
    # code that runs the handler, and an interrupt raised there is swallowed.
    previous, callbacks = signal.signal(signal.SIGINT, signal.default_int_handler), gc.callbacks[:]
    gc.callbacks.clear()
    yield
    gc.callbacks[:] = callbacks
    signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("n", [100_000, pytest.param(1_000_000, marks=pytest.mark.long)])
def test_interrupt_ends_a_long_frame_early(n, default_sigint, failures):
    zf, frame = long_frame(n)

    def interrupt():
        for _ in range(20_000):
            if tagged(frame[0]):
                break
            time.sleep(0.0005)
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=interrupt)
    thread.start()
    with pytest.raises(KeyboardInterrupt):
        zf.filter_in_roi(frame)
        thread.join(60)  # an interrupt the call never looked at arrives here
    thread.join(60)
    done = sum(map(tagged, frame))
    assert 0 < done < n // 2 and not failures
    assert all(tagged(o) == (KEY.ROI_NAME in o.info) for o in frame)  # no object half tagged
