"""Key builders, image string forms and resize of xalo_sdk.redis.utils."""

import base64
import binascii
import os
import struct
import subprocess
import sys
import types

import cv2
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from xalo_sdk.redis import utils

IMG = (np.indices((48, 64, 3)).sum(axis=0) * 3 % 256).astype(np.uint8)


@pytest.fixture
def logged(monkeypatch):
    """Replaces the module logger; returns the list of warning arguments."""
    seen = []
    monkeypatch.setattr(utils, "logger", types.SimpleNamespace(warning=seen.append))
    return seen


def test_import_makes_one_logger():
    script = (
        "import xalo_sdk.logging.logger as L\n"
        "calls = []\n"
        "L.get_logger = lambda name: calls.append(name) or name\n"
        "from xalo_sdk.redis import utils\n"
        "import importlib; importlib.import_module('xalo_sdk.redis.utils')\n"
        "assert calls == ['REDIS'] and utils.logger == 'REDIS', calls\n")
    subprocess.run([sys.executable, "-c", script], check=True)


def test_import_without_opencv_says_what_to_install():
    script = (
        "import sys; sys.modules['cv2'] = None\n"
        "try:\n"
        "    from xalo_sdk.redis import utils\n"
        "except ImportError as e:\n"
        # Depending on pybind11's version the module's error is the one raised
        # or the cause of a generic one; the original stays below it.
        "    chain = [e]\n"
        "    while chain[-1].__cause__ is not None: chain.append(chain[-1].__cause__)\n"
        "    said = [x for x in chain if 'python3-opencv' in str(x) and 'xalo_sdk[opencv]' in str(x)]\n"
        "    assert said and isinstance(said[0], ModuleNotFoundError), chain\n"
        "    assert 'cv2' in str(said[0].__cause__), chain\n"
        "else:\n"
        "    raise SystemExit('imported without cv2')\n")
    subprocess.run([sys.executable, "-c", script], check=True)


@pytest.mark.parametrize("raising, said", [
    ("raise AttributeError('_ARRAY_API not found')", "AttributeError: _ARRAY_API not found"),
    ("raise ImportError('numpy.core.multiarray failed to import')",
     "ImportError: numpy.core.multiarray failed to import"),
    ("import cv2.missing_part", "ModuleNotFoundError: No module named 'cv2.missing_part'")])
def test_import_with_broken_opencv_says_what_failed(tmp_path, raising, said):
    # An OpenCV built for another NumPy: installing python3-opencv is no help.
    (tmp_path / "cv2").mkdir()
    (tmp_path / "cv2" / "__init__.py").write_text(raising + "\n")
    script = (
        "import numpy\n"
        "try:\n"
        "    from xalo_sdk.redis import utils\n"
        "except ImportError as e:\n"
        "    chain = [e]\n"
        "    while chain[-1].__cause__ is not None: chain.append(chain[-1].__cause__)\n"
        "    told = [str(x) for x in chain if 'installed but failed to import' in str(x)]\n"
        "    assert told and %r in told[0] and 'numpy ' + numpy.__version__ in told[0], chain\n"
        "    assert not any('python3-opencv' in str(x) for x in chain), chain\n"
        "else:\n"
        "    raise SystemExit('imported a broken cv2')\n" % said)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")])))
    subprocess.run([sys.executable, "-c", script], check=True, env=env)


def test_signatures():
    assert utils.base64_to_img.__annotations__ == {"b64_bytes": "bytes", "return": "Union[None, np.ndarray]"}
    assert utils.img_to_base64str.__annotations__ == {"image": "np.ndarray", "zoom_ratio": "Optional[float]"}


# ---- key builders ----------------------------------------------------------------

@pytest.mark.parametrize("node, port, key", [
    ("cam", 2, "redis_cam_2"), ("cam", "2", "redis_cam_2"), ("a", "b_1", "redis_a_b_1"), ("", "", "redis__")])
def test_local_key(node, port, key):
    assert utils.gen_redis_key_local(node, port) == key


class Formatted(str):
    def __format__(self, format_spec):
        return "formatted"


@pytest.mark.parametrize("value", [
    0, -7, 2**63 - 1, -2**63, 2**64, -2**70, True, 2.5, None, "\u00e9t\u00e9", "\U0001f600", Formatted("x")])
def test_keys_write_values_as_fstrings_do(value):
    assert utils.gen_redis_key_local(value, value) == f"redis_{value}_{value}"
    assert utils.gen_redis_key_status(value) == f"status_{value}"


