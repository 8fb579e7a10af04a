// The pixel size an image file claims in its header, read without decoding
// it, for every format OpenCV's imdecode recognises. No Python here: the
// image functions of xalo_sdk.redis.utils refuse an image above their pixel
// limit (or one whose size cannot be read) before OpenCV allocates for it.
// Every reader stays within the n bytes it is given, whatever they hold.
#pragma once

#include <cstddef>

namespace ximage {

// What the header of an image file says about its size.
struct Claim {
    enum Kind { kNone, kKnown, kUnreadable } kind = kNone;
    const char* format = nullptr;  // for the refusal message
    unsigned long long w = 0, h = 0;
};

// The size the header of an image file claims, for every format that OpenCV's
// imdecode recognises, checked in OpenCV's own order where signatures could
// overlap. Data with no known signature is kNone: OpenCV finds no decoder
// for it either.
Claim claimed_size(const unsigned char* d, size_t n);

}  // namespace ximage
