#include "image/headers.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace ximage {

namespace {

inline unsigned be16(const unsigned char* p) { return (unsigned)p[0] << 8 | p[1]; }
inline unsigned long be32(const unsigned char* p) { return (unsigned long)be16(p) << 16 | be16(p + 2); }
inline long le32(const unsigned char* p) {
    return (long)(int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
}

inline unsigned le16(const unsigned char* p) { return (unsigned)p[0] | (unsigned)p[1] << 8; }
inline unsigned long le24(const unsigned char* p) { return (unsigned long)le16(p) | (unsigned long)p[2] << 16; }

// The size a WebP chunk ("VP8 ", "VP8L", "VP8X" and its length first) or a
// bare VP8 or VP8L bitstream claims.
bool webp_size(const unsigned char* c, size_t n, unsigned long long& w, unsigned long long& h) {
    if (n >= 8 && (std::memcmp(c, "VP8 ", 4) == 0 || std::memcmp(c, "VP8L", 4) == 0)) {
        c += 8;
        n -= 8;
    } else if (n >= 18 && std::memcmp(c, "VP8X", 4) == 0) {
        w = le24(c + 12) + 1;
        h = le24(c + 15) + 1;
        return true;
    }
    if (n >= 5 && c[0] == 0x2F) {  // lossless: 14-bit width and height, less one
        unsigned long bits = (unsigned long)le16(c + 1) | (unsigned long)le16(c + 3) << 16;
        w = (bits & 0x3FFF) + 1;
        h = ((bits >> 14) & 0x3FFF) + 1;
        return true;
    }
    if (n >= 10 && c[3] == 0x9D && c[4] == 0x01 && c[5] == 0x2A) {  // lossy key frame
        w = le16(c + 6) & 0x3FFF;
        h = le16(c + 8) & 0x3FFF;
        return true;
    }
    return false;
}


Claim known(const char* format, unsigned long long w, unsigned long long h) {
    Claim c;
    c.kind = Claim::kKnown;
    c.format = format;
    c.w = w;
    c.h = h;
    return c;
}

// Data that OpenCV would decode as `format` but whose size is not read here
// (or whose header is cut short or malformed): refused, since nothing bounds
// what decoding it would allocate.
Claim unreadable(const char* format) {
    Claim c;
    c.kind = Claim::kUnreadable;
    c.format = format;
    return c;
}

// A PNG's size from its IHDR, once every chunk is seen to lie within the
// data: some decoders allocate a chunk's stated length before reading it, so
// a few corrupt bytes could otherwise cost gigabytes.
Claim png_claim(const unsigned char* d, size_t n) {
    for (size_t at = 8; n - at >= 12;) {
        unsigned long long length = be32(d + at);
        if (length > n - at - 12)
            return unreadable("PNG");
        if (std::memcmp(d + at + 4, "IEND", 4) == 0)
            break;
        at += 12 + (size_t)length;
    }
    return known("PNG", be32(d + 16), be32(d + 20));
}

inline bool space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool digit(unsigned char c) { return c >= '0' && c <= '9'; }

// A decimal number of a Netpbm header at d[*i], after white space and
// '#' comments; saturates far above any limit. False when there is none.
bool netpbm_number(const unsigned char* d, size_t n, size_t* i, unsigned long long* v) {
    while (*i < n && !digit(d[*i])) {
        if (d[*i] == '#') {
            while (*i < n && d[*i] != '\n' && d[*i] != '\r')
                ++*i;
        } else if (space(d[*i])) {
            ++*i;
        } else {
            return false;
        }
    }
    if (*i >= n)
        return false;
    unsigned long long value = 0;
    while (*i < n && digit(d[*i])) {
        if (value < (1ULL << 40))
            value = value * 10 + (d[*i] - '0');
        ++*i;
    }
    *v = value;
    return true;
}

// PAM: "WIDTH n" and "HEIGHT n" lines before "ENDHDR".
Claim pam_size(const unsigned char* d, size_t n) {
    unsigned long long w = 0, h = 0;
    bool have_w = false, have_h = false;
    size_t i = 3;
    while (i < n) {
        size_t end = i;
        while (end < n && d[end] != '\n')
            ++end;
        size_t k = i;
        while (k < end && space(d[k]))
            ++k;
        size_t key = k;
        while (k < end && !space(d[k]))
            ++k;
        size_t len = k - key;
        auto is = [&](const char* word) { return len == std::strlen(word) && std::memcmp(d + key, word, len) == 0; };
        if (is("ENDHDR"))
            break;
        if (is("WIDTH"))
            have_w = netpbm_number(d, end, &k, &w);
        else if (is("HEIGHT"))
            have_h = netpbm_number(d, end, &k, &h);
        i = end + 1;
    }
    return have_w && have_h ? known("PAM", w, h) : unreadable("PAM");
}

// Radiance HDR: header lines up to an empty one, then the resolution line,
// "-Y <height> +X <width>" (either sign, either axis first).
Claim hdr_size(const unsigned char* d, size_t n) {
    size_t i = 0;
    while (i + 1 < n && !(d[i] == '\n' && d[i + 1] == '\n'))
        ++i;
    i += 2;
    unsigned long long size[2] = {0, 0};  // X, Y
    for (int k = 0; k < 2; ++k) {
        if (i + 2 >= n || (d[i] != '-' && d[i] != '+') || (d[i + 1] != 'X' && d[i + 1] != 'Y'))
            return unreadable("Radiance HDR");
        unsigned long long* v = &size[d[i + 1] - 'X'];
        i += 2;
        if (!netpbm_number(d, n, &i, v))
            return unreadable("Radiance HDR");
        while (i < n && space(d[i]) && d[i] != '\n')
            ++i;
    }
    return known("Radiance HDR", size[0], size[1]);
}

// TIFF and BigTIFF, either byte order: ImageWidth and ImageLength of the
// first directory, the image that OpenCV decodes.
Claim tiff_size(const unsigned char* d, size_t n) {
    const bool le = d[0] == 'I', big = d[le ? 2 : 3] == 0x2B;
    auto u = [&](size_t at, int bytes) {
        unsigned long long v = 0;
        for (int k = 0; k < bytes; ++k)
            v |= (unsigned long long)d[at + k] << (8 * (le ? k : bytes - 1 - k));
        return v;
    };
    const size_t entry = big ? 20 : 12, count_bytes = big ? 8 : 2;
    if (n < (big ? 16u : 8u))
        return unreadable("TIFF");
    unsigned long long ifd = big ? u(8, 8) : u(4, 4);
    if (ifd > n || n - ifd < count_bytes)
        return unreadable("TIFF");
    unsigned long long count = u((size_t)ifd, (int)count_bytes);
    unsigned long long w = 0, h = 0;
    bool have_w = false, have_h = false;
    size_t at = (size_t)ifd + count_bytes;
    for (unsigned long long k = 0; k < count && n - at >= entry; ++k, at += entry) {
        unsigned tag = (unsigned)u(at, 2), type = (unsigned)u(at + 2, 2);
        if (tag != 256 && tag != 257)
            continue;
        size_t value = at + (big ? 12 : 8);
        unsigned long long v;
        if (type == 3)
            v = u(value, 2);  // SHORT
        else if (type == 4)
            v = u(value, 4);  // LONG
        else if (type == 16 && big)
            v = u(value, 8);  // LONG8
        else
            return unreadable("TIFF");
        (tag == 256 ? w : h) = v;
        (tag == 256 ? have_w : have_h) = true;
    }
    return have_w && have_h ? known("TIFF", w, h) : unreadable("TIFF");
}

// JPEG 2000 codestream: the image area of the SIZ segment that follows SOC.
Claim j2k_size(const unsigned char* d, size_t n) {
    if (n < 24)
        return unreadable("JPEG 2000");
    unsigned long long x1 = be32(d + 8), y1 = be32(d + 12), x0 = be32(d + 16), y0 = be32(d + 20);
    if (x0 > x1 || y0 > y1)
        return unreadable("JPEG 2000");
    return known("JPEG 2000", x1 - x0, y1 - y0);
}

// JP2: the larger of the header box's size ("jp2h" holding "ihdr") and the
// contiguous codestream's ("jp2c"); OpenJPEG decodes the codestream.
Claim jp2_size(const unsigned char* d, size_t n) {
    Claim found;
    size_t i = 0;
    while (i + 8 <= n) {
        unsigned long long len = be32(d + i), head = 8;
        if (len == 1) {
            if (i + 16 > n)
                break;
            len = (unsigned long long)be32(d + i + 8) << 32 | be32(d + i + 12);
            head = 16;
        } else if (len == 0) {
            len = n - i;
        }
        if (len < head)
            break;
        const unsigned char* box = d + i + head;
        size_t size = (size_t)std::min<unsigned long long>(len - head, n - i - head);
        Claim c;
        if (std::memcmp(d + i + 4, "jp2h", 4) == 0 && size >= 16 && std::memcmp(box + 4, "ihdr", 4) == 0)
            c = known("JPEG 2000", be32(box + 12), be32(box + 8));
        else if (std::memcmp(d + i + 4, "jp2c", 4) == 0 && size >= 4 && box[0] == 0xFF && box[1] == 0x4F &&
                 box[2] == 0xFF && box[3] == 0x51)
            c = j2k_size(box, size);
        if (c.kind == Claim::kUnreadable)
            return c;
        if (c.kind == Claim::kKnown && (found.kind == Claim::kNone || (double)c.w * (double)c.h > (double)found.w * (double)found.h))
            found = c;
        if (len > n - i)
            break;
        i += (size_t)len;
    }
    return found.kind == Claim::kKnown ? found : unreadable("JPEG 2000");
}

// An ISO media file whose type box names AVIF among its brands.
bool avif_brand(const unsigned char* d, size_t n) {
    if (n < 16 || std::memcmp(d + 4, "ftyp", 4) != 0)
        return false;
    size_t end = std::min<size_t>(n, be32(d));
    for (size_t i = 8; i + 4 <= end; i += 4)
        if (i != 12 && (std::memcmp(d + i, "avif", 4) == 0 || std::memcmp(d + i, "avis", 4) == 0))
            return true;  // the major brand, then the compatible ones (12: the minor version)
    return false;
}

}  // namespace

// The size the header of an image file claims, for every format that OpenCV's
// imdecode recognises, checked in OpenCV's own order where signatures could
// overlap. Data with no known signature is kNone: OpenCV finds no decoder
// for it either.
Claim claimed_size(const unsigned char* d, size_t n) {
    auto starts = [&](const char* sig, size_t len) { return n >= len && std::memcmp(d, sig, len) == 0; };
    if (starts("BM", 2)) {
        if (n < 26)
            return Claim();
        long header = le32(d + 14);
        long width, height;
        if (header == 12) {  // the oldest header: 16-bit sizes
            width = (long)le16(d + 18);
            height = (long)le16(d + 20);
        } else {
            width = le32(d + 18);
            height = le32(d + 22);  // negative: rows stored top-down
        }
        return known("BMP", (unsigned long long)(width < 0 ? -(long long)width : width),
                     (unsigned long long)(height < 0 ? -(long long)height : height));
    }
    if (n >= 10 && (starts("GIF87a", 6) || starts("GIF89a", 6)))
        return known("GIF", le16(d + 6), le16(d + 8));
    if (avif_brand(d, n))
        return unreadable("AVIF");
    if (starts("#?RGBE", 6) || starts("#?RADIANCE", 10))
        return hdr_size(d, n);
    if (n >= 4 && d[0] == 0xFF && d[1] == 0xD8) {
        // JPEG: walk the marker segments up to the first start-of-frame.
        size_t i = 2;
        while (i + 1 < n) {
            if (d[i] != 0xFF) {
                ++i;
                continue;
            }
            unsigned char m = d[i + 1];
            if (m == 0xFF) {  // fill byte
                ++i;
                continue;
            }
            if (m == 0x01 || (m >= 0xD0 && m <= 0xD8)) {  // markers without a segment
                i += 2;
                continue;
            }
            if (m == 0xD9 || m == 0xDA || i + 4 > n)
                return Claim();
            size_t length = be16(d + i + 2);
            bool frame = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
            if (frame)
                return i + 9 > n ? Claim() : known("JPEG", be16(d + i + 7), be16(d + i + 5));
            i += 2 + length;
        }
        return Claim();
    }
    unsigned long long w = 0, h = 0;
    if (n >= 12 && starts("RIFF", 4) && std::memcmp(d + 8, "WEBP", 4) == 0)
        return webp_size(d + 12, n - 12, w, h) ? known("WebP", w, h) : Claim();
    if (starts("\x59\xA6\x6A\x95", 4))
        return n >= 12 ? known("Sun raster", be32(d + 4), be32(d + 8)) : unreadable("Sun raster");
    if (n >= 3 && d[0] == 'P' && space(d[2])) {
        size_t i = 2;
        if (d[1] >= '1' && d[1] <= '6')
            return netpbm_number(d, n, &i, &w) && netpbm_number(d, n, &i, &h) ? known("PNM", w, h)
                                                                              : unreadable("PNM");
        if (d[1] == '7')
            return pam_size(d, n);
        if (d[1] == 'f' || d[1] == 'F')
            return netpbm_number(d, n, &i, &w) && netpbm_number(d, n, &i, &h) ? known("PFM", w, h)
                                                                              : unreadable("PFM");
    }
    if (starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) || starts("MM\0+", 4))
        return tiff_size(d, n);
    static const unsigned char png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (n >= 8 && std::memcmp(d, png, 8) == 0)
        return n >= 24 && std::memcmp(d + 12, "IHDR", 4) == 0 ? png_claim(d, n) : Claim();
    if (n >= 132 && std::memcmp(d + 128, "DICM", 4) == 0)
        return unreadable("DICOM");
    if (starts("\x00\x00\x00\x0cjP  \r\n\x87\n", 12))
        return jp2_size(d, n);
    if (starts("\xFF\x0A", 2) || starts("\x00\x00\x00\x0cJXL \r\n\x87\n", 12))
        return unreadable("JPEG XL");
    if (starts("\xFF\x4F\xFF\x51", 4))
        return j2k_size(d, n);
    if (starts("qoif", 4))
        return n >= 12 ? known("QOI", be32(d + 4), be32(d + 8)) : unreadable("QOI");
    if (starts("\x76\x2F\x31\x01", 4))
        return unreadable("OpenEXR");
    if (starts("NITF", 4) || (n > 144 && std::memcmp(d + 140, "DTED", 4) == 0))
        return unreadable("GDAL raster");
    // The WebP decoder also takes a bare chunk or bitstream.
    return webp_size(d, n, w, h) ? known("WebP", w, h) : Claim();
}

}  // namespace ximage
