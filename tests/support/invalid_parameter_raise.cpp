#include "tests/support/invalid_parameter_raise.h"

#include "foundation/svc.h"
#include "foundation/zexception.h"

namespace ornutil_test {

RaiseSeen captureInvalidParameterRaise(const std::function<void()>& operation) {
  RaiseSeen seen;
  LogCapture capture;
  orn_svc_set_debug_level(orn_ras_svc_handle, 3, 9);
  try {
    operation();
  } catch (const ZInvalidParameterException_7_0_0& e) {
    seen.raised = true;
    seen.file = e.getFile();
    seen.line = e.getLine();
  }
  orn_svc_set_debug_level(orn_ras_svc_handle, 3, 0);
  seen.traces = capture.records();
  return seen;
}

}  // namespace ornutil_test
