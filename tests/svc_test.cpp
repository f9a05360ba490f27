// Serviceability records, debug levels and insert substitution.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "foundation/svc.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"

using ornutil_test::LogCapture;
using ornutil_test::LogRecord;

namespace {

TEST(SvcRecord, OneLineWithEveryField) {
  unsigned long status = 1;
  orn_svc_set_progname("lockd", &status);
  ASSERT_EQ(status, 0u);
  LogCapture log;
  orn_svc_printf_cs_withfile(kelcore_svc_handle, orn_svc_utf8_cs, "util/kellock", 120, "%d", 2, 32,
                             0x1354a1c8, 22);
  std::string raw = ornutil_test::readFile(log.path());
  EXPECT_TRUE(std::regex_match(
      raw, std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z lockd\\[\\d+\\] ERROR "
                      "kel\\.core:2 0x1354a1c8 util/kellock:120 Cannot lock the mutex of a lock "
                      "\\(error 22\\)\\.\n")))
      << raw;
  std::vector<LogRecord> records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].pid, static_cast<long>(getpid()));
}

TEST(SvcRecord, SeverityFollowsTheAttributes) {
  const struct {
    unsigned int attributes;
    const char* severity;
  } rows[] = {{16, "FATAL"}, {32, "ERROR"}, {48, "WARNING"}, {64, "NOTICE"}, {0, "NOTICE"}};
  LogCapture log;
  for (const auto& row : rows)
    orn_svc_printf_withfile(bas_svc_handle, "f", 1, "", 0, row.attributes, 0x10652065);
  std::vector<LogRecord> records = log.records();
  ASSERT_EQ(records.size(), std::size(rows));
  for (std::size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].severity, rows[i].severity);
}

TEST(SvcRecord, MessageIdIsEightLowerCaseHexDigits) {
  LogCapture log;
  orn_svc_printf_withfile(ornz_svc_handle, "f", 1, "", 0, 16, 0x35e51002);
  orn_svc_printf_withfile(ornz_svc_handle, "f", 1, "", 0, 16, 0xabc);  // no text for it
  std::vector<LogRecord> records = log.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].msgid, "0x35e51002");
  EXPECT_EQ(records[1].msgid, "0x00000abc");
  EXPECT_EQ(records[1].text, "(no text for this message)");
}

TEST(SvcRecord, ControlCharactersAreEscapedSoARecordStaysOneLine) {
  LogCapture log;
  orn_svc_set_debug_level(orn_ras_svc_handle, 3, 9);
  orn_svc__debug_withfile(orn_ras_svc_handle, "util/getpath", 7, 3, 9, "%s", "a\nb\\c\td\x01\n");
  std::string raw = ornutil_test::readFile(log.path());
  EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), 1);
  EXPECT_NE(raw.find(" a\\nb\\\\c\td\\x01\n"), std::string::npos) << raw;
  std::vector<LogRecord> records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "a\nb\\c\td\x01");  // the trailing newline is dropped
  EXPECT_EQ(records[0].severity, "DEBUG9");
  EXPECT_EQ(records[0].msgid, "-");
  orn_svc_set_debug_level(orn_ras_svc_handle, -1, 0);
}

TEST(SvcInserts, DirectivesTakeInsertsInOrderAndNeverReadPastThem) {
  const struct {
    const char* description;
    unsigned int id;  // a message whose text has the directives named
    const char* types;
    const char* expected;
  } rows[] = {
      // "Exception: %s (raised at %s, line %d, kind code %d)."
      {"all four given", 0x35e51001, "%s%s%d%d", "Exception: t (raised at f, line 3, kind code 4)."},
      {"only the first given", 0x35e51001, "%s", "Exception: t (raised at %s, line %d, kind code %d)."},
      {"types mismatching the text", 0x35e51001, "%d%d%s%s", "Exception: 3 (raised at 4, line t, kind code f)."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.description);
    LogCapture log;
    if (std::string(row.types) == "%s%s%d%d")
      orn_svc_printf_withfile(bas_svc_handle, "f", 1, row.types, 0, 32, row.id, "t", "f", 3, 4);
    else if (std::string(row.types) == "%s")
      orn_svc_printf_withfile(bas_svc_handle, "f", 1, row.types, 0, 32, row.id, "t");
    else
      orn_svc_printf_withfile(bas_svc_handle, "f", 1, row.types, 0, 32, row.id, 3, 4, "t", "f");
    ASSERT_EQ(log.records().size(), 1u);
    EXPECT_EQ(log.records()[0].text, row.expected);
  }
}

TEST(SvcInserts, InsertTextIsCopiedVerbatim) {
  LogCapture log;
  orn_svc_printf_withfile(bas_svc_handle, "f", 1, "%s", 0, 32, 0x15e3a0b3, "%s%n%%");
  orn_svc_printf_withfile(bas_svc_handle, "f", 1, "%s", 0, 32, 0x15e3a0b3, nullptr);
  std::vector<LogRecord> records = log.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text, "The configured compliance mode %s%n%% is not valid; the mode none is used.");
  EXPECT_EQ(records[1].text, "The configured compliance mode (null) is not valid; the mode none is used.");
}

