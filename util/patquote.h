/* Pattern quoting: a heap copy of a text with the characters that LDAP search
 * filters give a meaning to written as value escapes (RFC 4515: a backslash
 * and two hexadecimal digits), multibyte UTF-8 characters kept as they are. */
#ifndef ORNUTIL_UTIL_PATQUOTE_H
#define ORNUTIL_UTIL_PATQUOTE_H

#include "foundation/export.h"

ORNUTIL_BEGIN_DECL

/* ( ) and backslash: quoted in patterns, where * stays a wildcard. */
ORNUTIL_API extern const char patquotelist[4];
/* * ( ) and backslash: quoted in plain values. */
ORNUTIL_API extern const char nopatquotelist[5];
/* "0123456789abcdef": the digits of the escapes, lower case. */
ORNUTIL_API extern const char hexdigit[17];

/* `text` (UTF-8, NUL-terminated) with each of ( ) and backslash replaced by
 * \28, \29 and \5c; everything else, the asterisk and controls included, is
 * copied unchanged. Returns a NUL-terminated block from malloc that the
 * caller releases with free (it may be up to three times longer than the
 * result needs), or null when `text` is null or not valid UTF-8 (a byte that
 * starts no character, or a character cut off by the end of the text) or
 * memory is exhausted; nothing stays allocated on failure. */
ORNUTIL_API char* kel_mbs_patquote(char const* text);
/* As kel_mbs_patquote, but the asterisk is quoted too, as \2a. */
ORNUTIL_API char* kel_mbs_nopatquote(char const* text);

ORNUTIL_END_DECL

#endif
