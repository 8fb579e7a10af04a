"""Types of the payload dictionary that FramePacket builds and parses.

For annotations and type checkers only: the kit builds plain dictionaries.
``PayloadMeta`` names the four keys every metadata block has; entries merged
in from ``ext_info`` are not described.
"""

from typing import Any, Dict, Optional, Union

import numpy as np

try:
    from typing import TypedDict
except ImportError:  # pragma: no cover - Python before 3.8
    from typing_extensions import TypedDict


class PayloadMeta(TypedDict):
    """The metadata block: a time stamp and the records' attribute mappings."""

    ts: float
    source: Dict[str, Any]
    module: Dict[str, Any]
    frame_format: Dict[str, Any]


class Payload(TypedDict):
    """What ``create_frame_packet`` returns (version 1 and later)."""

    meta: PayloadMeta
    result: Any
    frame: Union[None, bytes, str]


class ParsedPayload(TypedDict):
    """What ``parse_frame_packet`` returns (version other than 0): the frame decoded."""

    meta: PayloadMeta
    result: Any
    frame: Optional[np.ndarray]
