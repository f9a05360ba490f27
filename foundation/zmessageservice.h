// The process-wide message service through which the foundation reports.
//
// The four pure virtual operations come first, in this fixed slot order,
// then the destructor. The built-in service (defaultMessageService) writes
// each message or exception as one serviceability record (foundation/svc.h);
// a program may install its own with setMessageService.
#ifndef ORNUTIL_FOUNDATION_ZMESSAGESERVICE_H
#define ORNUTIL_FOUNDATION_ZMESSAGESERVICE_H

#include <cstdarg>

#include "foundation/export.h"

class ZLCString_7_0_0;
class ZUTF8String_7_0_0;
class ZException_7_0_0;
class ZZException_7_0_0;

class ORNUTIL_API ZMessageService_7_0_0 {
 public:
  // One catalogue message: the source file and line it comes from, the
  // message id, the serviceability attributes (16 fatal, 32 error, 48
  // warning), and up to six text inserts, each possibly null (null inserts
  // are printed as empty texts).
  virtual void outputMessage(const char* file, int line, int messageId, int attributes,
                             const ZLCString_7_0_0* insert1, const ZLCString_7_0_0* insert2,
                             const ZLCString_7_0_0* insert3, const ZLCString_7_0_0* insert4,
                             const ZLCString_7_0_0* insert5,
                             const ZLCString_7_0_0* insert6) const = 0;
  // The same with UTF-8 inserts.
  virtual void outputMessageUTF8(const char* file, int line, int messageId, int attributes,
                                 const ZUTF8String_7_0_0* insert1, const ZUTF8String_7_0_0* insert2,
                                 const ZUTF8String_7_0_0* insert3, const ZUTF8String_7_0_0* insert4,
                                 const ZUTF8String_7_0_0* insert5,
                                 const ZUTF8String_7_0_0* insert6) const = 0;
  // An exception object: services normally let it report itself.
  virtual void outputException(ZException_7_0_0& exception) const = 0;
  // An exception record and its inserts, typed as the argument types of the
  // record's code say (foundation/messages.def).
  virtual void outputException(const ZZException_7_0_0* record, va_list inserts) const = 0;
  virtual ~ZMessageService_7_0_0();

  // The foundation's own built-in service, never the installed one.
  static ZMessageService_7_0_0* defaultMessageService();
  // Installs `service` for the whole process (null restores the built-in
  // one). The service must live until the process ends.
  static void setMessageService(ZMessageService_7_0_0* service);
  // The installed service, or the built-in one when none is installed.
  static ZMessageService_7_0_0* getMessageService();
};

#endif
