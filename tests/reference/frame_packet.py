"""The metadata records and the payload builder and parser, in plain Python."""

import time
import json
from reference import utils
from reference.utils import img_to_str, str_to_img, Encoder, base64_to_img, img_to_base64str


def _names_member(record, key):
    """Whether `key` names a private or special attribute of the record, or a
    method (or read-only descriptor) of its class: a received payload must not
    replace those. Class defaults such as `encoder` stay assignable."""
    if key[:1] == "_":
        return True
    found = getattr(type(record), key, None)
    if found is None or type(found) is bool:  # nothing of that name, or a plain default
        return False
    for klass in type(record).__mro__:
        if key in klass.__dict__:
            attr = klass.__dict__[key]
            if attr is None or type(attr) is bool:
                return False
            kind = type(attr)
            return callable(attr) or (hasattr(kind, "__get__") and not hasattr(kind, "__set__"))
    return False


def _merge(record, info):
    """update(): take over every non-None value that differs."""
    for k, v in info.items():
        if v is None:
            continue
        if not isinstance(k, str):  # worded alike on every interpreter version
            raise TypeError("hasattr(): attribute name must be string")
        if _names_member(record, k):
            utils.logger.warning(f"Payload key {k!r} not merged: it names a method or private attribute of "
                                 f"{type(record).__name__}")
            continue
        if not hasattr(record, k) or getattr(record, k) != v:
            setattr(record, k, v)


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
        _merge(self, source_info)

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
        _merge(self, module_info)

    def to_dict(self):
        return self.__dict__


class MetaFrameFormat:
    encoder = None
    with_base64 = False

    def __init__(self, **kwargs):
        for k, v in kwargs.items():
            setattr(self, k, v)

    def update(self, frame_format_info):
        _merge(self, frame_format_info)

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
