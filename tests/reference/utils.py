"""Redis key names, image string forms and image scaling, in plain Python.

Left out: the kit's pixel limit on decoded images (it reads image headers
natively and is not exposed); compare only images below that limit.
"""

import base64
import cv2
import numpy as np
from typing import Any, Optional, Union
from xalo_sdk.constants import PREFIX
from xalo_sdk.logging.logger import get_logger

logger = get_logger("REDIS")


class Encoder:
    JPG = ".jpg"
    BMP = ".bmp"


class PayloadVersion:
    VERSION_0 = 0
    VERSION_1 = 1


def gen_redis_key_local(node_id, port):
    return f"{PREFIX.REDIS.LOCAL}_{node_id}_{port}"


def gen_redis_key_status(node_id):
    return f"{PREFIX.REDIS.STATUS}_{node_id}"


def _incorrect_type(name, expected, value):
    """The refusal of an argument of the wrong type, as the kit's functions word it."""
    message = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)" % (
        name, expected.__name__, type(value).__name__)
    if isinstance(value, expected):
        message += ". Note that subclasses of builtin types are refused"
    return TypeError(message)


def base64_to_img(b64_bytes: "bytes") -> "Union[None, np.ndarray]":
    if type(b64_bytes) is not bytes:
        raise _incorrect_type("b64_bytes", bytes, b64_bytes)
    try:
        str_frame = base64.b64decode(b64_bytes)
        return cv2.imdecode(np.frombuffer(str_frame, dtype=np.uint8), -1)
    except Exception as e:
        logger.warning("Failed to convert base64 to image - " + str(e))
        return None


def img_to_base64str(image: "np.ndarray", zoom_ratio: "Optional[float]" = 1.0):
    if zoom_ratio is not None:
        if type(zoom_ratio) is int:
            zoom_ratio = float(zoom_ratio)
        elif type(zoom_ratio) is not float:
            kind = type(zoom_ratio)
            if isinstance(zoom_ratio, str) or not (isinstance(zoom_ratio, complex) or any(
                    hasattr(kind, name) for name in ("__index__", "__int__", "__float__"))):
                raise _incorrect_type("zoom_ratio", float, zoom_ratio)
            zoom_ratio = float(zoom_ratio)
    if zoom_ratio != 1.0:
        image = cv2.resize(image, None, fx=zoom_ratio, fy=zoom_ratio)
    ret, jpg = cv2.imencode(Encoder.JPG, image)
    if ret:
        return base64.b64encode(jpg)
    return None


def img_to_str(image: "np.ndarray", encoder=None, with_base64=False):
    try:
        if encoder is None:
            img_as_bytes = image.tobytes()
            if with_base64 is True:
                return base64.b64encode(img_as_bytes).decode("ascii")
            return img_as_bytes
        enc = encoder.lower()
        if enc == Encoder.BMP or enc == Encoder.JPG:
            ret, encoded_img = cv2.imencode(enc, image)
            if not ret:
                logger.warning("Failed to encode image with mode " + f"{encoder}")
                return None
            if with_base64 is True:
                return base64.b64encode(encoded_img).decode("ascii")
            return encoded_img.tobytes()
        logger.warning(f"Not defined encoder {encoder}. It should be one of [{Encoder.JPG}, {Encoder.BMP}]")
        return None
    except Exception as e:
        logger.warning(e)
        return None


def str_to_img(img_as_str, encoder=None, with_base64=False):
    try:
        if with_base64 is True:
            if isinstance(img_as_str, str):
                img_as_str = img_as_str.encode("ascii")
            img_as_str = base64.b64decode(img_as_str)
        elif isinstance(img_as_str, str):
            img_as_str = img_as_str.encode("latin-1")
        if encoder is None:
            return np.frombuffer(img_as_str, dtype=np.uint8)
        enc = encoder.lower()
        if enc == Encoder.BMP or enc == Encoder.JPG:
            return cv2.imdecode(np.frombuffer(img_as_str, dtype=np.uint8), -1)
        logger.warning(f"Not defined encoder {encoder}. It should be one of [{Encoder.BMP}, {Encoder.JPG}]")
        return None
    except Exception as e:
        logger.warning(e)
        return None


def resize(img: "np.ndarray", zoom=1.0, size=None):
    if img is None:
        return None
    try:
        if size is not None and isinstance(size, tuple):
            img_w, img_h = size
            target_size = (int(img_w), int(img_h))
        elif zoom != 1.0:
            h, w = img.shape[:2]
            target_size = (int(w * zoom), int(h * zoom))
        else:
            return img
        if img.shape[1] == target_size[0] and img.shape[0] == target_size[1]:
            return img
        return cv2.resize(img, target_size)
    except Exception as err:
        logger.warning(err)
        return None
