"""The stubs are the one written form of each native signature: every public
function and method of the five native modules takes the parameters its stub
declares (names, order, kinds, defaults), and where the module refuses a
type on entry the stub declares no other."""

import importlib
import inspect
import pathlib
import re
import types
import typing

import pytest

MODULES = ["xalo_sdk.redis.store_client", "xalo_sdk.redis.frame_packet", "xalo_sdk.redis.utils",
           "xalo_sdk.roi.zone_filter", "xalo_sdk.debug.leak_probe"]
# The annotations the native functions check on entry, and the type each accepts.
CHECKED = {"str": str, "bytes": bytes, "dict": dict, "list": list}


def native(obj):
    return type(obj).__name__ == "native_function"


def functions(module):
    """(qualified name, runtime function, stub function) of the module's native functions."""
    stub = types.ModuleType(module.__name__ + "_stub")
    stub.__dict__["__builtins__"] = __builtins__
    path = pathlib.Path(module.__file__).with_name(module.__name__.rpartition(".")[2] + ".pyi")
    # Without @overload the last definition stays: the general one.
    text = re.sub(r"^(\s*)@overload$", r"\1", path.read_text(), flags=re.M)
    exec(compile(text, str(path), "exec"), stub.__dict__)
    for name, obj in vars(module).items():
        if getattr(obj, "__module__", None) != module.__name__ or (name.startswith("_") and not hasattr(stub, name)):
            continue  # imported, or private and undeclared
        if native(obj):
            yield name, obj, getattr(stub, name, None)
        elif isinstance(obj, type):
            for attr, member in vars(obj).items():
                fn = member.__func__ if isinstance(member, (classmethod, staticmethod)) else member
                if native(fn) and (not attr.startswith("_") or attr.startswith("__") or hasattr(getattr(stub, name, None), attr)):
                    stub_member = inspect.getattr_static(getattr(stub, name, None), attr, None)
                    if isinstance(stub_member, (classmethod, staticmethod)):
                        stub_member = stub_member.__func__
                    yield f"{name}.{attr}", fn, stub_member


def parameters(fn):
    return [(p.name, p.kind, p.default is inspect.Parameter.empty) for p in inspect.signature(fn).parameters.values()]


def disagreements(name, fn, stub_fn):
    if stub_fn is None:
        return [f"{name}: not in the stub"]
    said = []
    if parameters(fn) != parameters(stub_fn):
        said.append(f"{name}: {inspect.signature(fn)} at run time, {inspect.signature(stub_fn)} in the stub")
    hints = typing.get_type_hints(stub_fn)
    for p in inspect.signature(fn).parameters.values():
        stub_default = inspect.signature(stub_fn).parameters.get(p.name, p).default
        if stub_default is not ... and stub_default != p.default:
            said.append(f"{name}({p.name}): default {p.default!r} at run time, {stub_default!r} in the stub")
        text = fn.__annotations__.get(p.name, "")
        optional = text.startswith("Optional[")
        accepted = CHECKED.get(text[9:-1] if optional else text)
        if accepted is None or p.name not in hints:
            continue
        members = typing.get_args(hints[p.name]) if typing.get_origin(hints[p.name]) is typing.Union else (hints[p.name],)
        allowed = [typing.get_origin(m) or m for m in members if m is not type(None)]
        if optional != (type(None) in members) or not all(isinstance(m, type) and issubclass(m, accepted) for m in allowed):
            said.append(f"{name}({p.name}): {text} at run time, {hints[p.name]} in the stub")
    return said


@pytest.mark.parametrize("module_name", MODULES)
def test_stubs_declare_the_native_signatures(module_name):
    module = importlib.import_module(module_name)
    found = [line for args in functions(module) for line in disagreements(*args)]
    assert not found, "\n".join(found)
