/* The wire codec: a name/value node tree to and from DER bytes.
 *
 * Parts: the records (orn_asn_buffer_t, namevalue_s_t, namevalueList_s_t),
 * the status values, the buffer helpers (C) and the codec itself (C++).
 * The byte format is the DER (ITU-T X.690) of the ASN.1 module in
 * foundation/ornasn.asn1, described in docs/attributes.md. */
#ifndef ORNUTIL_FOUNDATION_ORNASN_H
#define ORNUTIL_FOUNDATION_ORNASN_H

#include <stdint.h>

#include "foundation/export.h"

/* An encoded buffer: `length` bytes at `data`. Buffers made here come from
 * malloc and are released with orn_asn_buffer_free. */
typedef struct orn_asn_buffer_t {
  uint64_t length;
  unsigned char* data;
} orn_asn_buffer_t;

/* One node: a name, its values and one child node per name of its subtree.
 * `values` and `subtrees` are null when their counts are 0. */
typedef struct namevalue_s_t {
  char const* name;
  unsigned int num_values;
  char const** values;
  unsigned int num_subtrees;
  struct namevalue_s_t** subtrees;
} namevalue_s_t;

/* The top of a tree: `entries` is null when `num_entries` is 0. */
typedef struct namevalueList_s_t {
  unsigned int num_entries;
  namevalue_s_t** entries;
} namevalueList_s_t;

/* Status values of the codec; 0 is success. */
enum {
  ORN_ASN_OK = 0,
  ORN_ASN_E_NOMEM = 1,      /* an allocation failed */
  ORN_ASN_E_PARAM = 2,      /* null data with a non-zero length, a null node */
  ORN_ASN_E_TRUNCATED = 3,  /* the bytes end inside an element */
  ORN_ASN_E_TAG = 4,        /* an element is not the type the module puts there */
  ORN_ASN_E_LENGTH = 5,     /* indefinite, reserved or not minimally encoded length */
  ORN_ASN_E_TRAILING = 6,   /* bytes after the outermost element, or inside a node */
  ORN_ASN_E_DEPTH = 7,      /* nodes nested deeper than ORN_ASN_MAX_DEPTH */
  ORN_ASN_E_COUNT = 8,      /* more elements than a 32-bit count holds */
  ORN_ASN_E_CONTENT = 9,    /* a NUL byte inside a name or value */
  ORN_ASN_E_TOO_BIG = 10    /* the encoding would be 4 GiB or longer */
};

/* Nodes may nest this many levels (top-level nodes are level 1). */
#define ORN_ASN_MAX_DEPTH 64

ORNUTIL_BEGIN_DECL

/* Copies the bytes of `source` into a new malloc'd block in `target`.
 * On success *status is 0 and `target` holds the copy (an empty source gives
 * length 0 and null data). On failure *status is ORN_ASN_E_NOMEM (no memory)
 * or ORN_ASN_E_PARAM (null source data with a non-zero length) and `target`
 * is set to length 0 and null data. `status` may be null. */
ORNUTIL_API void orn_asn_buffer_copy(orn_asn_buffer_t const* source, orn_asn_buffer_t* target,
                                     unsigned long* status);

/* Frees the buffer's block and leaves it with length 0 and null data. A null
 * buffer or an empty one is accepted. */
ORNUTIL_API void orn_asn_buffer_free(orn_asn_buffer_t* buffer);

ORNUTIL_END_DECL

#ifdef __cplusplus
/* Encodes the tree into one new block of exactly the encoding's size.
 * Returns 0 and sets `buffer` (its former contents are overwritten, not
 * freed); otherwise returns a status above and leaves `buffer` unchanged.
 * A null name or value pointer encodes as the empty text. */
ORNUTIL_API int ornAsnEncodeObj(orn_asn_buffer_t& buffer, namevalueList_s_t& list);

/* Decodes `buffer` strictly (DER only: shortest definite lengths, no bytes
 * left over, at most ORN_ASN_MAX_DEPTH levels, no NUL inside a text). The
 * whole input is checked before anything is allocated. Returns 0 and fills
 * `list` with a tree held in one block that ornAsnFreeObj releases; every
 * name and value is NUL-terminated. Otherwise returns a status above and
 * leaves `list` unchanged, with nothing allocated. */
ORNUTIL_API int ornAsnDecodeObj(orn_asn_buffer_t const& buffer, namevalueList_s_t& list);

/* Releases a tree filled by ornAsnDecodeObj and leaves `list` empty. */
ORNUTIL_API void ornAsnFreeObj(namevalueList_s_t& list);
#endif

#endif
