// Exceptions: position, dynamic type, text and inserts survive the throw.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "foundation/zexception.h"

namespace {

TEST(ZException, ThrowExceptionKeepsTheDynamicTypeAndPosition) {
  try {
    ZInvalidParameterException_7_0_0 e;
    ZException_7_0_0& base = e;
    base.throwException("util/kelwchar", 608);  // through the base reference
    FAIL() << "did not throw";
  } catch (ZInvalidParameterException_7_0_0& caught) {
    EXPECT_STREQ(caught.getFile(), "util/kelwchar");
    EXPECT_EQ(caught.getLine(), 608);
    EXPECT_EQ(caught.code, 11);
  }
  EXPECT_THROW(ornz::throwOutOfMemory("KelCore/attrlist", 12), ZOutOfMemoryException_7_0_0);
}

TEST(ZException, CopiesKeepTheirOwnText) {
  ZException_7_0_0* original = new ZException_7_0_0(32, "the text");
  original->addInsert("x").addInsert(3);
  ZException_7_0_0 copy(*original);
  delete original;
  EXPECT_STREQ(copy.text, "the text");
  EXPECT_STREQ(copy.what(), "the text");
  ASSERT_EQ(copy.inserts().size(), 2u);
  EXPECT_EQ(copy.inserts()[0].text, "x");
  EXPECT_TRUE(copy.inserts()[1].isNumber);
}

TEST(ZException, InvalidDataNamesFileAndLine) {
  ZPropertiesInvalidDataException_7_0_0 e("/etc/x.conf", 12, "unclosed [");
  EXPECT_EQ(e.code, 44);
  EXPECT_STREQ(e.what(), "/etc/x.conf:12: unclosed [");
  EXPECT_STREQ(e.dataFile(), "/etc/x.conf");
  EXPECT_EQ(e.dataLine(), 12);
}

TEST(ZException, FileErrorsCarryTheSystemsReason) {
  ZException_7_0_0 missing = ornz::fileException("/etc/none", ENOENT, false, "open");
  EXPECT_EQ(missing.code, 12);
  EXPECT_NE(std::string(missing.what()).find("No such file or directory"), std::string::npos);
  ZException_7_0_0 denied = ornz::fileException("/etc/shadow", EACCES, false, "open");
  EXPECT_EQ(denied.code, 13);
  ZException_7_0_0 full = ornz::fileException("/etc/x", ENOSPC, true, "write");
  EXPECT_EQ(full.code, 28);
  EXPECT_EQ(full.inserts().size(), 3u);
}

}  // namespace
