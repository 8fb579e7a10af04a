"""Metadata records and the payload builder and parser of xalo_sdk.redis.frame_packet."""

import json
import sys
import types

import numpy as np
import pytest
from hypothesis import given, strategies as st

from reference import frame_packet as reference
from xalo_sdk.redis import frame_packet as fp
from xalo_sdk.redis import utils
from xalo_sdk.redis.frame_packet import FramePacket, Meta, MetaFrameFormat, MetaModule, MetaSource

CAM = {"id": "src1", "type": "cam", "name": "front"}
DET = {"id": "det", "type": "detector"}
IMG = (np.indices((24, 32, 3)).sum(axis=0) * 5 % 256).astype(np.uint8)


# ---- records ------------------------------------------------------------------------------

@pytest.mark.parametrize("node, port, name, source_name, source_key", [
    (CAM, 0, None, "cam_0", "src1_0"),
    (CAM, 0, "main", "main", "src1_0"),
    (CAM, 0, "", "cam_0", "src1_0"),
    ({"id": 7}, None, None, "None_None", "7_None"),
    (CAM, 2.5, 0, "cam_2.5", "src1_2.5"),
    ({"id": "k\u00e9", "type": "\u30ab\u30e1\u30e9"}, True, None, "\u30ab\u30e1\u30e9_True", "k\u00e9_True")])
def test_source_from_node(node, port, name, source_name, source_key):
    d = MetaSource(node, port, name).to_dict()
    assert list(d) == ["id", "type", "name", "source_name", "source_key", "output_port_idx", "frame_id", "ts"]
    assert d["source_name"] == source_name and d["source_key"] == source_key
    assert (d["id"], d["output_port_idx"], d["frame_id"]) == (node["id"], port, None)
    assert type(d["ts"]) is float


def test_node_is_read_through_get_only():
    calls = []

    class Node:
        def get(self, *args):
            calls.append(args)
            return {"id": "n", "type": "t"}.get(args[0])

    MetaSource(src_node=Node(), src_output_port=1)
    assert calls == [("id", None), ("type", None), ("name", None), ("type",), ("id",)]
    with pytest.raises(AttributeError):
        MetaSource(src_node=5)


@pytest.mark.parametrize("record", [
    MetaSource(), MetaSource(None, 3, "x"), MetaModule(), MetaModule(None, 2), MetaFrameFormat()])
def test_records_without_node_are_empty(record):
    assert record.to_dict() == {}


def test_module_and_frame_format():
    assert MetaModule(DET, 2).to_dict() == {"id": "det", "type": "detector", "feed_port_idx": 2}
    ff = MetaFrameFormat()
    assert (ff.encoder, ff.with_base64) == (None, False)
    assert list(MetaFrameFormat(with_base64=True, encoder=".bmp").to_dict().items()) == [
        ("with_base64", True), ("encoder", ".bmp")]
    with pytest.raises(TypeError):
        MetaFrameFormat(".jpg")


def test_to_dict_is_the_live_attribute_mapping():
    src = MetaSource(CAM, 0)
    d = src.to_dict()
    assert d is src.to_dict() is src.__dict__
    d["added"] = 1
    src.frame_id = 9
    assert src.added == 1 and d["frame_id"] == 9


def test_update_merges_non_none_values_in_order():
    src = MetaSource(CAM, 0)
    src.update({"frame_id": 12, "name": None, "extra": "v"})
    assert (src.frame_id, src.name, list(src.to_dict())[-1]) == (12, "front", "extra")
    src.frame_id = 1
    src.update({"frame_id": True})
    src.update({"frame_id": 1.0})
    assert type(src.frame_id) is int
    ff = MetaFrameFormat()
    ff.update({"encoder": None, "with_base64": False})  # equal to the class default: not assigned
    assert ff.to_dict() == {}
    ff.update({"encoder": ".jpg", "with_base64": True})
    assert ff.to_dict() == {"encoder": ".jpg", "with_base64": True}


class Pairs:
    """A mapping that is not a dict: only items() is used."""

    def __init__(self, *pairs):
        self.pairs = pairs

    def items(self):
        return iter(self.pairs)


class Odd:
    def __ne__(self, other):
        raise ValueError("no comparison")


ODD = Odd()


@pytest.mark.parametrize("info, error, applied", [
    ({"a": 1, 2: "x", "b": 2}, TypeError, {"a": 1}),
    (None, AttributeError, {}),
    (Pairs(("a", 1), ("b", 2, 3)), ValueError, {"a": 1}),
    (Pairs(("a", 1), 5), TypeError, {"a": 1}),
    ({"a": 1, "cur": 2}, ValueError, {"a": 1}),
    ({"new": ODD}, None, {"new": ODD})])
