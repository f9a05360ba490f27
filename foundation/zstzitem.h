/* The item record with which callers ask a properties file for several
 * values at once (getItems, config_item_load). */
#ifndef ORNUTIL_FOUNDATION_ZSTZITEM_H
#define ORNUTIL_FOUNDATION_ZSTZITEM_H

/* Kind 3: `destination` points to a ZLCString_7_0_0 that receives the value
 * of `stanza`/`key` (empty when absent). Other kinds are not supported. */
#define ZSTZ_ITEM_LCSTRING 3

typedef struct ZStzFileItem_7_0_0 {
  int kind;
  const char* stanza;
  const char* key;
  int reserved1;     /* 0 */
  void* destination;
  void* reserved2;   /* null */
} ZStzFileItem_7_0_0;

#endif
