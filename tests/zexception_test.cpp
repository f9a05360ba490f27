// Exceptions: each kind the foundation raises, with its code, text and
// inserts, thrown and caught as its own class with its position, copied, and
// reported through the library's message service as its catalogue message.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "foundation/zexception.h"
#include "foundation/zmessageservice.h"
#include "tests/support/log_capture.h"
#include "util/OrnMessageService.h"

namespace {

struct KindCase {
  const char* description;
  std::function<ZException_7_0_0()> make;
  int code;
  const char* text;                   // what()
  std::vector<std::string> inserts;   // as texts, numbers in decimal
  const char* reportId;               // the record report() logs
  const char* reportText;             // its text, inserts put in
  bool reportedWhereRaised = true;    // else the service's own default report
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.description; }

const KindCase kKinds[] = {
    {"out_of_memory", [] { return ZOutOfMemoryException_7_0_0(); }, 1, "Out of memory", {}, "0x35e51002",
     "Out of memory."},
    {"invalid_parameter", [] { return ZInvalidParameterException_7_0_0(); }, 11, "Invalid parameter", {},
     "0x35e5100c", "An invalid parameter was passed to a foundation operation."},
    {"invalid_parameter_with_text", [] { return ZInvalidParameterException_7_0_0("name is empty"); }, 11,
     "name is empty", {}, "0x35e5100c", "An invalid parameter was passed to a foundation operation."},
    {"file_not_found", [] { return ornz::fileException("/etc/none", ENOENT, false, "open"); }, 12,
     "/etc/none: No such file or directory", {"/etc/none", "No such file or directory"}, "0x35e5100d",
     "The file /etc/none does not exist: No such file or directory."},
    {"file_unreadable", [] { return ornz::fileException("/etc/shadow", EACCES, false, "open"); }, 13,
     "/etc/shadow: Permission denied", {"/etc/shadow", "Permission denied"}, "0x35e5100e",
     "The file /etc/shadow cannot be read: Permission denied."},
    {"file_not_writable", [] { return ornz::fileException("/etc/x", ENOSPC, true, "write"); }, 28,
     "cannot write /etc/x: No space left on device", {"write", "/etc/x", "No space left on device"},
     "0x35e5101c", "Cannot write the file /etc/x: No space left on device."},
    {"invalid_data", [] { return ZPropertiesInvalidDataException_7_0_0("/etc/x.conf", 12, "unclosed ["); }, 44,
     "/etc/x.conf:12: unclosed [", {"/etc/x.conf", "12", "unclosed ["}, "0x35e5102c",
     "The file /etc/x.conf holds invalid data at line 12: unclosed [."},
    {"lock_cannot_be_taken",
     [] {
       ZException_7_0_0 e(ornz::kCodeLockFailed, "lock busy");
       e.addInsert("cfg.lock").addInsert("Resource temporarily unavailable");
       return e;
     },
     47, "lock busy", {"cfg.lock", "Resource temporarily unavailable"}, "0x35e5102f",
     "The lock cfg.lock cannot be taken: Resource temporarily unavailable."},
    {"mutex_failed_with_a_number",
     [] {
       ZException_7_0_0 e(16, "mutex");
       e.addInsert(22);
       return e;
     },
     16, "mutex", {"22"}, "0x35e51011", "A mutex operation failed with error 22."},
    {"code_without_a_message", [] { return ZException_7_0_0(23, "odd kind"); }, 23, "odd kind", {}, "0x35e51001",
     "Exception: odd kind (raised at util/here, line 7, kind code 23).", false},
};

std::vector<std::string> textsOf(const ZException_7_0_0& e) {
  std::vector<std::string> texts;
  for (const auto& i : e.inserts()) texts.push_back(i.isNumber ? std::to_string(i.number) : i.text);
  return texts;
}

class ExceptionKind : public ::testing::TestWithParam<KindCase> {
 protected:
  static void SetUpTestSuite() {
    static OrnMessageService service;  // installed services live as long as the process
    ZMessageService_7_0_0::setMessageService(&service);
  }
  static void TearDownTestSuite() { ZMessageService_7_0_0::setMessageService(nullptr); }
};

TEST_P(ExceptionKind, CodeTextInsertsSurviveThrowAndCopy) {
  const KindCase& c = GetParam();
  ZException_7_0_0 made = c.make();
  EXPECT_EQ(made.code, c.code);
  EXPECT_STREQ(made.what(), c.text);
  EXPECT_STREQ(made.text, c.text);
  EXPECT_EQ(textsOf(made), c.inserts);

  // Thrown through the base class, caught as its own: the position is the
  // thrower's, and the copy owns its text.
  try {
    ZException_7_0_0* original = new ZException_7_0_0(made);
    ZException_7_0_0& base = *original;
    struct Free {
      ZException_7_0_0* p;
      ~Free() { delete p; }
    } freeOriginal{original};
    base.throwException("util/here", 7);
  } catch (ZException_7_0_0& caught) {
    EXPECT_STREQ(caught.getFile(), "util/here");
    EXPECT_EQ(caught.getLine(), 7);
    EXPECT_EQ(caught.code, c.code);
    EXPECT_STREQ(caught.what(), c.text);
    EXPECT_EQ(textsOf(caught), c.inserts);
  }

  // Assignment copies everything, position included.
  ZException_7_0_0 assigned(0, "");
  try {
    made.throwException("util/there", 9);
  } catch (ZException_7_0_0& caught) {
    assigned = caught;
  }
  EXPECT_EQ(assigned.code, c.code);
  EXPECT_STREQ(assigned.what(), c.text);
  EXPECT_STREQ(assigned.getFile(), "util/there");
  EXPECT_EQ(assigned.getLine(), 9);
  EXPECT_EQ(textsOf(assigned), c.inserts);
}

TEST_P(ExceptionKind, ReportLogsTheCodesMessageAtThePosition) {
  const KindCase& c = GetParam();
  ornutil_test::LogCapture log;
  try {
    c.make().throwException("util/here", 7);
  } catch (const ZException_7_0_0& caught) {
    caught.report();
  }
  auto records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].msgid, c.reportId);
  if (c.reportedWhereRaised) {
    EXPECT_EQ(records[0].file, "util/here");
    EXPECT_EQ(records[0].line, 7);
  }
  EXPECT_EQ(records[0].text, c.reportText);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ExceptionKind, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<KindCase>& info) {
                           return std::string(info.param.description);
                         });

// The dynamic class survives a throw through the base reference.
TEST(ZException, ThrowExceptionKeepsTheDynamicClass) {
  ZInvalidParameterException_7_0_0 invalid;
  ZException_7_0_0& base = invalid;
  EXPECT_THROW(base.throwException("util/kelwchar", 608), ZInvalidParameterException_7_0_0);
  ZPropertiesInvalidDataException_7_0_0 data("/etc/x.conf", 12, "unclosed [");
  try {
    static_cast<ZException_7_0_0&>(data).throwException("util/cfgfile", 3);
  } catch (ZPropertiesInvalidDataException_7_0_0& caught) {
    EXPECT_STREQ(caught.dataFile(), "/etc/x.conf");
    EXPECT_EQ(caught.dataLine(), 12);
  }
  EXPECT_THROW(ornz::throwOutOfMemory("KelCore/attrlist", 12), ZOutOfMemoryException_7_0_0);
}

}  // namespace
