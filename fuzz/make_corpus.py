"""Write the seed inputs of fuzz/corpus/. Run again only to change the seeds.

The image seeds are tiny valid files in each accepted form, plus files whose
headers claim sizes far beyond the pixel limit; the other targets read their
input as a stream of choices, so a few fixed pseudo-random strings do.
"""

import base64
import os
import random
import struct

import cv2
import numpy as np

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, name, data):
    os.makedirs(os.path.join(HERE, target), exist_ok=True)
    with open(os.path.join(HERE, target, name), "wb") as f:
        f.write(data)


def image_seeds():
    img = (np.indices((6, 8, 3)).sum(axis=0) * 20 % 256).astype(np.uint8)
    jpg = cv2.imencode(".jpg", img)[1].tobytes()
    bmp = cv2.imencode(".bmp", img)[1].tobytes()
    png = cv2.imencode(".png", img[:, :, 0])[1].tobytes()
    # Headers that claim 40000 x 40000 pixels, with no pixel data behind them.
    bmp_bomb = (b"BM" + struct.pack("<IHHI", 54, 0, 0, 54)
                + struct.pack("<IiiHHIIiiII", 40, 40000, 40000, 1, 24, 0, 0, 2835, 2835, 0, 0))
    sof = jpg.index(b"\xff\xc0") + 5  # frame header: length, precision, then height, width
    jpg_bomb = jpg[:sof] + struct.pack(">HH", 40000, 40000) + jpg[sof + 4:]
    # Just above the fuzzers' pixel limit and below OpenCV's: decodes (grey) unless refused.
    jpg_mid = jpg[:sof] + struct.pack(">HH", 1000, 1200) + jpg[sof + 4:]
    # 88 bytes of WebP for 1.1 million pixels: the size must be refused for
    # every format OpenCV reads, not only for those whose headers are checked.
    webp_mid = cv2.imencode(".webp", np.zeros((1000, 1100), np.uint8), [cv2.IMWRITE_WEBP_QUALITY, 101])[1].tobytes()
    # Formats whose size is read from other headers, each just above the limit
    # (TIFF both byte orders and BigTIFF, Netpbm, JPEG 2000), and formats
    # whose size is not read, which are refused.
    tiff_ii = b"II*\0" + struct.pack("<IH", 8, 2) + struct.pack("<HHIHH", 256, 3, 1, 1000, 0) \
        + struct.pack("<HHII", 257, 4, 1, 1200) + b"\0" * 4
    tiff_mm = b"MM\0*" + struct.pack(">IH", 8, 2) + struct.pack(">HHIHH", 256, 3, 1, 1000, 0) \
        + struct.pack(">HHII", 257, 4, 1, 1200) + b"\0" * 4
    bigtiff = b"II+\0" + struct.pack("<HHQQ", 8, 0, 16, 2) + struct.pack("<HHQQ", 256, 16, 1, 1000) \
        + struct.pack("<HHQQ", 257, 16, 1, 1200) + b"\0" * 8
    ppm_mid = b"P6\n1000 1200\n255\n" + bytes(64)
    j2k_mid = b"\xff\x4f\xff\x51" + struct.pack(">HHIIIIIIII", 41, 0, 1000, 1200, 0, 0, 1000, 1200, 0, 0)
    exr = b"\x76\x2f\x31\x01" + bytes(60)
    # selector (function and form), encoder index, Base64 switch index, payload
    seeds = {
        "jpeg": (0, 1, 0, jpg), "bmp": (0, 2, 0, bmp), "png_named_jpg": (0, 3, 0, png),
        "raw": (0, 0, 0, img.tobytes()), "b64_bytes_jpeg": (7, 1, 1, jpg),
        "b64_text_bmp": (8, 2, 1, bmp), "text_latin1": (1, 0, 0, bytes(range(256))),
        "base64_to_img_jpeg": (0x87, 0, 0, jpg), "base64_to_img_bytes": (0x80, 0, 0, b"QUJD"),
        "bmp_bomb": (0, 2, 0, bmp_bomb), "jpeg_bomb": (0, 1, 0, jpg_bomb),
        "jpeg_over_limit": (0, 1, 0, jpg_mid),
        "webp_over_limit": (0, 1, 0, webp_mid), "b64_webp_over_limit": (0x87, 0, 0, webp_mid),
        "b64_jpeg_bomb": (0x87, 0, 0, jpg_bomb),
        "tiff_le_over_limit": (0, 1, 0, tiff_ii), "tiff_be_over_limit": (0, 2, 0, tiff_mm),
        "bigtiff_over_limit": (0x87, 0, 0, bigtiff), "ppm_over_limit": (0, 1, 0, ppm_mid),
        "j2k_over_limit": (0, 1, 0, j2k_mid), "exr_unread": (0, 1, 0, exr),
    }
    for name, (sel, enc, sw, payload) in seeds.items():
        write("codecs", name, bytes([sel, enc, sw]) + payload)


def choice_seeds(target, count, size):
    rnd = random.Random(target)
    for i in range(count):
        write(target, f"seed{i}", bytes(rnd.getrandbits(8) for _ in range(size + 16 * i)))


if __name__ == "__main__":
    image_seeds()
    choice_seeds("frame_packet", 6, 48)
    choice_seeds("zone_filter", 6, 64)
    choice_seeds("codec_routes", 8, 48)
    print("seeds written to", HERE)
