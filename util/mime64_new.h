/* Base64 (RFC 4648, standard alphabet, "=" padding, no line breaks) for byte
 * buffers carried as text, with a decoder that skips what it does not know. */
#ifndef ORNUTIL_UTIL_MIME64_NEW_H
#define ORNUTIL_UTIL_MIME64_NEW_H

#include "foundation/export.h"

ORNUTIL_BEGIN_DECL

/* The 64 characters of the alphabet in value order ('A' is 0, '/' is 63),
 * followed by a NUL. */
ORNUTIL_API extern const char new_alphabet[65];

/* For each character code 0 to 127: its value 0 to 63 when it is one of the
 * alphabet's characters or '-' (which decodes like '/'), 255 otherwise. */
ORNUTIL_API extern const unsigned char new_reverse_alphabet[128];

/* The masks of the lowest 1 to 8 bits: 0x01, 0x03, ... 0xff. */
ORNUTIL_API extern const unsigned char new_bitmasks[8];

/* Encodes the `length` bytes at `data` as Base64.
 *
 * Returns a NUL-terminated text of ((length + 2) / 3) * 4 characters,
 * allocated with malloc; the caller releases it with free. Zero bytes give
 * the empty text (and `data` may then be null).
 *
 * Returns null, and reads nothing, when the result cannot be allocated,
 * including when its size would not fit in a size_t, and when `data` is null
 * while `length` is not 0. */
ORNUTIL_API char* mime64_new_encode(unsigned char const* data, unsigned long length);

/* Decodes the first `length` characters of `text` (a NUL among them is
 * skipped like any other unknown character).
 *
 * The text is read as a stream of 6-bit values: '=' ends it wherever it
 * stands, bytes of 128 and above and characters outside the alphabet (white
 * space, line breaks) are skipped, and '-' counts as '/'. Every four values
 * give three bytes; a last group of two or three values gives one or two
 * bytes, a last lone value none. No error is reported.
 *
 * On return *out holds a malloc'd buffer of the decoded bytes (not
 * NUL-terminated; the caller releases it with free) and *out_length their
 * number, which may be 0 with a non-null buffer. *out is null and
 * *out_length 0 when `text` is null, when `length` is 0, or when the buffer
 * (`length` bytes) cannot be allocated. When `out` or `out_length` is null
 * nothing is decoded and the other one, if given, is set to null or 0. */
ORNUTIL_API void mime64_new_decode(char const* text, unsigned long length, char** out,
                                   unsigned long* out_length);

ORNUTIL_END_DECL

#endif
