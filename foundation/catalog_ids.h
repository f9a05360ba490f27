/* Where a message id lives in the X/Open catalogue: one set per component
 * (the id without its low 12 bits), one message number per id. Shared by the
 * catalogue generator and the run-time look-up so the two cannot disagree. */
#ifndef ORNUTIL_FOUNDATION_CATALOG_IDS_H
#define ORNUTIL_FOUNDATION_CATALOG_IDS_H

/* gencat reserves number 0, hence the + 1. */
#define ORN_MSG_CAT_SET(id) ((int)(((unsigned int)(id)) >> 12))
#define ORN_MSG_CAT_NUMBER(id) ((int)((((unsigned int)(id)) & 0xfffu) + 1u))
#define ORN_MSG_CAT_NAME "ornutil"

#endif
