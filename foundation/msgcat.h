/* Message texts by id, and the family's directory and security services.
 *
 * Texts come from the X/Open catalogue "ornutil" (ornutil.cat), found
 * through NLSPATH and the LC_MESSAGES locale as catopen finds it (NLSPATH's
 * elements, then glibc's /usr/share/locale ones); ids the catalogue lacks
 * fall back to the built-in English texts compiled from messages.def. Only a
 * regular file is read: a FIFO, device, directory or socket where the
 * catalogue is looked for is passed over without waiting, and so are empty
 * elements of NLSPATH and files that are not valid catalogues; the first
 * valid catalogue is used. The catalogue is reopened when NLSPATH has changed
 * since it was opened, so start-up's change of NLSPATH takes effect at once;
 * the locale is the one in force when it was (re)opened (programs set it at
 * start, before threads).
 */
#ifndef ORNUTIL_FOUNDATION_MSGCAT_H
#define ORNUTIL_FOUNDATION_MSGCAT_H

#include "foundation/export.h"

/* Status of the look-ups below when no text exists for the id. */
#define ORN_MSG_S_NOT_FOUND 0x10652082u

ORNUTIL_BEGIN_DECL

/* The text for `id` in the local code page: from the catalogue, else the
 * built-in text. A malloc'd copy the caller frees, or null (status
 * ORN_MSG_S_NOT_FOUND) when neither knows the id. `status` may be null. */
ORNUTIL_API char* orn_msg_get_msg(unsigned int id, unsigned long* status);
/* The same text in UTF-8. */
ORNUTIL_API char* orn_msg_get_msg_utf8(unsigned int id, unsigned long* status);
/* The built-in text only, ignoring any catalogue. */
ORNUTIL_API char* orn_msg_get_default_msg(unsigned int id, unsigned long* status);
/* The argument-types string of a built-in message ("%s%d", ...), or null
 * for an unknown id. The text is static. */
ORNUTIL_API const char* orn_msg_get_argtypes(unsigned int id);

/* The NLSPATH the process started with (captured when the library was
 * loaded), or null; null too in a set-user-ID, set-group-ID or file-capability
 * process, which ignores the caller's NLSPATH (see
 * foundation/internal/environment.h). Static text. */
ORNUTIL_API const char* ris_get_nlspath(void);
/* The family's internationalisation directory: the environment variable
 * ORN_RIS_DIR, or null when it is unset or empty, when memory runs out, and in
 * a set-user-ID, set-group-ID or file-capability process. The text belongs to
 * the library and stays valid for the life of the process. */
ORNUTIL_API const char* ris_get_dir(void);
/* Readies the family's security services. The library's own code has no
 * security state to set up: returns 0. */
ORNUTIL_API int corsec_initialize(void);

ORNUTIL_END_DECL

#endif
