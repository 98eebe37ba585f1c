// POSIX backend, internal: lossless conversions for file names and terminals.
#pragma once
#include <string>
#include <string_view>

// UTF-16 to bytes (lone surrogates U+DC80..U+DCFF become their bytes).
std::string posix_to_bytes(const char16_t* text);
std::string posix_to_bytes(std::u16string_view text);

// Bytes to UTF-16 (bytes outside valid UTF-8 become lone surrogates).
std::u16string posix_from_bytes(std::string_view bytes);
