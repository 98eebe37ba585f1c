// Regular expressions: patterns compiled once into objects addressed by an
// ObjectId, then asked whether they match somewhere in a text.
//
// The engine works in UTF-8 mode on UTF-8 copies of the UTF-16 strings, so a
// non-ASCII character counts as one character. Matching is case-sensitive
// unless the pattern or the options say otherwise, and unanchored.
#pragma once
#include <cstdint>

#include "core/obj.h"
#include "core/str.h"

// The start-up step: creates the object table and the error-text block and
// points the engine's memory hooks at malloc and free. Runs before any other
// operation of this module.
void rx_init();

// Releases every object (run by rt_release_libraries).
void rx_end();

// rx_create_opts with options 0.
ObjectId rx_create(ObjectId id, CStr pattern);

// Compiles `pattern` into object `id` (OBJ_ANY or a number; a number in use
// is released first). `options` are engine option bits, added to UTF-8 mode.
// Returns the object's reference (for OBJ_ANY the id to use from then on), or
// 0 for a null pattern or one that does not compile; rx_error_text then
// tells why. The empty pattern is valid and matches every text.
ObjectId rx_create_opts(ObjectId id, CStr pattern, std::int32_t options);

// 1 when the object's pattern matches somewhere in `text`; 0 otherwise, for
// a null text and for an id without a compiled pattern.
std::int32_t rx_match(ObjectId object, CStr text);

// Releases one object, or every object when given OBJ_ANY; an id without an
// object is ignored.
void rx_free(ObjectId object);

// The engine's message for the last failed compilation (ASCII, such as
// "missing )"), or the empty text when the last creation did not fail that
// way. Valid until the next creation.
const char* rx_error_text();
