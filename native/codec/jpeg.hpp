// JPEG decoding through libjpeg-turbo's TurboJPEG API, for the files it turns
// into exactly the pixels OpenCV's reader gives (cv2.imdecode with
// IMREAD_UNCHANGED): the same library underneath, asked for the same output
// (accurate integer DCT, smooth upsampling, BGR or one grey channel). No
// Python here: the image functions of xalo_sdk.redis.utils are the users, and
// everything this route declines goes to OpenCV.
//
// libturbojpeg is opened at run time, so a build or a machine without it
// simply has no route (available() is false).
#pragma once

#include <cstddef>

namespace xcodec {

struct JpegShape {
    int width = 0, height = 0;
    int channels = 0;  // 3 (BGR) or 1 (grey)
};

// True when this build has the route and libturbojpeg could be opened.
bool jpeg_available() noexcept;

// True when d holds a JPEG of the plain kind this route decodes bit for bit
// as OpenCV does: baseline or extended sequential Huffman coding, 8-bit
// samples, one grey component or three YCbCr components (ids 1, 2, 3)
// sampled 4:4:4, 4:2:2 or 4:2:0, no Adobe colour transform marker, no
// arithmetic coding conditioning. Only the markers before the first scan are
// read; the size is that of the frame header.
bool jpeg_plain(const unsigned char* d, size_t n, JpegShape* shape) noexcept;

// Decodes d into out (height * width * channels bytes, rows packed). False
// when the library reports an error or a warning (corrupt or cut-short data,
// for which OpenCV's own reader is the judge), or when its header disagrees
// with shape. Thread-safe: each call has a decompressor of its own.
bool jpeg_decode(const unsigned char* d, size_t n, const JpegShape& shape, unsigned char* out) noexcept;

}  // namespace xcodec