def test_update_failures_keep_what_was_applied(info, error, applied):
    rec = MetaModule()
    rec.cur = ODD
    if error is None:
        rec.update(info)
    else:
        with pytest.raises(error):
            rec.update(info)
    assert rec.to_dict() == dict(cur=ODD, **applied)


VALUES = st.one_of(st.none(), st.booleans(), st.integers(-3, 3), st.floats(allow_nan=True), st.text(max_size=2),
                   st.lists(st.integers(0, 2), max_size=2))
INFOS = st.dictionaries(st.sampled_from(["id", "name", "frame_id", "ts", "extra", "other"]), VALUES, max_size=6)


@given(st.lists(INFOS, max_size=4))
def test_update_matches_the_python_rule(infos):
    kit, twin = MetaSource(CAM, 0), reference.MetaSource()
    twin.__dict__.update(kit.to_dict())
    for info in infos:
        kit.update(info)
        twin.update(info)
        assert list(kit.to_dict().items()) == list(twin.__dict__.items())


def test_non_str_key_is_refused():
    for rec in (MetaSource(), MetaModule(), MetaFrameFormat()):
        with pytest.raises(TypeError) as e:
            rec.update({"frame_id": 3, 2: "x"})
        assert str(e.value) == "hasattr(): attribute name must be string"
        assert rec.frame_id == 3  # pairs before it stay applied
    MetaSource().update({2: None})  # a None is skipped before the name is looked at


