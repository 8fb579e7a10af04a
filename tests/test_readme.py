"""The README's quick start runs as written against the session's redis-server."""

import pathlib
import re
import subprocess
import sys

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


def test_quick_start_passes_strict_type_checking(tmp_path):
    script = tmp_path / "quick_start.py"
    script.write_text(quick_start(), encoding="utf-8")
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          "--cache-dir", str(tmp_path / "cache"), str(script)],
                         capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