def test_status_key_and_prefix_read_at_each_call(monkeypatch):
    assert [utils.gen_redis_key_status(n) for n in (7, None, 1.5)] == ["status_7", "status_None", "status_1.5"]
    monkeypatch.setattr(utils, "PREFIX", types.SimpleNamespace(REDIS=types.SimpleNamespace(LOCAL=5, STATUS="st")))
    assert utils.gen_redis_key_local(node_id="n", port=0) == "5_n_0"
    assert utils.gen_redis_key_status("n") == "st_n"
    monkeypatch.setattr(utils, "PREFIX", types.SimpleNamespace(REDIS=object()))
    with pytest.raises(AttributeError):
        utils.gen_redis_key_local("n", 0)


# ---- image string forms ------------------------------------------------------------

@pytest.mark.parametrize("encoder, b64, kind, tolerance", [
    (None, False, bytes, 0), (None, True, str, 0), (".bmp", False, bytes, 0), (".BMP", True, str, 0),
    (".jpg", False, bytes, 4), (".Jpg", True, str, 4)])
def test_round_trip(encoder, b64, kind, tolerance, logged):
    text = utils.img_to_str(image=IMG, encoder=encoder, with_base64=b64)
    assert type(text) is kind
    back = utils.str_to_img(img_as_str=text, encoder=encoder, with_base64=b64)
    if encoder is None:
        assert back.dtype == np.uint8 and back.ndim == 1
        back = back.reshape(IMG.shape)
    assert back.shape == IMG.shape
    assert np.abs(back.astype(int) - IMG).mean() <= tolerance
    assert logged == []


def test_base64_switch_is_identity_with_true():
    b64 = base64.b64encode(IMG.tobytes())
    for on in (1, "yes", np.True_):
        assert utils.img_to_str(IMG, None, on) == IMG.tobytes()
        assert utils.str_to_img(b64, None, on).tobytes() == b64
    assert utils.str_to_img(b64.decode(), None, True).tobytes() == IMG.tobytes()


def test_file_decoding_follows_the_data_not_the_name(logged):
    jpg = utils.img_to_str(IMG, ".jpg")
    assert utils.str_to_img(jpg, utils.Encoder.BMP).shape == IMG.shape
    assert utils.str_to_img(jpg.decode("latin-1"), ".jpg").shape == IMG.shape
    assert utils.str_to_img(b"no image", ".bmp") is None
    empty = utils.str_to_img(b"")
    assert empty.shape == (0,) and empty.dtype == np.uint8
    assert logged == []


@pytest.mark.parametrize("encoder", ["jpg", "jpeg", ".png", ""])
def test_unknown_encoding_names(encoder, logged):
    assert utils.img_to_str(IMG, encoder) is None
    assert utils.str_to_img(b"x", encoder) is None
    assert logged == [f"Not defined encoder {encoder}. It should be one of [.jpg, .bmp]",
                      f"Not defined encoder {encoder}. It should be one of [.bmp, .jpg]"]


@pytest.mark.parametrize("call, error", [
    (lambda: utils.img_to_str(None), AttributeError),
    (lambda: utils.img_to_str(IMG, 5), AttributeError),
    (lambda: utils.img_to_str(np.zeros((0, 0), np.uint8), ".jpg"), cv2.error),
    (lambda: utils.str_to_img("\u0100"), UnicodeEncodeError),
    (lambda: utils.str_to_img("\xe9", ".jpg", True), UnicodeEncodeError),
    (lambda: utils.str_to_img("abc", None, True), binascii.Error),
    (lambda: utils.str_to_img(None), TypeError),
    (lambda: utils.str_to_img(b"x", 3), AttributeError)])
def test_failures_log_the_exception_and_give_none(call, error, logged):
    assert call() is None
    assert len(logged) == 1 and type(logged[0]) is error


# ---- the image size limit ------------------------------------------------------------------

