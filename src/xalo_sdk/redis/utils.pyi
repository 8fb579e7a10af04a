"""Redis key names of a pipeline node, image string forms and image scaling."""

import base64 as base64
import logging
import sys
from typing import Optional as Optional, Union as Union

# The module re-exports typing's Any, which is a class only from Python 3.11
# on; before that it is a special form, which a stub cannot re-export as one.
if sys.version_info >= (3, 11):
    from typing import Any as Any
else:
    from typing import Any

import cv2 as cv2
import numpy as np

from xalo_sdk.constants import PREFIX as PREFIX
from xalo_sdk.constants import STRICT as STRICT
from xalo_sdk.logging.logger import get_logger as get_logger
from xalo_sdk.redis.stats_types import ShmFigures

logger: logging.Logger

class Encoder:
    """Image file encodings, named by the file extensions OpenCV knows them by."""

    JPG: str
    BMP: str
    SHM: str

class PayloadVersion:
    """Payload versions: 0 for the bare Base64 JPEG preview, 1 for the payload dictionary."""

    VERSION_0: int
    VERSION_1: int

def gen_redis_key_local(node_id: Any, port: Any) -> str: ...
def gen_redis_key_status(node_id: Any) -> str: ...
def base64_to_img(b64_bytes: bytes) -> Union[None, np.ndarray]: ...
def img_to_base64str(image: np.ndarray, zoom_ratio: Optional[float] = 1.0) -> Optional[bytes]: ...
def img_to_str(
    image: np.ndarray, encoder: Optional[str] = None, with_base64: Any = False
) -> Union[None, bytes, str]: ...
def str_to_img(
    img_as_str: Union[bytes, bytearray, memoryview, np.ndarray, str],
    encoder: Optional[str] = None,
    with_base64: Any = False,
) -> Optional[np.ndarray]: ...
def shm_figures() -> ShmFigures: ...
def codec_routes() -> dict: ...
def resize(img: Optional[np.ndarray], zoom: Any = 1.0, size: Optional[tuple] = None) -> Optional[np.ndarray]: ...
