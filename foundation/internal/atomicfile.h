// The atomic write, ByteSink and the store's system-call table are part of
// the file store (filestore.h); this name is kept for the sources that
// include it to serialise into a ByteSink or to replace FileOps in tests.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_ATOMICFILE_H
#define ORNUTIL_FOUNDATION_INTERNAL_ATOMICFILE_H

#include "foundation/internal/filestore.h"

#endif
