// The library's message service: which catalogue message each foundation
// exception kind becomes, and the forwarding of ordinary messages.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "foundation/msgcat.h"
#include "foundation/zexception.h"
#include "foundation/zstring.h"
#include "tests/support/log_capture.h"
#include "util/OrnMessageService.h"

using ornutil_test::LogCapture;
using ornutil_test::LogRecord;

namespace {

// Argument types by kind code, as the product's catalogue defines them.
const std::map<std::string, std::vector<int>> kTypesByCode = {
    {"", {1, 11, 14, 19, 22, 31, 45, 46, 48}},
    {"%d", {3, 4, 5, 6, 7, 8, 9, 10, 15, 16, 17, 18, 20, 21, 24, 25, 26, 27, 29, 30, 33, 34, 35, 36}},
    {"%s", {32, 42, 49, 50, 53, 54}},
    {"%s%s", {12, 13, 47}},
    {"%d%s", {37, 38}},
    {"%s%s%d", {2, 43}},
    {"%s%d%s", {44, 51}},
    {"%s%s%s", {28}},
    {"%s%s%s%s", {39, 40, 41}},
    {"%s%s%d%s", {52}},
};

class MessageServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static OrnMessageService service;  // lives as long as the process, as installed services must
    ZMessageService_7_0_0::setMessageService(&service);
  }
  static void TearDownTestSuite() { ZMessageService_7_0_0::setMessageService(nullptr); }

  // Raises and catches an exception so that it carries a source position.
  static ZException_7_0_0 raised(ZException_7_0_0 e, const char* file, int line) {
    try {
      e.throwException(file, line);
    } catch (ZException_7_0_0& caught) {
      return caught;
    }
  }

  LogCapture log;
};

TEST_F(MessageServiceTest, EveryCodeLogsItsMessageWithItsInsertsAtTheExceptionsPosition) {
  int covered = 0;
  for (const auto& [types, codes] : kTypesByCode) {
    for (int code : codes) {
      SCOPED_TRACE("code " + std::to_string(code));
      unsigned int id = code <= 22 ? 0x35e51001u + code : 0x35e51001u + code - 1;
      EXPECT_STREQ(orn_msg_get_argtypes(id), types.c_str());

      ZException_7_0_0 e(code, "summary");
      std::vector<std::string> expected;
      for (std::size_t i = 0; i + 1 < types.size(); i += 2) {
        if (types[i + 1] == 's') {
          std::string s = "text" + std::to_string(i / 2);
          e.addInsert(s.c_str());
          expected.push_back(s);
        } else {
          e.addInsert(700 + static_cast<int>(i / 2));
          expected.push_back(std::to_string(700 + i / 2));
        }
      }
      raised(e, "KelCore/test", 40 + code).report();

      std::vector<LogRecord> records = log.withId(id);
      ASSERT_EQ(records.size(), 1u);
      const LogRecord& r = records[0];
      EXPECT_EQ(r.handle, "orn.z");
      EXPECT_EQ(r.subcomponent, 0u);
      EXPECT_EQ(r.file, "KelCore/test");
      EXPECT_EQ(r.line, 40 + code);
      EXPECT_EQ(r.severity, code == 53 || code == 54 ? "ERROR" : "FATAL");
      // The inserts appear in the text in the order of the argument types.
      std::size_t at = 0;
      for (const std::string& insert : expected) {
        std::size_t found = r.text.find(insert, at);
        EXPECT_NE(found, std::string::npos) << insert << " in " << r.text;
        at = found == std::string::npos ? at : found + insert.size();
      }
      ++covered;
    }
  }
  EXPECT_EQ(covered, 53);
}

TEST_F(MessageServiceTest, CodesWithoutAMessageGetTheDefaultReport) {
  for (int code : {0, 23, 55, 1000, -1}) {
    SCOPED_TRACE("code " + std::to_string(code));
    LogCapture capture;
    raised(ZException_7_0_0(code, "odd kind"), "util/somewhere", 321).report();
    std::vector<LogRecord> records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].msgid, "0x35e51001");
    EXPECT_EQ(records[0].severity, "FATAL");
    EXPECT_EQ(records[0].file, "util/getpath");  // the service's own position
    EXPECT_EQ(records[0].text, "Exception: odd kind (raised at util/somewhere, line 321, kind code " +
                                   std::to_string(code) + ").");
  }
}

