"""Comparable forms of results and logged messages, for kit-against-reference checks."""

import math

import numpy as np


def canon(value):
    """A comparable, order-preserving form of a result.

    NaN compares equal to itself here, arrays compare by dtype, shape and
    bytes, every value keeps its exact type (so 1, 1.0 and True differ), and
    an exception compares by its type and text.
    """
    if isinstance(value, dict):
        return ("dict", type(value).__name__,
                tuple((canon(k), canon(v)) for k, v in value.items()))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(canon(v) for v in value))
    if isinstance(value, np.ndarray):
        return ("ndarray", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else value.hex())
    if isinstance(value, BaseException):
        return ("exception", type(value).__name__, str(value))
    return (type(value).__name__, repr(value))


def outcome(fn, *args, **kwargs):
    """Run fn; return ("ok", result) or ("raised", exception type name, text)."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as e:  # noqa: BLE001 - the exception is the outcome
        return ("raised", type(e).__name__, str(e))


class Recorder:
    """Stands in for a module logger; keeps what was logged, in comparable form."""

    def __init__(self):
        self.records = []

    def warning(self, msg, *args):
        self.records.append(("warning", canon(msg), args))

    def error(self, msg, *args, **kwargs):
        self.records.append(("error", canon(msg), args))

    info = debug = warning


class Det:
    """A detection-like object for both filters: tlwh and info only when given."""

    def __init__(self, idx, tlwh, info):
        self.idx = idx
        if tlwh is not None:
            self.tlwh = tlwh
        if info is not None:
            self.info = info
