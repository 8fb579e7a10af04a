"""Names shared by every module of one pipeline: Redis key prefixes and tag keys."""


class PREFIX:
    class REDIS:
        # Local keys read "redis_<node_id>_<port>"; status keys "status_<node_id>".
        LOCAL = "redis"
        STATUS = "status"


class KEY:
    # Keys under which the region filter tags a detection's ``info`` mapping.
    ROI_ID = "roi_id"
    ROI_NAME = "roi_name"