@pytest.mark.parametrize("ext, params, skip", [
    (".jpg", [], 0), (".png", [], 0), (".bmp", [], 0), (".webp", [], 0),
    (".webp", [cv2.IMWRITE_WEBP_QUALITY, 101], 0),   # lossless
    (".webp", [cv2.IMWRITE_WEBP_QUALITY, 101], 12),  # its bare chunk, which the decoder takes too
    (".tiff", [], 0), (".ppm", [], 0), (".pam", [], 0), (".ras", [], 0), (".jp2", [], 0),
])
@pytest.mark.parametrize("limit, passes", [(64 * 48, True), (64 * 48 - 1, False), ("junk", True)])
def test_images_above_the_pixel_limit_are_refused(monkeypatch, logged, ext, params, skip, limit, passes):
    monkeypatch.setenv("XALO_MAX_IMAGE_PIXELS", str(limit))
    data = cv2.imencode(ext, IMG, params)[1].tobytes()[skip:]
    for decoded in (utils.str_to_img(data, ".bmp"), utils.base64_to_img(base64.b64encode(data))):
        assert (decoded is not None and decoded.shape == IMG.shape) if passes else decoded is None
    if not passes:
        assert isinstance(logged[0], ValueError) and "64x48" in str(logged[0])
        assert logged[1].startswith("Failed to convert base64 to image - image of 64x48 pixels refused")


def tiff(order, big, width_type, size=20000, tags=(256, 257)):
    """A TIFF header with one directory holding only the image's width and length."""
    e = "<" if order == b"II" else ">"
    fmt = {3: "H", 4: "I", 16: "Q"}[width_type]
    if big:
        head = order + struct.pack(e + "HHHQ", 43, 8, 0, 16)
        ifd = struct.pack(e + "Q", len(tags)) + b"".join(
            struct.pack(e + "HHQ", tag, width_type, 1) + struct.pack(e + fmt, size).ljust(8, b"\0") for tag in tags)
    else:
        head = order + struct.pack(e + "HI", 42, 8)
        ifd = struct.pack(e + "H", len(tags)) + b"".join(
            struct.pack(e + "HHI", tag, width_type, 1) + struct.pack(e + fmt, size).ljust(4, b"\0") for tag in tags)
    return head + ifd + struct.pack(e + "I", 0)


def jp2(size=20000):
    ihdr = struct.pack(">I4sIIHBBBB", 22, b"ihdr", size, size, 3, 7, 7, 0, 0)
    return b"\0\0\0\x0cjP  \r\n\x87\n" + struct.pack(">I4s", 8 + len(ihdr), b"jp2h") + ihdr


SIZ = b"\xff\x4f\xff\x51" + struct.pack(">HHIIIIIIII", 41, 0, 20100, 20100, 100, 100, 256, 256, 0, 0)

# Headers of every format OpenCV decodes whose size is read: each claims 20000x20000.
CLAIMS = {
    "tiff_le_short": tiff(b"II", False, 3), "tiff_be_long": tiff(b"MM", False, 4),
    "bigtiff_le_long8": tiff(b"II", True, 16), "bigtiff_be_short": tiff(b"MM", True, 3),
    "pnm": b"P6\n# comment\n20000 20000\n255\n", "pbm": b"P4 20000\t20000\n",
    "pam": b"P7\nWIDTH 20000\nHEIGHT 20000\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n",
    "pfm": b"PF\n20000 20000\n-1.0\n", "sun_raster": b"\x59\xa6\x6a\x95" + struct.pack(">7I", 20000, 20000, 24, 0, 1, 0, 0),
    "hdr": b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 20000 +X 20000\n", "jp2": jp2(),
    "j2k": SIZ, "qoi": b"qoif" + struct.pack(">II", 20000, 20000) + b"\x03\x00",
}
# Data that OpenCV would decode but whose size is not read.
UNREADABLE = {
    "openexr": b"\x76\x2f\x31\x01" + bytes(40), "jpeg_xl": b"\xff\x0a\xfa\x7f" + bytes(20),
    "jpeg_xl_box": b"\0\0\0\x0cJXL \r\n\x87\n" + bytes(20),
    "avif": b"\0\0\0\x1cftypmif1\0\0\0\0mif1avifmiaf" + bytes(20), "dicom": bytes(128) + b"DICM" + bytes(20),
    "tiff_without_length": tiff(b"II", False, 3, tags=(256,)), "tiff_cut": tiff(b"MM", False, 4)[:12],
    "nitf": b"NITF02.10" + bytes(20),
    # An 8x6 PNG whose next chunk claims 2.7 GB: some OpenCV releases
    # allocate that before they find the data cut short.
    "png_chunk_past_the_end": b"\x89PNG\r\n\x1a\n" + struct.pack(">I4sIIBBBBB", 13, b"IHDR", 8, 6, 8, 0, 0, 0, 0)
    + b"\0\0\0\0" + struct.pack(">I4s", 0xA3A4A5A6, b"IDAT") + bytes(8),
}


