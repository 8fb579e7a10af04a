"""Shared pieces of the fuzz targets: start-up limits, input helpers, comparison."""

import inspect
import logging
import math
import os
import sys

# Images whose header claims a huge size must be refused, not decoded into a
# few gigabytes of memory: the kit's limit is set low here, and OpenCV's own
# limit sits above it as a second guard. Both are read before the modules load.
KIT_PIXEL_LIMIT = int(os.environ.setdefault("XALO_MAX_IMAGE_PIXELS", str(1 << 20)))
os.environ.setdefault("OPENCV_IO_MAX_IMAGE_PIXELS", str(KIT_PIXEL_LIMIT * 4))
# Undecodable data is the normal case here; OpenCV need not report each one.
os.environ.setdefault("OPENCV_LOG_LEVEL", "OFF")

# Failures the targets provoke on purpose would flood the log.
logging.disable(logging.CRITICAL)

import atheris  # noqa: E402
import numpy as np  # noqa: E402


class Recorder:
    """Stands in for a module logger; keeps what was logged."""

    def __init__(self):
        self.records = []

    def warning(self, msg, *args):
        self.records.append(("warning", msg, args))

    def error(self, msg, *args, **kwargs):
        self.records.append(("error", msg, args))

    info = debug = warning


def canon(value):
    """A comparable, order-preserving form of a result.

    NaN compares equal to itself here, arrays compare by dtype, shape and
    bytes, and every value keeps its exact type, so 1, 1.0 and True differ.
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
        return ("exception", type(value).__name__)
    return (type(value).__name__, repr(value))


def outcome(fn, *args, **kwargs):
    """Run fn; return ("ok", result) or ("raised", exception type name)."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as e:  # noqa: BLE001 - the exception is the outcome
        return ("raised", type(e).__name__)


def brief(value, limit=600):
    """A short text of a value: arrays by shape and type, long texts cut."""
    np.set_printoptions(threshold=20, edgeitems=2)
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + f"... ({len(text)} characters)"


def mismatch(what, native, reference, data):
    """Stop the run with both sides shown; libFuzzer saves the input."""
    raise AssertionError(f"{what} differs for input {brief(bytes(data), 300)}\n"
                         f"  native:    {brief(native)}\n  reference: {brief(reference)}")


def pick(fdp, choices):
    return choices[fdp.ConsumeIntInRange(0, len(choices) - 1)]


def instrument_module(module):
    """Coverage instrumentation for the functions and methods defined in module."""
    for name, obj in list(vars(module).items()):
        if getattr(obj, "__module__", None) != module.__name__:
            continue
        if inspect.isfunction(obj):
            setattr(module, name, atheris.instrument_func(obj))
        elif inspect.isclass(obj):
            for attr, fn in list(vars(obj).items()):
                if inspect.isfunction(fn):
                    setattr(obj, attr, atheris.instrument_func(fn))


def run(test_one_input):
    # Coverage of the harness and its reference (and of the kit's Python
    # modules, imported under instrument_imports) guides the mutations. The
    # native modules are not instrumented, nor are the large libraries: that
    # takes minutes at start-up and adds little.
    main = sys.modules["__main__"]
    instrument_module(main)
    instrument_module(sys.modules[__name__])
    atheris.Setup(sys.argv, main.test_one_input)
    atheris.Fuzz()
