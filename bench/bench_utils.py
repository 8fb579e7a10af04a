"""Cost of xalo_sdk.redis.utils over the bare OpenCV, base64 and NumPy calls it makes.

Each case times the kit's function and the same library calls written out by
hand, in the same run: repeats alternate between the two (order flipped every
repeat) and the table reports the median time per call and the ratio.

    PYTHONPATH=src python bench/bench_utils.py [--repeats N]
"""

import argparse
import base64

import cv2
import numpy as np

from xalo_sdk.redis import utils

from _timing import header, measure, row


def scene(width, height):
    """A frame with smooth areas, edges and a little sensor noise, as a camera gives."""
    y, x = np.mgrid[0:height, 0:width]
    img = np.empty((height, width, 3), np.uint8)
    img[..., 0] = (x * 255 // width).astype(np.uint8)
    img[..., 1] = (y * 255 // height).astype(np.uint8)
    img[..., 2] = ((x + y) % 256).astype(np.uint8)
    for i in range(12):
        cv2.circle(img, (width * (i + 1) // 13, height // 2), height // 8, (40 * i % 256, 200, 90), -1)
        cv2.rectangle(img, (width * i // 12, height // 6), (width * i // 12 + width // 20, height // 3),
                      (255, 30 * i % 256, 0), 3)
    noise = np.random.default_rng(7).integers(-6, 7, img.shape)
    return np.clip(img.astype(np.int16) + noise, 0, 255).astype(np.uint8)


def bare_img_to_str(img):
    ret, buf = cv2.imencode(".jpg", img)
    return base64.b64encode(buf).decode("ascii")


def bare_str_to_img(text):
    return cv2.imdecode(np.frombuffer(base64.b64decode(text.encode("ascii")), dtype=np.uint8), -1)


def cases():
    out = []
    # 32x24 shows the kit's own cost per call, which the large frames hide.
    for w, h in ((32, 24), (640, 480), (1920, 1080)):
        img = scene(w, h)
        text = utils.img_to_str(img, ".jpg", True)
        assert text == bare_img_to_str(img)
        assert np.array_equal(utils.str_to_img(text, ".jpg", True), bare_str_to_img(text))
        out.append((f"img_to_str jpg+b64 {w}x{h}",
                    lambda img=img: utils.img_to_str(img, ".jpg", True), lambda img=img: bare_img_to_str(img)))
        out.append((f"str_to_img jpg+b64 {w}x{h}",
                    lambda t=text: utils.str_to_img(t, ".jpg", True), lambda t=text: bare_str_to_img(t)))
    img = scene(640, 480)

    def bare_zoom(img=img, zoom=0.5):
        h, w = img.shape[:2]
        return cv2.resize(img, (int(w * zoom), int(h * zoom)))

    def bare_size(img=img, size=(320, 240)):
        img.shape
        return cv2.resize(img, size)

    out.append(("resize zoom 0.5 640x480", lambda: utils.resize(img, 0.5), bare_zoom))
    out.append(("resize size 320x240 640x480", lambda: utils.resize(img, size=(320, 240)), bare_size))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=101)
    args = parser.parse_args()

    header()
    for name, kit, bare in cases():
        kit(), bare()  # warm up
        row(name, *measure(kit, bare, args.repeats))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
