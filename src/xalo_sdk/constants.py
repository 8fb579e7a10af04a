"""Names shared by every module of one pipeline: Redis key prefixes and tag keys,
and the kit's switches read from the environment."""

import os
import typing as t

_OFF = ("", "0", "false", "no", "off")
_reported: t.Set[t.Tuple[str, str]] = set()  # (name, value) already reported


def setting_refused(name, value, expected, used, at_import=False):
    """The environment variable ``name`` holds ``value``, which is not
    ``expected``, and the kit uses ``used`` instead: a warning through the
    "REDIS" logger, once per value; in development mode, when a module reads
    it at import, ValueError instead."""
    message = f"{name}={value!r} is not {expected}"
    if at_import and STRICT:
        raise ValueError(message)
    message += f"; using {used}"
    if (name, value) not in _reported:
        _reported.add((name, value))
        from xalo_sdk.logging.logger import get_logger

        get_logger("REDIS").warning(message)


def env_flag(name):
    """True when the environment variable ``name`` is set to anything but an
    empty text, "0", "false", "no" or "off" (in any case); another word than
    these or "1", "true", "yes", "on" counts as set, with a warning."""
    value = os.environ.get(name, "")
    on = value.strip().lower() not in _OFF
    if value.strip().lower() not in _OFF + ("1", "true", "yes", "on"):
        setting_refused(name, value, "1 or 0 (true or false, yes or no, on or off)", "1", at_import=True)
    return on


class PREFIX:
    class REDIS:
        # Local keys read "redis_<node_id>_<port>"; status keys "status_<node_id>".
        LOCAL = "redis"
        STATUS = "status"


class KEY:
    # Keys under which the region filter tags a detection's ``info`` mapping.
    ROI_ID = "roi_id"
    ROI_NAME = "roi_name"


# Development mode (XALO_STRICT=1), read once when the kit is first imported:
# calls that would log a mistake and return a neutral result raise instead.
# The kit's modules keep it as their module attribute STRICT, read at each use.
STRICT = False  # until read just below: setting_refused reads it
STRICT = env_flag("XALO_STRICT")
