"""Native functions and classes behave like ordinary Python ones."""

import inspect
import pathlib
import pydoc

import numpy as np
import pytest

from xalo_sdk.redis import store_client, utils
from xalo_sdk.redis.store_client import StoreClient


class Recorder:
    def __init__(self):
        self.records = []

    def __getattr__(self, level):
        return lambda msg: self.records.append((level, msg))


@pytest.fixture
def client():
    # Direct mode against a closed port: every test here fails before Redis.
    return StoreClient(thread=False, host="127.0.0.1", port=1)


# Python twins with the same qualified names give the interpreter's own texts.
class Twin:
    class StoreClient:
        def write_frame_packet(self, data, redis_key, ttl=None):
            pass

        def delete_many(self, redis_keys):
            pass


def twin_error(call):
    try:
        call()
    except TypeError as e:
        return str(e).replace("Twin.", "")
    raise AssertionError("no TypeError")


def test_signature_and_introspection():
    f = StoreClient.write_frame_packet
    assert str(inspect.signature(f)) == (
        "(self, data: 'Optional[dict]', redis_key: 'str', ttl: 'Optional[int]' = None) -> 'bool'")
    assert f.__annotations__ == {"data": "Optional[dict]", "redis_key": "str",
                                 "ttl": "Optional[int]", "return": "bool"}
    assert f.__defaults__ == (None,)
    assert f.__kwdefaults__ is None
    assert (f.__name__, f.__qualname__, f.__module__) == (
        "write_frame_packet", "StoreClient.write_frame_packet", "xalo_sdk.redis.store_client")
    assert f.__doc__.startswith("Write video frame to the target redis key. If data is None, deletes the key.")
    assert str(inspect.signature(StoreClient)).startswith("(thread: 'bool' = True, host: 'str' = ")
    f.__dict__["tag"] = 1
    assert f.tag == 1


def test_help_shows_signatures_and_docstrings():
    # help() takes both from inspect and the docstrings; how pydoc lays them
    # out (one line, or broken inside the class's margin) differs by version.
    assert str(inspect.signature(StoreClient.write_data)) == (
        "(self, redis_key: 'str', data: 'Union[str, dict]', ttl: 'Optional[int]' = None) -> 'bool'")
    assert inspect.getdoc(StoreClient).startswith("Represents a redis client specified for the containers.")
    assert inspect.getdoc(StoreClient.read_frame_packet).startswith("Read video frame from a given redis key")
    text = pydoc.render_doc(StoreClient, renderer=pydoc.plaintext)
    margin_free = [line.lstrip(" |") for line in text.splitlines()]
    for doc in (StoreClient, StoreClient.write_data, StoreClient.read_frame_packet):
        assert inspect.getdoc(doc).splitlines()[0] in margin_free


def test_class_is_ordinary_python_class(client):
    assert StoreClient.__module__ == "xalo_sdk.redis.store_client"
    assert type(StoreClient) is type and StoreClient.__bases__ == (object,)
    client.extra = 5
    assert vars(client)["extra"] == 5
    assert client.delete_many.__self__ is client
    assert StoreClient.delete_many(client, []) == 0


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    (({},), {}),
    (({}, "k", 1, 2), {}),
    (({},), {"data": {}}),
    (({}, "k"), {"bogus": 1}),
    ((), {"redis_key": "k"}),
])
def test_wrong_calls_give_python_texts(client, args, kwargs):
    twin = Twin.StoreClient()
    expected = twin_error(lambda: twin.write_frame_packet(*args, **kwargs))
    with pytest.raises(TypeError) as info:
        client.write_frame_packet(*args, **kwargs)
    assert str(info.value) == expected


def resize(img, zoom=1.0, size=None):  # a twin of a function with nothing to check
    pass


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((1, 2, 3, 4), {}), ((1, 2, 3, 4, 5), {}), ((), {"zoom": 2.0}), ((1,), {"img": 1}),
])
def test_positional_binding_gives_python_texts(args, kwargs):
    expected = twin_error(lambda: resize(*args, **kwargs))
    with pytest.raises(TypeError) as info:
        utils.resize(*args, **kwargs)
    assert str(info.value) == expected


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((1.0,), {}), ((1.0, None), {}), ((), {"size": None}), ((2.0, (32, 24)), {}),
])
def test_positional_binding_takes_defaults(args, kwargs):
    img = np.zeros((24, 32, 3), np.uint8)
    assert utils.resize(img, *args, **kwargs) is img