@pytest.mark.parametrize("name", sorted(CLAIMS) + sorted(UNREADABLE))
def test_every_format_opencv_decodes_is_held_to_the_limit(logged, name):
    data = CLAIMS.get(name) or UNREADABLE[name]
    assert utils.str_to_img(data, ".jpg") is None
    assert utils.base64_to_img(base64.b64encode(data)) is None
    assert isinstance(logged[0], ValueError)
    assert ("20000x20000 pixels refused" if name in CLAIMS else "size cannot be read") in str(logged[0])


def test_data_without_an_image_signature_still_goes_to_opencv(monkeypatch, logged):
    calls = []
    monkeypatch.setattr(utils, "cv2", types.SimpleNamespace(imdecode=lambda buf, flag: calls.append(buf) or "img"))
    assert utils.str_to_img(b"plain bytes", ".bmp") == "img" and len(calls) == 1 and logged == []


def test_a_decompression_bomb_costs_no_memory():
    # A 1 KB JPEG whose header claims 20000x16000 pixels (about 900 MB decoded).
    script = """if True:
        import base64, resource, cv2, numpy as np
        from xalo_sdk.redis import utils
        jpg = bytearray(cv2.imencode(".jpg", np.zeros((8, 8, 3), np.uint8))[1].tobytes())
        i = 2
        while jpg[i + 1] != 0xC0:
            i += 2 + (jpg[i + 2] << 8 | jpg[i + 3])
        jpg[i + 5:i + 9] = (16000).to_bytes(2, "big") + (20000).to_bytes(2, "big")
        seen = []
        utils.logger = type("L", (), {"warning": staticmethod(seen.append)})
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        assert utils.str_to_img(base64.b64encode(jpg).decode(), ".jpg", True) is None
        assert "20000x16000" in str(seen[0])
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
    """
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
    assert int(out.stdout) < 50


def test_module_attributes_are_read_at_each_call(monkeypatch, logged):
    fake_cv2 = types.SimpleNamespace(imencode=lambda ext, img: (False, None), resize=cv2.resize)
    monkeypatch.setattr(utils, "cv2", fake_cv2)
    assert utils.img_to_str(IMG, ".JPG") is None
    assert logged == ["Failed to encode image with mode .JPG"]
    assert utils.img_to_base64str(IMG) is None
    monkeypatch.setattr(utils, "base64", types.SimpleNamespace(b64encode=lambda b: b"QUJD"))
    assert utils.img_to_str(IMG, None, True) == "QUJD"
    monkeypatch.setattr(utils, "Encoder", types.SimpleNamespace(JPG=".png", BMP=".bmp"))
    assert utils.str_to_img(b"x", ".jpg") is None
    assert logged[-1] == "Not defined encoder .jpg. It should be one of [.bmp, .png]"


def test_base_exceptions_pass_through(monkeypatch):
    def interrupt(*args):
        raise KeyboardInterrupt
    monkeypatch.setattr(utils, "cv2", types.SimpleNamespace(imencode=interrupt, imdecode=interrupt))
    with pytest.raises(KeyboardInterrupt):
        utils.img_to_str(IMG, ".jpg")
    with pytest.raises(KeyboardInterrupt):
        utils.base64_to_img(b"QUJD")


def test_preview_pair(logged):
    text = utils.img_to_base64str(image=IMG)
    assert type(text) is bytes and text.startswith(base64.b64encode(b"\xff\xd8\xff")[:4])
    assert utils.base64_to_img(b64_bytes=text).shape == IMG.shape
    assert utils.base64_to_img(utils.img_to_base64str(IMG, 1)).shape == IMG.shape
    assert utils.base64_to_img(utils.img_to_base64str(IMG, 0.5)).shape == (24, 32, 3)
    assert utils.base64_to_img(b"abcd") is None and logged == []
    assert utils.base64_to_img(b"abc") is None
    assert logged == ["Failed to convert base64 to image - Incorrect padding"]
    with pytest.raises(cv2.error):
        utils.img_to_base64str(IMG, None)


@pytest.mark.parametrize("call, message", [
    (lambda: utils.base64_to_img("QUJD"), "expected bytes, got str)"),
    (lambda: utils.img_to_base64str(IMG, "2"), "Argument 'zoom_ratio' has incorrect type (expected float, got str)")])
