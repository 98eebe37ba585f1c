// Platform contract: text conversions between UTF-16 and the byte encodings.
//
// Each call converts `count` source units (or bytes) and writes at most
// `capacity` results; with a null destination or capacity 0 it only returns
// the number of results the conversion needs. The result count never
// includes a terminator unless the source count included one.
//
// The POSIX layer is lossless for UTF-8: a byte that is not part of a valid
// sequence becomes the lone surrogate U+DC80 + (byte - 0x80) and such a
// surrogate turns back into its byte, so any file name survives a round
// trip. Its ANSI code page is ISO-8859-1: byte b is unit b and back, units
// above U+00FF become '?'. The Windows layer's ANSI conversions are lossless
// in the same way: a byte that is no character of the code page becomes
// U+DC80 + (byte - 0x80), and back.
#pragma once
#include <cstdint>

std::int32_t os_utf8_to_utf16(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity);
std::int32_t os_utf16_to_utf8(const char16_t* src, std::int32_t count, char* dst, std::int32_t capacity);
std::int32_t os_ansi_to_utf16(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity);
std::int32_t os_utf16_to_ansi(const char16_t* src, std::int32_t count, char* dst, std::int32_t capacity);

// Whether the ANSI code page has one byte a character (POSIX: always).
bool os_ansi_single_byte();

// For tests: the ANSI conversions use another code page (0: the system's own
// again). Only the Windows layer has code pages to choose from; the POSIX
// layer keeps ISO-8859-1.
void os_text_set_ansi_code_page(std::uint32_t code_page);
