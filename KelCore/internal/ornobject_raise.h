// The typed object's invalid-parameter raise, shared by its source files.
#ifndef ORNUTIL_KELCORE_INTERNAL_ORNOBJECT_RAISE_H
#define ORNUTIL_KELCORE_INTERNAL_ORNOBJECT_RAISE_H

namespace ornobject_internal {

// Source path of the typed object's log records and exceptions.
inline constexpr char kModule[] = "KelCore/OrnObject";

// Traces "ZInvalidParameterException Exception thrown." at `line` (debug
// level 9 of subcomponent 3 of orn_ras_svc_handle), then throws
// ZInvalidParameterException_7_0_0 from line + 1. The lines are the fixed
// logical positions that log readers and callers know, not __LINE__.
[[noreturn]] void raiseInvalidParameter(int line);

}  // namespace ornobject_internal

#endif