def test_entry_checks(call, message, logged):
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        call()
    assert logged == []


# ---- resize -------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((3.0, (64, 48)), {}), ((), {"size": (64.7, 48)})])
def test_resize_identity(args, kwargs):
    assert utils.resize(IMG, *args, **kwargs) is IMG


@pytest.mark.parametrize("shape, args, kwargs, expected", [
    ((480, 640, 3), (2.0,), {}, (960, 1280, 3)), ((51, 101), (0.5,), {}, (25, 50)),
    ((48, 64, 3), (2.0, [320, 240]), {}, (96, 128, 3)), ((48, 64), (), {"size": (320.9, "240")}, (240, 320))])
def test_resize_scales(shape, args, kwargs, expected):
    assert utils.resize(np.zeros(shape, np.uint8), *args, **kwargs).shape == expected


@pytest.mark.parametrize("img, zoom, size, error", [
    (IMG, 1.0, (320,), ValueError), (IMG, None, None, TypeError), (IMG, 1.0, ("a", 1), ValueError),
    (np.zeros(5, np.uint8), 2.0, None, ValueError), (object(), 2.0, None, AttributeError),
    (IMG[:2, :2], 0.001, None, cv2.error)])
def test_resize_failures(img, zoom, size, error, logged):
    assert utils.resize(img, zoom, size) is None
    assert len(logged) == 1 and type(logged[0]) is error


def test_resize_none_logs_nothing(logged):
    assert utils.resize(None, 2.0) is None and logged == []


# ---- arbitrary input never escapes as anything but a refusal -------------------------

FILES = [cv2.imencode(ext, IMG)[1].tobytes() for ext in (".jpg", ".bmp", ".png")]

# Real image files cut short and overwritten in places: headers that parse,
# bodies that do not.
damaged_files = st.builds(
    lambda f, cut, at, junk: (f[:at] + junk + f[at + len(junk):])[:cut],
    st.sampled_from(FILES), st.integers(0, 20000), st.integers(0, 200), st.binary(min_size=1, max_size=16))


@settings(max_examples=400, deadline=None)
@given(data=st.one_of(st.binary(max_size=300), st.text(max_size=300), damaged_files),
       encoder=st.sampled_from([None, ".jpg", ".bmp", "x"]), b64=st.sampled_from([True, False, 1]))
def test_str_to_img_never_raises(data, encoder, b64):
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(utils, "logger", types.SimpleNamespace(warning=lambda m: None))
        out = utils.str_to_img(data, encoder, b64)
    assert out is None or isinstance(out, np.ndarray)


@settings(max_examples=300, deadline=None)
@given(data=st.one_of(st.binary(max_size=300), st.text(max_size=50), damaged_files.map(base64.b64encode)))
def test_base64_to_img_never_raises_but_refuses_text(data):
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(utils, "logger", types.SimpleNamespace(warning=lambda m: None))
        if isinstance(data, str):
            with pytest.raises(TypeError):
                utils.base64_to_img(data)
        else:
            out = utils.base64_to_img(data)
            assert out is None or isinstance(out, np.ndarray)


USES_EVERY_SETTING = """
import numpy as np
from xalo_sdk.debug import leak_probe
from xalo_sdk.redis import frame_packet, store_client, utils
from xalo_sdk.roi import zone_filter
for _ in range(2):
    try:
        store_client.StoreClient(thread=False, port=1).read_data("k")
    except Exception:
        pass
    utils.str_to_img(utils.img_to_str(np.zeros((2, 2, 3), np.uint8), ".jpg"), ".jpg")
"""


@pytest.mark.parametrize("name, value, used", [
    *(("XALO_MAX_PAYLOAD_BYTES", v, "the default 67108864") for v in ("0", "-5", "1e3", "100 ")),
    ("XALO_MAX_IMAGE_PIXELS", "8K", "the default 67108864"),
    ("XALO_SHM_FALLBACK", "png", "no JPEG copy"),
    ("XALO_PLAIN_INTERPRETER", "yes", "0"),
    ("XALO_STRICT", "maybe", "1"),
    ("XALO_SHM_SLOTS", "1", "the default 16"), ("XALO_SHM_MAX_RINGS", " 8", "the default 32"),
    ("XALO_WAIT_REPLICAS", "-1", "the default 0"), ("XALO_LOG_EPISODES", "yes", "the default 0")])
