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
#include "foundation/internal/nlspath.h"
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

// Known answers: the substitutions of glibc's __open_catalog
// (catgets/open_catalog.c), but for empty elements, which glibc reads as %N
// in the current directory and which are left out here.
TEST(MsgSearchPath, ElementsExpandAsCatopenExpandsThem) {
  const struct {
    const char* description;
    const char* nlspath;
    const char* locale;
    std::vector<std::string> expected;  // before the four default candidates
  } rows[] = {
      {"catalogue name", "/a/%N:/b/%N.cat", "C", {"/a/ornutil", "/b/ornutil.cat"}},
      {"locale and its parts", "/m/%L/%l/%t/%c/%N", "de_DE.UTF-8", {"/m/de_DE.UTF-8/de/DE/UTF-8/ornutil"}},
      {"locale without territory or codeset", "/m/%L-%l-%t-%c", "C", {"/m/C-C--"}},
      {"codeset without territory", "/m/%L-%l-%t-%c", "C.UTF-8", {"/m/C.UTF-8-C--UTF-8"}},
      {"a modifier stays with the territory", "/m/%l-%t-%c", "de_DE@euro", {"/m/de-DE@euro-"}},
      {"a modifier stays with the codeset", "/m/%l-%t-%c", "sr_RS.UTF-8@latin", {"/m/sr-RS-UTF-8@latin"}},
      {"an empty locale name is C", "/m/%L/%l", "", {"/m/C/C"}},
      {"percent sign", "/p/100%%/%N", "C", {"/p/100%/ornutil"}},
      {"an unknown sequence drops its element", "/x/%Z/%N:/y/%N", "C", {"/y/ornutil"}},
      {"a trailing percent sign drops its element", "/x/%:/y/%N", "C", {"/y/ornutil"}},
      {"empty elements are left out", ":/a/%N::/b/%N:", "C", {"/a/ornutil", "/b/ornutil"}},
      {"an element without substitutions stands as it is", "relative/file", "C", {"relative/file"}},
      {"unset or empty NLSPATH: the defaults only", "", "C", {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.description);
    std::vector<std::string> got = ornz::catalogueCandidates(row.nlspath, "ornutil", row.locale);
    ASSERT_EQ(got.size(), row.expected.size() + 4);
    got.resize(row.expected.size());
    EXPECT_EQ(got, row.expected);
  }
}

// The default is glibc's NLSPATH (catgets/Makefile, prefix /usr).
TEST(MsgSearchPath, DefaultCandidatesFollowNlspath) {
  std::vector<std::string> expected = {
      "/n/ornutil",
      "/usr/share/locale/fr_FR.UTF-8/ornutil",
      "/usr/share/locale/fr_FR.UTF-8/LC_MESSAGES/ornutil",
      "/usr/share/locale/fr/ornutil",
      "/usr/share/locale/fr/LC_MESSAGES/ornutil",
  };
  EXPECT_EQ(ornz::catalogueCandidates("/n/%N", "ornutil", "fr_FR.UTF-8"), expected);
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

TEST_F(CatalogueTest, TheLocaleNameInForceIsSubstituted) {
  if (!setlocale(LC_MESSAGES, "C.UTF-8")) GTEST_SKIP() << "no C.UTF-8 locale here";
  writeCatalogue({{0x10652065, "found under C.UTF-8"}});
  ASSERT_EQ(rename((dir_ + "/C").c_str(), (dir_ + "/C.UTF-8").c_str()), 0);
  setenv("NLSPATH", (dir_ + "/%L/%N.cat").c_str(), 1);
  std::string text = take(orn_msg_get_msg(0x10652065, nullptr));
  setlocale(LC_MESSAGES, "C");
  EXPECT_EQ(text, "found under C.UTF-8");
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
