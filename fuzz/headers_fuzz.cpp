// libFuzzer target for the image-header readers (native/image): the input as
// an image file, its claimed size read twice with the same result, and from
// an exact-size copy of every prefix too (the address checks catch any read
// beyond the bytes given). A claim names its format exactly when it is known
// or unreadable.
//
//   make fuzz-headers [HEADERS_FUZZ_SECONDS=20]
#include "image/headers.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

using ximage::Claim;

namespace {

void check(const Claim& c) {
    if ((c.kind == Claim::kNone) != (c.format == nullptr))
        std::abort();
    if (c.kind != Claim::kKnown && (c.w != 0 || c.h != 0))
        std::abort();
}

bool same(const Claim& a, const Claim& b) {
    return a.kind == b.kind && a.format == b.format && a.w == b.w && a.h == b.h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Claim c = ximage::claimed_size(data, size);
    check(c);
    if (!same(c, ximage::claimed_size(data, size)))
        std::abort();
    // A header cut short at any point, as a truncated key value would be.
    // Large inputs are cut only near their start, where the headers are.
    for (size_t n = 0; n < size && n < 512; ++n) {
        std::unique_ptr<unsigned char[]> cut(new unsigned char[n ? n : 1]);
        if (n)
            std::memcpy(cut.get(), data, n);
        check(ximage::claimed_size(cut.get(), n));
    }
    return 0;
}
