"""Look at the payload under a Redis key: ``python -m xalo_sdk.peek KEY``.

Prints the payload's metadata as a tree and a summary of its result, and saves
its frame as a PNG; with --watch, follows the key's "_notify" channel and
prints one line per stored frame until Ctrl-C.
"""

import argparse
import collections
import datetime
import os
import re
import reprlib
import sys
import time


class PeekError(Exception):
    """Ends the tool with a one-line message."""


# Characters a terminal acts on (escape sequences, bidirectional overrides):
# a payload's text is shown with them escaped, never sent to the terminal.
_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f\u200b-\u200f\u2028-\u202e\u2066-\u2069]")


def say(text, file=None, flush=False):
    """print() of one line, with the terminal's control characters escaped."""
    text = _CONTROL.sub(lambda m: f"\\x{ord(m.group()):02x}" if ord(m.group()) < 256
                        else f"\\u{ord(m.group()):04x}", str(text))
    print(text, file=file or sys.stdout, flush=flush)


def parse_args(argv):
    p = argparse.ArgumentParser(prog="python -m xalo_sdk.peek", description=__doc__.split("\n\n")[0])
    p.add_argument("key", help="Redis key of the payload, for example redis_det-1_0")
    p.add_argument("--url", default=None,
                   help="Redis URL, as StoreClient.from_url takes it (default: REDIS_URL, unless --host or "
                        "--port is given)")
    p.add_argument("--host", default=None, help="Redis host (default: REDIS_HOST, else localhost)")
    p.add_argument("--port", type=int, default=None,
                   help="Redis port (default: REDIS_PORT, else 6379)")
    p.add_argument("--output", metavar="PATH", help="where to save the frame (default: KEY.png)")
    p.add_argument("--no-frame", action="store_true", help="do not save the frame")
    p.add_argument("--watch", action="store_true", help="print one line per stored frame until Ctrl-C")
    p.add_argument("--count", type=int, default=0, metavar="N", help="with --watch, stop after N frames")
    opts = p.parse_args(argv)
    if opts.url is None and opts.host is None and opts.port is None:
        opts.url = os.environ.get("REDIS_URL") or None
    if opts.host is None:
        opts.host = os.environ.get("REDIS_HOST") or "localhost"
    if opts.port is None:
        try:
            opts.port = int(os.environ.get("REDIS_PORT") or 6379)
        except ValueError:
            p.error("REDIS_PORT is not a port number")
    return opts


# ---- reading ------------------------------------------------------------------------

def read_payload(client, key, where):
    """The parsed payload under ``key``; PeekError for anything else."""
    import orjson
    import redis

    try:
        raw = client.read_data(key)
    except redis.exceptions.NoPermissionError:
        raise
    except redis.ResponseError as e:  # a key of another Redis type
        raise PeekError(f"{key!r} at {where} holds no string value: {e}") from None
    if raw is None:
        raise PeekError(f"no key {key!r} at {where}")
    try:
        data = orjson.loads(raw)
    except orjson.JSONDecodeError:
        raise PeekError(f"{key!r} at {where} holds {len(raw)} bytes that are not JSON, so no payload") from None
    if not (isinstance(data, dict) and isinstance(data.get("meta"), dict) and "result" in data and "frame" in data):
        kind = type(data).__name__ if not isinstance(data, dict) else "dict with keys " + ", ".join(map(str, data))
        raise PeekError(f"{key!r} at {where} holds JSON that is not a payload ({kind})")
    problem = payload_problem(data)
    if problem:
        raise PeekError(f"{key!r} at {where} holds a malformed payload: {problem}")
    return raw, data


