"""Metadata records of a frame and the payload dictionary that pipeline modules exchange."""

import json as json
import time as time
from typing import Any, Dict, Literal, Mapping, Optional, Union, overload

import numpy as np

from xalo_sdk.redis.payload_types import ParsedPayload, Payload

from xalo_sdk.redis.utils import (
    Encoder as Encoder,
    base64_to_img as base64_to_img,
    img_to_base64str as img_to_base64str,
    img_to_str as img_to_str,
    str_to_img as str_to_img,
)

class MetaSource:
    """The upstream source of the frames: node, output port and names."""

    id: Any
    type: Any
    name: Any
    source_name: Any
    source_key: Optional[str]
    output_port_idx: Any
    frame_id: Any
    ts: Optional[float]

    def __init__(self, src_node: Optional[Mapping[str, Any]] = None, src_output_port: Any = None,
                 src_name: Any = None) -> None: ...
    def update(self, source_info: Mapping[str, Any]) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...

class MetaModule:
    """The module that handles the frames, and its input port."""

    id: Any
    type: Any
    feed_port_idx: Any

    def __init__(self, cur_node: Optional[Mapping[str, Any]] = None, feed_port_idx: Any = None) -> None: ...
    def update(self, module_info: Mapping[str, Any]) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...

class MetaFrameFormat:
    """How the frame is encoded: encoder name and Base64 switch."""

    encoder: Optional[str]
    with_base64: bool

    def __init__(self, **kwargs: Any) -> None: ...
    def update(self, frame_format_info: Mapping[str, Any]) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...

class Meta:
    """The metadata of a link: this module, the upstream source, the frame format."""

    ts: float
    module: MetaModule
    source: MetaSource
    frame_format: MetaFrameFormat

    def __init__(self, cur_node: Optional[Mapping[str, Any]], feed_idx: Any,
                 src_node: Optional[Mapping[str, Any]], src_port: Any, src_name: Any) -> None: ...
    def update_source(self, source_info: Optional[Mapping[str, Any]] = None) -> None: ...
    def update_frame_format(self, frame_format_info: Optional[Mapping[str, Any]] = None) -> None: ...
    def update_module(self, module_info: Optional[Mapping[str, Any]] = None) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...

class FramePacket:
    """Builds the payload of a module's output and parses payloads received."""

    frame: Any
    result: Any
    meta: Meta

    def __init__(self, feed_idx: Any, cur_node: Optional[Mapping[str, Any]],
                 src_node: Optional[Mapping[str, Any]] = None, src_port: Any = None,
                 src_name: Any = None) -> None: ...
    @overload
    def create_frame_packet(self, version: Literal[0], ext_info: Any = None, result: Any = None,
                            frame: Optional[np.ndarray] = None, encoder: Optional[str] = ...,
                            with_base64: Optional[bool] = False) -> Optional[bytes]: ...
    @overload
    def create_frame_packet(self, version: Literal[1] = 1, ext_info: Any = None, result: Any = None,
                            frame: Optional[np.ndarray] = None, encoder: Optional[str] = ...,
                            with_base64: Optional[bool] = False) -> Payload: ...
    @overload
    def create_frame_packet(self, version: Any = 1, ext_info: Any = None, result: Any = None,
                            frame: Optional[np.ndarray] = None, encoder: Optional[str] = ...,
                            with_base64: Optional[bool] = False) -> Union[None, bytes, Payload]: ...
    @overload
    def parse_frame_packet(self, data: bytes, version: Literal[0], encoder: Optional[str] = None,
                           with_base64: Optional[bool] = None) -> Optional[np.ndarray]: ...
    @overload
    def parse_frame_packet(self, data: Union[bytes, Payload, Mapping[str, Any]], version: Literal[1] = 1,
                           encoder: Optional[str] = None, with_base64: Optional[bool] = None) -> ParsedPayload: ...
    @overload
    def parse_frame_packet(self, data: Union[bytes, Payload, Mapping[str, Any]], version: Any = 1,
                           encoder: Optional[str] = None,
                           with_base64: Optional[bool] = None) -> Union[None, np.ndarray, ParsedPayload]: ...
