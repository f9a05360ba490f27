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
 * k * (7 - k) + 1 copies of symbol k, then a NUL. The empty text gives the
 * marker alone.
 *
 * Returns a new text allocated with malloc (the caller releases it with
 * free). A text that already starts with the marker is returned as a copy
 * (strdup), whatever bytes it holds.
 *
 * Returns null when (a plain text is never handed back as a copy: the
 * caller would take it for its scrambled form):
 * - `text` is null;
 * - the text holds the byte 254, which the scheme cannot hold (it would be
 *   stored as 0 and end the scrambled text there);
 * - the scrambled size would not fit in a size_t;
 * - memory runs out (the result, or for a marked text its copy, cannot be
 *   allocated). */
ORNUTIL_API char* util_encode(char const* text);

/* Restores the plain text of a scrambled text: for each stored byte s the
 * symbol after it names k, the output byte is (s - k) % 256, and the rest of
 * the run is skipped by its length (a run cut short by the end of the text
 * ends the text). The marker alone gives the empty text.
 *
 * Returns a new text allocated with malloc (the caller releases it with
 * free). A text that does not start with the marker is returned as a copy
 * (strdup). When a stored byte is not followed by one of the seven symbols
 * (another character, or the end of the text), the text is broken: prints
 * "can't decode char at <p>, len=<n>\n" on standard output (p the 0-based
 * position of the character that should have been a symbol, n the text's
 * length) and returns a copy of the text.
 *
 * Returns null when `text` is null or memory runs out (the result, or the
 * copy returned for an unmarked or broken text, cannot be allocated): a
 * scrambled text that decodes is never handed back as a copy of itself. */
ORNUTIL_API char* util_decode(char const* text);

ORNUTIL_END_DECL

#endif
