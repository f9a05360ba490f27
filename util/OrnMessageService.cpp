#include "util/OrnMessageService.h"

#include "foundation/msgcat.h"
#include "foundation/svc.h"
#include "foundation/zexception.h"

namespace {
const char kModule[] = "util/getpath";
}

void OrnMessageService::outputMessage(const char* file, int line, int messageId, int attributes,
                                      const ZLCString_7_0_0* i1, const ZLCString_7_0_0* i2,
                                      const ZLCString_7_0_0* i3, const ZLCString_7_0_0* i4,
                                      const ZLCString_7_0_0* i5, const ZLCString_7_0_0* i6) const {
  // Looked up on every call: the built-in service, never the installed one
  // (which is this object).
  ZMessageService_7_0_0::defaultMessageService()->outputMessage(file, line, messageId, attributes,
                                                                i1, i2, i3, i4, i5, i6);
}

void OrnMessageService::outputMessageUTF8(const char* file, int line, int messageId,
                                          int attributes, const ZUTF8String_7_0_0* i1,
                                          const ZUTF8String_7_0_0* i2, const ZUTF8String_7_0_0* i3,
                                          const ZUTF8String_7_0_0* i4, const ZUTF8String_7_0_0* i5,
                                          const ZUTF8String_7_0_0* i6) const {
  ZMessageService_7_0_0::defaultMessageService()->outputMessageUTF8(file, line, messageId,
                                                                    attributes, i1, i2, i3, i4,
                                                                    i5, i6);
}

void OrnMessageService::outputException(ZException_7_0_0& exception) const { exception.report(); }

void OrnMessageService::outputException(const ZZException_7_0_0* record, va_list inserts) const {
  int code = record->code;
  const char* file = record->getFile();
  int line = record->getLine();
  unsigned int id;
  if (code >= 1 && code <= 22) {
    id = 0x35e51001u + static_cast<unsigned int>(code);
  } else if (code >= 24 && code <= 54) {
    id = 0x35e51001u + static_cast<unsigned int>(code) - 1u;
  } else {
    printDefault(record);
    return;
  }
  unsigned int attributes = code == 53 || code == 54 ? 32u : 16u;
  const char* types = orn_msg_get_argtypes(id);
  orn_svc_vprintf_withfile(ornz_svc_handle, file, line, types ? types : "", 0, attributes, id,
                           inserts);
}

OrnMessageService::~OrnMessageService() = default;

void printDefault(const ZZException_7_0_0* record) {
  orn_svc_printf_withfile(ornz_svc_handle, kModule, __LINE__, "%s%s%d%d", 0, 16, 0x35e51001u,
                          record->text, record->getFile(), record->getLine(), record->code);
}
