// Base64 (the standard alphabet, '=' padding) through libbase64's SIMD codecs,
// chosen for the CPU at run time. No Python here.
//
// Decoding takes only the clean form: a length that is a multiple of four,
// nothing but alphabet characters, and '=' only as one or two characters of
// padding at the very end. Such text means the same bytes to every decoder;
// anything else (white space, junk, misplaced padding) is left to the
// caller's own decoder, whose leniency is the rule.
#pragma once

#include <cstddef>

namespace xcodec {

// Characters that encoding n bytes gives.
constexpr size_t b64_encoded_size(size_t n) { return (n + 2) / 3 * 4; }

// Writes b64_encoded_size(n) characters to out.
void b64_encode(const unsigned char* d, size_t n, char* out) noexcept;

// The number of bytes clean text of n characters decodes to, or -1 when the
// text is not in the clean form as far as its length and padding show.
long long b64_clean_size(const char* s, size_t n) noexcept;

// Decodes clean text into out (b64_clean_size bytes); false when a
// character outside the alphabet shows that it was not clean after all.
bool b64_decode_clean(const char* s, size_t n, unsigned char* out) noexcept;

}  // namespace xcodec
