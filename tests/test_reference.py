"""The native modules against the plain Python reference (tests/reference/):
the same inputs through both, the same results and the same logged messages."""

import contextlib
import copy
import json

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from reference import frame_packet as ref_fp, utils as ref_utils, zone_filter as ref_zf
from reference.compare import Det, Recorder, canon, outcome
from xalo_sdk.redis import frame_packet as kit_fp, utils as kit_utils
from xalo_sdk.roi import zone_filter as kit_zf

SIDES = (kit_utils, ref_utils)


@contextlib.contextmanager
def recorded():
    """Both sides' module loggers replaced by recorders: (kit, reference).
    A context rather than a fixture alone, since property tests run many examples in one test."""
    pair, saved = (Recorder(), Recorder()), [m.logger for m in SIDES]
    kit_utils.logger, ref_utils.logger = pair
    try:
        yield pair
    finally:
        kit_utils.logger, ref_utils.logger = saved


@pytest.fixture
def loggers():
    with recorded() as pair:
        yield pair


def fresh(value):
    """A deep copy where one can be made (a memoryview cannot), so neither side sees the other's changes."""
    try:
        return copy.deepcopy(value)
    except TypeError:
        return value


def both(name, *args, module_pair=SIDES):
    """Call `name` on both sides with copies of the arguments; the two outcomes in comparable form."""
    return [canon(outcome(getattr(m, name), *fresh(args))) for m in module_pair]


def assert_same(pair, loggers=None):
    assert pair[0] == pair[1]
    if loggers:
        assert loggers[0].records == loggers[1].records
        loggers[0].records.clear(), loggers[1].records.clear()


# ---- key builders and image codecs -----------------------------------------------------------

ANY = st.one_of(st.none(), st.integers(-5, 5), st.floats(allow_nan=False), st.text(max_size=4), st.booleans())


@given(ANY, ANY)
def test_key_builders(node_id, port):
    assert_same(both("gen_redis_key_local", node_id, port))
    assert_same(both("gen_redis_key_status", node_id))


IMG = np.arange(6 * 8 * 3, dtype=np.uint8).reshape(6, 8, 3)
ENCODERS = [None, ".jpg", ".bmp", ".JPG", ".Bmp", "jpg", ".png", "", 5]
SWITCHES = [False, True, 1, "yes", np.True_, None]
IMAGES = [IMG, IMG[:, :, 0], np.zeros((3, 4), np.float32), np.zeros((0, 4, 3), np.uint8), None, "no image"]


@pytest.mark.parametrize("encoder", ENCODERS)
@pytest.mark.parametrize("with_base64", SWITCHES)
@pytest.mark.parametrize("image", range(len(IMAGES)))
def test_img_to_str_and_back(image, encoder, with_base64, loggers):
    encoded = both("img_to_str", IMAGES[image], encoder, with_base64)
    assert_same(encoded, loggers)
    text = kit_utils.img_to_str(IMAGES[image], encoder, with_base64)
    loggers[0].records.clear()
    for data in (text, text.decode("latin-1") if isinstance(text, bytes) else text, memoryview(b"\xff\xd8x"), 7):
        assert_same(both("str_to_img", data, encoder, with_base64), loggers)


@given(st.binary(max_size=40), st.sampled_from(ENCODERS), st.sampled_from(SWITCHES),
       st.sampled_from([bytes, lambda b: b.decode("latin-1"), lambda b: b.decode("utf-8", "replace"), bytearray]))
def test_str_to_img_on_any_data(data, encoder, with_base64, form):
    with recorded() as pair:
        assert_same(both("str_to_img", form(data), encoder, with_base64), pair)


PREVIEW = kit_utils.img_to_base64str(IMG)


@pytest.mark.parametrize("data", [PREVIEW, PREVIEW[:-2], b"", b"not base64!", b"QUJD", "text", bytearray(PREVIEW),
                                  type("Sub", (bytes,), {})(PREVIEW), None])
def test_base64_to_img(data, loggers):
    assert_same(both("base64_to_img", data), loggers)


@pytest.mark.parametrize("zoom", [1.0, 1, 0.5, 2, np.float64(0.5), True, None, "2", 1 + 0j, [2]])
def test_img_to_base64str(zoom):
    assert_same(both("img_to_base64str", IMG, zoom))


@pytest.mark.parametrize("args", [(IMG,), (IMG, 1), (IMG, 2.0), (IMG, 0.5), (IMG, 3.0, (8, 6)), (IMG, 2.0, [4, 3]),
                                  (IMG, 1.0, (4.9, 3.2)), (IMG, 1.0, (4,)), (IMG, 1.0, ("4", 3)), (None, 2.0),
                                  (IMG, None), (IMG, 0.001), ("no image", 2.0)])
