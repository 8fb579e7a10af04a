"""Shared pieces of the fuzz targets: start-up limits, input helpers, comparison."""

import inspect
import logging
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

# The oracles are the reference package's modules (tests/reference/).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from reference.compare import Det, Recorder, canon  # noqa: E402,F401


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
