/* The configured security compliance mode and the signature algorithm and
 * key size it implies. The mode is read once per process from stanza "ssl",
 * key "ssl-compliance" of the product's main configuration file (through the
 * path map, so it follows the data root). */
#ifndef ORNUTIL_UTIL_FIPSMODE_H
#define ORNUTIL_UTIL_FIPSMODE_H

#include "foundation/export.h"

ORNUTIL_BEGIN_DECL

/* One of "none", "fips", "sp800-131-transition", "sp800-131-strict",
 * "suite-b-128", "suite-b-192". A file that cannot be read (message
 * 0x15e3a003), a missing or empty setting (0x15e3a0b2) and an invalid one
 * (0x15e3a0b3) are logged the first time and give "none". The text belongs
 * to the library and never changes: every call in a process returns the
 * same text. Exhausted memory while the mode is first read is no answer
 * about the configuration: as at start-up, message 0x10652065 is logged and
 * the process aborts, so that no caller ever runs under a mode the
 * configuration does not state. Nothing is raised. */
ORNUTIL_API const char* getCompliance(void);

/* Stores the signature algorithm code and key size of the mode: 4 and 2048
 * for none, fips and the two SP800-131 modes, 22 and 256 for suite-b-128, 23
 * and 384 for suite-b-192. Returns the mode (as getCompliance). Null
 * pointers are skipped. */
ORNUTIL_API const char* getSigAlgKeySize(unsigned int* sigAlg, unsigned int* keySize);

ORNUTIL_END_DECL

#endif