def test_update_reaches_class_defaults_and_properties(monkeypatch):
    ff = MetaFrameFormat()
    ff.update({"encoder": ".bmp"})
    assert ff.to_dict() == {"encoder": ".bmp"}
    monkeypatch.setattr(MetaFrameFormat, "with_base64", property(lambda self: True))
    ff = MetaFrameFormat()
    ff.update({"with_base64": True})
    with pytest.raises(AttributeError):
        ff.update({"with_base64": False})

    class Prop(MetaFrameFormat):
        @property
        def encoder(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        Prop().update({"encoder": ".jpg"})


class Helpers(MetaSource):
    def helper(self):
        return 1

    as_class = classmethod(lambda cls: 1)


@pytest.mark.parametrize("key", ["update", "to_dict", "__init__", "__dict__", "__class__", "_private", "helper",
                                 "as_class"])
@pytest.mark.parametrize("info_type", [dict, lambda d: Pairs(*d.items())])
def test_names_of_methods_and_private_attributes_are_not_merged(monkeypatch, key, info_type):
    seen = []
    monkeypatch.setattr(utils, "logger", types.SimpleNamespace(warning=seen.append))
    src = Helpers(CAM, 0)
    src.update(info_type({"frame_id": 4, key: {"x": 1}, "extra": [1]}))
    assert key not in src.to_dict() and (src.frame_id, src.extra) == (4, [1])
    assert seen == [f"Payload key {key!r} not merged: it names a method or private attribute of Helpers"]
    assert type(src) is Helpers and src.helper() == 1


def test_a_payload_naming_a_method_leaves_later_parses_working(monkeypatch):
    monkeypatch.setattr(utils, "logger", types.SimpleNamespace(warning=lambda m: None))
    packet = FramePacket(0, DET)
    hostile = {"meta": {"source": {"update": 1, "to_dict": 2}, "frame_format": {"update": 3, "encoder": ".bmp"}},
               "result": [], "frame": None}
    for _ in range(2):
        packet.parse_frame_packet(dict(hostile))
    assert packet.meta.frame_format.encoder == ".bmp"
    assert packet.create_frame_packet()["meta"]["source"] == {}


# ---- Meta ---------------------------------------------------------------------------------

def test_meta_dict_has_a_fresh_stamp_and_the_live_mappings(monkeypatch):
    meta = Meta(DET, 1, CAM, 0, None)
    stamps = iter([10.0, 11.0])
    monkeypatch.setattr(fp, "time", types.SimpleNamespace(time=lambda: next(stamps)))
    a, b = meta.to_dict(), meta.to_dict()
    assert list(a) == ["ts", "source", "module", "frame_format"] and (a["ts"], b["ts"]) == (10.0, 11.0)
    assert a is not b
    assert a["source"] is b["source"] is meta.source.__dict__
    assert a["module"] is meta.module.__dict__ and a["frame_format"] is meta.frame_format.__dict__
    assert meta.update_module(None) is None and meta.module.to_dict() == {"id": "det", "type": "detector",
                                                                          "feed_port_idx": 1}


def test_stamp_reads_the_clock_as_time_time_does_and_follows_a_patched_one(monkeypatch):
    import time
    before = time.time()
    ts = Meta(DET, 1, CAM, 0, None).to_dict()["ts"]
    assert type(ts) is float and before <= ts <= time.time()
    monkeypatch.setattr(time, "time", lambda: 42.5)
    assert Meta(DET, 1, CAM, 0, None).to_dict()["ts"] == 42.5


def test_meta_calls_the_records_methods_as_python_would(monkeypatch):
    seen = []

    class Source(MetaSource):
        def update(self, source_info):
            seen.append(source_info)

        def to_dict(self):
            return {"own": True}

    meta = Meta(DET, 0, CAM, 0, None)
    meta.source = Source()
    meta.update_source()
    meta.update_source({"a": 1})
    meta.frame_format.to_dict = lambda: "shadowed"
    assert seen == [{}, {"a": 1}]
    assert meta.to_dict()["source"] == {"own": True} and meta.to_dict()["frame_format"] == "shadowed"
    with monkeypatch.context() as m:
        m.setattr(MetaModule, "to_dict", lambda self: "replaced")
        assert meta.to_dict()["module"] == "replaced"
    assert meta.to_dict()["module"] is meta.module.__dict__


# ---- FramePacket --------------------------------------------------------------------------

@pytest.fixture
def packet():
    return FramePacket(0, DET, CAM, 0)


@pytest.fixture
def calls(monkeypatch):
    """Replaces the image functions by fakes that record their keyword arguments."""
    seen = []
    for name in ("img_to_str", "str_to_img", "base64_to_img", "img_to_base64str"):
        monkeypatch.setattr(fp, name, lambda _name=name, **kw: seen.append((_name, kw)) or _name)
    return seen


def test_signatures_and_module_names():
    assert FramePacket.create_frame_packet.__defaults__ == (1, None, None, None, utils.Encoder.JPG, False)
    assert FramePacket.parse_frame_packet.__defaults__ == (1, None, None)
    assert FramePacket.create_frame_packet.__doc__.startswith("Generate payload to publish")
    assert "data from redis - dict or redis_string" in FramePacket.parse_frame_packet.__doc__
    assert fp.time is sys.modules["time"] and fp.json is json and fp.Encoder is utils.Encoder
    assert (FramePacket.frame, FramePacket.result, MetaSource.__module__) == (None, None, fp.__name__)


def test_create_without_frame(packet):
    payload = packet.create_frame_packet()
    assert list(payload) == ["meta", "result", "frame"]
    assert list(payload["meta"]) == ["ts", "source", "module", "frame_format"]
    assert (payload["meta"]["frame_format"], payload["result"], payload["frame"]) == ({}, [], None)
    result = (1, 2)
    assert packet.create_frame_packet(result=result)["result"] is result


def test_create_with_frame_encodes_by_keyword(packet, calls):
    payload = packet.create_frame_packet(frame=IMG, with_base64=True)
    assert calls == [("img_to_str", {"image": IMG, "encoder": ".jpg", "with_base64": True})]
    assert payload["frame"] == "img_to_str"
    assert payload["meta"]["frame_format"] == {"encoder": ".jpg", "with_base64": True}
    packet.meta.frame_format.update({"encoder": ".bmp", "with_base64": True})
    packet.create_frame_packet(frame=IMG, encoder=None, with_base64=None)
    assert calls[-1][1]["encoder"] == ".bmp" and calls[-1][1]["with_base64"] is True
    assert packet.meta.frame_format.to_dict() == {"encoder": ".bmp", "with_base64": True}


@pytest.mark.parametrize("version", [0, -1, 0.0, False])
def test_version_0_is_the_bare_preview(packet, calls, version):
    assert packet.create_frame_packet(version=version) is None
    assert packet.create_frame_packet(version=version, frame=IMG, ext_info={"x": 1}) == "img_to_base64str"
    assert calls == [("img_to_base64str", {"image": IMG})]
    with pytest.raises(TypeError):
        packet.create_frame_packet(version=None)


@pytest.mark.parametrize("ext_info, frame, keys, frame_format", [
    ([("x", 1)], None, ["ts", "source", "module", "frame_format"], {}),
    ({}, None, ["ts", "source", "module", "frame_format"], {}),
    ({"ts": 5.0, "x": 1}, None, ["ts", "source", "module", "frame_format", "x"], {}),
    ({"frame_format": "mine"}, None, ["ts", "source", "module", "frame_format"], "mine"),
    ({"frame_format": "mine"}, IMG, ["ts", "source", "module", "frame_format"], {"encoder": ".jpg",
                                                                                 "with_base64": False})])
def test_ext_info(packet, calls, ext_info, frame, keys, frame_format):
    meta = packet.create_frame_packet(ext_info=ext_info, frame=frame)["meta"]
    assert list(meta) == keys and meta["frame_format"] == frame_format
    if isinstance(ext_info, dict) and "ts" in ext_info:
        assert meta["ts"] == 5.0


def sent_payload():
    sender = FramePacket(0, CAM, {"id": "up", "type": "cam", "name": "gate"}, 3)
    payload = sender.create_frame_packet(frame=IMG, encoder=".bmp", with_base64=True)
    payload["meta"]["source"].update(frame_id=7, name=None)
    return json.loads(json.dumps(payload))


def test_parse_merges_metadata_and_decodes(packet):
    data = sent_payload()
    module_before = dict(packet.meta.module.to_dict())
    out = packet.parse_frame_packet(data)
    assert out is data and np.array_equal(out["frame"], IMG)
    src = packet.meta.source
    assert (src.frame_id, src.name, src.id, src.source_name) == (7, "front", "up", "cam_3")
    assert packet.meta.frame_format.to_dict() == {"encoder": ".bmp", "with_base64": True}
    assert packet.meta.module.to_dict() == module_before
    downstream = packet.create_frame_packet()["meta"]
    assert downstream["source"]["id"] == "up" and downstream["frame_format"]["encoder"] == ".bmp"


def test_parse_bytes_makes_a_new_dict(packet):
    data = sent_payload()
    out = packet.parse_frame_packet(json.dumps(data).encode())
    assert type(out) is dict and np.array_equal(out["frame"], IMG)
    with pytest.raises(UnicodeDecodeError):
        packet.parse_frame_packet(b"\xff{")
    with pytest.raises(json.JSONDecodeError):
        packet.parse_frame_packet(b"not json")


@pytest.mark.parametrize("data, error", [("{}", AttributeError), (None, AttributeError),
                                         ({"meta": {"source": 5}}, AttributeError),
                                         ({"meta": []}, AttributeError)])
def test_parse_refuses_what_has_no_get(packet, data, error):
    with pytest.raises(error):
        packet.parse_frame_packet(data)


def test_parse_frame_and_encoding_choices(packet, calls):
    assert packet.parse_frame_packet({"frame": ""}) == {"frame": None}
    assert packet.parse_frame_packet({"result": [1]}) == {"result": [1], "frame": None}
    assert calls == [] and packet.meta.frame_format.to_dict() == {}
    packet.parse_frame_packet({"meta": {"frame_format": {"encoder": ".bmp", "with_base64": True}}, "frame": "x"})
    packet.parse_frame_packet({"frame": "y"}, encoder=".jpg", with_base64=False)
    assert calls == [("str_to_img", {"img_as_str": "x", "encoder": ".bmp", "with_base64": True}),
                     ("str_to_img", {"img_as_str": "y", "encoder": ".jpg", "with_base64": False})]
    assert packet.parse_frame_packet(b"abc", version=0.0) == "base64_to_img"
    assert calls[-1] == ("base64_to_img", {"b64_bytes": b"abc"})
    assert packet.parse_frame_packet({"frame": "z"}, version=-1)["frame"] == "str_to_img"


def test_parse_calls_meta_updates_as_python_would(packet):
    seen = []

    class Recording(Meta):
        def update_source(self, *args, **kwargs):
            seen.append(("source", args, kwargs))

        def update_frame_format(self, *args, **kwargs):
            seen.append(("frame_format", args, kwargs))

    packet.meta = Recording(DET, 0, CAM, 0, None)
    packet.parse_frame_packet({"meta": {"source": {"a": 1}}})
    assert seen == [("source", (), {"source_info": {"a": 1}}), ("frame_format", (None,), {})]


def test_reference_counts_stay_exact(packet):
    data = sent_payload()
    result = object()
    src_dict = packet.meta.source.__dict__
    packet.parse_frame_packet(dict(data, frame=None))
    before = [sys.getrefcount(x) for x in (result, src_dict, packet.meta, data["meta"]["source"]["id"])]
    for _ in range(2000):
        packet.create_frame_packet(result=result, ext_info={"k": result})
        packet.parse_frame_packet(dict(data, frame=None))
        packet.meta.source.update({"frame_id": object(), "ts": 1.5})
    after = [sys.getrefcount(x) for x in (result, src_dict, packet.meta, data["meta"]["source"]["id"])]
    assert after == before
