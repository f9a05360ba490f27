/* A C11 program using the library's C entry points through the installed
 * headers. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/msgcat.h"
#include "foundation/svc.h"
#include "foundation/zmbchar.h"
#include "util/cfgfile.h"
#include "util/fipsMode.h"
#include "util/getpath.h"
#include "util/KelMsg.h"

int main(void) {
  unsigned long status = 1;
  char* text = orn_msg_get_msg(0x10652065u, &status);
  if (!text || status != 0 || strcmp(text, "Out of memory.") != 0) {
    fprintf(stderr, "catalogue: %s\n", text ? text : "(null)");
    return 1;
  }
  free(text);
  zcharset_handle_t utf8 = zgetUTF8Handle_7_0_0();
  if (zmblen_7_0_0(utf8, "\xc3\xa9", 2) != 2) return 2;
  if (orn_svc_debug_level(kelcore_svc_handle, 0) > 9) return 3;
  unsigned int (*load)(const char*, ZStzFileItem_7_0_0*, unsigned int, int) = config_item_load;
  const char* (*path)(const char*) = orn_get_path;
  const char* (*mode)(void) = getCompliance;
  unsigned char* (*msg)(unsigned int) = kel_i18n_msg;
  if (!load || !path || !mode || !msg) return 4;
  printf("C consumer: ok\n");
  return 0;
}
