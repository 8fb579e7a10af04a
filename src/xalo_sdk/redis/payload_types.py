"""Types of the payload dictionary that FramePacket builds and parses.

For annotations and type checkers only: the kit builds plain dictionaries.
``PayloadMeta`` names the four keys every metadata block has; entries merged
in from ``ext_info`` are not described.
"""

# Only the three classes are the module's names: the typing helpers are
# reached through their modules, so that stubtest sees no stray exports.
import typing as t

import numpy as np


class PayloadMeta(t.TypedDict):
    """The metadata block: a time stamp and the records' attribute mappings."""

    ts: float
    source: t.Dict[str, t.Any]
    module: t.Dict[str, t.Any]
    frame_format: t.Dict[str, t.Any]


class Payload(t.TypedDict):
    """What ``create_frame_packet`` returns (version 1 and later)."""

    meta: PayloadMeta
    result: t.Any
    frame: t.Union[None, bytes, str]


class ParsedPayload(t.TypedDict):
    """What ``parse_frame_packet`` returns (version other than 0): the frame decoded."""

    meta: PayloadMeta
    result: t.Any
    frame: t.Optional[np.ndarray]