def test_resize(args, loggers):
    assert_same(both("resize", *args), loggers)


# ---- metadata records and payloads -----------------------------------------------------------

KEYS = ["id", "type", "name", "frame_id", "ts", "encoder", "with_base64", "extra", "update", "to_dict", "_private",
        "__dict__", "__class__"]
VALUES = st.one_of(st.none(), st.booleans(), st.integers(-3, 3), st.floats(), st.text(max_size=3),
                   st.lists(st.integers(0, 2), max_size=2), st.sampled_from([".jpg", ".bmp", True, False]))
INFOS = st.dictionaries(st.one_of(st.sampled_from(KEYS), st.integers(0, 1)), VALUES, max_size=5)
NODES = st.one_of(st.none(), st.fixed_dictionaries({}, optional={"id": VALUES, "type": VALUES, "name": VALUES}))
JPG_B64 = kit_utils.img_to_str(IMG, ".jpg", True)
PAYLOADS = st.one_of(
    st.fixed_dictionaries({}, optional={
        "meta": st.one_of(VALUES, st.fixed_dictionaries({}, optional={"source": st.one_of(INFOS, VALUES),
                                                                       "frame_format": st.one_of(INFOS, VALUES)})),
        "result": VALUES, "frame": st.sampled_from([None, "", JPG_B64, "not base64!", 7])}),
    st.binary(max_size=12), VALUES)
OPERATIONS = st.one_of(
    st.tuples(st.just("parse"), PAYLOADS, st.sampled_from([1, 0, -1, None]), st.sampled_from(ENCODERS[:4]),
              st.sampled_from([None, False, True])),
    st.tuples(st.just("update"), st.sampled_from(["source", "module", "frame_format"]), st.one_of(INFOS, VALUES)),
    st.tuples(st.just("meta update"), st.sampled_from(["update_source", "update_module", "update_frame_format"]),
              st.one_of(st.none(), INFOS)),
    st.tuples(st.just("create"), st.sampled_from([1, 0, -1, 2]), st.one_of(st.none(), INFOS), VALUES,
              st.sampled_from([None, IMG]), st.sampled_from(ENCODERS[:3]), st.sampled_from([False, True, None])))


