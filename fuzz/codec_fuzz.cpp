// libFuzzer target for the codecs without Python (native/codec):
//   - Base64: the clean-form decoder against a plain one written here (the
//     same verdict, the same bytes), on the input as text and on the input's
//     own encoding with a few characters changed; encoding against a plain
//     encoder, into buffers of the exact size (the address checks catch any
//     store beyond them).
//   - JPEG: the input as a file; when it passes as plain, decoded twice into
//     a buffer of the exact size, with the same result both times.
//
//   make fuzz-codec [CODEC_FUZZ_SECONDS=20]
#include "codec/base64.hpp"
#include "codec/jpeg.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace xcodec;

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int value(unsigned char c) {
    const char* p = c ? std::strchr(kAlphabet, c) : nullptr;
    return p ? int(p - kAlphabet) : -1;
}

std::string plain_encode(const uint8_t* d, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = uint32_t(d[i]) << 16 | (i + 1 < n ? uint32_t(d[i + 1]) << 8 : 0) | (i + 2 < n ? d[i + 2] : 0);
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += i + 1 < n ? kAlphabet[v >> 6 & 63] : '=';
        out += i + 2 < n ? kAlphabet[v & 63] : '=';
    }
    return out;
}

// The clean form: whole quads of the alphabet, '=' only as the padding of the last.
bool plain_decode(const std::string& s, std::vector<uint8_t>* out) {
    if (s.size() % 4 != 0)
        return false;
    for (size_t i = 0; i < s.size(); i += 4) {
        bool last = i + 4 == s.size();
        int pad = last && s[i + 3] == '=' ? (s[i + 2] == '=' ? 2 : 1) : 0;
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            int q = k < 4 - pad ? value((unsigned char)s[i + k]) : 0;
            if (q < 0)
                return false;
            v = v << 6 | uint32_t(q);
        }
        out->push_back(uint8_t(v >> 16));
        if (pad < 2)
            out->push_back(uint8_t(v >> 8));
        if (pad < 1)
            out->push_back(uint8_t(v));
    }
    return true;
}

void check_decode(const std::string& s) {
    std::vector<uint8_t> want;
    bool clean = plain_decode(s, &want);
    long long size = b64_clean_size(s.data(), s.size());
    if (size >= 0 && (size_t)size != s.size() / 4 * 3 - (s.size() && s.back() == '=') -
                                          (s.size() > 1 && s[s.size() - 2] == '='))
        std::abort();
    std::unique_ptr<uint8_t[]> out(new uint8_t[size > 0 ? size : 1]);
    bool ok = size >= 0 && b64_decode_clean(s.data(), s.size(), out.get());
    if (ok != clean || (ok && (want.size() != (size_t)size || (size > 0 && std::memcmp(want.data(), out.get(), want.size()) != 0))))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Base64 of the input, exact size, against the plain encoder.
    std::string want = plain_encode(data, size);
    std::unique_ptr<char[]> encoded(new char[b64_encoded_size(size) + 1]);
    b64_encode(data, size, encoded.get());
    if (want.size() != b64_encoded_size(size) || std::memcmp(want.data(), encoded.get(), want.size()) != 0)
        std::abort();
    check_decode(want);
    check_decode(std::string(reinterpret_cast<const char*>(data), size));
    // The encoding with characters changed as the input's first bytes say.
    std::string changed = want;
    for (size_t i = 0; i + 1 < size && i < 8 && !changed.empty(); i += 2)
        changed[data[i] % changed.size()] = char(data[i + 1]);
    check_decode(changed);

    JpegShape shape;
    if (jpeg_plain(data, size, &shape) && jpeg_available()) {
        size_t bytes = size_t(shape.width) * size_t(shape.height) * size_t(shape.channels);
        if (bytes <= (1u << 24)) {
            std::unique_ptr<uint8_t[]> a(new uint8_t[bytes]), b(new uint8_t[bytes]);
            bool first = jpeg_decode(data, size, shape, a.get());
            bool second = jpeg_decode(data, size, shape, b.get());
            if (first != second || (first && std::memcmp(a.get(), b.get(), bytes) != 0))
                std::abort();
        }
    }
    return 0;
}