def test_wrong_call_of_one_parameter_method(client):
    twin = Twin.StoreClient()
    for args in [(), ([], [])]:
        expected = twin_error(lambda: twin.delete_many(*args))
        with pytest.raises(TypeError, match=expected.replace("(", r"\(").replace(")", r"\)")):
            client.delete_many(*args)


class StrSub(str):
    pass


class DictSub(dict):
    pass


@pytest.mark.parametrize("call, text", [
    (lambda c: c.write_frame_packet([], "k"), "Argument 'data' has incorrect type (expected dict, got list)"),
    (lambda c: c.write_frame_packet(DictSub(), "k"),
     "Argument 'data' has incorrect type (expected dict, got DictSub). "
     "Note that subclasses of builtin types are refused"),
    (lambda c: c.write_frame_packet({}, StrSub("k")),
     "Argument 'redis_key' has incorrect type (expected str, got StrSub). "
     "Note that subclasses of builtin types are refused"),
    (lambda c: c.write_frame_packet({}, b"k"), "Argument 'redis_key' has incorrect type (expected str, got bytes)"),
    (lambda c: c.write_frame_packet({}, "k", "5"), "Argument 'ttl' has incorrect type (expected int, got str)"),
    (lambda c: c.delete_many(("a",)), "Argument 'redis_keys' has incorrect type (expected list, got tuple)"),
    (lambda c: c._write_(None, "k"), "Argument 'data' has incorrect type (expected dict, got NoneType)"),
    (lambda c: StoreClient(host=None), "Argument 'host' has incorrect type (expected str, got NoneType)"),
    (lambda c: StoreClient(port="6379"), "Argument 'port' has incorrect type (expected int, got str)"),
])
def test_declared_type_refusals(client, call, text):
    with pytest.raises(TypeError) as info:
        call(client)
    assert str(info.value) == text


@pytest.mark.parametrize("thread, expected", [(1, True), ("", False), (None, False), ([0], True)])
def test_bool_parameter_takes_truth_value(thread, expected):
    c = StoreClient(thread=thread, port=1, workers=0)
    assert c._use_thread is expected
    c._shutdown_executor()


@pytest.mark.parametrize("workers, size", [(2.9, 2), (True, 1), (3, 3)])
def test_int_parameter_converts_numbers(workers, size):
    c = StoreClient(port=1, workers=workers)
    assert c._queue.maxsize == size
    c._shutdown_executor()


def test_python_subclass_overrides_are_honoured(redis_conn, redis_server):
    calls = []

    class Sub(StoreClient):
        def read_data(self, redis_key):
            calls.append(redis_key)
            return b'{"x": 1}'

    c = Sub(thread=False, port=redis_server.port)
    assert c.read_frame_packet("k") == {"x": 1}
    assert calls == ["k"]
    assert isinstance(c, StoreClient)


def test_module_globals_are_read_at_each_use(monkeypatch, client):
    rec = Recorder()
    monkeypatch.setattr(store_client, "logger", rec)
    assert client.read_frame_packet("k") is None
    assert rec.records and rec.records[0][0] == "warning"

    class FakeJson:
        @staticmethod
        def dumps(data):
            raise ValueError("fake dumps")

    monkeypatch.setattr(store_client, "orjson", FakeJson)
    with pytest.raises(ValueError, match="fake dumps"):
        client.write_data("k", {"a": 1})


def test_only_exceptions_are_caught():
    class Sub(StoreClient):
        def read_data(self, redis_key):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Sub(thread=False, port=1).read_frame_packet("k")


def test_handler_sees_the_exception_as_being_handled(monkeypatch, client):
    import sys

    seen = []

    class ExcInfoLogger:
        def warning(self, msg):
            seen.append(sys.exc_info()[1])

    monkeypatch.setattr(store_client, "logger", ExcInfoLogger())
    assert client.read_frame_packet("k") is None
    assert isinstance(seen[0], Exception) and seen[0].__traceback__ is not None
    assert sys.exc_info() == (None, None, None)


# ---- sub-interpreters ----------------------------------------------------------------

KIT_MODULES = ["xalo_sdk.redis.store_client", "xalo_sdk.redis.frame_packet", "xalo_sdk.redis.utils",
               "xalo_sdk.roi.zone_filter", "xalo_sdk.debug.leak_probe"]

