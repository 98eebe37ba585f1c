// Text files, private to the module: the UTF-8 conversions of lines, the
// same on every system.
//
// Decoding is lossless, so that distinct lines never read as equal: a valid
// shortest-form sequence becomes its code point, and every other byte b
// becomes the lone surrogate U+DC00 + b (U+DC80..U+DCFF) on its own. A byte
// that is not a continuation byte always ends a sequence, so CR, LF and 0
// are never taken into one. Encoding turns those surrogates back into
// their bytes, so a line read from UTF-8 is written back byte for byte.
#pragma once
#include <cstdint>

// Decodes `count` bytes; writes at most `count` code units to dst (never
// more units than bytes) and returns their number.
std::int32_t txt_utf8_decode(const unsigned char* src, std::int32_t count, char16_t* dst);

// Encodes `count` code units. U+DC80..U+DCFF become the bytes 80..FF, other
// lone surrogates U+FFFD. Stops before a character that would not fit in
// `capacity` bytes (3 per unit always fit); returns the bytes written.
std::int32_t txt_utf8_encode(const char16_t* src, std::int32_t count, unsigned char* dst, std::int32_t capacity);