TEST(SvcDebug, TracesBelowTheLevelAreDropped) {
  LogCapture log;
  orn_svc_set_debug_level(kelcore_svc_handle, 0, 1);
  orn_svc__debug_utf8_withfile(kelcore_svc_handle, "util/kelwchar", 448, 0, 1, "premature end of string");
  orn_svc__debug_utf8_withfile(kelcore_svc_handle, "util/kelwchar", 449, 0, 2, "too detailed");
  orn_svc__debug_utf8_withfile(kelcore_svc_handle, "util/kelwchar", 450, 1, 1, "other subcomponent");
  orn_svc_set_debug_level(kelcore_svc_handle, 0, 0);
  std::vector<LogRecord> records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].line, 448);
  EXPECT_EQ(records[0].severity, "DEBUG1");
  EXPECT_EQ(records[0].handle, "kel.core");
}

// Debug levels are read from the environment once per handle: each case runs
// in a fresh process.
ORNUTIL_CHILD_TEST(SvcDebugEnvironment, Child) {
  const char* setting = std::getenv("ORN_SVC_DEBUG");
  ASSERT_NE(setting, nullptr);
  std::string s = setting;
  if (s == "orn.ras:3.9,kel.core:*.1") {
    EXPECT_EQ(orn_svc__debug_fillin2(orn_ras_svc_handle, 3), 9u);
    EXPECT_EQ(orn_svc_debug_level(orn_ras_svc_handle, 2), 0u);
    EXPECT_EQ(orn_svc_debug_level(kelcore_svc_handle, 0), 1u);
    EXPECT_EQ(orn_svc_debug_level(kelcore_svc_handle, 15), 1u);
    EXPECT_EQ(orn_svc_debug_level(bas_svc_handle, 0), 0u);
  } else if (s == "*:*.4,bas:0.2") {
    EXPECT_EQ(orn_svc_debug_level(ornz_svc_handle, 7), 4u);
    EXPECT_EQ(orn_svc_debug_level(bas_svc_handle, 0), 2u);  // later entries win
    EXPECT_EQ(orn_svc_debug_level(bas_svc_handle, 1), 4u);
  } else if (s == "orn.ras:3,kel.core:x.5,orn.c:99.1,orn.z:1.10,,bas:1.3") {
    // malformed entries are skipped, valid ones still apply
    EXPECT_EQ(orn_svc_debug_level(orn_ras_svc_handle, 3), 0u);
    EXPECT_EQ(orn_svc_debug_level(kelcore_svc_handle, 0), 0u);
    EXPECT_EQ(orn_svc_debug_level(ornz_svc_handle, 1), 0u);
    EXPECT_EQ(orn_svc_debug_level(bas_svc_handle, 1), 3u);
  } else {
    FAIL() << "unexpected setting " << s;
  }
}

TEST(SvcDebugEnvironment, LevelsComeFromOrnSvcDebug) {
  for (const char* setting : {"orn.ras:3.9,kel.core:*.1", "*:*.4,bas:0.2",
                           "orn.ras:3,kel.core:x.5,orn.c:99.1,orn.z:1.10,,bas:1.3"}) {
    std::string output;
    EXPECT_EQ(ornutil_test::runTestInChild("SvcDebugEnvironment.Child", {{"ORN_SVC_DEBUG", setting}}, &output), 0)
        << setting << "\n" << output;
  }
}

TEST(SvcSetUp, ProgramNameMustBeGiven) {
  unsigned long status = 0;
  orn_svc_set_progname(nullptr, &status);
  EXPECT_EQ(status, 0x10652080u);
  orn_svc_set_progname("", &status);
  EXPECT_EQ(status, 0x10652080u);
  orn_svc_set_progname("named", &status);
  EXPECT_EQ(status, 0u);
  LogCapture log;
  orn_svc_printf_withfile(bas_svc_handle, "f", 1, "", 0, 16, 0x10652065);
  ASSERT_EQ(log.records().size(), 1u);
  EXPECT_EQ(log.records()[0].program, "named");
}

TEST(SvcSetUp, UnopenableLogFileIsAFailureAndRecordsGoToStandardError) {
  setenv("ORN_SVC_LOG", "/nonexistent-dir/x/y.log", 1);
  unsigned long status = 0;
  testing::internal::CaptureStderr();
  orn_svc_init(0, &status);
  std::string err = testing::internal::GetCapturedStderr();
  unsetenv("ORN_SVC_LOG");
  EXPECT_EQ(status, 0x10652081u);
  EXPECT_NE(err.find("0x10652081"), std::string::npos) << err;
  EXPECT_NE(err.find("/nonexistent-dir/x/y.log"), std::string::npos) << err;
  orn_svc_init(0, &status);
  EXPECT_EQ(status, 0u);
}

}  // namespace
