"""StoreClient.subscribe: notifications that survive a lost, frozen or failed-over server."""

import re
import signal
import threading
import time
from datetime import datetime

import pytest
import redis

import redis_servers as rs
from xalo_sdk.redis.store_client import StoreClient


def heard(sub, key, timeout):
    """Waits for a real notification of `key` (not a key given again after a gap)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        before = sub.stats()["notifications"]
        if sub.get(0.1) == key and sub.stats()["notifications"] > before:
            return True
    return False


@pytest.mark.parametrize("fault", ["restart", "freeze"])
def test_a_subscription_rides_out_a_lost_server(own_redis, fault):
    c = StoreClient(thread=False, host="127.0.0.1", port=own_redis.port)
    with c.subscribe(["k1", "k2"], idle=0.3) as sub:
        c.write_data("k2", "v")
        assert sub.get(5) == "k2" and sub.get(0.2) is None
        if fault == "restart":
            own_redis.restart()
        else:  # nothing on the socket says so: only the idle check can tell
            own_redis.proc.send_signal(signal.SIGSTOP)
            assert sub.get(1.5) is None and sub.stats()["gaps"] == 1
            own_redis.proc.send_signal(signal.SIGCONT)
        # After the gap each key once, then the stores that follow.
        assert sorted([sub.get(10), sub.get(1)]) == ["k1", "k2"]
        c.write_data("k1", "v")
        assert sub.get(5) == "k1"
        stats = sub.stats()
        assert (stats["notifications"], stats["gaps"], stats["reconnects"], stats["connected"]) == (2, 1, 1, True)
    assert sub.get(0) is None and list(sub) == []


def switch_time(sentinels):
    """Wall-clock time of the first +switch-master among the Sentinels' logs."""
    times = []
    for s in sentinels:
        m = re.search(r"(\d+ \w+ \d{4} [\d:.]+) # \+switch-master", s.output())
        if m:
            times.append(datetime.strptime(m.group(1), "%d %b %Y %H:%M:%S.%f").timestamp())
    return min(times) if times else None


def test_a_subscription_follows_a_frozen_master_to_the_new_one(tmp_path):
    down_after = 1.0
    s = rs.SentinelSet(str(tmp_path), sentinels=3, down_after=int(down_after * 1000))
    stop = threading.Event()
    try:
        # A producer that gives up on a write to the frozen master quickly.
        producer = StoreClient.from_url(s.url(), thread=False, socket_timeout=0.3)
        consumer = StoreClient.from_url(s.url(), thread=False)
        sub = consumer.subscribe("fo")
        producer.write_data("fo", "0")
        assert sub.get(5) == "fo"

        def produce():
            while not stop.is_set():
                try:
                    producer.write_data("fo", "n")
                except redis.RedisError:
                    pass
                time.sleep(0.02)

        old = s.master if s.sentinel_master() == s.master.port else s.replica
        old.proc.send_signal(signal.SIGSTOP)  # as a board that lost power looks from outside
        frozen = time.time()
        writer = threading.Thread(target=produce, daemon=True)
        writer.start()
        assert heard(sub, "fo", 30), [x.output() for x in s.sentinels]
        first = time.time()
        switch = switch_time(s.sentinels)
        assert switch is not None and s.sentinel_master() != old.port
        print(f"\nfrozen -> switch {switch - frozen:.2f} s, switch -> first notification {first - switch:.2f} s")
        assert first - switch < 2 * down_after + 0.5
        stats = sub.stats()
        assert stats["gaps"] == 1 and stats["reconnects"] == 1
        sub.close()
    finally:
        stop.set()
        for x in s.servers():
            if x.proc is not None:
                x.proc.send_signal(signal.SIGCONT)
            x.stop()
