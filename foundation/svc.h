/* Serviceability: log records, debug traces and their handles.
 *
 * A record is one line, written with a single write() so that records of
 * concurrent threads and processes never interleave:
 *
 *   2026-12-10T04:20:02.123456Z prog[1234] ERROR kel.core:2 0x1354a1c8 util/kellock:120 text
 *
 * fields: UTC timestamp, program name and process id, severity (FATAL for
 * attributes 16, ERROR 32, WARNING 48, NOTICE otherwise; DEBUGn for a trace
 * record of level n), handle name and subcomponent, message id (0x and 8
 * lower-case hex digits; "-" for traces), source position, text. In the text
 * a backslash is written \\, a newline \n, a carriage return \r and other
 * control characters but the tab \xHH; one trailing newline is dropped.
 *
 * Records go to standard error, or are appended to the file named by the
 * environment variable ORN_SVC_LOG (read by orn_svc_init, or by the first
 * record when orn_svc_init has not been called). Opening it never waits and
 * never takes a controlling terminal: a FIFO without a reader counts as a
 * file that cannot be opened (records go to standard error); a FIFO or pipe
 * with a reader, a terminal or /dev/stderr is written to as standard error
 * is, each record with one blocking write. A set-user-ID, set-group-ID or
 * file-capability process ignores ORN_SVC_LOG and writes to standard error
 * (see foundation/internal/environment.h).
 *
 * Debug levels (0 to 9, default 0) come from ORN_SVC_DEBUG, read when a
 * handle is first filled in: a comma-separated list of NAME:SUB.LEVEL where
 * NAME is a handle name (orn.ras, orn.z, orn.c, bas, kel.core) or *, and SUB
 * a subcomponent number 0 to 15 or *; later entries win. Example:
 * ORN_SVC_DEBUG=orn.ras:3.9,kel.core:*.1
 */
#ifndef ORNUTIL_FOUNDATION_SVC_H
#define ORNUTIL_FOUNDATION_SVC_H

#include <stdarg.h>

#include "foundation/export.h"

#define ORN_SVC_SUBCOMPONENTS 16

/* Attribute values of the printf calls. */
#define ORN_SVC_ATTR_FATAL 16u
#define ORN_SVC_ATTR_ERROR 32u
#define ORN_SVC_ATTR_WARNING 48u

typedef struct dce_svc_handle_s_t {
  const char* name;   /* handle name in records and in ORN_SVC_DEBUG */
  int filled;         /* set once the debug levels have been read */
  unsigned char levels[ORN_SVC_SUBCOMPONENTS];
} dce_svc_handle_s_t;

ORNUTIL_BEGIN_DECL

/* One handle per component. */
ORNUTIL_API extern dce_svc_handle_s_t* orn_ras_svc_handle;  /* "orn.ras" */
ORNUTIL_API extern dce_svc_handle_s_t* ornz_svc_handle;     /* "orn.z" */
ORNUTIL_API extern dce_svc_handle_s_t* ornc_svc_handle;     /* "orn.c" */
ORNUTIL_API extern dce_svc_handle_s_t* bas_svc_handle;      /* "bas" */
ORNUTIL_API extern dce_svc_handle_s_t* kelcore_svc_handle;  /* "kel.core" */

/* Code sets of orn_svc_printf_cs_withfile: the local code page and UTF-8.
 * Texts are written as they are in both (the local code page is taken to be
 * ASCII-compatible). */
ORNUTIL_API extern const unsigned int orn_svc_lcp_cs;
ORNUTIL_API extern const unsigned int orn_svc_utf8_cs;

/* Logs catalogue message `msgid`: its text (orn_msg_get_msg, or the built-in
 * text) with the inserts put in. `argtypes` lists the variadic arguments:
 * "%s" a char const* (null prints as "(null)"), "%d" an int. Each directive
 * of the text takes the next insert; a directive without an insert is
 * printed as it stands, an insert's own % is printed, never interpreted. */
ORNUTIL_API void orn_svc_printf_withfile(dce_svc_handle_s_t* handle, const char* file, int line,
                                         const char* argtypes, unsigned int subcomponent,
                                         unsigned int attributes, unsigned int msgid, ...);
ORNUTIL_API void orn_svc_printf_cs_withfile(dce_svc_handle_s_t* handle, unsigned int codeset,
                                            const char* file, int line, const char* argtypes,
                                            unsigned int subcomponent, unsigned int attributes,
                                            unsigned int msgid, ...);
ORNUTIL_API void orn_svc_vprintf_withfile(dce_svc_handle_s_t* handle, const char* file, int line,
                                          const char* argtypes, unsigned int subcomponent,
                                          unsigned int attributes, unsigned int msgid,
                                          va_list inserts);

/* Writes a trace record, printf-formatted, when the subcomponent's level is
 * at least `level`. Callers normally test the level first
 * (orn_svc_debug_level) so that the arguments are not even built. */
ORNUTIL_API void orn_svc__debug_withfile(dce_svc_handle_s_t* handle, const char* file, int line,
                                         unsigned int subcomponent, unsigned int level,
                                         const char* format, ...)
    __attribute__((format(printf, 6, 7)));
ORNUTIL_API void orn_svc__debug_utf8_withfile(dce_svc_handle_s_t* handle, const char* file,
                                              int line, unsigned int subcomponent,
                                              unsigned int level, const char* format, ...)
    __attribute__((format(printf, 6, 7)));

/* Fills in the handle's debug levels from ORN_SVC_DEBUG (once per handle)
 * and returns the level of the subcomponent. Thread-safe. */
ORNUTIL_API unsigned int orn_svc__debug_fillin2(dce_svc_handle_s_t* handle,
                                                unsigned int subcomponent);
/* The subcomponent's debug level, filling the handle in first if needed. */
ORNUTIL_API unsigned int orn_svc_debug_level(dce_svc_handle_s_t* handle, unsigned int subcomponent);
/* Sets a subcomponent's level (0 to 9) at run time; subcomponent -1 sets all. */
ORNUTIL_API void orn_svc_set_debug_level(dce_svc_handle_s_t* handle, int subcomponent,
                                         unsigned int level);

/* Names the program in records. Status 0, or 0x10652080 for a null or empty
 * name (the name is then unchanged). */
ORNUTIL_API void orn_svc_set_progname(const char* progname, unsigned long* status);
/* (Re)opens the destination: ORN_SVC_LOG if set, else standard error.
 * Status 0, or 0x10652081 when the log file cannot be opened (records then
 * go to standard error). `flags` is reserved and must be 0. */
ORNUTIL_API void orn_svc_init(int flags, unsigned long* status);

ORNUTIL_END_DECL

#endif
