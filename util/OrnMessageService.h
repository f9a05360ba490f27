// The library's message service: foundation exceptions become catalogue
// messages chosen by their kind code; ordinary messages go to the
// foundation's built-in service.
//
// Slot order is fixed: outputMessage, outputMessageUTF8,
// outputException(ZException_7_0_0&), outputException(record, va_list),
// then the destructor.
#ifndef ORNUTIL_UTIL_ORNMESSAGESERVICE_H
#define ORNUTIL_UTIL_ORNMESSAGESERVICE_H

#include <cstdarg>

#include "foundation/export.h"
#include "foundation/zmessageservice.h"

class ORNUTIL_API OrnMessageService : public ZMessageService_7_0_0 {
 public:
  // Forwarded unchanged, null inserts included, to defaultMessageService().
  void outputMessage(const char* file, int line, int messageId, int attributes,
                     const ZLCString_7_0_0* insert1, const ZLCString_7_0_0* insert2,
                     const ZLCString_7_0_0* insert3, const ZLCString_7_0_0* insert4,
                     const ZLCString_7_0_0* insert5, const ZLCString_7_0_0* insert6) const override;
  void outputMessageUTF8(const char* file, int line, int messageId, int attributes,
                         const ZUTF8String_7_0_0* insert1, const ZUTF8String_7_0_0* insert2,
                         const ZUTF8String_7_0_0* insert3, const ZUTF8String_7_0_0* insert4,
                         const ZUTF8String_7_0_0* insert5,
                         const ZUTF8String_7_0_0* insert6) const override;
  // Lets the exception report itself (ZException_7_0_0::report).
  void outputException(ZException_7_0_0& exception) const override;
  // Logs the catalogue message of the record's code on ornz_svc_handle at
  // the record's own source position: codes 1 to 22 and 24 to 54 have
  // messages 0x35e51002 to 0x35e51036 (attributes 16, or 32 for codes 53 and
  // 54); any other code gets printDefault.
  void outputException(const ZZException_7_0_0* record, va_list inserts) const override;
  ~OrnMessageService() override;
};

// The report of a code without a message of its own: message 0x35e51001
// with the inserts text, file, line and code, at this module's position.
ORNUTIL_API void printDefault(const ZZException_7_0_0* record);

#endif
