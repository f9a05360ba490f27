/* Prints the text of a message id through the catalogue service. */
#include <stdio.h>
#include <stdlib.h>

#include "foundation/msgcat.h"

int main(void) {
  unsigned long status = 0;
  char* text = orn_msg_get_msg(0x10652065u, &status);
  printf("0x10652065: %s\n", text ? text : "(none)");
  free(text);
  return status == 0 ? 0 : 1;
}