# Run in a fresh process: imports the kit's modules in a sub-interpreter made
# through one interface, in the main interpreter before (main-first) and
# after, and prints what each side saw as JSON.
SUBINTERPRETER_SCRIPT = r'''
import importlib, json, logging, sys, time
way, kind, order, out = sys.argv[1:5]
MODULES = json.loads(sys.argv[5])

SUB_CODE = """
import json
seen = {}
for name in %r:
    try:
        __import__(name)
        seen[name] = "imported"
    except BaseException as e:
        seen[name] = type(e).__name__ + ": " + str(e)
with open(%r, "w") as f:
    json.dump(seen, f)
""" % (MODULES, out)

def in_sub():
    if way == "_testcapi":
        import _testcapi
        _testcapi.run_in_subinterp(SUB_CODE)
    elif way == "concurrent.interpreters":
        from concurrent import interpreters
        interp = interpreters.create()
        try:
            interp.exec(SUB_CODE)
        finally:
            interp.close()
    else:
        api = importlib.import_module(way)
        if way == "_interpreters":
            interp = api.create(kind)
        elif sys.version_info >= (3, 12):
            interp = api.create(isolated=kind == "isolated")
        else:
            interp = api.create()
        try:
            api.run_string(interp, SUB_CODE)
        finally:
            api.destroy(interp)
    with open(out) as f:
        return json.load(f)

def in_main():
    import numpy, redis
    from xalo_sdk.redis import store_client, frame_packet, utils
    from xalo_sdk.roi import zone_filter
    from xalo_sdk.debug import leak_probe
    client = store_client.StoreClient(thread=False, host="127.0.0.1", port=1)
    seen = {
        "store_client": isinstance(client._redis_client, redis.StrictRedis)
                        and store_client.logger is logging.getLogger("REDIS"),
        "frame_packet": frame_packet.time is time
                        and frame_packet.FramePacket(0, {"id": "a"}).create_frame_packet()["result"] == [],
        "utils": utils.np is numpy and utils.gen_redis_key_local("a", 0) == "redis_a_0",
        "zone_filter": zone_filter.np is numpy
                       and zone_filter.ZoneFilter([{"include": True, "points": []}]).filter_in_roi([]) == [],
        "leak_probe": leak_probe.logging is logging and leak_probe.LeakProbeManager().tracemalloc_check(),
    }
    # Imported once more, a module is the one already made, not a second set-up.
    for name in MODULES:
        before = sys.modules.pop(name)
        seen[name + " again"] = importlib.import_module(name) is before
    return seen

report = {"main before": in_main()} if order == "main-first" else {}
report["sub"] = in_sub()
report["main after"] = in_main()
print(json.dumps(report))
'''


def subinterpreter_way(way, kind):
    """Why this interpreter cannot make the sub-interpreter, or None when it can."""
    import importlib.util
    import sys

    if importlib.util.find_spec(way.split(".")[0]) is None or (
            way == "concurrent.interpreters" and importlib.util.find_spec(way) is None):
        return f"{way} is not offered by Python {sys.version_info[0]}.{sys.version_info[1]}"
    if kind == "isolated" and way == "_xxsubinterpreters" and sys.version_info < (3, 12):
        return "sub-interpreters share the main interpreter's GIL before Python 3.12"
    return None


@pytest.mark.parametrize("order", ["sub-first", "main-first"])
@pytest.mark.parametrize("way, kind", [
    ("_testcapi", "legacy"), ("_xxsubinterpreters", "legacy"), ("_xxsubinterpreters", "isolated"),
    ("_interpreters", "legacy"), ("_interpreters", "isolated"), ("concurrent.interpreters", "isolated"),
])
def test_sub_interpreter_import_is_refused(tmp_path, way, kind, order):
    import json
    import subprocess
    import sys

    reason = subinterpreter_way(way, kind)
    if reason:
        pytest.skip(reason)
    try:
        run = subprocess.run([sys.executable, "-c", SUBINTERPRETER_SCRIPT, way, kind, order,
                              str(tmp_path / "sub.json"), json.dumps(KIT_MODULES)],
                             capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("the import in a sub-interpreter hangs")
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout.splitlines()[-1])
    for name, outcome in report["sub"].items():
        if kind == "isolated" and sys.version_info >= (3, 13):
            # CPython refuses a module declared unfit for sub-interpreters itself.
            assert outcome == f"ImportError: module {name} does not support loading in subinterpreters"
        else:
            assert outcome == f"ImportError: {name} runs in the main interpreter only, not in a sub-interpreter"
    for side in ("main before", "main after"):
        assert all(report.get(side, {True: True}).values()), report


