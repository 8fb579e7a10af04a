#include "codec/jpeg.hpp"

#ifdef XALO_HAVE_TURBOJPEG
#include <dlfcn.h>
#include <turbojpeg.h>
#endif

#include <memory>

namespace xcodec {

namespace {

inline unsigned be16(const unsigned char* p) { return (unsigned)p[0] << 8 | p[1]; }

}  // namespace

bool jpeg_plain(const unsigned char* d, size_t n, JpegShape* shape) noexcept {
    if (n < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return false;
    bool have_frame = false;
    size_t i = 2;
    while (i + 4 <= n) {
        if (d[i] != 0xFF)
            return false;  // garbage between segments: OpenCV's reader decides
        unsigned char m = d[i + 1];
        if (m == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        size_t length = be16(d + i + 2);
        if (length < 2 || length > n - i - 2)
            return false;
        const unsigned char* s = d + i + 4;  // the segment's contents
        size_t len = length - 2;
        if (m == 0xDA)  // start of scan: everything that decides the output is known
            return have_frame;
        if (m == 0xC0 || m == 0xC1) {  // baseline, extended sequential Huffman
            if (have_frame || len < 6 || s[0] != 8)
                return false;
            unsigned height = be16(s + 1), width = be16(s + 3), count = s[5];
            if (width == 0 || height == 0 || len != 6 + 3 * (size_t)count)
                return false;
            const unsigned char* c = s + 6;
            if (count == 1) {
                shape->channels = 1;
            } else if (count == 3) {
                if (c[0] != 1 || c[3] != 2 || c[6] != 3 || c[4] != 0x11 || c[7] != 0x11)
                    return false;
                if (c[1] != 0x11 && c[1] != 0x21 && c[1] != 0x22)  // 4:4:4, 4:2:2, 4:2:0
                    return false;
                shape->channels = 3;
            } else {
                return false;
            }
            shape->width = (int)width;
            shape->height = (int)height;
            have_frame = true;
        } else if ((m >= 0xC2 && m <= 0xCF && m != 0xC4) || m == 0xDC || m == 0xDE || m == 0xDF) {
            // progressive, lossless, arithmetic coding (and its conditioning),
            // hierarchical: all OpenCV's
            return false;
        } else if (m == 0xEE && len >= 5 && s[0] == 'A' && s[1] == 'd' && s[2] == 'o' && s[3] == 'b' && s[4] == 'e') {
            return false;  // Adobe's colour transform flag
        } else if (m == 0xD8 || m == 0xD9 || m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
            return false;  // a marker without a segment where a segment belongs
        }
        i += 2 + length;
    }
    return false;
}

#ifdef XALO_HAVE_TURBOJPEG

namespace {

// The few TurboJPEG calls, resolved once from libturbojpeg.so.0.
struct Api {
    decltype(&tjInitDecompress) init = nullptr;
    decltype(&tjDecompressHeader3) header = nullptr;
    decltype(&tjDecompress2) decompress = nullptr;
    decltype(&tjDestroy) destroy = nullptr;
    bool ok = false;

    Api() {
        void* lib = dlopen("libturbojpeg.so.0", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr)
            return;
        init = reinterpret_cast<decltype(init)>(dlsym(lib, "tjInitDecompress"));
        header = reinterpret_cast<decltype(header)>(dlsym(lib, "tjDecompressHeader3"));
        decompress = reinterpret_cast<decltype(decompress)>(dlsym(lib, "tjDecompress2"));
        destroy = reinterpret_cast<decltype(destroy)>(dlsym(lib, "tjDestroy"));
        ok = init && header && decompress && destroy;
        // The library stays loaded for the life of the process.
    }
};

const Api& api() {
    static const Api a;
    return a;
}

struct HandleCloser {
    void operator()(void* h) const noexcept { api().destroy(h); }
};

}  // namespace

bool jpeg_available() noexcept { return api().ok; }

bool jpeg_decode(const unsigned char* d, size_t n, const JpegShape& shape, unsigned char* out) noexcept {
    if (!api().ok || n > (size_t)(unsigned long)-1)
        return false;
    // A file cut short goes to OpenCV's reader: not every TurboJPEG build
    // reports the missing data as a warning (trixie's decodes it without
    // one), and OpenCV's reader fills what is missing its own way.
    if (n < 4 || d[n - 2] != 0xFF || d[n - 1] != 0xD9)
        return false;
    // A decompressor of its own for each file: one that decoded a file before
    // keeps that file's quantisation and Huffman tables, and would use them
    // for a file that lacks its own, where OpenCV's reader fails (or takes
    // the standard Huffman tables).
    std::unique_ptr<void, HandleCloser> handle(api().init());
    void* h = handle.get();
    if (h == nullptr)
        return false;
    int width = 0, height = 0, subsamp = -1, colorspace = -1;
    if (api().header(h, d, (unsigned long)n, &width, &height, &subsamp, &colorspace) != 0)
        return false;
    if (width != shape.width || height != shape.height)
        return false;
    bool grey = shape.channels == 1;
    if (grey ? (colorspace != TJCS_GRAY || subsamp != TJSAMP_GRAY)
             : (colorspace != TJCS_YCbCr || (subsamp != TJSAMP_444 && subsamp != TJSAMP_422 && subsamp != TJSAMP_420)))
        return false;
    // Non-zero also for a warning (corrupt data the library worked around).
    return api().decompress(h, d, (unsigned long)n, out, width, 0, height, grey ? TJPF_GRAY : TJPF_BGR,
                            TJFLAG_ACCURATEDCT) == 0;
}

#else

bool jpeg_available() noexcept { return false; }

bool jpeg_decode(const unsigned char*, size_t, const JpegShape&, unsigned char*) noexcept { return false; }

#endif

}  // namespace xcodec