def payload_problem(data):
    """What in a payload-shaped dict the kit's parser (or this tool) cannot take, or None."""
    meta = data["meta"]
    for name in ("source", "module", "frame_format"):
        value = meta.get(name)
        if value is not None and not isinstance(value, dict):
            return f"meta.{name} is {type(value).__name__}, not a mapping"
    encoder = (meta.get("frame_format") or {}).get("encoder")
    if encoder is not None and not isinstance(encoder, str):
        return f"meta.frame_format.encoder is {type(encoder).__name__}, not a text"
    frame = data["frame"]
    if frame is not None and not isinstance(frame, str):
        return f"frame is {type(frame).__name__}, not a text"
    return None


def decode(data, key, where):
    """Parse with the kit; return the payload with ``frame`` decoded (or None)."""
    from xalo_sdk.redis.frame_packet import FramePacket

    encoded = data.get("frame")
    try:
        parsed = FramePacket(0, {"id": "peek", "type": "peek"}).parse_frame_packet(data)
    except Exception as e:  # noqa: BLE001 - whatever the payload holds, one line
        raise PeekError(f"{key!r} at {where} holds a payload the kit cannot parse: "
                        f"{type(e).__name__}: {clipped(e, 200)}") from None
    return parsed, encoded


def clipped(value, limit):
    """The text of value, at most limit characters, even for values nested too deep for str()."""
    try:
        text = str(value)
    except RecursionError:
        text = reprlib.repr(value)
    return text[:limit]


def frame_text(image, encoded, fmt):
    if not encoded:
        return "no frame"
    enc = fmt.get("encoder")
    form = (enc.lstrip(".").upper() if enc else "raw pixels") + (" Base64" if fmt.get("with_base64") else "")
    if image is None:
        return f"{form}, {len(encoded)} characters, could not be decoded"
    if image.ndim == 1:
        return f"{form}, {image.size} bytes (the raw form carries no shape)"
    shape = "x".join(str(v) for v in (image.shape[1], image.shape[0]) + image.shape[2:])
    return f"{shape} {form}"


def format_value(key, value, now):
    if key == "ts" and isinstance(value, (int, float)):
        try:
            stamp = datetime.datetime.fromtimestamp(value).isoformat(sep=" ", timespec="milliseconds")
        except (OverflowError, ValueError, OSError):  # beyond this platform's time_t, or NaN
            return f"{value} (not a time this platform can show)"
        return f"{stamp} ({now - value:.3f} s ago)"
    return repr(value) if isinstance(value, str) and value == "" else clipped(value, 200)


MAX_TREE_DEPTH = 12


def tree(name, mapping, now, prefix=""):
    lines = [prefix + name] if not prefix else []
    items = list(mapping.items())
    for i, (k, v) in enumerate(items):
        last = i == len(items) - 1
        branch, cont = ("└─ ", "   ") if last else ("├─ ", "│  ")
        if isinstance(v, dict) and v and len(prefix) < 3 * MAX_TREE_DEPTH:
            lines.append(f"{prefix}{branch}{k}")
            lines += tree(k, v, now, prefix + cont)
        else:
            lines.append(f"{prefix}{branch}{k}: {format_value(k, v, now)}")
    return lines


def result_summary(result):
    if not isinstance(result, list):
        return [f"result: {type(result).__name__} {clipped(result, 80)}"]
    lines = [f"result: {len(result)} item{'s' if len(result) != 1 else ''}"]
    dicts = [r for r in result if isinstance(r, dict)]
    if dicts:
        keys = collections.Counter(k for d in dicts for k in d)
        lines.append("├─ keys: " + ", ".join(f"{k} ({n})" if n != len(dicts) else k for k, n in keys.items()))
        labels = collections.Counter(clipped(d["label"], 40) for d in dicts if "label" in d)
        if labels:
            lines.append("├─ labels: " + ", ".join(f"{k} x{n}" for k, n in labels.most_common()))
        lines.append("└─ first: " + clipped(dicts[0], 100))
    elif result:
        lines.append("└─ first: " + clipped(result[0], 100))
    return lines


