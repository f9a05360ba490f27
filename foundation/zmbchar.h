/* Multibyte character functions of the foundation, for the UTF-8 code set. */
#ifndef ORNUTIL_FOUNDATION_ZMBCHAR_H
#define ORNUTIL_FOUNDATION_ZMBCHAR_H

#include <stddef.h>

#include "foundation/export.h"

/* A character-set handle; UTF-8 is the only set. */
typedef const struct zcharset_s_t* zcharset_handle_t;

ORNUTIL_BEGIN_DECL

/* The handle of the UTF-8 character set. Never null. */
ORNUTIL_API zcharset_handle_t zgetUTF8Handle_7_0_0(void);

/* Length in bytes of the character at `text`, looking at no more than
 * `remaining` bytes: 1 for a single-byte character, 2 to 4 for a valid
 * multibyte character, 0 when a valid beginning is cut off by `remaining`
 * (also when `remaining` is 0), -1 for a byte that starts no valid character
 * (RFC 3629: overlong forms, surrogates and code points above U+10FFFF start
 * none). */
ORNUTIL_API int zmblen_7_0_0(zcharset_handle_t handle, const char* text, size_t remaining);

/* Non-null (the position in `list`) when the single-byte character `c` (a
 * char value widened to int) occurs as a character of the multibyte string
 * `list`; null otherwise, and always for c == 0. Bytes inside multibyte
 * characters of `list` never match. */
ORNUTIL_API const char* zstrchr_7_0_0(zcharset_handle_t handle, const char* list, int c);

ORNUTIL_END_DECL

#endif
