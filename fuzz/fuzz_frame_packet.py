"""Fuzz the payload parser and the metadata records' update.

From each input a FramePacket is built and fed a short series of operations
(parse_frame_packet on JSON-ish dictionaries or bytes, update on one of the
records, create_frame_packet without a frame). A pure Python rendering of the
same classes runs the same series; after every step the outcome (result or
exception type) and the three records' dictionary forms must be identical,
key order included. Time stamps are left out of the comparison.
"""

import base64
import json
import time

import _harness as h

import cv2
import numpy as np

with h.atheris.instrument_imports():
    from xalo_sdk.redis import frame_packet, utils

utils.logger = type("Quiet", (), {"warning": staticmethod(lambda message: None)})

KEYS = ["id", "type", "name", "source_name", "source_key", "output_port_idx", "frame_id", "ts",
        "feed_port_idx", "encoder", "with_base64", "meta", "source", "module", "frame_format",
        "frame", "result", "update", "to_dict", "__dict__", "__class__", "__module__"]
ENCODERS = [None, ".jpg", ".bmp", ".JPG", "jpg", 5]
SWITCHES = [None, False, True, 1]
VERSIONS = [1, 0, -1, 2, 0.0, False, True, None, "1"]
_, _jpg = cv2.imencode(".jpg", np.full((4, 6, 3), 90, np.uint8))
FRAMES = [None, "", base64.b64encode(_jpg.tobytes()).decode(), "not base64!", 7, []]


# ---- the reference: the documented classes, in plain Python ------------------------------

def _text(value):
    return f"{value}"


def _names_member(cls, key):
    """A private name, or a method (or read-only descriptor) of the class: never merged."""
    if key.startswith("_"):
        return True
    for klass in cls.__mro__:
        if key in klass.__dict__:
            attr = klass.__dict__[key]
            return callable(attr) or (hasattr(type(attr), "__get__") and not hasattr(type(attr), "__set__"))
    return False


class RefRecord:
    def update(self, info):
        for key, value in info.items():
            if value is None:
                continue
            if isinstance(key, str) and _names_member(type(self), key):
                continue  # the kit warns through utils.logger, silenced below
            if not hasattr(self, key) or getattr(self, key) != value:
                setattr(self, key, value)

    def to_dict(self):
        return self.__dict__


class RefSource(RefRecord):
    id = type = name = source_name = source_key = output_port_idx = frame_id = ts = None

    def __init__(self, src_node=None, src_output_port=None, src_name=None):
        if src_node is None:
            return
        self.id = src_node.get("id", None)
        self.type = src_node.get("type", None)
        self.name = src_node.get("name", None)
        self.source_name = src_name if src_name else _text(src_node.get("type")) + "_" + _text(src_output_port)
        self.source_key = _text(src_node.get("id")) + "_" + _text(src_output_port)
        self.output_port_idx = src_output_port
        self.frame_id = None
        self.ts = time.time()


class RefModule(RefRecord):
    id = type = feed_port_idx = None

    def __init__(self, cur_node=None, feed_port_idx=None):
        if cur_node is None:
            return
        self.id = cur_node.get("id", None)
        self.type = cur_node.get("type", None)
        self.feed_port_idx = feed_port_idx


class RefFrameFormat(RefRecord):
    encoder = None
    with_base64 = False

    def __init__(self, **kwargs):
        for key, value in kwargs.items():
            setattr(self, key, value)


class RefMeta:
    def __init__(self, cur_node, feed_idx, src_node, src_port, src_name):
        self.ts = time.time()
        self.module = RefModule(cur_node=cur_node, feed_port_idx=feed_idx)
        self.source = RefSource(src_node=src_node, src_output_port=src_port, src_name=src_name)
        self.frame_format = RefFrameFormat()

    def update_source(self, source_info=None):
        self.source.update({} if source_info is None else source_info)

    def update_frame_format(self, frame_format_info=None):
        self.frame_format.update({} if frame_format_info is None else frame_format_info)

    def update_module(self, module_info=None):
        self.module.update({} if module_info is None else module_info)

    def to_dict(self):
        return {"ts": time.time(), "source": self.source.to_dict(), "module": self.module.to_dict(),
                "frame_format": self.frame_format.to_dict()}


class RefFramePacket:
    def __init__(self, feed_idx, cur_node, src_node=None, src_port=None, src_name=None):
        self.meta = RefMeta(cur_node=cur_node, feed_idx=feed_idx, src_node=src_node,
                            src_port=src_port, src_name=src_name)

    def create_frame_packet(self, version=1, ext_info=None, result=None, frame=None,
                            encoder=utils.Encoder.JPG, with_base64=False):
        if not version > 0:
            return None if frame is None else utils.img_to_base64str(image=frame)
        meta_data = self.meta.to_dict()
        if ext_info and isinstance(ext_info, dict):
            for key, value in ext_info.items():
                meta_data[key] = value
        return {"meta": meta_data, "result": [] if result is None else result, "frame": None}

    def parse_frame_packet(self, data, version=1, encoder=None, with_base64=None):
        if version == 0:
            return utils.base64_to_img(b64_bytes=data)
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
            data["frame"] = utils.str_to_img(img_as_str=frame_data, encoder=encoder, with_base64=with_base64)
        else:
            data["frame"] = None
        return data


# ---- input generation ----------------------------------------------------------------------

