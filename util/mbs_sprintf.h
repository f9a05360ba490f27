/* The quoting formatter: builds a directory query or a name from a format and
 * string arguments, quoting each argument for the place it goes to. */
#ifndef ORNUTIL_UTIL_MBS_SPRINTF_H
#define ORNUTIL_UTIL_MBS_SPRINTF_H

#include "foundation/export.h"

ORNUTIL_BEGIN_DECL

/* Quoting lists of the directives (NUL-terminated); %P and %Q use
 * patquotelist and nopatquotelist of util/patquote.h. */
ORNUTIL_API extern const char adsearchlist[3];      /* ( )        %L */
ORNUTIL_API extern const char nopatadsearchlist[4]; /* * ( )      %M */
ORNUTIL_API extern const char principallist[10];    /* \ , + " < > ; = #  %D */
ORNUTIL_API extern const char speciallist[2];       /* #          %A */

/* Formats `format`, in which each directive (a percent sign and one letter)
 * takes the next argument, a NUL-terminated char const*:
 *
 *   %s  copied byte for byte, whatever it holds
 *   %P  search filter pattern: ( ) \ as \28 \29 \5c, * kept as wildcard
 *   %Q  search filter value:   * ( ) \ as \2a \28 \29 \5c
 *   %L  Active Directory search pattern: ( ) as \28 \29
 *   %M  Active Directory search value:   * ( ) as \2a \28 \29
 *   %D  principal name: \ , + " < > ; = # each after a backslash (\, for a comma)
 *   %A  only # quoted, as \#
 *
 * Multibyte UTF-8 characters of quoted arguments are copied unchanged.
 * Returns the NUL-terminated result in a block from malloc that the caller
 * releases with free (the block may be larger than the result), or null,
 * with nothing left allocated, when: `format` or an argument is null; a
 * percent sign is followed by anything else (%%, %d, %p, or the end of the
 * format); a quoted argument is not valid UTF-8 (a byte that starts no
 * character, or a character cut off by the argument's end); the result, or
 * three times the length of a quoted argument, would not fit a 32-bit count;
 * or memory is exhausted. There must be an argument for every directive. */
ORNUTIL_API char* kel_mbs_sprintf(char const* format, ...);

ORNUTIL_END_DECL

#endif
