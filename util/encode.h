/* The scrambled-string codec: a keyless, fixed per-byte scrambling of text,
 * recognised by a three-symbol marker at its start. */
#ifndef ORNUTIL_UTIL_ENCODE_H
#define ORNUTIL_UTIL_ENCODE_H

#include "foundation/export.h"

ORNUTIL_BEGIN_DECL

/* The seven symbols of the scheme, numbered 0 to 6: "~^+=?|;". The marker of
 * a scrambled text is its first three, "~^+". */
ORNUTIL_API extern const char* const symb;

/* Scrambles a NUL-terminated text: the marker, then for each byte c (as
 * unsigned, with k = c % 7) the byte (c + k) % 256 followed by
 * k * (7 - k) + 1 copies of symbol k, then a NUL.
 *
 * Returns a new text allocated with malloc (the caller releases it with
 * free). A text that already starts with the marker is returned as a copy,
 * and so is any text when the result cannot be allocated or its size would
 * not fit in a size_t. Returns null only when that copy cannot be made
 * either, or when `text` is null. A byte 254 is stored as 0 and so ends the
 * scrambled text early. */
ORNUTIL_API char* util_encode(char const* text);

/* Restores the plain text of a scrambled text: for each stored byte s the
 * symbol after it names k, the output byte is (s - k) % 256, and the rest of
 * the run is skipped by its length.
 *
 * Returns a new text allocated with malloc (the caller releases it with
 * free). A text that does not start with the marker is returned as a copy,
 * and so is the text when the output cannot be allocated. When a stored byte
 * is not followed by one of the seven symbols, prints
 * "can't decode char at <p>, len=<n>\n" on standard output (p the 0-based
 * position of the character that should have been a symbol, n the text's
 * length) and returns a copy of the text. Returns null only when that copy
 * cannot be made, or when `text` is null. */
ORNUTIL_API char* util_decode(char const* text);

ORNUTIL_END_DECL

#endif
