// Where the typed object's trace records go, so that a test can make
// emission fail and see the object report it.
#ifndef ORNUTIL_KELCORE_INTERNAL_ORNOBJECT_TRACE_H
#define ORNUTIL_KELCORE_INTERNAL_ORNOBJECT_TRACE_H

#include "foundation/svc.h"

namespace ornobject_internal {

// Emits `text` verbatim as one debug record.
using TraceEmitter = void (*)(dce_svc_handle_s_t* handle, char const* file, int line,
                              unsigned int subcomponent, unsigned int level, char const* text);

// The emitter traceDump uses: orn_svc__debug_utf8_withfile with "%s".
// Replaced only by tests, before any tracing thread runs.
extern TraceEmitter traceEmitter;

void emitTrace(dce_svc_handle_s_t* handle, char const* file, int line, unsigned int subcomponent,
               unsigned int level, char const* text);

}  // namespace ornobject_internal

#endif