def show(client, conn, key, opts, where):
    import cv2

    import redis

    raw, data = read_payload(client, key, where)
    now = time.time()
    try:
        ttl = conn.ttl(key)
        expiry = "no expiry" if ttl < 0 else f"expires in {ttl} s"
    except redis.exceptions.NoPermissionError:
        expiry = "expiry not known: the user may not run TTL"
    parsed, encoded = decode(data, key, where)
    meta = parsed["meta"]
    say(f"{key}  ({len(raw) / 1024:.1f} KiB, {expiry})")
    for line in tree("meta", meta, now) + result_summary(parsed["result"]):
        say(line)
    image = parsed["frame"]
    text = "frame: " + frame_text(image, encoded, meta.get("frame_format") or {})
    if image is not None and image.ndim >= 2 and not opts.no_frame:
        path = opts.output or key + ".png"
        if image.ndim == 3 and image.shape[2] not in (1, 3, 4):
            text += f", not saved: a PNG holds 1, 3 or 4 channels, not {image.shape[2]}"
        else:
            try:
                saved = cv2.imwrite(path, image)
            except cv2.error as e:  # a depth PNG cannot hold, say
                raise PeekError(f"could not write {path}: {str(e).strip().splitlines()[-1]}") from None
            if not saved:
                raise PeekError(f"could not write {path}")
            text += f", saved to {path}"
    say(text)


def watch(client, conn, key, opts, where):
    listener = conn.pubsub(ignore_subscribe_messages=True)
    listener.subscribe(key + "_notify")
    listener.get_message(timeout=5)  # the subscription's confirmation
    say(f"watching {key}_notify at {where}; Ctrl-C stops", flush=True)
    seen = 0
    try:
        while not opts.count or seen < opts.count:
            message = listener.get_message(timeout=1.0)
            if message is None:
                continue
            seen += 1
            stamp = datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3]
            try:
                raw, data = read_payload(client, key, where)
                parsed, encoded = decode(data, key, where)
            except PeekError as e:
                say(f"{stamp}  {e}", flush=True)
                continue
            meta = parsed["meta"]
            source = meta.get("source") or {}
            age = (time.time() - meta["ts"]) * 1000 if isinstance(meta.get("ts"), (int, float)) else float("nan")
            result = parsed["result"]
            count = len(result) if isinstance(result, list) else type(result).__name__
            say(f"{stamp}  frame_id {clipped(source.get('frame_id'), 40)}  from {clipped(source.get('source_key'), 80)}"
                  f"  age {age:.1f} ms"
                  f"  result {count}  frame {frame_text(parsed['frame'], encoded, meta.get('frame_format') or {})}"
                  f"  {len(raw) / 1024:.1f} KiB", flush=True)
    except KeyboardInterrupt:
        print()
    finally:
        listener.close()


def main(argv=None):
    opts = parse_args(argv)
    try:
        import redis

        from xalo_sdk.redis._connection import client_from_url, redact
        from xalo_sdk.redis.store_client import StoreClient

        if opts.url:
            # The URL names the server; its password never reaches a message.
            where = redact(opts.url)
            try:
                conn = client_from_url(opts.url, 2, {"socket_connect_timeout": 3})
                client = StoreClient.from_url(opts.url, thread=False)
            except (ValueError, redis.RedisError) as e:
                raise PeekError(str(e)) from None
        else:
            where = f"{opts.host}:{opts.port}"
            conn = redis.Redis(host=opts.host, port=opts.port, socket_connect_timeout=3)
            client = StoreClient(thread=False, host=opts.host, port=opts.port)
        with client:
            try:
                if opts.watch:
                    watch(client, conn, opts.key, opts, where)
                else:
                    show(client, conn, opts.key, opts, where)
            except redis.ConnectionError as e:
                raise PeekError(f"cannot reach Redis at {where}: {e}") from None
            except redis.exceptions.NoPermissionError as e:
                raise PeekError(f"the user at {where} may not run what peek needs ({e}); "
                                "the README's ACL recipe lists it") from None
            finally:
                conn.close()
    except PeekError as e:
        say(f"peek: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