def stamped(value):
    """Time stamps differ between the two sides; everything else must not."""
    if isinstance(value, dict):
        return {k: "<ts>" if k == "ts" and type(v) is float else stamped(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(stamped(v) for v in value)
    return value


def records(packet):
    meta = packet.meta
    return canon(stamped([meta.source.to_dict(), meta.module.to_dict(), meta.frame_format.to_dict()]))


def run(packet, op):
    kind, *args = copy.deepcopy(op)
    if kind == "parse":
        data = args[0]
        if isinstance(data, dict) and args[1] != 0:
            data = json.dumps(data).encode() if isinstance(data.get("result"), int) else data
        return outcome(packet.parse_frame_packet, data, *args[1:])
    if kind == "update":
        return outcome(getattr(packet.meta, args[0]).update, args[1])
    if kind == "meta update":
        return outcome(getattr(packet.meta, args[0]), args[1])
    return outcome(packet.create_frame_packet, *args)


@given(st.integers(0, 2), NODES, NODES, VALUES, st.one_of(st.none(), st.text(max_size=3)), st.lists(OPERATIONS,
                                                                                                   max_size=5))
def test_frame_packets(feed_idx, cur_node, src_node, src_port, src_name, operations):
    with recorded() as pair:
        made = [outcome(m.FramePacket, feed_idx, copy.deepcopy(cur_node), copy.deepcopy(src_node), src_port,
                        src_name) for m in (kit_fp, ref_fp)]
        assert_same([canon(m[0]) for m in made])
        if made[0][0] != "ok":
            return
        packets = [m[1] for m in made]
        assert records(packets[0]) == records(packets[1])
        for op in operations:
            assert_same([canon(stamped(run(p, op))) for p in packets], pair)
            assert records(packets[0]) == records(packets[1])


# ---- zone filter -----------------------------------------------------------------------------

GRID = st.sampled_from([0.0, 0.25, 0.5, 0.75, 1.0])
COORD = st.one_of(GRID, GRID, st.floats(-0.5, 1.5), st.sampled_from([float("nan"), float("inf"), 2.0, "x"]))
OPTIONAL_KEYS = {"roi_id": st.integers(0, 9), "label": st.text(max_size=2)}
REGION = st.fixed_dictionaries({"points": st.one_of(st.lists(st.tuples(GRID, GRID), min_size=3, max_size=6),
                                                    st.just([])),
                                "include": st.booleans()}, optional=OPTIONAL_KEYS)
ODD_REGION = st.one_of(
    st.fixed_dictionaries({"points": st.one_of(st.lists(st.tuples(COORD, COORD), max_size=5), st.just(5),
                                               st.just([(0, 0, 0)] * 3)),
                           "include": st.sampled_from([True, False, 1, None])}, optional=OPTIONAL_KEYS),
    st.sampled_from(["lane", {"points": []}, {"include": True}]))
REGIONS = st.one_of(st.none(), st.just([]), st.lists(REGION, min_size=1, max_size=4),
                    st.lists(st.one_of(REGION, ODD_REGION), min_size=1, max_size=4))
FRAME_SIZES = st.sampled_from([None, (), (1000, 500), (4, 4), (4, 4), (1920, 1080, 3), (0, 0), [2, 0.5], ("x", 1), (5,)])
ANCHORS = st.sampled_from([(0.5, 0.5), (0.5, 1.0), (0, 0), (1, 1), (0.5,), None])


GOOD_BOX = st.one_of(
    st.tuples(GRID, GRID, st.just(0.0), st.just(0.0)).map(list),
    st.tuples(GRID, GRID, GRID, GRID).map(list),
    st.tuples(st.integers(0, 1000), st.integers(0, 500), st.sampled_from([2, 40, 1.0, 250]),
              st.sampled_from([2, 80, 1.0])).map(list),
    st.tuples(st.integers(0, 4), st.integers(0, 4), st.sampled_from([1.0, 1.5]), st.sampled_from([1.0, 1.5])).map(list))
BAD = st.sampled_from([[0.1, 0.1, 0.2], None, "abcd", [1, 2, "3", 4]])
INFO = st.one_of(st.none(), st.just({}), st.fixed_dictionaries({"rect": GOOD_BOX}))
FRAMES = st.one_of(st.lists(st.tuples(GOOD_BOX, INFO), max_size=6),
                   st.lists(st.tuples(st.one_of(GOOD_BOX, BAD), st.one_of(INFO, st.just(5))), max_size=6))


def frame_of(dets):
    return [Det(k, box, None if info is None else copy.deepcopy(info)) for k, (box, info) in enumerate(dets)]


def returned(result, given_objects):
    if result is given_objects:
        return ("the argument itself",)
    given_ids = {id(g) for g in given_objects} if isinstance(given_objects, list) else set()
    return canon([(id(o) in given_ids, vars(o)) for o in result])


def prepared(zf):
    """What construction made, with geometries as WKB and entries by position."""
    def plain(v):
        if hasattr(v, "wkb"):
            return ("geometry", v.wkb)
        if isinstance(v, dict):
            return {k: plain(x) for k, x in v.items()}
        if isinstance(v, list):
            return [plain(x) for x in v]
        return v
    index = {id(e): i for i, e in enumerate(zf.rois or [])}
    return canon([plain(zf.polygons), plain(zf.rois), zf.frame_sz, [index[id(e)] for e in zf._included_rois],
                  None if zf._empty_polygon is None else index[id(zf._empty_polygon)],
                  [(index[k], plain(v)) for k, v in zf._exclusion_intersections.items()]])


@pytest.mark.parametrize("strict", [False, True])
@settings(max_examples=300)
@given(regions=REGIONS, frame_sz=FRAME_SIZES, calls=st.lists(st.tuples(FRAMES, FRAME_SIZES, ANCHORS), max_size=3))
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_zone_filters(strict, regions, frame_sz, calls):
    modules, logged = (kit_zf, ref_zf), ([], [])
    saved = [(m.STRICT, m.exception_traceback) for m in modules]
    for m, log in zip(modules, logged):
        m.STRICT, m.exception_traceback = strict, lambda logger, e, log=log: log.append(canon(e))
    try:
        assert_same(both("check_regions", regions, frame_sz, module_pair=modules))
        made = [outcome(m.ZoneFilter, copy.deepcopy(regions), frame_sz) for m in modules]
        if made[0][0] != "ok" or made[1][0] != "ok":
            assert made[0] == made[1]
            return
        filters = [m[1] for m in made]
        assert prepared(filters[0]) == prepared(filters[1])
        for dets, call_frame_sz, anchor_pt in calls:
            inputs = [frame_of(dets), frame_of(dets)]
            got = [outcome(zf.filter_in_roi, objs, call_frame_sz, anchor_pt) for zf, objs in zip(filters, inputs)]
            assert [g[0] for g in got] == [got[1][0]] * 2 and logged[0] == logged[1]
            if got[0][0] == "ok":
                assert returned(got[0][1], inputs[0]) == returned(got[1][1], inputs[1])
            assert canon([vars(d) for d in inputs[0]]) == canon([vars(d) for d in inputs[1]])
    finally:
        for m, (strict_before, traceback_before) in zip(modules, saved):
            m.STRICT, m.exception_traceback = strict_before, traceback_before
