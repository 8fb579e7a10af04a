"""Names shared by every module of one pipeline: Redis key prefixes and tag keys,
and the kit's switches read from the environment."""

import os


def env_flag(name):
    """True when the environment variable ``name`` is set to anything but an
    empty text, "0", "false", "no" or "off" (in any case)."""
    return os.environ.get(name, "").strip().lower() not in ("", "0", "false", "no", "off")


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
STRICT = env_flag("XALO_STRICT")
