// Message texts: the built-in table, catalogue look-up through NLSPATH and
// the fallbacks; the family services.
#include <gtest/gtest.h>
#include <locale.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "foundation/catalog_ids.h"
#include "foundation/msgcat.h"

namespace {

struct Row {
  unsigned int id;
  const char* types;
  const char* text;
};
const Row kTable[] = {
#define ORN_MSG(id, symbol, types, text) {id, types, text},
#include "foundation/messages.def"
#undef ORN_MSG
};

std::string take(char* text) {
  std::unique_ptr<char, decltype(&std::free)> hold(text, &std::free);
  return text ? text : "(null)";
}

// The conversions of a printf-like text, in order ("%s%d" for "a %s b %d").
std::string directivesOf(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (*p != '%') continue;
    if (p[1] == '%') {
      ++p;
      continue;
    }
    out += '%';
    out += *++p;
  }
  return out;
}

TEST(MessageTable, IdsAreSortedUniqueAndEachTextTakesExactlyItsInserts) {
  for (std::size_t i = 0; i < std::size(kTable); ++i) {
    SCOPED_TRACE(kTable[i].text);
    if (i > 0) {
      EXPECT_LT(kTable[i - 1].id, kTable[i].id);
    }
    EXPECT_EQ(directivesOf(kTable[i].text), kTable[i].types);
    EXPECT_STREQ(orn_msg_get_argtypes(kTable[i].id), kTable[i].types);
  }
}

TEST(MessageTable, EveryIdTheLibraryUsesHasAText) {
  std::vector<unsigned int> ids = {0x10652065, 0x1065206e, 0x1065206f, 0x10652070, 0x1354a09a,
                                   0x1354a0c3, 0x1354a0c7, 0x1354a0c8, 0x1354a0ca, 0x15e3a003,
                                   0x15e3a0b2, 0x15e3a0b3};
  for (unsigned int id = 0x1354a1c6; id <= 0x1354a1cf; ++id) ids.push_back(id);
  for (unsigned int id = 0x35e51001; id <= 0x35e51036; ++id) ids.push_back(id);
  for (unsigned int id : ids) {
    unsigned long status = 1;
    char* text = orn_msg_get_default_msg(id, &status);
    EXPECT_NE(text, nullptr) << std::hex << id;
    EXPECT_EQ(status, 0u);
    std::free(text);
  }
}

// Builds a catalogue in a temporary directory laid out as NLSPATH's
// %L/%N.cat expects for the C locale.
class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/ornutil-nls-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    setlocale(LC_MESSAGES, "C");
    const char* old = std::getenv("NLSPATH");
    if (old) saved_ = std::make_unique<std::string>(old);
  }
  void TearDown() override {
    if (saved_) setenv("NLSPATH", saved_->c_str(), 1);
    else unsetenv("NLSPATH");
    std::system(("rm -rf " + dir_).c_str());
  }

  void writeCatalogue(const std::vector<std::pair<unsigned int, std::string>>& texts) {
    ASSERT_EQ(std::system(("mkdir -p " + dir_ + "/C").c_str()), 0);
    std::ofstream src(dir_ + "/test.msg");
    src << "$quote \"\n";
    for (const auto& [id, text] : texts)
      src << "$set " << ORN_MSG_CAT_SET(id) << "\n" << ORN_MSG_CAT_NUMBER(id) << " \"" << text << "\"\n";
    src.close();
    ASSERT_EQ(std::system(("gencat " + dir_ + "/C/ornutil.cat " + dir_ + "/test.msg").c_str()), 0);
  }

  std::string dir_;
  std::unique_ptr<std::string> saved_;
};

TEST_F(CatalogueTest, CatalogueTextWinsOverTheBuiltInOne) {
  writeCatalogue({{0x10652065, "Mémoire épuisée."}, {0x35e51020, "Valeur %s invalide."}});
  setenv("NLSPATH", (dir_ + "/%L/%N.cat").c_str(), 1);
  unsigned long status = 1;
  EXPECT_EQ(take(orn_msg_get_msg(0x10652065, &status)), "Mémoire épuisée.");
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(take(orn_msg_get_msg_utf8(0x35e51020, &status)), "Valeur %s invalide.");
  // The built-in texts ignore the catalogue.
  EXPECT_EQ(take(orn_msg_get_default_msg(0x10652065, &status)), "Out of memory.");
}

TEST_F(CatalogueTest, IdsTheCatalogueLacksFallBackToTheBuiltInText) {
  writeCatalogue({{0x10652065, "Mémoire épuisée."}});
  setenv("NLSPATH", (dir_ + "/%L/%N.cat").c_str(), 1);
  unsigned long status = 1;
  EXPECT_EQ(take(orn_msg_get_msg(0x1065206e, &status)),
            "The product's common directory root is not configured.");
  EXPECT_EQ(status, 0u);
}

TEST_F(CatalogueTest, ANewSearchPathIsHonouredAtOnce) {
  writeCatalogue({{0x10652065, "from the test catalogue"}});
  setenv("NLSPATH", (dir_ + "/%L/%N.cat").c_str(), 1);
  EXPECT_EQ(take(orn_msg_get_msg(0x10652065, nullptr)), "from the test catalogue");
  setenv("NLSPATH", ORNUTIL_NLS_DIR "/%L/%N.cat", 1);  // the built catalogue
  EXPECT_EQ(take(orn_msg_get_msg(0x10652065, nullptr)), "Out of memory.");
  setenv("NLSPATH", "/nonexistent/%L/%N.cat", 1);
  EXPECT_EQ(take(orn_msg_get_msg(0x10652065, nullptr)), "Out of memory.");
}

TEST_F(CatalogueTest, UnknownIdsGiveNullAndANotFoundStatus) {
  setenv("NLSPATH", ORNUTIL_NLS_DIR "/%L/%N.cat", 1);
  for (auto* get : {&orn_msg_get_msg, &orn_msg_get_msg_utf8, &orn_msg_get_default_msg}) {
    unsigned long status = 0;
    EXPECT_EQ(get(0x12345678, &status), nullptr);
    EXPECT_EQ(status, ORN_MSG_S_NOT_FOUND);
    EXPECT_EQ(get(0x12345678, nullptr), nullptr);  // the status is optional
  }
  EXPECT_EQ(orn_msg_get_argtypes(0x12345678), nullptr);
}

TEST(FamilyServices, DirectoryComesFromTheEnvironment) {
  unsetenv("ORN_RIS_DIR");
  EXPECT_EQ(ris_get_dir(), nullptr);
  setenv("ORN_RIS_DIR", "", 1);
  EXPECT_EQ(ris_get_dir(), nullptr);
  setenv("ORN_RIS_DIR", "/opt/ris", 1);
  EXPECT_STREQ(ris_get_dir(), "/opt/ris");
  unsetenv("ORN_RIS_DIR");
  EXPECT_EQ(corsec_initialize(), 0);
}

TEST(FamilyServices, SearchPathIsTheOneTheProcessStartedWith) {
  const char* atStart = std::getenv("NLSPATH");
  if (atStart) {
    EXPECT_STREQ(ris_get_nlspath(), atStart);
  } else {
    EXPECT_EQ(ris_get_nlspath(), nullptr);
  }
  std::string before = ris_get_nlspath() ? ris_get_nlspath() : "(null)";
  setenv("NLSPATH", "/changed/%N", 1);
  EXPECT_EQ(std::string(ris_get_nlspath() ? ris_get_nlspath() : "(null)"), before);
  if (atStart) setenv("NLSPATH", atStart, 1);
  else unsetenv("NLSPATH");
}

}  // namespace
