"""The README's quick start runs as written against the session's redis-server."""

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def code_after(heading, page=README):
    text = page.read_text(encoding="utf-8")
    section = text.split(heading, 1)[1].split("\n## ", 1)[0]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def quick_start():
    return code_after("## Quick start")


def test_quick_start_runs(monkeypatch, capsys, redis_server):
    monkeypatch.setenv("REDIS_HOST", "127.0.0.1")
    monkeypatch.setenv("REDIS_PORT", str(redis_server.port))
    code = quick_start()
    exec(compile(code, str(README), "exec"), {"__name__": "readme"})
    # The snippet's own comment states what it prints.
    expected = re.search(r"^# (\(480.*)$", code, re.M).group(1)
    assert capsys.readouterr().out.strip() == expected


def test_quick_start_passes_strict_type_checking(tmp_path):
    pytest.importorskip("mypy", reason="mypy is a test extra; the emulated board has none")
    script = tmp_path / "quick_start.py"
    script.write_text(quick_start(), encoding="utf-8")
    # The docs pages' Python too, each block a module of its own.
    # (A block whose imports this interpreter lacks, an extra's, is left out.)
    blocks = [code for page in sorted((README.parent / "docs").glob("*.md"))
              for code in re.findall(r"```python\n(.*?)```", page.read_text(encoding="utf-8"), re.S)
              if all(importlib.util.find_spec(m) for m in re.findall(r"^(?:from|import) (\w+)", code, re.M))]
    for n, code in enumerate(blocks):
        (tmp_path / f"docs_block_{n}.py").write_text(code, encoding="utf-8")
    # The kit's own types are checked; redis-py annotates some of its methods
    # only from one release on (pubsub is untyped in 7.0, the last for 3.9).
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          "--untyped-calls-exclude=redis",
                          "--cache-dir", str(tmp_path / "cache"), str(script),
                          *(str(tmp_path / f"docs_block_{n}.py") for n in range(len(blocks)))],
                         capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


TYPED = """
from xalo_sdk.redis import utils
from xalo_sdk.redis.store_client import StoreClient
from xalo_sdk.roi.zone_filter import ZoneFilter
client = StoreClient(thread=False)
reveal_type(client.read_data("k"))
reveal_type(client.read_frame_packet("k"))
reveal_type(client.stats())
reveal_type(client.subscribe("k").stats())
reveal_type(ZoneFilter().filter_in_roi([1.5]))
reveal_type(utils.shm_figures())
"""


def test_reads_counts_and_the_filter_have_precise_types(tmp_path):
    pytest.importorskip("mypy", reason="mypy is a test extra; the emulated board has none")
    script = tmp_path / "typed.py"
    script.write_text(TYPED, encoding="utf-8")
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          "--cache-dir", str(tmp_path / "cache"), str(script)],
                         capture_output=True, text=True, timeout=600, cwd=tmp_path)
    revealed = [line.split("Revealed type is ", 1)[1].strip('"').replace("builtins.", "")
                for line in run.stdout.splitlines() if "Revealed type is" in line]
    wanted = [("bytes", "None"), ("Payload", "None"), ("WriteStats",), ("SubscriptionStats",), ("list[float]",),
              ("ShmFigures",)]
    assert len(revealed) == len(wanted), run.stdout
    assert all(all(w in r for w in ws) for r, ws in zip(revealed, wanted)), run.stdout


def test_per_frame_source_leaves_queued_payloads_alone():
    import numpy as np

    from xalo_sdk.redis.frame_packet import FramePacket

    scope = {}
    exec(compile(code_after("**Frame number and capture time**"), str(README), "exec"), scope)
    packet = FramePacket(0, {"id": "det-1", "type": "detector"}, {"id": "cam-1", "type": "camera"}, 0)
    record = packet.meta.source.to_dict()
    image = np.zeros((8, 8, 3), np.uint8)
    queued = [scope["build"](packet, n, 1000.0 + n, image, [{"n": n}]) for n in range(3)]
    for n, payload in enumerate(queued):  # each as built, though later frames followed
        source = payload["meta"]["source"]
        assert (source["frame_id"], source["ts"], payload["result"]) == (n, 1000.0 + n, [{"n": n}])
        assert list(source) == list(record) and list(payload["meta"])[:2] == ["ts", "source"]
    assert record["frame_id"] is None and record["ts"] not in (1000.0, 1001.0, 1002.0)  # the record too


def test_wheel_name_matches_the_version():
    pyproject = (README.parent / "pyproject.toml").read_text(encoding="utf-8")
    version = re.search(r'^version = "([^"]+)"', pyproject, re.M).group(1)
    wheels = re.findall(r"xalo_sdk-([^-\s]+)-cp\w+-\w+-\w+\.whl", README.read_text(encoding="utf-8"))
    assert wheels and set(wheels) == {version}


def test_consumer_loop_of_the_docs_runs(redis_server):
    import threading
    import time

    from xalo_sdk.redis.store_client import StoreClient

    scope = {}
    exec(compile(code_after("# Consumers", README.parent / "docs" / "consumers.md"), "consumers.md", "exec"), scope)
    got, stop = [], threading.Event()
    reader = StoreClient(thread=False, host="127.0.0.1", port=redis_server.port)
    loop = threading.Thread(target=scope["consume"], args=(reader, ["redis_c_0"], lambda k, p: got.append((k, p)), stop))
    loop.start()
    try:
        writer = StoreClient(thread=False, host="127.0.0.1", port=redis_server.port)
        deadline = time.monotonic() + 10
        while not got and time.monotonic() < deadline:  # until the loop has subscribed
            writer.write_frame_packet({"meta": {}, "result": [1], "frame": None}, "redis_c_0")
            time.sleep(0.1)
        assert got and got[0][0] == "redis_c_0" and got[0][1]["result"] == [1]
    finally:
        stop.set()
        loop.join(5)
    assert not loop.is_alive()


@pytest.mark.parametrize("page", sorted((README.parent / "docs").glob("*.md")), ids=lambda p: p.name)
def test_docs_page_is_linked_and_its_python_compiles(page):
    # The README stays the way in; the pages' runnable parts run in their own tests.
    assert f"(docs/{page.name})" in README.read_text(encoding="utf-8")
    for code in re.findall(r"```python\n(.*?)```", page.read_text(encoding="utf-8"), re.S):
        compile(code, str(page), "exec")