def test_a_setting_the_kit_cannot_use_is_named_once(name, value, used):
    def run(**env):
        env = {k: v for k, v in os.environ.items() if not k.startswith("XALO_")} | env
        return subprocess.run([sys.executable, "-c", USES_EVERY_SETTING], env=env, capture_output=True, text=True,
                              timeout=60)

    said = run(**{name: value})
    assert said.returncode == 0, said.stderr
    assert said.stderr.count(f"{name}={value!r} is not ") == 1 and f"; using {used}\n" in said.stderr
    if name != "XALO_STRICT":
        refused = run(**{name: value, "XALO_STRICT": "1"})
        assert refused.returncode == 1 and f"ValueError: {name}={value!r} is not " in refused.stderr


# ---- the faster codec routes: the very results of base64 and cv2.imdecode -------------

def exif_rotated(jpg):
    """The JPEG with an EXIF block asking for a quarter turn (orientation 6)."""
    tiff = b"MM\0*" + struct.pack(">IH", 8, 1) + struct.pack(">HHIHH", 0x0112, 3, 1, 6, 0) + b"\0\0\0\0"
    body = b"Exif\0\0" + tiff
    return jpg[:2] + b"\xff\xe1" + struct.pack(">H", len(body) + 2) + body + jpg[2:]


def jpeg_case(w, h, grey=False, quality=95, sampling=None, extra=(), change=lambda d: d):
    """The JPEG as a function, made when a test asks (OpenCV before 4.5.5 cannot choose the subsampling)."""
    return lambda: make_jpeg(w, h, grey, quality, sampling, extra, change)


def make_jpeg(w, h, grey, quality, sampling, extra, change):
    rng = np.random.default_rng(w * h + quality)
    img = (np.indices((h, w, 3)).sum(axis=0) * 7 % 256).astype(np.uint8)
    img[rng.random((h, w)) < 0.1] = 255
    if grey:
        img = img[:, :, 0].copy()
    params = [cv2.IMWRITE_JPEG_QUALITY, quality, *extra]
    if sampling is not None:
        if not hasattr(cv2, "IMWRITE_JPEG_SAMPLING_FACTOR"):
            pytest.skip("this OpenCV cannot choose the chroma subsampling")
        params += [cv2.IMWRITE_JPEG_SAMPLING_FACTOR, getattr(cv2, "IMWRITE_JPEG_SAMPLING_FACTOR_" + sampling)]
    return change(cv2.imencode(".jpg", img, params)[1].tobytes())


def without(marker):
    """The JPEG without its segments of one kind (tables the reader must then lack or assume)."""
    def cut(data):
        out, i = data[:2], 2
        while data[i + 1] != 0xDA:
            end = i + 2 + struct.unpack(">H", data[i + 2:i + 4])[0]
            out += b"" if data[i + 1] == marker else data[i:end]
            i = end
        return out + data[i:]
    return cut


