/* Builds an LDAP search filter from user input with the quoting formatter. */
#include <stdio.h>
#include <stdlib.h>

#include "util/kelwchar.h"
#include "util/mbs_sprintf.h"
#include "util/patquote.h"

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "Smith (J*)";
  /* Controls and a character cut off at the end are refused up front. */
  if (!kel_mbs_validpchars2(name, "")) {
    fprintf(stderr, "not a valid name: %s\n", name);
    return 1;
  }
  char* filter = kel_mbs_sprintf("(&(objectClass=person)(cn=%Q))", name);
  char* pattern = kel_mbs_patquote(name);
  if (!filter || !pattern) {
    fprintf(stderr, "not valid UTF-8: %s\n", name);
    free(filter);
    free(pattern);
    return 1;
  }
  printf("value filter:   %s\npattern quoted: %s\n", filter, pattern);
  free(filter);
  free(pattern);
  return 0;
}
