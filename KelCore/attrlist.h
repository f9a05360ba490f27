/* Attribute lists: sorted, C-heap records of named, multi-valued, typed
 * attributes that C callers build, search, copy and release.
 *
 * Entries are kept in ascending byte order of their upper-cased names (ASCII
 * a to z upper-cased); names equal after upper-casing are one attribute.
 * Arrays are exactly as long as their counts. Every block reachable from a
 * list comes from malloc and is released with free, except the encoded
 * object of a type-3 value, which goes through orn_asn_buffer_free.
 *
 * The add and delete functions report exhausted memory by throwing the C++
 * exception ZOutOfMemoryException_7_0_0 (source "KelCore/attrlist"); a C
 * caller must not let one reach C frames. */
#ifndef ORNUTIL_KELCORE_ATTRLIST_H
#define ORNUTIL_KELCORE_ATTRLIST_H

#include "foundation/export.h"

/* Value type codes. Any other code is held like a buffer. */
#define ATTR_VALUE_BUFFER 2 /* `length` opaque bytes at `data` */
#define ATTR_VALUE_POBJ 3   /* an encoded object (orn_asn_buffer_t bytes) */
#define ATTR_VALUE_STRING 4 /* the NUL-terminated text in `str` */
#define ATTR_VALUE_UINT32 5 /* 4 bytes, big-endian, at `data` */

typedef struct value_s_t {
  unsigned int type;
  char* str;            /* heap text or null */
  unsigned int length;  /* bytes at data */
  unsigned char* data;  /* heap bytes or null */
} value_s_t;

typedef struct attr_s_t {
  char* name;  /* as first added, not upper-cased */
  unsigned int num_values;
  value_s_t* values; /* null when num_values is 0 */
} attr_s_t;

typedef struct attrlist_s_t {
  unsigned int num_entries;
  attr_s_t* entries; /* null when num_entries is 0 */
} attrlist_s_t;

ORNUTIL_BEGIN_DECL

/* Returns a malloc'd copy of `text`, or null when `text` is null or the copy
 * cannot be allocated. */
ORNUTIL_API char* loc_strdup(char const* text);

/* Returns the index of the entry whose name equals `name` once both are
 * upper-cased, or list->num_entries when there is none. A null name reads as
 * the empty text. */
ORNUTIL_API unsigned int attrlist_find_entry(attrlist_s_t* list, char const* name);

/* Adds a copy of `value` under `name`: to the existing entry of that name in
 * any letter case, or to a new entry (named exactly `name`) in its sorted
 * place. Throws ZOutOfMemoryException_7_0_0 when memory runs out or when the
 * value would hold neither a string nor data (see attrlist_add_value); the
 * list is then unchanged. */
ORNUTIL_API void attrlist_add_entry(attrlist_s_t* list, char* name, value_s_t* value);

/* Appends a copy of `value` to the attribute: its type, a copy of its `str`,
 * its `length` and a copy of its bytes (for type 3 through
 * orn_asn_buffer_copy). Bytes are read only when `length` is non-zero and
 * `data` is non-null; a non-zero length with null data is stored as length
 * 0. Throws ZOutOfMemoryException_7_0_0 when memory runs out or when the
 * copy would hold neither a string nor data (a missing string with no bytes,
 * or a type-3 object whose copy failed); the attribute is then unchanged. */
ORNUTIL_API void attrlist_add_value(attr_s_t* attribute, value_s_t* value);

/* Removes and releases the value at `index`; an index past the last value
 * does nothing. Removing the last value leaves the entry with no values and
 * a null array. Throws ZOutOfMemoryException_7_0_0, before changing
 * anything, when the shorter array cannot be allocated. */
ORNUTIL_API void attrlist_del_value(attr_s_t* attribute, unsigned int index);

/* Releases the encoded object of a type-3 value with orn_asn_buffer_free.
 * The value's fields are not reset (it is passed by value). */
ORNUTIL_API void attr_free_value_pobj(value_s_t value);

/* Sets target->data to a fresh copy of the source's encoded object
 * (source->length bytes at source->data), or to null when the copy fails.
 * target->length is left alone. */
ORNUTIL_API void attrlist_copy_value_pobj(value_s_t const* source, value_s_t* target);

/* Releases the attribute's values, strings, data and name; the record itself
 * is neither freed nor reset. */
ORNUTIL_API void attr_free(attr_s_t* attribute);

/* Releases the whole list, including its malloc'd record, and sets *list to
 * null. A null *list is accepted. */
ORNUTIL_API void attrlist_delete(attrlist_s_t** list);

/* Returns a new malloc'd deep copy of the list, to be released with
 * attrlist_delete; null for a null list, and null (with nothing left
 * allocated) when memory runs out or a value copy would hold neither a
 * string nor data. */
ORNUTIL_API attrlist_s_t* attrlist_dup(attrlist_s_t const* list);

ORNUTIL_END_DECL

#endif
