/* Symbol visibility and C linkage for the library's public interface. */
#ifndef ORNUTIL_FOUNDATION_EXPORT_H
#define ORNUTIL_FOUNDATION_EXPORT_H

/* Everything is hidden unless marked: the exported set is the library's
 * interface and is checked against symbols/ by a test. */
#define ORNUTIL_API __attribute__((visibility("default")))
/* For private members of exported classes, which are no part of the interface. */
#define ORNUTIL_LOCAL __attribute__((visibility("hidden")))

#ifdef __cplusplus
#define ORNUTIL_BEGIN_DECL extern "C" {
#define ORNUTIL_END_DECL }
#else
#define ORNUTIL_BEGIN_DECL
#define ORNUTIL_END_DECL
#endif

#endif