# A function body reads its arguments by the names its parameter list gives;
# a declaration or a read that does not follow that list must not compile.
NAMED_PARAMS_SOURCE = r"""
#include "core/xcore.hpp"
namespace py = pybind11;
namespace {
XALO_FUNCTION(probe, self, version, frame) { return xcore::ref::borrow(a[%(read)s]); }
}
void declare_probe() {
    py::object f = xcore::declare<probe>("probe")%(declaration)s.build("probe", py::str("m"));
}
"""


# The checks of the C++ sources need the source tree beside the tests; the
# emulated board's test tree holds the tests alone.
SOURCES = pathlib.Path(__file__).resolve().parents[1]
needs_sources = pytest.mark.skipif(not (SOURCES / "native").is_dir() or not (SOURCES / "tools").is_dir(),
                                   reason="the kit's sources are not beside the tests")


@needs_sources
@pytest.mark.parametrize("read, declaration, error", [
    ("p::frame", ".arg<probe::p::self>().arg<probe::p::version>(nullptr, py::int_(1))"
                 ".arg<probe::p::frame>(nullptr, py::none())", None),
    ("p::frame", ".arg<probe::p::self>().arg<probe::p::frame>().arg<probe::p::version>()",
     "declared once each, in the order of the function's list"),
    ("p::frame", ".arg<probe::p::self>().arg<probe::p::self>().arg<probe::p::version>()",
     "declared once each, in the order of the function's list"),
    ("p::frame", ".arg<probe::p::self>().arg<probe::p::version>()",
     "leaves out parameters of the function's list"),
    ("2", ".arg<probe::p::self>().arg<probe::p::version>().arg<probe::p::frame>()", "invalid conversion from"),
])
def test_parameters_follow_their_list_or_do_not_compile(tmp_path, read, declaration, error):
    import pathlib
    import shutil
    import subprocess
    import sysconfig

    pybind11 = pytest.importorskip("pybind11")
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    source = tmp_path / "probe.cpp"
    source.write_text(NAMED_PARAMS_SOURCE % {"read": read, "declaration": declaration})
    native = pathlib.Path(__file__).resolve().parents[1] / "native"
    run = subprocess.run([compiler, "-std=c++17", "-fsyntax-only", f"-I{native}",
                          f"-I{pybind11.get_include()}", f"-I{sysconfig.get_paths()['include']}", str(source)],
                         capture_output=True, text=True, timeout=120)
    if error is None:
        assert run.returncode == 0, run.stderr
    else:
        assert run.returncode != 0 and error in run.stderr, run.stderr


@needs_sources
@pytest.mark.parametrize("line, breach", [
    ("    Py_DECREF(obj);", "raw reference counting"),
    ("    Py_XSETREF(slot, value);", "raw reference counting"),
    ("    auto o = py::reinterpret_steal<py::object>(p);", "pybind11 ownership cast"),
    ("    PyBuffer_Release(&view);", "hand-held buffer"),
    ("ref body(py::handle x) { py::object y = x.attr(\"y\"); return y; }", "pybind11 object on a call path"),
    ("XALO_MODULE(m, \"pkg.m\", mod) {\n    py::object seen = mod;\n}", None),
    ("// Py_DECREF in a comment, \"Py_INCREF\" in a text", None),
])
def test_ownership_check_flags_hand_held_references(tmp_path, line, breach):
    import pathlib
    import subprocess
    import sys

    script = pathlib.Path(__file__).resolve().parents[1] / "tools" / "check_ownership.py"
    source = tmp_path / "module.cpp"
    source.write_text(line + "\n")
    run = subprocess.run([sys.executable, str(script), str(source)], capture_output=True, text=True, timeout=60)
    assert (run.returncode, breach is not None and breach in run.stdout) == ((1, True) if breach else (0, False))


@needs_sources
def test_module_sources_hold_references_through_the_core_only():
    import pathlib
    import subprocess
    import sys

    script = pathlib.Path(__file__).resolve().parents[1] / "tools" / "check_ownership.py"
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout
