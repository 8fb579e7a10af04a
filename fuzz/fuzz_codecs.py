"""Fuzz the image decoders str_to_img and base64_to_img.

Each input is three selector bytes and a payload: the first picks the function
and how the payload is presented (bytes, str, other buffers, Base64 text, or
something that is no buffer at all), the second the encoder argument, the
third the Base64 switch. Every call is checked against the reference
package's functions: the same result (arrays compared exactly) and the same
warnings, or None with a warning where the decoded image would be larger than
the pixel limit or the data is in a format whose size the kit does not read
(the reference leaves the limit out; OpenCV's own, set higher, then raises).
"""

import base64

import _harness as h

import numpy as np

with h.atheris.instrument_imports():
    from reference import utils as ref_utils
    from xalo_sdk.redis import utils

ENCODERS = [None, ".jpg", ".bmp", ".JPG", ".Bmp", "jpg", ".jpeg", ".png", "", 5, b".jpg", "\u0130.jpg"]
SWITCHES = [False, True, 1, "yes", np.True_, None, 0]


class BytesChild(bytes):
    pass


def present(kind, payload):
    """The payload in one of the forms a caller might hand in."""
    b64 = base64.b64encode(payload)
    forms = [
        lambda: payload,
        lambda: payload.decode("latin-1"),
        lambda: payload.decode("utf-8", "replace"),  # may hold code points above U+00FF
        lambda: bytearray(payload),
        lambda: memoryview(payload),
        lambda: np.frombuffer(payload, dtype=np.uint8),
        lambda: np.frombuffer(payload[: len(payload) & ~1], dtype=np.int16),
        lambda: b64,
        lambda: b64.decode("ascii"),
        lambda: b64.decode("ascii")[:-1],  # broken padding
        lambda: BytesChild(payload),
        lambda: len(payload),  # no buffer at all
        lambda: None,
    ]
    return forms[kind % len(forms)]()


def over_limit(image):
    return isinstance(image, np.ndarray) and image.ndim >= 2 and image.shape[0] * image.shape[1] > h.KIT_PIXEL_LIMIT


def refused_unread(native, recorder):
    """The kit refused data of a format OpenCV decodes whose size it does not
    read (or a header cut short or malformed), whatever OpenCV would have made
    of it. The reference is not asked then: OpenCV itself may allocate
    without bound on such data."""
    return native[0] == "ok" and native[1] is None and len(recorder.records) == 1 and \
        "size cannot be read" in str(recorder.records[0][1])


def test_one_input(data):
    if len(data) < 3:
        return
    selector, enc_byte, switch_byte, payload = data[0], data[1], data[2], bytes(data[3:])
    arg = present(selector & 0x7F, payload)
    recorder, expected = utils.logger, ref_utils.logger = h.Recorder(), h.Recorder()
    if selector & 0x80:
        what = "base64_to_img"
        native = h.outcome(utils.base64_to_img, arg)
        if refused_unread(native, recorder):
            return
        reference = h.outcome(ref_utils.base64_to_img, arg)
    else:
        what = "str_to_img"
        encoder = ENCODERS[enc_byte % len(ENCODERS)]
        with_base64 = SWITCHES[switch_byte % len(SWITCHES)]
        native = h.outcome(utils.str_to_img, arg, encoder, with_base64)
        if refused_unread(native, recorder):
            return
        reference = h.outcome(ref_utils.str_to_img, arg, encoder, with_base64)

    got_warnings = [r[1] for r in recorder.records]
    expected_warnings = [r[1] for r in expected.records]
    if native[0] == "ok" and not (native[1] is None or isinstance(native[1], np.ndarray)):
        h.mismatch(what + " result type", native, reference, data)
    if reference[0] == "ok" and over_limit(reference[1]):
        # Refused for its size: None and one warning, whatever its text.
        if native[0] != "ok" or native[1] is not None or len(got_warnings) != 1:
            h.mismatch(what + " size refusal", (native, got_warnings), reference, data)
        return
    if h.canon(native) != h.canon(reference):
        h.mismatch(what, native, reference, data)
    if native[0] == reference[0] == "ok" and native[1] is None and reference[1] is None and len(got_warnings) == 1 and \
            len(expected_warnings) <= 1 and "refused" in str(recorder.records[0][1]):
        # A header that claims too many pixels is refused before OpenCV
        # would have failed (or warned) on the rest of the data.
        return
    if got_warnings != expected_warnings:
        h.mismatch(what + " warnings", got_warnings, expected_warnings, data)


if __name__ == "__main__":
    h.run(test_one_input)
