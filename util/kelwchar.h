/* Character validation of user-supplied text: checks against reject and allow
 * lists that walk UTF-8 text one character at a time, a character search that
 * is not fooled by bytes inside multibyte characters, and a byte-wise check.
 * Quoting is in util/patquote.h, the quoting formatter in util/mbs_sprintf.h. */
#ifndef ORNUTIL_UTIL_KELWCHAR_H
#define ORNUTIL_UTIL_KELWCHAR_H

#include "foundation/export.h"

ORNUTIL_BEGIN_DECL

/* The characters * ? ( ) : and backslash, NUL-terminated. */
ORNUTIL_API extern const char rejlist[7];
/* rejlist without the asterisk, so that a pattern keeps its wildcard. */
ORNUTIL_API extern const char patrejlist[6];

/* The multibyte checks below walk `text` (UTF-8, NUL-terminated) character by
 * character. Only single-byte characters are ever rejected: a reject list's
 * multibyte characters reject nothing, and a byte that starts no UTF-8
 * character is passed over and accepted. A character cut off by the end of
 * the text makes the text unacceptable. A null `text` is unacceptable; a null
 * list counts as an empty one. They change nothing and allocate nothing. */

/* 1 when `text` is acceptable: empty, or no single-byte character of it is
 * in `rejects`, and, when `rejectControls` is nonzero, none is a control
 * 0x01 to 0x1F (0x7F is not one). 0 otherwise. */
ORNUTIL_API int kel_mbs_validchars_int(char const* text, char const* rejects, int rejectControls);
/* kel_mbs_validchars_int(text, rejects, 0). */
ORNUTIL_API int kel_mbs_validchars2(char const* text, char const* rejects);
/* kel_mbs_validchars_int(text, rejects, 1). */
ORNUTIL_API int kel_mbs_validpchars2(char const* text, char const* rejects);
/* kel_mbs_validchars_int(text, rejlist, 1). */
ORNUTIL_API int kel_mbs_validpchars(char const* text);
/* kel_mbs_validchars_int(text, patrejlist, 1): the asterisk is allowed. */
ORNUTIL_API int kel_mbs_validpatchars(char const* text);

/* 1 when every single-byte character of `text` is in `allowed` (a null
 * `allowed` allows none) and no character is cut off by the end of the text;
 * 0 otherwise, also for a null `text`. Each problem is traced at level 1 of
 * subcomponent 0 of kelcore_svc_handle: a cut-off character ("premature end
 * of string", and the check fails), a single-byte character not allowed
 * ("invalid single byte character: %s", and the check fails), and a byte that
 * starts no character ("invalid multibyte hibit-set: %s"; the check goes
 * on), each with the text from the offending byte on: at most 64 bytes of
 * it, followed by "..." when the text goes on. Stray bytes are traced one
 * record each up to 16 per call; any further ones are counted in one last
 * record ("invalid multibyte hibit-set: N more not traced"), so the trace of
 * one call is bounded whatever the text. */
ORNUTIL_API int kel_mbs_checkchars2(char const* text, char const* allowed);

/* The first character of `text` that is the single byte `c` (a char value
 * widened to int, so bytes of 0x80 and above are negative), or null when
 * there is none before the end of the text or a character cut off by it.
 * Bytes inside multibyte characters are never compared; a stray byte that
 * starts no character is. `c` = 0 is never found; a null `text` yields null. */
ORNUTIL_API char* kel_mb_strchr(char const* text, int c);

ORNUTIL_END_DECL

#ifdef __cplusplus
/* A byte-wise check, without the multibyte walk. Returns 0 when `text` is
 * null or empty, or holds a control byte 0x01 to 0x1F, or holds a byte of
 * `rejects`; 1 otherwise (a null or empty `rejects` rejects nothing). The
 * reject list is taken in order: at its first byte of 0x80 or above, before
 * any earlier byte has matched, it throws ZInvalidParameterException_7_0_0
 * (raised at "util/kelwchar" line 608, traced at level 9 of subcomponent 3 of
 * orn_ras_svc_handle just before). */
ORNUTIL_API int utf8_validchars(char const* text, char const* rejects);
#endif

#endif
