#include "codec/base64.hpp"

#include <libbase64.h>

#include <cstring>

#if defined(__arm__) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace xcodec {
namespace {

// 32-bit ARM boards mostly have NEON, but Debian's armhf does not promise
// it, and libbase64 cannot tell there: its NEON codec is built in and taken
// only when the kernel says the CPU has NEON.
int codec_flags() noexcept {
#if defined(__arm__) && defined(__linux__) && defined(HWCAP_NEON)
    static const int flags = (getauxval(AT_HWCAP) & HWCAP_NEON) ? BASE64_FORCE_NEON32 : 0;
    return flags;
#else
    return 0;
#endif
}

}  // namespace

void b64_encode(const unsigned char* d, size_t n, char* out) noexcept {
    size_t written = 0;
    base64_encode(reinterpret_cast<const char*>(d), n, out, &written, codec_flags());
}

long long b64_clean_size(const char* s, size_t n) noexcept {
    if (n % 4 != 0)
        return -1;
    if (n == 0)
        return 0;
    size_t pad = s[n - 1] != '=' ? 0 : s[n - 2] != '=' ? 1 : 2;
    // Padding anywhere else (the decoder below would stop at it).
    if (pad == 2 && s[n - 3] == '=')
        return -1;
    if (std::memchr(s, '=', n - pad) != nullptr)
        return -1;
    return (long long)(n / 4 * 3 - pad);
}

bool b64_decode_clean(const char* s, size_t n, unsigned char* out) noexcept {
    long long expected = b64_clean_size(s, n);
    if (expected <= 0)
        return expected == 0;
    // The SIMD loops may store up to 3/4 of the input's length whatever the
    // padding, so the last four characters go through a buffer of their own.
    size_t body = n - 4, written = 0;
    if (base64_decode(s, body, reinterpret_cast<char*>(out), &written, codec_flags()) != 1 || written != body / 4 * 3)
        return false;
    char tail[3];
    size_t tail_written = 0;
    if (base64_decode(s + body, 4, tail, &tail_written, codec_flags()) != 1 || (long long)(written + tail_written) != expected)
        return false;
    std::memcpy(out + written, tail, tail_written);
    return true;
}

}  // namespace xcodec