TEST_F(MessageServiceTest, ConsecutiveIdsSkipCode23) {
  raised(ZException_7_0_0(22, "x"), "a", 1).report();
  raised(ZException_7_0_0(24, "y"), "a", 2).report();
  ASSERT_EQ(log.withId(0x35e51017).size(), 1u);
  ASSERT_EQ(log.withId(0x35e51018).size(), 1u);
  EXPECT_EQ(log.withId(0x35e51018)[0].line, 2);
}

TEST_F(MessageServiceTest, AnInsertsOwnPercentIsPrintedNotInterpreted) {
  ZException_7_0_0 e(32, "value");
  e.addInsert("%s%d%n");
  raised(e, "f", 1).report();
  ASSERT_EQ(log.withId(0x35e51020).size(), 1u);
  EXPECT_EQ(log.withId(0x35e51020)[0].text, "The value %s%d%n is not valid.");
}

TEST_F(MessageServiceTest, MissingInsertsNeverReadPastWhatWasGiven) {
  raised(ZException_7_0_0(52, "short"), "f", 9).report();  // takes four inserts, none given
  std::vector<LogRecord> records = log.withId(0x35e51034);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "The call  on  at line 0 failed: .");
}

TEST_F(MessageServiceTest, OutputExceptionLetsTheExceptionReportItself) {
  ZOutOfMemoryException_7_0_0 e;
  try {
    e.throwException("util/cfgfile", 77);
  } catch (ZOutOfMemoryException_7_0_0& caught) {
    ZMessageService_7_0_0::getMessageService()->outputException(caught);
  }
  std::vector<LogRecord> records = log.withId(0x35e51002);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].file, "util/cfgfile");
  EXPECT_EQ(records[0].line, 77);
}

TEST_F(MessageServiceTest, OrdinaryMessagesAreForwardedWithNullInsertsKept) {
  ZLCString_7_0_0 file("/var/log/x");
  OrnMessageService().outputMessage("util/here", 5, 0x10652081, 48, &file, nullptr, nullptr,
                                    nullptr, nullptr, nullptr);
  ZUTF8String_7_0_0 first("a"), third("c");
  OrnMessageService().outputMessageUTF8("util/there", 6, 0x15e3a0b3, 32, &first, nullptr, &third,
                                        nullptr, nullptr, nullptr);
  std::vector<LogRecord> records = log.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].msgid, "0x10652081");
  EXPECT_EQ(records[0].severity, "WARNING");
  EXPECT_EQ(records[0].file, "util/here");
  EXPECT_EQ(records[0].line, 5);
  // Trailing null inserts are not passed: the directive stays as it stands.
  EXPECT_EQ(records[0].text, "Cannot open the log file /var/log/x: %s.");
  EXPECT_EQ(records[1].msgid, "0x15e3a0b3");
  EXPECT_EQ(records[1].text, "The configured compliance mode a is not valid; the mode none is used.");
}

TEST(MessageServiceInstallation, DefaultServiceIsNeverTheInstalledOne) {
  static OrnMessageService service;
  ZMessageService_7_0_0* builtIn = ZMessageService_7_0_0::defaultMessageService();
  ZMessageService_7_0_0::setMessageService(&service);
  EXPECT_EQ(ZMessageService_7_0_0::getMessageService(), &service);
  EXPECT_EQ(ZMessageService_7_0_0::defaultMessageService(), builtIn);
  EXPECT_NE(builtIn, static_cast<ZMessageService_7_0_0*>(&service));
  ZMessageService_7_0_0::setMessageService(nullptr);
  EXPECT_EQ(ZMessageService_7_0_0::getMessageService(), builtIn);
}

TEST(MessageServiceInstallation, BuiltInServiceReportsExceptionsGenerically) {
  ZMessageService_7_0_0::setMessageService(nullptr);
  LogCapture log;
  ZInvalidParameterException_7_0_0 e;
  try {
    e.throwException("KelCore/OrnObject", 1008);
  } catch (ZException_7_0_0& caught) {
    caught.report();
  }
  std::vector<LogRecord> records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].msgid, "0x35e51001");
  EXPECT_EQ(records[0].file, "KelCore/OrnObject");
  EXPECT_EQ(records[0].line, 1008);
}

}  // namespace