JPEG_CASES = {
    "53x37 4:4:4 q95": jpeg_case(53, 37, sampling="444"),
    "53x37 4:2:2 q75": jpeg_case(53, 37, quality=75, sampling="422"),
    "53x37 4:2:0 q30": jpeg_case(53, 37, quality=30, sampling="420"),
    "640x480 4:2:0 q95": jpeg_case(640, 480),
    "1x1": jpeg_case(1, 1),
    "grey 53x37 q90": jpeg_case(53, 37, grey=True, quality=90),
    "grey 17x300 q100": jpeg_case(17, 300, grey=True, quality=100),
    "4:4:0": jpeg_case(33, 21, sampling="440"),
    "4:1:1": jpeg_case(33, 21, sampling="411"),
    "restart markers": jpeg_case(99, 61, extra=(cv2.IMWRITE_JPEG_RST_INTERVAL, 3)),
    "optimized Huffman tables": jpeg_case(99, 61, extra=(cv2.IMWRITE_JPEG_OPTIMIZE, 1)),
    "progressive": jpeg_case(99, 61, extra=(cv2.IMWRITE_JPEG_PROGRESSIVE, 1)),
    "EXIF orientation": jpeg_case(99, 61, change=exif_rotated),
    "cut short": jpeg_case(99, 61, change=lambda d: d[:len(d) * 2 // 3]),
    "corrupt scan": jpeg_case(99, 61, change=lambda d: d[:400] + b"\xff\x00\x13\xff\xd4" + d[405:]),
    "no end marker": jpeg_case(99, 61, change=lambda d: d[:-2]),
    "no quantisation tables": jpeg_case(99, 61, change=without(0xDB)),
    "no Huffman tables": jpeg_case(99, 61, change=without(0xC4)),
    "bad component count": jpeg_case(9, 9, change=lambda d: d.replace(b"\xff\xc0\x00\x11\x08\x00\x09\x00\x09\x03",
                                                                      b"\xff\xc0\x00\x11\x08\x00\x09\x00\x09\x02")),
}


def expected_jpeg_route():
    import ctypes.util
    import os
    headers = ("/usr/include/turbojpeg.h", "/usr/local/include/turbojpeg.h")
    found = ctypes.util.find_library("turbojpeg") and any(map(os.path.exists, headers))
    return "libjpeg-turbo" if found else "opencv"


@pytest.mark.parametrize("name", sorted(JPEG_CASES))
def test_jpeg_decoding_gives_opencvs_array(name, logged):
    assert utils.codec_routes()["jpeg_decode"] == expected_jpeg_route()
    # A file decoded before leaves nothing behind for the next one to use.
    utils.str_to_img(JPEG_CASES["optimized Huffman tables"](), ".jpg")
    data = JPEG_CASES[name]()
    def opencv():
        return cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED)

    want = opencv()
    gots, wants = [], [want]
    for decode in (lambda: utils.str_to_img(data, ".jpg"), lambda: utils.base64_to_img(base64.b64encode(data)),
                   lambda: utils.str_to_img(base64.b64encode(data).decode(), ".jpg", True)):
        gots.append(decode())
        wants.append(opencv())
    # Some OpenCV builds (Debian trixie's 4.10) leave the rows a file cut
    # short lacks unwritten: their own result then differs from call to
    # call, and only its shape can be compared.
    repeatable = want is None or all(np.array_equal(want, w) for w in wants)
    for got in gots:
        if want is None:
            assert got is None
        else:
            assert (got.shape, got.dtype, got.flags.c_contiguous) == (want.shape, want.dtype, True)
            assert np.array_equal(got, want) or not repeatable
    assert logged == []


B64_RAW = bytes(range(256)) * 1100  # large enough to be decoded without the GIL


@pytest.mark.parametrize("text", [
    b"", b"QQ==", b"QUI=", b"QUJD", b"QR==", b"QUJ=", base64.b64encode(B64_RAW), base64.b64encode(B64_RAW[:-1]),
    base64.b64encode(B64_RAW[:-2]).decode(), b"QUJD\n", b" QUJD", b"QU JD", b"QUJ", b"Q", b"QQ=", b"QQ==QQ==",
    b"QQ==x", b"Q===", b"====", b"=QUJ", b"QQ=A", b"QU=D", b"QUJD====", b"QUJ\xff", b"QU-_", b"QU+/",
    bytearray(b"QUJD"), memoryview(b"QUJD"), "QUJD", base64.b64encode(B64_RAW)[:-1] + b"*"])
def test_base64_gives_the_base64_modules_result(text, logged):
    try:
        want = base64.b64decode(text)
    except Exception as e:
        want = e
    got = utils.str_to_img(text, None, True)
    if isinstance(want, Exception):
        assert got is None and [(type(m), str(m)) for m in logged] == [(type(want), str(want))]
    else:
        assert got.tobytes() == want and logged == []
    if isinstance(text, bytes):
        del logged[:]
        utils.base64_to_img(text)
        if isinstance(want, Exception):
            assert logged == [f"Failed to convert base64 to image - {want}"]
        if not isinstance(want, Exception):
            raw = np.frombuffer(want, np.uint8)
            assert utils.img_to_str(raw, None, True) == base64.b64encode(want).decode()
            assert utils.img_to_base64str(IMG) == base64.b64encode(cv2.imencode(".jpg", IMG)[1])


def test_replaced_codec_functions_are_called(monkeypatch, logged):
    jpg = cv2.imencode(".jpg", IMG)[1].tobytes()
    monkeypatch.setattr(base64, "b64decode", lambda data: jpg)
    monkeypatch.setattr(base64, "b64encode", lambda data: b"QUJD")
    monkeypatch.setattr(cv2, "imdecode", lambda buf, flags: "decoded")
    assert utils.str_to_img(b"QUJD", ".jpg", True) == "decoded"
    assert utils.img_to_str(IMG, None, True) == "QUJD"
    assert utils.img_to_base64str(IMG) == b"QUJD"
    assert logged == []
