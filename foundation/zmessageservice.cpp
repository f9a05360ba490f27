#include "foundation/zmessageservice.h"

#include <atomic>

#include "foundation/svc.h"
#include "foundation/zexception.h"
#include "foundation/zstring.h"

namespace {

template <typename String>
const char* textOf(const String* s) {
  return s ? s->getChars() : "";
}

// The built-in service: each message and exception becomes one record on
// the ornz handle. Exceptions are written with the generic exception
// message, at the position where they were raised.
class BuiltInMessageService final : public ZMessageService_7_0_0 {
 public:
  void outputMessage(const char* file, int line, int messageId, int attributes,
                     const ZLCString_7_0_0* i1, const ZLCString_7_0_0* i2,
                     const ZLCString_7_0_0* i3, const ZLCString_7_0_0* i4,
                     const ZLCString_7_0_0* i5, const ZLCString_7_0_0* i6) const override {
    write(file, line, messageId, attributes, {i1, i2, i3, i4, i5, i6});
  }

  void outputMessageUTF8(const char* file, int line, int messageId, int attributes,
                         const ZUTF8String_7_0_0* i1, const ZUTF8String_7_0_0* i2,
                         const ZUTF8String_7_0_0* i3, const ZUTF8String_7_0_0* i4,
                         const ZUTF8String_7_0_0* i5, const ZUTF8String_7_0_0* i6) const override {
    write(file, line, messageId, attributes, {i1, i2, i3, i4, i5, i6});
  }

  void outputException(ZException_7_0_0& exception) const override { exception.report(); }

  void outputException(const ZZException_7_0_0* record, va_list) const override {
    if (!record) return;
    orn_svc_printf_withfile(ornz_svc_handle, record->getFile(), record->getLine(), "%s%s%d%d", 0,
                            ORN_SVC_ATTR_ERROR, 0x35e51001u, record->text ? record->text : "",
                            record->getFile(), record->getLine(), record->code);
  }

 private:
  // Inserts up to the last non-null one are passed as texts; a null one
  // before it is passed as the empty text.
  void write(const char* file, int line, int messageId, int attributes,
             std::initializer_list<const ZAbstractString_7_0_0*> inserts) const {
    static const char kTypes[] = "%s%s%s%s%s%s";
    const ZAbstractString_7_0_0* const* in = inserts.begin();
    std::size_t used = 0;
    for (std::size_t i = 0; i < 6; ++i)
      if (in[i]) used = i + 1;
    orn_svc_printf_withfile(ornz_svc_handle, file, line, kTypes + (6 - used) * 2, 0,
                            static_cast<unsigned int>(attributes),
                            static_cast<unsigned int>(messageId), textOf(in[0]), textOf(in[1]),
                            textOf(in[2]), textOf(in[3]), textOf(in[4]), textOf(in[5]));
  }
};

BuiltInMessageService builtIn;
std::atomic<ZMessageService_7_0_0*> installed{nullptr};

}  // namespace

ZMessageService_7_0_0::~ZMessageService_7_0_0() = default;

ZMessageService_7_0_0* ZMessageService_7_0_0::defaultMessageService() { return &builtIn; }

void ZMessageService_7_0_0::setMessageService(ZMessageService_7_0_0* service) {
  installed.store(service, std::memory_order_release);
}

ZMessageService_7_0_0* ZMessageService_7_0_0::getMessageService() {
  ZMessageService_7_0_0* service = installed.load(std::memory_order_acquire);
  return service ? service : &builtIn;
}
