"""What the "REDIS" log says over an outage: a redis-server of the test's own
is stopped while a producer writes in bursts, then started again."""

import re
import time

import pytest

from xalo_sdk.redis import store_client
from xalo_sdk.redis.store_client import StoreClient

FIRST = re.compile(r"^Failed to write data to redis`cam` - \w+Error: [^\n]{1,300} \(further failures: a summary at "
                   r"most every 1\.0 s\)$")
SUMMARY = re.compile(r"^(\d+) writes failed in (\d+\.\d) s(?:, (\d+) displaced)?: \w+Error: [^\n]{1,300}$")
RECOVERED = re.compile(r"^Writes stored again after (\d+\.\d) s, (\d+) failed meanwhile(?:, (\d+) displaced)?$")


@pytest.mark.parametrize("episodes", [False, True], ids=["line-per-failure", "by-episode"])
def test_outage_log_lines(own_redis, monkeypatch, episodes):
    lines = []

    class Log:
        def error(self, msg):
            lines.append(("error", msg))

        def warning(self, msg):
            lines.append(("warning", msg))

    monkeypatch.setattr(store_client, "logger", Log())
    if episodes:
        monkeypatch.setenv("XALO_LOG_EPISODES", "1")
        monkeypatch.setenv("XALO_LOG_EPISODE_SECONDS", "1")
    client = StoreClient(host="127.0.0.1", port=own_redis.port)

    def produce(seconds):  # bursts of three: the queue of two displaces some
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for _ in range(3):
                client.write_frame_packet({"a": 1}, "cam")
            time.sleep(0.03)
        assert client.flush(10)

    produce(0.3)
    own_redis.stop()
    produce(2.6)
    before = client.stats()
    own_redis.start()
    produce(0.3)
    stats = client.stats()
    client.close()
    assert stats["failed"] == before["failed"] > 20 and stats["stored"] > before["stored"]

    if not episodes:  # the default: the full line for every failed write, nothing else
        assert len(lines) == stats["failed"]
        assert all(level == "error" and msg.startswith("Failed to write data to redis`cam` - Error ")
                   for level, msg in lines[1:])
        return
    assert FIRST.match(lines[0][1]), lines[0]
    summaries = [SUMMARY.match(msg) for _, msg in lines[1:-1]]
    assert all(summaries) and 1 <= len(summaries) <= 3, lines
    recovered = RECOVERED.match(lines[-1][1])
    assert recovered and lines[-1][0] == "warning", lines[-1]
    assert 2.4 <= float(recovered.group(1)) <= 5.0
    # The recovery line counts the whole episode, the summaries what came before them.
    assert int(recovered.group(2)) == stats["failed"] > 1 + sum(int(m.group(1)) for m in summaries)
    # Displaced writes of the outage are in the lines, bounded by the count.
    displaced = int(recovered.group(3) or 0)
    assert 0 < displaced <= stats["displaced"]
    assert sum(int(m.group(3) or 0) for m in summaries) <= displaced