def gen_key(fdp):
    n = fdp.ConsumeIntInRange(0, 9)
    if n < 6:
        return h.pick(fdp, KEYS)
    if n < 9:
        return fdp.ConsumeUnicodeNoSurrogates(6)
    return fdp.ConsumeIntInRange(-2, 2)  # not a str: update refuses it


def gen_value(fdp, depth=0):
    n = fdp.ConsumeIntInRange(0, 11 if depth < 3 else 7)
    if n == 0:
        return None
    if n == 1:
        return fdp.ConsumeBool()
    if n == 2:
        return fdp.ConsumeIntInRange(-3, 3)
    if n == 3:
        return fdp.ConsumeInt(9)
    if n == 4:
        return fdp.ConsumeFloat()
    if n == 5:
        return fdp.ConsumeUnicodeNoSurrogates(8)
    if n == 6:
        return h.pick(fdp, KEYS + ENCODERS[1:] + FRAMES[2:])
    if n == 7:
        return fdp.ConsumeBytes(4)
    if n in (8, 9):
        return [gen_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    return gen_dict(fdp, depth + 1)


def gen_dict(fdp, depth=0):
    return {gen_key(fdp): gen_value(fdp, depth) for _ in range(fdp.ConsumeIntInRange(0, 4))}


def gen_node(fdp):
    n = fdp.ConsumeIntInRange(0, 3)
    return None if n == 0 else gen_dict(fdp, 2) if n == 1 else {
        "id": gen_value(fdp, 3), "type": gen_value(fdp, 3), "name": gen_value(fdp, 3)}


def gen_payload(fdp):
    payload = {}
    if fdp.ConsumeBool():
        payload["meta"] = {"source": gen_value(fdp, 1) if fdp.ConsumeBool() else gen_dict(fdp, 1),
                           "frame_format": gen_value(fdp, 2) if fdp.ConsumeBool() else gen_dict(fdp, 1)}
        if fdp.ConsumeBool():
            payload["meta"].update(gen_dict(fdp, 2))
    elif fdp.ConsumeBool():
        payload["meta"] = gen_value(fdp, 1)
    payload["result"] = gen_value(fdp, 1)
    payload["frame"] = h.pick(fdp, FRAMES) if fdp.ConsumeBool() else gen_value(fdp, 3)
    form = fdp.ConsumeIntInRange(0, 5)
    if form == 0:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))  # any bytes, often not UTF-8 or JSON
    if form == 1:
        try:
            return json.dumps(payload, default=repr).encode()
        except ValueError:
            return b"{}"
    if form == 2:
        return gen_value(fdp)
    return payload


def copy_plain(value):
    """A deep copy of the generated data (dicts, lists, scalars, bytes)."""
    if isinstance(value, dict):
        return {k: copy_plain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [copy_plain(v) for v in value]
    return value


def without_ts(value):
    """Time stamps differ between the two runs; everything else must not."""
    if isinstance(value, dict):
        return {k: ("<ts>" if k == "ts" and type(v) is float else without_ts(v)) for k, v in value.items()}
    if isinstance(value, list):
        return [without_ts(v) for v in value]
    return value


def state(packet):
    meta = packet.meta
    try:
        return h.canon(without_ts([r.to_dict() for r in (meta.source, meta.module, meta.frame_format)]))
    except Exception as e:  # noqa: BLE001 - a record whose to_dict was overwritten
        return ("raised", type(e).__name__)


def test_one_input(data):
    fdp = h.atheris.FuzzedDataProvider(data)
    ctor = (fdp.ConsumeIntInRange(0, 3), gen_node(fdp), gen_node(fdp), gen_value(fdp, 3), gen_value(fdp, 3))
    native = h.outcome(frame_packet.FramePacket, *copy_plain(list(ctor)))
    reference = h.outcome(RefFramePacket, *copy_plain(list(ctor)))
    if native[0] != reference[0] or native[0] == "raised" and native != reference:
        h.mismatch("FramePacket()", native, reference, data)
    if native[0] == "raised":
        return
    packets = (native[1], reference[1])
    if state(packets[0]) != state(packets[1]):
        h.mismatch("FramePacket() records", state(packets[0]), state(packets[1]), data)

    for step in range(fdp.ConsumeIntInRange(1, 4)):
        op = fdp.ConsumeIntInRange(0, 5)
        if op <= 2:
            args = (gen_payload(fdp), h.pick(fdp, VERSIONS), h.pick(fdp, ENCODERS), h.pick(fdp, SWITCHES))
            results = [h.outcome(p.parse_frame_packet, *copy_plain(list(args))) for p in packets]
        elif op <= 4:
            info = gen_dict(fdp, 1) if fdp.ConsumeBool() else gen_value(fdp, 1)
            name = h.pick(fdp, ["source", "module", "frame_format"])
            results = [h.outcome(lambda p: getattr(p.meta, name).update(copy_plain(info)), p) for p in packets]
        else:
            args = (h.pick(fdp, VERSIONS[:4]), gen_value(fdp, 1), gen_value(fdp, 2))
            results = [h.outcome(p.create_frame_packet, *copy_plain(list(args))) for p in packets]
        native, reference = (h.canon((r[0], without_ts(r[1]))) for r in results)
        if native != reference:
            h.mismatch(f"step {step} (op {op})", results[0], results[1], data)
        if state(packets[0]) != state(packets[1]):
            h.mismatch(f"records after step {step} (op {op})", state(packets[0]), state(packets[1]), data)


if __name__ == "__main__":
    h.run(test_one_input)
