// Runs an operation expected to raise ZInvalidParameterException_7_0_0 with
// tracing on, and reports where the trace and the exception said it came from.
#ifndef ORNUTIL_TESTS_SUPPORT_INVALID_PARAMETER_RAISE_H
#define ORNUTIL_TESTS_SUPPORT_INVALID_PARAMETER_RAISE_H

#include <functional>
#include <string>
#include <vector>

#include "tests/support/log_capture.h"

namespace ornutil_test {

struct RaiseSeen {
  bool raised = false;     // a ZInvalidParameterException_7_0_0 came out
  std::string file;        // its getFile()
  int line = 0;            // its getLine()
  std::vector<LogRecord> traces;  // the records written meanwhile
};

// Sets debug level 9 on subcomponent 3 of orn_ras_svc_handle for the call
// (level 0 afterwards), captures the records and catches the exception.
RaiseSeen captureInvalidParameterRaise(const std::function<void()>& operation);

}  // namespace ornutil_test

#endif
