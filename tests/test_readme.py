"""The README's quick start runs as written against the session's redis-server."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def quick_start():
    text = README.read_text(encoding="utf-8")
    section = text.split("## Quick start", 1)[1].split("\n## ", 1)[0]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_quick_start_runs(monkeypatch, capsys, redis_server):
    monkeypatch.setenv("REDIS_HOST", "127.0.0.1")
    monkeypatch.setenv("REDIS_PORT", str(redis_server.port))
    code = quick_start()
    exec(compile(code, str(README), "exec"), {"__name__": "readme"})
    # The snippet's own comment states what it prints.
    expected = re.search(r"^# (\(480.*)$", code, re.M).group(1)
    assert capsys.readouterr().out.strip() == expected
